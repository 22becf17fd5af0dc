#!/usr/bin/env python3
# Writes the golden compact blobs of the media description tests, encoded
# with struct from the byte layout of docs/medialib-byte-order.md, independently
# of the C++ code.
#
#   empty.bin          an all-zero record (124 bytes)
#   pcmu.bin           one PCMU description, one IPv4 connection (188 bytes)
#   pcmu_te.bin        PCMU and telephone-event, one connection (252 bytes)
#   two_groups.bin     two groups, textual and non-numeric connections, an
#                      MPEG-4 capability with configuration, a not-parsed one
#                      and a G.726-40 one (stored with its media type)
#   two_groups_be.bin  the same in the opposite (big-endian) byte order
#   two_groups_record_be.bin  the same record in its expanded form (10416
#                      bytes), big-endian
#   swap_be.bin        per media type, a one-capability compact set in
#                      big-endian order: u32 (big-endian) length, then the set
#
# Usage: gen_media_golden.py [--check]   (--check compares with the files
# beside this script instead of writing them; exit 1 on a difference).
# Standard library only.
import os
import socket
import struct
import sys
import types

HERE = os.path.dirname(os.path.abspath(__file__))
MAGIC = bytes([0xF0, 0xF1, 0xF2, 0x3F])

# Significant size of each media type (header included); unknown codes 24.
SIZES = {0: 32, 3: 28, 4: 32, 5: 32, 6: 24, 7: 32, 8: 32, 9: 32, 10: 32, 11: 24, 12: 40, 13: 32, 14: 32,
         15: 28, 16: 24, 17: 24, 18: 32, 25: 32, 26: 32, 28: 32, 31: 32, 32: 32, 33: 32, 34: 56, 70: 28,
         71: 28, 96: 24, 97: 24, 98: 64, 99: 24, 100: 64, 101: 64, 102: 24, 103: 40, 104: 40, 105: 28,
         106: 32, 107: 32, 108: 32, 109: 32, 110: 40, 111: 40, 112: 24, 113: 24, 115: 32, 116: 24, 117: 24,
         118: 24, 119: 40, 120: 36, 121: 56, 122: 32, 123: 24, 124: 32, 125: 40, 126: 48, 512: 28, 513: 32,
         514: 40, 768: 29, 769: 29, 770: 29, 0xFFFFFFFF: 28}

# Multi-byte parameter fields {type: [(offset, width)]}; all other bytes are bytes.
H263, EVENTS = [(32, 2), (40, 4), (44, 2), (46, 2), (48, 2), (50, 2)], [(28, 2)] + [(32 + 4 * i, 4) for i in range(8)]
FIELDS = {5: [(28, 4)], 12: [(32, 4)], 34: H263, 121: H263, 98: [(28 + 4 * i, 4) for i in range(9)], 100: EVENTS, 101: EVENTS,
          103: [(28, 4)], 104: [(28, 4)], 115: [(28, 4)], 119: [(28, 2)], 120: [(28, 4), (32, 4)],
          122: [(28, 2)], 124: [(28, 4)], 125: [(32, 4)], 126: [(28, 4), (36, 2), (38, 2)],
          513: [(28, 4)], 514: [(28, 4), (32, 2)]}


def round_up(n, m):
    return (n + m - 1) // m * m


class Cap:
    # direction, transport (type, two words as (u32, u16, u16) for RTP), media
    # type, params: {offset: value} for FIELDS entries, raw: {offset: bytes}.

    def __init__(self, mtype, direction=3, transport=1, pt=0, frames=0, ptime=0, words=(0, 0), params=None, raw=None):
        self.mtype, self.direction, self.transport = mtype, direction, transport
        self.pt, self.frames, self.ptime, self.words = pt, frames, ptime, words
        self.params, self.raw = params or {}, raw or {}

    def size(self):
        base = SIZES.get(self.mtype, 24)
        if self.mtype == 119:
            return base + self.raw.get(33, b"\0")[0]
        if 768 <= self.mtype <= 770:
            return base + len(self.raw[28].split(b"\0")[0])
        return base

    def encode(self, e):
        b = bytearray(296)
        struct.pack_into(e + "I", b, 0, self.direction)
        struct.pack_into(e + "I", b, 8, self.transport)
        if self.transport == 1:
            struct.pack_into(e + "IHH", b, 12, self.pt, self.frames, self.ptime)
        elif self.transport == 2:
            struct.pack_into(e + "H", b, 12, self.frames)
        elif self.transport == 4:
            struct.pack_into(e + "II", b, 12, *self.words)
        struct.pack_into(e + "I", b, 24, self.mtype)
        for off, data in self.raw.items():
            b[off:off + len(data)] = data
        widths = dict(FIELDS.get(self.mtype, []))
        for off, value in self.params.items():
            struct.pack_into(e + {2: "H", 4: "I"}[widths[off]], b, off, value)
        return bytes(b)


