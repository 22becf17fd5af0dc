"""The board's side of entity discovery (docs/board-discovery.md), from a
JSON profile, in Python struct only: the answers to the thirteen requests,
the checks of every request, and the faults a test asks for.

Payload integers little-endian; names are user-context words (base 38,
docs/user-context-names.md) stored big-endian.
"""
import json
import struct

CONFIG, LIST, MTP2_LINK, LAPD_LINK, ISDN, CASR2, TUCL = range(7)

# id: (name, payload size, carries an item, what answers it, family whose items it names)
CATALOGUE = {
    0x04090001: ("ADAPTER_OP_CONFIG_GET", 2688, False, CONFIG, None),
    0x04210005: ("SS7_MTP2_OP_GET_LIST", 24, False, LIST, "mtp2"),
    0x04210014: ("SS7_MTP2_OP_LINK_GET_LIST", 24, True, LIST, "mtp2"),
    0x04210012: ("SS7_MTP2_OP_LINK_GET_PARAMS", 312, True, MTP2_LINK, "mtp2"),
    0x04540005: ("LAPD_OP_GET_LIST", 24, False, LIST, "lapd"),
    0x04540014: ("LAPD_OP_LINK_GET_LIST", 24, True, LIST, "lapd"),
    0x04540012: ("LAPD_OP_LINK_GET_PARAMS", 112, True, LAPD_LINK, "lapd"),
    0x04080004: ("ISDN_OP_GET_LIST", 24, False, LIST, "isdn"),
    0x04080003: ("ISDN_OP_GET_PARAMS", 120, True, ISDN, "isdn"),
    0x04510004: ("CASR2_OP_GET_LIST", 24, False, LIST, "casr2"),
    0x04510003: ("CASR2_OP_GET_PARAMS", 63032, True, CASR2, "casr2"),
    0x04390004: ("TUCL_OP_GET_LIST", 24, False, LIST, "tucl"),
    0x04390003: ("TUCL_OP_GET_PARAMS", 40, True, TUCL, "tucl"),
}
FEATURE_IDS = {"mtp2": 31, "isdn": 20, "casr2": 59, "tucl": 110, "lapd": 64}
FAMILY_ORDER = ("mtp2", "isdn", "casr2", "tucl", "lapd")

ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_"
END_OF_TEXT = 37


def pack_word(text):
    """Up to 12 characters into one word, first character most significant."""
    digits = [ALPHABET.index(c) for c in text] + [END_OF_TEXT] * (12 - len(text))
    value = 0
    for d in digits:
        value = value * 38 + d
    return value


def name_words(entry):
    """The two words of an entry's name (raw "words" win; no name: both 0)."""
    if "words" in entry:
        return list(entry["words"]) + [0] * (2 - len(entry["words"]))
    name = entry.get("name")
    if name is None:
        return [0, 0]
    return [pack_word(name[:12]), pack_word(name[12:24])]


def payload(size, result=0):
    p = bytearray(size)
    struct.pack_into("<i", p, 0x0C, result)
    return p


