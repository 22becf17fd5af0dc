#!/usr/bin/env python3
"""Writes the golden payloads of the element-set tests from the byte layout of
docs/msg-element-sets.md, independently of the C++ code.

Both files hold the used payload of one message: a 12-byte fixed structure
(set A at 0, set B at 4, u32 0x11223344 at 8), then set A gets 6 bytes 01..06,
set B the text "hi", set A 4 bytes AA BB CC DD.
"""
import os
import struct

LAYOUTS = {
    32: dict(marker=bytes.fromhex("EDDA21433412ADDE"), header=8, flag=0x80000000),
    16: dict(marker=bytes.fromhex("EDDA16433416ADDE"), header=4, flag=0),
}


def round8(n):
    return (n + 7) & ~7


def build(bits):
    lay = LAYOUTS[bits]
    hdr = lay["header"]
    payload = bytearray(round8(12))
    struct.pack_into(">I", payload, 8, 0x11223344)
    sets = {0: [], 4: []}  # set word offset -> list of element header offsets

    def header(size, nxt):
        if bits == 32:
            return struct.pack(">II", size, nxt)
        return struct.pack(">HH", size, nxt // 8)

    def append(set_off, data):
        at = len(payload)
        room = round8(hdr + len(data))
        elem = bytearray(room)
        elem[0:hdr] = header(len(data), 0)
        elem[hdr:hdr + len(data)] = data
        payload.extend(elem)
        chain = sets[set_off]
        if chain:
            last = chain[-1]
            size = len(data_of[last])
            payload[last:last + hdr] = header(size, at - last)
        chain.append(at)
        data_of[at] = data
        word = lay["flag"] | (len(chain) << 16) | ((chain[0] - set_off) // 4)
        struct.pack_into(">I", payload, set_off, word)

    data_of = {}
    append(0, bytes([1, 2, 3, 4, 5, 6]))
    append(4, b"hi\0")
    append(0, bytes([0xAA, 0xBB, 0xCC, 0xDD]))
    return bytes(payload) + lay["marker"]


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    for bits in (32, 16):
        with open(os.path.join(here, "msg_element_%d.bin" % bits), "wb") as f:
            f.write(build(bits))
