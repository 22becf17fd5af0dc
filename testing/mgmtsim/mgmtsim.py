#!/usr/bin/env python3
"""Stand-in process-management master: a host peer on 127.0.0.1 that manages
one framework process of this host through messages of group 0x0825.

Written from docs/launch-lib.md (the records of group 0x0825) and the
process-management client's wire behaviour, not from the C++ code; standard
library only. The host layer is the stand-in call/media control server's
(testing/cmcsim), the service lists the golden encoder's (testing/golden/svclib).

Once linked it asks for the list of services and announces the management
master service (0x08250100, detecting the client service 0x08250200) under
this host's name (the client manages only a master of its own host); it asks
for the list again each second until the client service is in it. When
the client service is listed it sends a heartbeat operation with each
discovery round, once a second (numbers 1, 2, ...), and prints "ready N WATCH" for each
ready notification; after --beats ready notifications it sends the shutdown
operation (--state: 5 graceful, 6 immediate), prints "shutdown STATE" when
the shutdown notification comes and exits 0; it exits 1 after --lifetime
seconds. Payloads are the raw records in little-endian order (no envelope).
"""

import argparse
import os
import socket
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
for sub in ("../cmcsim", "../boardsim", "../golden/svclib"):
    sys.path.insert(0, os.path.join(HERE, sub))
from boardsim_host import HEADER, TYPE_EVENT, build, parse_header  # noqa: E402
from cmcsim import Server  # noqa: E402
from services_golden import decode_list, encode_list  # noqa: E402

SERVICE_LIST, LIST_REQUEST = 0x0A5E0001, 0x0A5E0002
MASTER, CLIENT = 0x08250100, 0x08250200
HEARTBEAT, SHUTDOWN, READY, SHUTDOWN_DONE = 0x08250001, 0x08250002, 0x08250011, 0x08250013
TRAILER = bytes.fromhex("EDDA21433412ADDE")


def heartbeat(number):
    """64 bytes: version 1, the number, an empty element set (word 0) and the trailer."""
    return build(HEARTBEAT, TYPE_EVENT, struct.pack("<8xII36xI", 1, number, 0) + TRAILER)


def list_request():
    return build(LIST_REQUEST, TYPE_EVENT, bytes(8) + struct.pack(">II", 1, 0))


def shutdown(state):
    return build(SHUTDOWN, TYPE_EVENT, struct.pack("<8xII32x", 1, state))


class Master(Server):
    def __init__(self, args):
        self.client = False
        self.sent = 0
        self.ready = 0
        super().__init__(args)
        # Discovery on --address: the managed process reaches it on its own
        # gateway port at an address of its extra list; links stay on 127.0.0.1
        # (the address the advertisement gives).
        self.udp.close()
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.udp.bind((args.address, args.udp_port))

    def service_list(self):
        return build(SERVICE_LIST, TYPE_EVENT, encode_list(self.unique_id, [(1, MASTER, CLIENT, 0, b"")]))

    def add_link(self, sock):
        link = super().add_link(sock)
        self.send(link, [self.service_list(), list_request()])
        return link

    def discovery_round(self):
        super().discovery_round()
        if not self.client and self.links:
            self.send(self.links[0], [list_request()])  # the client service may start after the link
        elif self.client and self.links and self.ready < self.args.beats:
            self.sent += 1
            self.send(self.links[0], [heartbeat(self.sent)])

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
            self.client = self.client or any(sid == CLIENT for _, sid, _, _, _ in services)
            return []
        if h["id"] == READY and len(payload) >= 17:
            (number,) = struct.unpack_from("<I", payload, 12)
            self.ready += 1
            print("ready %u %u" % (number, payload[16]), flush=True)
            return [shutdown(self.args.state)] if self.ready == self.args.beats else []
        if h["id"] == SHUTDOWN_DONE and len(payload) >= 16:
            print("shutdown %u" % struct.unpack_from("<I", payload, 12), flush=True)
            raise SystemExit(0)
        return []


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--address", default="127.0.0.1", help="this host's address (127.0.0.0/8)")
    p.add_argument("--udp-port", type=int, required=True, help="this host's discovery port")
    p.add_argument("--peer-port", type=int, required=True, help="the managed host's discovery port")
    p.add_argument("--name", default="alm_master", help="application name")
    p.add_argument("--host-name", default=socket.gethostname(), help="this host's name (the managed process's)")
    p.add_argument("--beats", type=int, default=3, help="ready notifications before the shutdown")
    p.add_argument("--state", type=int, default=5, choices=(5, 6))
    p.add_argument("--lifetime", type=float, default=30.0)
    args = p.parse_args(argv)
    args.control_port, args.unique_id, args.host_context, args.register = 0, 0, 0x0C0C0003, "ok"
    Master(args).run()
    print("lifetime over", flush=True)
    raise SystemExit(1)


if __name__ == "__main__":
    main(sys.argv[1:])
