#!/usr/bin/env python3
"""Golden rows of the board's trace messages (docs/board-trace-messages.md),
written with struct from the page alone: the on/off requests the builder
must produce byte for byte, the unit notifications with the fields a reader
must give back, and the bad inputs a reader or builder must refuse.

Writes OUT/board_trace_cases.txt (default sigtrace/tests/data). Rows:
  request NAME key=value... = HEX | refused
  unit NAME NOTIFICATION-ID HEX => the unit as the board logs it | error: TEXT
  answer NAME HEX => result=N | error: TEXT
"""
import json
import os
import struct
import sys

NOTIF = {"ss7": 0x04210031, "lapd": 0x04540031, "isdn": 0x04080031, "casr2": 0x04510031, "ip": 0x04390031}
TYPES = {"ss7": 2, "isdn": 3, "ip": 4, "casr2": 5, "lapd": 7}
OFFSET = {"ss7": 0x30, "lapd": 0x28, "isdn": 0x28, "casr2": 0x28, "ip": 0x68}


def pad8(b):
    return b + b"\0" * (-len(b) % 8)


def text16(s):
    return s.encode()[:15].ljust(16, b"\0")


def request(fam, on, trunk=0, mask=0, bits=0xFF, extended=0, tucl=0, transport=0, port=0, ctx=0, iface="",
            addr=""):
    head = struct.pack("<8xIII", 1, tucl if fam == "ip" else 0, on)
    if fam == "ip":
        return head + struct.pack("<IIIQ16s16s", transport, port, 0, ctx, text16(iface), text16(addr))
    if fam == "casr2":
        return head + struct.pack("<II4x", trunk & 0xFFF, extended)
    return head + struct.pack("<IIB3x", trunk & 0xFFF, mask, bits)


def unit(fam, n, direction, fields, data, length=None):
    body = struct.pack("<8xIIII", 1, n, direction, len(data) if length is None else length) + fields + data
    return pad8(body)


def hexs(b):
    return b.hex()


