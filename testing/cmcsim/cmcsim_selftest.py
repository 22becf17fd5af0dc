#!/usr/bin/env python3
"""Self-test of the stand-in call/media control server (run by ctest): the
command check, the element sets of the resynchronisation payloads read back
with an independent walk, and the server's answers, notifications, script
and ownership matching over a 127.0.0.1 connection standing for the library's link.
Standard library only; no network beyond 127.0.0.1 sockets of port 0."""
import argparse
import json
import os
import socket
import struct
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import cmcsim  # noqa: E402
import cmcsim_wire as cw  # noqa: E402
import cmcsim_layouts as layouts  # noqa: E402
sys.path.insert(0, os.path.join(HERE, "..", "golden", "cmc"))
import cmc_attr_golden as golden  # noqa: E402
from boardsim_host import HEADER, TYPE_REQUEST, build, parse_header  # noqa: E402
from boardsim_selftest import held  # noqa: E402

CREATE, STOP = 0x0A010017, 0x0A010055


def sound(msg_id, payload, ctx1):
    """The payload with the version, the entity id (and a second id, a leg type) where the command has them."""
    p = bytearray(payload)
    version, entity, second, more = layouts.COMMANDS[msg_id]
    struct.pack_into("<II", p, 24, version, 0)
    struct.pack_into("<I", p, entity, ctx1 & 0xFFFFFFFF)
    if second is not None:
        struct.pack_into("<I", p, second[0], (ctx1 >> 32) or 0x99)
    for name, off, fmt in more:
        if name == "leg_type":
            struct.pack_into("<I", p, off, 1)
    return bytes(p)


def command(msg_id, size, elements=b"", ctx1=(7 << 32) | 0x1234, kind=TYPE_REQUEST, marker=cw.MARKER):
    """A command as the library forwards it: structure (its fields sound), element bytes, end marker."""
    payload = bytearray(sound(msg_id, bytes(cw.round8(size)) + elements + marker, ctx1))
    if msg_id == CREATE and size > cw.CREATE_PROTOCOL_AT:
        struct.pack_into("<I", payload, cw.CREATE_PROTOCOL_AT, 3)  # an ISDN call
    return build(msg_id, kind, bytes(payload), struct.pack(">I", 9), struct.pack("<Q", ctx1), struct.pack("<Q", 5))


