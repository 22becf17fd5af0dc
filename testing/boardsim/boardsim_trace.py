"""The board's side of the trace messages (docs/board-trace-messages.md), in
Python struct only: the on/off requests checked and answered, what is on per
entity, and the unit notifications a test asks for with `trace KIND N
[SIZE]`, each logged as one JSON line (the oracle of the output tests).
"""
import json
import struct

# request id: (family, request size); notification id = request id + 1
FAMILIES = {0x04210030: ("ss7", 32), 0x04540030: ("lapd", 32), 0x04080030: ("isdn", 32),
            0x04510030: ("casr2", 32), 0x04390030: ("ip", 72)}
NOTIF = {fam: rid + 1 for rid, (fam, _) in FAMILIES.items()}
ERR_MALFORMED, ERR_UNKNOWN = -1, -2
INTERFACES = (b"eth0", b"eth1", b"voip0", b"voip1", b"any")
CASR2_DATA = {1: 8, 2: 36, 3: 20}


def text16(b):
    """The text of a 16-byte field, None when it has no terminator."""
    return b.split(b"\0", 1)[0] if b"\0" in b else None


def pad8(n):
    return (n + 7) & ~7


class Trace:
    def __init__(self, profile, log_path):
        self.violations = []
        self.requests = 0
        self.on = {}          # (family, key) -> entity fields the units carry
        self.unit = 0
        self.off_mode = "answer"  # "ignore": off requests neither applied nor answered; "hold": kept for later
        self.off_ignored = 0
        self.off_held = []  # (header, entity) of the off requests kept by "traceoff hold"
        self.log = open(log_path, "a") if log_path else None
        self.entities = self.known(profile)

    @staticmethod
    def known(prof):
        """(family, key) -> fixed unit fields of every entity of the profile."""
        out = {}
        for inst in prof.get("mtp2", []):
            for l in inst.get("links", []):
                mask = sum(1 << t for t in l.get("timeslots", []))
                out[("ss7", (l.get("trunk", 0), mask))] = {
                    "annex_a": l.get("annex_a", 0), "variant": l.get("variant", 1), "pc_length": l.get("pc_length", 14)}
        for inst in prof.get("lapd", []):
            for l in inst.get("links", []):
                out[("lapd", (l.get("trunk", 0), 1 << l.get("timeslot", 0)))] = {"side": l.get("side", 1)}
        for inst in prof.get("isdn", []):
            for t in inst.get("trunks", []):
                out[("isdn", t & 0xFFF)] = {"side": inst.get("side", 1)}
        for inst in prof.get("casr2", []):
            out[("casr2", inst.get("trunk", 0))] = {}
        for inst in prof.get("tucl", []):
            out[("ip", inst["id"])] = {}
        return out

    # ------------------------------------------------------------ requests

    def on_request(self, h, p):
        """Answer payloads of one trace request; None when it is not ours."""
        if h["id"] not in FAMILIES:
            return None
        self.requests += 1
        family, size = FAMILIES[h["id"]]
        wrong = self.check(h, p, family, size)
        if wrong:
            self.violations.append("%s: %s" % (family, "; ".join(wrong)))
            return [self.answer(ERR_MALFORMED)]
        item, action, a, b = struct.unpack_from("<IIII", p, 0x0C)
        if family == "ip":
            key, lookup = struct.unpack_from("<Q", p, 0x20)[0], ("ip", item)
            fields = {"context": key, "transport": a, "port": b, "tucl": item,
                      "interface": text16(p[0x28:0x38]).decode(), "address": text16(p[0x38:0x48]).decode()}
        elif family == "casr2":
            key = lookup = ("casr2", a & 0xFFF)
            fields = {"trunk": a & 0xFFF, "extended": b}
        else:
            trunk, mask, bits = a & 0xFFF, b, p[0x1C]
            key = lookup = (family, trunk if family == "isdn" else (trunk, mask))
            fields = {"trunk": trunk, "mask": mask, "bits": bits}
        if lookup not in self.entities:
            return [self.answer(ERR_UNKNOWN)]
        if action == 0 and self.off_mode == "ignore":
            self.off_ignored += 1
            return []  # a board that never answers: its trace stays on
        if action == 0 and self.off_mode == "hold":
            self.off_held.append((h, (family, key)))
            return []  # a board slow to answer: its trace stays on until "traceoff answer"
        if action == 1:
            self.on[(family, key)] = dict(self.entities[lookup], **fields)
        else:
            self.on.pop((family, key), None)
        return [self.answer(0)]

    def release_off(self):
        """(header, answer payloads) of each off request kept by "traceoff hold", applied now."""
        held, self.off_held = self.off_held, []
        for _, entity in held:
            self.on.pop(entity, None)
        return [(h, [self.answer(0)]) for h, _ in held]

    @staticmethod
    def answer(result):
        return struct.pack("<8xIi", 1, result)

    def check(self, h, p, family, size):
        wrong = []
        if h["type"] != 1:
            wrong.append("type %d" % h["type"])
        if h["plen"] != size or len(p) != size:
            return wrong + ["payload length %d, expected %d" % (len(p), size)]
        if h["ctx1_raw"] != b"\0" * 8 or h["ctx2_raw"] != b"\0" * 8:
            wrong.append("user contexts not 0")
        version, item, action = struct.unpack_from("<III", p, 8)
        if any(p[0:8]) or version != 1:
            wrong.append("version %d" % version)
        if action not in (0, 1):
            wrong.append("action %d" % action)
        if family == "ip":
            transport, _, zero, context = struct.unpack_from("<IIIQ", p, 0x14)
            if transport > 2 or zero or context == 0:
                wrong.append("transport %d, context %d" % (transport, context))
            iface, addr = text16(p[0x28:0x38]), text16(p[0x38:0x48])
            if iface not in INTERFACES or addr is None:
                wrong.append("interface or address not a terminated text")
        else:
            if item != 0:
                wrong.append("item %d" % item)
            if family == "casr2":
                if struct.unpack_from("<I", p, 0x18)[0] > 1 or any(p[0x1C:]):
                    wrong.append("extended or reserved bytes")
            elif struct.unpack_from("<I", p, 0x18)[0] == 0 or any(p[0x1D:]):
                wrong.append("timeslot mask 0 or reserved bytes")
        return wrong

    # ------------------------------------------------------------ units

    def units(self, family, count, size):
        """(total, iterator of (id, payload)): `count` units for each entity of
        that family that is on now. The units are built (numbered and logged)
        as the iterator is drawn, so that a long burst goes out while the board
        keeps answering; each is logged whole before it is handed out."""
        entities = [e for (fam, _), e in sorted(self.on.items(), key=lambda kv: str(kv[0])) if fam == family]

        def build_all():
            for e in entities:
                for i in range(count):
                    yield NOTIF[family], self.build(family, e, i, size)
        return len(entities) * count, build_all()

    def build(self, family, e, i, size):
        self.unit += 1
        n = self.unit
        direction = 1 + (n % 2)
        rec = {"unit": n, "family": family, "direction": direction}
        if family == "casr2":
            kind = 1 + (i % 3)
            slot, stamp = 1 + (n % 31), 1000 * n
            if kind == 1:
                direction, data = 0, struct.pack("<II", n % 7, n % 5)
            elif kind == 2:
                data = struct.pack("<IiII4II", 200 if n % 2 else 5, -10, 0, 0, 1, 2, 3, 4, n)
            else:
                data = bytes((n >> k) & 1 for k in range(8)) + struct.pack("<III", stamp - 40, stamp, 3)
            rec.update(direction=direction, trunk=e["trunk"], kind=kind, timeslot=slot, timestamp=stamp)
            head = struct.pack("<IIII", e["trunk"], kind, slot, stamp)
        else:
            data = bytes((n + k) & 0xFF for k in range(size))
            if family == "ip":
                data = bytes(0x41 + (n + k) % 26 for k in range(size))  # printable: a SIP text
                fields = dict(context=e["context"], transport=e["transport"] or 1, protocol=1,
                              local_port=5060, remote_port=5060 + n % 100, time_ms=n * 10,
                              interface=e["interface"], remote="127.0.0.%d" % (1 + n % 200), local="127.0.0.1")
                head = struct.pack("<QIIIII4x16s16s16s", fields["context"], fields["transport"], 1, 5060,
                                   fields["remote_port"], fields["time_ms"], fields["interface"].encode(),
                                   fields["remote"].encode(), fields["local"].encode())
            elif family == "ss7":
                fields = dict(trunk=e["trunk"], mask=e["mask"], bits=e["bits"], annex_a=e["annex_a"],
                              variant=e["variant"], pc_length=e["pc_length"])
                head = struct.pack("<6I", *fields.values())
            else:
                fields = dict(trunk=e["trunk"], mask=e["mask"], bits=e["bits"], side=e["side"])
                head = struct.pack("<4I", *fields.values())
            rec.update(fields)
        rec["data"] = data.hex()
        body = struct.pack("<8xIIII", 1, n, direction, len(data)) + head + data
        body += b"\0" * (pad8(len(body)) - len(body))
        if self.log:
            self.log.write(json.dumps(rec, sort_keys=True) + "\n")
        return body

    def flush_log(self):
        """Puts the lines of the units handed out so far into the log file."""
        if self.log:
            self.log.flush()

    # ------------------------------------------------------------ control

    def command(self, words):
        """Answer line of a control command, None when it is not ours."""
        if words[0] == "tracelog" and len(words) == 2:
            if self.log:
                self.log.close()
            self.log = open(words[1], "a")
            return "ok"
        if words[0] == "traceoff" and len(words) == 2 and words[1] in ("answer", "ignore", "hold"):
            self.off_mode = words[1]
            return "ok"
        return None

    def stats(self):
        return {"trace_requests": self.requests, "traces_on": len(self.on), "traces_off_ignored": self.off_ignored,
                "traced": sorted("%s:%s" % (family, key[1] if isinstance(key, tuple) else key) for family, key in self.on),
                "traces_off_held": len(self.off_held),
                "trace_violations": len(self.violations), "trace_violation_texts": self.violations[:5]}
