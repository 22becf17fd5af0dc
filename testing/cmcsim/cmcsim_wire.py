"""Payloads of the call/media control server protocol (Python struct only).

Written from the protocol's message tables and docs/cmc-payloads.md, not
from the C++ library. Payloads travel in the sender's byte order (the host
library does not swap them); the stand-in runs on the same host as the
library, so little-endian here. The host message around them (88-byte
header, big-endian on the wire except serial and user contexts) is the
simulated board's: boardsim_host.build.

To-server messages (built zeroed at their size, u32 1 at 24):
  LibRegister 0x0A020400 (72): 28 library id, 32 u8 1, 33-36 the four flag
      bytes, 37 u8 1 when some server is ready
  HostStatesGet 0x0A020401 (104)      SyncCompleted 0x0A020402 (64)
  SetLegOwnership 0x0A020403 (96): 8 mapping id, 28 leg id
  SetLinkOwnership 0x0A020404 (88): 32 and 36 the two leg ids
  SetMixerOwnership 0x0A020405 (80): 8 mapping id, 28 mixer id
  SetMixerLinkOwnership 0x0A020406 (88): 32 and 36 the two entity ids
Server to library (docs/cmc-payloads.md): an answer copies the request's
payload, writes the result at 28 and the server's mapping id at 8; the
HostStatesGet answer carries the 72-byte state block at 32; READY is 64
bytes (build number at 28, the server's element area at 32, zero here);
NOT READY and SYNC_STARTING are 32 bytes.
"""
import struct
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "boardsim"))
sys.path.insert(0, os.path.join(HERE, "..", "golden", "cmc"))
from boardsim_host import TYPE_EVENT, TYPE_RESPONSE, build  # noqa: E402
# A fixed record followed by 32-bit-layout element sets (docs/msg-element-sets.md), and its end marker.
from cmc_attr_golden import MARKER, Payload as ElementPayload  # noqa: E402
sys.path.insert(0, HERE)
import cmcsim_layouts as layouts  # noqa: E402

LIB_REGISTER, HOST_STATES_GET, SYNC_COMPLETED = 0x0A020400, 0x0A020401, 0x0A020402
SET_LEG_OWNERSHIP, SET_LINK_OWNERSHIP = 0x0A020403, 0x0A020404
SET_MIXER_OWNERSHIP, SET_MIXER_LINK_OWNERSHIP = 0x0A020405, 0x0A020406
READY, NOTIF_LEG_SYNC, NOTIF_LINK_SYNC, NOT_READY, SYNC_STARTING = (0x0A020410, 0x0A020411, 0x0A020412,
                                                                   0x0A020413, 0x0A020414)
NOTIF_MIXER_SYNC, NOTIF_MIXER_LINK_SYNC = 0x0A020415, 0x0A020416
SIZES = {LIB_REGISTER: 72, HOST_STATES_GET: 104, SYNC_COMPLETED: 64, SET_LEG_OWNERSHIP: 96,
         SET_LINK_OWNERSHIP: 88, SET_MIXER_OWNERSHIP: 80, SET_MIXER_LINK_OWNERSHIP: 88}
NAMES = {LIB_REGISTER: "LibRegister", HOST_STATES_GET: "HostStatesGet", SYNC_COMPLETED: "SyncCompleted",
         SET_LEG_OWNERSHIP: "SetLegOwnership", SET_LINK_OWNERSHIP: "SetLinkOwnership",
         SET_MIXER_OWNERSHIP: "SetMixerOwnership", SET_MIXER_LINK_OWNERSHIP: "SetMixerLinkOwnership"}
RESULT_OK = 0x02000000
RESULT_STANDBY = 0x82000005
RESULT_VERSION = 0x82000020
STATE_BLOCK = 72
ORDER = "<"


