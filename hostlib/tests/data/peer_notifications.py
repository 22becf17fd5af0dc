#!/usr/bin/env python3
"""Golden payloads of the peer notifications, built with struct from the
layouts alone (not from the library's code). Writes peer_notifications.hex:
one line per notification, "name: hex of the payload from byte 8 on"
(bytes 0..7 are the library's queue link)."""
import os
import struct

HANDLE = 0xCA000042
GW0, GW1 = b"10.0.0.5", b"10.1.0.5"


def text(s, n):
    return s.ljust(n, b"\0")[:n]


def adapter_info():
    # u32 1, u32 handle, four discovery words, gw0[64], gw1[64], name[128], serial[128], build
    return (struct.pack("<II4I", 1, HANDLE, 0x11111111, 0x22222222, 0x33333333, 0x44444444)
            + text(GW0, 64) + text(GW1, 64) + text(b"board-a", 128) + text(b"SN-0042", 128)
            + struct.pack("<I", 0x00600000))


def path(gw0_up, gw1_up):
    return struct.pack("<III", HANDLE, gw0_up, gw1_up) + text(GW0, 64) + text(GW1, 64)


ROWS = [
    ("added", adapter_info() + b"\0" * 4),                       # payload 424
    ("gw0_up", path(1, 0) + b"\0" * 4),                          # payload 152
    ("gw1_up", path(1, 1) + b"\0" * 4),
    ("gw1_down_rx_error", path(1, 0) + struct.pack("<I", 4) + b"\0" * 8),  # payload 160
    ("gw0_down_closed", path(0, 0) + struct.pack("<I", 3) + b"\0" * 8),
    ("removed", struct.pack("<I", HANDLE) + adapter_info()),     # payload 424
]

if __name__ == "__main__":
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "peer_notifications.hex")
    with open(out, "w") as f:
        for name, body in ROWS:
            f.write("%s: %s\n" % (name, body.hex()))
