"""The attributes the stand-in reads out of the leg commands it receives (docs/cmc-payloads.md records,
element sets walked as docs/msg-element-sets.md lays them out; host byte order, little-endian here).

CALL_LEG_CREATE: the leg record at 28 (leg id, leg type, the call-leg attribute at 36: texts in fields of
64, 64, 128, 128, 64 and 32 bytes, the profile at 628 whose set at 696 holds its name element, protocol
type at 700), the protocol attribute at 732 (present, type, generic headers set at 740, body type at 760,
status at 848, its byte at 850, transaction id at 856). PLAY: the play attribute at 32 (play files in the
set at 32: three u32 parameters and the URL; play index at 47, paused at 48). EVENT_PLAY: the event
attribute at 32 (tones in the set at 32, inter-tone timeout u16 at 36).
decode() gives the fields as a dict, or {"error": ...} for a payload whose sets do not hold.

echo() builds the notifications that carry them back (the golden attribute encoder's layout): leg present
(statistics set at 28, leg record at 32: leg id, leg type, the call-leg attribute at 40 with the profile name
element in its set at 700, the protocol attribute at 736 with its generic headers; generic headers travel
as their element bytes, so one with a set of its own is not carried back), profile changed (leg at 28,
call and media reasons at 32 and 36, the profile at 40 with its name element in the set at 108) and digit
collected (leg at 28, valid 1 at 32, matching map 0 at 36, the event tones joined and a NUL from 40)."""
import struct

import os
import sys

import cmcsim_wire as cw

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "golden", "cmc"))
import cmc_attr_golden as golden  # noqa: E402

CREATE, PLAY, EVENT_PLAY = 0x0A010017, 0x0A010051, 0x0A010071
LEG_PRESENT, PROFILE_CHANGED, DIGIT_COLLECTED = 0x0A010011, 0x0A010044, 0x0A010064
LEG_TEXTS = ((0, 64), (84, 64), (152, 128), (308, 128), (440, 64), (520, 32))  # in the call-leg attribute


def _text(data):
    """A text within its field or element: up to its NUL or the end, never beyond."""
    return data.split(b"\0", 1)[0].decode("latin-1")


def _elements(payload, set_off):
    return [payload[at:at + size] for at, size in cw.walk_set(payload, set_off)]


def _create(p, d=0):
    """CALL_LEG_CREATE; d = 4 reads a leg present, whose records lie 4 bytes further."""
    leg = 36 + d
    out = {"leg_id": struct.unpack_from("<I", p, 28 + d)[0], "leg_type": struct.unpack_from("<I", p, 32 + d)[0],
           "texts": [_text(p[leg + at:leg + at + n]) for at, n in LEG_TEXTS],
           "protocol_type": struct.unpack_from("<I", p, leg + 664)[0]}
    names = [e for e in _elements(p, leg + 660) if len(e) >= 16 and struct.unpack_from("<I", e)[0] == 2]
    out["profile_name"] = _text(names[0][16:]) if names else None
    a = 732 + d
    out.update(present=p[a], ptype=struct.unpack_from("<I", p, a + 4)[0],
               generic_headers=[e.hex() for e in _elements(p, a + 8)], body_type=struct.unpack_from("<I", p, a + 28)[0],
               status=struct.unpack_from("<H", p, a + 116)[0], status_arg=p[a + 118],
               trans_id=struct.unpack_from("<I", p, a + 124)[0])
    return out


def _play(p):
    files = []
    if len(p) > 56:
        for e in _elements(p, 32):
            if len(e) < 13:
                raise ValueError("play file element of %d bytes" % len(e))
            files.append(list(struct.unpack_from("<3I", e)) + [_text(e[12:])])
    return {"index": p[47], "paused": p[48], "files": files}


def _event(p):
    return {"tones": [_text(e) for e in _elements(p, 32)], "inter_tone": struct.unpack_from("<H", p, 36)[0]}

DECODERS = {CREATE: _create, PLAY: _play, EVENT_PLAY: _event, LEG_PRESENT: lambda p: _create(p, 4)}


def decode(msg_id, payload):
    """The fields of a leg command the stand-in reads, None for another command."""
    if msg_id not in DECODERS:
        return None
    try:
        return DECODERS[msg_id](payload)
    except (ValueError, struct.error, IndexError) as e:
        return {"error": str(e)}


def _profile_name(p, set_off, name):
    if name is not None:
        p.add(set_off, golden.name_element(name))


def echo(kind, fields, leg_id, mapping=0):
    """(notification id, payload) carrying the fields of the last CALL_LEG_CREATE (kind "present" or
    "profile") or EVENT_PLAY ("digits") back to leg_id; None when they are missing."""
    if fields is None or "error" in fields:
        return None
    if kind == "present" and "texts" in fields:
        p = golden.Payload(864)
        struct.pack_into("<III", p.buf, 8, mapping, 0, 0)
        struct.pack_into("<II", p.buf, 32, leg_id, fields["leg_type"])
        for (at, n), value in zip(LEG_TEXTS, fields["texts"]):
            p.buf[40 + at:40 + at + n] = golden.text(value, n)
        struct.pack_into("<I", p.buf, 40 + 664, fields["protocol_type"])
        _profile_name(p, 40 + 660, fields["profile_name"])
        a = 736
        p.buf[a] = fields["present"]
        struct.pack_into("<I", p.buf, a + 4, fields["ptype"])
        struct.pack_into("<I", p.buf, a + 28, fields["body_type"])
        struct.pack_into("<HB", p.buf, a + 116, fields["status"], fields["status_arg"])
        struct.pack_into("<I", p.buf, a + 124, fields["trans_id"])
        for element in fields["generic_headers"]:
            p.add(a + 8, bytes.fromhex(element))
        return LEG_PRESENT, p.bytes()
    if kind == "profile" and "texts" in fields:
        p = golden.Payload(112)
        struct.pack_into("<III", p.buf, 28, leg_id, 0, 0)
        _profile_name(p, 40 + 68, fields["profile_name"])
        return PROFILE_CHANGED, p.bytes()
    if kind == "digits" and "tones" in fields:
        digits = "".join(fields["tones"]).encode() + b"\0"
        return DIGIT_COLLECTED, struct.pack("<28xIII", leg_id, 1, 0) + digits + bytes(-len(digits) % 8)
    return None
