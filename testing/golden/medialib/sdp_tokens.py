#!/usr/bin/env python3
"""An independent longest-match SDP tokenizer, written from the scanner's pattern table
(docs/sdp-parser.md), and the writer of the token streams the scanner test compares with.

Longest match wins; between patterns of the same length the earlier row wins. A byte above
126 at a token start is a one-byte DELIM. Usage:
    sdp_tokens.py CORPUS_DIR OUT_FILE     writes one line per input: name, hex bytes, tokens
    sdp_tokens.py CORPUS_DIR OUT_FILE --check   compares with OUT_FILE instead (exit 1 on a difference)
Inputs: every *.sdp file of CORPUS_DIR (in name order), then 300 random texts (seed 18).
"""
import os
import random
import re
import sys

B = rb'[ \t\f]'
N = rb'[0-9]*\.?[0-9]+'
TC = rb"[A-z0-9!%'*+\-.~]"
QD = rb'"(?:[^"\\\x00-\x08\x0a-\x1f]|\\[^\x00])*"'
QS = rb"'(?:[^'\\\x00-\x08\x0a-\x1f]|\\[^\x00])*'"

LINE_KEYS = [(b'v', 5), (b'o', 7), (b's', 4), (b'i', 81), (b'c', 77), (b'b', 79), (b't', 83), (b'r', 84),
             (b'z', 87), (b'k', 89), (b'a', 12), (b'm', 70)]
WORDS = [(13, 'recvonly'), (14, 'sendrecv'), (15, 'sendonly'), (16, 'inactive'), (17, 'connection'),
         (18, 'rtpmap'), (21, 'fmtp'), (26, 'profile'), (27, 'level'), (28, 'CIF'), (29, 'QCIF'), (30, 'SQCIF'),
         (31, 'profile-level-id'), (32, 'config'), (34, 'mode'), (35, 'octet-align'), (36, 'crc'),
         (37, 'mode-change-period'), (38, 'mode-change-neighbor'), (39, 'mode-set'), (40, 'bitrate'),
         (41, 'annexa'), (42, 'annexb'), (43, 'maxinterleave'), (44, 'fixedrate'), (45, 'silencesupp'),
         (46, 'dtxmax'), (47, 'dtxmin'), (48, 'hangover'), (49, 'ptime'), (50, 'silenceSupp'), (51, 'direction'),
         (52, 'framesize'), (53, 'framerate'), (54, 'video-resolution'), (55, 'T38FaxVersion'),
         (56, 'T38MaxBitRate'), (57, 'T38FaxFillBitRemoval'), (58, 'T38FaxTranscodingMMR'),
         (59, 'T38FaxTranscodingJBIG'), (60, 'T38FaxRateManagement'), (61, 'localTCF'), (62, 'transferredTCF'),
         (63, 'T38FaxMaxBuffer'), (64, 'T38FaxMaxDatagram'), (65, 'T38FaxUdpEC'), (66, 't38UDPFEC'),
         (67, 't38UDPRedundancy'), (71, 'audio'), (72, 'video'), (73, 'image'), (74, 'udptl'), (74, 'UDPTL'),
         (75, 't38'), (75, 'T38')]

# (code, pattern) in table order.
PATTERNS = [(2, rb'\x00'), (3, B + rb'+'), (1, rb'(?:\n+|(?:\r\n)+)' + B + rb'*')]
PATTERNS += [(code, b'[' + k + k.upper() + b']' + B + b'*=') for k, code in LINE_KEYS]
PATTERNS += [(19, rb':'), (20, rb'/'), (23, rb','), (24, rb'='), (25, rb';'), (6, N),
             (9, N + rb'\.' + N + rb'\.' + N + rb'\.' + N), (22, N + rb'-' + N),
             (33, rb'[0-9a-fA-F]*[a-fA-F][0-9a-fA-F]*'), (85, rb'-*' + N + rb'[dhms]'), (82, QD + b'|' + QS),
             (90, rb'url\((?:' + QD + b'|' + QS + rb'|(?:[^ \t\f\x00-\x1f"\'()\\]|\\[^\x00])*)\)'),
             (68, rb'alt' + B + rb'*:' + N + B + rb'*' + N + B + rb'*:[^\r\n\x00]*(?=[\r\n])'),
             (69, rb'setup' + B + rb'*:' + B + rb'*' + TC + rb'*')]
PATTERNS += [(code, re.escape(w.encode())) for code, w in WORDS]
PATTERNS += [(8, TC + rb'+')]
COMPILED = [(code, re.compile(p, re.S)) for code, p in PATTERNS]
IP4 = re.compile(N + rb'\.' + N + rb'\.' + N + rb'\.' + N)
NUMRUN = re.compile(rb'[0-9.]+')


def longest(code, rx, data, pos):
    """Length of the longest match of one pattern at pos (0 when none)."""
    if code == 9:
        # The dotted form can split its digits several ways: try every end of the digit run.
        run = NUMRUN.match(data, pos)
        if not run:
            return 0
        for end in range(run.end(), pos, -1):
            if IP4.fullmatch(data, pos, end):
                return end - pos
        return 0
    m = rx.match(data, pos)
    return m.end() - pos if m else 0


def tokenize(data):
    out, pos = [], 0
    while pos < len(data):
        if data[pos] > 126:
            best = (91, 1)
        else:
            best = (91, 1)
            best_len = 0
            for code, rx in COMPILED:
                n = longest(code, rx, data, pos)
                if n > best_len:
                    best, best_len = (code, n), n
        out.append(best)
        pos += best[1]
    return out


PIECES = [b'a=', b'A =', b'v=0', b'alt:1 2:x', b'alt:1', b'setup : active', b'url(', b')', b'"', b"'", b'\\',
          b'T38FaxVersion', b'rtpmap', b'rtpmapx', b'0-15', b'10.0.0.1', b'1.2.3.4.5', b'FF1E:03AD::1', b'--1h',
          b'7d', b'1.5h', b'\r\n', b'\n', b'\r', b' ', b'\t', b'\f', b'\x00x', b'\x7f', b'\x80', b'\xff', b'\x01',
          b'u=', b'k=1', b'#', b'@', b'audio', b'udptl', b'T38', b'profile-level-id=42e01f', b';', b'/', b'-']
ALPHABET = b'abcdefxyzABCDEFXYZ0123456789.-_!%*+~:;/,= \t'


def random_texts():
    rng = random.Random(18)
    for i in range(300):
        parts = []
        for _ in range(rng.randint(0, 12)):
            if rng.random() < 0.5:
                parts.append(rng.choice(PIECES))
            else:
                parts.append(bytes(rng.choice(ALPHABET) for _ in range(rng.randint(1, 6))))
        # The scanner's text ends at its first NUL.
        yield 'random%03d' % i, b''.join(parts).split(b'\x00')[0]


def lines(corpus):
    inputs = [(n, open(os.path.join(corpus, n), 'rb').read()) for n in sorted(os.listdir(corpus)) if n.endswith('.sdp')]
    inputs += list(random_texts())
    for name, data in inputs:
        toks = ' '.join('%d:%d' % t for t in tokenize(data))
        yield '%s\t%s\t%s\n' % (name, data.hex(), toks)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    text = ''.join(lines(sys.argv[1]))
    if '--check' in sys.argv[3:]:
        if open(sys.argv[2]).read() != text:
            sys.exit('sdp_tokens: %s differs from what the tokenizer writes today' % sys.argv[2])
        return
    open(sys.argv[2], 'w').write(text)


if __name__ == '__main__':
    main()
