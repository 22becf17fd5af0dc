#!/usr/bin/env bash
# Builds the trace server alone in the optimised tree (preset release, with
# tests and benchmarks switched off) and shows it at work against the
# simulated board on an address of its own, 127.0.0.2, as at a site (so that
# 127.0.0.1 at the gateway port is the server's alone: a trace provider on
# this machine is pointed at PORT): the board answers discovery from a profile of
# every family (SS7, LAPD, ISDN, CAS R2, IP); once the server has switched the
# board's traces on, the board sends five units to each traced entity; once
# the server has taken them it is stopped (SIGTERM, its normal stop), at the
# latest after RUN_MS ms (its -e, default 120000); then the files it wrote
# are listed, each pcap summarised by tshark and the head of a text file shown.
# Every wait is bounded and says what it waits for; the script fails (status
# 1) with a line saying why when nothing was traced.
# Extra arguments go to the server (for instance -format, -single, -ss7).
# Everything happens in build/run (removed first).
# It installs only what the server and the simulated board need (and tshark
# for the summary): scripts/test.sh installs and builds everything else.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
bash scripts/deps.sh --run
cmake --preset release -DVQX_BUILD_TESTS=OFF -DVQX_BUILD_BENCH=OFF >/dev/null
cmake --build --preset release -j "$(nproc)" --target sigtrace_server

RUN_MS=${RUN_MS:-120000}
PORT=${PORT:-23458}
CONTROL=$((PORT + 1))
BOARD_ADDR=127.0.0.2
BOARD_WAIT_S=60 # for the board's control port (a Python start on a loaded machine)
CLOSE_WAIT_S=60 # for the server's end after SIGTERM
DIR=$ROOT/build/run
fail() {
  echo "run.sh: $*" >&2
  exit 1
}
case $RUN_MS in '' | *[!0-9]*) fail "RUN_MS must be a whole number of milliseconds, not '$RUN_MS'" ;; esac
rm -rf "$DIR" && mkdir -p "$DIR" && cd "$DIR"
cat > quellan.xml <<EOF
<quellan>
  <params>
    <host pollDelay="200" networkDownDelay="500" adapterDownDelay="1100">
      <env VQX_GW_ADDRESS_0="127.0.0.1" VQX_GW_PORT="$PORT" VQX_GW_REMOTE_ADDR="($BOARD_ADDR:$PORT)"/>
    </host>
    <log baseName="$DIR/server"/>
  </params>
</quellan>
EOF

# The board outlives every wait below; it ends with the script.
python3 "$ROOT/testing/boardsim/boardsim.py" --udp-port "$PORT" --gw0 "$BOARD_ADDR" \
  --control-port "$CONTROL" --lifetime $((RUN_MS / 1000 + BOARD_WAIT_S + CLOSE_WAIT_S + 60)) \
  --profile "$ROOT/sigtrace/tests/data/activate_profile.json" --trace-log "$DIR/board.log" > board.out 2>&1 &
BOARD=$!
SERVER=
trap 'kill $BOARD $SERVER 2>/dev/null || true' EXIT

# Its "ready" line comes once its sockets are bound (a port taken ends it).
echo "== waiting for the simulated board to listen on 127.0.0.1:$CONTROL (at most $BOARD_WAIT_S s)"
for ((i = 0; i < BOARD_WAIT_S * 10; i++)); do
  grep -q '^ready' board.out && break
  kill -0 $BOARD 2>/dev/null || { cat board.out >&2; fail "the simulated board ended before it listened (its output above)"; }
  sleep 0.1
done
((i < BOARD_WAIT_S * 10)) || fail "the simulated board did not listen on 127.0.0.1:$CONTROL within $BOARD_WAIT_S s"

echo "== sigtrace -e $RUN_MS $* (board on $BOARD_ADDR:$PORT, trace providers to 127.0.0.1:$PORT)"
"$ROOT/build/release/sigtrace/sigtrace" -e "$RUN_MS" -cap "$@" < /dev/null > server.out 2>&1 &
SERVER=$!

# Drives the board while the server runs: waits until every trace the server
# activated is on at the board, has five units sent to each traced entity,
# and waits until the server's link has taken them. Each wait ends with the
# server or at the run's end.
DRIVE=0
python3 - "$CONTROL" "$SERVER" "$DIR" "$RUN_MS" <<'EOF' || DRIVE=$?
import glob, json, os, socket, sys, time

control, server, folder, run_ms = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
deadline = time.monotonic() + run_ms / 1000.0


def board(command):
    """The board's answer line to one command ("" when it cannot be asked)."""
    try:
        with socket.create_connection(("127.0.0.1", control), timeout=30) as s:
            s.sendall((command + "\n").encode())
            return s.makefile("r").readline().strip()
    except OSError:
        return ""


def stats():
    try:
        return json.loads(board("stats"))
    except ValueError:
        return {}