def to_server(msg_id, **f):
    """The payload the library must send for msg_id, with the named fields."""
    p = bytearray(SIZES[msg_id])
    struct.pack_into(ORDER + "I", p, 24, 1)
    if msg_id == LIB_REGISTER:
        struct.pack_into(ORDER + "I", p, 28, f.get("lib_id", 0))
        p[32] = 1
        p[33:37] = bytes(f.get("flags", b"\0\0\0\0"))
        p[37] = 1 if f.get("any_ready") else 0
    elif msg_id in (SET_LEG_OWNERSHIP, SET_MIXER_OWNERSHIP):
        struct.pack_into(ORDER + "I", p, 8, f.get("mapping_id", 0))
        struct.pack_into(ORDER + "I", p, 28, f.get("entity_id", 0))
    elif msg_id in (SET_LINK_OWNERSHIP, SET_MIXER_LINK_OWNERSHIP):
        struct.pack_into(ORDER + "II", p, 32, f.get("id1", 0), f.get("id2", 0))
    return bytes(p)


def answer_payload(request_payload, result, mapping_id=None, state_block=None):
    """An answer's payload: the request's, result at 28, mapping id at 8, state block at 32."""
    p = bytearray(request_payload)
    if len(p) < 32:
        p += bytes(32 - len(p))
    struct.pack_into(ORDER + "I", p, 28, result & 0xFFFFFFFF)
    if mapping_id is not None:
        struct.pack_into(ORDER + "I", p, 8, mapping_id)
    if state_block is not None:
        p[32:32 + STATE_BLOCK] = state_block[:STATE_BLOCK].ljust(STATE_BLOCK, b"\0")
    return bytes(p)


def state_block(ready, legs, mixers):
    """The 72-byte server state block: u32 ready, u32 legs, u32 mixers, then zeros."""
    return struct.pack(ORDER + "III", 1 if ready else 0, legs, mixers).ljust(STATE_BLOCK, b"\0")


def ready_payload(build_number, stats=None):
    """64 bytes: u32 1 at 24, the server's build number at 28, a zero element area at 32; with stats
    (a list of statistics types, "2,3,7"), the set at 32 holds one 216-byte record per type and the
    element area and end marker follow."""
    if not stats:
        p = bytearray(64)
        struct.pack_into(ORDER + "II", p, 24, 1, build_number)
        return bytes(p)
    p = ElementPayload(64)
    struct.pack_into(ORDER + "II", p.buf, 24, 1, build_number)
    for t in str(stats).split(","):
        p.add(32, layouts.nap_stats(int(t, 0)))
    return p.bytes()


def lib_notification(size):
    """A notification the library builds itself: zeroed, u32 1 at 24."""
    p = bytearray(size)
    struct.pack_into(ORDER + "I", p, 24, 1)
    return bytes(p)


def entity_notification(entity, number):
    """40 bytes of a leg or mixer notification: word 7 (28) a number, word 8 (32) the entity."""
    return struct.pack(ORDER + "28xIII", number, entity, 0)


def event(msg_id, payload):
    """A whole server notification as a host message."""
    return build(msg_id, TYPE_EVENT, payload)


def answer(msg_id, payload, serial_raw, ctx1_raw, ctx2_raw):
    return build(msg_id, TYPE_RESPONSE, payload, serial_raw, ctx1_raw, ctx2_raw)


def golden_lines():
    """The golden to-server payloads of the library's tests: name, then hex."""
    rows = [
        ("LibRegister lib 7777 flags 01 00 00 09 none ready", to_server(LIB_REGISTER, lib_id=7777,
                                                                        flags=b"\x01\x00\x00\x09")),
        ("LibRegister lib 7777 flags 01 00 00 09 one ready", to_server(LIB_REGISTER, lib_id=7777,
                                                                       flags=b"\x01\x00\x00\x09", any_ready=1)),
        ("HostStatesGet", to_server(HOST_STATES_GET)),
        ("SyncCompleted", to_server(SYNC_COMPLETED)),
        ("SetLegOwnership map 0x5001 leg 0x1234", to_server(SET_LEG_OWNERSHIP, mapping_id=0x5001,
                                                             entity_id=0x1234)),
        ("SetLinkOwnership 0x1234 0x1235", to_server(SET_LINK_OWNERSHIP, id1=0x1234, id2=0x1235)),
        ("SetMixerOwnership map 0x6001 mixer 0x2222", to_server(SET_MIXER_OWNERSHIP, mapping_id=0x6001,
                                                                 entity_id=0x2222)),
        ("SetMixerLinkOwnership 0x2222 0x1234", to_server(SET_MIXER_LINK_OWNERSHIP, id1=0x2222, id2=0x1234)),
        ("Ready notification built by the library", lib_notification(64)),
        ("Not-ready notification", lib_notification(32)),
    ]
    return ["%s: %s" % (name, payload.hex()) for name, payload in rows]


