#!/usr/bin/env python3
"""Stand-in call/media control server: a host peer on 127.0.0.1.

Written from the host-to-host wire formats and docs/cmc-payloads.md, not
from the C++ libraries; standard library only. It exits by itself after
--lifetime seconds.

As a host it advertises itself (440-byte host advertisement, kind 2 with a
discovery to --peer-port every second, kind 1 in answer to a discovery or a
poll), links with the library over TCP (the side with the greater unique id
connects and writes the 4-byte length and its block; the other accepts and
reads them), exchanges batches and 64-byte TCP polls, numbers what it sends
and takes what it receives in sequence (boardsim_host.HostLayer), acknowledges
it (piggy-backed, or a pure acknowledgement when nothing goes back), answers the
library's remote-filter requests and, once linked, sends its own filter
CLEAR and DONE so that the library reports it.

As a server it answers LibRegister (--register ok, standby = 0x82000005,
version = 0x82000020, silent = no answer), HostStatesGet (state block),
SyncCompleted and the ownership requests (success, a mapping id), and sends
READY (with network access point statistics on request), NOT READY and
SYNC_STARTING on command, and runs of leg or mixer notifications in their full
layouts (cmcsim_layouts: the entity where the catalogue keys it, the fields the
control line names, an element area and its end marker), sent in order behind
anything queued before them. With --plain (the core library's own tests) they
are 40 bytes: word 7 at 28 their number from 1, word 8 at 32 the entity. Every message
received is logged on standard output ("recv NAME ...") and counted.

It answers the application's leg and mixer commands (the catalogue's command
ids, kind 1): the command's payload with the result at 28 and a mapping id at
8, as the control line told (default: success; a fresh mapping id from 0x5001
up for CALL_LEG_CREATE and MIXER_CREATE, the received one kept for the rest; a
CALL_LEG_CREATE answer gives the call's protocol type at 32 and, refused, the
call reason 47 at 36).
Each command is checked first: kind 1, the entity id in the low half of user
context 1, the used payload at least the catalogue's structure rounded up to 8
plus the element set's end marker, a multiple of 8 ending in the 32-bit
layout's marker (PLAY: 56 bytes alone, or more and ending in the marker), then
(not with --plain) its version word, its entity id and second id and leg type
at their offsets (cmcsim_layouts.COMMANDS); each
failure counts in "violations" (per command name) and is logged
("violation NAME: what"). The destination (header word 7) and user contexts of
the last command of each name are kept for "last".

It plays a scripted resynchronisation: SYNC_STARTING, then the script's items
in the order given (NotifLegSync, NotifLinkSync, NotifMixerSync,
NotifMixerLinkSync built by cmcsim_wire with descriptions and play and record
element sets, and plain notifications the library must hold until the sync is
done), then READY. The ownership messages that the library must send for them
(SetLegOwnership mapping id and leg id, SetLinkOwnership the two leg ids,
SetMixerOwnership, SetMixerLinkOwnership) are expected byte for byte
(cmcsim_wire.to_server; a script id of 0 accepts the id the library chose):
"claims" counts those received as expected, "claims_unexpected" the others,
"claims_missing" those not yet received. A hand-over is the same script played
by a second instance after the first has left (quit, or restart).

With --claim-pid it claims a process of this machine as a host library does
(127.0.0.1 and the pid in its unique id): its own (self), or any other.

Discovery on 127.0.0.1:--udp-port, or on the UDP socket inherited as --udp-fd.
Control: line commands on 127.0.0.1:--control-port (or on the socket inherited
as --control-fd). A parent that binds the two sockets first and hands them
down leaves no moment in which another process could take their ports. One
answer line each:
  stats                 JSON: links, answers held, received counts per name,
                        host layer
  register MODE         ok, standby, version or silent for what follows
  ready [stats=T,T..] | notready | syncstarting   send that notification (READY
                        with one statistics record per type T in its set at 32)
  events ID COUNT ENTITY  send COUNT notifications of id ID (numbered 1..COUNT)
  answer ID|all RESULT|silent [keep|auto|MAPPING] [twice]
                        how commands of id ID (or every command) are answered
                        from now on: result code (or no answer), mapping id at
                        8 kept as received, a fresh one, or the value given,
                        each answer sent once or twice; the rule of an id
                        beats the rule of all
  hold / release [reversed]  keep the answers to commands back from now on /
                        send the ones kept, in the order of their commands or
                        the last first, behind what is queued, and answer
                        again as they come
  log on|off            a line on standard output per message received
                        (default on; off for runs of many thousand commands)
  last NAME             JSON of the last command of that name (e.g.
                        CALL_LEG_CREATE): dest, ctx1, ctx2, kind, plen; "none"
  fields NAME           JSON of the attributes the last CALL_LEG_CREATE, PLAY
                        or EVENT_PLAY carried (cmcsim_attrs), or of the fields
                        of the last other command of that name; "none"
  echo present LEG MAPPING | echo profile LEG | echo digits LEG
                        a leg present (the last CALL_LEG_CREATE's leg and
                        protocol attributes), profile changed (its profile) or
                        digit collected (the last EVENT_PLAY's tones) to LEG
  notify ID ENTITY [COUNT] [NAME=VALUE..]  COUNT (default 1) notifications of
                        id ID naming ENTITY where the catalogue keys it (word 7
                        at 28, word 8 at 32, or user context 1), in the id's
                        layout with the fields named (cmcsim_layouts.NOTIFS;
                        '_' in a text stands for a space); two more names shape
                        a malformed one: cut=N keeps the first N payload bytes,
                        kind=K sends it with host message type K (not 4)
  offer LEG MAPPING [NAME=VALUE..]  a call offer (0x0A010011, 864 bytes): the
                        leg id at 32 (0: the library picks one), the mapping id
                        at 8, call leg type 1 at 36
  script clear          forget the resynchronisation script
  script leg ID MAPPING [media]   a NotifLegSync (call leg, or media-only)
  script link ID1 ID2 MAP1 MAP2   a NotifLinkSync
  script mixer ID MAPPING         a NotifMixerSync
  script mixerlink MIXER ENTITY MIXERMAP ENTITYMAP  a NotifMixerLinkSync
  script notify ID ENTITY [COUNT] notifications sent inside the resync
  resync                SYNC_STARTING, the script in order, READY
  silent / talk         stop / resume answering anything (links stay)
  deaf / hear           stop / resume reading the links (what the library
                        sends waits in the sockets); queued messages still go
  restart               drop links and the accept socket, come back with the
                        same unique id and host context on a new port
  quit                  exit now
"""

