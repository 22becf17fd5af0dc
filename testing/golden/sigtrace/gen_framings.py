#!/usr/bin/env python3
"""Independent encoder of the pcap record bodies the trace groups write.

Builds, with struct only, the bytes that follow the pcap record header for
each framing case of sigtrace/tests/test_framings.cpp, and writes them as
framing_<case>.bin into sigtrace/tests/data (or into the folder given as the
only argument). The C++ test compares its framings with these files, so a
mistake on one side does not hide itself. Run it again after changing a case.
"""
import os
import socket
import struct
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
DATA = os.path.join(ROOT, "sigtrace", "tests", "data")


def ip_checksum(header):
    total = 0
    for i in range(0, len(header), 2):
        total += (header[i] << 8) | header[i + 1]
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (~total) & 0xFFFF


def ipv4(total_length, proto, src, dst):
    def addr(text):
        return socket.inet_aton(text) if text else b"\0\0\0\0"
    hdr = struct.pack("!BBHHHBBH4s4s", 0x45, 0, total_length, 0, 0, 64, proto, 0, addr(src), addr(dst))
    return hdr[:10] + struct.pack("!H", ip_checksum(hdr)) + hdr[12:]


def ether(dst, src):
    return bytes(dst) + bytes(src) + struct.pack("!H", 0x0800)


def pad4(data):
    return data + b"\0" * ((4 - len(data) % 4) % 4)


def ss7(link, annex_a, direction, frame):
    n = min(len(frame), 300)
    return struct.pack("!BBH", 1 if direction else 0, 1 if annex_a else 0, link & 0xFFFF) + frame[:n]


def lapd(direction, side, frame):
    n = min(len(frame), 300)
    return struct.pack("!HHHB7xH", 0 if direction == 0 else 4, 0, n, side & 0xFF, 0x0030) + frame[:n]


def iua(trunk, iface, address, direction, frame, msg_type, dlci_tail, data):
    """data: the layer-3 octets carried (None: no Protocol Data parameter)."""
    params = struct.pack("!HHI", 0x0001, 8, trunk)
    params += struct.pack("!HH", 0x0005, 8) + bytes(frame[0:2]) + bytes(dlci_tail)
    params += pad4(struct.pack("!HH", 0x0004, 4 + len(iface)) + iface)
    if data is not None:
        params += pad4(struct.pack("!HH", 0x000E, 4 + len(data)) + data)
    m = 8 + len(params)
    iua_msg = struct.pack("!BBBBI", 1, 0, 5, msg_type, m) + params
    chunk = struct.pack("!BBHIHHI", 0, 3, 16 + len(iua_msg), 0, trunk & 0xFFFF, 0, 1) + iua_msg
    sctp = struct.pack("!HHII", 0, 0, 0, 0) + chunk
    src, dst = (address, "") if direction == 1 else ("", address)
    return ether([0] * 6, [0] * 6) + ipv4(20 + len(sctp), 132, src, dst) + sctp


def udp_frame(eth_dst, eth_src, src, dst, sport, dport, payload):
    udp = struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload
    return ether(eth_dst, eth_src) + ipv4(20 + len(udp), 17, src, dst) + udp


MG, MGC = [1] * 6, [2] * 6
H248 = b"MEGACO/1 [192.168.0.2]:2945\r\nTransaction = 1 {\r\n}\r\n"
LAPD_I = bytes.fromhex("0001020408010505")
SETUP = bytes.fromhex("00010204080200050504038090a31803a98381700581353636 37".replace(" ", ""))

CASES = {
    "ss7_310": ss7(3, 0, 1, bytes(i & 0xFF for i in range(310))),
    "ss7_annexa": ss7(0x12345, 1, 0, bytes.fromhex("3492028101000385")),
    "lapd_old": lapd(1, 1, bytes.fromhex("0001020408010505")),
    "lapd_old_rx": lapd(0, 0x1FF, bytes.fromhex("02010105")),
    "iua_i5": iua(7, b"A" * 37, "10.1.2.3", 0, bytes.fromhex("0001020408"), 2, bytes.fromhex("0204"),
                  bytes.fromhex("08")),
    "iua_rr4": iua(0, b"", "", 1, bytes.fromhex("02010105"), 1, bytes.fromhex("0105"), None),
    "iua_ui": iua(2, b"D0:ETSI:NET", "192.168.10.20", 0, bytes.fromhex("02010308010505"), 4,
                  bytes.fromhex("0300"), bytes.fromhex("08010505")),
    # P/F set (control 0x13): still a UI frame, sent as Unit Data Request.
    "iua_ui_pf_tx": iua(4, b"D2", "10.0.0.8", 1, bytes.fromhex("00011308010175"), 3, bytes.fromhex("1300"),
                        bytes.fromhex("08010175")),
    "iua_sabme3": iua(1, b"x", "10.0.0.9", 1, bytes.fromhex("00017f"), 1, bytes.fromhex("7f00"), None),
    # S and U frames longer than their format: the octets past 3 ride in Protocol Data.
    "iua_rr6_tx": iua(3, b"D1", "10.0.0.7", 1, bytes.fromhex("020101050a0b"), 1, bytes.fromhex("0105"),
                      bytes.fromhex("0a0b")),
    "iua_sabme5_rx": iua(3, b"D1", "10.0.0.7", 0, bytes.fromhex("00017fc1c2"), 2, bytes.fromhex("7fc1"),
                         bytes.fromhex("c2")),
    "iua_setup": iua(5, b"E1_0:ETSI:USER", "10.20.30.40", 1, SETUP, 1, SETUP[2:4], SETUP[4:]),
    # The same LAPD link (trunk 2, "LAPD_A") of two boards: its name as interface
    # string (no variant or side), its board's address.
    "iua_lapd_board2": iua(2, b"LAPD_A", "127.0.0.2", 0, LAPD_I, 2, LAPD_I[2:4], LAPD_I[4:]),
    "iua_lapd_board3_tx": iua(2, b"LAPD_A", "127.0.0.3", 1, LAPD_I, 1, LAPD_I[2:4], LAPD_I[4:]),
    "h248_dir2": udp_frame(MG, MGC, "192.168.0.2", "192.168.0.1", 2945, 2944, H248),
    "h248_dir1": udp_frame(MGC, MG, "192.168.0.1", "192.168.0.2", 2944, 2945, H248),
    # Any direction other than 2 goes from the MG to the MGC.
    "h248_dir3": udp_frame(MGC, MG, "192.168.0.1", "192.168.0.2", 2944, 2945, H248),
    "h248_dir0": udp_frame(MGC, MG, "192.168.0.1", "192.168.0.2", 2944, 2945, H248),
    "tucl_raw_sctp": ether(MGC, MG) + ipv4(20 + 12, 132, "10.0.0.2", "10.0.0.1") + bytes.fromhex("0b5913c400000000deadbeef"),
    "tucl_raw_udp": ether(MGC, MG) + ipv4(20 + 4, 17, "10.0.0.1", "") + bytes.fromhex("01020304"),
    "tucl_udp_sip": udp_frame(MGC, MG, "10.0.0.1", "10.0.0.2", 5060, 5062, b"OPTIONS sip:a@b SIP/2.0\r\n\r\n"),
}

if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else DATA
    for name, data in CASES.items():
        with open(os.path.join(out, "framing_%s.bin" % name), "wb") as f:
            f.write(data)