# Payload records, from the message tables: leg description, call-leg and
# media-only attributes, media profile, protocol attribute, mixer
# description, and the resynchronisation payloads that carry them.
def _put(p, off, fmt, *values):
    struct.pack_into(ORDER + fmt, p, off, *values)
    return p


def _text(value, size):
    """A fixed text field: at most size-1 characters, NUL-padded."""
    return value.encode()[:size - 1].ljust(size, b"\0")


def media_profile(description=b"", elements=0):
    """72 bytes: the 64-byte media description, u8 0 at 64, the element-set head at 68."""
    return bytes(_put(bytearray(description.ljust(64, b"\0")[:64]) + bytes(8), 68, "I", elements))


def call_leg_attribute(f):
    """668 bytes: the numbers, displays, plans and addresses at their offsets, profile at 592."""
    p = bytearray(668)
    for off, size, key in ((0, 64, "called"), (84, 64, "calling"), (152, 128, "calling_display"),
                           (308, 128, "private_display"), (440, 64, "private_address"), (520, 32, "nap")):
        p[off:off + size] = _text(f.get(key, ""), size)
    for off, key in ((64, "called_noa"), (68, "called_npi"), (148, "calling_display_type"),
                     (284, "calling_category"), (288, "calling_noa"), (292, "calling_npi"),
                     (296, "calling_presentation"), (300, "calling_screening"), (304, "private_display_type"),
                     (664, "protocol")):
        _put(p, off, "I", f.get(key, 0))
    _put(p, 504, "BB", f.get("oli_present", 0), f.get("oli", 0))
    p[592:664] = f.get("profile", media_profile())
    return bytes(p)


def media_only_leg_attribute(nap, profile):
    """144 bytes: the network access point in 32 bytes, carried bytes to 71, profile at 72."""
    return _text(nap, 32) + bytes(40) + profile


def leg(leg_id, leg_type, attribute=b"", update=(0, 0, 0, 0)):
    """692 bytes: leg id, leg type, the attribute at 8, the call-leg update at 680."""
    p = _put(bytearray(692), 0, "II", leg_id, leg_type)
    p[8:8 + len(attribute)] = attribute
    if leg_type == 1:
        _put(p, 680, "IIBB", *update)
    return bytes(p)


def mixer(listener, ivr, playback, active_slots, dominant, noise_floor, suppression, target, loss, gain):
    """44 bytes: u8 flags at 0-2, u32 at 8 and 12, i32 at 16, 20, 32, 36, 40."""
    p = _put(bytearray(44), 0, "BBB", listener, ivr, playback)
    _put(p, 8, "IIii", active_slots, dominant, noise_floor, suppression)
    return bytes(_put(p, 32, "iii", target, loss, gain))


def protocol_attribute(ptype, generic=0, data=0, body_type=1, status=0, status_arg=0, trans_id=0):
    """128 bytes: present at 0, type at 4, generic headers at 8, protocol data at 24,
    SIP body type at 28, status code at 116 and its byte at 118, transaction id at 124."""
    p = _put(bytearray(128), 0, "B", 1)
    _put(p, 4, "II", ptype, generic)
    _put(p, 24, "II", data, body_type)
    _put(p, 116, "HB", status, status_arg)
    return bytes(_put(p, 124, "I", trans_id))


