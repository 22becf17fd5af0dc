#!/usr/bin/env python3
# Writes the golden payloads of the element-set tests from the byte layout of docs/msg-element-sets.md,
# independently of the C++ code. Both files hold the used payload of one message: a 12-byte fixed structure
# (set A at 0, set B at 4, u32 0x11223344 at 8), then set A gets 6 bytes 01..06, set B the text "hi", set A 4 bytes
# AA BB CC DD. Writes into utillib/tests/data, or into the folder given as the only argument.
import os, struct, sys

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "utillib", "tests", "data")

# bits: (end marker, element header size, layout flag of the set word)
LAYOUTS = {32: (bytes.fromhex("EDDA21433412ADDE"), 8, 0x80000000), 16: (bytes.fromhex("EDDA16433416ADDE"), 4, 0)}


def build(bits):
    marker, hdr, flag = LAYOUTS[bits]
    payload = bytearray(16)  # the structure rounded up to 8
    struct.pack_into(">I", payload, 8, 0x11223344)
    chains = {0: [], 4: []}  # set word offset -> [(element header offset, data size)]

    def header(size, nxt):  # the 16-bit layout counts the link in 8-byte units
        return struct.pack(">II", size, nxt) if bits == 32 else struct.pack(">HH", size, nxt // 8)

    for set_off, data in ((0, bytes([1, 2, 3, 4, 5, 6])), (4, b"hi\0"), (0, bytes([0xAA, 0xBB, 0xCC, 0xDD]))):
        at, chain = len(payload), chains[set_off]
        payload += header(len(data), 0) + data + bytes(-(hdr + len(data)) % 8)
        if chain:
            last, size = chain[-1]
            payload[last:last + hdr] = header(size, at - last)
        chain.append((at, len(data)))
        struct.pack_into(">I", payload, set_off, flag | (len(chain) << 16) | ((chain[0][0] - set_off) // 4))
    return bytes(payload) + marker


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else DATA
    for bits in (32, 16):
        with open(os.path.join(out, "msg_element_%d.bin" % bits), "wb") as f:
            f.write(build(bits))
