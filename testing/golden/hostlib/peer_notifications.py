#!/usr/bin/env python3
"""Golden payloads of the peer notifications, built with struct from the
layouts alone (not from the library's code). Writes peer_notifications.hex
into hostlib/tests/data (or into the folder given as the argument):
one line per notification, "name: hex of the payload from byte 8 on"
(bytes 0..7 are the library's queue link)."""
import os
import struct
import sys

DATA = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))),
                    "hostlib", "tests", "data")

HANDLE = 0xCA000042
GW0, GW1 = b"10.0.0.5", b"10.1.0.5"
# The simulated board (testing/boardsim) as the presence test starts it (build 700).
SIM_HANDLE = 0xCA345678
SIM_GW0, SIM_GW1 = b"127.0.0.2", b"127.0.1.3"


def text(s, n):
    return s.ljust(n, b"\0")[:n]


def adapter_info(handle=HANDLE, words=(0x11111111, 0x22222222, 0x33333333, 0x44444444), gw0=GW0, gw1=GW1,
                 name=b"board-a", serial=b"SN-0042", build=0x00600000):
    # u32 1, u32 handle, four discovery words, gw0[64], gw1[64], name[128], serial[128], build
    return (struct.pack("<II4I", 1, handle, *words) + text(gw0, 64) + text(gw1, 64) + text(name, 128)
            + text(serial, 128) + struct.pack("<I", build))


def path(gw0_up, gw1_up, handle=HANDLE, gw0=GW0, gw1=GW1):
    return struct.pack("<III", handle, gw0_up, gw1_up) + text(gw0, 64) + text(gw1, 64)


def sim_info(build=700):
    return adapter_info(SIM_HANDLE, (0, 0, 0, 0), SIM_GW0, SIM_GW1, b"simboard", b"12345678", build)


def sim_path(gw0_up, gw1_up):
    return path(gw0_up, gw1_up, SIM_HANDLE, SIM_GW0, SIM_GW1)


ROWS = [
    ("added", adapter_info() + b"\0" * 4),                       # payload 424
    ("gw0_up", path(1, 0) + b"\0" * 4),                          # payload 152
    ("gw1_up", path(1, 1) + b"\0" * 4),
    ("gw1_down_rx_error", path(1, 0) + struct.pack("<I", 4) + b"\0" * 8),  # payload 160
    ("gw0_down_closed", path(0, 0) + struct.pack("<I", 3) + b"\0" * 8),
    ("removed", struct.pack("<I", HANDLE) + adapter_info()),     # payload 424
    ("sim_added", sim_info() + b"\0" * 4),
    ("sim_added_recent", sim_info(0x02070B04) + b"\0" * 4),
    ("sim_up_gw0", sim_path(1, 0) + b"\0" * 4),
    ("sim_up_gw1", sim_path(0, 1) + b"\0" * 4),
    ("sim_up_both", sim_path(1, 1) + b"\0" * 4),
    ("sim_gw1_down_closed", sim_path(1, 0) + struct.pack("<I", 3) + b"\0" * 8),
    ("sim_gw0_down_closed", sim_path(0, 0) + struct.pack("<I", 3) + b"\0" * 8),
    ("sim_removed", struct.pack("<I", SIM_HANDLE) + sim_info()),
    # gw0 timed out (9) and took gw1 along (10, redundancy not established): both already down in each
    ("sim_gw0_down_tcp_timeout", sim_path(0, 0) + struct.pack("<I", 9) + b"\0" * 8),
    ("sim_gw1_down_not_established", sim_path(0, 0) + struct.pack("<I", 10) + b"\0" * 8),
    ("sim_removed_recent", struct.pack("<I", SIM_HANDLE) + sim_info(0x02070B04)),
]

if __name__ == "__main__":
    out = os.path.join(sys.argv[1] if len(sys.argv) > 1 else DATA, "peer_notifications.hex")
    with open(out, "w") as f:
        for name, body in ROWS:
            f.write("%s: %s\n" % (name, body.hex()))