def lib_payload(size, head=(), body=((32, b""),)):
    """A payload of the library's: u32 1 at 24, (offset, u32) pairs of the head, bytes at offsets."""
    p = bytearray(lib_notification(size))
    for off, value in head:
        _put(p, off, "I", value)
    for off, data in body:
        p[off:off + len(data)] = data
    return bytes(p)


def golden_records():
    """Payload records filled field by field: name, then hex."""
    profile = media_profile(b"\x11" * 64, 0x48)
    call = call_leg_attribute(dict(called="0123456789" * 7, called_noa=3, called_npi=1, calling="5550100",
                                   calling_display="Front desk", calling_display_type=2, calling_category=10,
                                   calling_noa=4, calling_npi=9, calling_presentation=1, calling_screening=3,
                                   private_display_type=5, private_display="Private", private_address="sip:a@b",
                                   oli_present=1, oli=62, nap="nap-7", profile=profile, protocol=2))
    join, join2 = bytes(range(1, 9)), bytes(range(0x21, 0x29))
    mix = mixer(1, 1, 0, 2, 3, -30, 30, -5, -10, 5)
    rows = [
        ("Leg sync notification, call leg", lib_payload(744, ((8, 0x5001), (12, 0x0C), (20, 0x14)), (
            (32, leg(0x1234, 1, call, (2, 7, 1, 1))), (736, struct.pack(ORDER + "II", 0x300, 0x388))))),
        ("Leg sync notification, media-only leg", lib_payload(744, ((8, 0x5002),), (
            (32, leg(0x1235, 2, media_only_leg_attribute("media-nap-0123456789-0123456789-overflow", profile))),))),
        ("Leg terminated notification", lib_payload(40, ((32, 0x1234),))),
        ("Link sync notification", lib_payload(48, ((32, 0x1234), (36, 0x1235)), ((40, join),))),
        ("Mixer sync notification", lib_payload(128, ((8, 0x6001), (28, 0x2222)), (
            (32, mix), (120, struct.pack(ORDER + "II", 0x80, 0x90))))),
        ("Mixer link sync notification", lib_payload(56, ((32, 0x2222), (36, 0x2223)), ((48, join2),))),
        ("Protocol attribute, SIP 183", protocol_attribute(2, 0x10, 0x20, 2, 183, 1, 0xC0000001)),
        ("Server NotifLinkSync", notif_link_sync(0x1234, 0x1235, 0x5001, 0x5002, join)),
        ("Server NotifMixerLinkSync", notif_mixer_link_sync(0x2222, 0x1234, 0x6001, 0x5001, join, join2)),
    ]
    return ["%s: %s" % (name, payload.hex()) for name, payload in rows]


