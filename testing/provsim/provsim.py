#!/usr/bin/env python3
"""Stand-in trace provider: a host peer on 127.0.0.1 that pushes H.248 traces
to the trace server through the sig-trace service.

Written from docs/sigtrace-service.md, docs/framework-messages.md and
docs/services-protocol.md, not from the C++ code; standard library only. The
host layer is the stand-in call/media control server's (testing/cmcsim), the
service lists the golden encoder's (testing/golden/svclib), the framework
envelope the golden encoder's (testing/golden/caf). It exits by itself after
--lifetime seconds (status 1).

Once linked it announces the trace provider service (0x0B0D0200, detecting
the server's 0x0B0D0100) and asks for the server's list; once the server's
service is listed it registers each --group (register 0x0B0D0100, --type).
Each capture request is printed as "capture C NAME"; a capture-on request
is answered with --count data messages to that group (with --ignore-off a
capture-off one too, with --off-count of them), the data of each (--size
bytes) beginning with its number (u32, little-endian, from 1 on, counted over
the whole run) and the application name (12 bytes), as the C++ provider's
--tag; once they are written to the link it prints "sent N". They are made as
they are sent, a few batches each turn, so that a long flood takes no memory.
Records are raw in little-endian order (this host's) behind the envelope.

With --cut K, after the data of the first capture-on request it sends one
more batch announcing 15 data messages of which only K are whole and the next
is half there, shuts its link down (what it wrote stays the server's to read)
and waits for the server to close it; then it prints "cut K" and exits 0.

When its link goes (the server closed it) it prints "acked A", the data
messages the server had acknowledged, and exits 0.
"""

import argparse
import os
import socket
import struct
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
for sub in ("../cmcsim", "../boardsim", "../golden/svclib", "../golden/caf"):
    sys.path.insert(0, os.path.join(HERE, sub))
from boardsim_host import HEADER, TYPE_EVENT, build, parse_header  # noqa: E402
from boardsim_wire import MAX_BATCH, batch  # noqa: E402
from cmcsim import Server  # noqa: E402
from comm_golden import decode_message, encode_message  # noqa: E402
from services_golden import decode_list, encode_list  # noqa: E402

SERVICE_LIST, LIST_REQUEST = 0x0A5E0001, 0x0A5E0002
SERVER, PROVIDER = 0x0B0D0100, 0x0B0D0200
REGISTER, CAPTURE, DATA = 0x0B0D0100, 0x0B0D0300, 0x0B0D0400
MAX_DATA = 10240
TAG = 16


def text(value, size):
    """The field's first size bytes, zero-padded (unterminated when it fills them)."""
    return value.encode()[:size].ljust(size, b"\0")


def framework(msg_id, record):
    return build(msg_id, TYPE_EVENT, encode_message(msg_id, record))


