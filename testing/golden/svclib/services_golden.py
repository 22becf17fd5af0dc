#!/usr/bin/env python3
"""Independent encoder and decoder of the services protocol, written from
docs/services-protocol.md with the struct module only.

  services_golden.py write DIR   writes svc_list.bin and svc_request.bin into DIR
  services_golden.py check DIR   decodes the same names that the C++ test wrote
                                 into DIR and checks them against the cases
"""
import os
import struct
import sys

VERSION = 1
LINK_AREA = b"\0" * 8

# The list case: sender unique id, then (key, service id, detected 0, detected 1, user context).
LIST = (0x7F00000100001234, [(1, 0x0B0D0100, 0x0B0D0200, 0, b""), (2, 0x0B0E0100, 0, 0, b"ctx")])


def encode_list(unique_id, services):
    out = LINK_AREA + struct.pack(">IIII", VERSION, unique_id >> 32, unique_id & 0xFFFFFFFF, len(services))
    for key, sid, d0, d1, ctx in services:
        out += struct.pack(">IIIII", key, sid, d0, d1, len(ctx)) + ctx
    return out + b"\0" * (-len(out) % 8)


def decode_list(data):
    version, hi, lo, count = struct.unpack_from(">IIII", data, 8)
    if version != VERSION or count > 64:
        raise ValueError("version or count")
    off, services = 24, []
    for _ in range(count):
        key, sid, d0, d1, size = struct.unpack_from(">IIIII", data, off)
        off += 20
        if size > 4096 or off + size > len(data):
            raise ValueError("user context")
        services.append((key, sid, d0, d1, data[off:off + size]))
        off += size
    if len(data) - off > 7 or data[off:] != b"\0" * (len(data) - off):
        raise ValueError("bytes left over")
    return (hi << 32) | lo, services


CASES = {
    "svc_list.bin": (encode_list(*LIST), lambda d: decode_list(d) == LIST),
    "svc_request.bin": (LINK_AREA + struct.pack(">I", VERSION) + b"\0" * 4,
                        lambda d: len(d) == 16 and struct.unpack_from(">I", d, 8)[0] == VERSION),
}


def run_cases(cases, doc, argv=None):
    """The command line of the golden scripts: "write DIR" writes each case's bytes into DIR under its name;
    "check DIR" reads the same names there (as the C++ test wrote them) and exits 1 at the first one whose
    check fails. cases: {file name: (bytes, check of the bytes read)}."""
    argv = sys.argv[1:] if argv is None else argv
    if len(argv) != 2 or argv[0] not in ("write", "check"):
        sys.exit(doc)
    for name, (data, check) in sorted(cases.items()):
        path = os.path.join(argv[1], name)
        if argv[0] == "write":
            with open(path, "wb") as f:
                f.write(data)
            continue
        with open(path, "rb") as f:
            got = f.read()
        try:
            ok = check(got)
        except (ValueError, struct.error) as e:
            ok = False
            print("%s: %s" % (name, e))
        if not ok:
            sys.exit("%s: decoded bytes differ from the case" % name)


if __name__ == "__main__":
    run_cases(CASES, __doc__)
