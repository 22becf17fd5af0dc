"""Full payloads of the server's leg and mixer notifications, and the fields of the application's
commands at their documented offsets (Python struct only, host byte order: little-endian here).

Written from the protocol's message tables and docs/cmc-payloads.md, not from the C++ library.
Every notification is its fixed record rounded up to 8, then the element area and the 32-bit
layout's end marker (docs/msg-element-sets.md), as a server builds it.

NOTIFS: id -> (record size, fields); a field is (name, offset, struct format, default). A default
of SEQ takes the notification's sequence number (1..COUNT of one control line). Blocks that are
not plain numbers are named too: "protocol" (a SIP status code: a present protocol attribute of
128 bytes with that status), "text" (a NUL-terminated text in its field), "pattern" (a seed:
byte i of the block = (seed + i) & 0xFF), "path" (a play-file path: one element in the set),
"profile" (a media profile whose set holds a name element), "stats" (a NAP statistics type list,
one 216-byte record each in the set).

COMMANDS: id -> (version at 24, where the entity id lies, where the second id lies, further
fields); check_fields() compares a received command with it, fields() names what it carried.
"""
import struct

SEQ = object()
ORDER = "<"
PROTOCOL_SIZE = 128
NAP_STATS_SIZE = 216


def _leg_update(protocol_at):
    """Accepted, alerting, answered, supplementary information: the leg update at 32, protocol after."""
    return [("leg_type", 36, "I", 1), ("update_protocol", 40, "I", 0), ("charge", 44, "I", 0),
            ("early_media", 48, "B", 0), ("echo", 49, "B", 0), ("protocol", protocol_at, "protocol", 0)]


def _reason(protocol_at):
    """Terminating indication and terminated: the common leg at 32, the reason at 40, protocol at 56."""
    return [("leg_type", 36, "I", 1), ("reason", 40, "I", 16), ("protocol", protocol_at, "protocol", 0)]


NOTIFS = {
    0x0A010004: (40, [("other", 36, "I", SEQ)]),                                     # join done
    0x0A010005: (40, [("other", 36, "I", SEQ)]),                                     # unjoin done
    0x0A010011: (864, [("stats", 28, "stats", 0), ("leg_type", 36, "I", 1),          # call leg present
                       ("called", 40, "text64", ""), ("calling", 124, "text64", ""),
                       ("nap", 560, "text32", ""), ("protocol", 736, "protocol", 0)]),
    0x0A010012: (192, _leg_update(64)), 0x0A010013: (192, _leg_update(64)), 0x0A010014: (192, _leg_update(64)),
    0x0A010015: (184, _reason(56)), 0x0A010016: (184, _reason(56)),
    0x0A01001C: (192, [("type", 28, "I", 2)] + _leg_update(64)),                    # supplementary information
    0x0A01001F: (168, [("reason", 36, "I", 1), ("stats", 40, "pattern128", 0)]),    # statistics updated
    0x0A010030: (40, []), 0x0A010032: (40, []), 0x0A010033: (40, []),             # mixer created, terminated, changed
    0x0A010034: (1364, [("code", 36, "I", 0), ("text", 40, "text256", ""),          # mixer error
                        ("detail", 296, "pattern1068", 0)]),
    0x0A010035: (40, [("other", 36, "I", 0)]), 0x0A010036: (40, [("other", 36, "I", 0)]),
    0x0A010037: (40, [("other", 36, "I", 0)]), 0x0A010038: (40, [("other", 36, "I", 0)]),
    0x0A010044: (112, [("call_reason", 32, "I", 0), ("media_reason", 36, "I", 0),   # profile changed
                       ("profile", 40, "profile", "")]),
    0x0A010056: (48, [("version", 24, "I", 2), ("play", 32, "I", 1), ("record", 36, "I", 0),  # playing done
                      ("reason", 40, "I", 0), ("index", 44, "B", 0)]),
    0x0A010057: (48, [("version", 24, "I", 2), ("play", 32, "B", 1), ("play2", 33, "B", 0),   # playing started
                      ("record", 34, "B", 0), ("index", 35, "B", 0), ("path", 36, "path", ""),
                      ("host", 40, "Q", 0)]),
    0x0A010064: (40, [("valid", 32, "I", 1), ("map", 36, "I", 0), ("digits", 40, "tail", "")]),
    0x0A010065: (40, []),                                                            # digit playing done
    0x0A010075: (32, [("event", 32, "tail", "")]),                                   # event collected
    0x0A010076: (40, []),                                                            # event playing done
    0x0A010091: (404, [("code", 36, "I", 0), ("text", 40, "text256", ""),           # leg error
                       ("detail", 296, "pattern108", 0)]),
    0x0A010101: (256, [("leg_type", 36, "I", 1), ("protocol", 40, "protocol", 0),   # transfer request
                       ("transfer_type", 168, "I", 1), ("number", 172, "text64", ""),
                       ("noa", 236, "I", 0), ("npi", 240, "I", 0)]),
    0x0A010102: (168, [("leg_type", 36, "I", 1), ("protocol", 40, "protocol", 0)]),
    0x0A010103: (184, [("leg_type", 36, "I", 1), ("protocol", 40, "protocol", 0), ("reason", 168, "I", 16)]),
}
DEFAULT_SIZE = 40  # ids without a layout: the common head, the entity word, a sequence number at 36


