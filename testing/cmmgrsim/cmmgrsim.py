#!/usr/bin/env python3
"""Stand-in configuration manager: a host peer on 127.0.0.1 that drives the
configuration-management client of a framework process.

Written from docs/cm-client.md and docs/services-protocol.md, not from the
C++ code; standard library only. The host layer (advertisement, links,
batches, numbering, remote filters) is the stand-in call/media control
server's (testing/cmcsim), the framework envelope and the service lists are
the independent golden encoders' (testing/golden/caf, testing/golden/svclib).

Once linked it asks the library's host for the list of services (remote
filter on the services and configuration-management groups, list request),
announces its manager service (0x0B0C0100, detecting 0x0B0C0200), and when
the host lists the client service it sends, in this order:
  1 validate(7, 9, "quellan.xml"), sent again every second until answered
    (the client drops requests that come before it has linked this manager);
then, once 1 is answered, in one batch:
  2 reload(3, "quellan.xml", "-db")        3 database maintenance
  4 validate cut after its first word      5 reload with a 5000-byte text
  6 database maintenance with 4 bytes more
  - a validate holding no number           7 validate(1, 2, "again")
It prints "answer ID NUMBER RESULT" (hex id and result) for the first answer
to each number,
"done" once 1 to 7 are answered, and exits; it also exits after --lifetime
seconds.

With --address (and --udp-port) its discovery socket is bound to that address
of 127.0.0.0/8, so that a process whose remote addresses must be on its own
gateway port (127.0.0.3:PORT beside its board's 127.0.0.1:PORT) reaches it.

With --driven it sends nothing of its own: the test gives each request on the
control port (--control-port, --control-fd), one a line, answered "ok":
  validate N P1 P2 TEXT      reload N P TEXT1 [TEXT2]      db N
Each is sent with the next discovery round and again every second until
answered (at most 60 times): a client drops the requests of a manager it has
not linked. "answer N" gives "answer ID N RESULT" once N is answered, else
"none SENT" (the times it was sent so far); "copies N" gives "copies SENT
ANSWERS RESULTS" (the times N was sent, the answers to it received, copies
answered again included, and the results they carried, each once in the order
first received, hex, joined by commas, "-" for none); "unanswered" gives
"unanswered K", the requests given that are not answered yet; "quit" ends the
manager.
"""

import argparse
import os
import socket
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
for sub in ("../cmcsim", "../boardsim", "../golden/caf", "../golden/svclib"):
    sys.path.insert(0, os.path.join(HERE, sub))
from boardsim_host import HEADER, TYPE_EVENT, TYPE_REQUEST, build, parse_header  # noqa: E402
from boardsim_control import add_socket_option, inherited_socket  # noqa: E402
from cmcsim import Server  # noqa: E402
from comm_golden import decode_cm, encode_message  # noqa: E402
from services_golden import decode_list, encode_list  # noqa: E402

SERVICE_LIST, LIST_REQUEST = 0x0A5E0001, 0x0A5E0002
MANAGER, CLIENT = 0x0B0C0100, 0x0B0C0200
VALIDATE, RELOAD, DB_MAINTENANCE, ANSWER_OFFSET = 0x0B0C0001, 0x0B0C0002, 0x0B0C0003, 0x10
FILTER_CREATE, GROUP_MASK = 0x020D0101, 0x00000008


def text(s):
    return struct.pack(">I", len(s)) + s


def request(msg_id, number, body=b""):
    return build(msg_id, TYPE_EVENT, encode_message(msg_id, struct.pack(">I", number) + body))


def filter_create(number, groups):
    """A remote filter of one group set per group (little-endian, as the host's own order)."""
    sets = b"".join(struct.pack("<7I4xQQ", 1, GROUP_MASK, 0, 0, 0, g, 0, 0, 0) for g in groups)
    return build(FILTER_CREATE, TYPE_REQUEST, bytes(8) + struct.pack("<IIII", 5, 0, number, len(groups)) + sets)


def batch_two():
    return [request(RELOAD, 2, struct.pack(">I", 3) + text(b"quellan.xml") + text(b"-db")),
            request(DB_MAINTENANCE, 3),
            request(VALIDATE, 4, struct.pack(">I", 7)),
            request(RELOAD, 5, struct.pack(">I", 0) + text(b"x" * 5000) + text(b"")),
            request(DB_MAINTENANCE, 6, b"more"),
            build(VALIDATE, TYPE_EVENT, encode_message(VALIDATE, b"")),
            request(VALIDATE, 7, struct.pack(">II", 1, 2) + text(b"again"))]


DRIVEN = {"validate": (VALIDATE, 2, 1), "reload": (RELOAD, 1, 2), "db": (DB_MAINTENANCE, 0, 0)}


def driven_request(words):
    """(number, message) of a control line "KIND N WORD... TEXT..." (a missing last text is empty), or None."""
    if not words or words[0] not in DRIVEN or len(words) < 2:
        return None
    msg_id, nwords, ntexts = DRIVEN[words[0]]
    args = words[2:]
    if not nwords + min(ntexts, 1) <= len(args) <= nwords + ntexts:
        return None
    texts = args[nwords:] + [""] * (ntexts - len(args[nwords:]))
    body = struct.pack(">%dI" % nwords, *(int(w, 0) for w in args[:nwords]))
    body += b"".join(text(t.encode()) for t in texts)
    number = int(words[1], 0)
    return number, request(msg_id, number, body)


