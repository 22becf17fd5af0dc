#!/usr/bin/env python3
"""The golden images of the gateway packet layouts, from an encoder of its
own (Python struct), independent of the C++ one:

  check_wire.py DIR    writes DIR/<kind>.bin

tests/data holds what it writes; test_wire.cpp checks that it still writes
exactly that, and that the C++ encoders give the same bytes. Field values
here and in test_wire.cpp are the same on purpose.
"""
import struct
import sys


def enc_host_info():
    return struct.pack(">Q4sI128s128sQQ64s64sIB3s", 0x7F00000100000ABC, b"\0" * 4, 2, b"testhost", b"quellan",
                       0x1111222233334444, 0x5555666677778888, b"10.1.2.3", b"10.1.3.3", 0x02070B04, 2, b"\0" * 3)


def enc_adapter_info():
    return struct.pack(">3I128s128sI64s64s4s4sIII128s", 1, 2, 3, b"board-1", b"1A2B0C9D", 0x280, b"127.0.0.1", b"",
                       b"\0\0\0\1", b"\0\0\0\1", 0x02070B04, 0x424, 0x428, b"\0" * 128)


def name(first, n):
    """n letters cycling through the alphabet from first: a copy cut short, run long or shifted shows."""
    return bytes(ord("a") + (ord(first) - ord("a") + i) % 26 for i in range(n))


# Text fields hold at most their size less one character and a NUL (struct's "Ns" pads with NUL and
# cuts at N). NAMES: what the encoders write for names of any length from their field's size less one
# up; NAMES_FULL: fields filled to their last byte, as a peer may send them.
def names_specific(n):
    return struct.pack(">II128s128s", 0x484C4453, 1, name("h", n), name("a", n))


def names_host_adv(n, m):
    return struct.pack(">IBBBBII", 0x484C5041, 2, 3, 0, 1, 40000, 0) + struct.pack(
        ">Q4sI128s128sQQ64s64sIB3s", 0x7F00000100000ABC, b"\0" * 4, 2, name("h", n), name("a", n),
        0x1111222233334444, 0x5555666677778888, name("p", m), name("q", m), 0x02070B04, 2, b"\0" * 3)


def names_adapter_adv(n, m):
    return struct.pack(">I3sBI", 0x47575041, b"\0" * 3, 1, 5000) + struct.pack(
        ">3I128s128sI64s64s4s4sIII128s", 1, 2, 3, name("n", n), name("s", n), 0x280, name("p", m), name("q", m),
        b"\0\0\0\1", b"\0\0\0\1", 0x02070B04, 0x424, 0x428, b"\0" * 128)


NAMES = {
    "names_specific": names_specific(127),
    "names_host_adv": names_host_adv(127, 63),
    "names_adapter_adv": names_adapter_adv(127, 63),
    "names_specific_full": names_specific(128),
    "names_host_adv_full": names_host_adv(128, 64),
    "names_adapter_adv_full": names_adapter_adv(128, 64),
}

GOLDEN = {
    "discovery": struct.pack(">I", 0x47574449),
    "specific": struct.pack(">II128s128s", 0x484C4453, 1, b"hostA", b"appB"),
    "udp_poll": struct.pack(">I4sQIIII", 0x484C5049, b"\0" * 4, 0x0102030405060708, 4500, 10000, 2000, 1),
    "host_adv": struct.pack(">IBBBBII", 0x484C5041, 2, 3, 0, 1, 40000, 0) + enc_host_info(),
    "adapter_adv": struct.pack(">I3sBI", 0x47575041, b"\0" * 3, 1, 5000) + enc_adapter_info(),
    "batch_header": struct.pack(">16I", 3, 100, 200, 0x400000, *([0] * 12)),
    "host_poll": b"\0" * 64,
    "host_poll_reply": b"\xff" * 64,
    "adapter_poll": b"\0" * 56 + struct.pack(">I", 32) + bytes([6, 0, 0x0D, 2]) + struct.pack(">IQIIII", 0,
                    0x0102030405060708, 4500, 10000, 2000, 1),
}

def main(argv):
    for kind, b in list(GOLDEN.items()) + list(NAMES.items()):
        with open("%s/%s.bin" % (argv[0], kind), "wb") as f:
            f.write(b)


if __name__ == "__main__":
    main(sys.argv[1:])
