"""What the simulated board does with host messages (Python struct only).

Host message header (88 bytes). On the wire every field is big-endian
except the serial number (offset 24) and the two user contexts (32, 48),
which travel in the sender's byte order and are copied raw into answers:

  0 id, 4 type (1 request, 2 response, 4 event), 8 length, 12 payload
  length, 16 payload maximum, 20 payload start (88), 24 serial, 28 peer
  handle, 32 user context 1, 40 track magic, 44 fixed two, 48 user context 2,
  56 time stamp, 60 local word (0), 64 transmit sequence, 68 track mark,
  72 source unique id (u64), 80 fragment info (u16), 82 connection count
  (u16), 84 piggy-backed acknowledgement.

Numbered messages from the host are taken strictly in sequence: only the
next one (the one after the highest received, 0 skipped on the wrap) is
handled and acknowledged. One that is not newer is a copy sent again on the
other path: counted as a duplicate and dropped. One further ahead left a gap
(what the lost path still carried): counted as out of order and dropped
unacknowledged, so that the host sends it again after the gap. A new host
connection count (a new presence of the host) restarts the numbering at the
message's sequence.

Sequence numbers (full mode): the board numbers what it sends per presence
(1, 2, ... skipping 0), puts its connection count (1 from the first link of a
presence) and the highest sequence received from the host as the
piggy-backed acknowledgement.

Remote-filter family (group 0x020D, ids 0x0100 to 0x0107): payload words in
the sender's order, version 5 at payload offset 8. The board answers a
request by turning it into a response: type 2, version 5 at 8 and the
result 0x02010000 at 12, in little-endian (the host's order, fixed-two 2),
or in big-endian with the fixed-two word reading 0x02000000 ("big" mode) so
that the host has to turn them around. Pure acknowledgements (0x020D0012)
are consumed.

A request hook (the entity discovery of boardsim_discovery.py) answers the
requests it knows with responses carrying the request's serial and user
contexts; hold keeps them back like the other answers.
"""
import struct

HEADER = 88
TYPE_REQUEST, TYPE_RESPONSE, TYPE_EVENT = 1, 2, 4
GW_OP_FIRST, GW_OP_LAST = 0x020D0100, 0x020D0107
PURE_ACK = 0x020D0012
RESULT_OK = 0x02010000


def parse_header(b):
    """Dict of the header fields (host order), raw bytes for serial and contexts."""
    (msg_id, mtype, length, plen, pmax, pstart) = struct.unpack_from(">6I", b, 0)
    (adapter,) = struct.unpack_from(">I", b, 28)
    (track, fixed_two) = struct.unpack_from(">II", b, 40)
    (tx_seq,) = struct.unpack_from(">I", b, 64)
    (frag, conn) = struct.unpack_from(">HH", b, 80)
    (ack,) = struct.unpack_from(">I", b, 84)
    return {"id": msg_id, "type": mtype, "length": length, "plen": plen, "pmax": pmax,
            "pstart": pstart, "serial_raw": bytes(b[24:28]), "adapter": adapter,
            "ctx1_raw": bytes(b[32:40]), "ctx2_raw": bytes(b[48:56]), "fixed_two": fixed_two,
            "tx_seq": tx_seq, "frag": frag, "conn": conn, "ack": ack, "track": track}


def build(msg_id, mtype, payload, serial_raw=b"\0" * 4, ctx1_raw=b"\0" * 8, ctx2_raw=b"\0" * 8,
          fixed_two=2, tx_seq=0, conn=0, ack=0):
    """A whole host message as the board puts it on the wire."""
    plen = len(payload)
    hdr = struct.pack(">6I", msg_id, mtype, HEADER + plen, plen, plen, HEADER)
    hdr += serial_raw + struct.pack(">I", 0) + ctx1_raw
    hdr += struct.pack(">II", 1, fixed_two) + ctx2_raw
    hdr += struct.pack(">IIII", 0, 0, tx_seq, 0)
    hdr += struct.pack(">QHHI", 0, 0, conn, ack)
    assert len(hdr) == HEADER
    return hdr + payload