import argparse
import json
import os
import select
import socket
import struct
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "boardsim"))
sys.path.insert(0, HERE)
from boardsim_control import add_socket_option, option_socket, serve_control  # noqa: E402
from boardsim_host import HEADER, PURE_ACK, TYPE_REQUEST, HostLayer, build, parse_header  # noqa: E402
from boardsim_wire import BATCH_HEADER_SIZE, MAX_BATCH, MAX_MSG, POLL_REPLY, batch  # noqa: E402
import cmcsim_attrs  # noqa: E402
import cmcsim_layouts as layouts  # noqa: E402
import cmcsim_wire as cw  # noqa: E402

HOST_DISCOVERY, HOST_SPECIFIC, HOST_POLL_ID, HOST_REPLY = 0x484C4449, 0x484C4453, 0x484C5049, 0x484C5041
HOST_AD_SIZE = 440
BUILD = 0x02070B04
FILTER_CLEAR, FILTER_DONE = 0x020D0100, 0x020D0107
REGISTER_RESULTS = {"ok": cw.RESULT_OK, "standby": cw.RESULT_STANDBY, "version": cw.RESULT_VERSION}


def host_advertisement(kind, tcp_port, unique_id, host_ctx, host_name, app_name):
    """440 bytes: id, kind, host type 0, 0, 1, TCP port, 0, then the host block."""
    head = struct.pack(">IBBBBII", HOST_REPLY, kind, 0, 0, 1, tcp_port, 0)
    info = struct.pack(">Q4sI128s128sQQ64s64sIB3s", unique_id, b"\0" * 4, 2, host_name.encode(),
                       app_name.encode(), host_ctx, 0, b"127.0.0.1", b"", BUILD, 2, b"\0" * 3)
    pkt = head + info
    assert len(pkt) == HOST_AD_SIZE
    return pkt


