#!/usr/bin/env python3
"""Independent encoder of the framework's big-endian serialisation, written
from docs/serialize.md with the struct module only.

  serialize_golden.py DIR   writes DIR/serialize_golden.bin (the reference
                            stream of the test) and DIR/serialize_golden.txt
                            (one line per item: offset, kind, member id, bytes)
"""
import os
import struct
import sys

INT = {"u8": ">B", "u16": ">H", "u32": ">I", "u64": ">Q"}
LENGTH = {"str": ">I", "buf32": ">I", "buf64": ">Q"}  # length-prefixed kinds

# The reference stream: (kind, member id or None, value), in order.
ITEMS = [
    ("u8", None, 0xA5), ("u16", None, 0x1234), ("u32", None, 0xDEADBEEF), ("u64", None, 0x0102030405060708),
    ("str", None, b"trace"), ("str", None, b""), ("buf32", None, bytes([0x00, 0x01, 0x02, 0xFF])),
    ("u32", 0x0B000001, 0x0B080101), ("raw", 0x7CAF7002, b"abc"), ("buf64", None, bytes([0x10, 0x20])),
    ("str", 0x42, b"id"), ("u8", 0x43, 7), ("u16", 0x44, 0xBEEF), ("u64", 0x45, 1),
    ("buf32", 0x46, bytes([9])), ("buf64", 0x47, bytes([1, 2])),
]


def encode_item(kind, ident, value):
    if kind in INT:
        body = struct.pack(INT[kind], value)
    elif kind == "raw":
        body = value
    else:
        body = struct.pack(LENGTH[kind], len(value)) + value
    return body if ident is None else struct.pack(">II", ident, len(body)) + body


def main():
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    stream, lines = b"", []
    for kind, ident, value in ITEMS:
        item = encode_item(kind, ident, value)
        member = "" if ident is None else " member 0x%08x" % ident
        lines.append("%3d %s%s: %s" % (len(stream), kind, member, item.hex(" ")))
        stream += item
    lines.append("%3d end" % len(stream))
    with open(os.path.join(sys.argv[1], "serialize_golden.bin"), "wb") as f:
        f.write(stream)
    with open(os.path.join(sys.argv[1], "serialize_golden.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