class Manager(Server):
    def __init__(self, args):
        self.client = None
        self.answers = {}
        self.probes = 0
        self.pending = {}  # driven: number -> [message, times sent]
        self.answer_counts = {}  # number -> answers received
        self.answer_results = {}  # number -> the results of its answers, each once, in the order received
        super().__init__(args)
        if args.address is not None:
            # Discovery on --address: a process that keeps its remote addresses on its own gateway port reaches it
            # there; links stay on 127.0.0.1 (the address the advertisement gives).
            self.udp.close()
            self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self.udp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self.udp.bind((args.address, args.udp_port))

    def control_command(self, line):
        words = line.split()
        if words[:1] == ["copies"] and len(words) == 2:
            number = int(words[1], 0)
            results = ",".join("0x%08x" % r for r in self.answer_results.get(number, [])) or "-"
            return "copies %u %u %s" % (self.pending.get(number, [None, 0])[1], self.answer_counts.get(number, 0), results)
        if words == ["unanswered"]:
            return "unanswered %u" % sum(1 for number in self.pending if number not in self.answers)
        if words[:1] == ["answer"] and len(words) == 2:
            number = int(words[1], 0)
            if number in self.answers:
                return "answer 0x%08x %u 0x%08x" % self.answers[number]
            return "none %u" % self.pending.get(number, [None, 0])[1]
        built = driven_request(words) if self.args.driven else None
        if built is not None:
            self.pending[built[0]] = [built[1], 0]
            self.answers.pop(built[0], None)
            return "ok"
        return super().control_command(line)

    def service_list(self):
        return build(SERVICE_LIST, TYPE_EVENT, encode_list(self.unique_id, [(1, MANAGER, CLIENT, 0, b"")]))

    def add_link(self, sock):
        link = super().add_link(sock)
        self.send(link, [filter_create(1, [SERVICE_LIST >> 16, VALIDATE >> 16]), self.service_list(),
                         build(LIST_REQUEST, TYPE_EVENT, bytes(8) + struct.pack(">II", 1, 0))])
        return link

    def discovery_round(self):
        super().discovery_round()
        if self.args.driven:
            out = []
            for number, entry in self.pending.items():
                if number not in self.answers and self.links and entry[1] < 60:
                    entry[1] += 1
                    out.append(entry[0])
            if out:
                link = self.links[0]
                link.sock.settimeout(30.0)  # a client slow to read slows the round down; only a stuck one ends the link
                try:
                    self.send(link, out)
                    link.sock.settimeout(1.0)
                except OSError:
                    self.drop(link)
            return
        # The probe again until the client, linked to this manager by now, answers it.
        if self.client is not None and 1 not in self.answers and self.links and self.probes < 20:
            self.probes += 1
            self.send(self.links[0], [request(VALIDATE, 1, struct.pack(">II", 7, 9) + text(b"quellan.xml"))])

    def on_message(self, m):
        if len(m) < HEADER:
            return []
        h = parse_header(m)
        self.host.full = False
        handled = self.host.on_message(m)
        self.host.full = True
        if handled is not None or h["id"] >> 16 == 0x020D:
            return handled or []
        payload = m[HEADER:HEADER + h["plen"]]
        if h["id"] == LIST_REQUEST:
            return [self.service_list()]
        if h["id"] == SERVICE_LIST:
            try:
                _, services = decode_list(payload)
            except (ValueError, struct.error) as e:
                print("bad service list: %s" % e, flush=True)
                return []
            self.client = next((key for key, sid, _, _, _ in services if sid == CLIENT), None)
            return []
        if h["id"] in (VALIDATE + ANSWER_OFFSET, RELOAD + ANSWER_OFFSET, DB_MAINTENANCE + ANSWER_OFFSET):
            try:
                msg_id, number, (result,), _ = decode_cm(payload)
            except (ValueError, struct.error, KeyError) as e:
                print("bad answer: %s" % e, flush=True)
                return []
            self.answer_counts[number] = self.answer_counts.get(number, 0) + 1
            if result not in self.answer_results.setdefault(number, []):
                self.answer_results[number].append(result)
            if number in self.answers:
                return []  # a probe answered twice
            self.answers[number] = (msg_id, number, result)
            print("answer 0x%08x %u 0x%08x" % (msg_id, number, result), flush=True)
            if self.args.driven:
                return []
            if number == 1:
                return batch_two()
            if all(n in self.answers for n in range(1, 8)):
                print("done", flush=True)
                raise SystemExit(0)
        return []


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_socket_option(p, "udp", socket.SOCK_DGRAM, "this host's discovery")
    p.add_argument("--peer-port", type=int, required=True, help="the library host's discovery port")
    p.add_argument("--name", default="cm_manager", help="application name")
    p.add_argument("--host-name", default="cmmgrsim")
    p.add_argument("--lifetime", type=float, default=30.0)
    p.add_argument("--driven", action="store_true", help="send only the requests given on the control port")
    p.add_argument("--address", help="discovery on this address of 127.0.0.0/8 and --udp-port instead")
    group = p.add_mutually_exclusive_group()
    group.add_argument("--control-port", type=int, default=0, help="the control lines' port on 127.0.0.1")
    group.add_argument("--control-fd", type=inherited_socket(socket.SOCK_STREAM),
                       help="the control lines': an inherited socket bound to 127.0.0.1")
    args = p.parse_args(argv)
    args.unique_id, args.host_context, args.register = 0, 0x0C0C0002, "ok"
    Manager(args).run()


if __name__ == "__main__":
    main(sys.argv[1:])
