"""The attributes the stand-in reads out of the leg commands it receives (docs/cmc-payloads.md records,
element sets walked as docs/msg-element-sets.md lays them out; host byte order, little-endian here).

CALL_LEG_CREATE: the leg record at 28 (leg id, leg type, the call-leg attribute at 36: texts in fields of
64, 64, 128, 128, 64 and 32 bytes, the profile at 628 whose set at 696 holds its name element, protocol
type at 700), the protocol attribute at 732 (present, type, generic headers set at 740, body type at 760,
status at 848, its byte at 850, transaction id at 856). PLAY: the play attribute at 32 (play files in the
set at 32: three u32 parameters and the URL; play index at 47, paused at 48). EVENT_PLAY: the event
attribute at 32 (tones in the set at 32, inter-tone timeout u16 at 36).
decode() gives the fields as a dict, or {"error": ...} for a payload whose sets do not hold."""
import struct

import cmcsim_wire as cw

CREATE, PLAY, EVENT_PLAY = 0x0A010017, 0x0A010051, 0x0A010071
LEG_TEXTS = ((0, 64), (84, 64), (152, 128), (308, 128), (440, 64), (520, 32))  # in the call-leg attribute


def _text(data):
    """A text within its field or element: up to its NUL or the end, never beyond."""
    return data.split(b"\0", 1)[0].decode("latin-1")


def _elements(payload, set_off):
    return [payload[at:at + size] for at, size in cw.walk_set(payload, set_off)]


def _create(p):
    leg = 36
    out = {"leg_id": struct.unpack_from("<I", p, 28)[0], "leg_type": struct.unpack_from("<I", p, 32)[0],
           "texts": [_text(p[leg + at:leg + at + n]) for at, n in LEG_TEXTS],
           "protocol_type": struct.unpack_from("<I", p, leg + 664)[0]}
    names = [e for e in _elements(p, leg + 660) if len(e) >= 16 and struct.unpack_from("<I", e)[0] == 2]
    out["profile_name"] = _text(names[0][16:]) if names else None
    a = 732
    out.update(present=p[a], ptype=struct.unpack_from("<I", p, a + 4)[0],
               generic_headers=len(_elements(p, a + 8)), body_type=struct.unpack_from("<I", p, a + 28)[0],
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


DECODERS = {CREATE: _create, PLAY: _play, EVENT_PLAY: _event}


def decode(msg_id, payload):
    """The fields of a leg command the stand-in reads, None for another command."""
    if msg_id not in DECODERS:
        return None
    try:
        return DECODERS[msg_id](payload)
    except (ValueError, struct.error, IndexError) as e:
        return {"error": str(e)}
