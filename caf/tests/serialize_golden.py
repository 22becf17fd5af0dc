#!/usr/bin/env python3
"""Independent encoder/decoder of the framework's big-endian serialisation,
written from docs/serialize.md with the struct module only.

  serialize_golden.py encode OUT   writes the reference stream of the test
  serialize_golden.py decode IN    prints one line per item of that stream
"""
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


def encode():
    out = b""
    for kind, ident, value in ITEMS:
        if kind in INT:
            body = struct.pack(INT[kind], value)
        elif kind == "raw":
            body = value
        else:
            body = struct.pack(LENGTH[kind], len(value)) + value
        out += body if ident is None else struct.pack(">II", ident, len(body)) + body
    return out


def decode(data):
    pos = 0

    def take(fmt=None, size=None):
        nonlocal pos
        n = struct.calcsize(fmt) if fmt else size
        if pos + n > len(data):
            raise SystemExit("short read at %d" % pos)
        chunk = data[pos:pos + n]
        pos += n
        return struct.unpack(fmt, chunk)[0] if fmt else chunk

    lines = []
    for kind, ident, _ in ITEMS:  # the stream carries no types: the reader knows the order
        head = "member 0x%08x %d " % (take(">I"), take(">I")) if ident is not None else ""
        if kind in INT:
            width = struct.calcsize(INT[kind]) * 2
            text = "%s 0x%0*x" % (kind, width, take(INT[kind]))
        elif kind == "raw":
            text = "raw " + take(size=int(head.split()[2])).hex()
        else:
            n = take(LENGTH[kind])
            body = take(size=n)
            text = "str %d '%s'" % (n, body.decode("ascii")) if kind == "str" else "%s %d %s" % (kind, n, body.hex())
        lines.append(head + text)
    lines.append("end %d of %d" % (pos, len(data)))
    return lines


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("encode", "decode"):
        raise SystemExit(__doc__)
    if sys.argv[1] == "encode":
        with open(sys.argv[2], "wb") as f:
            f.write(encode())
    else:
        with open(sys.argv[2], "rb") as f:
            print("\n".join(decode(f.read())))


if __name__ == "__main__":
    main()