def server_running():
    try:
        with open("/proc/%d/stat" % server) as f:
            return f.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except (OSError, IndexError):
        return False


def activations():
    """How many entities the server has asked to trace so far (its log's lines, each entity once)."""
    asked = set()
    for path in glob.glob(os.path.join(folder, "server*.log")):
        with open(path, errors="replace") as f:
            asked.update(line.split("Activate traces on ", 1)[1].split(" in group=")[0]
                         for line in f if "Activate traces on " in line)
    return len(asked)


def wait(what, done):
    print("== waiting for %s (at most %.1f s more)" % (what, max(0.0, deadline - time.monotonic())), flush=True)
    while time.monotonic() < deadline:
        if done():
            return True
        if not server_running():
            print("run.sh: the server ended while run.sh waited for %s" % what, file=sys.stderr)
            return False
        time.sleep(0.2)
    print("run.sh: RUN_MS=%d passed while waiting for %s" % (run_ms, what), file=sys.stderr)
    return False


last = [-1]


def traces_on():
    # Settled: as many traces on at the board as the server asked for, twice in a row.
    asked, on = activations(), stats().get("traces_on", 0)
    settled = asked > 0 and on >= asked and asked == last[0]
    last[0] = asked
    return settled


if not wait("the server to find the board and switch its traces on", traces_on):
    sys.exit(1)
acked = stats().get("acked", 0)
total = 0
for kind in ("ss7", "lapd", "isdn", "casr2", "ip"):
    answer = board("trace %s 5" % kind)
    print("trace %s 5: %s" % (kind, answer or "(no answer)"), flush=True)
    if answer.startswith("ok "):
        total += int(answer.split()[1])
if total == 0:
    print("run.sh: the board sent no unit", file=sys.stderr)
    sys.exit(1)
if not wait("the server to take the %d units" % total, lambda: stats().get("acked", 0) >= acked + total):
    sys.exit(1)
EOF

if kill -0 "$SERVER" 2>/dev/null; then
  echo "== stopping sigtrace (SIGTERM), waiting for its end (at most $CLOSE_WAIT_S s)"
  kill -TERM "$SERVER" 2>/dev/null || true
  for ((i = 0; i < CLOSE_WAIT_S * 10; i++)); do
    kill -0 "$SERVER" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$SERVER" 2>/dev/null; then
    echo "run.sh: sigtrace did not end within $CLOSE_WAIT_S s of SIGTERM: killed" >&2
    kill -KILL "$SERVER" 2>/dev/null || true
  fi
fi
STATUS=0
wait "$SERVER" || STATUS=$?
SERVER=
echo "== sigtrace ended, exit $STATUS"

echo "== files"
ls -l --time-style=+ ./*_[0-9][0-9][0-9].* 2>/dev/null || echo "(no trace file)"
# The summaries side by side (tshark takes seconds to start on a loaded machine), each at most 120 s.
caps=() shows=()
for f in ./*_[0-9][0-9][0-9].cap; do
  [ -e "$f" ] || continue
  caps+=("$f")
  (timeout 120 tshark -r "$f" > "$f.tshark" 2>/dev/null || echo "(tshark failed or took more than 120 s)" >> "$f.tshark") &
  shows+=($!)
done
[ ${#shows[@]} -eq 0 ] || wait "${shows[@]}"
for f in "${caps[@]}"; do
  echo "== tshark -r $f"
  head -5 "$f.tshark"
  rm -f "$f.tshark"
done
for f in ./*_[0-9][0-9][0-9].log; do
  [ -e "$f" ] || continue
  echo "== head $f"
  head -12 "$f"
  break
done
if [ -s server.out ]; then # -stdout: the units on the server's standard output
  echo "== server.out, the server's standard output ($(wc -c < server.out) bytes)"
  if timeout 120 tshark -r server.out > server.out.tshark 2>/dev/null; then head -5 server.out.tshark; else head -12 server.out | cat -v; fi
  rm -f server.out.tshark
fi

# What the server says it wrote, group by group, at its end.
SUMMARY=$(cat server*.log 2>/dev/null | grep -o 'Group .*: [0-9]* units written, [0-9]* lost' || true)
WRITTEN=$(echo "$SUMMARY" | awk 'NF >= 5 { n += $(NF - 4) } END { print n + 0 }')
echo "== the server's summary"
echo "${SUMMARY:-(none: see $DIR/server*.log and $DIR/server.out)}"
[ "$WRITTEN" -gt 0 ] || fail "nothing was traced (server exit $STATUS; its log: $DIR/server*.log)"
[ "$DRIVE" -eq 0 ] || fail "$WRITTEN units traced, but the run did not go as planned (see the lines above)"
[ "$STATUS" -eq 0 ] || fail "the server ended with status $STATUS"
echo "== $WRITTEN units traced"