class Provider(Server):
    def __init__(self, args):
        self.registered = False
        self.data_seqs = []       # sequence numbers of the data messages sent, in order
        self.peer_ack = 0         # the highest sequence the server acknowledged
        self.captures_on = 0
        self.number = 0           # of the last data message made
        self.bursts = []          # [group, messages still to make, messages of the burst], in order
        super().__init__(args)

    def service_list(self):
        return build(SERVICE_LIST, TYPE_EVENT, encode_list(self.unique_id, [(1, PROVIDER, SERVER, 0, b"")]))

    def add_link(self, sock):
        link = super().add_link(sock)
        self.send(link, [self.service_list(), build(LIST_REQUEST, TYPE_EVENT, bytes(8) + struct.pack(">II", 1, 0))])
        return link

    def data(self, group, number):
        payload = bytearray(self.args.size)
        payload[:TAG] = struct.pack("<I", number) + text(self.args.name, TAG - 4)
        record = struct.pack("<I32sI", self.args.type, text(group, 32), 2) + bytes(payload).ljust(MAX_DATA, b"\0")
        return framework(DATA, record + struct.pack("<I", self.args.size))

    def next_data(self, group):
        """The next data message, numbered on the link (its sequence noted for the acknowledgements)."""
        self.number += 1
        m = self.host.number(self.data(group, self.number))
        self.data_seqs.append(parse_header(m)["tx_seq"])
        return m

    def refill(self, limit=MAX_BATCH * 4):
        """The next few batches of the burst under way behind what is queued (run() sends the backlog)."""
        while self.bursts and len(self.backlog) < limit:
            burst = self.bursts[0]
            n = min(limit - len(self.backlog), burst[1])
            self.backlog += [self.next_data(burst[0]) for _ in range(n)]
            burst[1] -= n
            if burst[1] != 0:
                return
            self.bursts.pop(0)
            self.backlog.append(("sent", burst[2]))

    def flush(self, limit=MAX_BATCH * 4):
        """Sends a share of the backlog; a burst's end ("sent N") is told once what precedes it is written."""
        self.refill(limit)
        out = []
        while self.backlog and len(out) < limit and not isinstance(self.backlog[0], tuple):
            out.append(self.backlog.pop(0))
        if out:
            rest, self.backlog = self.backlog, out
            super().flush(limit)
            self.backlog = rest
        if self.backlog and isinstance(self.backlog[0], tuple):
            print("sent %d" % self.backlog.pop(0)[1], flush=True)
            if self.args.cut is not None and self.links:
                self.cut(self.links[0])
        self.refill(limit)  # run() flushes each turn while the backlog holds something

    def cut(self, link):
        """A batch of 15 announced, K whole and half of the next sent; the link shut down, then given up."""
        msgs = [self.next_data(self.args.groups[0]) for _ in range(MAX_BATCH)]
        whole = batch(msgs)
        head = 64 + sum(len(m) for m in msgs[:self.args.cut]) + len(msgs[self.args.cut]) // 2
        link.sock.settimeout(10.0)
        link.sock.sendall(whole[:head])
        link.sock.shutdown(socket.SHUT_WR)
        end = time.monotonic() + 10.0
        try:
            while time.monotonic() < end and link.sock.recv(65536):
                pass  # until the server closes its end: nothing of ours is left unread there
        except OSError:
            pass
        print("cut %d" % self.args.cut, flush=True)
        raise SystemExit(0)

    def drop(self, link):
        super().drop(link)
        acked = sum(1 for s in self.data_seqs if s <= self.peer_ack)
        print("acked %d" % acked, flush=True)
        raise SystemExit(0)

    def on_message(self, m):
        if len(m) < HEADER:
            return []
        h = parse_header(m)
        payload = m[HEADER:HEADER + h["plen"]]
        self.peer_ack = max(self.peer_ack, h["ack"])
        self.host.full = False
        handled = self.host.on_message(m)
        self.host.full = True
        if handled is not None or h["id"] >> 16 == 0x020D:
            return handled or []
        if h["id"] == CAPTURE:
            return self.on_capture(payload)
        if h["id"] == LIST_REQUEST:
            return [self.service_list()]
        if h["id"] != SERVICE_LIST or self.registered:
            return []
        try:
            _, services = decode_list(payload)
        except (ValueError, struct.error) as e:
            print("bad service list: %s" % e, flush=True)
            return []
        if not any(sid == SERVER for _, sid, _, _, _ in services):
            return []
        self.registered = True
        return [framework(REGISTER, struct.pack("<I", self.args.type) + text(g, 32) + text("stand-in provider", 256))
                for g in self.args.groups]

    def on_capture(self, payload):
        try:
            _, record = decode_message(payload)
            _, name, on = struct.unpack_from("<I32sI", record)
        except (ValueError, struct.error):
            print("bad capture message", flush=True)
            return []
        name = name.split(b"\0", 1)[0].decode(errors="replace")
        print("capture %d %s" % (on, name), flush=True)
        if on == 0 and not self.args.ignore_off:
            return []
        self.captures_on += on
        if self.args.cut is not None and self.captures_on > 1:
            return []
        count = self.args.count if on else self.args.off_count
        self.bursts.append([name, count, count])
        self.refill()
        return []


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--udp-port", type=int, required=True, help="this host's discovery port")
    p.add_argument("--peer-port", type=int, required=True, help="the server's gateway port")
    p.add_argument("--name", default="provsim", help="application name")
    p.add_argument("--host-name", default="provsim")
    p.add_argument("--group", dest="groups", action="append", help="a group to register (repeatable)")
    p.add_argument("--type", type=int, default=1, help="registered type (1 H.248)")
    p.add_argument("--count", type=int, default=10, help="data messages per capture-on request")
    p.add_argument("--size", type=int, default=TAG, help="data bytes of each (16 to 10240)")
    p.add_argument("--cut", type=int, default=None, help="whole messages of the last batch, 0..14")
    p.add_argument("--ignore-off", action="store_true", help="answer a capture-off request with data too")
    p.add_argument("--off-count", type=int, default=None, help="data messages answering a capture off (--count)")
    p.add_argument("--lifetime", type=float, default=60.0)
    args = p.parse_args(argv)
    if not args.groups or not TAG <= args.size <= MAX_DATA or (args.cut is not None and not 0 <= args.cut < MAX_BATCH):
        p.error("a --group, --size 16..10240 and --cut 0..14")
    if args.off_count is None:
        args.off_count = args.count
    args.control_port, args.unique_id, args.host_context, args.register = 0, 0, 0x0C0C0004, "ok"
    Provider(args).run()
    print("lifetime over", flush=True)
    raise SystemExit(1)


if __name__ == "__main__":
    main(sys.argv[1:])
