#!/usr/bin/env python3
"""End-to-end throughput of the trace server, against a bare host-library
filter taking the same stream in the same run.

Each run has three legs, each with its own C++ stand-in board
(testing/boardsim_fast) streaming N SS7 units of 16 data bytes on 127.0.0.1
as fast as the host reads them (or at --rate units/s):
  bare  the bare filter (sigtrace/bench/e2e_bare_filter.cpp) takes them;
  pcap  the real `sigtrace -ss7 -cap` writes them to its pcap file;
  text  the real `sigtrace -ss7 -format` writes them to its text file;
  stdout  the real `sigtrace -ss7 -stdout` writes its pcap stream into a
        pipe that `cat > /dev/null` reads (a reader that keeps up).
A leg's rate is N over the time from the board's first unit to the consumer
having them all: the bare filter's count, or the server's log line for the
unit that follows the burst (too short, refused), which the server reaches
only once every unit before it is dispatched. Also printed: units lost (the
server's "Group SS7: N units written, M lost" at SIGTERM against N), the
host library's "High watermark passed" lines, CPU time per unit (of the
consumer's threads over the burst, from /proc; for the server also its user
and system parts, in clock ticks) and its peak memory (VmHWM). Every child's gateway stays on 127.0.0.1; each leg is bounded.
With --search, each run also finds by bisection the highest board rate at
which each server leg keeps up with no watermark line and nothing lost.
Exit status 1 when a leg failed or lost a unit; the ratios are figures.
"""
import argparse
import os
import re
import signal
import statistics
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "testing", "peers"))
from loopback_ports import free_port  # noqa: E402  (a port kept from every other test process)
TICK = os.sysconf("SC_CLK_TCK")
LEG_TIMEOUT = 90.0  # seconds, from a leg's start to its consumer having every unit
TARGETS = {"pcap": 0.8, "text": 0.5}  # rate to bare
LEGS = {"bare": None, "pcap": "-cap", "text": "-format", "stdout": "-cap -stdout"}  # server legs: their options


def cpu_seconds(pid):
    """CPU time of a process's live threads (ns resolution, /proc/PID/task/*/schedstat);
    user + system in clock ticks (/proc/PID/stat) where schedstat is missing."""
    total, tasks = 0, "/proc/%d/task" % pid
    try:
        for tid in os.listdir(tasks):
            with open(os.path.join(tasks, tid, "schedstat")) as f:
                total += int(f.read().split()[0])
        return total / 1e9
    except (OSError, ValueError, IndexError):
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICK


def user_system_seconds(pid):
    """User and system CPU time of a process, all its threads (/proc/PID/stat, clock ticks)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) / TICK, int(fields[12]) / TICK


def peak_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return -1


def load():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


class Lines:
    """The lines a child prints, read on a thread; wait() for one starting with a prefix."""

    def __init__(self, stream, on_line=None):
        self.lines, self.cond, self.on_line = [], threading.Condition(), on_line
        threading.Thread(target=self.read, args=(stream,), daemon=True).start()

    def read(self, stream):
        for line in stream:
            if self.on_line is not None:
                self.on_line(line.strip())
            with self.cond:
                self.lines.append(line.strip())
                self.cond.notify_all()
        with self.cond:
            self.lines.append(None)
            self.cond.notify_all()

    def wait(self, prefix, deadline):
        with self.cond:
            while True:
                for line in self.lines:
                    if line is not None and line.startswith(prefix):
                        return line
                if None in self.lines or time.monotonic() >= deadline:
                    return None
                self.cond.wait(max(0.0, deadline - time.monotonic()))


def stop(proc, timeout=30):
    """SIGTERM, bounded wait, then SIGKILL; the exit code."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    return proc.returncode


