#!/usr/bin/env python3
"""Self-test of the simulated board (run by ctest): it stays up when a probe
connects to its ports and goes (closed or reset), when the host resets a link
in the middle of a long send, and it answers a poll between the batches of a
long burst that the host reads slowly; a long trace burst is built as the host
reads it, the board answering polls and control lines meanwhile. A host's new
link on a path replaces the path's link still open (counted), not one whose
close came with it. Wire facts are those of the gateway links: a 4-byte
handshake, board-to-host batches behind a 64-byte header of sixteen big-endian
words (a count, the sizes; all 0xFF: a poll reply), and a 92-byte poll block
from the host; host messages (88-byte header, big-endian words) and the SS7
trace request and unit of docs/board-trace-messages.md. Standard library
only, 127.0.0.1 only."""
import json
import os
import select
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "peers"))
from loopback_ports import free_port  # noqa: E402  (also the stand-in checks' port source)
from boardsim import proc_tcp_address  # noqa: E402

BURST, SIZE = 3000, 1000


def held(kind, address="127.0.0.1", port=0):
    """A socket bound on address here, on a port of free_port (or the one
    given), for a stand-in to inherit (--udp-fd, --control-fd): no moment
    passes between the port's choice and its bind."""
    s = socket.socket(socket.AF_INET, kind)
    s.bind((address, port or free_port()))
    if kind == socket.SOCK_STREAM:
        s.listen(4)
    return s


def poll_block():
    b = bytearray(92)
    struct.pack_into(">I", b, 56, 32)
    b[60:64] = b"\x06\x00\x0d\x02"
    return bytes(b)


def read_exact(sock, n):
    out = bytearray()
    while len(out) < n:
        chunk = sock.recv(n - len(out))
        if not chunk:
            raise EOFError("link closed after %d of %d bytes" % (len(out), n))
        out += chunk
    return bytes(out)


def read_frame(sock):
    """One board-to-host frame: None for a poll reply, else its messages."""
    head = read_exact(sock, 64)
    if head == b"\xff" * 64:
        return None
    words = struct.unpack(">16I", head)
    assert 1 <= words[0] <= 15, words
    return [read_exact(sock, n) for n in words[1:1 + words[0]]]


def whole_messages(data):
    """Messages of the frames in data that arrived whole (a cut frame's complete ones included)."""
    n, i = 0, 0
    while len(data) - i >= 64:
        words = struct.unpack_from(">16I", data, i)
        i += 64
        for size in words[1:1 + words[0]] if words[0] != 0xFFFFFFFF else []:
            if len(data) - i < size:
                return n
            n, i = n + 1, i + size
    return n


def request(msg_id, serial, payload, ctx1=0):
    """A host request (88-byte header, type 1): big-endian words, serial number
    and user context 1 in the sender's (little-endian) order."""
    head = struct.pack(">6I", msg_id, 1, 88 + len(payload), len(payload), len(payload), 88)
    head += struct.pack("<I", serial) + bytes(4) + struct.pack("<Q", ctx1) + struct.pack(">II", 1, 2) + bytes(40)
    return head + payload


def ss7_trace_set(action, serial, trunk=5, mask=1 << 16, bits=0xFF, version=1):
    """SS7 trace on/off request (default: trunk 5, timeslot 16)."""
    return request(0x04210030, serial, struct.pack("<8xIIIIIB3x", version, 0, action, trunk, mask, bits))


def proc_tcp(local, remote=("0.0.0.0", 0)):
    """(state, receive queue) of the TCP socket of these addresses in /proc/net/tcp (a listener's: remote left out,
    its queue the links not accepted yet), None when there is none."""
    want = (proc_tcp_address(local), proc_tcp_address(remote))
    with open("/proc/net/tcp") as f:
        for fields in (line.split() for line in f.readlines()[1:]):
            if (fields[1], fields[2]) == want:
                return int(fields[3], 16), int(fields[4].split(":")[1], 16)
    return None


TCP_CLOSE_WAIT = 8  # include/net/tcp_states.h: the peer closed, we have not


