#!/usr/bin/env python3
"""Independent encoder/decoder of the framework's big-endian serialisation,
written from docs/serialize.md with the struct module only.

  serialize_golden.py encode OUT   writes the reference stream of the test
  serialize_golden.py decode IN    prints one line per item of that stream
"""
import struct
import sys


def member(ident, payload):
    return struct.pack(">II", ident, len(payload)) + payload


def buf32(data):
    return struct.pack(">I", len(data)) + data


def buf64(data):
    return struct.pack(">Q", len(data)) + data


def text(s):
    return struct.pack(">I", len(s)) + s


def encode():
    out = b""
    out += struct.pack(">B", 0xA5)
    out += struct.pack(">H", 0x1234)
    out += struct.pack(">I", 0xDEADBEEF)
    out += struct.pack(">Q", 0x0102030405060708)
    out += text(b"trace")
    out += text(b"")
    out += buf32(bytes([0x00, 0x01, 0x02, 0xFF]))
    out += member(0x0B000001, struct.pack(">I", 0x0B080101))
    out += member(0x7CAF7002, b"abc")
    out += buf64(bytes([0x10, 0x20]))
    out += member(0x42, text(b"id"))
    out += member(0x43, struct.pack(">B", 7))
    out += member(0x44, struct.pack(">H", 0xBEEF))
    out += member(0x45, struct.pack(">Q", 1))
    out += member(0x46, buf32(bytes([9])))
    out += member(0x47, buf64(bytes([1, 2])))
    return out


class Cursor:
    def __init__(self, data):
        self.data = data
        self.pos = 0

    def take(self, fmt):
        size = struct.calcsize(fmt)
        if self.pos + size > len(self.data):
            raise SystemExit("short read at %d" % self.pos)
        value = struct.unpack_from(fmt, self.data, self.pos)
        self.pos += size
        return value[0] if len(value) == 1 else value

    def raw(self, n):
        if self.pos + n > len(self.data):
            raise SystemExit("short read at %d" % self.pos)
        b = self.data[self.pos:self.pos + n]
        self.pos += n
        return b


def decode(data):
    c = Cursor(data)
    lines = []
    lines.append("u8 0x%02x" % c.take(">B"))
    lines.append("u16 0x%04x" % c.take(">H"))
    lines.append("u32 0x%08x" % c.take(">I"))
    lines.append("u64 0x%016x" % c.take(">Q"))
    for _ in range(2):
        n = c.take(">I")
        lines.append("str %d '%s'" % (n, c.raw(n).decode("ascii")))
    n = c.take(">I")
    lines.append("buf32 %d %s" % (n, c.raw(n).hex()))
    ident, size = c.take(">II")
    lines.append("member 0x%08x %d u32 0x%08x" % (ident, size, c.take(">I")))
    ident, size = c.take(">II")
    lines.append("member 0x%08x %d raw %s" % (ident, size, c.raw(size).hex()))
    n = c.take(">Q")
    lines.append("buf64 %d %s" % (n, c.raw(n).hex()))
    ident, size = c.take(">II")
    n = c.take(">I")
    lines.append("member 0x%08x %d str %d '%s'" % (ident, size, n, c.raw(n).decode("ascii")))
    ident, size = c.take(">II")
    lines.append("member 0x%08x %d u8 0x%02x" % (ident, size, c.take(">B")))
    ident, size = c.take(">II")
    lines.append("member 0x%08x %d u16 0x%04x" % (ident, size, c.take(">H")))
    ident, size = c.take(">II")
    lines.append("member 0x%08x %d u64 0x%016x" % (ident, size, c.take(">Q")))
    ident, size = c.take(">II")
    n = c.take(">I")
    lines.append("member 0x%08x %d buf32 %d %s" % (ident, size, n, c.raw(n).hex()))
    ident, size = c.take(">II")
    n = c.take(">Q")
    lines.append("member 0x%08x %d buf64 %d %s" % (ident, size, n, c.raw(n).hex()))
    lines.append("end %d of %d" % (c.pos, len(data)))
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
