#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Writes a large synthetic PDF with many objects, for the reader benchmarks.

usage: mkbig.py SIZE OBJECTS OUT.pdf [--xref-stream]
  SIZE      total size, e.g. 1G, 100M (binary units)
  OBJECTS   number of filler objects, e.g. 1000000
  --xref-stream  end with a cross-reference stream (/W [1 4 2], Flate) instead of a
                 classic table

Objects 1-3 are the catalog, the page tree and one page; every filler object is a small
stream of incompressible bytes sized so that the file reaches SIZE.
"""
import os, sys, zlib

def parse_size(s):
    mult = {'K': 1 << 10, 'M': 1 << 20, 'G': 1 << 30}
    s = s.strip().upper()
    return int(float(s[:-1]) * mult[s[-1]]) if s[-1] in mult else int(s)

def main():
    args = [a for a in sys.argv[1:] if not a.startswith('--')]
    if len(args) != 3:
        sys.exit(__doc__)
    size, count, out = parse_size(args[0]), int(args[1]), args[2]
    stream_xref = '--xref-stream' in sys.argv
    total = count + 3
    per_object = max(1, size // count - 60)
    noise = os.urandom(1 << 20)
    offsets = [0] * (total + 2)
    with open(out, 'wb', buffering=1 << 22) as f:
        pos = 0
        def w(b):
            nonlocal pos
            f.write(b)
            pos += len(b)
        w(b'%PDF-1.7\n%\xe2\xe3\xcf\xd3\n')
        for n, body in ((1, b'<</Type/Catalog/Pages 2 0 R>>'),
                        (2, b'<</Type/Pages/Kids[3 0 R]/Count 1>>'),
                        (3, b'<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]>>')):
            offsets[n] = pos
            w(b'%d 0 obj\n%s\nendobj\n' % (n, body))
        for n in range(4, total + 1):
            offsets[n] = pos
            start = (n * 7919) % (len(noise) - per_object)
            w(b'%d 0 obj\n<</Length %d>>stream\n' % (n, per_object) +
              noise[start:start + per_object] + b'\nendstream\nendobj\n')
        xref = pos
        if stream_xref:
            n = total + 1
            offsets[n] = xref
            rows = bytearray()
            rows += b'\x00\x00\x00\x00\x00\xff\xff'
            for i in range(1, n + 1):
                rows += b'\x01' + offsets[i].to_bytes(4, 'big') + b'\x00\x00'
            packed = zlib.compress(bytes(rows), 6)
            w(b'%d 0 obj\n<</Type/XRef/Size %d/Root 1 0 R/W[1 4 2]/Filter/FlateDecode/Length %d>>\n'
              b'stream\n' % (n, n + 1, len(packed)) + packed + b'\nendstream\nendobj\n')
        else:
            w(b'xref\n0 %d\n0000000000 65535 f\r\n' % (total + 1))
            w(b''.join(b'%010d 00000 n\r\n' % offsets[i] for i in range(1, total + 1)))
            w(b'trailer\n<</Size %d/Root 1 0 R>>\n' % (total + 1))
        w(b'startxref\n%d\n%%%%EOF\n' % xref)

if __name__ == '__main__':
    main()