class CommandCheck(unittest.TestCase):
    def test_rows(self):
        rows = [  # name, message id, payload, kind, user context 1, expected texts
            ("create with an empty set", CREATE, bytes(872) + cw.MARKER, 1, 0x11, []),
            ("create with an element", CREATE, bytes(872) + bytes(16) + cw.MARKER, 1, 0x11, []),
            ("create short", CREATE, bytes(864) + cw.MARKER, 1, 0x11, ["used payload 872 below 880"]),
            ("create without marker", CREATE, bytes(880), 1, 0x11, ["no element-set end marker at 872"]),
            ("create of 884 bytes", CREATE, bytes(876) + cw.MARKER, 1, 0x11, ["no element-set end marker at 876"]),
            ("response kind, no entity", STOP, bytes(48) + cw.MARKER, 2, 7 << 32,
             ["kind 2", "no entity id in user context 1"]),
            ("play alone", cw.PLAY, bytes(56), 1, 0x11, []),
            ("play with elements", cw.PLAY, bytes(56) + bytes(24) + cw.MARKER, 1, 0x11, []),
            ("play of 60 bytes", cw.PLAY, bytes(60), 1, 0x11, ["used payload 60 below 64"]),
            ("play of 72 bytes", cw.PLAY, bytes(72), 1, 0x11, ["no element-set end marker at 64"]),
            ("play short", cw.PLAY, bytes(48), 1, 0x11, ["used payload 48 below 56"]),
        ]
        for name, msg_id, payload, kind, ctx1, want in rows:
            prefix = cw.COMMANDS[msg_id][0] + ": "
            payload = sound(msg_id, payload, ctx1) if len(payload) >= 48 else payload
            got = cw.check_command(msg_id, kind, len(payload), payload, ctx1)
            self.assertEqual(got, [prefix + w for w in want], name)
        self.assertEqual(cw.check_command(STOP, 1, 64, bytes(56), 1), ["STOP: payload 56 of 64 bytes",
                                                                         "STOP: no element-set end marker at 56"])

    def test_fields_at_their_offsets(self):
        rows = [  # name, message id, structure size, (offset, format, value) written after sound(), texts
            ("accept sound", 0x0A010018, 192, (), []),
            ("accept version 2", 0x0A010018, 192, ((24, "I", 2),), ["version 2 at 24, not 1"]),
            ("accept of another leg", 0x0A010018, 192, ((32, "I", 0x77),), ["entity 0x77 at 32, not 0x1234"]),
            ("profile change version 1", 0x0A010042, 112, ((24, "I", 1),), ["version 1 at 24, not 2"]),
            ("terminate leg type 0", 0x0A01001B, 184, ((36, "I", 0),), ["leg type 0"]),
            ("join second id not the caller value", 0x0A010001, 56, ((36, "I", 0x55),),
             ["second id 0x55 at 36, not the caller value 0x7"]),
            ("unjoin sent without caller value", 0x0A010002, 48, (), []),
            ("mixer unjoin: this mixer second", 0x0A010027, 72, ((36, "I", 0x2222),), ["entity 0x2222 at 36, not 0x1234"]),
            ("mixer-leg join without leg", 0x0A010024, 80, ((36, "I", 0),), ["no second id at 36"]),
            ("digits without NUL", 0x0A010061, 96, ((32, "64s", b"9" * 64),), ["text at 32 without its NUL"]),
        ]
        for name, msg_id, size, pokes, want in rows:
            ctx1 = (0 if msg_id == 0x0A010002 else 7 << 32) | 0x1234
            p = bytearray(sound(msg_id, bytes(cw.round8(size)) + cw.MARKER, ctx1))
            for off, fmt, value in pokes:
                struct.pack_into("<" + fmt, p, off, value)
            got = cw.check_command(msg_id, 1, len(p), bytes(p), ctx1)
            self.assertEqual(got, [cw.COMMANDS[msg_id][0] + ": " + w for w in want], name)
        p = sound(0x0A01001B, bytes(184) + cw.MARKER, 0x1234)
        p = p[:40] + struct.pack("<I", 41) + p[44:]
        self.assertEqual(layouts.fields(0x0A01001B, p, 0x1234), {"version": 1, "entity": 0x1234, "leg_type": 1,
                                                                 "reason": 41, "protocol_present": 0})


