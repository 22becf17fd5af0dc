#!/usr/bin/env python3
"""Simulated adapter board for the gateway transport tests.

Written from the gateway wire formats (not from the C++ code), standard
library only. Listens on loopback addresses only (127.0.0.0/8) and exits by
itself after --lifetime seconds.

UDP (port --udp-port on the gw0 address, or the socket inherited as --udp-fd): answers discovery ("GWDI"), poll ("GWPI") and
specific discovery ("GWDS", by serial number or adapter name) with a
560-byte adapter advertisement ("GWPA") sent to the asker.

TCP (port --tcp-port, 0 = any, advertised): on each accepted link sends the
4-byte handshake, then reads what the host sends: raw host messages (88-byte
header; the message takes 88 + the payload length at offset 12 bytes) and
92-byte poll blocks (first word 0), answered with a 64-byte poll reply of
0xFF. Board to host traffic uses batches: a 64-byte header of sixteen
big-endian words (count 1..15, then the sizes), the messages back to back.

Control: line commands on a TCP socket at 127.0.0.1:--control-port (or the
socket inherited as --control-fd), one answer line each:
  stats                 JSON: links, messages, polls (TCP), udp_polls, bytes,
                        order errors, replaced (links a new link on their
                        path replaced while still open here)
  send N SIZE [PATH]    send N messages of SIZE bytes (batches of up to 15); on
                        that path's link only when given
  corrupt KIND          send a bad batch header: count16, size0, sizebig
  close                 close every TCP link (the path goes down)
  silent / talk         stop / resume answering polls and UDP packets
  silent 0|1            stop answering the TCP polls of one path only (talk
                        resumes)
  stopread / read       stop / resume reading the TCP links
  echo MSGID            answer every host message of that id with itself
  answer MSGID|any      answer requests of that id with a response carrying
                        the request's serial and user contexts as received
  hold / release [N]     keep answers back / send the ones kept; with N only
                        the first N of them, still holding what comes later
                        (a slow board, whose answers a test lets out by steps)
  rfilter MODE          remote-filter requests: answer (default), ignore,
                        big (answers in big-endian for the host to turn)
  full on|off           sequence numbers, connection count and piggy-backed
                        acknowledgements on what the board sends
  event N MSGID SIZE    send N events of that id (SIZE bytes of payload)
  closegw 0|1           close the link of one path only
  cut 0|1|all [half]    pull the cable of one path (or of both): nothing more
                        is read or written on its link (its polls unanswered,
                        what it queued kept back) and the link is not closed;
                        what the link's socket holds already still leaves (a
                        board's buffers are small). half: the link first writes
                        the batch it has begun, or the next one, to its middle
                        (a batch cut in the middle), then the cable goes. A
                        burst cut short answers with the units built
  keepalive SECONDS     TCP keep-alive probes on the open links after SECONDS
                        idle, then every SECONDS (each a copy of an old byte
                        that the host's socket drops)
  poll                  send a poll (64 zero bytes) on every link; the host's
                        92-byte block that follows counts as its reply
  quit                  exit now
  drop/short/fail/requests  entity discovery faults and record, with --profile
                        (boardsim_discovery.py, docs/board-discovery.md)
  trace KIND N [SIZE]   N trace units to each entity of KIND whose trace is on,
                        logged to --trace-log (boardsim_trace.py,
                        docs/board-trace-messages.md); tracelog FILE
                        logs them to FILE from now on; traceoff ignore
                        leaves the off requests unanswered and the traces
                        on; traceoff hold keeps them so until traceoff
                        answer (the default), which applies and answers
                        them after what is queued
Sending never blocks the board: what it sends waits in each link's queue of
whole frames (batches, poll replies) and leaves as the host reads; polls are
still read and answered meanwhile, a reply going out right after the frame in
progress. A trace burst is built as it leaves (a few batches per turn of the
loop), so that the board answers polls and control lines however long it is;
its "ok COUNT" comes once every unit is built and logged, and what the host
is answered meanwhile goes out after the burst, as if it had been queued
whole. A link the host closes or resets is dropped with what it still
queued (counted in stats "unsent"), and the board carries on. Stats "unread":
the bytes sent that the host has not read yet (still queued here, not sent by
our socket, or in the host's receive queue: the host runs on this machine).
Stats "acked": the trace units (and the messages of `send`) whose every byte
the host's TCP acknowledged, on every link (those gone included): what the host
took delivery of, however its link ended (Linux TCP_INFO's bytes acknowledged,
the handshake counted).
A test binds the UDP and control sockets itself and hands them down (--udp-fd,
--control-fd): a port it only picked, bound later here, could be taken in
between by another program.
Paths: --gw0 / --gw1 give the addresses advertised and listened on (both
loopback addresses, e.g. 127.0.0.2 and 127.0.0.3, for two paths; gw0 is
127.0.0.1 by default). --udp-port binds the discovery socket on gw0: a board
of an address of its own, as at a site, leaves 127.0.0.1 at that port to the
host (whose other peers, trace providers, reach it there). A socket inherited
stays where the parent bound it; each path address other than its own
answers discovery too.

Modules: boardsim_wire.py holds the packet layouts; boardsim_host.py the
host-message layer (answers, sequence numbers, remote filters); Board keeps
the state and the I/O. The board's own messages plug in through Board.handlers: a
dict from message id to a function (board, link, message bytes) returning
the messages to send back (in batches).
"""