# Application commands and server notifications, from the message catalogue. A command travels with
# kind 1 and user context 1 = (tag << 32) | entity id; its payload is the structure of the size below,
# then (+E) an element set opened right after it: used payload = round8(size) + the set, ending in
# the 32-bit layout's end marker (docs/msg-element-sets.md). PLAY carries exactly its play elements:
# 56 bytes alone, or 56 + the elements ending in the marker.
PLAY = 0x0A010051
CREATES = (0x0A010017, 0x0A010020)  # the two commands whose answer gives the server's mapping id
COMMANDS = {  # id: (name, structure size)
    0x0A010001: ("JOIN", 56), 0x0A010002: ("UNJOIN", 48),
    0x0A010017: ("CALL_LEG_CREATE", 872), 0x0A010018: ("CALL_LEG_ACCEPT", 192),
    0x0A010019: ("CALL_LEG_ALERT", 192), 0x0A01001A: ("CALL_LEG_ANSWER", 192),
    0x0A01001B: ("CALL_LEG_TERMINATE", 184), 0x0A01001D: ("CALL_SUPP_INFO", 192),
    0x0A01001E: ("GET_STATS", 40), 0x0A010020: ("MIXER_CREATE", 152),
    0x0A010021: ("MIXER_TERMINATE", 64), 0x0A010023: ("MIXER_SET_ATTRIBUTE", 152),
    0x0A010024: ("MIXER_LEG_JOIN", 80), 0x0A010025: ("MIXER_MIXER_JOIN", 80),
    0x0A010026: ("MIXER_LEG_UNJOIN", 72), 0x0A010027: ("MIXER_MIXER_UNJOIN", 72),
    0x0A010042: ("MEDIA_PROFILE_CHANGE", 112), PLAY: ("PLAY", 56),
    0x0A010052: ("RECORD", 112), 0x0A010053: ("PAUSE", 48),
    0x0A010054: ("RESUME", 48), 0x0A010055: ("STOP", 48),
    0x0A010061: ("DIGIT_PLAY", 96), 0x0A010062: ("DIGIT_COLLECT_START", 48),
    0x0A010063: ("DIGIT_COLLECT_STOP", 32), 0x0A010071: ("EVENT_PLAY", 40),
    0x0A010072: ("EVENT_CANCEL", 32), 0x0A010073: ("EVENT_COLLECT_START", 48),
    0x0A010074: ("EVENT_COLLECT_STOP", 32), 0x0A010106: ("CALL_TRANSFER_REQUEST", 256),
    0x0A010107: ("CALL_TRANSFER_PROGRESS", 168), 0x0A010108: ("CALL_TRANSFER_RESPONSE", 184),
}
CALL_OFFER = 0x0A010011
# Where a server notification names its entity: "ctx" the low half of user context 1, "w7" payload 28,
# "w8" payload 32; the call offer carries the new leg's id at 32 (0: the library picks) and the mapping id at 8.
NOTIF_KEYS = dict([(i, "ctx") for i in (0x0A010003, 0x0A010041)] +
                  [(i, "w8") for i in (0x0A010004, 0x0A010005, 0x0A010012, 0x0A010013, 0x0A010014, 0x0A010015,
                                       0x0A010016, 0x0A01001C, 0x0A010035, 0x0A010036, 0x0A010037, 0x0A010038,
                                       0x0A010101, 0x0A010102, 0x0A010103)] +
                  [(i, "w7") for i in (0x0A01001F, 0x0A010030, 0x0A010032, 0x0A010033, 0x0A010034, 0x0A010044,
                                       0x0A010056, 0x0A010057, 0x0A010064, 0x0A010065, 0x0A010075, 0x0A010076,
                                       0x0A010091)] + [(CALL_OFFER, "w8")])


def round8(n):
    return n + (-n % 8)


def check_command(msg_id, kind, plen, payload, ctx1, fields=True):
    """What is wrong with a command as the library forwarded it: a list of short texts (empty: sound).
    fields: its fields at their offsets too (cmcsim_layouts), not only its shape."""
    name, size = COMMANDS[msg_id]
    bad = []
    if kind != 1:
        bad.append("kind %d" % kind)
    if len(payload) != plen:
        bad.append("payload %d of %d bytes" % (len(payload), plen))
    if ctx1 & 0xFFFFFFFF == 0:
        bad.append("no entity id in user context 1")
    with_set = msg_id != PLAY or plen > size
    least = round8(size) + len(MARKER) if with_set else size
    if plen < least:
        bad.append("used payload %d below %d" % (plen, least))
    elif with_set and (plen % 8 or payload[plen - 8:plen] != MARKER):
        bad.append("no element-set end marker at %d" % (plen - 8))
    elif fields:
        bad += layouts.check_fields(msg_id, payload, ctx1)
    return ["%s: %s" % (name, b) for b in bad]


REFUSED_CREATE_REASON = 47  # resource unavailable: the call reason a refused CALL_LEG_CREATE answer gives at 36
CREATE_PROTOCOL_AT = 28 + 8 + 664  # the call-leg attribute's protocol type in CALL_LEG_CREATE


