#!/usr/bin/env python3
"""The two stand-in boards check each other (run by ctest): the same host
session is played against the Python board (testing/boardsim) and the C++
one (boardsim_fast, its path the first argument), and what each puts on the
wire must be the same bytes: the UDP advertisement (but its TCP port), the
entity discovery answers, the trace request answers (a malformed one and an
unknown entity included) and a burst of SS7 units in batches. A poll sent
during the burst is answered before its end by both. The C++ board's own
modes (a burst on link, paced, closed by a too-short unit) are checked
against the wire layout; bad options make it exit 2 with the reason. Standard library only, 127.0.0.1 only."""
import json
import os
import socket
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "boardsim"))
from boardsim_selftest import free_port, held, poll_block, read_exact, read_frame, request, ss7_trace_set  # noqa: E402

FAST = sys.argv.pop(1) if len(sys.argv) > 1 else os.path.join(HERE, "boardsim_fast")
UNITS, SIZE = 3010, 20  # 201 batches, the last one of 10; 20 data bytes padded to 24 (560 KB: more than
# the link's buffers hold, so that the poll reply must overtake the rest of the burst)
PROFILE = {"mtp2": [{"id": 1, "links": [{"id": 11, "selector": 2, "trunk": 5, "timeslots": [16]}]}]}
DISCOVERY = [  # (id, payload size, item): what a trace server asks of a board with one SS7 link
    (0x04090001, 2688, 0), (0x04210005, 24, 0), (0x04210014, 24, 1), (0x04210012, 312, 11),
    (0x04540005, 24, 0), (0x04080004, 24, 0), (0x04510004, 24, 0), (0x04390004, 24, 0)]
TRACE_SETS = [  # (request, expected result)
    (dict(action=2), -1), (dict(version=2), -1), (dict(trunk=6), -2), (dict(mask=1 << 17), -2)]


def discovery_request(msg_id, size, item, serial):
    return request(msg_id, serial, struct.pack("<8xII", 1, item) + bytes(size - 16), ctx1=0xCA345678)


class Session:
    """One host session against a started board; `frames` what the board sent, poll replies apart."""

    def __init__(self, udp_port, start_burst):
        self.frames, self.adv, self.reply_before_end = [], b"", False
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u:
            u.settimeout(10)
            u.sendto(struct.pack(">I", 0x47574449), ("127.0.0.1", udp_port))
            self.adv = u.recv(2048)
        tcp_port = struct.unpack_from(">I", self.adv, 8)[0]
        self.host = socket.socket()
        self.host.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.host.settimeout(10)
        self.host.connect(("127.0.0.1", tcp_port))
        read_exact(self.host, 4)  # handshake: the board's process id
        serial = 100
        for msg_id, size, item in DISCOVERY:
            self.exchange(discovery_request(msg_id, size, item, serial))
            serial += 1
        for fields, _ in TRACE_SETS:
            self.exchange(ss7_trace_set(**dict(dict(action=1, serial=serial, bits=0x7F), **fields)))
            serial += 1
        self.exchange(ss7_trace_set(1, serial, bits=0x7F))
        start_burst()
        units = 0
        while units < UNITS:  # bounded: every frame holds a unit or is the one poll reply
            frame = read_frame(self.host)
            if frame is None:
                self.reply_before_end = True
                continue
            if not units:
                self.host.sendall(poll_block())
            units += len(frame)
            self.frames.append(frame)
        self.exchange(ss7_trace_set(0, serial + 1, bits=0x7F))
        self.host.close()

    def exchange(self, msg):
        self.host.sendall(msg)
        frame = read_frame(self.host)
        while frame is None:  # a poll reply after the burst: too late
            frame = read_frame(self.host)
        self.frames.append(frame)