import argparse
import collections
import fcntl
import json
import os
import select
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from boardsim_control import (add_socket_option, answer_line, loopback_address, option_socket,  # noqa: E402
                              serve_control, serve_lines)
from boardsim_discovery import Discovery  # noqa: E402
from boardsim_host import HostLayer  # noqa: E402
from boardsim_trace import Trace  # noqa: E402
from boardsim_wire import (BATCH_HEADER_SIZE, HOST_HEADER_SIZE, ID_DISCOVERY, ID_POLL,  # noqa: E402
                           HOST_POLL, ID_SPECIFIC, MAX_BATCH, MAX_MSG, POLL_BLOCK_SIZE, POLL_REPLY,
                           adapter_advertisement, batch, host_message, parse_host_header)

# ---------------------------------------------------------------- board

LINK_SEND_BUFFER = 64 * 1024
BURST_FRAMES_PER_TURN = 8  # batches a burst builds before the loop looks at its sockets again


class Burst:
    """Trace units queued on a link and built as it drains: next_frame() gives
    the next batch (bytes, units in it), None once all are built; done(built)
    is called once, when the last is built or the link is dropped."""

    def __init__(self, total, units, make, flush, done):
        self.remaining = total
        self.built = 0
        self.units = units      # iterator of (message id, payload)
        self.make = make        # function(message id, payload, index) -> host message
        self.flush = flush      # puts the built units' log lines out
        self.done = done

    def next_frame(self):
        msgs = []
        for msg_id, payload in self.units:
            msgs.append(self.make(msg_id, payload, self.built))
            self.built += 1
            if len(msgs) == MAX_BATCH:
                break
        self.remaining -= len(msgs)
        self.flush()
        return (batch(msgs), len(msgs), "units") if msgs else None

    def finish(self):
        if self.done is not None:
            done, self.done = self.done, None
            done(self.built)


def pending_units(item):
    """Units a link's queue entry (a frame or a Burst) still holds."""
    return item.remaining if isinstance(item, Burst) else item[1]


def proc_tcp_address(addr):
    """An (ip, port) pair as /proc/net/tcp writes it (the address's 4 bytes as a little-endian word)."""
    ip, port = addr
    return "%08X:%04X" % (struct.unpack("<I", socket.inet_aton(ip))[0], port)


SIOCOUTQNSD = 0x894B  # linux/sockios.h: bytes of the send queue not sent yet
TCPI_BYTES_ACKED = 120  # linux/tcp.h: offset of tcpi_bytes_acked (u64) in struct tcp_info


def unread_bytes(sock):
    """Bytes written on the link that the host has not read: those our socket has not sent yet and, the host being
    on this machine, those in its socket's receive queue (/proc/net/tcp, found by its two addresses)."""
    n = struct.unpack("i", fcntl.ioctl(sock, SIOCOUTQNSD, b"\0" * 4))[0]
    ours, theirs = proc_tcp_address(sock.getsockname()), proc_tcp_address(sock.getpeername())
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if fields[1] == theirs and fields[2] == ours:
                n += int(fields[4].split(":")[1], 16)
    return n


