#!/usr/bin/env python3
"""Writes the seed inputs of the gateway fuzz targets from the golden files
the tests keep (gwlib/tests/data/*.bin), wrapped in each target's input
format (see the comment at the top of each target):

  make_seeds.py            (re)writes gwlib/fuzz/seeds/<target>/*
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "tests", "data")


def golden(kind):
    with open(os.path.join(DATA, kind + ".bin"), "rb") as f:
        return f.read()


def record(flags, body):
    return struct.pack(">BH", flags, len(body)) + body


def write(target, name, data):
    d = os.path.join(HERE, "seeds", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def main():
    ada, host = 1, 0
    udp, poll_sock, handshake = 0, 1, 2
    src_lo, src_gw0net = 0 << 2, 1 << 2
    hadv = golden("host_adv")
    aadv = golden("adapter_adv")
    # fuzz_gw_packets: one instance set-up byte, then records
    write("fuzz_gw_packets", "host_adv_twice", bytes([host]) + record(udp | src_lo, hadv) + record(udp | src_lo, hadv))
    write("fuzz_gw_packets", "host_specific_poll", bytes([host | 8]) + record(udp | src_gw0net, golden("specific")) +
          record(poll_sock | src_gw0net, golden("udp_poll")) + record(udp | src_gw0net, golden("discovery")))
    write("fuzz_gw_packets", "host_handshake", bytes([host]) + record(handshake | src_lo, hadv))
    write("fuzz_gw_packets", "adapter_adv", bytes([ada]) + record(udp | src_lo, aadv) + record(udp | src_lo, aadv[:420]))
    write("fuzz_gw_packets", "adapter_handshake", bytes([ada | 0x18]) + record(handshake | src_gw0net, aadv) +
          record(udp | src_gw0net, golden("discovery")))
    # fuzz_wire_decode: the decoder's number, then the packet
    for i, kind in enumerate(["specific", "udp_poll", "host_adv", "adapter_adv", "batch_header", "adapter_poll"]):
        write("fuzz_wire_decode", kind, bytes([i]) + golden(kind))
    write("fuzz_wire_decode", "handle", bytes([7]) + b"VQ500_0x0C000010")
    # fuzz_rx_parse: split entries, then the stream: a batch header, a
    # poll and a reply, whole and in 1-byte chunks
    stream = struct.pack(">16I", 2, 3, 1, *([0] * 13)) + b"abcd" + golden("host_poll") + golden("host_poll_reply")
    write("fuzz_rx_parse", "whole", bytes([0]) + stream)
    write("fuzz_rx_parse", "ones", bytes([2]) + struct.pack(">HH", 0x8000 | 70, 9) + stream)
    write("fuzz_rx_parse", "golden_header", bytes([1]) + struct.pack(">H", 10) + golden("batch_header"))


if __name__ == "__main__":
    main()
