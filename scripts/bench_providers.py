#!/usr/bin/env python3
"""Trace providers at once against the release server: how many it links
(serves, keeps waiting for a place, refuses for good), how many its gateway
transport names as not linked, and how many nobody names.

The server (`sigtrace -h248 -cap`) runs with its gateway on 127.0.0.1 and no
board; --providers stand-ins (the C++ provider, testing/sigtrace_provider,
each on a port of its own: served, it answers one capture and stays) start
one after the other. --wait s after the last start the server's log is read:
"New application ... detected" (served), "... it waits, served once a place
frees" (waiting), "... never served" (refused for good), "Host '...' cannot
be linked" (the transport's), a line's "(and N more since the last line"
and "N more time(s) since the last line" counted too. Then the server ends
(its summary's "Entities not traced" is printed), and the providers. Every
address is on 127.0.0.0/8; every wait is bounded.
"""
import argparse
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "testing", "peers"))
from loopback_ports import free_port  # noqa: E402

KINDS = (("served", "New application "), ("waiting", "it waits, served once a place frees"),
         ("never served", "never served"), ("not linked", "cannot be linked: the "))


def log_lines(run_dir):
    lines = []
    for path in sorted(glob.glob(os.path.join(run_dir, "server_*"))):
        with open(path, errors="replace") as f:
            lines += f.read().splitlines()
    return lines


def counted(line):
    """Providers a line stands for: the one it names, and those it says were left out."""
    n = 1 if "(provider " in line or "New application " in line or "Host '" in line else 0
    for pattern in (r"and (\d+) more since the last line", r"(\d+) more time\(s\) since the last line"):
        n += sum(int(m) for m in re.findall(pattern, line))
    return n


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--binary", default=os.path.join(ROOT, "build", "release", "sigtrace", "sigtrace"))
    p.add_argument("--provider", default=os.path.join(ROOT, "build", "release", "testing", "sigtrace_provider",
                                                      "vqx_sigtrace_provider"))
    p.add_argument("--providers", type=int, default=85)
    p.add_argument("--wait", type=float, default=15.0, help="seconds after the last start before the log is read")
    p.add_argument("--keep", action="store_true", help="keep the run directory and print its path")
    args = p.parse_args()
    run_dir = tempfile.mkdtemp(prefix="bench_providers_")
    port = free_port()
    with open(os.path.join(run_dir, "quellan.xml"), "w") as f:
        f.write('<quellan>\n  <params>\n    <host pollDelay="200" networkDownDelay="500" adapterDownDelay="1100">\n'
                '      <env VQX_GW_ADDRESS_0="127.0.0.1" VQX_GW_PORT="%d"/>\n    </host>\n'
                '    <log baseName="%s/server"/>\n  </params>\n</quellan>\n' % (port, run_dir))
    server = subprocess.Popen([args.binary, "-h248", "-cap"], cwd=run_dir, stdin=subprocess.DEVNULL,
                              stdout=open(os.path.join(run_dir, "server.out"), "w"), stderr=subprocess.STDOUT)
    providers = []
    try:
        time.sleep(1.0)  # the server's gateway up
        for i in range(args.providers):
            out = open(os.path.join(run_dir, "provider_%02d.out" % i), "w")
            providers.append(subprocess.Popen(
                [args.provider, "--port", str(free_port()), "--peer-port", str(port), "--app", "w%02d" % i,
                 "--stay"], cwd=run_dir, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT))
            out.close()
        time.sleep(args.wait)
        lines = log_lines(run_dir)
        figures = {kind: sum(counted(l) for l in lines if text in l) for kind, text in KINDS}
    finally:
        server.send_signal(signal.SIGTERM)  # first: the providers still there are in its summary
        code = server.wait(60)
        for child in providers:
            if child.poll() is None:
                child.send_signal(signal.SIGKILL)
            child.wait(30)
    linked = figures["served"] + figures["waiting"] + figures["never served"]
    print("providers: %d started; the server linked %d (served %d, waiting %d, never served %d); the transport named "
          "%d as not linked; named by nobody %d; server exit %d" %
          (args.providers, linked, figures["served"], figures["waiting"], figures["never served"],
           figures["not linked"], args.providers - linked - figures["not linked"], code))
    untraced = [l for l in log_lines(run_dir) if "Entities not traced" in l]
    print("  %s" % (untraced[-1].split("  ")[-1][:300] if untraced else "no 'Entities not traced' line"))
    if args.keep:
        print("  run directory: %s" % run_dir)
    else:
        shutil.rmtree(run_dir, ignore_errors=True)


if __name__ == "__main__":
    main()
