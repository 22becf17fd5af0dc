#!/usr/bin/env python3
"""Independent check of the gateway packet layouts with Python struct.

  check_wire.py DIR          decode DIR/<kind>.bin and compare every field
                             with the values the C++ test encoded
  check_wire.py --write DIR  write the golden images <kind>.bin from this
                             script's own encoder

Exits 1 on the first mismatch. Field values here and in test_wire.cpp are
the same on purpose.
"""
import struct
import sys


def text(b):
    return b.split(b"\0", 1)[0].decode()


def enc_host_info():
    return struct.pack(">Q4sI128s128sQQ64s64sIB3s", 0x7F00000100000ABC, b"\0" * 4, 2, b"testhost", b"quellan",
                       0x1111222233334444, 0x5555666677778888, b"10.1.2.3", b"10.1.3.3", 0x02070B04, 2, b"\0" * 3)


def enc_adapter_info():
    return struct.pack(">3I128s128sI64s64s4s4sIII128s", 1, 2, 3, b"board-1", b"1A2B0C9D", 0x280, b"127.0.0.1", b"",
                       b"\0\0\0\1", b"\0\0\0\1", 0x02070B04, 0x424, 0x428, b"\0" * 128)


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

SIZES = {"discovery": 4, "specific": 264, "udp_poll": 32, "host_adv": 440, "adapter_adv": 560,
         "batch_header": 64, "host_poll": 64, "host_poll_reply": 64, "adapter_poll": 92}


def check(kind, b):
    def expect(name, got, want):
        if got != want:
            raise SystemExit("%s: field %s is %r, expected %r" % (kind, name, got, want))

    expect("size", len(b), SIZES[kind])
    if kind == "discovery":
        expect("id", b[:4], b"GWDI")
    elif kind == "specific":
        ident, req, host, app = struct.unpack(">II128s128s", b)
        expect("id", ident, 0x484C4453); expect("request", req, 1)
        expect("host", text(host), "hostA"); expect("app", text(app), "appB")
    elif kind == "udp_poll":
        ident, _, ctx, nd, ad, pd, pref = struct.unpack(">I4sQIIII", b)
        expect("id", ident, 0x484C5049); expect("ctx", ctx, 0x0102030405060708)
        expect("netdown", nd, 4500); expect("adadown", ad, 10000); expect("poll", pd, 2000); expect("pref", pref, 1)
    elif kind == "host_adv":
        ident, kind_b, htype, zero, newinfo, port, z2 = struct.unpack_from(">IBBBBII", b)
        expect("id", ident, 0x484C5041); expect("kind", kind_b, 2); expect("hosttype", htype, 3)
        expect("byte6", zero, 0); expect("newinfo", newinfo, 1); expect("port", port, 40000); expect("word12", z2, 0)
        (uid, rsv, ver, host, app, c1, c2, ip0, ip1, build, two, _) = struct.unpack_from(
            ">Q4sI128s128sQQ64s64sIB3s", b, 16)
        expect("uid", uid, 0x7F00000100000ABC); expect("reserved", rsv, b"\0" * 4); expect("version", ver, 2)
        expect("host", text(host), "testhost"); expect("app", text(app), "quellan")
        expect("ctx1", c1, 0x1111222233334444); expect("ctx2", c2, 0x5555666677778888)
        expect("ip0", text(ip0), "10.1.2.3"); expect("ip1", text(ip1), "10.1.3.3")
        expect("build", build, 0x02070B04); expect("two", two, 2)
    elif kind == "adapter_adv":
        ident, _, newinfo, port = struct.unpack_from(">I3sBI", b)
        expect("id", ident, 0x47575041); expect("newinfo", newinfo, 1); expect("port", port, 5000)
        (w0, w1, w2, name, serial, w280, ip0, ip1, g0, g1, build, w424, w428, rest) = struct.unpack_from(
            ">3I128s128sI64s64s4s4sIII128s", b, 12)
        expect("words", (w0, w1, w2), (1, 2, 3)); expect("name", text(name), "board-1")
        expect("serial", text(serial), "1A2B0C9D"); expect("w280", w280, 0x280)
        expect("ip0", text(ip0), "127.0.0.1"); expect("ip1", text(ip1), "")
        expect("gw0flag", g0[3], 1); expect("gw1flag", g1[3], 1); expect("build", build, 0x02070B04)
        expect("w424", w424, 0x424); expect("w428", w428, 0x428)
    elif kind == "batch_header":
        words = struct.unpack(">16I", b)
        expect("count", words[0], 3); expect("sizes", words[1:4], (100, 200, 0x400000))
    elif kind == "host_poll":
        expect("bytes", b, b"\0" * 64)
    elif kind == "host_poll_reply":
        expect("bytes", b, b"\xff" * 64)
    elif kind == "adapter_poll":
        expect("zeros", b[:56], b"\0" * 56)
        length, = struct.unpack_from(">I", b, 56); expect("length", length, 32)
        expect("msgid", b[60:64], b"\x06\x00\x0d\x02")
        z, ctx, nd, ad, pd, pref = struct.unpack_from(">IQIIII", b, 64)
        expect("word64", z, 0); expect("ctx", ctx, 0x0102030405060708)
        expect("delays", (nd, ad, pd, pref), (4500, 10000, 2000, 1))
    expect("golden", b, GOLDEN[kind])


def main(argv):
    if argv[:1] == ["--write"]:
        for kind, b in GOLDEN.items():
            with open("%s/%s.bin" % (argv[1], kind), "wb") as f:
                f.write(b)
        return
    for kind in SIZES:
        with open("%s/%s.bin" % (argv[0], kind), "rb") as f:
            check(kind, f.read())
        print("ok %s" % kind)


if __name__ == "__main__":
    main(sys.argv[1:])