def protocol_attribute(status):
    """128 bytes: present, SIP, the status code at 116 (the SIP body's type 1 at 28)."""
    p = bytearray(PROTOCOL_SIZE)
    p[0] = 1
    struct.pack_into(ORDER + "I", p, 4, 2)
    struct.pack_into(ORDER + "I", p, 28, 1)
    struct.pack_into(ORDER + "H", p, 116, status)
    return bytes(p)


def nap_stats(stats_type):
    """One 216-byte statistics record: byte i = (stats_type * 16 + i) & 0xFF, the type at 32."""
    r = bytearray((stats_type * 16 + i) & 0xFF for i in range(NAP_STATS_SIZE))
    struct.pack_into(ORDER + "I", r, 32, stats_type)
    return bytes(r)


def pattern(seed, size):
    return bytes((seed + i) & 0xFF for i in range(size))


def build(payload_cls, msg_id, entity_off, entity, number, mapping, given):
    """The payload of notification msg_id: its layout's defaults, then the fields given (name -> value);
    raises KeyError for a name the layout does not have."""
    size, fields = NOTIFS.get(msg_id, (DEFAULT_SIZE, []))
    known = {f[0] for f in fields}
    for name in given:
        if name not in known:
            raise KeyError(name)
    p = payload_cls(size)
    struct.pack_into(ORDER + "I", p.buf, 8, mapping)
    if msg_id not in NOTIFS:
        struct.pack_into(ORDER + "I", p.buf, 36, number)
    if entity_off is not None:
        struct.pack_into(ORDER + "I", p.buf, entity_off, entity)
    for name, off, fmt, default in fields:
        value = given.get(name, number if default is SEQ else default)
        if fmt == "protocol":
            if value:
                p.buf[off:off + PROTOCOL_SIZE] = protocol_attribute(value)
        elif fmt.startswith("text"):
            n = int(fmt[4:])
            p.buf[off:off + n] = str(value).encode()[:n - 1].ljust(n, b"\0")
        elif fmt.startswith("pattern"):
            n = int(fmt[7:])
            if value:
                p.buf[off:off + n] = pattern(value, n)
        elif fmt == "tail":
            # A text from off to its NUL, growing the record (rounded to 8).
            text = str(value).encode() + b"\0"
            p.buf[off:] = text + bytes(-(off + len(text)) % 8)
        elif fmt == "path":
            if value:
                p.add(off, str(value).encode() + b"\0")
        elif fmt == "profile":
            if value:
                p.add(off + 68, struct.pack(ORDER + "II8x", 2, 5) + str(value).encode()[:63].ljust(64, b"\0"))
        elif fmt == "stats":
            for t in ([] if not value else [int(v, 0) for v in str(value).split(",")]):
                p.add(off, nap_stats(t))
        else:
            struct.pack_into(ORDER + fmt, p.buf, off, value)
    return p.bytes()


def parse_fields(words):
    """name=value words: numbers where they read as numbers, else texts ('_' stands for a space)."""
    out = {}
    for w in words:
        name, sep, value = w.partition("=")
        if not sep or not name:
            raise ValueError("field %r" % w)
        try:
            out[name] = int(value, 0)
        except ValueError:
            out[name] = value.replace("_", " ")
    return out


# Commands: version at 24; (entity id offset, second id offset or None); further fields (name, offset,
# format). "ctx" in the second place: the caller value (user context 1's high half) is 0 or the second id.
def _cmd(version, entity, second=None, *more):
    return (version, entity, second, list(more))


