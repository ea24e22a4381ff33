#!/usr/bin/env python3
"""Draws Quillbarrow's pictures: the hand pointer (dist/HAND-M.CUR, a 32x32
Windows cursor) and the application icon (window/quillbarrow.png).

Plain Python, no imaging library: the pictures are small and drawn from
shapes. Run from anywhere; the files are written into the source tree.

    python3 packaging/make_art.py

The Windows build draws the same icon at every size Windows shows it into
one .ico file for the program's resources:

    python3 packaging/make_art.py --windows-icon OUT.ico
"""
import math
import os
import sys
import struct
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# ---------------------------------------------------------------- the hand

# The pointing finger's tip sits at x = 10, y = 0: the program takes a third
# of the width, at the top, as the hot spot.
HOT_X, HOT_Y = 10, 0
SIZE = 32


def hand_shape():
    """Set of (x, y) pixels covered by the hand, outline included."""
    px = set()

    def rect(x0, y0, x1, y1):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                px.add((x, y))

    rect(8, 1, 12, 17)     # index finger, pointing up
    rect(9, 0, 11, 0)      # its rounded tip
    rect(12, 8, 16, 17)    # middle finger
    rect(13, 7, 15, 7)
    rect(16, 9, 20, 17)    # ring finger
    rect(17, 8, 19, 8)
    rect(20, 11, 24, 18)   # little finger
    rect(21, 10, 23, 10)
    rect(8, 15, 24, 25)    # palm
    rect(9, 26, 23, 27)
    rect(10, 28, 22, 28)
    # thumb, leaning out to the left
    rect(4, 15, 8, 17)
    rect(3, 16, 3, 16)
    rect(5, 18, 8, 20)
    rect(6, 21, 8, 23)
    return px


def hand_pixels():
    """32x32 rows of RGBA tuples: black outline, white inside, clear around."""
    shape = hand_shape()
    creases = {(12, y) for y in range(9, 15)} | {(16, y) for y in range(10, 15)} \
        | {(20, y) for y in range(12, 16)} | {(8, y) for y in range(18, 21)}
    rows = []
    for y in range(SIZE):
        row = []
        for x in range(SIZE):
            if (x, y) not in shape:
                row.append((0, 0, 0, 0))
                continue
            edge = any((x + dx, y + dy) not in shape
                       for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)))
            if edge or (x, y) in creases:
                row.append((0, 0, 0, 255))
            else:
                row.append((255, 255, 255, 255))
        rows.append(row)
    return rows


def cursor_file(rows):
    """A .cur file holding one 32-bit image with its AND mask."""
    width = height = SIZE
    xor = bytearray()
    for row in reversed(rows):                 # bottom-up
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    mask = bytearray()
    for row in reversed(rows):
        bits = 0
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits |= 1 << (31 - x)          # 1 = transparent
        mask += struct.pack('>I', bits)        # 32 pixels = 4 bytes, already aligned
    header = struct.pack('<IiiHHIIiiII', 40, width, height * 2, 1, 32, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    image = header + bytes(xor) + bytes(mask)
    directory = struct.pack('<HHH', 0, 2, 1)   # reserved, type 2 = cursor, one image
    entry = struct.pack('<BBBBHHII', width, height, 0, 0, HOT_X, HOT_Y, len(image), 6 + 16)
    return directory + entry + image


# ---------------------------------------------------------------- the icon

def png_file(width, height, pixels):
    """PNG from rows of RGBA tuples."""
    raw = bytearray()
    for row in pixels:
        raw.append(0)
        for p in row:
            raw += bytes(p)

    def chunk(kind, data):
        body = kind + data
        return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body) & 0xffffffff)

    return (b'\x89PNG\r\n\x1a\n'
            + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 6, 0, 0, 0))
            + chunk(b'IDAT', zlib.compress(bytes(raw), 9))
            + chunk(b'IEND', b''))


def inside_round_rect(x, y, x0, y0, x1, y1, r):
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r and x0 <= x <= x1 and y0 <= y <= y1


def icon_sample(x, y):
    """Colour at a point of the 1x1 icon square (RGBA, 0..1), or None."""
    # A blue tile ...
    if not inside_round_rect(x, y, 0.04, 0.04, 0.96, 0.96, 0.18):
        return None
    t = y
    colour = (0.20 + 0.10 * (1 - t), 0.42 + 0.12 * (1 - t), 0.70 + 0.10 * (1 - t), 1.0)
    # ... a cream folder ...
    if inside_round_rect(x, y, 0.16, 0.24, 0.46, 0.40, 0.04):
        colour = (0.93, 0.80, 0.45, 1.0)
    if inside_round_rect(x, y, 0.16, 0.30, 0.84, 0.80, 0.05):
        colour = (0.99, 0.88, 0.55, 1.0)
    # ... with a zipper down its middle ...
    if 0.46 <= x <= 0.54 and 0.30 <= y <= 0.80:
        colour = (0.35, 0.35, 0.38, 1.0)
        tooth = int((y - 0.30) / 0.04)
        side = tooth % 2
        if (side == 0 and x < 0.50) or (side == 1 and x >= 0.50):
            colour = (0.78, 0.78, 0.80, 1.0)
    # ... and its pull tab.
    if inside_round_rect(x, y, 0.44, 0.78, 0.56, 0.92, 0.03):
        colour = (0.30, 0.30, 0.33, 1.0)
    return colour


def icon_pixels(size, samples=4):
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(samples):
                for sx in range(samples):
                    c = icon_sample((px + (sx + 0.5) / samples) / size,
                                    (py + (sy + 0.5) / samples) / size)
                    if c:
                        for i in range(3):
                            acc[i] += c[i] * c[3]
                        acc[3] += c[3]
            n = samples * samples
            a = acc[3] / n
            if a == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(int(round(acc[i] / acc[3] * 255)) for i in range(3))
                           + (int(round(a * 255)),))
        rows.append(row)
    return rows


# The sizes Explorer, the taskbar and the window frame ask for, at 100 % to
# 200 % scaling; each is drawn at its size, not scaled from another.
ICO_SIZES = (16, 20, 24, 32, 40, 48, 64, 128, 256)


def ico_file(sizes=ICO_SIZES):
    """A Windows icon: 32-bit images with their AND masks, the 256-pixel one
    as PNG (as Windows keeps it)."""
    images = []
    for size in sizes:
        rows = icon_pixels(size)
        if size >= 256:
            images.append(png_file(size, size, rows))
            continue
        xor = b''.join(bytes((b, g, r, a)) for row in reversed(rows) for r, g, b, a in row)
        stride = (size + 31) // 32 * 4
        mask = bytearray()
        for row in reversed(rows):
            line = bytearray(stride)
            for x, (_, _, _, a) in enumerate(row):
                if a == 0:
                    line[x // 8] |= 0x80 >> (x % 8)
            mask += line
        header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
        images.append(header + xor + bytes(mask))
    out = struct.pack('<HHH', 0, 1, len(images))   # reserved, type 1 = icon
    offset = 6 + 16 * len(images)
    for size, image in zip(sizes, images):
        out += struct.pack('<BBBBHHII', size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return out + b''.join(images)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == '--windows-icon':
        with open(sys.argv[2], 'wb') as f:
            f.write(ico_file())
        return
    with open(os.path.join(ROOT, 'dist', 'HAND-M.CUR'), 'wb') as f:
        f.write(cursor_file(hand_pixels()))
    with open(os.path.join(ROOT, 'window', 'quillbarrow.png'), 'wb') as f:
        f.write(png_file(128, 128, icon_pixels(128)))


if __name__ == '__main__':
    main()
