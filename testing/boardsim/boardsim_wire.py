"""Gateway wire layouts used by the simulated board (Python struct only).

UDP packets start with a big-endian identifier; the adapters' identifiers
spell G W D I (discovery), G W D S (specific discovery), G W P I (poll) and
G W P A (advertisement) on the wire. TCP: board to host carries batches (a
64-byte header of sixteen big-endian words: count 1..15 then the sizes, 0 a
poll, 0xFFFFFFFF a poll reply); host to board carries host messages back to
back (88-byte header) and 92-byte poll blocks.
"""
import struct

ID_DISCOVERY = 0x47574449  # bytes G W D I
ID_SPECIFIC = 0x47574453
ID_POLL = 0x47575049
ID_REPLY = 0x47575041
HOST_HEADER_SIZE = 88
POLL_BLOCK_SIZE = 92
BATCH_HEADER_SIZE = 64
MAX_BATCH = 15
MAX_MSG = 0x400000


def adapter_advertisement(tcp_port, name, serial, ip0, ip1, build):
    """560 bytes: id, 3 bytes, new-info flag, TCP port, then the 548-byte
    information block (3 words, name, serial, word, two address texts, two
    4-byte path flags, build, two words, 128-byte remainder)."""
    head = struct.pack(">I3sBI", ID_REPLY, b"\0\0\0", 1, tcp_port)
    info = struct.pack(">3I128s128sI64s64s4s4sIII128s",
                       0, 0, 0, name.encode(), serial.encode(), 0,
                       ip0.encode(), ip1.encode(), b"\0\0\0\1", b"\0\0\0\1",
                       build, 0, 0, b"\0" * 128)
    pkt = head + info
    assert len(pkt) == 560
    return pkt


def batch(messages):
    assert 1 <= len(messages) <= MAX_BATCH
    sizes = [len(m) for m in messages] + [0] * (MAX_BATCH - len(messages))
    return struct.pack(">16I", len(messages), *sizes) + b"".join(messages)


def host_message(msg_id, seq, size):
    """A host message of `size` bytes (at least 96): big-endian header
    fields, payload carrying the sequence number first."""
    size = max(size, 96)
    payload_len = size - HOST_HEADER_SIZE
    hdr = struct.pack(">IIIIII", msg_id, 4, size, payload_len, payload_len, HOST_HEADER_SIZE)
    hdr += b"\0" * (HOST_HEADER_SIZE - len(hdr))
    payload = struct.pack(">I", seq) + bytes((seq + i) & 0xFF for i in range(payload_len - 4))
    return hdr + payload


POLL_REPLY = b"\xff" * BATCH_HEADER_SIZE
HOST_POLL = b"\0" * BATCH_HEADER_SIZE



def parse_host_header(b):
    """(message id, payload length) of a host message header, or None when
    fewer than 88 bytes are given."""
    if len(b) < HOST_HEADER_SIZE:
        return None
    msg_id, _, _, payload_len = struct.unpack_from(">IIII", b)
    return msg_id, payload_len
