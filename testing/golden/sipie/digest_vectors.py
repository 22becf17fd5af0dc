#!/usr/bin/env python3
"""Digest credentials computed with hashlib from the definitions of RFC 2617
3.2.2 and RFC 7616 3.4 (MD5 and MD5-sess; the session key hashes the hex
text of H(A1)), independently of the C++ code.

Checks the published vectors first (RFC 2617 3.5, RFC 7616 3.9.1 MD5),
then writes one row per case for the C++ test of VQ500SipHeaderFill_Auth:
  name|user|password|realm|nonce|algorithm|qop|opaque|method|ext|uri|cnonce|nc|credentials
('-' absent); credentials is scheme and the parameter list, name=value
joined by ',' in the order and forms the header must have.

Usage: digest_vectors.py [folder]   write digest_rows.txt (default: sipie/tests/data)
       digest_vectors.py --check    check the vectors and compare with the committed file
"""
import hashlib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, '..', '..', '..', 'sipie', 'tests', 'data')
CNONCE = '0102030405060708'  # the test's random source gives bytes 1..8


def h(s):
    return hashlib.md5(s.encode()).hexdigest()


def response(alg, user, pw, realm, nonce, cnonce, nc, qop, method, uri):
    ha1 = h('%s:%s:%s' % (user, realm, pw))
    if alg.lower() == 'md5-sess':
        ha1 = h('%s:%s:%s' % (ha1, nonce, cnonce))
    ha2 = h('%s:%s' % (method, uri))
    if qop:
        return h(':'.join([ha1, nonce, nc, cnonce, qop, ha2]))
    return h(':'.join([ha1, nonce, ha2]))


def vectors():
    got = response('', 'Mufasa', 'Circle Of Life', 'testrealm@host.com', 'dcd98b7102dd2f0e8b11d0f600bfb0c093',
                   '0a4f113b', '00000001', 'auth', 'GET', '/dir/index.html')
    assert got == '6629fae49393a05397450978507c4ef1', got
    got = response('MD5', 'Mufasa', 'Circle of Life', 'http-auth@example.org',
                   '7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v', 'f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ',
                   '00000001', 'auth', 'GET', '/dir/index.html')
    assert got == '8ca523f5e9506fed4657c9700eebdbec', got


# name, user, password, realm, nonce, algorithm, qop offered, opaque, method, method text, Request-URI, nc
CASES = [
    ('auth with opaque', 'alice', 'secret', 'atlanta.com', 'ea9c8e88df84f1cec4341ae6cbe5a359', 'MD5', 'auth',
     '5ccc069c403ebaf9f0171e9517f40e41', 'INVITE', None, 'sip:bob@biloxi.com', 1),
    ('no qop', 'alice', 'secret', 'atlanta.com', 'n0nce', None, None, None, 'REGISTER', None, 'sip:atlanta.com', 0),
    ('md5-sess, options trimmed', 'bob', 'pw', 'biloxi.com', 'abc', 'MD5-sess', 'auth-int , auth', None, 'BYE',
     None, 'sip:alice@192.0.2.4:5070', 0x2a),
    ('null user and password', None, None, 'r', 'n', None, 'auth', None, 'OPTIONS', None, 'sip:h', 0xfffffffe),
    ('extension method', 'u', 'p', 'r', 'n', None, 'auth', None, 'EXTN', 'FOO', 'sips:u@[2001:db8::1]', 7),
]


def rows():
    out = []
    for name, user, pw, realm, nonce, alg, qop, opaque, method, ext, uri, nc in CASES:
        ncs = '%08x' % nc
        hashed = ext or method
        resp = response(alg or '', user or '', pw or '', realm, nonce, CNONCE, ncs, 'auth' if qop else '', hashed,
                        uri)
        params = []
        if user is not None:
            params.append('username="%s"' % user)
        if alg:
            params.append('algorithm=%s' % alg)
        params += ['realm="%s"' % realm, 'nonce="%s"' % nonce]
        if qop:
            params += ['cnonce="%s"' % CNONCE, 'nc=%s' % ncs, 'qop=auth']
        params += ['uri="%s"' % uri, 'response="%s"' % resp]
        if opaque:
            params.append('opaque="%s"' % opaque)
        fields = [name, user, pw, realm, nonce, alg, qop, opaque, method, ext, uri, CNONCE, ncs,
                  'Digest ' + ','.join(params)]
        out.append('|'.join('-' if f is None else f for f in fields))
    return '\n'.join(out) + '\n'


def main(argv):
    vectors()
    text = rows()
    path = os.path.join(DATA, 'digest_rows.txt')
    if argv[1:] == ['--check']:
        if open(path).read() != text:
            print('differs:', path)
            return 1
        return 0
    with open(os.path.join(argv[1] if len(argv) > 1 else DATA, 'digest_rows.txt'), 'w') as f:
        f.write(text)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