def Record(caps=(), groups=(), conns=(), spare=0, sid=0, sver=0):
    # groups: [[(choices, conn, rconn, nports, port, setup)]]; conns: [(text, naddr, ttl, type)]
    return types.SimpleNamespace(caps=list(caps), groups=list(groups), conns=list(conns), spare=spare, sid=sid, sver=sver)


def default_slot(rec, k, e):
    if rec.groups and len(rec.groups[0]) > k:
        desc = rec.groups[0][k]
        i = desc[0][0]
        if i < len(rec.caps):
            c = rec.caps[i]
            return struct.pack(e + "IBBH", c.mtype, c.direction & 0xFF, c.pt & 0xFF, desc[4])
    return struct.pack(e + "I", 0xFFFFFFFF) + bytes(4)


def encode_set(rec, e):
    body = bytearray([len(rec.caps), len(rec.groups), 0, 0])
    body += bytes(len(g) for g in rec.groups) + bytes(round_up(len(rec.groups), 4) - len(rec.groups))
    choices = bytearray()
    for g in rec.groups:
        for choice_list, conn, rconn, nports, port, setup in g:
            body += struct.pack(e + "BBBBHH", len(choice_list), conn, rconn, nports, port, setup)
            choices += bytes(choice_list)
    body += choices + bytes(round_up(len(choices), 4) - len(choices))
    body += bytes(round_up(len(body), 8) - len(body))
    for c in rec.caps:
        z = round_up(max(c.size(), 28), 8)
        body += struct.pack(e + "I", z) + c.encode(e)[:z]
    head = MAGIC + struct.pack(e + "I", 28 + len(body)) + default_slot(rec, 0, e) + default_slot(rec, 1, e)
    head += bytes([len(rec.caps), 0, 0, 0])
    return head + body


def dotted(text):
    parts = text.split(".")
    if len(parts) != 4 or not all(p.isdigit() and len(p) <= 3 and int(p) < 256 for p in parts):
        return None
    return socket.inet_aton(text)


def encode_blob(rec, e):
    words = []
    for i in range(2):
        addr = dotted(rec.conns[i][0]) if i < len(rec.conns) else None
        words.append(addr if addr is not None else bytes(4))
    cset = encode_set(rec, e)
    out = bytearray(MAGIC + bytes(4) + words[0] + words[1] + bytes(40) + cset)
    out += bytes([rec.spare, len(rec.conns)]) + bytes(6) + struct.pack(e + "QQ", rec.sid, rec.sver) + bytes(8)
    for text, naddr, ttl, atype in rec.conns:
        addr = dotted(text)
        if atype in (1, 2) or (text and addr is None):
            t = text.encode()
            if len(t) > 8:
                raise ValueError("a text entry holds 8 characters; the packer refuses %r" % text)
            out += bytes(4) + bytes([naddr & 0xFF, ttl, atype if atype in (1, 2) else 1]) + t + bytes(9 - len(t))
        else:
            out += (addr or bytes(4)) + bytes([naddr & 0xFF, ttl, atype, 0])
    out += bytes(84 + round_up(len(out) - 84, 8) - len(out))
    struct.pack_into(e + "I", out, 4, len(out))
    return bytes(out)