class Boards(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        profile = os.path.join(cls.dir.name, "profile.json")
        with open(profile, "w") as f:
            json.dump(PROFILE, f)
        # Each board's sockets are bound here and inherited: no moment passes between a port's choice and its bind.
        with held(socket.SOCK_DGRAM) as u, held(socket.SOCK_STREAM) as c:
            udp, control, fds = u.getsockname()[1], c.getsockname()[1], (u.fileno(), c.fileno())
            py = subprocess.Popen([sys.executable, os.path.join(HERE, "..", "boardsim", "boardsim.py"), "--udp-fd",
                                   str(fds[0]), "--control-fd", str(fds[1]), "--lifetime", "30", "--profile", profile],
                                  stdout=subprocess.PIPE, text=True, pass_fds=fds)
        try:
            assert py.stdout.readline().startswith("ready tcp=")
            ctl = socket.create_connection(("127.0.0.1", control), timeout=10)
            cls.py = Session(udp, lambda: ctl.sendall(b"trace ss7 %d %d\n" % (UNITS, SIZE)))
            cls.py_answer = ctl.makefile("r").readline().strip()
            ctl.close()
        finally:
            py.kill()
            py.wait(10)
            py.stdout.close()
        with held(socket.SOCK_DGRAM) as u:
            udp = u.getsockname()[1]
            fast = subprocess.Popen([FAST, "--udp-fd", str(u.fileno()), "--units", str(UNITS), "--size", str(SIZE),
                                     "--lifetime", "30"], stdout=subprocess.PIPE, text=True, pass_fds=(u.fileno(),))
        try:
            assert fast.stdout.readline().startswith("ready tcp=")
            cls.fast = Session(udp, lambda: None)
            fast.send_signal(15)
            cls.fast_out = fast.communicate(timeout=10)[0].splitlines()
            cls.fast_rc = fast.returncode
        finally:
            if fast.poll() is None:
                fast.kill()
                fast.wait(10)
        cls.dir.cleanup()

    def test_advertisements_equal_but_the_tcp_port(self):
        self.assertEqual(len(self.fast.adv), 560)
        self.assertEqual(self.fast.adv[:8] + self.fast.adv[12:], self.py.adv[:8] + self.py.adv[12:])

    def test_same_bytes_on_the_link(self):
        self.assertEqual(self.py_answer, "ok %d" % UNITS)
        self.assertEqual(len(self.fast.frames), len(self.py.frames))
        for i, (f, p) in enumerate(zip(self.fast.frames, self.py.frames)):
            self.assertEqual(f, p, "frame %d" % i)
        # The answers carry what the host expects (so that equal bytes are also right ones).
        answers = self.fast.frames[len(DISCOVERY):len(DISCOVERY) + len(TRACE_SETS) + 1]
        results = [struct.unpack_from("<i", a[0], 88 + 12)[0] for a in answers]
        self.assertEqual(results, [r for _, r in TRACE_SETS] + [0])
        last = self.fast.frames[-2][-1]
        self.assertEqual(struct.unpack_from("<II", last, 88 + 0x0C), (UNITS, 1 + UNITS % 2))

    def test_poll_answered_during_the_burst(self):
        self.assertTrue(self.py.reply_before_end)
        self.assertTrue(self.fast.reply_before_end)

    def test_fast_board_reports_its_burst(self):
        self.assertEqual(self.fast_rc, 0)
        self.assertTrue(any(s.startswith("burst start ") for s in self.fast_out), self.fast_out)
        self.assertTrue(any(s.startswith("burst end ") and s.endswith(" units %d" % UNITS) for s in self.fast_out))
        stats = json.loads(self.fast_out[-1])
        # The host read every unit before it closed: its TCP acknowledged them all (a poll reply among them).
        self.assertEqual((stats["units"], stats["polls"], stats["traces_on"], stats["acked"]), (UNITS, 1, 0, UNITS))

    def test_link_start_paced_burst_and_sentinel(self):
        """--start link: units stream to a host that asks for nothing, with the link's
        fields, at --rate (never faster), then the too-short unit of --sentinel 1."""
        units, rate, udp = 600, 2000, free_port()
        fast = subprocess.Popen([FAST, "--udp-port", str(udp), "--units", str(units), "--rate", str(rate), "--start",
                                 "link", "--sentinel", "1", "--lifetime", "30"], stdout=subprocess.PIPE, text=True)
        try:
            tcp = int(fast.stdout.readline().split("=")[1])
            host = socket.create_connection(("127.0.0.1", tcp), timeout=10)
            read_exact(host, 4)
            msgs = []
            while len(msgs) <= units:  # bounded: each frame holds at least one message
                frame = read_frame(host)
                msgs += frame or []
            host.close()
            fast.send_signal(15)
            out = fast.communicate(timeout=10)[0].splitlines()
        finally:
            if fast.poll() is None:
                fast.kill()
                fast.wait(10)
        self.assertEqual(len(msgs), units + 1)
        fields = [struct.unpack_from("<IIIIIIIII", m, 88 + 0x0C) for m in msgs[:units]]
        self.assertEqual(fields, [(n, 1 + n % 2, 16, 5, 1 << 16, 0x7F, 0, 1, 14) for n in range(1, units + 1)])
        self.assertEqual(msgs[-1], bytes.fromhex("04210031 00000004 00000060 00000008 00000008 00000058") + bytes(16)
                         + bytes.fromhex("00000001 00000002") + bytes(48))
        start = float(next(s for s in out if s.startswith("burst start ")).split()[2])
        end = float(next(s for s in out if s.startswith("burst end ")).split()[2])
        self.assertGreaterEqual(end - start, (units - 8 * 15 - 15) / rate, "faster than --rate")

    def test_bad_options_exit_2_with_the_reason(self):
        for args, why in ((["--udp-port", "x"], "bad --udp-port"), ([], "--udp-port is required"),
                          (["--udp-port", "1", "--size", "0"], "--size must be"), (["--udp-port", "1", "--start", "now"],
                                                                                  "unknown option --start now"),
                          (["--udp-fd", "0"], "--udp-fd: not a UDP socket bound to 127.0.0.1"),
                          (["--udp-fd", "999"], "--udp-fd: not a UDP socket bound to 127.0.0.1"),
                          (["--udp-port", "1", "--udp-fd", "0"], "--udp-port and --udp-fd: one only")):
            r = subprocess.run([FAST] + args, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=10)
            self.assertEqual(r.returncode, 2, args)
            self.assertIn(why, r.stderr, args)


if __name__ == "__main__":
    unittest.main()
