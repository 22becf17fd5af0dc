#!/usr/bin/env python3
"""Independent encoder and decoder of the framework message layouts, written
from docs/framework-messages.md with the struct module only.

  comm_golden.py write DIR   writes the golden files (comm_*.bin) into DIR
  comm_golden.py check DIR   decodes the files that the C++ test wrote into DIR
                             (same names) and checks each against the case's
                             values; exits 1 naming the first difference
"""
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "svclib"))
from services_golden import run_cases  # noqa: E402  (the shared write/check command line)

PUBLIC_HEADER = 0xCCAFCCAFCCAFCCAF
SUB_MSGID, SUB_END = 0x0B000001, 0x0B0000FF
BUF_MAGIC_ID, BUF_DATA_ID, BUF_END, BUF_MAGIC = 0x7CAF7001, 0x7CAF7002, 0x7CAF70FF, 0x1234CAFE


def has_envelope(msg_id):
    return (msg_id >> 24) == 0x0B


def object_bytes(count):
    """The test object: count big-endian u32 values i * 0x01010101."""
    return b"".join(struct.pack(">I", i * 0x01010101) for i in range(count))


def encode_message(msg_id, body):
    if not has_envelope(msg_id):
        return body
    return struct.pack(">QIIII", PUBLIC_HEADER, SUB_MSGID, 4, msg_id, SUB_END) + body


def decode_message(data):
    """(message id from the envelope, body); raises on a malformed envelope."""
    (header,) = struct.unpack_from(">Q", data, 0)
    off, msg_id = 8, 0
    while True:
        (member,) = struct.unpack_from(">I", data, off)
        off += 4
        if member == SUB_END:
            return msg_id, data[off:]
        (size,) = struct.unpack_from(">I", data, off)
        off += 4
        if member == SUB_MSGID:
            if size < 4:
                raise ValueError("id member shorter than 4 bytes")
            (msg_id,) = struct.unpack_from(">I", data, off)
        if off + size > len(data):
            raise ValueError("member runs past the data")
        off += size


def encode_buffer_member(payload):
    return struct.pack(">III", BUF_MAGIC_ID, 4, BUF_MAGIC) + struct.pack(">II", BUF_DATA_ID, len(payload)) + payload \
        + struct.pack(">I", BUF_END)


def decode_buffer_member(data):
    member, size, magic = struct.unpack_from(">III", data, 0)
    if (member, size, magic) != (BUF_MAGIC_ID, 4, BUF_MAGIC):
        raise ValueError("no magic member")
    off, payload = 12, None
    while True:
        (member,) = struct.unpack_from(">I", data, off)
        off += 4
        if member == BUF_END:
            return payload, data[off:]
        (size,) = struct.unpack_from(">I", data, off)
        off += 4
        if member == BUF_DATA_ID:
            if payload is not None:
                raise ValueError("second data member")
            payload = data[off:off + size]
        off += size


def encode_service_info(host_info, service_id, detected, context):
    """Host record and the three ids raw in this (little-endian) host's order, then a big-endian length."""
    return host_info + struct.pack("<III", service_id, *detected) + struct.pack(">I", len(context)) + context


def decode_service_info(data):
    service_id, d0, d1 = struct.unpack_from("<III", data, 424)
    (size,) = struct.unpack_from(">I", data, 436)
    if 440 + size != len(data):
        raise ValueError("user context length")
    return data[:424], service_id, (d0, d1), data[440:]


SAMPLE_HOST = bytearray(424)
SAMPLE_HOST[280:283] = b"app"  # application name at byte 280
SAMPLE_INFO = (bytes(SAMPLE_HOST), 0x0B0D0100, (0x0B0D0200, 0), b"ab")

def sigtrace_register(kind, name, desc):
    return struct.pack("<I32s256s", kind, name, desc)


def sigtrace_data(kind, name, direction, data):
    return struct.pack("<I32sI10240sI", kind, name, direction, data, len(data))


SAMPLE_DATA = (1, b"mgc1", 0, b"\x01\x02\x03")


def cm_message(msg_id, number, words=(), texts=()):
    """A configuration-management request or answer (docs/cm-client.md): number, words, texts."""
    body = struct.pack(">%dI" % (1 + len(words)), number, *words)
    return encode_message(msg_id, body + b"".join(struct.pack(">I", len(t)) + t for t in texts))


# id: (words, texts) after the number
CM_LAYOUTS = {0x0B0C0001: (2, 1), 0x0B0C0002: (1, 2), 0x0B0C0003: (0, 0),
              0x0B0C0011: (1, 0), 0x0B0C0012: (1, 0), 0x0B0C0013: (1, 0)}


def decode_cm(data):
    """(id, number, words, texts) of a configuration-management message; raises when it is not exactly that."""
    msg_id, body = decode_message(data)
    nwords, ntexts = CM_LAYOUTS[msg_id]
    values = struct.unpack_from(">%dI" % (1 + nwords), body)
    off, texts = 4 * (1 + nwords), []
    for _ in range(ntexts):
        (size,) = struct.unpack_from(">I", body, off)
        if size > 4096 or off + 4 + size > len(body):
            raise ValueError("text")
        texts.append(body[off + 4:off + 4 + size])
        off += 4 + size
    if off != len(body):
        raise ValueError("bytes after the last field")
    return msg_id, values[0], tuple(values[1:]), tuple(texts)


CM_VALIDATE = (0x0B0C0001, 1, (7, 9), (b"quellan.xml",))
CM_ANSWER = (0x0B0C0011, 1, (0x02000000,), ())

# name: (encoded bytes, check of the decoded C++ bytes)
CASES = {
    "comm_envelope_0b030100.bin": (encode_message(0x0B030100, object_bytes(10)),
                                   lambda d: decode_message(d) == (0x0B030100, object_bytes(10))),
    "comm_plain_08250001.bin": (encode_message(0x08250001, object_bytes(3)), lambda d: d == object_bytes(3)),
    "comm_buffer_member.bin": (encode_buffer_member(b"hello"),
                               lambda d: decode_buffer_member(d) == (b"hello", b"")),
    "comm_sigtrace_register.bin": (
        encode_message(0x0B0D0100, sigtrace_register(1, b"mgc1", b"gateway one")),
        lambda d: decode_message(d) == (0x0B0D0100, sigtrace_register(1, b"mgc1", b"gateway one"))),
    "comm_sigtrace_data.bin": (
        encode_message(0x0B0D0400, sigtrace_data(*SAMPLE_DATA)),
        lambda d: decode_message(d)[0] == 0x0B0D0400 and len(decode_message(d)[1]) == 10284
        and struct.unpack_from("<I32sI", decode_message(d)[1]) == (1, b"mgc1".ljust(32, b"\0"), 0)
        and struct.unpack_from("<I", decode_message(d)[1], 10280)[0] == 3
        and decode_message(d)[1][40:43] == b"\x01\x02\x03"),
    "comm_cm_validate.bin": (cm_message(*CM_VALIDATE), lambda d: decode_cm(d) == CM_VALIDATE),
    "comm_cm_answer.bin": (cm_message(*CM_ANSWER), lambda d: decode_cm(d) == CM_ANSWER),
    "comm_service_info.bin": (encode_service_info(*SAMPLE_INFO), lambda d: decode_service_info(d) == SAMPLE_INFO),
}


if __name__ == "__main__":
    run_cases(CASES, __doc__)