def rows():
    out = []

    def req(name, fam, want=True, **kw):
        args = dict(kw)
        entity = dict(type=TYPES[fam], on=args.pop("on", 1), trunk=args.get("trunk", 0), mask=args.get("mask", 0),
                      bits=args.get("bits", 0xFF), extended=args.get("extended", 0), tucl=args.get("tucl", 0),
                      transport=args.get("transport", 0), port=args.get("port", 0), ctx=args.get("ctx", 0),
                      iface=args.get("iface", "-"), addr=args.get("addr", "-"))
        keys = " ".join("%s=%s" % (k, v) for k, v in entity.items())
        if not want:
            out.append("request %s %s = refused" % (name, keys))
            return
        kw2 = {k: v for k, v in entity.items() if k not in ("type", "on")}
        kw2["iface"] = "" if kw2["iface"] == "-" else kw2["iface"]
        kw2["addr"] = "" if kw2["addr"] == "-" else kw2["addr"]
        p = request(fam, entity["on"], **kw2)
        out.append("request %s %s = %s" % (name, keys, hexs(p)))

    req("ss7_on", "ss7", trunk=5, mask=0x10002, bits=0x7F)
    req("ss7_off_trunk_cut", "ss7", on=0, trunk=0x1005, mask=0x2)
    req("lapd_on", "lapd", trunk=2, mask=1 << 16, bits=0x7E)
    req("isdn_on", "isdn", trunk=1, mask=1 << 16)
    req("casr2_on_extended", "casr2", trunk=3, extended=1)
    req("casr2_off", "casr2", on=0, trunk=3)
    req("ip_on", "ip", tucl=7, transport=1, port=5060, ctx=0x100000002, iface="eth0", addr="255.255.255.255")
    req("ip_off_long_texts_cut", "ip", on=0, tucl=9, transport=2, ctx=3, iface="interface_name_too_long",
        addr="1234567890123456789")
    req("tdm_without_timeslots", "ss7", want=False, trunk=5)
    req("ip_without_context", "ip", want=False, tucl=7, iface="any")
    out.append("request h248_type type=6 on=1 trunk=0 mask=0 bits=255 extended=0 tucl=0 transport=0 port=0 ctx=0 "
               "iface=- addr=- = refused")

    def u(name, fam, payload, expect):
        out.append("unit %s 0x%08x %s => %s" % (name, NOTIF[fam], hexs(payload), expect))

    def j(fam, n, direction, data, **fields):
        """The unit as the simulated board logs it."""
        return json.dumps(dict(fields, family=fam, unit=n, direction=direction, data=hexs(data)), sort_keys=True)

    data = bytes(range(1, 11))
    ss7f = struct.pack("<6I", 5, 0x10002, 0x7F, 1, 4, 24)
    ss7 = unit("ss7", 1, 2, ss7f, data)
    fields_ss7 = j("ss7", 1, 2, data, trunk=5, mask=0x10002, bits=0x7F, annex_a=1, variant=4, pc_length=24)
    u("ss7_ok", "ss7", ss7, fields_ss7)
    u("ss7_short", "ss7", ss7[:-8], "error: SS7 trace unit: short (payload 56, data needs 64)")
    u("ss7_oversized", "ss7", ss7 + bytes(8), "error: SS7 trace unit: oversized (payload 72, data needs 64)")
    u("ss7_header_short", "ss7", ss7[:0x28], "error: SS7 trace unit: short (payload 40, header 48)")
    u("ss7_empty", "ss7", b"", "error: SS7 trace unit: short (payload 0, header 48)")
    u("ss7_version_2", "ss7", ss7[:8] + struct.pack("<I", 2) + ss7[12:], "error: SS7 trace unit: version not 1")
    u("ss7_no_data", "ss7", unit("ss7", 1, 1, ss7f, b""), "error: SS7 trace unit: data length 0 out of range")
    u("ss7_data_4097", "ss7", unit("ss7", 1, 1, ss7f, b"", 4097), "error: SS7 trace unit: data length 4097 out of range")
    u("ss7_length_past_payload", "ss7", unit("ss7", 1, 1, ss7f, data, 4096),
      "error: SS7 trace unit: short (payload 64, data needs 4144)")
    u("ss7_direction_3", "ss7", unit("ss7", 1, 3, ss7f, data), "error: SS7 trace unit: direction 3 out of range")
    u("ss7_pc_16", "ss7", unit("ss7", 1, 1, struct.pack("<6I", 5, 2, 0xFF, 0, 1, 16), data),
      "error: SS7 trace unit: point-code length 16 out of range")
    u("ss7_annex_2", "ss7", unit("ss7", 1, 1, struct.pack("<6I", 5, 2, 0xFF, 2, 1, 14), data),
      "error: SS7 trace unit: annex A 2 out of range")
    max_data = bytes(k & 0xFF for k in range(4096))
    u("ss7_max_data", "ss7", unit("ss7", 9, 1, struct.pack("<6I", 1, 2, 0xFF, 0, 1, 14), max_data),
      j("ss7", 9, 1, max_data, trunk=1, mask=2, bits=0xFF, annex_a=0, variant=1, pc_length=14))

    lapd = unit("lapd", 2, 1, struct.pack("<4I", 2, 1 << 16, 0x7E, 1), data[:3])
    u("lapd_ok", "lapd", lapd, j("lapd", 2, 1, data[:3], trunk=2, mask=1 << 16, bits=0x7E, side=1))
    u("lapd_side_3", "lapd", unit("lapd", 2, 1, struct.pack("<4I", 2, 1, 0xFF, 3), data),
      "error: LAPD trace unit: side 3 out of range")
    u("lapd_bits_256", "lapd", unit("lapd", 2, 1, struct.pack("<4I", 2, 1, 0x100, 1), data),
      "error: LAPD trace unit: bit mask 256 out of range")
    isdn = unit("isdn", 3, 2, struct.pack("<4I", 1, 1 << 16, 0xFF, 2), data)
    u("isdn_ok", "isdn", isdn, j("isdn", 3, 2, data, trunk=1, mask=1 << 16, bits=0xFF, side=2))
    u("isdn_cut_in_fields", "isdn", isdn[:20], "error: ISDN trace unit: short (payload 20, header 40)")

    def cas(n, direction, kind, slot, stamp, payload, length=None):
        return unit("casr2", n, direction, struct.pack("<4I", 1, kind, slot, stamp), payload, length)

    u("casr2_state", "casr2", cas(4, 0, 1, 5, 4000, struct.pack("<II", 3, 2)),
      j("casr2", 4, 0, struct.pack("<II", 3, 2), trunk=1, kind=1, timeslot=5, timestamp=4000))
    tone = struct.pack("<IiII4II", 200, -10, 0, 0, 1, 2, 3, 4, 9)
    u("casr2_tone", "casr2", cas(5, 1, 2, 31, 5000, tone),
      j("casr2", 5, 1, tone, trunk=1, kind=2, timeslot=31, timestamp=5000))
    bits = bytes([1, 0, 1, 0, 0, 0, 0, 1]) + struct.pack("<III", 4960, 5000, 3)
    u("casr2_bits", "casr2", cas(6, 2, 3, 0, 6000, bits),
      j("casr2", 6, 2, bits, trunk=1, kind=3, timeslot=0, timestamp=6000))
    u("casr2_kind_4", "casr2", cas(6, 2, 4, 0, 1, bits), "error: CASR2 trace unit: kind 4 out of range")
    u("casr2_state_with_tone_length", "casr2", cas(6, 2, 1, 0, 1, tone),
      "error: CASR2 trace unit: data length 36 out of range")
    u("casr2_slot_32", "casr2", cas(6, 2, 1, 32, 1, struct.pack("<II", 0, 0)),
      "error: CASR2 trace unit: timeslot 32 out of range")
    u("casr2_header_short", "casr2", cas(6, 2, 1, 0, 1, b"")[:36], "error: CASR2 trace unit: short (payload 36, header 40)")

    sip = b"OPTIONS sip:a SIP/2.0\r\n"

    def ip(n, direction, ctx, transport, proto, iface, remote, local, payload, raw_iface=None):
        f = struct.pack("<QIIIII4x", ctx, transport, proto, 5060, 5070, 1234567)
        f += (raw_iface if raw_iface is not None else text16(iface)) + text16(remote) + text16(local)
        return unit("ip", n, direction, f, payload)

    u("ip_ok", "ip", ip(7, 1, 0x100000002, 1, 1, "eth0", "10.1.2.3", "127.0.0.1", sip),
      j("ip", 7, 1, sip, context=0x100000002, transport=1, protocol=1, local_port=5060, remote_port=5070,
        time_ms=1234567, interface="eth0", remote="10.1.2.3", local="127.0.0.1"))
    u("ip_full_texts", "ip", ip(8, 2, 1, 3, 2, "x" * 15, "1" * 15, "", sip[:1]),
      j("ip", 8, 2, sip[:1], context=1, transport=3, protocol=2, local_port=5060, remote_port=5070,
        time_ms=1234567, interface="x" * 15, remote="1" * 15, local=""))
    u("ip_interface_unterminated", "ip", ip(8, 2, 1, 1, 1, "", "", "", sip, raw_iface=b"e" * 16),
      "error: IP trace unit: interface without terminator")
    u("ip_protocol_3", "ip", ip(8, 2, 1, 1, 3, "", "", "", sip), "error: IP trace unit: protocol 3 out of range")
    u("ip_transport_4", "ip", ip(8, 2, 1, 4, 1, "", "", "", sip), "error: IP trace unit: transport 4 out of range")
    big = ip(8, 2, 1, 1, 1, "", "", "", b"")
    big = big[:0x14] + struct.pack("<I", 16385) + big[0x18:]
    u("ip_data_16385", "ip", big, "error: IP trace unit: data length 16385 out of range")

    for name, payload, expect in (
            ("answer_done", struct.pack("<8xIi", 1, 0), "result=0"),
            ("answer_no_entity", struct.pack("<8xIi", 1, -2), "result=-2"),
            ("answer_longer", struct.pack("<8xIi8x", 1, -1), "result=-1"),
            ("answer_short", struct.pack("<8xI", 1), "error: trace answer: short (payload 12, needs 16)"),
            ("answer_version_2", struct.pack("<8xIi", 2, 0), "error: trace answer: version not 1")):
        out.append("answer %s %s => %s" % (name, hexs(payload), expect))
    return out


def main(argv):
    folder = argv[0] if argv else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..",
                                                  "sigtrace", "tests", "data")
    with open(os.path.join(folder, "board_trace_cases.txt"), "w") as f:
        f.write("# Written by testing/golden/sigtrace/gen_board_trace.py; do not edit.\n")
        for row in rows():
            f.write(row + "\n")


if __name__ == "__main__":
    main(sys.argv[1:])
