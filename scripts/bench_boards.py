#!/usr/bin/env python3
"""Boards over one trace server's life: how many distinct boards the release
server links, traces and writes, and what each costs it in memory.

The server (`sigtrace -cap`, default options) runs with its gateway on
127.0.0.1; each simulated board (testing/boardsim, the trace profile of the
server tests: 7 entities) sits on a loopback address of its own at the
server's gateway port, listed in VQX_GW_REMOTE_ADDR. Scenarios (--scenario):
  replace  --boards boards linked, traced (2 units per entity) and removed,
           --boards others of new serial numbers on the same addresses
           likewise, then one more;
  return   one board at one address removed and back --returns times, each
           time with a new serial number (memory: the server's VmRSS after
           each board was linked);
  handle   a board removed, then one whose serial number gives the same
           peer handle at its address;
  churn    --listed boards (a serial number per address), --boards of them
           running at once: every --period s one running board stops and
           one at an idle address starts, for --duration s. A board is found
           when the server logs it added or waiting for a place; printed:
           starts, those not found within --wait s while running that long,
           and the boards never found.
A board counts as linked when the server logs it added within --wait s
(then its trace-ons are counted: 7 when every entity found a group).
Printed per scenario: boards linked of those started, the first that was
not, the server's lines naming a board it could not link, units sent
against the summary's written and lost, "Entities not traced" and, for
return, the memory growth per distinct board over the first and the last
half of the run. Every address is on 127.0.0.0/8; every wait is bounded.
"""
import argparse
import glob
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "testing", "peers"))
from loopback_ports import free_port  # noqa: E402
PROFILE = os.path.join(ROOT, "sigtrace", "tests", "data", "activate_profile.json")
ENTITIES = 7
FAMILIES = ("ss7", "lapd", "isdn", "casr2", "ip")


class Board:
    """One boardsim child and its control connection."""

    def __init__(self, run, serial, address):
        self.serial, self.control = serial, free_port()
        log = open(os.path.join(run.dir, "board_%s.out" % serial), "w")
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(ROOT, "testing", "boardsim", "boardsim.py"), "--udp-port", str(run.port),
             "--gw0", address, "--serial", serial, "--control-port", str(self.control), "--lifetime", "3600",
             "--profile", PROFILE], stdout=log, stderr=subprocess.STDOUT)
        log.close()

    def command(self, line):
        for _ in range(100):
            try:
                with socket.create_connection(("127.0.0.1", self.control), timeout=10) as s:
                    s.sendall((line + "\n").encode())
                    return s.makefile().readline().strip()
            except OSError:
                time.sleep(0.1)
        return ""

    def traces_on(self):
        try:
            return json.loads(self.command("stats")).get("traces_on", 0)
        except ValueError:
            return -1

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


class Run:
    """The server in a directory of its own, its log read back by line."""

    def __init__(self, binary, addresses):
        self.dir = tempfile.mkdtemp(prefix="bench_boards_")
        self.port = free_port()
        with open(os.path.join(self.dir, "quellan.xml"), "w") as f:
            f.write('<quellan>\n  <params>\n    <host pollDelay="200" networkDownDelay="500" adapterDownDelay="1100">\n'
                    '      <env VQX_GW_ADDRESS_0="127.0.0.1" VQX_GW_PORT="%d"/>\n    </host>\n'
                    '    <log baseName="%s/server"/>\n  </params>\n</quellan>\n' % (self.port, self.dir))
        env = dict(os.environ, VQX_GW_REMOTE_ADDR="".join("(%s:%d)" % (a, self.port) for a in addresses))
        self.proc = subprocess.Popen([binary, "-cap"], cwd=self.dir, env=env, stdin=subprocess.DEVNULL,
                                     stdout=open(os.path.join(self.dir, "server.out"), "w"), stderr=subprocess.STDOUT)

    def lines(self, part):
        found = []
        for path in sorted(glob.glob(os.path.join(self.dir, "server_*"))):
            with open(path, errors="replace") as f:
                found += [line.rstrip("\n") for line in f if part in line]
        return found

    def rss_kb(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))

    def end(self):
        self.proc.send_signal(signal.SIGTERM)
        return self.proc.wait(60)