class SyncPayloads(unittest.TestCase):
    def elements(self, payload, set_off):
        return [payload[at:at + size] for at, size in cw.walk_set(payload, set_off)]

    def media(self, payload, play_off, record_off, entity):
        """Play and record sets: one attribute each, with their files read back from the nested sets."""
        (play,), (record,) = self.elements(payload, play_off), self.elements(payload, record_off)
        self.assertEqual((len(play), play[15], len(record)), (20, 1, 80))
        play_at = cw.walk_set(payload, play_off)[0][0]
        files = [payload[at:at + size] for at, size in cw.walk_set(payload, play_at)]
        self.assertEqual([struct.unpack_from("<I", f)[0] for f in files], [1, 2])
        self.assertEqual([f[12:].rstrip(b"\0").decode() for f in files],
                         ["file:///media/%x-a.wav" % entity, "http://media.local/%x-b.wav" % entity])
        self.assertEqual([len(f) for f in files], [len(f[12:].rstrip(b"\0")) + 16 for f in files])
        rec_at = cw.walk_set(payload, record_off)[0][0]
        self.assertEqual(self.elements(payload, rec_at), [b"file:///rec/%x.wav\0" % entity])

    def test_leg_sync_of_both_kinds(self):
        for leg_id, mapping, kind, profile_set in ((0x1234, 0x5001, 1, 700), (0, 0x5002, 2, 180)):
            p = cw.notif_leg_sync(leg_id, mapping, kind)
            self.assertEqual(struct.unpack_from("<IIIII", p, 8), (mapping, 0x0C, 0x10, 0x14, 0))
            self.assertEqual(struct.unpack_from("<II", p, 32), (leg_id, kind))
            (name,) = self.elements(p, profile_set)
            self.assertEqual(struct.unpack_from("<II", name) + (name[16:].rstrip(b"\0"),),
                             (2, 5, b"profile %x" % leg_id))
            self.media(p, 744, 748, leg_id or mapping)

    def test_mixer_sync(self):
        p = cw.notif_mixer_sync(0x2222, 0x6001)
        self.assertEqual(struct.unpack_from("<I16xI", p, 8), (0x6001, 0x2222))
        self.assertEqual(p[32:76], cw.mixer(1, 0, 1, 4, 2, -40, 20, -10, -6, 6))
        self.media(p, 128, 132, 0x2222)

    def test_notification_layouts(self):
        """Each layout at its size (rounded to 8, element area, marker), the fields given at their offsets."""
        proto = lambda at: ((at, "B", 1), (at + 4, "I", 2), (at + 116, "H", 183))  # noqa: E731
        rows = [  # id, fields, size with marker, (offset, format, value) read back
            (0x0A010013, dict(protocol=183), 200, ((32, "I", 0x77), (36, "I", 1)) + proto(64)),
            (0x0A010016, dict(reason=486, protocol=183), 192, ((32, "I", 0x77), (40, "I", 486)) + proto(56)),
            (0x0A010015, {}, 192, ((40, "I", 16), (56, "B", 0))),
            (0x0A01001C, dict(type=5, echo=1), 200, ((28, "I", 5), (49, "B", 1), (64, "B", 0))),
            (0x0A01001F, dict(reason=2, stats=7), 176, ((28, "I", 0x77), (36, "I", 2), (40, "B", 7), (167, "B", 134))),
            (0x0A010044, dict(call_reason=16, media_reason=3), 120, ((28, "I", 0x77), (32, "I", 16), (36, "I", 3))),
            (0x0A010091, dict(code=0x8200000F, text="Disk full", detail=1), 416,
             ((36, "I", 0x8200000F), (40, "10s", b"Disk full\0"), (295, "B", 0), (296, "B", 1), (403, "B", 108))),
            (0x0A010034, dict(code=9, text="x" * 300), 1376, ((28, "I", 0x77), (36, "I", 9), (294, "B", 120),
                                                            (295, "B", 0), (296, "B", 0))),
            (0x0A010101, dict(number="5550199", noa=3, protocol=183), 264,
             ((32, "I", 0x77), (168, "I", 1), (172, "8s", b"5550199\0"), (236, "I", 3)) + proto(40)),
            (0x0A010103, dict(reason=17), 192, ((40, "B", 0), (168, "I", 17))),
            (0x0A010056, dict(index=3, reason=5, record=1), 56, ((24, "I", 2), (32, "I", 1), (36, "I", 1),
                                                                  (40, "I", 5), (44, "B", 3))),
            (0x0A010064, dict(digits="123#"), 56, ((28, "I", 0x77), (32, "I", 1), (40, "5s", b"123#\0"))),
            (0x0A010075, dict(event="A"), 48, ((28, "I", 0x77), (32, "2s", b"A\0"))),
            (0x0A010035, dict(other=0x55), 48, ((32, "I", 0x77), (36, "I", 0x55))),
            (0x0A010004, {}, 48, ((32, "I", 0x77), (36, "I", 3))),  # the other id numbered
        ]
        for msg_id, fields, size, reads in rows:
            p, _ = cw.notification(msg_id, 0x77, 3, 0, fields)
            self.assertEqual((len(p), p[-8:]), (size, cw.MARKER), hex(msg_id))
            for off, fmt, value in reads:
                self.assertEqual(struct.unpack_from("<" + fmt, p, off)[0], value, "%x at %d" % (msg_id, off))
        started, _ = cw.notification(0x0A010057, 0x77, 1, 0, dict(path="/m/a.wav", host=0x1122334455, index=2))
        (at, size), = cw.walk_set(started, 36)
        self.assertEqual((started[at:at + size], struct.unpack_from("<Q", started, 40)[0], started[35]),
                         (b"/m/a.wav\0", 0x1122334455, 2))
        offer, _ = cw.notification(cw.CALL_OFFER, 0, 1, 0x5003, dict(calling="5550100", stats="2,3"))
        self.assertEqual([struct.unpack_from("<I", offer, a + 32)[0] for a, _ in cw.walk_set(offer, 28)], [2, 3])
        self.assertEqual((offer[124:132], struct.unpack_from("<I", offer, 36)[0]), (b"5550100\0", 1))
        ready = cw.ready_payload(7, "2,7")
        self.assertEqual([ready[a:a + n] for a, n in cw.walk_set(ready, 32)], [layouts.nap_stats(2), layouts.nap_stats(7)])
        with self.assertRaises(KeyError):
            cw.notification(0x0A010013, 0x77, 1, 0, dict(reason=1))
        # --plain: 40 bytes, the entity where keyed, the number at 36, no element area.
        plain, _ = cw.plain_notification(0x0A010012, 0x77, 3, 0x5009)
        self.assertEqual(plain, struct.pack("<8xI16xIII", 0x5009, 0, 0x77, 3))

    def test_walk_refuses_broken_sets(self):
        good = bytearray(cw.notif_mixer_sync(0x2222, 0x6001))
        (first_at, _), = cw.walk_set(good, 128)
        rows = [("marker gone", len(good) - 1, 0), ("size past the end", first_at - 8 + 1, 0x40),
                ("link backwards", first_at - 4, 0xFF), ("count of two", 129, 0x02)]
        for name, at, value in rows:
            bad = bytearray(good)
            bad[at] = value
            with self.assertRaises(ValueError, msg=name):
                cw.walk_set(bytes(bad), 128)

    def test_notification_keys(self):
        rows = [(0x0A010012, 28, 32), (0x0A010030, 32, 28), (cw.CALL_OFFER, 28, 32)]
        for msg_id, empty, entity in rows:
            p, ctx1 = cw.notification(msg_id, 0x77, 3, 0x5009)
            self.assertEqual(struct.unpack_from("<I", p, entity)[0], 0x77, hex(msg_id))
            self.assertEqual(struct.unpack_from("<IIII", p, 8)[0::3] + (p[empty:empty + 4], ctx1),
                             (0x5009, 0, bytes(4), 0), hex(msg_id))
        p, ctx1 = cw.notification(0x0A010041, 0x77, 3)
        self.assertEqual((p[28:36], ctx1, struct.unpack_from("<I", p, 36)[0]), (bytes(8), 0x77, 3))