def command_answer(msg_id, payload, result, mapping):
    """The answer's payload: the command's, result at 28, mapping id at 8 unless mapping is None. A
    CALL_LEG_CREATE answer gives the call's protocol type at 32 (the one its call-leg attribute asked
    for; 0 for another leg type) and, refused, its call reason at 36."""
    p = answer_payload(payload, result, mapping_id=mapping)
    if msg_id == CREATES[0] and len(p) >= CREATE_PROTOCOL_AT + 4:
        (leg_type,) = struct.unpack_from(ORDER + "I", p, 32)
        (protocol,) = struct.unpack_from(ORDER + "I", p, CREATE_PROTOCOL_AT)
        reason = REFUSED_CREATE_REASON if result & 0x80000000 else 0
        p = p[:32] + struct.pack(ORDER + "II", protocol if leg_type == 1 else 0, reason) + p[40:]
    return p


def plain_notification(msg_id, entity, number=0, mapping=0):
    """(payload, user context 1) of 40 bytes: the entity where the catalogue keys it, the mapping id
    at 8, the number at 36 (--plain: for the core library's tests, which read no client payload)."""
    key = NOTIF_KEYS[msg_id]
    p = bytearray(40)
    _put(p, 8, "I", mapping)
    _put(p, 36, "I", number)
    if key != "ctx":
        _put(p, 28 if key == "w7" else 32, "I", entity)
    return bytes(p), (entity if key == "ctx" else 0)


def notification(msg_id, entity, number=0, mapping=0, fields=None):
    """(payload, user context 1) of a server notification naming entity where the catalogue keys it:
    its full layout (cmcsim_layouts.NOTIFS) with the fields given; the mapping id at 8."""
    key = NOTIF_KEYS[msg_id]
    off = None if key == "ctx" else 28 if key == "w7" else 32
    return layouts.build(ElementPayload, msg_id, off, entity, number, mapping, fields or {}), (
        entity if key == "ctx" else 0)


def walk_set(payload, set_off):
    """The (data offset, size) of each element of the set whose word is at set_off, checked as the
    layout page says; raises ValueError on a set that does not hold."""
    end = len(payload) - 8
    if len(payload) % 8 or payload[end:] != MARKER:
        raise ValueError("no end marker")
    (word,) = struct.unpack_from(">I", payload, set_off)
    if word == 0:
        return []
    count, dist = (word >> 16) & 0x7FFF, word & 0xFFFF
    if not word & 0x80000000 or count == 0 or dist == 0:
        raise ValueError("set word 0x%08x" % word)
    out, at = [], set_off + 4 * dist
    for i in range(count):
        if at % 8 or at + 8 > end:
            raise ValueError("element %d header at %d" % (i, at))
        size, nxt = struct.unpack_from(">II", payload, at)
        if at + 8 + size > end or size > 65535:
            raise ValueError("element %d of %d bytes at %d" % (i, size, at))
        out.append((at + 8, size))
        if (nxt == 0) != (i == count - 1) or (nxt and nxt < round8(8 + size)):
            raise ValueError("element %d link %d" % (i, nxt))
        at += nxt
    return out


def play_attribute(p, set_off, urls, index=0):
    """One play attribute element (20-byte record: its set of play files at 0, play index at 15) with a
    play-file element per URL (three u32 parameters, the URL and its NUL: URL length + 16 bytes)."""
    at = p.add(set_off, bytes(15) + bytes([index]) + bytes(4))
    for n, u in enumerate(urls):
        p.add(at, struct.pack(ORDER + "III", n + 1, 0, 0xFFFFFFFF) + u.encode() + bytes(4))


def record_attribute(p, set_off, urls):
    """One record attribute element (80-byte record: its set of URL elements at 0)."""
    at = p.add(set_off, bytes(80))
    for u in urls:
        p.add(at, u.encode() + b"\0")


def sync_media(p, play_off, record_off, entity):
    """The play and record sets of a sync notification, named after the entity."""
    play_attribute(p, play_off, ["file:///media/%x-a.wav" % entity, "http://media.local/%x-b.wav" % entity], 1)
    record_attribute(p, record_off, ["file:///rec/%x.wav" % entity])


def profile_with_name(p, profile_off, name):
    """Element of type 2 (u32 5, 8 zero bytes, char[64]) in the media profile's set at profile_off + 68."""
    p.add(profile_off + 68, struct.pack(ORDER + "II8x", 2, 5) + _text(name, 64))


