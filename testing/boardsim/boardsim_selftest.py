#!/usr/bin/env python3
"""Self-test of the simulated board (run by ctest): it stays up when a probe
connects to its ports and goes (closed or reset), when the host resets a link
in the middle of a long send, and it answers a poll between the batches of a
long burst that the host reads slowly. Wire facts are those of the gateway
links: a 4-byte handshake, board-to-host batches behind a 64-byte header of
sixteen big-endian words (a count, the sizes; all 0xFF: a poll reply), and a
92-byte poll block from the host. Standard library only, 127.0.0.1 only."""
import json
import os
import socket
import struct
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
BURST, SIZE = 3000, 1000


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


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


def reset(sock):
    """Closes with a reset (what a host or probe going abruptly does)."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


class Board(unittest.TestCase):
    def setUp(self):
        self.control_port = free_port()
        self.proc = subprocess.Popen([sys.executable, os.path.join(HERE, "boardsim.py"), "--udp-port",
                                      str(free_port()), "--control-port", str(self.control_port), "--lifetime", "60"],
                                     stdout=subprocess.PIPE, text=True)
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


if __name__ == "__main__":
    unittest.main()
