#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Draws the two built-in signature-appearance images and writes
data/image_a.body and data/image_b.sigappx.

Dev-time only: needs Pillow, opj_compress (libopenjp2-tools) and the
DejaVu fonts. The build uses the committed output files, never this script.

    python3 data/make_images.py [--png-dir DIR]
"""

import argparse
import math
import os
import subprocess
import sys
import tempfile
import zlib

from PIL import Image, ImageDraw, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
FONT_DIR = "/usr/share/fonts/truetype/dejavu"
FONT_BOLD = os.path.join(FONT_DIR, "DejaVuSans-Bold.ttf")
FONT_REGULAR = os.path.join(FONT_DIR, "DejaVuSans.ttf")

NAVY = (31, 58, 104)
NAVY_SOFT = (74, 100, 144)
RULE = (176, 192, 218)
PANEL = (246, 248, 252)
WHITE = (255, 255, 255)

LINE1 = "Digitally signed"
LINE2 = "kvpdf signature"

# Drawn this many times larger, then downsampled, for smooth edges.
SUPERSAMPLE = 4

A_SIZE = (630, 197)
B_SIZE = (640, 249)
B_PREFIX = b"1.0/KvImgHeight 50 /KvImgWidth 205 "
# Aims at roughly 40 KB for B; the script refuses results outside 20-60 KB.
B_RATE = 12


def fit_font(path, text, max_w, max_h):
    size = max(8, int(max_h))
    while size > 8:
        font = ImageFont.truetype(path, size)
        l, t, r, b = font.getbbox(text)
        if r - l <= max_w and b - t <= max_h:
            return font
        size -= 1
    return ImageFont.truetype(path, size)


def draw_seal(d, cx, cy, r):
    # A scalloped rosette reads as a seal even at a few millimetres.
    bumps = 24
    pts = []
    for i in range(bumps * 16):
        a = 2 * math.pi * i / (bumps * 16)
        rr = r * (0.93 + 0.07 * math.cos(bumps * a))
        pts.append((cx + rr * math.cos(a), cy + rr * math.sin(a)))
    d.polygon(pts, fill=NAVY)

    ring = r * 0.74
    d.ellipse((cx - ring, cy - ring, cx + ring, cy + ring),
              outline=WHITE, width=max(1, round(r * 0.05)))

    w = r * 0.17
    check = [(cx - 0.36 * r, cy + 0.02 * r),
             (cx - 0.10 * r, cy + 0.28 * r),
             (cx + 0.38 * r, cy - 0.26 * r)]
    d.line(check, fill=WHITE, width=round(w), joint="curve")
    for x, y in (check[0], check[2]):
        d.ellipse((x - w / 2, y - w / 2, x + w / 2, y + w / 2), fill=WHITE)


def draw_stamp(width, height):
    s = SUPERSAMPLE
    W, H = width * s, height * s
    img = Image.new("RGB", (W, H), WHITE)
    d = ImageDraw.Draw(img)

    stroke = max(s, round(H * 0.035))
    inset = round(H * 0.03)
    radius = round(H * 0.16)
    d.rounded_rectangle((inset, inset, W - 1 - inset, H - 1 - inset),
                        radius=radius, fill=PANEL, outline=NAVY, width=stroke)

    # Inner hairline gives the border the look of a printed stamp.
    gap = inset + stroke + round(H * 0.025)
    d.rounded_rectangle((gap, gap, W - 1 - gap, H - 1 - gap),
                        radius=max(1, radius - (gap - inset)),
                        outline=RULE, width=max(1, s))

    r = H * 0.31
    cx = gap + H * 0.08 + r
    cy = H / 2
    draw_seal(d, cx, cy, r)

    div_x = cx + r + H * 0.11
    d.line((div_x, H * 0.24, div_x, H * 0.76), fill=RULE, width=max(1, s))

    x0 = div_x + H * 0.11
    text_w = (W - gap - H * 0.08) - x0
    f1 = fit_font(FONT_BOLD, LINE1, text_w, H * 0.22)
    f2 = fit_font(FONT_REGULAR, LINE2, text_w, H * 0.15)

    b1 = f1.getbbox(LINE1)
    b2 = f2.getbbox(LINE2)
    h1, h2 = b1[3] - b1[1], b2[3] - b2[1]
    spacing = H * 0.13
    top = (H - (h1 + spacing + h2)) / 2
    d.text((x0 - b1[0], top - b1[1]), LINE1, font=f1, fill=NAVY)
    rule_y = top + h1 + spacing / 2
    d.line((x0, rule_y, x0 + (b1[2] - b1[0]), rule_y),
           fill=RULE, width=max(1, s))
    d.text((x0 - b2[0], top + h1 + spacing - b2[1]), LINE2, font=f2,
           fill=NAVY_SOFT)

    return img.resize((width, height), Image.LANCZOS)


def png_predict(raw, width, height, bpp=3):
    """Each row gets the PNG filter whose output has the smallest sum of
    absolute (signed) byte values."""
    stride = width * bpp
    out = bytearray()
    prev = bytes(stride)
    for y in range(height):
        cur = raw[y * stride:(y + 1) * stride]
        best = None
        for ftype in range(5):
            row = bytearray(stride)
            for i in range(stride):
                a = cur[i - bpp] if i >= bpp else 0
                b = prev[i]
                c = prev[i - bpp] if i >= bpp else 0
                if ftype == 0:
                    p = 0
                elif ftype == 1:
                    p = a
                elif ftype == 2:
                    p = b
                elif ftype == 3:
                    p = (a + b) >> 1
                else:
                    pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
                    p = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                row[i] = (cur[i] - p) & 0xFF
            score = sum(v if v < 128 else 256 - v for v in row)
            if best is None or score < best[0]:
                best = (score, ftype, row)
        out.append(best[1])
        out += best[2]
        prev = cur
    return bytes(out)


def build_a(img):
    w, h = img.size
    data = zlib.compress(png_predict(img.tobytes(), w, h), 9)
    head = ("<</Filter/FlateDecode/Type/XObject/Length %d"
            "/BitsPerComponent 8/Height %d/ColorSpace/DeviceRGB"
            "/DecodeParms<</Columns %d/Predictor 15/Colors 3"
            "/BitsPerComponent 8>>/Subtype/Image/Width %d>>stream\n"
            % (len(data), h, w, w))
    return head.encode("ascii") + data + b"\n", len(data)


def build_b(img, workdir):
    png = os.path.join(workdir, "b.png")
    j2k = os.path.join(workdir, "b.j2k")
    img.save(png)
    subprocess.run(["opj_compress", "-i", png, "-o", j2k, "-r", str(B_RATE)],
                   check=True, stdout=subprocess.DEVNULL)
    with open(j2k, "rb") as f:
        code = f.read()
    if not code.startswith(b"\xff\x4f\xff\x51"):
        sys.exit("opj_compress did not write a raw J2K codestream")
    if not 20000 <= len(code) <= 60000:
        sys.exit("image B is %d bytes; adjust B_RATE" % len(code))
    w, h = img.size
    head = ("<<\r\n/Type /XObject\r\n/Subtype /Image\r\n/Width %d\r\n"
            "/Height %d\r\n/Filter /JPXDecode\r\n/Length %d\r\n>>stream\r\n"
            % (w, h, len(code)))
    return B_PREFIX + head.encode("ascii") + code + b"\n", len(code)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--png-dir", help="also write a.png and b.png here")
    args = ap.parse_args()

    a_img = draw_stamp(*A_SIZE)
    b_img = draw_stamp(*B_SIZE)
    if args.png_dir:
        os.makedirs(args.png_dir, exist_ok=True)
        a_img.save(os.path.join(args.png_dir, "a.png"))
        b_img.save(os.path.join(args.png_dir, "b.png"))

    body_a, na = build_a(a_img)
    with tempfile.TemporaryDirectory() as tmp:
        body_b, nb = build_b(b_img, tmp)

    for name, body, n in (("image_a.body", body_a, na),
                          ("image_b.sigappx", body_b, nb)):
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(body)
        print("%s: %d bytes, stream length %d" % (name, len(body), n))


if __name__ == "__main__":
    main()
