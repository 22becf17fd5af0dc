#!/usr/bin/env python3
# Golden payloads of the play, record and event attributes, the generic headers of a protocol attribute, media
# profiles, protocol attributes (SIP single part and multipart, SS7, ISDN, CAS), the leg attributes, leg and
# mixer descriptions, and what the record copies rebuild,
# encoded from the record tables (docs/cmc-payloads.md conventions: host byte order, little-endian here) and the
# element-set layout of docs/msg-element-sets.md (32-bit layout, big-endian bookkeeping), independently of the C++.
# Each line: "name hex-of-the-used-payload". Writes cmc_attr_payloads.txt into cmc/tests/data, or into the folder
# given as the only argument.
import os
import struct
import sys

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "cmc", "tests", "data")
MARKER = bytes.fromhex("EDDA21433412ADDE")


class Payload:
    """A fixed record followed by 32-bit-layout element sets; elements are appended at the end."""

    def __init__(self, record_size):
        self.buf = bytearray(record_size + (-record_size % 8))
        self.chains = {}  # set word offset -> [(element header offset, data size)]

    def add(self, set_off, data):
        at = len(self.buf)
        self.buf += struct.pack(">II", len(data), 0) + data + bytes(-len(data) % 8)
        chain = self.chains.setdefault(set_off, [])
        if chain:
            last, size = chain[-1]
            struct.pack_into(">II", self.buf, last, size, at - last)
        chain.append((at, len(data)))
        struct.pack_into(">I", self.buf, set_off, 0x80000000 | (len(chain) << 16) | ((chain[0][0] - set_off) // 4))
        return at + 8  # where the element's data starts

    def bytes(self):
        return bytes(self.buf) + MARKER


def url(path):
    return path if "://" in path else "file://" + path


def play():
    # 20-byte record: set at 0, carried bytes 4-19 (play index at 15, paused at 16).
    p = Payload(20)
    p.buf[15], p.buf[16] = 2, 1
    for path, params in (("/var/media/hello.wav", (1, 2, 3)), ("http://media.local/a://b.wav", (7, 8, 0xFFFFFFFF))):
        text = url(path).encode() + b"\0"
        p.add(0, struct.pack("<3I", *params) + text + bytes(3))  # element = URL length + 16
    return p.bytes()


def record():
    # 80-byte record: set at 0, carried bytes 4-79 (paused at 70).
    p = Payload(80)
    p.buf[70] = 1
    for path in ("rec/out.wav", "store/a://b.wav", "rtp://10.0.0.1:5004"):
        p.add(0, url(path).encode() + b"\0")
    return p.bytes()


def event():
    # 8-byte record: set at 0, u16 inter-tone timeout at 4 (60 by default).
    p = Payload(8)
    struct.pack_into("<H", p.buf, 4, 60)
    for tones in ("123#", "*9"):
        p.add(0, tones.encode() + b"\0")
    return p.bytes()


UUI = bytes((i * 7 + 1) & 0xFF for i in range(3000))
SS7 = bytes((i * 3) & 0xFF for i in range(301))


def extra_number(number_type, noa, npi, pres, screen, qual, reason, counter, e="<"):
    return struct.pack(e + "6I4BI16x", 1, number_type, noa, npi, pres, screen, qual, reason, counter, 0, 0)


def generic_headers(e="<"):
    # 128-byte protocol attribute record, generic-header set at 8: user-to-user information of 3000 bytes (cut to
    # 2048), SS7 raw data of 301 bytes (cut to 300, variant 7), an extra number of type 10 without digits, one of
    # type 3 with digits. e ">": their numbers in the other byte order (type words; the extra numbers' u32 at 4 to
    # 20; the SS7 variant), as a copy with the swap flag writes them; bytes, texts and sets stay as they are.
    p = Payload(128)
    at = p.add(8, struct.pack(e + "II12x", 0, 0))
    p.add(at + 4, UUI[:2048])
    at = p.add(8, struct.pack(e + "III8x", 3, 0, 7))
    p.add(at + 4, SS7[:300])
    p.add(8, extra_number(10, 3, 1, 0, 1, 5, 6, 2, e))
    at = p.add(8, extra_number(3, 4, 1, 1, 3, 0, 9, 1, e))
    p.add(at + 28, b"5551234\0")
    return p.bytes()


# Compact SDP blob as the profile carries it: magic F0 F1 F2 3F, u32 size (whole blob), then its bytes.
def blob(fill, size):
    return bytes.fromhex("F0F1F23F") + struct.pack("<I", size) + bytes((fill + i) & 0xFF for i in range(size - 8))


LOCAL, PEER = blob(0x10, 24), blob(0x80, 40)
NAME70 = "".join(chr(ord("a") + i % 26) for i in range(70))


def profile(local_state, with_local=True):
    # 72-byte record: media description 0-63, byte 64 zero, element set at 68. Elements: local SDP (type 3,
    # state, 8 zero bytes, blob), peer SDP (type 4, 4 zero bytes, blob, element = blob + 16), name (type 2, u32 5,
    # 8 zero bytes, char[64] holding at most 63 characters and a NUL).
    p = Payload(72)
    p.buf[0:64] = bytes((i * 5) & 0xFF for i in range(64))
    if with_local:
        p.add(68, struct.pack("<II8x", 3, local_state) + LOCAL)
    p.add(68, struct.pack("<I4x", 4) + PEER + bytes(8))
    p.add(68, struct.pack("<II8x", 2, 5) + NAME70[:63].encode().ljust(64, b"\0"))
    return p.bytes()


def protocol_record(present, ptype, status=0, status_arg=0, trans_id=0):
    # 128 bytes: present at 0, protocol type at 4, generic headers set at 8, protocol set at 24, SIP body at 28
    # (u32 body type; single part: u32 kind at 32, bytes set at 36; multipart: parts set at 32), status u16 at 116,
    # its byte at 118, transaction id at 124.
    p = Payload(128)
    p.buf[0] = present
    struct.pack_into("<I", p.buf, 4, ptype)
    struct.pack_into("<HB", p.buf, 116, status, status_arg)
    struct.pack_into("<I", p.buf, 124, trans_id)
    return p


BODY300 = bytes((i * 11 + 3) & 0xFF for i in range(300))


def protocol_sip_single():
    # Charge number first (generic header type 2: values 3, 4), then SIP status 180/1, transaction id 0x1234 and a
    # single-part raw body of 300 bytes.
    p = protocol_record(1, 2, 180, 1, 0x1234)
    p.add(8, struct.pack("<IBB2x", 2, 3, 4))
    struct.pack_into("<II", p.buf, 28, 2, 2)
    p.add(36, BODY300)
    return p.bytes()


def protocol_sip_multipart():
    # SIP status 200/0, then two parts (92 bytes: headers set at 0, body at 4), each with a raw single-part body.
    p = protocol_record(1, 2, 200, 0, 0)
    struct.pack_into("<I", p.buf, 28, 3)
    for text in (b"part one", b"the second part"):
        at = p.add(32, struct.pack("<III", 0, 2, 2) + bytes(80))
        p.add(at + 12, text)
    return p.bytes()


def protocol_element(ptype, data):
    # SS7 (1), ISDN (3) or CAS (4): the one protocol element in the set at 24.
    p = protocol_record(1, ptype)
    p.add(24, data)
    return p.bytes()


def text(value, field):
    # At most field - 1 characters, NUL-padded to the field.
    return value[:field - 1].encode().ljust(field, b"\0")


def name_element(name):
    return struct.pack("<II8x", 2, 5) + text(name, 64)


def call_leg_fields(p, base):
    # 668-byte record from base (text limits 64, 64, 128, 128, 64, 32), media profile at 592 (description word at
    # 8, name element in its set at 660), protocol type at 664.
    fields = [(0, text("1" * 70, 64)), (64, struct.pack("<II", 3, 1)), (84, text("5551234", 64)),
              (148, struct.pack("<I", 2)), (152, text("D" * 130, 128)), (284, struct.pack("<6I", 10, 4, 1, 1, 3, 1)),
              (308, text("P" * 128, 128)), (440, text("sip:alice@example.com", 64)), (504, bytes([1, 7])),
              (520, text("nap-" + "x" * 36, 32)), (600, struct.pack("<I", 0x11223344)), (664, struct.pack("<I", 2))]
    for at, data in fields:
        p.buf[base + at:base + at + len(data)] = data
    p.add(base + 660, name_element("leg profile"))


def call_leg():
    p = Payload(668)
    call_leg_fields(p, 0)
    return p.bytes()


def media_only_fields(p, base):
    # 144 bytes from base: access point (31 characters and a NUL in 32 bytes), 40 bytes left as they were,
    # profile at 72 with a name element in its set at 140.
    p.buf[base:base + 32] = text("media-" + "y" * 34, 32)
    p.add(base + 140, name_element("mo"))


def media_only_leg():
    p = Payload(144)
    media_only_fields(p, 0)
    return p.bytes()


def leg(leg_type):
    # 692-byte leg description: leg id, leg type, the attribute of that type at 8 (call leg 668 bytes or
    # media-only 144), 4 reserved bytes, then for a call leg the update at 680 (protocol type, charge indicator,
    # early media, echo canceller).
    p = Payload(692)
    struct.pack_into("<II", p.buf, 0, 0x1234, leg_type)
    if leg_type == 1:
        call_leg_fields(p, 8)
        struct.pack_into("<IIBB", p.buf, 680, 2, 9, 1, 1)
    else:
        media_only_fields(p, 8)
    return p.bytes()


def mixer():
    # 44 bytes: listener, IVR and playback flags at 0-2, u32 at 8 and 12, i32 at 16 and 20, i32 at 32, 36, 40.
    p = Payload(44)
    p.buf[0:3] = bytes([1, 1, 1])
    struct.pack_into("<IIii", p.buf, 8, 2, 3, -30, 30)
    struct.pack_into("<iii", p.buf, 32, -5, -10, 5)
    return p.bytes()


def mixer_copied():
    # The golden mixer as the mixer copy writes it: the listener and IVR bytes (0, 1) and the active-speaker
    # slots (u32 at 8); every other byte 0.
    p = Payload(44)
    p.buf[0:2] = bytes([1, 1])
    struct.pack_into("<I", p.buf, 8, 2)
    return p.bytes()


def profile_copied():
    # The golden profile as the profile copy rebuilds it: a peer SDP element of 8 + its blob's size (the 8 bytes
    # after the blob are not carried).
    p = Payload(72)
    p.buf[0:64] = bytes((i * 5) & 0xFF for i in range(64))
    p.add(68, struct.pack("<II8x", 3, 1) + LOCAL)
    p.add(68, struct.pack("<I4x", 4) + PEER)
    p.add(68, struct.pack("<II8x", 2, 5) + NAME70[:63].encode().ljust(64, b"\0"))
    return p.bytes()


def profile_name70():
    # An empty profile given a 70-character name with value 5: one name element holding its first 63 characters.
    p = Payload(72)
    p.add(68, name_element(NAME70))
    return p.bytes()


def protocol_sip_headers():
    # Generic headers first (5 bytes of user-to-user information, an extra number with digits), then a raw
    # single-part body, then two SIP headers (Subject 45, Call-ID 9: u32 type, string set at 4), as the copy
    # rebuilds them in that order.
    p = protocol_record(1, 2, 183, 0, 7)
    at = p.add(8, struct.pack("<II12x", 0, 0))
    p.add(at + 4, b"\x01\x02\x03\x04\x05")
    at = p.add(8, extra_number(3, 4, 1, 1, 3, 0, 9, 1))
    p.add(at + 28, b"5551234\0")
    struct.pack_into("<II", p.buf, 28, 2, 2)
    p.add(36, b"v=0\r\n")
    for header_type, value in ((45, b"hello\0"), (9, b"abc@host\0")):
        at = p.add(24, struct.pack("<I4x", header_type))
        p.add(at + 4, value)
    return p.bytes()


def protocol_sip_single_bare():
    # protocol_sip_single copied without its protocol part: the 128 bytes with the body area after its type word
    # cleared, and the charge number.
    p = protocol_record(1, 2, 180, 1, 0x1234)
    p.add(8, struct.pack("<IBB2x", 2, 3, 4))
    struct.pack_into("<I", p.buf, 28, 2)
    return p.bytes()


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else DATA
    rows = [("play", play()), ("record", record()), ("event", event()), ("generic_headers", generic_headers()),
            ("generic_headers_swapped", generic_headers(">")),
            ("profile", profile(1)), ("profile_local_withheld", profile(4, False)),
            ("protocol_sip_single", protocol_sip_single()), ("protocol_sip_multipart", protocol_sip_multipart()),
            ("protocol_ss7", protocol_element(1, bytes.fromhex("0102030405"))),
            ("protocol_isdn", protocol_element(3, bytes.fromhex("a1b2c3d4"))),
            ("protocol_cas", protocol_element(4, struct.pack("<7I", 1, 10, 20, 0, 0, 0, 0))),
            ("call_leg", call_leg()), ("media_only_leg", media_only_leg()),
            ("leg_call", leg(1)), ("leg_media_only", leg(2)), ("mixer", mixer()), ("mixer_copied", mixer_copied()),
            ("profile_copied", profile_copied()), ("profile_name70", profile_name70()),
            ("protocol_sip_headers", protocol_sip_headers()), ("protocol_sip_single_bare", protocol_sip_single_bare())]
    with open(os.path.join(out, "cmc_attr_payloads.txt"), "w") as f:
        for name, data in rows:
            f.write("%s %s\n" % (name, data.hex()))


if __name__ == "__main__":
    main()