def reset(sock):
    """Closes with a reset (what a host or probe going abruptly does)."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


class Peer(unittest.TestCase):
    """The board as a child process, its control connection and host links."""
    extra = []

    def setUp(self):
        udp, control = held(socket.SOCK_DGRAM), held(socket.SOCK_STREAM)
        self.udp_port, self.control_port = udp.getsockname()[1], control.getsockname()[1]
        fds = (udp.fileno(), control.fileno())
        self.proc = subprocess.Popen([sys.executable, os.path.join(HERE, "boardsim.py"), "--udp-fd", str(fds[0]),
                                      "--control-fd", str(fds[1]), "--lifetime", "60"] + self.extra,
                                     stdout=subprocess.PIPE, text=True, pass_fds=fds)
        udp.close()  # the board's copies go on
        control.close()
        line = self.proc.stdout.readline()
        self.assertTrue(line.startswith("ready tcp="), line)
        self.tcp_port = int(line.split("=")[1])
        self.control = socket.create_connection(("127.0.0.1", self.control_port), timeout=10)
        self.answers = self.control.makefile("r")

    def tearDown(self):
        self.control.close()
        self.proc.kill()
        self.proc.wait(10)
        self.proc.stdout.close()

    def ask(self, line):
        self.control.sendall((line + "\n").encode())
        return self.answers.readline().strip()

    def host_link(self, rcvbuf=0):
        s = socket.socket()
        if rcvbuf:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        s.settimeout(10)
        s.connect(("127.0.0.1", self.tcp_port))
        self.assertEqual(len(read_exact(s, 4)), 4)
        return s


class Board(Peer):
    def test_probes_that_go_at_once_leave_it_running(self):
        for port in (self.control_port, self.tcp_port):
            socket.create_connection(("127.0.0.1", port), timeout=5).close()
            reset(socket.create_connection(("127.0.0.1", port), timeout=5))
            self.assertTrue(self.ask("stats").startswith("{"), port)
        half = socket.create_connection(("127.0.0.1", self.control_port), timeout=5)
        half.sendall(b"stats\n")
        reset(half)  # went without reading its answer
        self.assertTrue(self.ask("stats").startswith("{"))
        self.assertIsNone(self.proc.poll())

    def test_discovery_answered_on_the_inherited_socket(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u:
            u.settimeout(10)
            u.sendto(struct.pack(">I", 0x47574449), ("127.0.0.1", self.udp_port))
            adv, sender = u.recvfrom(2048)
        self.assertEqual((len(adv), adv[:4], sender), (560, b"GWPA", ("127.0.0.1", self.udp_port)))
        self.assertEqual(struct.unpack_from(">I", adv, 8)[0], self.tcp_port)

    def test_poll_answered_between_the_batches_of_a_long_burst(self):
        host = self.host_link(rcvbuf=4096)
        self.control.sendall(("send %d %d\n" % (BURST, SIZE)).encode())  # answered once queued
        seen, reply_after = 0, None
        while seen < BURST:
            head = read_exact(host, 64)
            if head == b"\xff" * 64:
                reply_after = seen
                continue
            words = struct.unpack(">16I", head)
            self.assertTrue(1 <= words[0] <= 15, words)
            read_exact(host, sum(words[1:1 + words[0]]))
            if seen == 0:
                host.sendall(poll_block())  # the burst has begun
            seen += words[0]
        self.assertEqual(self.answers.readline().strip(), "ok")
        self.assertIsNotNone(reply_after, "no poll reply during the burst")
        self.assertLess(reply_after, BURST, "the poll was answered only after the whole burst")
        host.close()

    def test_unread_counts_what_the_host_has_not_read(self):
        host = self.host_link()
        self.assertEqual(self.ask("send 3 200"), "ok")
        self.assertGreater(json.loads(self.ask("stats"))["unread"], 0)
        words = struct.unpack(">16I", read_exact(host, 64))
        read_exact(host, sum(words[1:1 + words[0]]))
        self.assertEqual(json.loads(self.ask("stats"))["unread"], 0)
        host.close()

    def test_host_reset_during_a_send_is_a_closed_link(self):
        host = self.host_link(rcvbuf=4096)
        self.control.sendall(("send %d %d\n" % (BURST, SIZE)).encode())
        read_exact(host, 64)
        reset(host)
        self.assertEqual(self.answers.readline().strip(), "ok")
        stats = {}
        for _ in range(200):  # bounded: the board sees the reset at its next write or read
            stats = json.loads(self.ask("stats"))
            if stats["closed_by_host"]:
                break
            time.sleep(0.05)
        self.assertEqual(stats["closed_by_host"], 1)
        self.assertGreater(stats["unsent"], 0)
        # And it goes on serving a new host.
        again = self.host_link()
        self.assertEqual(self.ask("send 2 200"), "ok")
        self.assertEqual(struct.unpack(">I", read_exact(again, 64)[:4])[0], 2)
        again.close()

    def test_a_close_then_a_new_link_in_one_round_replaces_nothing(self):
        # The board stopped while the host closes its link and opens another on the path: running again, it finds
        # both ready in one round, and takes the close first.
        old = self.host_link()
        board, old_addr = ("127.0.0.1", self.tcp_port), old.getsockname()
        os.kill(self.proc.pid, signal.SIGSTOP)
        try:
            old.close()
            new = socket.create_connection(board, timeout=10)
            for _ in range(500):  # bounded (5 s): on loopback the kernel has both as the calls return
                both = (proc_tcp(board, old_addr) or (0,))[0] == TCP_CLOSE_WAIT and proc_tcp(board)[1] == 1
                if both:
                    break
                time.sleep(0.01)
        finally:
            os.kill(self.proc.pid, signal.SIGCONT)
        self.assertTrue(both, "the close and the new link both waiting for the board")
        self.assertEqual(len(read_exact(new, 4)), 4)
        stats = json.loads(self.ask("stats"))
        self.assertEqual((stats["links"], stats["closed_by_host"], stats["replaced"]), (2, 1, 0))
        new.close()


class TraceBurst(Peer):
    """A board with one SS7 link (trunk 5, timeslot 16) whose trace the host switches on."""
    UNITS = 20000
    full = []  # ["--full"]: numbered messages

    def setUp(self):
        self.seqs = []  # transmit sequence of every message the board sent, in order
        self.dir = tempfile.TemporaryDirectory()
        profile = os.path.join(self.dir.name, "profile.json")
        with open(profile, "w") as f:
            json.dump({"mtp2": [{"id": 1, "links": [{"id": 11, "trunk": 5, "timeslots": [16]}]}]}, f)
        self.log = os.path.join(self.dir.name, "units.log")
        self.extra = ["--profile", profile, "--trace-log", self.log] + self.full
        super().setUp()

    def tearDown(self):
        super().tearDown()
        self.dir.cleanup()

    def answer_of(self, host, serial):
        (msg,) = read_frame(host)
        self.seqs.append(struct.unpack_from(">I", msg, 64)[0])
        self.assertEqual(struct.unpack_from(">II", msg), (0x04210030, 2))
        self.assertEqual(struct.unpack_from("<I", msg, 24)[0], serial)
        return struct.unpack_from("<i", msg, 88 + 12)[0]

    def test_long_burst_is_built_as_the_host_reads_it(self):
        host = self.host_link(rcvbuf=4096)
        host.sendall(ss7_trace_set(1, 7))
        self.assertEqual(self.answer_of(host, 7), 0)
        self.control.sendall(("trace ss7 %d\n" % self.UNITS).encode())
        # The host reads nothing yet: the board still answers another control
        # connection, and the burst's own answer waits until every unit is built.
        other = socket.create_connection(("127.0.0.1", self.control_port), timeout=10)
        other.sendall(b"stats\n")
        self.assertEqual(json.loads(other.makefile("r").readline())["traces_on"], 1)
        other.close()
        self.assertEqual(select.select([self.control], [], [], 0)[0], [], "answered before the burst was built")
        host.sendall(poll_block())
        units, reply_after = [], None
        while len(units) < self.UNITS:  # bounded: each frame holds at least one unit
            frame = read_frame(host)
            if frame is None:
                self.assertIsNone(reply_after, "one poll, one reply")
                reply_after = len(units)
                host.sendall(ss7_trace_set(0, 8))  # its answer goes after the burst
                continue
            for msg in frame:
                msg_id, length = struct.unpack_from(">I4xI", msg)
                self.assertEqual((msg_id, length, len(msg)), (0x04210031, 88 + 0x30 + 16, len(msg)))
                units.append(struct.unpack_from("<I", msg, 88 + 0x0C)[0])
                self.seqs.append(struct.unpack_from(">I", msg, 64)[0])
        self.assertIsNotNone(reply_after)
        self.assertLess(reply_after, self.UNITS, "the poll was answered only after the whole burst")
        self.assertEqual(units, list(range(1, self.UNITS + 1)))
        self.assertEqual(self.answer_of(host, 8), 0)
        # Numbered (full mode): the off answer, made during the burst, follows it in sequence too.
        self.assertEqual(self.seqs, list(range(1, self.UNITS + 3)) if self.full else [0] * (self.UNITS + 2))
        self.assertEqual(self.answers.readline().strip(), "ok %d" % self.UNITS)
        with open(self.log) as f:
            self.assertEqual([json.loads(line)["unit"] for line in f], units)
        self.assertEqual(json.loads(self.ask("stats"))["traces_on"], 0)
        host.close()

    def burst_begun(self):
        """A slow host whose trace is on, a long burst started and its first batch read."""
        host = self.host_link(rcvbuf=4096)
        host.sendall(ss7_trace_set(1, 7))
        self.assertEqual(self.answer_of(host, 7), 0)
        self.control.sendall(("trace ss7 %d\n" % self.UNITS).encode())
        self.assertEqual(len(read_frame(host)), 15)
        return host

    def test_acked_counts_the_units_the_host_tcp_took_whole(self):
        host = self.burst_begun()
        self.assertEqual(select.select([host], [], [], 10)[0], [host], "more of the burst waits")
        # Shut down: what its TCP took is still read, what comes later is refused with a reset.
        host.shutdown(socket.SHUT_RDWR)
        rest = bytearray()
        try:
            for chunk in iter(lambda: host.recv(65536), b""):  # bounded: the receive buffer
                rest += chunk
        except OSError:
            pass
        host.close()
        self.assertEqual(self.answers.readline().split()[0], "ok")  # the burst ends with its link
        self.assertEqual(json.loads(self.ask("stats"))["acked"], 15 + whole_messages(rest))

    def test_off_requests_ignored_leave_the_trace_on_unanswered(self):
        host = self.host_link()
        host.sendall(ss7_trace_set(1, 7))
        self.assertEqual(self.answer_of(host, 7), 0)
        self.assertEqual(self.ask("traceoff sometimes"), "error unknown command")
        self.assertEqual(self.ask("traceoff ignore"), "ok")
        # Read in order: the answer to 9 comes, none to 8 before it.
        host.sendall(ss7_trace_set(0, 8) + ss7_trace_set(1, 9))
        self.assertEqual(self.answer_of(host, 9), 0)
        stats = json.loads(self.ask("stats"))
        self.assertEqual((stats["traces_off_ignored"], stats["traces_on"]), (1, 1))
        self.assertEqual(self.ask("trace ss7 3"), "ok 3")
        self.assertEqual([struct.unpack_from(">I", m)[0] for m in read_frame(host)], [0x04210031] * 3)
        self.assertEqual(self.ask("traceoff answer"), "ok")
        host.sendall(ss7_trace_set(0, 10))
        self.assertEqual(self.answer_of(host, 10), 0)
        self.assertEqual(json.loads(self.ask("stats"))["traces_on"], 0)
        # Held: the trace stays on and sends until "traceoff answer", whose answer follows the last units.
        host.sendall(ss7_trace_set(1, 11))
        self.assertEqual(self.answer_of(host, 11), 0)
        self.assertEqual(self.ask("traceoff hold"), "ok")
        host.sendall(ss7_trace_set(0, 12) + ss7_trace_set(0, 13, trunk=9))  # 13: no such entity, answered at once
        self.assertEqual(self.answer_of(host, 13), -2)
        self.assertEqual(json.loads(self.ask("stats"))["traces_off_held"], 1)
        self.assertEqual(self.ask("trace ss7 2"), "ok 2")
        self.assertEqual((self.ask("traceoff answer"), self.ask("trace ss7 2")), ("ok", "ok 0"))
        self.assertEqual([struct.unpack_from(">I", m)[0] for m in read_frame(host)], [0x04210031] * 2)
        self.assertEqual(self.answer_of(host, 12), 0)
        stats = json.loads(self.ask("stats"))
        self.assertEqual((stats["traces_off_held"], stats["traces_on"]), (0, 0))
        host.close()

    def test_a_new_link_on_a_path_replaces_one_whose_close_was_lost(self):
        def numbered(serial):  # the host's connection count 1 and sequence 1: a presence's first message
            m = bytearray(ss7_trace_set(1, serial))
            struct.pack_into(">I", m, 64, 1)
            struct.pack_into(">H", m, 82, 1)
            return bytes(m)
        old = self.host_link()
        old.sendall(numbered(7))
        self.assertEqual(self.answer_of(old, 7), 0)
        new = self.host_link()  # the old link left open: its close never reached the board
        new.sendall(numbered(8))
        self.assertEqual(self.answer_of(new, 8), 0)
        self.assertEqual(old.recv(1), b"", "the old link closed")
        stats = json.loads(self.ask("stats"))
        self.assertEqual((stats["host"]["duplicates"], stats["replaced"]), (0, 1))
        old.close()
        new.close()

    def test_a_cable_pulled_within_a_batch_leaves_the_link_open_and_mute(self):
        host = self.host_link()
        host.sendall(ss7_trace_set(1, 7))
        self.assertEqual(self.answer_of(host, 7), 0)
        self.assertEqual(self.ask("cut 2"), "error unknown command")
        self.assertEqual(self.ask("cut 0 half"), "ok")
        self.assertEqual(self.ask("trace ss7 40"), "ok 15", "one batch built, the cable pulled in its middle")
        host.sendall(poll_block())  # unanswered: nothing more comes, and the link stays open
        data = bytearray()
        while select.select([host], [], [], 0.5)[0]:  # bounded: the board writes no more
            chunk = host.recv(65536)
            self.assertNotEqual(chunk, b"", "the link stays open")
            data += chunk
        self.assertEqual(struct.unpack_from(">I", data)[0], 15)
        self.assertEqual(len(data), (64 + 15 * (88 + 0x30 + 16)) // 2)
        self.assertEqual(whole_messages(bytes(data)), 7)
        stats = json.loads(self.ask("stats"))
        self.assertEqual((stats["acked"], stats["polls"]), (7, 0))
        with open(self.log) as f:
            self.assertEqual(sum(1 for _ in f), 15, "the batch cut was built whole")
        self.assertEqual(self.ask("trace ss7 1"), "error no link")
        host.close()

    def test_host_gone_during_a_burst_answers_what_was_built(self):
        host = self.burst_begun()
        reset(host)
        answer = self.answers.readline().strip().split()
        self.assertEqual(answer[0], "ok")
        built = int(answer[1])
        self.assertTrue(15 <= built < self.UNITS, built)
        with open(self.log) as f:
            self.assertEqual(sum(1 for _ in f), built, "every unit built is logged")
        stats = json.loads(self.ask("stats"))
        self.assertEqual(stats["closed_by_host"], 1)
        self.assertGreaterEqual(stats["unsent"], self.UNITS - built)


class SocketOptions(unittest.TestCase):
    """What the board refuses to start on: a clear error naming the option, exit 2, nothing served."""

    def start(self, args, fds=()):
        return subprocess.run([sys.executable, os.path.join(HERE, "boardsim.py"), "--lifetime", "1"] + args,
                              pass_fds=fds, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)

    def test_bad_descriptors_and_port_choices_are_refused(self):
        with held(socket.SOCK_DGRAM) as udp, held(socket.SOCK_STREAM) as tcp, socket.socket() as unbound:
            u, t = str(udp.fileno()), str(tcp.fileno())
            for args, words in [
                    (["--udp-fd", "0", "--control-fd", t], ["--udp-fd", "0: not an inherited socket"]),
                    (["--udp-fd", "999", "--control-fd", t], ["--udp-fd", "999: not an inherited socket"]),
                    (["--udp-fd", t, "--control-fd", u], ["--udp-fd", "not a UDP socket bound to a loopback address"]),
                    (["--udp-fd", u, "--control-fd", str(unbound.fileno())],
                     ["--control-fd", "not a TCP socket bound to a loopback address"]),
                    (["--udp-fd", u, "--control-fd", t, "--gw0", "192.0.2.2"],
                     ["--gw0", "192.0.2.2: not a loopback address (127.0.0.0/8)"]),
                    (["--udp-fd", u, "--control-fd", t, "--gw1", "localhost"], ["--gw1", "localhost: not a loopback address"]),
                    (["--udp-fd", "x", "--control-fd", t], ["--udp-fd", "x: not an inherited socket"]),
                    (["--udp-fd", u, "--udp-port", "0", "--control-fd", t], ["not allowed with argument"]),
                    (["--udp-fd", u], ["one of the arguments --control-port --control-fd is required"])]:
                run = self.start(args, (udp.fileno(), tcp.fileno(), unbound.fileno()))
                self.assertEqual((run.returncode, run.stdout), (2, ""), args)
                for w in words:
                    self.assertIn(w, run.stderr, args)

    def test_ports_given_by_hand_still_start_it(self):
        run = self.start(["--udp-port", str(free_port()), "--control-port", str(free_port())])
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertTrue(run.stdout.startswith("ready tcp="), run.stdout)


class OwnAddress(unittest.TestCase):
    """A board on an address of its own (--gw0 127.0.0.2), its discovery socket bound there by --udp-port or
    inherited from there: it answers discovery from that address and advertises it, takes links there, and holds
    nothing at 127.0.0.1, which a host binds at the same port without sharing it."""

    def test_discovery_and_links_on_its_own_address_only(self):
        for by_port in (True, False):
            port = free_port()
            with held(socket.SOCK_STREAM) as control, held(socket.SOCK_DGRAM, "127.0.0.2", port) as udp:
                fds = (control.fileno(),) + (() if by_port else (udp.fileno(),))
                where = ["--udp-port", str(port)] if by_port else ["--udp-fd", str(udp.fileno())]
                if by_port:
                    udp.close()
                proc = subprocess.Popen([sys.executable, os.path.join(HERE, "boardsim.py"), "--control-fd",
                                         str(control.fileno()), "--gw0", "127.0.0.2", "--lifetime", "30"] + where,
                                        stdout=subprocess.PIPE, text=True, pass_fds=fds)
            try:
                line = proc.stdout.readline()
                self.assertTrue(line.startswith("ready tcp="), line)
                with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as host:
                    host.bind(("127.0.0.1", port))  # no SO_REUSEADDR: refused were the board there too
                    host.settimeout(10)
                    host.sendto(struct.pack(">I", 0x47574449), ("127.0.0.2", port))
                    adv, sender = host.recvfrom(2048)
                self.assertEqual((adv[:4], sender, adv[284:348].rstrip(b"\0")), (b"GWPA", ("127.0.0.2", port), b"127.0.0.2"),
                                 by_port)
                with socket.create_connection(("127.0.0.2", int(line.split("=")[1])), timeout=10) as link:
                    self.assertEqual(len(read_exact(link, 4)), 4, by_port)
            finally:
                proc.kill()
                proc.wait(10)
                proc.stdout.close()


class NumberedTraceBurst(TraceBurst):
    full = ["--full"]


if __name__ == "__main__":
    unittest.main()