class Discovery:
    def __init__(self, profile):
        self.profile = profile
        self.drops = {}       # id or "any" -> [requests still to leave unanswered, every how many, requests seen]
        self.shorts = {}      # id -> payload bytes of the answers
        self.fails = {}       # id -> result code of the answers
        self.asked = {}       # id -> items asked, in order
        self.violations = []
        self.requests = 0
        # what a per-item request may name, by request id
        mtp2, lapd = profile.get("mtp2", []), profile.get("lapd", [])
        self.links = {0x04210012: {l["id"]: l for i in mtp2 for l in i.get("links", [])},
                      0x04540012: {l["id"]: l for i in lapd for l in i.get("links", [])}}
        self.instances = {0x04210014: {i["id"]: i for i in mtp2}, 0x04540014: {i["id"]: i for i in lapd},
                          0x04080003: {i["id"]: i for i in profile.get("isdn", [])},
                          0x04510003: {i["id"]: i for i in profile.get("casr2", [])},
                          0x04390003: {i["id"]: i for i in profile.get("tucl", [])}}

    # ------------------------------------------------------------ checks

    def check(self, h, p):
        """Records what is wrong with one request (header dict, payload bytes)."""
        name, size, item, _, _ = CATALOGUE[h["id"]]
        wrong = []
        if h["type"] != 1:
            wrong.append("type %d" % h["type"])
        if h["plen"] != size or len(p) != size:
            wrong.append("payload length %d, expected %d" % (h["plen"], size))
        if len(p) >= 16:
            (version, ident) = struct.unpack_from("<II", p, 8)
            if version != 1:
                wrong.append("version %d" % version)
            known = self.links.get(h["id"], self.instances.get(h["id"], {}))
            if item and ident not in known:
                wrong.append("item %d not listed" % ident)
            if not item and ident != 0:
                wrong.append("item %d on a request without one" % ident)
            if any(p[0:8]) or any(p[16:]):
                wrong.append("non-zero bytes outside 0x08..0x0F")
        (ctx1,) = struct.unpack("<Q", h["ctx1_raw"])
        if ctx1 == 0 or ctx1 != h["adapter"]:
            wrong.append("user context 1 0x%x, destination 0x%x" % (ctx1, h["adapter"]))
        if wrong:
            self.violations.append("%s: %s" % (name, "; ".join(wrong)))

    # ------------------------------------------------------------ answers

    def on_request(self, h, p):
        """Payloads answering one host request; None when it is not ours."""
        if h["id"] not in CATALOGUE:
            return None
        self.requests += 1
        self.check(h, p)
        msg_id = h["id"]
        item = struct.unpack_from("<I", p, 0x0C)[0] if len(p) >= 16 else 0
        self.asked.setdefault("0x%08x" % msg_id, []).append(item)
        dropped = False
        for key in (msg_id, "any"):
            drop = self.drops.get(key)
            if drop is None or drop[0] <= 0:
                continue
            drop[2] += 1
            if drop[2] % drop[1] == 0:
                drop[0] -= 1
                dropped = True
        if dropped:
            return []
        out = self.answer(msg_id, item)
        if msg_id in self.shorts:
            out = out[:self.shorts[msg_id]]
        return [bytes(out)]

    def answer(self, msg_id, item):
        _, size, _, kind, family = CATALOGUE[msg_id]
        if msg_id in self.fails:
            return payload(size, self.fails[msg_id])
        prof = self.profile
        if kind == CONFIG:
            return self.config(size)
        if kind == LIST:
            if msg_id in (0x04210014, 0x04540014):
                entry = self.instances[msg_id].get(item, {})
                ids = [l["id"] for l in entry.get("links", [])]
            else:
                ids = [i["id"] for i in prof.get(family, [])]
            p = payload(max(size, 0x14 + 4 * len(ids)))
            struct.pack_into("<I", p, 0x10, len(ids))
            struct.pack_into("<%dI" % len(ids), p, 0x14, *ids)
            return p
        if kind == MTP2_LINK:
            link = self.links[msg_id].get(item, {})
            p = payload(size)
            struct.pack_into("<I", p, 0x20, link.get("selector", 0))
            struct.pack_into("<I", p, 0xA0, link.get("trunk", 0))
            for ts in link.get("timeslots", []):
                struct.pack_into("<I", p, 0xA8 + 4 * ts, 1)
            struct.pack_into(">QQ", p, 0x128, *name_words(link))
            return p
        if kind == LAPD_LINK:
            link = self.links[msg_id].get(item, {})
            p = payload(size)
            struct.pack_into("<I", p, 0x34, link.get("selector", 0))
            struct.pack_into("<I", p, 0x50, link.get("trunk", 0))
            struct.pack_into("<I", p, 0x58, link.get("timeslot", 0))
            struct.pack_into(">QQ", p, 0x60, *name_words(link))
            return p
        entry = self.instances[msg_id].get(item, {})
        if kind == ISDN:
            trunks = entry.get("trunks", [])
            p = payload(max(size, 0x74 + 4 * len(trunks)))
            struct.pack_into("<II", p, 0x14, entry.get("side", 1), entry.get("variant", 1))
            p[0x1D] = entry.get("byte1d", 0)
            p[0x20] = entry.get("backup", 0)
            struct.pack_into(">Q", p, 0x68, name_words(entry)[0])
            struct.pack_into("<I", p, 0x70, entry.get("count", len(trunks)))
            struct.pack_into("<%dI" % len(trunks), p, 0x74, *trunks)
            return p
        if kind == CASR2:
            p = payload(size)
            struct.pack_into("<I", p, 0x10, entry.get("trunk", 0))
            struct.pack_into(">Q", p, 0x20, name_words(entry)[0])
            return p
        p = payload(size)  # TUCL
        struct.pack_into(">QQ", p, 0x18, *name_words(entry))
        return p

    def config(self, size):
        features = self.profile.get("features")
        if features is None:
            features = [[FEATURE_IDS[f], len(self.profile[f]), len(self.profile[f])]
                        for f in FAMILY_ORDER if self.profile.get(f)]
        p = payload(max(size, 0xA70 + 16 * len(features)))
        struct.pack_into("<I", p, 0xA6C, len(features))
        for n, (fid, c1, c2) in enumerate(features):
            struct.pack_into("<IIII", p, 0xA70 + 16 * n, 0, fid, c1, c2)
        return p

    # ------------------------------------------------------------ control

    def command(self, words):
        """Answer line of a control command, None when it is not ours."""
        cmd = words[0]
        if cmd == "drop" and len(words) in (3, 4):
            # drop ID|any N [EVERY]: of the requests of that id (any: of every id) that follow, every EVERY-th
            # one (default 1: each) is left unanswered, N of them.
            key = "any" if words[1] == "any" else int(words[1], 0)
            count, every = int(words[2], 0), int(words[3], 0) if len(words) == 4 else 1
            if key != "any" and key not in CATALOGUE:
                return "error unknown id"
            if count < 0 or every < 1:
                return "error bad count"
            self.drops[key] = [count, every, 0]
            return "ok"
        if cmd in ("short", "fail") and len(words) == 3:
            msg_id, value = int(words[1], 0), int(words[2], 0)
            if msg_id not in CATALOGUE:
                return "error unknown id"
            if cmd == "fail" and value >= 1 << 31:
                value -= 1 << 32  # a result code written as unsigned
            table = {"short": self.shorts, "fail": self.fails}[cmd]
            if value == 0:
                table.pop(msg_id, None)
            else:
                table[msg_id] = value
            return "ok"
        if cmd == "requests":
            return json.dumps(self.asked, sort_keys=True)
        return None

    def stats(self):
        return {"discovery_requests": self.requests, "violations": len(self.violations),
                "violation_texts": self.violations[:5]}
