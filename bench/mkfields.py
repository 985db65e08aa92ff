#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Writes a one-page PDF form with many text fields, for the verification benchmarks.

usage: mkfields.py FIELDS OUT.pdf [--object-streams]
  FIELDS            number of text fields (merged field-widgets on the page)
  --object-streams  the fields go into object streams of 1,000 objects each, with a
                    cross-reference stream, as current writers store them

Objects 1-4 are the catalog, the page tree, the page and its /Annots array; the form
lists every field and the page every widget.
"""
import sys, zlib

def main():
    args = [a for a in sys.argv[1:] if not a.startswith('--')]
    if len(args) != 2:
        sys.exit(__doc__)
    count, out = int(args[0]), args[1]
    packed = '--object-streams' in sys.argv
    first = 5
    refs = ' '.join(f'{first + i} 0 R' for i in range(count))
    fields = {first + i: (f'<</FT/Tx/T(f{i})/V(value {i})/Subtype/Widget/P 3 0 R'
                          f'/Rect[{10 + i % 50 * 10} {10 + i // 50 % 70 * 10} '
                          f'{18 + i % 50 * 10} {18 + i // 50 % 70 * 10}]>>') for i in range(count)}
    plain = {1: '<</Type/Catalog/Pages 2 0 R/AcroForm<</Fields[' + refs + ']>>>>',
             2: '<</Type/Pages/Kids[3 0 R]/Count 1>>',
             3: '<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]/Annots 4 0 R>>',
             4: '[' + refs + ']'}
    data = bytearray(b'%PDF-1.7\n%\xe2\xe3\xcf\xd3\n')
    offsets, compressed = {}, {}
    def put(n, body):
        offsets[n] = len(data)
        data.extend(b'%d 0 obj\n' % n + body + b'\nendobj\n')
    for n, body in plain.items():
        put(n, body.encode())
    next_number = first + count
    if not packed:
        for n, body in fields.items():
            put(n, body.encode())
    else:
        numbers = sorted(fields)
        for k in range(0, len(numbers), 1000):
            chunk = numbers[k:k + 1000]
            bodies, header, pos = b'', [], 0
            for index, n in enumerate(chunk):
                header.append(f'{n} {pos}')
                body = fields[n].encode() + b'\n'
                bodies += body
                pos += len(body)
                compressed[n] = (next_number, index)
            head = (' '.join(header) + '\n').encode()
            raw = zlib.compress(head + bodies)
            put(next_number, b'<</Type/ObjStm/N %d/First %d/Filter/FlateDecode/Length %d>>\nstream\n'
                % (len(chunk), len(head), len(raw)) + raw + b'\nendstream')
            next_number += 1
    size = next_number + (1 if packed else 0)
    if not packed:
        xref = len(data)
        data.extend(b'xref\n0 %d\n0000000000 65535 f\r\n' % size)
        for n in range(1, size):
            data.extend(b'%010d 00000 n\r\n' % offsets[n])
        data.extend(b'trailer\n<</Size %d/Root 1 0 R>>\nstartxref\n%d\n%%%%EOF\n' % (size, xref))
    else:
        xref = len(data)
        offsets[size - 1] = xref
        rows = bytearray(b'\x00\x00\x00\x00\x00\xff\xff')
        for n in range(1, size):
            if n in compressed:
                stream, index = compressed[n]
                rows += bytes([2]) + stream.to_bytes(4, 'big') + index.to_bytes(2, 'big')
            else:
                rows += bytes([1]) + offsets[n].to_bytes(4, 'big') + b'\x00\x00'
        raw = zlib.compress(bytes(rows))
        put(size - 1, b'<</Type/XRef/Size %d/W[1 4 2]/Root 1 0 R/Filter/FlateDecode/Length %d>>\n'
            b'stream\n' % (size, len(raw)) + raw + b'\nendstream')
        data.extend(b'startxref\n%d\n%%%%EOF\n' % xref)
    with open(out, 'wb') as f:
        f.write(data)

main()
