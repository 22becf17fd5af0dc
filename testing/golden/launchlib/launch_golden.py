#!/usr/bin/env python3
"""Independent decoder of the launch library's records and of the management
messages of group 0x0825, written from docs/launch-lib.md and
docs/msg-element-sets.md with the struct module only (x86-64: records and
payloads little-endian, element-set bookkeeping big-endian).

  launch_golden.py check DIR NAME...   decodes each file DIR/NAME that a C++
                                       test wrote and checks it against its case
"""
import os
import struct
import sys

MARKER32 = bytes.fromhex("EDDA21433412ADDE")
PARAMS_TEXT = b'-a "b c"'


def zeros(d, a, b):
    return d[a:b] == b"\0" * (b - a)


def words(d, off, n):
    return struct.unpack_from("<%dI" % n, d, off)


def heartbeat(d, number, text):
    if words(d, 0, 4) != (0, 0, 1, number) or not zeros(d, 16, 52):
        return False
    if not text:
        return len(d) == 64 and d[52:56] == b"\0" * 4 and d[56:64] == MARKER32
    room = (8 + len(text) + 1 + 7) // 8 * 8
    setword, = struct.unpack_from(">I", d, 52)
    size, nxt = struct.unpack_from(">II", d, 56)
    return (len(d) == 56 + room + 8 and setword == (0x80000000 | 1 << 16 | 1) and size == len(text) + 1
            and nxt == 0 and d[64:64 + size] == text + b"\0" and zeros(d, 64 + size, 56 + room)
            and d[56 + room:] == MARKER32)


def record48(d, word, watch):
    return len(d) == 48 and words(d, 0, 4) == (0, 0, 1, word) and d[16] == watch and zeros(d, 17, 48)


def params(d):
    name = d[8:40].split(b"\0")[0]
    return (len(d) == 128 and name == b"golden" and words(d, 56, 1) == (0x11111111,)
            and words(d, 96, 1) == (0x22222222,) and d[100] == 0x33 and d[101] == 0x44
            and words(d, 104, 3) == (0x55555555, 0x66666666, 0x77777777) and zeros(d, 116, 128))


def info(d):
    return len(d) == 24 and words(d, 0, 4) == (1, 2, 3, 4) and d[16] == 5 and words(d, 20, 1) == (6,)


def create(d):
    return (len(d) == 1072 and words(d, 32, 1) == (0x12345678,) and words(d, 1064, 1) == (0x9ABCDEF0,)
            and d[1068] == 1)


CASES = {
    "hb_plain.bin": lambda d: heartbeat(d, 1, b""),
    "hb_params.bin": lambda d: heartbeat(d, 2, PARAMS_TEXT),
    "op_shutdown.bin": lambda d: record48(d, 6, 0),
    "notif_ready.bin": lambda d: record48(d, 7, 1),
    "notif_shutdown.bin": lambda d: record48(d, 5, 0),
    "params.bin": params,
    "info.bin": info,
    "create.bin": create,
}


def main():
    if len(sys.argv) < 4 or sys.argv[1] != "check" or any(n not in CASES for n in sys.argv[3:]):
        sys.exit(__doc__)
    for name in sys.argv[3:]:
        with open(os.path.join(sys.argv[2], name), "rb") as f:
            got = f.read()
        try:
            ok = CASES[name](got)
        except struct.error as e:
            ok = False
            print("%s: %s" % (name, e))
        if not ok:
            sys.exit("%s: decoded bytes differ from the case: %s" % (name, got.hex()))


if __name__ == "__main__":
    main()
