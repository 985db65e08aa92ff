#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Writes the seed PDFs of the process_pdf and sign fuzz targets (run once; the output is
committed)."""
import os, zlib

SEEDS = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'seeds')
HERE = os.path.join(SEEDS, 'process_pdf')

class Pdf:
    def __init__(self, header=b'%PDF-1.7\n'):
        self.data = bytearray(header)
        self.pending = {}
        self.last = None
        self.highest = 0

    def obj(self, n, body):
        self.pending[n] = (1, len(self.data), 0)
        self.highest = max(self.highest, n)
        self.data += b'%d 0 obj\n' % n + body + b'\nendobj\n'

    def objstm(self, n, objects):
        head, bodies = b'', b''
        for i, (num, body) in enumerate(objects):
            head += b'%d %d ' % (num, len(bodies))
            bodies += body + b'\n'
        packed = zlib.compress(head + bodies)
        self.obj(n, b'<</Type/ObjStm/N %d/First %d/Filter/FlateDecode/Length %d>>\nstream\n'
                 % (len(objects), len(head), len(packed)) + packed + b'\nendstream')
        for i, (num, _) in enumerate(objects):
            self.pending[num] = (2, n, i)
            self.highest = max(self.highest, num)

    def classic(self, extra=b''):
        at = len(self.data)
        x = b'xref\n0 1\n0000000000 65535 f\r\n'
        for n in sorted(self.pending):
            t, f2, f3 = self.pending[n]
            x += b'%d 1\n%010d %05d %s\r\n' % (n, f2, f3, b'n' if t else b'f')
        x += b'trailer\n<</Size %d/Root 1 0 R' % (self.highest + 1)
        if self.last is not None:
            x += b'/Prev %d' % self.last
        x += extra + b'>>\nstartxref\n%d\n%%%%EOF\n' % at
        self.data += x
        self.pending, self.last = {}, at

    def stream(self, n, predictor=True):
        at = len(self.data)
        self.pending[n] = (1, at, 0)
        self.highest = max(self.highest, n)
        rows, index, prev = b'', b'', bytes(4)
        for num in sorted(self.pending):
            t, f2, f3 = self.pending[num]
            row = bytes([t]) + f2.to_bytes(2, 'big') + bytes([f3])
            if predictor:
                rows += b'\x02' + bytes((row[i] - prev[i]) & 0xFF for i in range(4))
                prev = row
            else:
                rows += row
            index += b'%d 1 ' % num
        packed = zlib.compress(rows)
        d = b'<</Type/XRef/Size %d/Root 1 0 R/W[1 2 1]/Index[%s]' % (self.highest + 1, index)
        if self.last is not None:
            d += b'/Prev %d' % self.last
        if predictor:
            d += b'/DecodeParms<</Columns 4/Predictor 12>>'
        d += b'/Filter/FlateDecode/Length %d>>' % len(packed)
        self.data += b'%d 0 obj\n' % n + d + b'\nstream\n' + packed + b'\nendstream\nendobj\n'
        self.data += b'startxref\n%d\n%%%%EOF\n' % at
        self.pending, self.last = {}, at

def base(p):
    p.obj(1, b'<</Type/Catalog/Pages 2 0 R>>')
    p.obj(2, b'<</Type/Pages/Kids[3 0 R]/Count 1>>')
    p.obj(3, b'<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]/Annots[4 0 R]>>')

def write(name, data, folder=HERE):
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(bytes(data))

os.makedirs(HERE, exist_ok=True)
p = Pdf(); base(p); p.obj(4, b'<</Type/Annot/Subtype/Widget/FT/Sig/V 5 0 R>>')
p.obj(5, b'<</Type/Sig/Contents <3082>/ByteRange [0 10 20 30]>>'); p.classic(b'/Info 5 0 R')
p.obj(3, b'<</Type/Page/Parent 2 0 R/Rev 2>>'); p.classic()
write('classic-2rev.pdf', p.data)

p = Pdf(b'%PDF-1.5\n'); p.obj(1, b'<</Type/Catalog/Pages 2 0 R>>')
p.objstm(6, [(2, b'<</Type/Pages/Kids[3 0 R]/Count 1>>'), (3, b'<</Type/Page/Parent 2 0 R>>')])
p.stream(7)
write('xrefstream-objstm.pdf', p.data)

p = Pdf(b'%PDF-1.5\n'); base(p); p.classic()
p.objstm(6, [(4, b'(four)'), (5, b'<</Length 3>>')]); p.stream(7, predictor=False)
p.obj(8, b'<</Length 5 0 R>>stream\nabc\nendstream'); p.classic()
write('chain-classic-stream-classic.pdf', p.data)

lin = b'%PDF-1.6\n1 0 obj\n<</Linearized 1/L 0000000000/O 3/T 50>>\nendobj\nxref\n0 0\ntrailer<<>>\n'
p = Pdf(lin); base(p); p.classic()
data = bytes(p.data).replace(b'/L 0000000000', b'/L %010d' % len(p.data))
write('linearized.pdf', data)

p = Pdf(); base(p); p.classic(b'/Encrypt 9 0 R')
write('encrypted.pdf', p.data)

# A form of nested fields with a signature whose /ByteRange fits the file, then revisions
# that add validation data, fill a field, annotate and free an object: the material of
# complete discovery and of the later-change analysis.
p = Pdf(); p.obj(1, b'<</Type/Catalog/Pages 2 0 R/AcroForm<</Fields[6 0 R 8 0 R]>>>>')
p.obj(2, b'<</Type/Pages/Kids[3 0 R]/Count 1>>')
p.obj(3, b'<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]/Annots[4 0 R 7 0 R]>>')
p.obj(4, b'<</Type/Annot/Subtype/Link/Rect[0 0 1 1]>>')
p.obj(6, b'<</FT/Sig/T(s)/V 5 0 R/Kids[7 0 R]>>')
p.obj(7, b'<</Parent 6 0 R/Subtype/Widget/Rect[0 0 0 0]>>')
p.obj(8, b'<</FT/Tx/T(t)/V(a)/Subtype/Widget/Rect[9 9 20 20]>>')
p.obj(5, b'<</Type/Sig/SubFilter/adbe.pkcs7.detached/ByteRange[0 0000000000 0000000000 '
         b'0000000000]/Contents<300300000000>>>')
p.classic()
gap = p.data.index(b'<300300'); end = p.data.index(b'>', gap) + 1
at = p.data.index(b'[0 0000000000')
p.data[at:at + 35] = b'[0 %010d %010d %010d' % (gap, end, len(p.data) - end)
p.obj(9, b'<</Certs[10 0 R]>>'); p.obj(10, b'<</Length 3>>stream\nabc\nendstream')
p.obj(1, b'<</Type/Catalog/Pages 2 0 R/AcroForm<</Fields[6 0 R 8 0 R]>>/DSS 9 0 R>>')
p.classic()
p.obj(8, b'<</FT/Tx/T(t)/V(b)/Subtype/Widget/Rect[9 9 20 20]>>')
p.obj(11, b'<</Type/Annot/Subtype/Text/Rect[0 0 5 5]>>')
p.obj(3, b'<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]/Annots[4 0 R 7 0 R 11 0 R]>>')
p.pending[4] = (0, 0, 1); p.classic()
write('signed-form-3rev.pdf', p.data)

# Embedded files: a name tree with kids, a Flate stream with an indirect /Length, and a
# file-attachment annotation on the page.
p = Pdf(); p.obj(1, b'<</Type/Catalog/Pages 2 0 R/Names 4 0 R>>')
p.obj(2, b'<</Type/Pages/Kids[3 0 R]/Count 1>>')
p.obj(3, b'<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]/Annots[12 0 R]>>')
p.obj(4, b'<</EmbeddedFiles 5 0 R>>'); p.obj(5, b'<</Kids[6 0 R]>>')
p.obj(6, b'<</Limits[(a)(b)]/Names[(a) 7 0 R<62> 9 0 R]>>')
p.obj(7, b'<</Type/Filespec/F(a\\(1\\).txt)/Desc(d)/EF<</F 8 0 R>>>>')
packed = zlib.compress(b'embedded ' * 40)
p.obj(8, b'<</Type/EmbeddedFile/Filter/FlateDecode/Length 10 0 R>>stream\n' + packed +
      b'\nendstream')
p.obj(10, b'%d' % len(packed))
p.obj(9, b'<</Type/Filespec/UF<FEFF0062>/EF 11 0 R>>'); p.obj(11, b'<</F 13 0 R>>')
p.obj(12, b'<</Type/Annot/Subtype/FileAttachment/Rect[0 0 9 9]/FS 9 0 R>>')
p.obj(13, b'<</Length 3>>stream\nraw\nendstream'); p.classic()
write('attachments-tree.pdf', p.data)

# Documents the signing flow accepts, each reaching another way of placing the field.
SIGN = os.path.join(SEEDS, 'sign')
os.makedirs(SIGN, exist_ok=True)

p = Pdf(); base(p); p.obj(4, b'<</Type/Annot/Subtype/Text/Rect[0 0 10 10]/Contents(note)>>')
p.obj(5, b'<</Producer(seed)>>'); p.classic(b'/Info 5 0 R')
write('classic-annots-info.pdf', p.data, SIGN)

p = Pdf(); p.obj(1, b'<</Type/Catalog/Pages 2 0 R/AcroForm<</Fields[4 0 R]/SigFlags 3>>>>')
p.obj(2, b'<</Type/Pages/Kids[3 0 R]/Count 1>>')
p.obj(3, b'<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]/Annots[4 0 R]>>')
p.obj(4, b'<</Type/Annot/Subtype/Widget/FT/Sig/T(Sig1)/Rect[0 0 0 0]/P 3 0 R/V 5 0 R>>')
p.obj(5, b'<</Type/Sig/Filter/Adobe.PPKLite/SubFilter/adbe.pkcs7.detached'
         b'/ByteRange[0 10 30 40]/Contents<3003020107>>>'); p.classic()
write('classic-signed-field.pdf', p.data, SIGN)

p = Pdf(b'%PDF-1.5\n'); p.obj(1, b'<</Type/Catalog/Pages 2 0 R/AcroForm 8 0 R>>')
p.objstm(6, [(2, b'<</Type/Pages/Kids[3 0 R]/Count 1>>'),
             (3, b'<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]/Annots 9 0 R>>'),
             (4, b'<</Type/Annot/Subtype/Text/Rect[0 0 10 10]/P 3 0 R>>')])
p.obj(8, b'<</Fields[]>>'); p.obj(9, b'[4 0 R]'); p.stream(7)
write('xrefstream-objstm-indirect-annots.pdf', p.data, SIGN)

p = Pdf(b'%PDF-1.4\n'); p.obj(1, b'<</Type/Catalog/Pages 2 0 R>>')
p.obj(2, b'<</Type/Pages/Kids[4 0 R]/Count 2>>')
p.obj(4, b'<</Type/Pages/Parent 2 0 R/Kids[3 0 R 5 0 R]/Count 2>>')
p.obj(3, b'<</Type/Page/Parent 4 0 R/MediaBox[0 0 612 792]>>')
p.obj(5, b'<</Type/Page/Parent 4 0 R/MediaBox[0 0 612 792]>>'); p.classic()
p.obj(3, b'<</Type/Page/Parent 4 0 R/MediaBox[0 0 595 842]>>'); p.classic()
write('classic-pagetree-2rev.pdf', p.data, SIGN)

p = Pdf(b'%PDF-1.5\n'); base(p); p.obj(4, b'<</Type/Annot/Subtype/Text/Rect[0 0 10 10]>>')
p.classic(); p.obj(5, b'<</Producer(update)>>'); p.stream(6, predictor=True)
write('chain-classic-stream.pdf', p.data, SIGN)