class Link:
    def __init__(self, sock, path=0):
        self.sock = sock
        self.path = path
        self.buf = bytearray()
        self.closing = False
        self.awaiting_reply = False
        self.out = collections.deque()  # [frame bytes, host messages in it(, "units": a burst's trace units)]
        self.sent = 0  # bytes of out[0] already written
        self.shut_pending = False  # close our side once out is empty
        self.written = 4  # bytes of the stream whose writing began before out[0]'s (the handshake first)
        self.unit_ends = collections.deque()  # stream offset of the end of each trace unit written, not yet acked
        self.acked = 0  # trace units acknowledged whole, taken out of unit_ends
        self.cut = False  # its cable pulled: neither read nor written any more
        self.half = False  # the cable goes once half of the next frame is written

    def began(self, frame):
        """out[0]'s first bytes left: the stream offsets of its units' ends (the batch header gives their sizes)."""
        count, *sizes = struct.unpack_from(">16I", frame)
        end = self.written + BATCH_HEADER_SIZE
        for size in sizes[:count]:
            end += size
            self.unit_ends.append(end)

    def acked_units(self):
        """Trace units the host's TCP acknowledged whole (the socket may be reset: TCP_INFO still answers)."""
        info = self.sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, TCPI_BYTES_ACKED + 8)
        (acked,) = struct.unpack_from("<Q", info, TCPI_BYTES_ACKED)
        while self.unit_ends and self.unit_ends[0] <= acked:
            self.unit_ends.popleft()
            self.acked += 1
        return self.acked


