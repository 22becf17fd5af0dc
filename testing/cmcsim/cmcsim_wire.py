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

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "boardsim"))
from boardsim_host import TYPE_EVENT, TYPE_RESPONSE, build  # noqa: E402

LIB_REGISTER, HOST_STATES_GET, SYNC_COMPLETED = 0x0A020400, 0x0A020401, 0x0A020402
SET_LEG_OWNERSHIP, SET_LINK_OWNERSHIP = 0x0A020403, 0x0A020404
SET_MIXER_OWNERSHIP, SET_MIXER_LINK_OWNERSHIP = 0x0A020405, 0x0A020406
READY, NOTIF_LEG_SYNC, NOTIF_LINK_SYNC, NOT_READY, SYNC_STARTING = (0x0A020410, 0x0A020411, 0x0A020412,
                                                                   0x0A020413, 0x0A020414)
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


def ready_payload(build_number):
    """64 bytes: u32 1 at 24, the server's build number at 28, a zero element area at 32."""
    p = bytearray(64)
    struct.pack_into(ORDER + "II", p, 24, 1, build_number)
    return bytes(p)


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
        ("Server NotifLinkSync", lib_payload(56, ((24, 0), (32, 0x1234), (36, 0x1235), (40, 0x5001), (44, 0x5002)),
                                             ((48, join),))),
        ("Server NotifMixerLinkSync", lib_payload(64, ((24, 0), (32, 0x2222), (36, 0x1234), (40, 0x6001),
                                                       (44, 0x5001)), ((48, join), (56, join2)))),
    ]
    return ["%s: %s" % (name, payload.hex()) for name, payload in rows]


GOLDEN_FILES = (("to_server_payloads.txt", golden_lines), ("payload_records.txt", golden_records))

if __name__ == "__main__":
    # python3 cmcsim_wire.py write caf/classes/cmc/cmclib/tests/data   (both golden files)
    # python3 cmcsim_wire.py [records]                                  (one of them on stdout)
    if sys.argv[1:2] == ["write"] and len(sys.argv) == 3:
        for name, lines in GOLDEN_FILES:
            with open(os.path.join(sys.argv[2], name), "w") as f:
                f.write("\n".join(lines()) + "\n")
    else:
        print("\n".join(golden_records() if sys.argv[1:] == ["records"] else golden_lines()))
