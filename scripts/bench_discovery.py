#!/usr/bin/env python3
"""A board of real size as the release trace server discovers it: how long
from the board's link to its tracing, what the discovery gave up, the
server's peak memory, what its summary counts, and how long a SIGTERM takes.

The board (testing/boardsim) has 2 SS7 links and N-2 CAS R2 trunks (each
CAS R2 request and answer 63 KB), on its own loopback address 127.0.0.2;
the server (`sigtrace -cap`) runs with its gateway on 127.0.0.1. With
--rate (for instance 100mbit) everything runs in a private network
namespace (unshare -rn) whose loopback interface tc shapes to that rate,
both ways sharing it, as a board's link would. Per N (--entities):
  time from "Adapter ... added" to the first entity traced ("Allocate
  entity"), or to the adapter-ready line when nothing is traced within
  --wait s; requests given up, answers dropped as not awaited, requests
  sent again; the server's peak RSS (VmHWM); the table-full line; then
  SIGTERM and the seconds to the exit, with the summary's "Entities not
  traced" line.
--deaf: the board answers its polls but none of the CAS R2 requests; the
SIGTERM comes --sigterm-after s after the link (default 20). --sigterm-after
alone cuts a board's discovery short likewise. --args: the server's options
("-cap" by default; "-ss7" traces the SS7 links alone); --drop: a board's
"drop" command before the server starts ("0x04510003 1 10": the 10th CAS R2
request left unanswered; "any 100000 2": every other request of any kind),
several allowed; also the time from the link to the adapter-ready line and
the SS7 links traced. --relink S: S s after the link the board stops answering
the server's polls until the server removes it, then answers again; the
discovery that follows is timed, and the server's memory (VmRSS) is read once
it is ready and --settle s later. Every address is on 127.0.0.0/8 (or inside
the namespace); every wait is bounded.
"""
import argparse
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
sys.path.insert(0, os.path.join(ROOT, "scripts"))
from bench_boards import Run as BoardsRun  # noqa: E402
from loopback_ports import free_port  # noqa: E402

BOARD_ADDR = "127.0.0.2"


def profile(entities):
    links = [{"id": 11, "trunk": 1, "timeslots": [1], "name": "L1"}, {"id": 12, "trunk": 2, "timeslots": [2], "name": "L2"}]
    trunks = [{"id": i, "trunk": i & 0xFFF, "name": "R%d" % i} for i in range(1, entities - 1)]
    return {"mtp2": [{"id": 1, "links": links}], "casr2": trunks}


def wait(cond, seconds, step=0.05):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if cond():
            return True
        time.sleep(step)
    return cond()


class Run:
    """The board and the server in a directory of their own."""

    def __init__(self, binary, entities):
        self.dir = tempfile.mkdtemp(prefix="bench_discovery_")
        self.port, self.control = free_port(), free_port()
        with open(os.path.join(self.dir, "profile.json"), "w") as f:
            json.dump(profile(entities), f)
        with open(os.path.join(self.dir, "quellan.xml"), "w") as f:
            f.write('<quellan>\n  <params>\n    <host>\n'
                    '      <env VQX_GW_ADDRESS_0="127.0.0.1" VQX_GW_PORT="%d" VQX_GW_REMOTE_ADDR="(%s:%d)"/>\n'
                    '    </host>\n    <log baseName="%s/server"/>\n  </params>\n</quellan>\n'
                    % (self.port, BOARD_ADDR, self.port, self.dir))
        self.board = subprocess.Popen(
            [sys.executable, os.path.join(ROOT, "testing", "boardsim", "boardsim.py"), "--udp-port", str(self.port),
             "--gw0", BOARD_ADDR, "--control-port", str(self.control), "--lifetime", "3600",
             "--profile", os.path.join(self.dir, "profile.json")],
            stdout=open(os.path.join(self.dir, "board.out"), "w"), stderr=subprocess.STDOUT)
        wait(lambda: self.command("stats") != "", 30, 0.2)
        self.proc = None
        self.binary = binary

    def start_server(self, args):
        self.proc = subprocess.Popen([self.binary] + args.split(), cwd=self.dir, stdin=subprocess.DEVNULL,
                                     stdout=open(os.path.join(self.dir, "server.out"), "w"), stderr=subprocess.STDOUT)

    def command(self, line):
        try:
            with socket.create_connection(("127.0.0.1", self.control), timeout=10) as s:
                s.sendall((line + "\n").encode())
                return s.makefile().readline().strip()
        except OSError:
            return ""

    lines = BoardsRun.lines  # the server's log lines holding a text (its log files in self.dir)

    def peak_kb(self, what="VmHWM"):
        try:
            with open("/proc/%d/status" % self.proc.pid) as f:
                return int(re.search(what + r":\s+(\d+)", f.read()).group(1))
        except (OSError, AttributeError):
            return 0

    def end(self, seconds=600):
        start = time.monotonic()
        self.proc.send_signal(signal.SIGTERM)
        try:
            code = self.proc.wait(seconds)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            code = "killed after %d s" % seconds
        return code, time.monotonic() - start

    def close(self, keep):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)
        self.board.terminate()
        self.board.wait(10)
        if keep:
            print("  run directory: %s" % self.dir)
        else:
            shutil.rmtree(self.dir, ignore_errors=True)


def stamp(line):
    """Seconds of a log line's time stamp ("YYYY-MM-DD HH:MM:SS.mmm" at its start)."""
    m = re.search(r"(\d\d):(\d\d):(\d\d\.\d+)", line)
    return int(m.group(1)) * 3600 + int(m.group(2)) * 60 + float(m.group(3)) if m else None


