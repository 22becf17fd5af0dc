#!/usr/bin/env python3
"""Independent encoder and decoder of the 88-byte host message header as it
travels on the wire: every field big-endian except the serial number and the
two user contexts, which stay in the sender's byte order, and bytes 60..63,
which are always 0.

  wire_header.py encode   prints the sample header below as 176 hex digits
  wire_header.py decode   reads hex digits on stdin, prints name=value lines
"""
import struct
import sys

SENDER = '<' if sys.byteorder == 'little' else '>'

# (name, struct code, byte order) in header order.
LAYOUT = [
    ('un32MsgId', 'I', '>'), ('MsgType', 'I', '>'), ('un32Length', 'I', '>'),
    ('un32PayloadLength', 'I', '>'), ('un32PayloadMaxLength', 'I', '>'),
    ('un32PayloadStart', 'I', '>'), ('un32SerialNumber', 'I', SENDER),
    ('hAdapter', 'I', '>'), ('un64UserContext1', 'Q', SENDER),
    ('un32TrackMagic', 'I', '>'), ('un32FixedTwo', 'I', '>'),
    ('un64UserContext2', 'Q', SENDER), ('un32TimeStamp', 'I', '>'),
    ('un32LocalWord', 'I', '>'), ('un32TxSeq', 'I', '>'),
    ('un32TrackMark', 'I', '>'), ('un64SourceUniqueId', 'Q', '>'),
    ('un16FragInfo', 'H', '>'), ('un16ConnectionCount', 'H', '>'),
    ('un32PiggyAck', 'I', '>'),
]

SAMPLE = {
    'un32MsgId': 0x0B080101, 'MsgType': 4, 'un32Length': 0x00000140,
    'un32PayloadLength': 0x000000A8, 'un32PayloadMaxLength': 0x000000E8,
    'un32PayloadStart': 88, 'un32SerialNumber': 0x11223344,
    'hAdapter': 0xCA001234, 'un64UserContext1': 0x0102030405060708,
    'un32TrackMagic': 1, 'un32FixedTwo': 2,
    'un64UserContext2': 0x1112131415161718, 'un32TimeStamp': 0x5F5E1000,
    'un32LocalWord': 0, 'un32TxSeq': 0x00010203, 'un32TrackMark': 0xDB00DB00,
    'un64SourceUniqueId': 0x0A0B0C0D00001F40, 'un16FragInfo': 0x8003,
    'un16ConnectionCount': 0x0102, 'un32PiggyAck': 0x0000ABCD,
}


def encode(values):
    return b''.join(struct.pack(order + code, values[name]) for name, code, order in LAYOUT)


def decode(data):
    out, offset = [], 0
    for name, code, order in LAYOUT:
        size = struct.calcsize(code)
        (value,) = struct.unpack_from(order + code, data, offset)
        out.append((name, value))
        offset += size
    assert offset == 88 == len(data), len(data)
    return out


if __name__ == '__main__':
    if sys.argv[1:] == ['encode']:
        print(encode(SAMPLE).hex())
    elif sys.argv[1:] == ['decode']:
        for name, value in decode(bytes.fromhex(sys.stdin.read().strip())):
            print('%s=0x%X' % (name, value))
    else:
        sys.exit(__doc__)