class Link:
    def __init__(self, sock):
        self.sock = sock
        self.buf = bytearray()
        self.need_handshake = False


class Server:
    def __init__(self, args):
        self.args = args
        self.unique_id = args.unique_id or ((os.getpid() << 16) | 0x5EC0) & 0x7FFFFFFFFFFFFFFF
        self.host_ctx = args.host_context
        self.register = args.register
        self.silent = False
        self.deaf = False         # links not read ("deaf"): the library's sends wait in the sockets
        # Servers built on this one (cmmgrsim, mgmtsim) may give no --*-fd options.
        self.udp = option_socket(getattr(args, "udp_fd", None), socket.SOCK_DGRAM, args.udp_port)
        self.control = option_socket(getattr(args, "control_fd", None), socket.SOCK_STREAM, args.control_port)
        self.control.listen(2)
        self.controls = {}
        self.received = {}
        self.restarts = 0
        self.mapping = 0x5000
        self.answers = {}         # command id (or "all") -> (result or None for silent, mapping rule)
        self.violations = {}
        self.last = {}            # command name -> what the last one carried
        self.fields = {}          # command name -> the attributes the last one carried (cmcsim_attrs)
        self.script = []          # (payload builder items) of the resynchronisation
        self.expected = []        # ownership payloads still expected, (msg id, bytes, wildcard offset)
        self.claims = {"claims": 0, "claims_unexpected": 0}
        self.hold = False         # answers to commands kept back until "release"
        self.log = True
        self.start()

    def start(self):
        """A new presence: accept socket, no links, fresh numbering."""
        self.listen = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listen.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listen.bind(("127.0.0.1", 0))
        self.listen.listen(4)
        self.tcp_port = self.listen.getsockname()[1]
        self.links = []
        self.backlog = []         # numbered messages waiting for the first link, in order
        self.held = []            # answers kept back ("hold"), not yet numbered; a restart forgets them
        self.host = HostLayer()
        self.host.full = True
        self.acked = 0
        self.peer = None          # (address, tcp port, unique id) of the library's host
        self.next_round = 0.0
        self.next_connect = 0.0

    def stop(self):
        for link in self.links:
            link.sock.close()
        self.links = []
        self.listen.close()

    def ad(self, kind):
        return host_advertisement(kind, self.tcp_port, self.unique_id, self.host_ctx, self.args.host_name,
                                  self.args.name)

    # UDP: discovery rounds towards the library's port, answers to discoveries and polls
    def discovery_round(self):
        to = ("127.0.0.1", self.args.peer_port)
        self.udp.sendto(struct.pack(">I", HOST_DISCOVERY), to)
        self.udp.sendto(self.ad(2), to)

    def on_udp(self):
        data, sender = self.udp.recvfrom(2048)
        if self.silent or len(data) < 4:
            return
        (ident,) = struct.unpack_from(">I", data)
        if ident == HOST_DISCOVERY or (ident == HOST_POLL_ID and len(data) >= 32):
            self.udp.sendto(self.ad(1), sender)
        elif ident == HOST_SPECIFIC and len(data) >= 264:
            host = data[8:136].split(b"\0", 1)[0].decode(errors="replace")
            app = data[136:264].split(b"\0", 1)[0].decode(errors="replace")
            if host == self.args.host_name and app == self.args.name:
                self.udp.sendto(self.ad(1), sender)
        elif ident == HOST_REPLY and len(data) >= HOST_AD_SIZE:
            (tcp_port,) = struct.unpack_from(">I", data, 8)
            (uid,) = struct.unpack_from(">Q", data, 16)
            if uid != self.unique_id:
                self.peer = (sender[0], tcp_port, uid)

    # TCP links
    def add_link(self, sock):
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        sock.settimeout(1.0)
        if not self.links:
            self.host.presence()
        link = Link(sock)
        self.links.append(link)
        # Announce this host's filters: none wanted beyond what is addressed here.
        clear = bytearray(528)
        struct.pack_into("<I", clear, 8, 5)
        clear[16:16 + len(self.args.host_name)] = self.args.host_name.encode()
        clear[144:144 + len(self.args.name)] = self.args.name.encode()
        clear[272:281] = b"127.0.0.1"
        done = struct.pack("<IIII", 0, 0, 5, 0)
        self.send(link, [build(FILTER_CLEAR, TYPE_REQUEST, bytes(clear)), build(FILTER_DONE, TYPE_REQUEST, done)])
        return link

    def on_accept(self):
        s, _ = self.listen.accept()
        s.settimeout(1.0)
        try:
            (length,) = struct.unpack(">I", self.recv_exact(s, 4))
            if length > 1464:
                raise OSError("handshake too long")
            self.recv_exact(s, length)
        except (OSError, struct.error):
            s.close()
            return
        self.add_link(s)

    @staticmethod
    def recv_exact(s, n):
        out = b""
        while len(out) < n:
            chunk = s.recv(n - len(out))
            if not chunk:
                raise OSError("closed")
            out += chunk
        return out

    def connect(self):
        """This side connects when its unique id is the greater one."""
        addr, port, uid = self.peer
        if self.unique_id <= uid or self.links:
            return
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.settimeout(1.0)
        try:
            s.connect((addr, port))
            s.sendall(struct.pack(">I", HOST_AD_SIZE) + self.ad(1))
        except OSError:
            s.close()
            return
        self.add_link(s)

    def drop(self, link):
        if link in self.links:
            self.links.remove(link)
        link.sock.close()

    def send(self, link, msgs):
        msgs = [self.host.number(m) for m in msgs]
        for i in range(0, len(msgs), MAX_BATCH):
            link.sock.sendall(batch(msgs[i:i + MAX_BATCH]))

    def on_link(self, link):
        data = link.sock.recv(65536)
        if not data:
            self.drop(link)
            return
        link.buf += data
        b = link.buf
        while len(b) >= BATCH_HEADER_SIZE:
            words = struct.unpack_from(">16I", b)
            if words[0] == 0:
                del b[:BATCH_HEADER_SIZE]
                if not self.silent:
                    link.sock.sendall(POLL_REPLY)
                continue
            if words[0] == 0xFFFFFFFF:
                del b[:BATCH_HEADER_SIZE]
                continue
            sizes = words[1:1 + words[0]]
            if words[0] > MAX_BATCH or any(s == 0 or s > MAX_MSG for s in sizes):
                print("corrupted batch header, link closed", flush=True)
                self.drop(link)
                return
            if len(b) < BATCH_HEADER_SIZE + sum(sizes):
                return
            pos = BATCH_HEADER_SIZE
            replies = []
            for size in sizes:
                replies += self.on_message(bytes(b[pos:pos + size]))
                pos += size
            del b[:pos]
            if replies and not self.silent and self.backlog:
                # Behind the notifications still queued: the peer takes numbers in order only.
                self.backlog += [self.host.number(m) for m in replies]
            elif replies and not self.silent:
                self.send(link, replies)
            elif self.host.rx_seq != self.acked and not self.silent:
                # Nothing to carry the acknowledgement: a pure one, outside the numbering.
                link.sock.sendall(batch([build(PURE_ACK, TYPE_REQUEST, bytes(8), ack=self.host.rx_seq)]))
            self.acked = self.host.rx_seq

    def on_message(self, m):
        if len(m) < HEADER:
            return []
        h = parse_header(m)
        name = cw.NAMES.get(h["id"], "0x%08x" % h["id"])
        payload = m[HEADER:HEADER + h["plen"]]
        # Sequence check, remote filters and acknowledgements; numbering is left to send().
        self.host.full = False
        handled = self.host.on_message(m)
        self.host.full = True
        if handled is not None:
            return [] if self.silent else handled
        self.received[name] = self.received.get(name, 0) + 1
        if self.log:
            print("recv %s type %d plen %d payload %s" % (name, h["type"], h["plen"], payload.hex()), flush=True)
        if h["id"] in cw.COMMANDS and not self.silent:
            return self.on_command(h, payload)
        if self.silent or h["type"] != TYPE_REQUEST or h["id"] not in cw.NAMES:
            return []
        if cw.SET_LEG_OWNERSHIP <= h["id"] <= cw.SET_MIXER_LINK_OWNERSHIP:
            self.on_claim(h["id"], payload)
        if h["id"] == cw.LIB_REGISTER:
            if self.register == "silent":
                return []
            body = cw.answer_payload(payload, REGISTER_RESULTS[self.register])
        elif h["id"] == cw.HOST_STATES_GET:
            body = cw.answer_payload(payload, cw.RESULT_OK, state_block=cw.state_block(True, 0, 0))
        elif h["id"] == cw.SYNC_COMPLETED:
            body = cw.answer_payload(payload, cw.RESULT_OK)
        else:
            self.mapping += 1
            body = cw.answer_payload(payload, cw.RESULT_OK, mapping_id=self.mapping)
        return [build(h["id"], 2, body, h["serial_raw"], h["ctx1_raw"], h["ctx2_raw"])]

    def on_command(self, h, payload):
        """Checks a leg or mixer command, keeps what it carried, answers it as told."""
        name = cw.COMMANDS[h["id"]][0]
        (ctx1,) = struct.unpack("<Q", h["ctx1_raw"])
        (ctx2,) = struct.unpack("<Q", h["ctx2_raw"])
        for v in cw.check_command(h["id"], h["type"], h["plen"], payload, ctx1, not self.args.plain):
            self.violations[name] = self.violations.get(name, 0) + 1
            print("violation %s" % v, flush=True)
        fields = cmcsim_attrs.decode(h["id"], payload)
        self.fields[name] = fields if fields is not None else layouts.fields(h["id"], payload, ctx1)
        self.last[name] = {"dest": h["adapter"], "ctx1": ctx1, "ctx2": ctx2, "kind": h["type"], "plen": h["plen"]}
        default = (cw.RESULT_OK, "auto" if h["id"] in cw.CREATES else "keep", 1)
        result, rule, copies = self.answers.get(h["id"], self.answers.get("all", default))
        if result is None or h["type"] != TYPE_REQUEST:
            return []
        if rule == "auto":
            self.mapping += 1
            mapping = self.mapping
        else:
            mapping = None if rule == "keep" else rule
        body = cw.command_answer(h["id"], payload, result, mapping)
        answers = [build(h["id"], 2, body, h["serial_raw"], h["ctx1_raw"], h["ctx2_raw"])] * copies
        if self.hold:
            self.held += answers
            return []
        return answers

    def on_claim(self, msg_id, payload):
        """Matches an ownership message byte for byte against those the script expects."""
        for i, (want_id, want, wild) in enumerate(self.expected):
            if want_id != msg_id or len(want) != len(payload):
                continue
            if wild is not None:
                want = want[:wild] + payload[wild:wild + 4] + want[wild + 4:]
            if want == payload and (wild is None or payload[wild:wild + 4] != bytes(4)):
                del self.expected[i]
                self.claims["claims"] += 1
                return
        self.claims["claims_unexpected"] += 1
        print("unexpected claim %s %s" % (cw.NAMES[msg_id], payload.hex()), flush=True)

    def script_item(self, words):
        """One resynchronisation item: (notification id, payload, user context 1, ownership expected)."""
        kind, n = words[0], [int(w, 0) for w in words[1:] if w != "media"]
        if kind == "leg" and len(n) == 2:
            claim = cw.to_server(cw.SET_LEG_OWNERSHIP, mapping_id=n[1], entity_id=n[0])
            return [(cw.NOTIF_LEG_SYNC, cw.notif_leg_sync(n[0], n[1], 2 if "media" in words else 1), 0,
                     (cw.SET_LEG_OWNERSHIP, claim, 28 if n[0] == 0 else None))]
        if kind == "mixer" and len(n) == 2:
            claim = cw.to_server(cw.SET_MIXER_OWNERSHIP, mapping_id=n[1], entity_id=n[0])
            return [(cw.NOTIF_MIXER_SYNC, cw.notif_mixer_sync(n[0], n[1]), 0,
                     (cw.SET_MIXER_OWNERSHIP, claim, 28 if n[0] == 0 else None))]
        if kind == "link" and len(n) == 4:
            return [(cw.NOTIF_LINK_SYNC, cw.notif_link_sync(*n), 0,
                     (cw.SET_LINK_OWNERSHIP, cw.to_server(cw.SET_LINK_OWNERSHIP, id1=n[0], id2=n[1]), None))]
        if kind == "mixerlink" and len(n) == 4:
            claim = cw.to_server(cw.SET_MIXER_LINK_OWNERSHIP, id1=n[0], id2=n[1])
            return [(cw.NOTIF_MIXER_LINK_SYNC, cw.notif_mixer_link_sync(*n), 0,
                     (cw.SET_MIXER_LINK_OWNERSHIP, claim, None))]
        if kind == "notify" and len(n) in (2, 3) and n[0] in cw.NOTIF_KEYS:
            make = cw.plain_notification if self.args.plain else cw.notification
            return [(n[0],) + make(n[0], n[1], i) + (None,) for i in range(1, (n[2:] or [1])[0] + 1)]
        return None

    def resync(self):
        if not self.links:
            return "error no link"
        msgs = [build(cw.SYNC_STARTING, 4, cw.lib_notification(32))]
        for msg_id, payload, ctx1, claim in (item for entry in self.script for item in entry):
            msgs.append(build(msg_id, 4, payload, ctx1_raw=struct.pack("<Q", ctx1)))
            if claim is not None:
                self.expected.append(claim)
        msgs.append(build(cw.READY, 4, cw.ready_payload(BUILD)))
        self.backlog += [self.host.number(m) for m in msgs]
        self.flush()
        return "ok"

    def notify(self, msg_id, payloads, ctx1=0, kind=4):
        """Queues notifications (of host message type kind) behind the backlog."""
        return self.queue([build(msg_id, kind, p, ctx1_raw=struct.pack("<Q", ctx1)) for p in payloads])

    def queue(self, msgs):
        """Numbers whole messages behind the backlog; run() sends a share of it each turn."""
        if not self.links:
            return "error no link"
        self.backlog += [self.host.number(m) for m in msgs]
        self.flush()
        return "ok"

    def flush(self, limit=MAX_BATCH * 64):
        """Sends up to limit messages of the backlog on every link, in batches: the peer keeps
        the first copy of each number, so a link it has just dropped loses nothing."""
        if not self.links:
            self.backlog = []
            return
        out, self.backlog = self.backlog[:limit], self.backlog[limit:]
        for link in list(self.links):
            link.sock.settimeout(10.0)  # a busy reader slows the run down; only a stuck one ends the link
            try:
                for i in range(0, len(out), MAX_BATCH):
                    link.sock.sendall(batch(out[i:i + MAX_BATCH]))
                link.sock.settimeout(1.0)
            except OSError:
                self.drop(link)

    # control commands
    def command(self, line):
        try:
            return self.control_command(line)
        except ValueError:
            return "error bad number"

    def control_command(self, line):
        words = line.split()
        if not words:
            return "error empty"
        cmd = words[0]
        if cmd == "stats":
            return json.dumps({"links": len(self.links), "restarts": self.restarts, "tcp_port": self.tcp_port,
                               "backlog": len(self.backlog), "held": len(self.held),
                               "unique_id": self.unique_id, "received": self.received,
                               "violations": self.violations, "claims": self.claims["claims"],
                               "claims_unexpected": self.claims["claims_unexpected"],
                               "claims_missing": len(self.expected), "host": self.host.stats()})
        if cmd == "register" and len(words) == 2 and words[1] in list(REGISTER_RESULTS) + ["silent"]:
            self.register = words[1]
            return "ok"
        if cmd == "ready" and len(words) <= 2:
            f = layouts.parse_fields(words[1:])
            if set(f) - {"stats"}:
                return "error unknown field"
            return self.notify(cw.READY, [cw.ready_payload(BUILD, f.get("stats"))])
        if cmd == "notready":
            return self.notify(cw.NOT_READY, [cw.lib_notification(32)])
        if cmd == "syncstarting":
            return self.notify(cw.SYNC_STARTING, [cw.lib_notification(32)])
        if cmd == "events" and len(words) == 4:
            msg_id, count, entity = (int(w, 0) for w in words[1:])
            return self.notify(msg_id, [cw.entity_notification(entity, n) for n in range(1, count + 1)])
        if cmd == "answer" and len(words) in (3, 4, 5) and (words[1] == "all" or int(words[1], 0) in cw.COMMANDS):
            key = "all" if words[1] == "all" else int(words[1], 0)
            copies = 2 if words[-1] == "twice" and len(words) > 3 else 1
            mapping = words[3:len(words) - (copies - 1)]
            if len(mapping) > 1:
                return "error bad answer rule"
            rule = mapping[0] if mapping and mapping[0] in ("keep", "auto") else (
                int(mapping[0], 0) if mapping else None)
            self.answers[key] = (None if words[2] == "silent" else int(words[2], 0) & 0xFFFFFFFF,
                                 rule or ("auto" if key in cw.CREATES else "keep"), copies)
            return "ok"
        if cmd == "hold" and len(words) == 1:
            self.hold = True
            return "ok"
        if cmd == "release" and words[1:] in ([], ["reversed"]):
            held, self.held, self.hold = self.held, [], False
            return self.queue(held[::-1] if words[1:] else held)
        if cmd == "log" and words[1:] in (["on"], ["off"]):
            self.log = words[1] == "on"
            return "ok"
        if cmd == "last" and len(words) == 2:
            return json.dumps(self.last[words[1]]) if words[1] in self.last else "none"
        if cmd == "fields" and len(words) == 2:
            return json.dumps(self.fields[words[1]]) if words[1] in self.fields else "none"
        if cmd == "echo" and len(words) in (3, 4) and words[1] in ("present", "profile", "digits"):
            source = self.fields.get("EVENT_PLAY" if words[1] == "digits" else "CALL_LEG_CREATE")
            built = cmcsim_attrs.echo(words[1], source, *(int(w, 0) for w in words[2:]))
            return "none" if built is None else self.notify(built[0], [built[1]])
        if cmd == "notify" and len(words) >= 3 and int(words[1], 0) in cw.NOTIF_KEYS:
            numbers = [w for w in words[3:4] if "=" not in w]
            msg_id, entity, count = int(words[1], 0), int(words[2], 0), int(numbers[0], 0) if numbers else 1
            f = layouts.parse_fields(words[3 + len(numbers):])
            cut, kind = f.pop("cut", None), f.pop("kind", 4)
            try:
                built = [cw.plain_notification(msg_id, entity, i) if self.args.plain and not f else
                         cw.notification(msg_id, entity, i, fields=f) for i in range(1, count + 1)]
            except KeyError as e:
                return "error unknown field %s" % e
            return self.notify(msg_id, [b[0][:cut] for b in built], built[0][1] if built else 0, kind)
        if cmd == "offer" and len(words) >= 3:
            try:
                f = layouts.parse_fields(words[3:])
                built = (cw.plain_notification if self.args.plain and not f else cw.notification)(
                    cw.CALL_OFFER, int(words[1], 0), 1, int(words[2], 0), *([f] if f else []))
            except KeyError as e:
                return "error unknown field %s" % e
            return self.notify(cw.CALL_OFFER, [built[0]])
        if cmd == "script" and words[1:] == ["clear"]:
            self.script = []
            return "ok"
        if cmd == "script" and len(words) >= 3:
            item = self.script_item(words[1:])
            if item is None:
                return "error bad script item"
            self.script.append(item)
            return "ok"
        if cmd == "resync":
            return self.resync()
        if cmd in ("silent", "talk"):
            self.silent = cmd == "silent"
            return "ok"
        if cmd in ("deaf", "hear"):
            self.deaf = cmd == "deaf"
            return "ok"
        if cmd == "restart":
            self.stop()
            self.restarts += 1
            self.start()
            return "ok"
        if cmd == "quit":
            raise SystemExit(0)
        return "error unknown command"

    def on_control_data(self, s):
        serve_control(self.controls, s, self.command)

    def run(self):
        end = time.monotonic() + self.args.lifetime
        print("ready tcp=%d" % self.tcp_port, flush=True)
        while time.monotonic() < end:
            now = time.monotonic()
            if not self.silent and now >= self.next_round:
                self.next_round = now + 1.0
                self.discovery_round()
            if not self.silent and self.peer is not None and now >= self.next_connect:
                self.next_connect = now + 1.0
                self.connect()
            rd = [self.udp, self.listen, self.control] + list(self.controls)
            if not self.deaf:
                rd += [l.sock for l in self.links]
            ready, _, _ = select.select(rd, [], [], 0 if self.backlog else 0.1)
            if self.backlog and not self.silent:
                self.flush()
            for s in ready:
                try:
                    if s is self.udp:
                        self.on_udp()
                    elif s is self.listen:
                        self.on_accept()
                    elif s is self.control:
                        c, _ = self.control.accept()
                        self.controls[c] = b""
                    elif s in self.controls:
                        self.on_control_data(s)
                    else:
                        link = next((l for l in self.links if l.sock is s), None)
                        if link is not None:
                            self.on_link(link)
                except OSError:
                    link = next((l for l in self.links if l.sock is s), None)
                    if link is not None:
                        self.drop(link)


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_socket_option(p, "udp", socket.SOCK_DGRAM, "this host's discovery")
    p.add_argument("--peer-port", type=int, required=True, help="the library host's discovery port")
    add_socket_option(p, "control", socket.SOCK_STREAM, "the control lines'")
    p.add_argument("--name", default="cmc_server", help="application name")
    p.add_argument("--host-name", default="cmcsim")
    p.add_argument("--unique-id", type=lambda v: int(v, 0), default=0)
    p.add_argument("--claim-pid", default=None,
                   help="unique id as a host library of this machine makes it: 127.0.0.1 in the upper 32 bits, "
                        "this process id (self) or the one given in the lower 32")
    p.add_argument("--host-context", type=lambda v: int(v, 0), default=0x0C0C0001)
    p.add_argument("--register", choices=list(REGISTER_RESULTS) + ["silent"], default="ok")
    p.add_argument("--lifetime", type=float, default=60.0)
    p.add_argument("--plain", action="store_true",
                   help="40-byte numbered notifications and command shapes only (the core library's own tests)")
    args = p.parse_args(argv)
    if args.claim_pid is not None:
        pid = os.getpid() if args.claim_pid == "self" else int(args.claim_pid, 0)
        args.unique_id = (0x7F000001 << 32) | (pid & 0xFFFFFFFF)
    Server(args).run()


if __name__ == "__main__":
    main(sys.argv[1:])