def notif_leg_sync(leg_id, mapping_id, leg_type=1):
    """NotifLegSync (752 bytes and elements): mapping id at 8, 12-23 carried, the leg at 32 (its id the
    payload's word 8), play set at 744, record set at 748; the leg's profile holds a name element."""
    p = ElementPayload(752)
    _put(p.buf, 8, "IIII", mapping_id, 0x0C, 0x10, 0x14)
    if leg_type == 1:
        attr = call_leg_attribute(dict(called="2000", calling="1000", calling_display="leg %x" % leg_id,
                                       nap="nap-%x" % leg_id, protocol=2))
    else:
        attr = media_only_leg_attribute("media-%x" % leg_id, media_profile())
    p.buf[32:32 + 692] = leg(leg_id, leg_type, attr, (1, 2, 1, 0) if leg_type == 1 else (0, 0, 0, 0))
    profile_with_name(p, 32 + 8 + (592 if leg_type == 1 else 72), "profile %x" % leg_id)
    sync_media(p, 744, 748, leg_id or mapping_id)
    return p.bytes()


def notif_mixer_sync(mixer_id, mapping_id):
    """NotifMixerSync (136 bytes and elements): mapping id at 8, mixer id at 28, the mixer at 32, play
    set at 128, record set at 132."""
    p = ElementPayload(136)
    _put(p.buf, 8, "IIII", mapping_id, 0x0C, 0x10, 0x14)
    _put(p.buf, 28, "I", mixer_id)
    p.buf[32:76] = mixer(1, 0, 1, 4, 2, -40, 20, -10, -6, 6)
    sync_media(p, 128, 132, mixer_id or mapping_id)
    return p.bytes()


def notif_link_sync(id1, id2, map1, map2, join=bytes(range(1, 9))):
    """NotifLinkSync (56): leg ids 32, 36; mapping ids 40, 44; join attribute 48."""
    return lib_payload(56, ((24, 0), (32, id1), (36, id2), (40, map1), (44, map2)), ((48, join),))


def notif_mixer_link_sync(mixer_id, entity_id, mixer_map, entity_map, leg_join=bytes(range(1, 9)),
                          mixer_join=bytes(range(0x21, 0x29))):
    """NotifMixerLinkSync (64): ids 32, 36; mapping ids 40, 44; mixer-leg join 48, mixer-mixer join 56."""
    return lib_payload(64, ((24, 0), (32, mixer_id), (36, entity_id), (40, mixer_map), (44, entity_map)),
                       ((48, leg_join), (56, mixer_join)))


def golden_server_sync():
    """Server-built resynchronisation messages with their element sets: name, then hex."""
    rows = [
        ("NotifLegSync call leg 0x1234 map 0x5001", notif_leg_sync(0x1234, 0x5001)),
        ("NotifLegSync media-only leg id 0 map 0x5002", notif_leg_sync(0, 0x5002, 2)),
        ("NotifMixerSync mixer 0x2222 map 0x6001", notif_mixer_sync(0x2222, 0x6001)),
        ("Call offer leg 0 map 0x5003", notification(CALL_OFFER, 0, 1, 0x5003)[0]),
    ]
    return ["%s: %s" % (name, payload.hex()) for name, payload in rows]


GOLDEN_FILES = (("to_server_payloads.txt", golden_lines), ("payload_records.txt", golden_records),
                ("server_sync_payloads.txt", golden_server_sync))

if __name__ == "__main__":
    # python3 cmcsim_wire.py write cmc/lib/tests/data   (both golden files)
    # python3 cmcsim_wire.py [records]                  (one of them on stdout)
    if sys.argv[1:2] == ["write"] and len(sys.argv) == 3:
        for name, lines in GOLDEN_FILES:
            with open(os.path.join(sys.argv[2], name), "w") as f:
                f.write("\n".join(lines()) + "\n")
    else:
        print("\n".join(golden_records() if sys.argv[1:] == ["records"] else golden_lines()))