def measure(args, entities):
    run = Run(args.binary, entities)
    if args.deaf:
        run.command("drop 0x04510003 %d" % (entities * 8))
    for drop in args.drop:
        if run.command("drop " + drop) != "ok":
            print("the board refused 'drop %s'" % drop)
    run.start_server(args.args)
    peak = now = 0
    try:
        if not wait(lambda: run.lines("Adapter 12345678 added"), 60):
            print("%6d entities: the board was not linked" % entities)
            return
        linked = stamp(run.lines("Adapter 12345678 added")[0])
        relinked = ""
        if args.relink is not None:
            time.sleep(args.relink)
            run.command("silent")
            removed = wait(lambda: run.lines("Adapter 12345678 removed"), 120, 0.2)
            run.command("talk")
            if not removed or not wait(lambda: len(run.lines("Adapter 12345678 added")) > 1, 120, 0.2):
                print("%6d entities: the board was not linked again" % entities)
                return
            linked = stamp(run.lines("Adapter 12345678 added")[-1])
            relinked = " (linked again after %d s)" % args.relink
        ready = None
        if args.sigterm_after is not None or args.deaf:
            time.sleep(args.sigterm_after if args.sigterm_after is not None else 20)
            traced = None
        else:
            def since(part):  # the lines since the (last) link
                return [line for line in run.lines(part) if stamp(line) >= linked]
            wait(lambda: since("Allocate entity") or since("NotifReady") or run.proc.poll() is not None, args.wait, 0.2)
            first = since("Allocate entity") or since("NotifReady")
            traced = stamp(first[0]) - linked if first else None
            if wait(lambda: since("NotifReady"), args.wait, 0.2):
                ready = stamp(since("NotifReady")[0]) - linked
            now = run.peak_kb("VmRSS")
            if args.settle:
                time.sleep(args.settle)
                now = "%d then %d" % (now // 1024, run.peak_kb("VmRSS") // 1024)
            else:
                now = "%d" % (now // 1024)
        peak = run.peak_kb()
        asked = json.loads(run.command("stats") or "{}").get("discovery_requests", 0)
        links = len(run.lines("Allocate entity: add \033[32m12345678:L"))
        code, seconds = run.end(args.term_wait)
        given_up = sum(told(line) for line in run.lines(", given up"))
        not_awaited = len(run.lines("not awaited"))
        again = sum(told(line) for line in run.lines("not answered, sent again"))
        full = run.lines("entities past its 128 not registered")
        untraced = run.lines("Entities not traced")
        ring_full = sum(told(line) for line in run.lines("TxPending fifo full"))
        if args.sigterm_after is not None or args.deaf:
            when = "SIGTERM %s s after the link" % (args.sigterm_after if args.sigterm_after is not None else 20)
        else:
            when = ("traced %.1f s after the link" % traced) if traced is not None else "nothing traced in %d s" % args.wait
            when += (", ready after %.1f s" % ready) if ready is not None else ", not ready in %d s" % args.wait
            when += ", %d SS7 links traced" % links
        print("%6d entities%s%s: %s; %d requests asked, %d sent again, %d given up, %d answers not awaited; peak RSS %d MiB%s;"
              " SIGTERM to exit %.1f s (status %s)" % (entities, " (deaf)" if args.deaf else "", relinked, when, asked, again,
                                                      given_up, not_awaited, peak // 1024,
                                                      (", RSS when ready %s MiB" % now) if now else "", seconds, code))
        if ring_full:
            print("    TxPending fifo full: %d" % ring_full)
        if full:
            print("    " + full[-1].split("VQLT ")[-1])
        print("    " + (untraced[-1].split("VQLT ")[-1] if untraced else "no 'Entities not traced' line"))
    finally:
        run.close(args.keep)


def told(line):
    """One line, and those it says were left out ("(N similar line(s) left out)", or a count's own line)."""
    m = re.search(r"(: |\()(\d+) similar line\(s\) left out", line)
    if not m:
        return 1
    return int(m.group(2)) + (0 if m.group(1) == ": " else 1)


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--binary", default=os.path.join(ROOT, "build", "release", "sigtrace", "sigtrace"))
    p.add_argument("--entities", type=int, nargs="+", default=[1000, 4000, 8000, 25000])
    p.add_argument("--rate", default="", help="tc rate of the namespace's loopback, e.g. 100mbit; empty: unshaped")
    p.add_argument("--wait", type=float, default=300, help="seconds to wait for the tracing")
    p.add_argument("--deaf", action="store_true", help="the board answers polls but no CAS R2 request")
    p.add_argument("--args", default="-cap", help="the server's options (default -cap)")
    p.add_argument("--drop", action="append", default=[], help="a board's drop command, e.g. '0x04510003 1 10' or 'any 100000 2'")
    p.add_argument("--relink", type=float, default=None, help="S s after the link the board stops answering polls until removed")
    p.add_argument("--settle", type=float, default=0, help="read the memory again this many s after the ready line")
    p.add_argument("--sigterm-after", type=float, default=None, help="SIGTERM this many s after the link")
    p.add_argument("--term-wait", type=float, default=600, help="seconds given to the server after SIGTERM, then killed")
    p.add_argument("--keep", action="store_true", help="keep the run directories")
    p.add_argument("--in-namespace", action="store_true", help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.rate and not args.in_namespace:
        # The same run in a private network namespace: its own loopback, shaped, and nothing else.
        return subprocess.call(["unshare", "-rn", sys.executable, os.path.abspath(__file__), "--in-namespace"] + argv)
    if args.in_namespace:
        subprocess.check_call(["ip", "link", "set", "lo", "up"])
        subprocess.check_call(["tc", "qdisc", "add", "dev", "lo", "root", "tbf", "rate", args.rate, "burst", "256kb",
                               "latency", "100ms"])
        print("loopback shaped to %s in a private network namespace" % args.rate)
    for n in args.entities:
        measure(args, n)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
