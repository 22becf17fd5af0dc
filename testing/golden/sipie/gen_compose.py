#!/usr/bin/env python3
"""Golden payload of a header set composed by the SIP element adds, written
with struct from the byte layout of message-element sets
(docs/msg-element-sets.md, 32-bit layout) and the SIP record layouts (header,
name-addr, address spec, URI, parameter records); not from the C++ code.

The message has an 8-byte fixed structure whose first word is the header set.
The adds, in order, are listed in build(); the C++ test makes the same calls
and compares the payload with compose_headers.bin byte for byte.

Usage: gen_compose.py [folder]   write compose_headers.bin and compose_rpi.bin
                                 (default: sipie/tests/data)
       gen_compose.py --check    compare with the committed file
"""
import os
import struct
import sys

MARKER = bytes.fromhex('EDDA21433412ADDE')
HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, '..', '..', '..', 'sipie', 'tests', 'data')


def r8(n):
    return (n + 7) // 8 * 8


class Payload:
    def __init__(self, fixed):
        self.b = bytearray(r8(fixed))
        self.tail = {}  # set word offset -> (count, first header, last header)

    def elem(self, setw, size):
        at = len(self.b)
        self.b += struct.pack('>II', size, 0) + bytes(r8(8 + size) - 8)
        count, first, last = self.tail.get(setw, (0, at, None))
        if last is not None:
            struct.pack_into('>I', self.b, last + 4, at - last)
        count += 1
        self.tail[setw] = (count, first, at)
        struct.pack_into('>I', self.b, setw, 0x80000000 | count << 16 | (first - setw) // 4)
        return at + 8

    def text(self, setw, s):
        if s is not None:
            d = self.elem(setw, len(s) + 1)
            self.b[d:d + len(s)] = s.encode()

    def w(self, off, *words):
        struct.pack_into('<%dI' % len(words), self.b, off, *words)

    def bytes(self):
        return bytes(self.b) + MARKER


def host_type(h):
    parts = h.split('.')
    if ':' in h:
        return 3
    if len(parts) == 4 and all(p.isdigit() and len(p) <= 3 and int(p) <= 255 for p in parts):
        return 2
    return 1


def uri(p, at, user, host, port):
    """URI record at 'at': user info (present, type 1, user, password), host
    port (type, text, present, port), URI parameter set, URI headers."""
    p.text(at + 8, user)
    p.w(at, 1 if user else 0, 1)
    p.text(at + 20, host)
    p.w(at + 16, host_type(host))
    p.w(at + 24, 1 if port else 0, port)


def name_addr(p, at, display, user, host, port):
    """Name-addr at 'at': kind, display name (type, text) at +4, SIP address
    spec at +12 (kind 1, then the URI at +16)."""
    if display is not None:
        p.text(at + 8, display)
        p.w(at + 4, 1)
    p.w(at, 1 if display is not None else 2)
    uri(p, at + 16, user, host, port)
    p.w(at + 12, 1)


def build():
    p = Payload(8)
    H = 0
    # Via: UDP, host name, 5060 (52 bytes, type 54).
    e = p.elem(H, 52)
    p.w(e + 4, 1)
    p.text(e + 12, '2.0')
    p.w(e + 16, 1)
    p.text(e + 28, 'pc33.atlanta.com')
    p.w(e + 24, 1)
    p.w(e + 32, 1, 5060)
    p.w(e, 54)
    # Max-Forwards 70 (12 bytes, type 30).
    e = p.elem(H, 12)
    p.w(e, 30, 1, 70)
    # To "Bob" <sip:bob@biloxi.com> (72, type 50).
    e = p.elem(H, 72)
    name_addr(p, e + 4, 'Bob', 'bob', 'biloxi.com', 0)
    p.w(e, 50)
    # From "Alice" <sip:alice@atlanta.com> (type 27), then its tag parameter
    # (8 bytes: kind 1, text) in the address parameter set at +68.
    frm = p.elem(H, 72)
    name_addr(p, frm + 4, 'Alice', 'alice', 'atlanta.com', 0)
    p.w(frm, 27)
    t = p.elem(frm + 68, 8)
    p.text(t + 4, '1928301774')
    p.w(t, 1)
    # Call-ID (8, type 9).
    e = p.elem(H, 8)
    p.text(e + 4, 'a84b4c76e66710@pc33.atlanta.com')
    p.w(e, 9)
    # CSeq 314159 INVITE (20, type 22): present, number, method.
    e = p.elem(H, 20)
    p.w(e, 22, 1, 314159, 1)
    # Contact <sip:alice@192.0.2.4> (80, type 12, kind 2, contact parameter at +8).
    e = p.elem(H, 80)
    name_addr(p, e + 8, None, 'alice', '192.0.2.4', 0)
    p.w(e, 12, 2)
    # Route <sip:ss1.atlanta.com;lr> (76, type 43): lr is a 4-byte URI
    # parameter of kind 6 in the URI parameter set (URI at +20, set at +52).
    e = p.elem(H, 76)
    name_addr(p, e + 4, None, None, 'ss1.atlanta.com', 0)
    lr = p.elem(e + 4 + 12 + 4 + 32, 4)
    p.w(lr, 6)
    p.w(e, 43)
    # Content-Type application/sdp (24, type 20).
    e = p.elem(H, 24)
    p.w(e, 20, 5)
    p.w(e + 12, 2)
    # Extension header "P-Test:yes" (8, type 92).
    e = p.elem(H, 8)
    p.text(e + 4, 'P-Test:yes')
    p.w(e, 92)
    # Accept-Language en, fr: one header (8, type 3) whose set gets two 8-byte
    # language elements.
    e = p.elem(H, 8)
    p.w(e, 3)
    for lang in ('en', 'fr'):
        le = p.elem(e + 4, 8)
        p.text(le, lang)
    # Event refer;id=7 (12, type 60): generic parameter of 12 bytes (name,
    # value type 1, value).
    e = p.elem(H, 12)
    p.text(e + 4, 'refer')
    pe = p.elem(e + 8, 12)
    p.text(pe, 'id')
    p.text(pe + 8, '7')
    p.w(pe + 4, 1)
    p.w(e, 60)
    # Subscription-State 2, expires 600, reason 3 (16, type 81): two 16-byte
    # parameters, expires first.
    e = p.elem(H, 16)
    p.w(e + 4, 2)
    x = p.elem(e + 12, 16)
    p.w(x, 2, 1, 600)
    x = p.elem(e + 12, 16)
    p.w(x, 1, 3)
    p.w(e, 81)
    # Replaces c1;to-tag=tt;from-tag=ft (12, type 68): 16-byte parameters of
    # kinds 1 and 2.
    e = p.elem(H, 12)
    p.text(e + 4, 'c1')
    for kind, tag in ((1, 'tt'), (2, 'ft')):
        x = p.elem(e + 8, 16)
        p.text(x + 4, tag)
        p.w(x, kind)
    p.w(e, 68)
    # Refer-To <sip:carol@cleveland.com?Replaces=c1&to-tag=tt&from-tag=ft>
    # (72, type 64): URI headers at URI + 36: the pair held directly, then
    # 8-byte pairs in the further set.
    e = p.elem(H, 72)
    name_addr(p, e + 4, None, 'carol', 'cleveland.com', 0)
    uh = e + 4 + 12 + 4 + 36
    p.text(uh, 'Replaces')
    p.text(uh + 4, 'c1')
    for name, value in (('to-tag', 'tt'), ('from-tag', 'ft')):
        x = p.elem(uh + 8, 8)
        p.text(x, name)
        p.text(x + 4, value)
    p.w(e, 64)
    # Warning 399 atlanta.com "Bad" (20, type 58): u8 present, u16 code.
    e = p.elem(H, 20)
    p.b[e + 4] = 1
    struct.pack_into('<H', p.b, e + 6, 399)
    p.text(e + 8, 'atlanta.com')
    p.text(e + 12, 'Bad')
    p.w(e, 58)
    return p.bytes()


def build_rpi():
    """Remote-Party-ID "Alice" <sip:alice@atlanta.com> with the parameter
    text "party=calling; screen=no;privacy=full;id-type=x1": 76-byte header
    (type 80), name-addr at +4, token set at +68 of 20-byte tokens (type,
    then the value word at +4; party and id-type keep an extension text at
    +8; privacy holds a set at +4 of 20-byte privacy elements)."""
    p = Payload(8)
    e = p.elem(0, 76)
    name_addr(p, e + 4, 'Alice', 'alice', 'atlanta.com', 0)
    t = p.elem(e + 68, 20)
    p.w(t, 2, 1)
    t = p.elem(e + 68, 20)
    p.w(t, 1, 2)
    t = p.elem(e + 68, 20)
    v = p.elem(t + 4, 20)
    p.w(v, 1)
    p.w(t, 4)
    t = p.elem(e + 68, 20)
    p.text(t + 8, 'x1')
    p.w(t, 3, 4)
    p.w(e, 80)
    return p.bytes()


def files_():
    return {'compose_headers.bin': build(), 'compose_rpi.bin': build_rpi()}


def main(argv):
    files = files_()
    if argv[1:] == ['--check']:
        bad = [n for n, b in files.items() if open(os.path.join(DATA, n), 'rb').read() != b]
        for n in bad:
            print('differs:', n)
        return 1 if bad else 0
    out = argv[1] if len(argv) > 1 else DATA
    for n, b in files.items():
        with open(os.path.join(out, n), 'wb') as f:
            f.write(b)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