class Leg:
    """One consumer fed by its own stand-in board."""

    def __init__(self, args, name, workdir, rate=None):
        self.args, self.name, self.dir = args, name, os.path.join(workdir, name)
        self.rate = args.rate if rate is None else rate
        os.makedirs(self.dir, exist_ok=True)
        self.port = free_port()
        self.result = {"leg": name, "units": args.units, "rate": 0.0, "lost": args.units, "watermark": 0,
                       "cpu_us": float("nan"), "user_us": float("nan"), "sys_us": float("nan"),
                       "peak_mib": float("nan"), "error": ""}
        self.consumer = None
        self.cpu0 = None
        self.split0 = None
        self.t0 = None

    def board(self, start):
        cmd = [os.path.join(self.args.build, "testing", "boardsim_fast"), "--udp-port", str(self.port), "--units",
               str(self.args.units), "--size", "16", "--rate", str(self.rate), "--start", start, "--sentinel", "1",
               "--lifetime", str(int(LEG_TIMEOUT + 30))]
        return subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True, cwd=self.dir)

    def ready_board(self, start, deadline):
        """The board, started and bound (its "ready" line), and its lines, or (None, None) with the error set:
        a consumer started after it finds it by its first discovery round (a board bound later is found by
        the next round, 10 s on)."""
        board = self.board(start)
        lines = Lines(board.stdout, self.on_board_line)
        if lines.wait("ready", deadline) is None:
            stop(board)
            self.result["error"] = "the board did not start"
            return None, None
        return board, lines

    def on_board_line(self, line):
        """At the first unit: the consumer's CPU time so far (what the burst costs is counted from here)."""
        if line.startswith("burst start ") and self.consumer is not None:
            self.t0 = float(line.split()[2])
            try:
                self.cpu0 = cpu_seconds(self.consumer.pid)
                self.split0 = user_system_seconds(self.consumer.pid)
            except OSError:
                pass

    def gateway_env(self):
        env = dict(os.environ, VQX_GW_ADDRESS_0="127.0.0.1", VQX_GW_PORT=str(self.port),
                   VQX_GW_REMOTE_ADDR="(127.0.0.1:%d)" % self.port)
        env.pop("VQX_GW_ADDRESS_1", None)
        env.pop("VQX_GW_ADDRESS", None)
        return env

    def finish(self, t_end):
        """Rate, CPU per unit and peak memory once the consumer has every unit (t_end: epoch seconds)."""
        r = self.result
        if self.t0 is None or t_end is None or t_end <= self.t0:
            r["error"] = r["error"] or "no burst timing"
            return
        r["rate"] = self.args.units / (t_end - self.t0)
        try:
            if self.cpu0 is not None:
                r["cpu_us"] = (cpu_seconds(self.consumer.pid) - self.cpu0) * 1e6 / self.args.units
            if self.split0 is not None:
                user, system = user_system_seconds(self.consumer.pid)
                r["user_us"] = (user - self.split0[0]) * 1e6 / self.args.units
                r["sys_us"] = (system - self.split0[1]) * 1e6 / self.args.units
            r["peak_mib"] = peak_kib(self.consumer.pid) / 1024.0
        except OSError:
            pass