class Board:
    def __init__(self, args):
        self.args = args
        # The discovery socket: on gw0 (by --udp-port) or where the parent bound it (--udp-fd).
        self.udp = option_socket(args.udp_fd, socket.SOCK_DGRAM, args.udp_port, args.gw0)
        udp_addr, udp_port = self.udp.getsockname()
        # Each path's address answers too: the host looks for a lost path there.
        self.udp_paths = []
        for addr in {args.gw0, args.gw1} - {"", udp_addr}:
            u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            u.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            u.bind((addr, udp_port))
            self.udp_paths.append(u)
        self.listen = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listen.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listen.bind((args.gw0, args.tcp_port))
        self.listen.listen(4)
        self.tcp_port = self.listen.getsockname()[1]
        self.listen1 = None
        if args.gw1 and args.gw1 != args.gw0:
            self.listen1 = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            self.listen1.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self.listen1.bind((args.gw1, self.tcp_port))
            self.listen1.listen(4)
        self.host = HostLayer()
        self.host.full = args.full
        self.discovery = None
        self.trace = None
        if args.profile:
            with open(args.profile) as f:
                profile = json.load(f)
            self.discovery = Discovery(profile)
            self.trace = Trace(profile, args.trace_log)
            self.host.request_hook = self.on_request
        self.control = option_socket(args.control_fd, socket.SOCK_STREAM, args.control_port)
        self.control.listen(2)
        self.controls = {}
        self.deferred = set()  # control sockets whose answer comes when a burst is built
        self.asking = None     # the control socket whose line is being answered
        self.finished = []     # (control socket, answer) of bursts built, answered by the loop
        self.links = []
        self.silent = args.silent
        self.silent_paths = set()  # paths whose TCP polls go unanswered
        self.reading = True
        self.stats = {"links": 0, "messages": 0, "polls": 0, "bytes": 0, "order_errors": 0,
                      "last_seq": -1, "udp": 0, "udp_polls": 0, "closed_by_host": 0, "poll_replies": 0, "unsent": 0,
                      "replaced": 0}
        self.acked_gone = 0  # trace units the host's TCP acknowledged on links dropped since
        self.next_seq = 0
        self.handlers = {}  # message id -> function(board, link, message) -> replies
        self.adv = adapter_advertisement(self.tcp_port, args.name, args.serial, args.gw0, args.gw1,
                                         args.build)

    def on_request(self, h, p):
        answers = self.discovery.on_request(h, p)
        return answers if answers is not None else self.trace.on_request(h, p)

    # UDP discovery, poll and specific discovery
    def on_udp(self, udp):
        data, peer = udp.recvfrom(2048)
        if self.silent or len(data) < 4:
            return
        (ident,) = struct.unpack_from(">I", data)
        self.stats["udp"] += 1
        is_poll = ident == ID_POLL and len(data) >= 32
        self.stats["udp_polls"] += is_poll
        if ident == ID_DISCOVERY or is_poll:
            udp.sendto(self.adv, peer)
        elif ident == ID_SPECIFIC and len(data) >= 264:
            name = data[8:136].split(b"\0", 1)[0].decode(errors="replace")
            if name in (self.args.serial, self.args.name):
                udp.sendto(self.adv, peer)

    def on_accept(self, listen):
        s, _ = listen.accept()
        try:
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            # A board's buffers are small: what is sent waits in our queue, not in
            # the kernel, so that a poll reply overtakes the rest of a burst.
            s.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, LINK_SEND_BUFFER)
            s.sendall(struct.pack(">I", os.getpid()))
        except OSError:  # a probe that connected and went at once
            s.close()
            return
        s.setblocking(False)
        path = 1 if listen is self.listen1 else 0
        # A host keeps one link a path: a new one on a path whose link is still
        # open here replaces it (the host dropped it while the network lost its
        # close, and numbers the new link's presence afresh).
        for old in [l for l in self.links if l.path == path and not l.closing]:
            self.drop(old)
            self.stats["replaced"] += 1
        if not [l for l in self.links if not l.closing]:
            self.host.presence()
        self.links.append(Link(s, path))
        self.stats["links"] += 1

    def drop(self, link):
        if link in self.links:
            self.links.remove(link)
        self.stats["unsent"] += sum(pending_units(item) for item in link.out)
        bursts = [item for item in link.out if isinstance(item, Burst)]
        link.out.clear()
        try:
            self.acked_gone += link.acked_units()
        except OSError:
            pass
        for b in bursts:
            b.finish()
        try:
            link.sock.close()
        except OSError:
            pass

    # output: whole frames queued per link, written as the host reads them
    def queue(self, link, frames, urgent=False):
        """Queues frames ((bytes, host messages) pairs); an urgent one (a poll
        reply) goes right after the frame being written."""
        if link is None or link not in self.links:
            return
        if urgent:
            link.out.insert(1 if link.sent else 0, frames[0])
        else:
            link.out.extend(frames)
        self.flush(link)

    def flush(self, link):
        built = 0
        while link.out and not link.cut:
            if isinstance(link.out[0], Burst):
                if built == BURST_FRAMES_PER_TURN:
                    return  # the loop's next turn goes on with it
                head = link.out[0]
                frame = head.next_frame()
                if frame is None:
                    link.out.popleft()
                    head.finish()
                else:
                    link.out.appendleft(frame)
                    built += 1
                continue
            frame = link.out[0][0]
            half = link.half and link.out[0][1] > 0  # a batch (a poll reply goes whole)
            end = len(frame) // 2 if half else len(frame)
            try:
                n = link.sock.send(memoryview(frame)[link.sent:end])
            except (BlockingIOError, InterruptedError):
                return
            except OSError:  # closed or reset by the host meanwhile
                if not link.closing:
                    self.stats["closed_by_host"] += 1
                self.drop(link)
                return
            if link.sent == 0 and len(link.out[0]) > 2:
                link.began(frame)
                if len(link.unit_ends) > 8192:
                    link.acked_units()  # the list kept short
            link.sent += n
            if link.sent < end:
                return
            if half:
                self.pull(link)
                return
            link.out.popleft()
            link.sent = 0
            link.written += len(frame)
        if link.shut_pending:
            link.shut_pending = False
            self.shut(link)

    def pull(self, link):
        """The link's cable is pulled: it stays open, unread and unwritten; the bursts it queued are answered with
        the units built so far (those left are never built)."""
        link.cut, link.half = True, False
        for item in link.out:
            if isinstance(item, Burst):
                item.finish()

    def shut(self, link):
        """Closes our side once what is queued has left (the host then reads the end)."""
        link.closing = True
        if link.out:
            link.shut_pending = True
            return
        try:
            link.sock.shutdown(socket.SHUT_WR)
        except OSError:
            self.drop(link)

    def flush_all(self, seconds):
        """Bounded wait for every queue to empty (before quitting)."""
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            pending = [l.sock for l in self.links if l.out]
            if not pending:
                return
            _, wr, _ = select.select([], pending, [], max(0.0, end - time.monotonic()))
            for link in [l for l in self.links if l.sock in wr]:
                self.flush(link)

    def on_link(self, link):
        try:
            data = link.sock.recv(65536)
        except (BlockingIOError, InterruptedError):
            return
        if not data:
            if not link.closing:
                self.stats["closed_by_host"] += 1
            self.drop(link)
            return
        if link.closing:
            return
        self.stats["bytes"] += len(data)
        link.buf += data
        self.parse(link)

    def parse(self, link):
        b = link.buf
        while len(b) >= 4:
            (first,) = struct.unpack_from(">I", b)
            if first == 0:
                if len(b) < POLL_BLOCK_SIZE:
                    return
                (length,) = struct.unpack_from(">I", b, 56)
                if length != 32 or bytes(b[60:64]) != b"\x06\x00\x0d\x02":
                    self.stats["order_errors"] += 1
                del b[:POLL_BLOCK_SIZE]
                if link.awaiting_reply:
                    link.awaiting_reply = False
                    self.stats["poll_replies"] += 1
                    continue
                self.stats["polls"] += 1
                if not self.silent and link.path not in self.silent_paths and not link.closing:
                    self.queue(link, [(POLL_REPLY, 0)], urgent=True)
                    if link not in self.links:
                        return
                continue
            head = parse_host_header(b)
            if head is None:
                return
            msg_id, payload_len = head
            size = HOST_HEADER_SIZE + payload_len
            if len(b) < size:
                return
            seq = struct.unpack_from(">I", b, HOST_HEADER_SIZE)[0] if payload_len >= 4 else -1
            if seq != self.stats["last_seq"] + 1:
                self.stats["order_errors"] += 1
            self.stats["last_seq"] = seq
            self.stats["messages"] += 1
            handler = self.handlers.get(msg_id)
            if handler is not None:
                replies = handler(self, link, bytes(b[:size]))
            else:
                replies = self.host.on_message(bytes(b[:size]))
            del b[:size]
            self.send_batches(self.out_link(link), replies or [])
            if link not in self.links:
                return

    @staticmethod
    def frames(msgs):
        return [(batch(msgs[i:i + MAX_BATCH]), len(msgs[i:i + MAX_BATCH])) for i in range(0, len(msgs), MAX_BATCH)]

    def send_batches(self, link, msgs):
        if msgs:
            self.queue(link, self.frames(msgs))

    def open_links(self):
        return [l for l in self.links if not l.closing and not l.cut]

    def out_link(self, link=None):
        """Numbered traffic goes on one path only (the first open link), so that it
        arrives in sequence; otherwise replies go back where the request came."""
        links = self.open_links()
        if self.host.full and links:
            return links[0]
        return link if link is not None else (links[0] if links else None)

    def send_messages(self, count, size, path=None):
        msgs = []
        for _ in range(count):
            msgs.append(self.host.number(host_message(0x03000001, self.next_seq, size)))
            self.next_seq += 1
        if path is not None:
            links = [l for l in self.open_links() if l.path == path][:1]
        else:
            links = [self.out_link()] if self.host.full and self.open_links() else self.open_links()
        for link in links:
            # counted in "acked" as the trace units are
            self.queue(link, [frame + ("units",) for frame in self.frames(msgs)])

    def send_corrupt(self, kind):
        sizes = [100] + [0] * 15
        count = 1
        if kind == "count16":
            count = 16
            sizes = [100] * 16
        elif kind == "size0":
            sizes[0] = 0
        elif kind == "sizebig":
            sizes[0] = MAX_MSG + 1
        hdr = struct.pack(">16I", count, *sizes[:15])
        for link in [l for l in self.links if not l.closing]:
            self.queue(link, [(hdr + b"\0" * 100, 1)])

    # control commands
    def command(self, line):
        words = line.split()
        if not words:
            return "error empty"
        cmd = words[0]
        if cmd == "stats":
            extra = dict(self.discovery.stats(), **self.trace.stats()) if self.discovery is not None else {}
            return json.dumps(dict(self.stats, host=self.host.stats(), unread=self.unread(), acked=self.acked(), **extra))
        if cmd == "full" and len(words) == 2:
            self.host.full = words[1] == "on"
            return "ok"
        if cmd == "answer" and len(words) == 2:
            self.host.answer_ids.add(words[1] if words[1] == "any" else int(words[1], 0))
            return "ok"
        if cmd == "hold":
            self.host.hold = True
            return "ok"
        if cmd == "release" and (len(words) == 1 or (len(words) == 2 and words[1].isdigit())):
            count = int(words[1]) if len(words) == 2 else None
            self.host.hold = count is not None
            out = self.host.release(count)
            if self.open_links():
                self.send_batches(self.out_link(), out)
            return "ok %d" % len(out)
        if cmd == "rfilter" and len(words) == 2 and words[1] in ("answer", "ignore", "big"):
            self.host.rfilter = words[1]
            return "ok"
        if cmd == "event" and len(words) == 4:
            n, msg_id, size = int(words[1]), int(words[2], 0), int(words[3])
            msgs = [self.host.event(msg_id, bytes((i + k) & 0xFF for k in range(size))) for i in range(n)]
            for link in ([self.out_link()] if self.host.full and self.open_links() else self.open_links()):
                self.send_batches(link, msgs)
            return "ok"
        if cmd == "trace" and len(words) in (3, 4) and self.trace is not None:
            if not self.open_links():
                return "error no link"
            total, units = self.trace.units(words[1], int(words[2]), int(words[3]) if len(words) == 4 else 16)
            if total == 0:
                return "ok 0"
            return self.start_burst(total, units)
        if cmd == "closegw" and len(words) == 2:
            path = int(words[1])
            for link in [l for l in self.open_links() if l.path == path]:
                self.shut(link)
            return "ok"
        if cmd == "cut" and len(words) in (2, 3) and words[1] in ("0", "1", "all") and words[2:] in ([], ["half"]):
            for link in [l for l in self.links if not l.cut and words[1] in ("all", str(l.path))]:
                if words[2:]:
                    link.half = True
                    self.flush(link)
                else:
                    self.pull(link)
            return "ok"
        if cmd == "keepalive" and len(words) == 2 and words[1].isdigit() and int(words[1]) > 0:
            for link in self.open_links():
                link.sock.setsockopt(socket.SOL_SOCKET, socket.SO_KEEPALIVE, 1)
                link.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_KEEPIDLE, int(words[1]))
                link.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_KEEPINTVL, int(words[1]))
            return "ok"
        if cmd == "send" and len(words) in (3, 4):
            if len(words) == 4 and words[3] not in ("0", "1"):
                return "error path"
            self.send_messages(int(words[1]), int(words[2]), int(words[3]) if len(words) == 4 else None)
            return "ok"
        if cmd == "corrupt" and len(words) == 2:
            self.send_corrupt(words[1])
            return "ok"
        if cmd == "close":
            # An orderly close: the host reads the end of the stream, then
            # closes its side; what it still sends is read and dropped.
            for link in list(self.links):
                self.shut(link)
            return "ok"
        if cmd == "silent" and len(words) == 2:
            if words[1] not in ("0", "1"):
                return "error path"
            self.silent_paths.add(int(words[1]))
            return "ok"
        if cmd in ("silent", "talk"):
            self.silent = cmd == "silent"
            if not self.silent:
                self.silent_paths.clear()
            return "ok"
        if cmd in ("stopread", "read"):
            self.reading = cmd == "read"
            return "ok"
        if cmd == "echo" and len(words) == 2:
            self.handlers[int(words[1], 0)] = lambda board, link, msg: [msg]
            return "ok"
        if cmd == "poll":
            for link in [l for l in self.links if not l.closing]:
                link.awaiting_reply = True
                self.queue(link, [(HOST_POLL, 0)], urgent=True)
            return "ok"
        if cmd == "quit":
            self.flush_all(2.0)
            raise SystemExit(0)
        if cmd == "traceoff" and words[1:] == ["answer"] and self.trace is not None:
            # The off requests kept until now answered after what is queued: a board done with its last units.
            out = [m for h, payloads in self.trace.release_off() for m in self.host.answer(h, payloads)]
            if self.open_links():
                self.send_batches(self.out_link(), out)
        if self.discovery is not None:
            answer = self.discovery.command(words)
            if answer is None:
                answer = self.trace.command(words)
            if answer is not None:
                return answer
        return "error unknown command"

    def acked(self):
        n = self.acked_gone
        for link in self.links:
            try:
                n += link.acked_units()
            except OSError:
                pass
        return n

    def unread(self):
        """What the host has not read yet on any link: bytes queued here (a burst's units not built yet count one
        each), in our sockets and in the host's."""
        n = 0
        for link in self.links:
            n += sum(pending_units(item) if isinstance(item, Burst) else len(item[0]) for item in link.out) - link.sent
            try:
                n += unread_bytes(link.sock)
            except OSError:
                pass
        return n

    def start_burst(self, total, units):
        """Queues a burst of trace units; the asker is answered "ok COUNT" once
        all are built (None: the answer comes later)."""
        asker = self.asking
        first = self.host.reserve(total)

        def make(msg_id, payload, i):
            return self.host.event(msg_id, payload, self.host.seq_after(first, i + 1) if self.host.full else None)

        def done(built):
            self.trace.flush_log()
            self.finished.append((asker, "ok %d" % built))

        self.deferred.add(asker)
        self.queue(self.out_link(), [Burst(total, units, make, self.trace.flush_log, done)])
        return None

    def answer_finished(self):
        """Answers the askers of the bursts built (or dropped) since the last
        turn, then the lines each sent meanwhile."""
        while self.finished:
            asker, answer = self.finished.pop(0)
            self.deferred.discard(asker)
            if asker in self.controls:
                answer_line(self.controls, asker, answer)
                self.asking = asker
                serve_lines(self.controls, asker, self.command)

    def on_control_data(self, s):
        self.asking = s
        serve_control(self.controls, s, self.command)

    def run(self):
        end = time.monotonic() + self.args.lifetime
        print("ready tcp=%d" % self.tcp_port, flush=True)
        while time.monotonic() < end:
            self.answer_finished()
            rd = [self.udp, self.listen, self.control] + self.udp_paths + [c for c in self.controls if c not in self.deferred]
            if self.listen1 is not None:
                rd.append(self.listen1)
            rd += [link.sock for link in self.links if (self.reading or link.closing) and not link.cut]
            wr = [link.sock for link in self.links if link.out and not link.cut]
            ready, writable, _ = select.select(rd, wr, [], 0.1)
            for link in [l for l in self.links if l.sock in writable]:
                self.flush(link)
            # The links before the listeners: a host that closed its link and opened a new one on the path is seen
            # closing first, so that only a close the network lost makes the new link a replacement.
            for link in [l for l in self.links if l.sock in ready]:
                if link not in self.links:  # dropped by what another link's traffic sent meanwhile
                    continue
                try:
                    self.on_link(link)
                except (ConnectionResetError, BrokenPipeError):
                    # A host that closes with our bytes still unread resets the link: closed all the same.
                    if not link.closing:
                        self.stats["closed_by_host"] += 1
                    self.drop(link)
                except OSError:
                    self.drop(link)
            for s in ready:
                if s is self.udp or s in self.udp_paths:
                    self.on_udp(s)
                elif s is self.listen or s is self.listen1:
                    self.on_accept(s)
                elif s is self.control:
                    c, _ = self.control.accept()
                    self.controls[c] = b""
                elif s in self.controls:
                    self.on_control_data(s)


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_socket_option(p, "udp", socket.SOCK_DGRAM, "discovery", "the gw0 address")
    p.add_argument("--tcp-port", type=int, default=0)
    add_socket_option(p, "control", socket.SOCK_STREAM, "control")
    p.add_argument("--serial", default="12345678")
    p.add_argument("--name", default="simboard")
    p.add_argument("--build", type=lambda v: int(v, 0), default=0x02070B04)
    p.add_argument("--lifetime", type=float, default=60.0)
    p.add_argument("--silent", action="store_true")
    p.add_argument("--gw0", type=loopback_address, default="127.0.0.1", help="gw0 address (advertised and listened on)")
    p.add_argument("--gw1", type=lambda v: v and loopback_address(v), default="", help="gw1 address; empty: gw0 only")
    p.add_argument("--full", action="store_true", help="sequence numbers and acknowledgements from the start")
    p.add_argument("--profile", default="", help="JSON profile answering entity discovery (docs/board-discovery.md)")
    p.add_argument("--trace-log", default="", help="JSON lines of the trace units sent (docs/board-trace-messages.md)")
    args = p.parse_args(argv)
    Board(args).run()


if __name__ == "__main__":
    main(sys.argv[1:])
