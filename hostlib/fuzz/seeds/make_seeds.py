#!/usr/bin/env python3
"""Seed inputs of the host library's fuzz targets, built from the golden files
the tests keep (the wire header sample and the notification payloads of
hostlib/tests/data, the advertisement packets of gwlib/tests/data), in the
operation format each target's file comment describes. Run from anywhere;
writes hostlib/fuzz/seeds/<target>/golden_*. Seeds named regress_* are inputs
that once found a fault and are kept as they were found."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", "..", ".."))
HOST_DATA = os.path.join(ROOT, "hostlib", "tests", "data")
GW_DATA = os.path.join(ROOT, "gwlib", "tests", "data")


def read_hex_rows(name):
    rows = {}
    with open(os.path.join(HOST_DATA, name)) as f:
        for line in f:
            key, _, value = line.partition(":")
            rows[key.strip()] = bytes.fromhex(value.strip())
    return rows


def golden_header():
    with open(os.path.join(HOST_DATA, "wire_header_sample.hex")) as f:
        return bytes.fromhex(f.read().strip())


# ---------------------------------------------------------------- fuzz_msg_receive

def scaled_size(size):
    """Two bytes of size and a scale byte (0xF8 + k: times 2^k; below 0xF8: as given)."""
    k = 0
    while size >> k > 0xFFFF:
        k += 1
    assert k < 8 and (size >> k) << k == size, size
    return struct.pack("<HB", size >> k, 0xF8 + k if k else 0)


def message(flags, size, given, extra=b""):
    """One received buffer: flags, scaled size, 2-byte count of given bytes, the bytes, then what the flags read."""
    return struct.pack("<B", flags) + scaled_size(size) + struct.pack("<H", len(given)) + given + extra


def batch(sel, frag_serial, messages):
    return b"\x00" + struct.pack("<BI", sel | ((len(messages) - 1) << 4), frag_serial) + b"".join(messages)


def send(sel, payload, id_choice, ctx1=0, ctx2=0):
    return b"\x04" + struct.pack("<BHBQQ", sel, payload, id_choice, ctx1, ctx2)


SIZES, SEQ, RESPONSE, ACK, FRAGMENT, LAST, CTX, MSGID = 1, 2, 4, 8, 0x10, 0x20, 0x40, 0x80
BOARD, HOST, GW1 = 0, 1, 2


def msg_receive_seeds():
    hdr = golden_header()
    (length,) = struct.unpack_from(">I", hdr, 8)
    serial = struct.unpack_from("<I", hdr, 24)[0]
    full = hdr[:12] + struct.pack(">I", 0x400000 - 88) + hdr[16:]  # payload length: the whole 4 MiB buffer
    seeds = {
        # The sample header as received, then made to follow the receiver's sequence.
        "golden_header_raw": batch(BOARD, serial, [message(0, length, hdr)]),
        "golden_header_in_sequence": batch(BOARD | GW1, serial, [message(SIZES | SEQ, length, hdr)]),
        # Three fragments of one serial, the last one marked.
        "golden_fragments": batch(BOARD, serial, [message(SIZES | SEQ | FRAGMENT, length, hdr)] * 2
                                  + [message(SIZES | SEQ | FRAGMENT | LAST, length, hdr)]),
        # 4 MiB fragments whose payloads fill them: three of one serial pass the message limit (10 MiB);
        # two of each of six serials pass the peer's limit (40 MiB); after the expiry time, two more make
        # one 8 MiB message.
        "golden_size_limits": batch(BOARD, serial, [message(SIZES | SEQ | FRAGMENT, 0x400000, full)] * 3)
        + b"".join(batch(BOARD, serial + k, [message(SIZES | SEQ | FRAGMENT, 0x400000, full)] * 2) for k in range(1, 7))
        + b"\x05\x07" + batch(BOARD, serial + 7, [message(SIZES | SEQ | FRAGMENT, 0x400000, full),
                                                  message(SIZES | SEQ | FRAGMENT | LAST, 0x400000, full)]) + b"\x06",
        # A request with an awaited response, answered by serial; then an acknowledgement of it.
        "golden_request_response": send(BOARD | (1 << 1) | 0x20, 16, 0)
        + batch(BOARD, 0, [message(SIZES | SEQ | RESPONSE | ACK, length, hdr, b"\x00\x00")]) + b"\x06",
        # The claimed user contexts and the wanted group, from the remote host.
        "golden_user_contexts": batch(HOST, 0, [message(SIZES | SEQ | CTX, length, hdr, bytes([c]))
                                                for c in (0x01, 0x10, 0x11, 0x20, 0x00)]) + b"\x06",
        # The header's own connection count, then the next in sequence, then both paths down and up.
        "golden_connection_count": batch(HOST, 0, [message(SIZES, length, hdr), message(SIZES | SEQ, length, hdr)])
        + b"\x03\x01\x03\x00" + b"\x03\x07\x00\x0c",
    }
    return seeds


# ---------------------------------------------------------------- fuzz_peer_notif

def text(s, n):
    return s.ljust(n, b"\0")[:n]


def adapter_adv_from_info(info):
    """The advertisement packet (numbers big-endian) that gives the adapter information record `info`."""
    _, _, w0, w1, w2, w3 = struct.unpack_from("<6I", info, 0)
    gw0, gw1 = info[24:88], info[88:152]
    name, serial = info[152:280], info[280:408]
    (build,) = struct.unpack_from("<I", info, 408)
    packet = b"GWPA" + b"\0\0\0\x01" + struct.pack(">I", 5000)
    packet += struct.pack(">3I", w0, w1, w2) + name + serial + struct.pack(">I", w3) + gw0 + gw1
    packet += b"\0" * 8 + struct.pack(">III", build, 0, 0)
    return packet.ljust(560, b"\0")


def paths(peer, states, cause, adv=None, from_link=False):
    if adv is None:
        return struct.pack("<BBBBB", 0, peer, states, cause, 0)
    return struct.pack("<BBBBBH", 0, peer, states, cause, 1 | (2 if from_link else 0), len(adv)) + adv


def peer_notif_seeds():
    rows = read_hex_rows("peer_notifications.hex")
    with open(os.path.join(GW_DATA, "adapter_adv.bin"), "rb") as f:
        transport_adapter = f.read()
    with open(os.path.join(GW_DATA, "host_adv.bin"), "rb") as f:
        transport_host = f.read()
    # The rows' payloads start at payload byte 8: the added row is the information record itself.
    board = adapter_adv_from_info(rows["added"][:412])
    sim = adapter_adv_from_info(rows["sim_added"][:412])
    presence = lambda adv: (paths(0, 1, 0, adv) + paths(0, 3, 0) + b"\x04" + paths(0, 1, 4) + paths(0, 0, 3)
                            + b"\x04")
    filter_done = struct.pack("<BBBQQH", 1, 3, 0, 0, 0, 0) + b"\0" * 8
    other = struct.pack("<BBBQQH", 1, 3, 8, 0x0102030405060708, 0x1112131415161718, 0) + b"\0" * 8
    return {
        "golden_board_presence": presence(board),
        "golden_sim_board_presence": presence(sim),
        "golden_transport_adapter": paths(1, 3, 0, transport_adapter, True) + b"\x02\x06\x04" + b"\x07\x01\x07",
        "golden_transport_host": paths(3, 3, 0, transport_host) + filter_done + other + b"\x02\x06\x04"
        + b"\x05\x88\x13\x06" + b"\x07\x03\x03",
        # The same board under two handles.
        "golden_board_two_handles": paths(0, 1, 0, board) + paths(1, 1, 0, board) + b"\x04\x07\x01\x03\x04",
    }


def write(target, seeds):
    folder = os.path.join(HERE, target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    write("fuzz_msg_receive", msg_receive_seeds())
    write("fuzz_peer_notif", peer_notif_seeds())