class BareLeg(Leg):
    def run(self):
        deadline = time.monotonic() + LEG_TIMEOUT
        board, blines = self.ready_board("link", deadline)
        if board is None:
            return self.result
        self.consumer = subprocess.Popen([os.path.join(self.args.build, "sigtrace", "e2e_bare_filter"), "--units",
                                          str(self.args.units)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE, text=True, cwd=self.dir, env=self.gateway_env())
        out = Lines(self.consumer.stdout)
        err = Lines(self.consumer.stderr)
        try:
            if out.wait("ready", deadline) is None:
                self.result["error"] = "bare filter did not start"
                return self.result
            done = out.wait(("done ", "timeout "), deadline)
            blines.wait("burst end ", deadline)
            if done is None or not done.startswith("done "):
                self.result["error"] = "bare filter: %s" % (done or "no answer in time")
                self.result["lost"] = self.args.units - int(done.split()[-1]) if done else self.args.units
                return self.result
            self.finish(float(done.split()[1]))
            self.result["lost"] = self.args.units - min(self.args.units, int(done.split()[-1]))
        finally:
            if self.consumer.poll() is None:
                self.consumer.stdin.close()
            stop(self.consumer)
            stop(board)
            self.result["watermark"] = sum(1 for s in err.lines if s and "High watermark passed" in s)
        return self.result


LOG_STAMP = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\.(\d{3})")
SUMMARY = re.compile(r"Group SS7: (\d+) units written, (\d+) lost")


class ServerLeg(Leg):
    def __init__(self, args, name, workdir, fmt, rate=None):
        super().__init__(args, name, workdir, rate)
        self.fmt = fmt.split()

    def log_lines(self):
        out = []
        for name in sorted(os.listdir(self.dir)):
            if name.startswith("server_") or name == "server.out":
                with open(os.path.join(self.dir, name), errors="replace") as f:
                    out += f.read().splitlines()
        return out

    def sentinel_time(self, deadline):
        """Epoch time of the server's line for the refused unit after the burst (its own stamp, ms)."""
        while time.monotonic() < deadline and self.consumer.poll() is None:
            for line in self.log_lines():
                if "SS7 unit refused" in line:
                    m = LOG_STAMP.match(line)
                    if m is None:
                        return time.time()
                    return time.mktime(time.strptime(m.group(1), "%Y-%m-%d %H:%M:%S")) + int(m.group(2)) / 1000.0
            time.sleep(0.002)  # polls a file another process writes: nothing to wait on
        return None

    def run(self):
        deadline = time.monotonic() + LEG_TIMEOUT
        with open(os.path.join(self.dir, "quellan.xml"), "w") as f:
            f.write('<quellan>\n  <params>\n    <host pollDelay="200" networkDownDelay="500" adapterDownDelay="1100">\n'
                    '      <env VQX_GW_ADDRESS_0="127.0.0.1" VQX_GW_PORT="%d" VQX_GW_REMOTE_ADDR="(127.0.0.1:%d)"/>\n'
                    '    </host>\n    <log baseName="%s/server"/>\n  </params>\n</quellan>\n'
                    % (self.port, self.port, self.dir))
        board, blines = self.ready_board("on", deadline)
        if board is None:
            return self.result
        out = open(os.path.join(self.dir, "server.out"), "w")
        reader = None
        stream = out
        if "-stdout" in self.fmt:
            # The stream into a pipe whose reader keeps up.
            r, stream = os.pipe()
            reader = subprocess.Popen(["cat"], stdin=r, stdout=subprocess.DEVNULL)
            os.close(r)
        self.consumer = subprocess.Popen([os.path.join(self.args.build, "sigtrace", "sigtrace"), "-ss7"] + self.fmt +
                                         ["-e", str(int(LEG_TIMEOUT * 1000))], stdin=subprocess.DEVNULL, stdout=stream,
                                         stderr=out, cwd=self.dir, env=self.gateway_env())
        if reader is not None:
            os.close(stream)
        try:
            if blines.wait("burst start ", deadline) is None:
                self.result["error"] = "the server did not switch the trace on in time"
                return self.result
            t_end = self.sentinel_time(deadline)
            if t_end is None:
                self.result["error"] = "the server did not take the burst in time"
            self.finish(t_end)
        finally:
            rc = stop(self.consumer)
            out.close()
            stop(board)
            if reader is not None:
                stop(reader)
        lines = self.log_lines()
        summary = [SUMMARY.search(s) for s in lines if SUMMARY.search(s)]
        if summary:
            written, lost = int(summary[-1].group(1)), int(summary[-1].group(2))
            self.result["lost"] = self.args.units - written + lost
        elif not self.result["error"]:
            self.result["error"] = "no group summary (exit %s)" % rc
        self.result["watermark"] = sum(1 for s in lines if "High watermark passed" in s)
        return self.result


def show(r):
    print("  %-6s %9.0f units/s  lost %-6d watermark %-3d CPU %6.2f us/unit (user %.2f, system %.2f)  peak %6.1f MiB%s"
          % (r["leg"], r["rate"], r["lost"], r["watermark"], r["cpu_us"], r["user_us"], r["sys_us"], r["peak_mib"],
             "  ERROR: " + r["error"] if r["error"] else ""), flush=True)


def sustained(args, rundir, name, fmt, top):
    """The highest board rate (units/s, up to `top`) at which the server keeps up
    (takes the burst at 90 % of that rate or better: pacing slips under load)
    with no watermark line and nothing lost, by bisection; 0 when none was found."""
    def keeps_up(rate):
        r = ServerLeg(args, "%s_at_%d" % (name, rate), rundir, fmt, rate).run()
        ok = not r["error"] and r["lost"] == 0 and r["watermark"] == 0 and r["rate"] >= 0.9 * rate
        print("    %s at %8d units/s: %s (%.0f units/s, watermark %d)"
              % (name, rate, "keeps up" if ok else "falls behind", r["rate"], r["watermark"]), flush=True)
        return ok
    lo, hi = 0, int(top)
    if keeps_up(hi):
        return hi
    for _ in range(args.search_steps):
        mid = (lo + hi) // 2
        if keeps_up(mid):
            lo = mid
        else:
            hi = mid
    return lo


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", default=os.path.join(ROOT, "build", "release"), help="build tree (preset release)")
    p.add_argument("--units", type=int, default=300000)
    p.add_argument("--rate", type=int, default=0, help="units/s of the boards (0: as fast as the host reads)")
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--search", action="store_true",
                   help="also find the highest rate each server leg sustains (no watermark line, none lost)")
    p.add_argument("--search-steps", type=int, default=4, help="bisection steps of --search")
    p.add_argument("--keep", action="store_true", help="keep the legs' files (BUILD/bench_e2e/runN/LEG)")
    p.add_argument("--legs", default=",".join(LEGS), help="the legs to run, comma-separated (ratios need bare)")
    args = p.parse_args(argv)
    args.build = os.path.abspath(args.build)
    names = [n for n in args.legs.split(",") if n]
    if not names or any(n not in LEGS for n in names):
        p.error("--legs: a list of %s" % ", ".join(LEGS))
    workdir = os.path.join(args.build, "bench_e2e")
    subprocess.run(["rm", "-rf", workdir], check=True)
    results, ratios, failed = [], [], False
    print("each leg: units/s from the board's first unit to the last taken; units lost (must be 0); the host"
          " library's \"High watermark passed\" lines (must be 0); CPU time per unit over the burst;"
          " peak memory (VmHWM)", flush=True)
    for run in range(1, args.runs + 1):
        print("== end-to-end run %d of %d: %d SS7 units of 16 bytes, load %s"
              % (run, args.runs, args.units, load()), flush=True)
        legs = {}
        rundir = os.path.join(workdir, "run%d" % run)
        for name in names:
            leg = BareLeg(args, name, rundir) if name == "bare" else ServerLeg(args, name, rundir, LEGS[name])
            legs[name] = leg.run()
            show(legs[name])
        results.append(legs)
        failed |= any(r["error"] or r["lost"] != 0 for r in legs.values())
        bare = legs["bare"]["rate"] if "bare" in legs else 0.0
        if not bare:
            continue
        ratios.append({n: r["rate"] / bare for n, r in legs.items() if n != "bare"})
        print("  ratios to bare: %s; load after %s"
              % (", ".join("%s %.2fx%s" % (n, x, " (target >= %.1fx)" % TARGETS[n] if n in TARGETS else "")
                           for n, x in ratios[-1].items()), load()), flush=True)
        if args.search:
            found = [(n, sustained(args, rundir, n, LEGS[n], bare)) for n in ("pcap", "text") if n in legs]
            print("  sustained: " + ", ".join("%s %.0f units/s (%.2fx bare)" % (n, r, r / bare) for n, r in found),
                  flush=True)
    for name in names:
        print("== %s, median of %d runs: %.0f units/s, CPU %.2f us/unit (user %.2f, system %.2f)"
              % (name, len(results), *(statistics.median(legs[name][k] for legs in results)
                                       for k in ("rate", "cpu_us", "user_us", "sys_us"))))
    if ratios:
        print("== median of %d runs: %s; runs meeting every target: %d"
              % (len(ratios), ", ".join("%s %.2fx" % (n, statistics.median(r[n] for r in ratios)) for n in ratios[0]),
                 sum(1 for r in ratios if all(r[n] >= t for n, t in TARGETS.items() if n in r))))
    if not args.keep:
        subprocess.run(["rm", "-rf", workdir], check=False)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
