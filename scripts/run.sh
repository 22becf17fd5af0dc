#!/usr/bin/env bash
# Builds the trace server alone in the optimised tree (preset release, with
# tests and benchmarks switched off) and shows it at work against the
# simulated board on an address of its own, 127.0.0.2, as at a site (so that
# 127.0.0.1 at the gateway port is the server's alone: a trace provider on
# this machine is pointed at PORT): the board answers discovery from a profile of
# every family (SS7, LAPD, ISDN, CAS R2, IP), the server runs for a bounded
# time (-e, default 6000 ms) with its gateway on loopback, the board sends
# trace units while it runs; then the files it wrote are listed, each pcap
# summarised by tshark and the head of a text file shown.
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

RUN_MS=${RUN_MS:-6000}
PORT=${PORT:-23458}
CONTROL=$((PORT + 1))
BOARD_ADDR=127.0.0.2
DIR=$ROOT/build/run
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

python3 "$ROOT/testing/boardsim/boardsim.py" --udp-port "$PORT" --gw0 "$BOARD_ADDR" \
  --control-port "$CONTROL" --lifetime 60 \
  --profile "$ROOT/sigtrace/tests/data/activate_profile.json" --trace-log "$DIR/board.log" > board.out 2>&1 &
BOARD=$!
trap 'kill $BOARD 2>/dev/null || true' EXIT

# One control command to the board, its answer line.
board() {
  exec 3<>"/dev/tcp/127.0.0.1/$CONTROL"
  echo "$*" >&3
  read -r line <&3
  exec 3>&-
  echo "$line"
}
for _ in $(seq 50); do (echo > "/dev/tcp/127.0.0.1/$CONTROL") 2>/dev/null && break; sleep 0.1; done

echo "== sigtrace -e $RUN_MS $* (board on $BOARD_ADDR:$PORT, trace providers to 127.0.0.1:$PORT)"
"$ROOT/build/release/sigtrace/sigtrace" -e "$RUN_MS" -cap "$@" < /dev/null > server.out 2>&1 &
SERVER=$!
# Once the board reports traces on, a few units of every family.
for _ in $(seq 100); do
  on=$(board stats | python3 -c 'import json,sys; print(json.load(sys.stdin).get("traces_on", 0))')
  [ "$on" -gt 0 ] && break
  sleep 0.1
done
sleep 0.5
for kind in ss7 lapd isdn casr2 ip; do echo "trace $kind 5: $(board trace $kind 5)"; done
wait $SERVER && echo "== sigtrace ended, exit 0" || echo "== sigtrace ended, exit $?"

echo "== files"
ls -l --time-style=+ ./*_[0-9][0-9][0-9].* 2>/dev/null || echo "(no trace file)"
for f in ./*_[0-9][0-9][0-9].cap; do
  [ -e "$f" ] || continue
  echo "== tshark -r $f"
  tshark -r "$f" 2>/dev/null | head -5
done
for f in ./*_[0-9][0-9][0-9].log; do
  [ -e "$f" ] || continue
  echo "== head $f"
  head -12 "$f"
  break
done