LEG_TYPE = ("leg_type", "I")
COMMANDS = {
    0x0A010001: _cmd(1, 32, (36, "ctx"), ("option", 28, "B"), ("full_duplex", 40, "B")),  # JOIN
    0x0A010002: _cmd(1, 32, (36, "ctx")),                                                  # UNJOIN
    0x0A010017: _cmd(1, 28, None, ("leg_type", 32, "I"), ("protocol_present", 732, "B")),  # CALL_LEG_CREATE
    0x0A010018: _cmd(1, 32, None, ("leg_type", 36, "I"), ("protocol_present", 64, "B")),   # ACCEPT
    0x0A010019: _cmd(1, 32, None, ("leg_type", 36, "I"), ("protocol_present", 64, "B")),   # ALERT
    0x0A01001A: _cmd(1, 32, None, ("leg_type", 36, "I"), ("protocol_present", 64, "B")),   # ANSWER
    0x0A01001B: _cmd(1, 32, None, ("leg_type", 36, "I"), ("reason", 40, "I"), ("protocol_present", 56, "B")),
    0x0A01001D: _cmd(1, 32, None, ("type", 28, "I"), ("leg_type", 36, "I"), ("status", 180, "H")),  # SUPP_INFO
    0x0A01001E: _cmd(1, 28),                                                               # GET_STATS
    0x0A010020: _cmd(1, 28, None, ("listener_slot", 32, "B"), ("ivr_slot", 33, "B"), ("speaker_slots", 40, "I"),
                     ("dominant", 44, "I"), ("noise_floor", 48, "i"), ("gain_limit", 72, "i")),  # MIXER_CREATE
    0x0A010021: _cmd(1, 28),                                                               # MIXER_TERMINATE
    0x0A010023: _cmd(1, 28, None, ("speaker_slots", 40, "I"), ("dominant", 44, "I")),    # MIXER_SET_ATTRIBUTE
    0x0A010024: _cmd(1, 32, (36, None), ("listener", 40, "B"), ("speaker", 41, "B")),     # MIXER_LEG_JOIN
    0x0A010025: _cmd(1, 32, (36, None), ("from1to2", 40, "B"), ("from2to1", 41, "B")),    # MIXER_MIXER_JOIN
    0x0A010026: _cmd(1, 32, (36, None)),                                                   # MIXER_LEG_UNJOIN
    0x0A010027: _cmd(1, 36, (32, None)),                                                   # MIXER_MIXER_UNJOIN
    0x0A010042: _cmd(2, 28, None, ("flag", 104, "B")),                                     # MEDIA_PROFILE_CHANGE
    0x0A010051: _cmd(2, 28, None, ("index", 47, "B"), ("paused", 48, "B")),               # PLAY
    0x0A010052: _cmd(1, 28, None, ("paused", 102, "B")),                                   # RECORD
    0x0A010053: _cmd(2, 28, None, ("play", 32, "I"), ("record", 36, "I"), ("index", 40, "B")),  # PAUSE
    0x0A010054: _cmd(2, 28, None, ("play", 32, "I"), ("record", 36, "I"), ("index", 40, "B")),  # RESUME
    0x0A010055: _cmd(2, 28, None, ("play", 32, "I"), ("record", 36, "I"), ("index", 40, "B")),  # STOP
    0x0A010061: _cmd(1, 28, None, ("digits", 32, "text64")),                               # DIGIT_PLAY
    0x0A010062: _cmd(1, 28, None, ("first", 32, "I"), ("second", 40, "I")),              # DIGIT_COLLECT_START
    0x0A010063: _cmd(1, 28), 0x0A010071: _cmd(1, 28), 0x0A010072: _cmd(1, 28),
    0x0A010073: _cmd(1, 28, None, ("first", 32, "I")), 0x0A010074: _cmd(1, 28),
    0x0A010106: _cmd(1, 32, None, ("leg_type", 36, "I"), ("transfer_type", 168, "I"), ("number", 172, "text64")),
    0x0A010107: _cmd(1, 32, None, ("leg_type", 36, "I")),
    0x0A010108: _cmd(1, 32, None, ("leg_type", 36, "I"), ("reason", 168, "I")),
}


def _read(payload, off, fmt):
    if fmt.startswith("text"):
        n = int(fmt[4:])
        field = payload[off:off + n]
        if b"\0" not in field:
            raise ValueError("text at %d without its NUL" % off)
        return field.split(b"\0", 1)[0].decode("latin-1")
    return struct.unpack_from(ORDER + fmt, payload, off)[0]


def fields(msg_id, payload, ctx1):
    """The named fields of a command (version, entity, second id, the rest); {"error": ...} when short."""
    version, entity, second, more = COMMANDS[msg_id]
    try:
        out = {"version": _read(payload, 24, "I"), "entity": _read(payload, entity, "I")}
        if second is not None:
            out["second"] = _read(payload, second[0], "I")
        for name, off, fmt in more:
            out[name] = _read(payload, off, fmt)
    except (ValueError, struct.error) as e:
        return {"error": str(e)}
    return out


def check_fields(msg_id, payload, ctx1):
    """What is wrong in the fields of a command at their documented offsets: a list of short texts."""
    version, entity, second, _ = COMMANDS[msg_id]
    got = fields(msg_id, payload, ctx1)
    if "error" in got:
        return [got["error"]]
    bad = []
    if got["version"] != version:
        bad.append("version %d at 24, not %d" % (got["version"], version))
    if got["entity"] != ctx1 & 0xFFFFFFFF:
        bad.append("entity 0x%x at %d, not 0x%x" % (got["entity"], entity, ctx1 & 0xFFFFFFFF))
    if second is not None and second[1] == "ctx" and ctx1 >> 32 not in (0, got["second"]):
        bad.append("second id 0x%x at %d, not the caller value 0x%x" % (got["second"], second[0], ctx1 >> 32))
    if second is not None and got["second"] == 0:
        bad.append("no second id at %d" % second[0])
    for name in ("leg_type",):
        if name in got and got[name] not in (1, 2):
            bad.append("leg type %d" % got[name])
    return bad
