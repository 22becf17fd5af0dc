#!/usr/bin/env python3
"""Builds the golden INVITE element tree beside this script, written by hand
from the record layouts (not from sipie/schema/, so that a slip in either
shows up as a difference).

invite_host.bin: the payload of a host message (little-endian host) holding a
SipMessageRequestIe at offset 0 and every string and set of its tree, in the
order a deep copy appends them (depth first, members in copy order).
invite_swapped.bin: the same tree with every u16 and u32 member byte-reversed;
set words, element headers and the end marker are big-endian in both.

Usage: gen_invite.py [output folder]   write both files (default: beside this script)
       gen_invite.py --check             compare with the committed files
(standard library only)
"""
import os
import struct
import sys

END_MARKER = bytes.fromhex('EDDA21433412ADDE')  # 32-bit element layout


def round8(n):
    return (n + 7) & ~7


class Msg:
    """A payload: fixed structure, then elements appended at the end."""

    def __init__(self, fixed, order):
        self.b = bytearray(round8(fixed))
        self.o = order          # '<' host order, '>' reversed
        self.sets = {}          # set word offset -> [count, first header, last header]

    def u8(self, pos, v):
        self.b[pos] = v

    def u16(self, pos, v):
        struct.pack_into(self.o + 'H', self.b, pos, v)

    def u32(self, pos, v):
        struct.pack_into(self.o + 'I', self.b, pos, v)

    def element(self, setpos, size):
        """Appends a zero-filled element of size bytes to the set whose word
        is at setpos; returns the offset of its data."""
        hdr = len(self.b)
        self.b += struct.pack('>II', size, 0) + bytes(round8(8 + size) - 8)
        st = self.sets.setdefault(setpos, [0, hdr, None])
        if st[2] is not None:
            struct.pack_into('>I', self.b, st[2] + 4, hdr - st[2])
        st[0] += 1
        st[2] = hdr
        word = 0x80000000 | (st[0] << 16) | ((st[1] - setpos) // 4)
        struct.pack_into('>I', self.b, setpos, word)
        return hdr + 8

    def string(self, setpos, text):
        if text is None:
            return
        data = text.encode('ascii') + b'\0'
        pos = self.element(setpos, len(data))
        self.b[pos:pos + len(data)] = data

    def payload(self):
        return bytes(self.b) + END_MARKER


# ---- SIP records (offsets from each record's start)

def sip_uint32(m, p, flag, value):          # SipUint32Ie: u32 boolean, u32
    m.u32(p, flag)
    m.u32(p + 4, value)


def sip_uint16(m, p, flag, value):          # SipUint16Ie: u8 boolean, +2 u16
    m.u8(p, flag)
    m.u16(p + 2, value)


def method(m, p, kind, text):               # SipMethodIe: +0 type, +4 string
    m.u32(p, kind)
    m.string(p + 4, text)


def sip_uri(m, p, user, host, port=None, lr=False):
    # SipUriIe: +0 SipUserInfoIe (16), +16 SipHostPortIe (16), +32 set of
    # SipUriParamIe, +36 SipUriHeadersIe (12)
    m.u32(p, 1 if user else 0)              # user info present
    m.u32(p + 4, 1 if user else 0)          # USERINFO_TYPE_USER
    m.string(p + 8, user)
    m.string(p + 12, None)                  # password
    host_port(m, p + 16, host, port)
    if lr:
        q = m.element(p + 32, 12)           # SipUriParamIe, type 6: lr, no value
        m.u32(q, 6)
    # +36 SipUriHeadersIe: +0 SipNamevalIe (two strings, empty), +8 set: empty


def host_port(m, p, host, port):
    m.u32(p, 1)                             # HOST_TYPE_HOSTNAME
    m.string(p + 4, host)
    sip_uint32(m, p + 8, 1 if port else 0, port or 0)


def addrspec_sip(m, p, user, host, port=None, lr=False):  # SipAddrspecIe (52)
    m.u32(p, 1)                             # sip URI
    sip_uri(m, p + 4, user, host, port, lr)


def name_addr(m, p, display, user, host, port=None, lr=False):  # SipNameAddrIe (64)
    if display is not None:
        m.u32(p, 1)                         # name-addr
        m.u32(p + 4, 1)                     # quoted display name
        m.string(p + 8, display)
    else:
        m.u32(p, 2)                         # addr-spec only
    addrspec_sip(m, p + 12, user, host, port, lr)


def header(m, setpos, kind, size):
    p = m.element(setpos, size)
    m.u32(p, kind)
    return p


def content_type(m, setpos, sub_kind, sub_text):
    p = header(m, setpos, 20, 24)           # SipHeaderContenttypeIe
    m.u32(p + 4, 5)                         # MEDIA_TYPE_APPLICATION
    m.string(p + 8, 'application')
    m.u32(p + 12, sub_kind)
    m.string(p + 16, sub_text)


# ---- SDP records

def typed_time(m, p, text, unit):           # SdpTypedTimeIe (8)
    m.string(p, text)
    m.u32(p + 4, unit)


def sdp_session(m, p):
    # SdpSessionDescriptionIe (80)
    m.u16(p, 0)                             # version
    m.string(p + 4, 'alice')                # origin (32): user, id, version, address
    m.string(p + 8, '2890844526')
    m.string(p + 12, '2890842807')
    m.u32(p + 16, 2)                        # +12 SdpAddressIe: NET_TYPE_IN
    m.u32(p + 20, 5)                        # ADDRESS_TYPE_IPV4
    m.u32(p + 24, 2)                        # SdpIp4AddressIe: unicast
    m.string(p + 28, '10.47.16.5')          # SdpIp4UnicastIe
    m.string(p + 36, 'SDP Seminar')
    # +40 information, +44 URI, +48 e-mail, +52 phone: empty
    c = m.element(p + 56, 28)               # SdpConnectionIe: 8 + SdpIp4ConnectionIe (20)
    m.u32(c, 2)
    m.u32(c + 4, 5)
    m.u32(c + 8, 2)                         # unicast
    m.string(c + 12, '224.2.17.12')
    # +60 bandwidth: empty
    t = m.element(p + 64, 20)               # SdpTimeIe
    m.string(t, '2873397496')               # +0 SdpOpTimeIe: start, stop, repeats
    m.string(t + 4, '2873404696')
    r = m.element(t + 8, 28)                # SdpRepeatIe: three SdpTypedTimeIe, set
    typed_time(m, r, '7', 2)                # 7 days
    typed_time(m, r + 8, '1', 3)            # 1 hour
    typed_time(m, r + 16, '0', 1)
    # +12 further times, +16 zone adjustments: empty; +68 keys, +72 attributes: empty
    md = m.element(p + 76, 72)              # SdpMediaDescriptionIe
    m.u32(md, 1)                            # SdpMediaIe: MEDIA_TYPE_AUDIO
    m.u32(md + 8, 6)                        # +8 SdpChannelIe: RTP port
    m.u16(md + 12, 49170)                   #   SdpPortIe: port, SdpUint16Ie count
    m.u8(md + 14, 1)
    m.u16(md + 16, 2)
    m.u32(md + 32, 2)                       # +32 SdpMediaParamIe: RTP
    m.u32(md + 36, 1)                       #   RTP/AVP
    for fmt in (0, 101):                    #   +12 u8 set: formats
        q = m.element(md + 44, 1)
        m.u8(q, fmt)
    a = m.element(md + 68, 24)              # rtpmap: 101 telephone-event/8000
    m.u32(a, 16)
    m.u8(a + 4, 101)
    m.u32(a + 8, 55)                        # ENCODING_TYPE_TELEPHONE_EVENT
    m.u32(a + 16, 8000)
    a = m.element(md + 68, 36)              # fmtp: RFC 2833 events 0-15
    m.u32(a, 15)
    m.u32(a + 4, 3)
    m.u8(a + 8, 101)
    m.string(a + 12, '0-15')
    a = m.element(md + 68, 24)              # silenceSupp (ATM SDP conventions)
    m.u32(a, 23)
    m.u8(a + 4, 1)                          # SdpBooleanIe: present, on
    m.u8(a + 5, 1)
    m.u8(a + 6, 1)                          # SdpUint16Ie: present, timer
    m.u16(a + 8, 0x1234)
    m.u32(a + 12, 2)                        # SIL_SUP_PREFERENCE_STANDARD
    m.u32(a + 16, 3)                        # SID_USE_FIXED_NOISE
    m.u8(a + 20, 1)                         # SdpUint8Ie: present, level
    m.u8(a + 21, 0x5A)


def invite(order):
    m = Msg(160, order)                     # SipMessageRequestIe
    m.u32(0, 1)                             # SipHeaderRequestIe: decoded
    # +4 SipRequestIe: +0 SipRequestLineIe (64), +64 header set
    method(m, 4, 1, 'INVITE')
    addrspec_sip(m, 12, 'bob', 'biloxi.example.com')
    m.string(64, 'SIP/2.0')
    hs = 68
    p = header(m, hs, 54, 52)               # Via: +4 SipViaParamIe (44)
    m.u32(p + 4, 1)                         # SipSentProtocolIe: SIP/2.0/UDP
    m.string(p + 8, 'SIP')
    m.string(p + 12, '2.0')
    m.u32(p + 16, 1)
    m.string(p + 20, 'UDP')
    host_port(m, p + 24, 'pc33.atlanta.example.com', 5060)
    q = m.element(p + 40, 16)               # via params: branch
    m.u32(q, 4)
    m.string(q + 4, 'z9hG4bK776asdhds')
    p = header(m, hs, 27, 72)               # From with tag
    name_addr(m, p + 4, 'Alice', 'alice', 'atlanta.example.com')
    q = m.element(p + 68, 16)
    m.u32(q, 1)
    m.string(q + 4, '1928301774')
    p = header(m, hs, 50, 72)               # To
    name_addr(m, p + 4, None, 'bob', 'biloxi.example.com')
    p = header(m, hs, 22, 20)               # CSeq 314159 INVITE
    sip_uint32(m, p + 4, 1, 314159)
    method(m, p + 12, 1, 'INVITE')
    p = header(m, hs, 12, 80)               # Contact with q=0.7
    m.u32(p + 4, 2)
    name_addr(m, p + 8, None, 'alice', 'pc33.atlanta.example.com')
    q = m.element(p + 72, 16)               # SipContactParamsIe: standard, q
    m.u32(q, 1)
    m.u32(q + 4, 1)
    sip_uint16(m, q + 8, 1, 0)
    sip_uint16(m, q + 12, 1, 7)
    p = header(m, hs, 43, 76)               # Route with lr
    name_addr(m, p + 4, None, None, 'p1.example.com', None, lr=True)
    # +72 SipBodyIe: multipart, two parts (SipBodyMultiPartIe, 92)
    m.u32(72, 3)
    part = m.element(76, 92)
    content_type(m, part, 7, 'octet-stream')
    m.u32(part + 4, 2)                      # single part
    m.u32(part + 8, 2)                      # opaque
    m.string(part + 12, 'opaque body bytes')
    part = m.element(76, 92)
    content_type(m, part, 2, 'sdp')
    m.u32(part + 4, 2)
    m.u32(part + 8, 1)                      # SDP
    sdp_session(m, part + 12)
    return m.payload()


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    check = '--check' in argv
    args = [a for a in argv[1:] if a != '--check']
    out = args[0] if args else here
    status = 0
    for name, order in (('invite_host.bin', '<'), ('invite_swapped.bin', '>')):
        data = invite(order)
        if check:
            with open(os.path.join(here, name), 'rb') as f:
                if f.read() != data:
                    print('gen_invite: %s differs from what the encoder builds' % name)
                    status = 1
        else:
            with open(os.path.join(out, name), 'wb') as f:
                f.write(data)
    return status


if __name__ == '__main__':
    sys.exit(main(sys.argv))