def wait(cond, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if cond():
            return True
        time.sleep(0.2)
    return cond()


def link(run, board, args):
    """Waits for the board to be added and its traces switched on (5 s for them once
    added), then has it send units: (traces on, units sent), or None when not added."""
    if not wait(lambda: run.lines("Adapter %s added" % board.serial), args.wait):
        return None
    wait(lambda: board.traces_on() == ENTITIES, 5)
    time.sleep(0.5)  # a trace-on the server sends last is in
    sent = 0
    for kind in FAMILIES:
        answer = board.command("trace %s %d" % (kind, args.units))
        sent += int(answer[3:]) if answer.startswith("ok ") else 0
    return board.traces_on(), sent


def remove(run, board):
    board.stop()
    wait(lambda: run.lines("Adapter %s removed" % board.serial), 15)


def report(name, run, started, linked, first_missing, sent, whole, keep, extra=""):
    code = run.end()
    written = lost = 0
    for line in run.lines(" units written, "):
        m = re.search(r": (\d+) units written, (\d+) lost", line)
        written, lost = written + int(m.group(1)), lost + int(m.group(2))
    refused = [l for l in run.lines("cannot be linked") + run.lines("handle conflict")]
    untraced = run.lines("Entities not traced")
    print("%s: %d of %d boards linked%s, %d of them with their %d trace-ons; units sent %d, written %d, lost %d; exit %d" %
          (name, linked, started, "" if first_missing is None else " (first not linked: #%d)" % first_missing,
           whole, ENTITIES, sent, written, lost, code))
    print("  lines naming a board not linked: %d%s" % (len(refused), (" (first: %s)" % refused[0].split("  ")[-1][:160]) if refused else ""))
    print("  %s" % (untraced[-1].split("  ")[-1] if untraced else "no 'Entities not traced' line"))
    if extra:
        print("  " + extra)
    if keep:
        print("  run directory: %s" % run.dir)
    else:
        shutil.rmtree(run.dir, ignore_errors=True)


def scenario_replace(args):
    addresses = ["127.0.0.%d" % (2 + i) for i in range(args.boards)]
    run = Run(args.binary, addresses)
    started = linked = sent = whole = 0
    first_missing = None
    serial = 10000001
    for wave in (args.boards, args.boards, 1):
        boards = []
        for i in range(wave):
            boards.append(Board(run, str(serial), addresses[i]))
            serial += 1
        for b in boards:
            started += 1
            n = link(run, b, args)
            if n is None:
                first_missing = first_missing or started
            else:
                linked, sent, whole = linked + 1, sent + n[1], whole + (n[0] == ENTITIES)
        time.sleep(2)  # the units written before the boards go
        for b in boards:
            remove(run, b)
    report("replace", run, started, linked, first_missing, sent, whole, args.keep)


def scenario_return(args):
    run = Run(args.binary, ["127.0.0.2"])
    linked = sent = whole = 0
    first_missing = None
    rss = []
    misses = 0
    for i in range(args.returns):
        b = Board(run, str(20000001 + i), "127.0.0.2")
        n = link(run, b, args)
        if n is None:
            first_missing, misses = first_missing or i + 1, misses + 1
        else:
            linked, sent, whole, misses = linked + 1, sent + n[1], whole + (n[0] == ENTITIES), 0
            rss.append(run.rss_kb())
        remove(run, b)
        if misses >= 3:  # three in a row not linked: the rest would not be either
            break
    if args.rss_log:
        with open(args.rss_log, "w") as f:
            f.write("".join("%d %d\n" % (n + 1, kb) for n, kb in enumerate(rss)))
    half = len(rss) // 2
    per = lambda a: (a[-1] - a[0]) / max(len(a) - 1, 1)  # noqa: E731
    extra = "VmRSS %d kB after the first board, %d kB after the last linked; per distinct board: %.1f kB over the first %d, %.1f kB over the last %d" % (
        rss[0], rss[-1], per(rss[:half + 1]), half, per(rss[half:]), len(rss) - half) if len(rss) > 2 else ""
    report("return", run, i + 1, linked, first_missing, sent, whole, args.keep, extra)


def scenario_handle(args):
    run = Run(args.binary, ["127.0.0.2"])
    linked = sent = whole = 0
    first_missing = None
    for i, serial in enumerate(("10000000", "20000000")):  # one peer handle, 0xCA000000
        b = Board(run, serial, "127.0.0.2")
        n = link(run, b, args)
        if n is None:
            first_missing = first_missing or i + 1
        else:
            linked, sent, whole = linked + 1, sent + n[1], whole + (n[0] == ENTITIES)
        remove(run, b)
    report("handle", run, 2, linked, first_missing, sent, whole, args.keep)


def scenario_churn(args):
    import random
    rng = random.Random(args.seed)
    addresses = ["127.0.0.%d" % (2 + i) for i in range(args.listed)]
    serials = [str(30000001 + i) for i in range(args.listed)]
    run = Run(args.binary, addresses)
    found = {}  # serial -> times the server logged it added or waiting
    seen = {}   # log file -> bytes read
    def read_log():
        for path in sorted(glob.glob(os.path.join(run.dir, "server_*"))):
            with open(path, errors="replace") as f:
                f.seek(seen.get(path, 0))
                for line in f.read().splitlines():
                    m = re.search(r"Adapter (\d+) added|board (\d+) waits for a place", line)
                    if m:
                        found.setdefault(m.group(1) or m.group(2), []).append(time.monotonic())
                seen[path] = f.tell()
    running = {}  # index -> (Board, start time)
    starts = []   # (serial, start, end)
    def start(i):
        running[i] = (Board(run, serials[i], addresses[i]), time.monotonic())
    def stop(i):
        board, t0 = running.pop(i)
        board.stop()
        starts.append((serials[i], t0, time.monotonic()))
    try:
        for i in rng.sample(range(args.listed), args.boards):
            start(i)
        end = time.monotonic() + args.duration
        next_turn = time.monotonic() + args.period
        while time.monotonic() < end:
            time.sleep(0.2)
            read_log()
            if time.monotonic() >= next_turn:
                next_turn += args.period
                stop(rng.choice(sorted(running)))
                start(rng.choice([i for i in range(args.listed) if i not in running]))
        read_log()
    finally:
        for i in sorted(running):
            stop(i)
    long_runs = [(s, t0, t1) for s, t0, t1 in starts if t1 - t0 >= args.wait]
    late = [(s, t0) for s, t0, t1 in long_runs if not any(t0 <= t <= t0 + args.wait for t in found.get(s, []))]
    never = sorted({s for s, t0, t1 in long_runs if not any(t0 <= t <= t1 for t in found.get(s, []))})
    print("churn: %d boards listed, %d running at once, a turn every %.1f s for %d s: %d starts, %d ran %d s or more; "
          "of those %d not found within %d s, %d boards never found while running%s" %
          (args.listed, args.boards, args.period, args.duration, len(starts), len(long_runs), args.wait, len(late),
           args.wait, len(never), (" (%s)" % ", ".join(never)) if never else ""))
    report("churn", run, len(starts), len(starts) - len(late), None, 0, 0, args.keep)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--binary", default=os.path.join(ROOT, "build", "release", "sigtrace", "sigtrace"))
    p.add_argument("--scenario", choices=("replace", "return", "handle", "churn", "all"), default="all")
    p.add_argument("--boards", type=int, default=32)
    p.add_argument("--returns", type=int, default=80)
    p.add_argument("--listed", type=int, default=48, help="churn: addresses listed, one board each")
    p.add_argument("--period", type=float, default=3.0, help="churn: seconds between two turns")
    p.add_argument("--duration", type=int, default=150, help="churn: seconds of churn")
    p.add_argument("--seed", type=int, default=1, help="churn: the random choices' seed")
    p.add_argument("--units", type=int, default=2, help="units per entity each linked board sends")
    p.add_argument("--keep", action="store_true", help="keep each run's directory (files, logs) and print its path")
    p.add_argument("--rss-log", default="", help="return: a file of 'board VmRSS(kB)' lines")
    p.add_argument("--wait", type=float, default=25.0, help="seconds a board may take to be linked and traced")
    args = p.parse_args()
    if args.scenario in ("replace", "all"):
        scenario_replace(args)
    if args.scenario in ("return", "all"):
        scenario_return(args)
    if args.scenario in ("handle", "all"):
        scenario_handle(args)
    if args.scenario == "churn":
        scenario_churn(args)


if __name__ == "__main__":
    main()