def encode_record(rec, e):
    # The expanded record: groups at 8 (360 bytes each, their 44-byte
    # descriptions from +8), capabilities at 728 (296 bytes each), then the
    # connection block at 10200 with its 24-byte entries from 10224.
    b = bytearray(10416)
    b[0:2] = bytes([len(rec.caps), len(rec.groups)])
    for g, descs in enumerate(rec.groups):
        b[8 + 360 * g] = len(descs)
        for d, (choice_list, conn, rconn, nports, port, setup) in enumerate(descs):
            at = 8 + 360 * g + 8 + 44 * d
            b[at] = len(choice_list)
            b[at + 3:at + 3 + len(choice_list)] = bytes(choice_list)
            struct.pack_into(e + "BBBHH", b, at + 35, conn, rconn, nports, port, setup)
    for i, c in enumerate(rec.caps):
        b[728 + 296 * i:728 + 296 * (i + 1)] = c.encode(e)
    struct.pack_into(e + "BB6xQQ", b, 10200, len(rec.conns), rec.spare, rec.sid, rec.sver)
    for i, (text, naddr, ttl, atype) in enumerate(rec.conns):
        struct.pack_into(e + "16sIBB", b, 10224 + 24 * i, text.encode(), naddr, ttl, atype)
    return bytes(b)


PCMU = Cap(0, pt=0, frames=20, ptime=20, raw={29: b"\x01"})
TEL_EVENT = Cap(101, pt=101, frames=1, ptime=20, params={28: 8000, 32: 0x0000FFFF, 36: 1})
CONN = ("192.0.2.10", 1, 0, 0)


def golden_records():
    two = Record(
        caps=[Cap(119, direction=2, pt=98, params={28: 0x0500}, raw={30: b"\x03", 33: b"\x05", 40: b"\x00\x00\x01\xb0\x03"}),
              Cap(770, transport=4, words=(0x01020304, 0x05060708), raw={28: b"a=foo:bar\r\na=x\0"}),
              Cap(99, direction=1, pt=112, frames=10, ptime=30)],
        groups=[[([0], 0, 0, 1, 5004, 2)], [([1, 2], 1, 2, 2, 6000, 3)]],
        conns=[("mx.a.org", 3, 0, 1), ("host.lan", 1, 0, 0), ("198.51.100.7", 1, 16, 0)],
        spare=7, sid=1, sver=0xFFFFFFFF00000001)
    return {
        "empty.bin": Record(),
        "pcmu.bin": Record(caps=[PCMU], groups=[[([0], 0, 0, 1, 49170, 0)]], conns=[CONN],
                           sid=0x1122334455667788, sver=2),
        "pcmu_te.bin": Record(caps=[PCMU, TEL_EVENT], groups=[[([0, 1], 0, 0, 1, 49170, 0)]], conns=[CONN],
                              sid=0x1122334455667788, sver=2),
        "two_groups.bin": two,
    }


def swap_cap(mtype):
    # One capability per media type whose significant bytes hold the pattern
    # (offset + type); its multi-byte fields are that pattern read little-endian.
    size = SIZES.get(mtype, 24)
    pattern = {o: (o + mtype) & 0xFF for o in range(28, size)}
    if mtype == 119:
        pattern[33] = 8
        pattern.update({o: o for o in range(40, 48)})
    params = {}
    for off, width in FIELDS.get(mtype, []):
        params[off] = int.from_bytes(bytes(pattern.pop(off + k) for k in range(width)), "little")
    raw = {o: bytes([v]) for o, v in pattern.items()}
    if 768 <= mtype <= 770:
        raw = {28: b"a=fmtp:96 x=%d\0" % mtype}
    return Cap(mtype, direction=3, pt=mtype & 0x7F, frames=20, ptime=0x0102, params=params, raw=raw)


SWAP_TYPES = [t for t in sorted(SIZES) if t not in (70, 71, 512, 0xFFFFFFFF)] + [2]


def outputs():
    files = {name: encode_blob(rec, "<") for name, rec in golden_records().items()}
    files["two_groups_be.bin"] = encode_blob(golden_records()["two_groups.bin"], ">")
    files["two_groups_record_be.bin"] = encode_record(golden_records()["two_groups.bin"], ">")
    swap = bytearray()
    for t in SWAP_TYPES:
        s = encode_set(Record(caps=[swap_cap(t)], groups=[[([0], 0, 0, 1, 0x1234, 0x0002)]]), ">")
        swap += struct.pack(">I", len(s)) + s
    files["swap_be.bin"] = bytes(swap)
    return files


def main():
    bad = 0
    for name, data in outputs().items():
        path = os.path.join(HERE, name)
        if "--check" not in sys.argv[1:]:
            with open(path, "wb") as f:
                f.write(data)
        elif open(path, "rb").read() != data:
            print("gen_media_golden: %s differs from the encoder's output" % name)
            bad = 1
    return bad


if __name__ == "__main__":
    sys.exit(main())