class ServerOverALink(unittest.TestCase):
    def setUp(self):
        args = argparse.Namespace(udp_port=0, peer_port=1, control_port=0, name="cmc_server", host_name="cmcsim",
                                  unique_id=1, host_context=1, register="ok", lifetime=1.0,
                                  plain=False)
        self.server = cmcsim.Server(args)
        with socket.create_server(("127.0.0.1", 0)) as listener:
            self.lib = socket.create_connection(listener.getsockname())
            self.link = self.server.add_link(listener.accept()[0])
        self.lib.settimeout(2.0)
        self.assertEqual([m["id"] for m in self.read(2)], [cmcsim.FILTER_CLEAR, cmcsim.FILTER_DONE])

    def tearDown(self):
        self.server.stop()
        self.lib.close()
        for s in (self.server.udp, self.server.control):
            s.close()

    def read(self, count):
        """count messages from the link, as header dicts with their payload."""
        out, buf = [], b""
        for _ in range(1000):
            if len(out) == count:
                return out
            while len(buf) < 64:
                buf += self.lib.recv(65536)
            words = struct.unpack_from(">16I", buf)
            need = 64 + sum(words[1:1 + words[0]])
            while len(buf) < need:
                buf += self.lib.recv(65536)
            pos = 64
            for size in words[1:1 + words[0]]:
                h = parse_header(buf[pos:pos + size])
                h["payload"] = buf[pos + HEADER:pos + size]
                out.append(h)
                pos += size
            buf = buf[need:]
        self.fail("no %d messages" % count)

    def send(self, msg):
        return self.server.on_message(msg)

    def test_answers_as_told_and_counts_violations(self):
        rows = [  # control line (or None), command, result, mapping id at 8 (None: no answer)
            (None, command(CREATE, 872), cw.RESULT_OK, 0x5001),
            (None, command(STOP, 48), cw.RESULT_OK, 0),
            ("answer 0x0A010055 0x82000015 0x77", command(STOP, 48), 0x82000015, 0x77),
            ("answer all 0x8200000A keep", command(CREATE, 872), 0x8200000A, 0),
            ("answer all silent", command(CREATE, 872), None, None),  # the rule of STOP's id still holds
            (None, command(STOP, 48), 0x82000015, 0x77),
        ]
        for line, msg, result, mapping in rows:
            if line is not None:
                self.assertEqual(self.server.command(line), "ok", line)
            answers = self.send(msg)
            if result is None:
                self.assertEqual(answers, [], line)
                continue
            (a,) = answers
            h = parse_header(a)
            self.assertEqual((h["type"], h["serial_raw"], h["ctx1_raw"], h["ctx2_raw"]),
                             (2, struct.pack(">I", 9), struct.pack("<Q", (7 << 32) | 0x1234), struct.pack("<Q", 5)))
            self.assertEqual(struct.unpack_from("<II", a, HEADER + 24)[1], result, line)
            self.assertEqual(struct.unpack_from("<I", a, HEADER + 8)[0], mapping, line)
            if h["id"] == CREATE:  # the protocol type its attribute asked for; refused, its call reason
                self.assertEqual(struct.unpack_from("<II", a, HEADER + 32), (3, 47 if result >> 31 else 0), line)
        self.send(command(CREATE, 864, ctx1=0))
        self.send(command(STOP, 48, marker=bytes(8)))
        self.assertEqual(self.server.violations, {"CALL_LEG_CREATE": 2, "STOP": 1})
        self.assertEqual(self.server.command("last CALL_LEG_CREATE"),
                         '{"dest": 0, "ctx1": 0, "ctx2": 5, "kind": 1, "plen": 872}')
        for bad in ("answer 0x0A010011 0", "answer nine 0", "last JOIN", "notify 0x0A010017 1", "script leg 1"):
            self.assertTrue(self.server.command(bad).startswith(("error", "none")), bad)

    def test_held_answers_doubled_answers_and_malformed_notifications(self):
        """Answers kept back go out on release in their commands' order or reversed; "twice" doubles an
        answer; cut= and kind= shape a notification the client must refuse."""
        def stop(serial):
            m = bytearray(command(STOP, 48))
            m[24:28] = struct.pack(">I", serial)
            return bytes(m)
        self.assertEqual(self.server.command("hold"), "ok")
        for serial in (1, 2, 3):
            self.assertEqual(self.send(stop(serial)), [])
        self.assertEqual(json.loads(self.server.command("stats"))["held"], 3)
        self.assertEqual(self.server.command("release reversed"), "ok")
        got = self.read(3)
        self.assertEqual([(m["serial_raw"], m["type"]) for m in got], [(struct.pack(">I", n), 2) for n in (3, 2, 1)])
        self.assertEqual(len(self.send(stop(4))), 1, "answered again as it comes")
        self.assertEqual(self.server.command("answer 0x0A010055 0x82000015 twice"), "ok")
        a, b = self.send(stop(5))
        self.assertEqual(a, b)
        self.assertEqual(struct.unpack_from("<I", a, HEADER + 28)[0], 0x82000015)
        for line in ("notify 0x0A010016 0x1234 cut=40", "notify 0x0A010016 0x1234 kind=2 reason=16"):
            self.assertEqual(self.server.command(line), "ok", line)
        cut, kind = self.read(2)
        self.assertEqual((len(cut["payload"]), cut["type"]), (40, 4))
        self.assertEqual((len(kind["payload"]), kind["type"], struct.unpack_from("<I", kind["payload"], 40)[0]),
                         (192, 2, 16))
        for bad in ("release now", "answer all 0 keep 5", "log maybe", "hold on"):
            self.assertTrue(self.server.command(bad).startswith("error"), bad)
        self.assertEqual(self.server.command("log off"), "ok")

    def test_notify_and_offer_keyed_by_the_catalogue(self):
        for line in ("notify 0x0A010013 0x1234 2", "notify 0x0A010041 0x99", "offer 0 0x5003"):
            self.assertEqual(self.server.command(line), "ok")
        got = self.read(4)
        self.assertEqual([(m["id"], m["type"]) for m in got], [(0x0A010013, 4)] * 2 + [(0x0A010041, 4),
                                                                                      (cw.CALL_OFFER, 4)])
        self.assertEqual([struct.unpack_from("<I", m["payload"], 32)[0] for m in got], [0x1234, 0x1234, 0, 0])
        # Alerting and the offer are full layouts (leg type 1 at 36); the unnamed id numbers itself there.
        self.assertEqual([len(m["payload"]) for m in got], [200, 200, 48, 872])
        self.assertEqual([struct.unpack_from("<I", m["payload"], 36)[0] for m in got], [1, 1, 1, 1])
        self.assertEqual(struct.unpack("<Q", got[2]["ctx1_raw"])[0], 0x99)
        self.assertEqual(struct.unpack_from("<I", got[3]["payload"], 8)[0], 0x5003)
        self.assertEqual([m["tx_seq"] for m in got], [3, 4, 5, 6])

    def test_resync_plays_the_script_and_matches_the_claims(self):
        for line in ("script leg 0x1234 0x5001", "script leg 0 0x5002 media", "script link 0x1234 0x99 0x5001 0x5002",
                     "script mixer 0x2222 0x6001", "script mixerlink 0x2222 0x1234 0x6001 0x5001",
                     "script notify 0x0A010012 0x1234 2", "resync"):
            self.assertEqual(self.server.command(line), "ok", line)
        got = self.read(9)
        self.assertEqual([m["id"] for m in got], [cw.SYNC_STARTING, cw.NOTIF_LEG_SYNC, cw.NOTIF_LEG_SYNC,
                                                  cw.NOTIF_LINK_SYNC, cw.NOTIF_MIXER_SYNC, cw.NOTIF_MIXER_LINK_SYNC,
                                                  0x0A010012, 0x0A010012, cw.READY])
        self.assertEqual(got[2]["payload"], cw.notif_leg_sync(0, 0x5002, 2))
        self.assertEqual(got[8]["payload"], cw.ready_payload(cmcsim.BUILD))
        claims = [(cw.SET_LEG_OWNERSHIP, dict(mapping_id=0x5001, entity_id=0x1234)),
                  (cw.SET_LEG_OWNERSHIP, dict(mapping_id=0x5002, entity_id=0x7001)),  # the id the library chose
                  (cw.SET_LEG_OWNERSHIP, dict(mapping_id=0x5002, entity_id=0x7001)),  # twice: unexpected
                  (cw.SET_LINK_OWNERSHIP, dict(id1=0x1234, id2=0x99)),
                  (cw.SET_MIXER_OWNERSHIP, dict(mapping_id=0x6001, entity_id=0x2223)),  # wrong id
                  (cw.SET_MIXER_LINK_OWNERSHIP, dict(id1=0x2222, id2=0x1234))]
        for msg_id, fields in claims:
            self.assertEqual(len(self.send(build(msg_id, TYPE_REQUEST, cw.to_server(msg_id, **fields)))), 1)
        self.assertEqual((self.server.claims, len(self.server.expected)),
                         ({"claims": 4, "claims_unexpected": 2}, 1))

    def test_fields_of_the_attributes_carried(self):
        """The golden encoder's attributes placed in the commands read back as fields; a broken set is an error."""
        create = golden.Payload(872)
        struct.pack_into("<III", create.buf, 24, 1, 0x1234, 1)
        golden.call_leg_fields(create, 36)
        create.buf[732] = 1
        struct.pack_into("<I", create.buf, 736, 2)
        struct.pack_into("<II", create.buf, 760, 2, 2)
        struct.pack_into("<HBxxxxxI", create.buf, 848, 180, 1, 0x4321)
        create.add(740, struct.pack("<IBB2x", 2, 3, 4))
        play = golden.Payload(56)
        struct.pack_into("<II", play.buf, 24, 2, 0x1234)
        play.buf[47:49] = b"\x02\x01"
        for i in range(3):
            play.add(32, struct.pack("<3I", i, 2, 3) + golden.url("/m/%d%s.wav" % (i, "x" * 400)).encode() + b"\0")
        event = golden.Payload(40)
        struct.pack_into("<II", event.buf, 24, 1, 0x1234)
        struct.pack_into("<H", event.buf, 36, 60)
        for tones in ("123#", "*9"):
            event.add(32, tones.encode() + b"\0")
        bad = bytearray(event.bytes())
        struct.pack_into(">I", bad, 40, 4000)  # the first tone claims more than the payload holds
        files = [[i, 2, 3, "file:///m/%d%s.wav" % (i, "x" * 400)] for i in range(3)]
        rows = [  # command, payload as the library forwards it, control line, fields
            (CREATE, create.bytes(), "fields CALL_LEG_CREATE",
             {"leg_id": 0x1234, "leg_type": 1, "texts": ["1" * 63, "5551234", "D" * 127, "P" * 127,
                                                          "sip:alice@example.com", "nap-" + "x" * 27],
              "protocol_type": 2, "profile_name": "leg profile", "present": 1, "ptype": 2,
              "generic_headers": ["0200000003040000"],
              "body_type": 2, "status": 180, "status_arg": 1, "trans_id": 0x4321}),
            (cw.PLAY, play.bytes(), "fields PLAY", {"index": 2, "paused": 1, "files": files}),
            (cw.PLAY, sound(cw.PLAY, bytes(56), 0x1234), "fields PLAY", {"index": 0, "paused": 0, "files": []}),
            (0x0A010071, event.bytes(), "fields EVENT_PLAY", {"tones": ["123#", "*9"], "inter_tone": 60}),
            (0x0A010071, bytes(bad), "fields EVENT_PLAY", {"error": "element 0 of 4000 bytes at 40"}),
        ]
        self.assertEqual(self.server.command("fields PLAY"), "none")
        for msg_id, payload, line, want in rows:
            self.send(build(msg_id, TYPE_REQUEST, payload, struct.pack(">I", 9), struct.pack("<Q", 0x1234),
                            struct.pack("<Q", 5)))
            self.assertEqual(json.loads(self.server.command(line)), want, line)
        self.assertEqual(self.server.violations, {})
        # Sent back: the create's attributes in a leg present, its profile name, the tones as digits.
        self.assertEqual(self.server.command("echo digits 0x1234"), "none", "the last EVENT_PLAY was broken")
        self.send(build(0x0A010071, TYPE_REQUEST, event.bytes(), struct.pack(">I", 9), struct.pack("<Q", 0x11)))
        for line in ("echo present 0x77 0x5009", "echo profile 0x77", "echo digits 0x77"):
            self.assertEqual(self.server.command(line), "ok", line)
        present, changed, digits = self.read(3)
        self.assertEqual((present["id"], changed["id"], digits["id"]), (0x0A010011, 0x0A010044, 0x0A010064))
        got = cmcsim.cmcsim_attrs.decode(0x0A010011, present["payload"])
        self.assertEqual(got, dict(self.server.fields["CALL_LEG_CREATE"], leg_id=0x77))
        self.assertEqual(struct.unpack_from("<I", present["payload"], 8)[0], 0x5009)
        name = cw.walk_set(changed["payload"], 108)[0][0]
        self.assertEqual((struct.unpack_from("<I", changed["payload"], 28)[0], changed["payload"][name + 16:name + 27]),
                         (0x77, b"leg profile"))
        self.assertEqual(digits["payload"], struct.pack("<28xIII", 0x77, 1, 0) + b"123#*9\0\0")