class HostLayer:
    """Per-board state of the host-message layer, plugged into Board."""

    def __init__(self):
        self.full = False
        self.rfilter = "answer"      # answer, ignore, big
        self.answer_ids = set()      # request ids answered with a response
        self.hold = False            # keep answers until "release"
        self.held = []
        self.tx_seq = 0
        self.conn = 0
        self.rx_seq = 0              # highest sequence received from the host
        self.gwop = {}               # "0x020d0101" -> count of requests seen
        self.requests = 0
        self.answered = 0
        self.acks = 0
        self.duplicates = 0          # numbered messages seen again (retransmitted on the other path)
        self.out_of_order = 0        # numbered messages dropped because an earlier one is missing
        self.rx_conn = 0             # host connection count of the numbering in progress
        self.request_hook = None     # function(header dict, payload) -> answer payloads, None: not its request

    def presence(self):
        """A first link of a new presence: a new connection count, numbering from 1."""
        self.conn = self.conn + 1 if self.conn < 0xFFFF else 1
        self.tx_seq = 0
        self.rx_seq = 0

    @staticmethod
    def seq_after(seq, count):
        """The sequence number `count` steps after `seq` (1 follows 0xFFFFFFFF)."""
        return (seq - 1 + count) % 0xFFFFFFFF + 1

    def number(self, msg, seq=None):
        """Puts sequence, connection count and acknowledgement into a built message
        (full mode): the next sequence number, or `seq`, one taken by reserve()."""
        if not self.full:
            return msg
        if seq is None:
            self.tx_seq = self.seq_after(self.tx_seq, 1)
            seq = self.tx_seq
        m = bytearray(msg)
        struct.pack_into(">I", m, 64, seq)
        struct.pack_into(">H", m, 82, self.conn)
        struct.pack_into(">I", m, 84, self.rx_seq)
        return bytes(m)

    def reserve(self, count):
        """Takes `count` sequence numbers for messages built later (a burst) that
        leave before anything numbered after this call; the one before the first."""
        first = self.tx_seq
        if self.full:
            self.tx_seq = self.seq_after(self.tx_seq, count)
        return first

    def event(self, msg_id, payload, seq=None):
        return self.number(build(msg_id, TYPE_EVENT, payload), seq)

    def on_message(self, b):
        """Messages to send back for one host message (bytes of exactly its length)."""
        h = parse_header(b)
        if h["tx_seq"] != 0:
            if h["conn"] != 0 and h["conn"] != self.rx_conn:
                self.rx_conn = h["conn"]
                self.rx_seq = (h["tx_seq"] - 1) & 0xFFFFFFFF
            ahead = (h["tx_seq"] - self.rx_seq) & 0xFFFFFFFF
            if ahead == 0 or ahead >= 0x80000000:
                self.duplicates += 1
                return []  # already had it on the other path
            if ahead != 1 and not (ahead == 2 and self.rx_seq == 0xFFFFFFFF):
                self.out_of_order += 1
                return []  # a gap before it: it comes again once the gap is filled
            self.rx_seq = h["tx_seq"]
        if h["id"] == PURE_ACK:
            self.acks += 1
            return []
        payload = bytes(b[HEADER:HEADER + h["plen"]])
        if self.request_hook is not None and h["type"] == TYPE_REQUEST:
            answers = self.request_hook(h, payload)
            if answers is not None:
                return self.answer(h, answers)
        if GW_OP_FIRST <= h["id"] <= GW_OP_LAST and h["type"] == TYPE_REQUEST:
            key = "0x%08x" % h["id"]
            self.gwop[key] = self.gwop.get(key, 0) + 1
            if self.rfilter == "ignore" or len(payload) < 16:
                return []
            p = bytearray(payload)
            order = ">" if self.rfilter == "big" else "<"
            struct.pack_into(order + "II", p, 8, 5, RESULT_OK)
            fixed_two = 0x02000000 if self.rfilter == "big" else 2
            return [self.number(build(h["id"], TYPE_RESPONSE, bytes(p), h["serial_raw"], h["ctx1_raw"],
                                      h["ctx2_raw"], fixed_two))]
        if h["type"] == TYPE_REQUEST and (h["id"] in self.answer_ids or "any" in self.answer_ids):
            self.requests += 1
            reply = build(h["id"], TYPE_RESPONSE, payload, h["serial_raw"], h["ctx1_raw"], h["ctx2_raw"])
            if self.hold:
                self.held.append(reply)
                return []
            self.answered += 1
            return [self.number(reply)]
        return None  # not for this layer

    def answer(self, h, payloads):
        """Responses to the request of header h, with its serial and user contexts (kept back while holding)."""
        replies = [build(h["id"], TYPE_RESPONSE, p, h["serial_raw"], h["ctx1_raw"], h["ctx2_raw"]) for p in payloads]
        if self.hold:
            self.held += replies
            return []
        self.answered += len(replies)
        return [self.number(r) for r in replies]

    def release(self, count=None):
        """The answers kept back (the first `count` of them), numbered now."""
        let_out, self.held = (self.held, []) if count is None else (self.held[:count], self.held[count:])
        self.answered += len(let_out)
        return [self.number(m) for m in let_out]

    def stats(self):
        return {"full": self.full, "tx_seq": self.tx_seq, "rx_seq": self.rx_seq, "conn": self.conn,
                "gwop": dict(self.gwop), "requests": self.requests, "answered": self.answered,
                "held": len(self.held), "acks": self.acks,
                "duplicates": self.duplicates, "out_of_order": self.out_of_order}