class InheritedSockets(unittest.TestCase):
    """The server as a child on the discovery and control sockets bound here (--udp-fd, --control-fd)."""

    def test_discovery_and_control_on_the_inherited_sockets(self):
        with held(socket.SOCK_DGRAM) as udp, held(socket.SOCK_STREAM) as control, held(socket.SOCK_DGRAM) as peer:
            fds = (udp.fileno(), control.fileno())
            proc = subprocess.Popen([sys.executable, os.path.join(HERE, "cmcsim.py"), "--udp-fd", str(fds[0]),
                                     "--control-fd", str(fds[1]), "--peer-port", str(peer.getsockname()[1]),
                                     "--lifetime", "30"], pass_fds=fds, stdout=subprocess.PIPE, text=True)
            try:
                self.assertTrue(proc.stdout.readline().startswith("ready tcp="))
                peer.settimeout(10)
                # Its first discovery round ("HLDI") comes from the socket bound here.
                self.assertEqual(peer.recvfrom(2048), (b"HLDI", udp.getsockname()))
                with socket.create_connection(control.getsockname(), timeout=10) as c:
                    c.sendall(b"stats\nquit\n")
                    self.assertEqual(json.loads(c.makefile("r").readline())["links"], 0)
                self.assertEqual(proc.wait(10), 0)
            finally:
                proc.kill()
                proc.wait(10)
                proc.stdout.close()


if __name__ == "__main__":
    unittest.main()
