#!/usr/bin/env python3
"""Draws the agent's icon (a blue shield with a white T) and writes it as a
Windows .ico with 32-bit images of 16, 32, 48, 64 and 128 pixels.

Only the standard library is used and the output is byte-for-byte the same on
every run:  scripts/make_icon.py [res/talvern.ico]
"""
import math
import os
import struct
import sys

SIZES = (16, 32, 48, 64, 128)
SAMPLES = 4  # supersamples per pixel edge

TOP = (0x2A, 0x86, 0xF0)     # fill colour at the shield's top (R, G, B)
BOTTOM = (0x0A, 0x35, 0x80)  # and at its point
RIM = (0xE8, 0xF1, 0xFF)
MARK = (0xFF, 0xFF, 0xFF)


def inside_shield(x, y, scale=1.0):
    """Whether (x, y) in the unit square lies inside the shield, shrunk by scale
    about its centre."""
    cx, cy = 0.5, 0.52
    x = cx + (x - cx) / scale
    y = cy + (y - cy) / scale
    top, shoulder, point, half = 0.07, 0.52, 0.95, 0.38
    if abs(x - 0.5) > half or y > point:
        return False
    # The top edge sags a little towards the middle.
    u = abs(x - 0.5) / half
    if y < top + 0.03 * (1.0 - u * u):
        return False
    if y <= shoulder:
        return abs(x - 0.5) <= half
    t = (y - shoulder) / (point - shoulder)
    return abs(x - 0.5) <= half * math.sqrt(max(0.0, 1.0 - t * t))


def inside_mark(x, y):
    bar = 0.27 <= y <= 0.37 and 0.30 <= x <= 0.70
    stem = 0.27 <= y <= 0.76 and 0.445 <= x <= 0.555
    return bar or stem


def sample(x, y):
    """Colour and coverage (0 or 1) of one sample point."""
    if not inside_shield(x, y):
        return (0, 0, 0), 0
    if not inside_shield(x, y, 0.86):
        return RIM, 1
    if inside_mark(x, y):
        return MARK, 1
    t = min(1.0, max(0.0, (y - 0.07) / 0.88))
    return tuple(a + (b - a) * t for a, b in zip(TOP, BOTTOM)), 1


def render(size):
    """Rows of (b, g, r, a) from the top row down."""
    rows = []
    n = SAMPLES * SAMPLES
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0]
            cover = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = (px + (sx + 0.5) / SAMPLES) / size
                    y = (py + (sy + 0.5) / SAMPLES) / size
                    colour, c = sample(x, y)
                    if c:
                        cover += 1
                        for i in range(3):
                            acc[i] += colour[i]
            if cover == 0:
                row.append((0, 0, 0, 0))
                continue
            r, g, b = (int(round(v / cover)) for v in acc)
            a = int(round(255.0 * cover / n))
            row.append((b, g, r, a))
        rows.append(row)
    return rows


def dib(size):
    """BITMAPINFOHEADER, bottom-up BGRA pixels and the AND mask of one image."""
    rows = render(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b''.join(bytes(p) for row in reversed(rows) for p in row)
    stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, p in enumerate(row):
            if p[3] == 0:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    return header + pixels + bytes(mask)


def ico():
    images = [dib(s) for s in SIZES]
    out = struct.pack('<HHH', 0, 1, len(SIZES))
    offset = 6 + 16 * len(SIZES)
    for size, image in zip(SIZES, images):
        out += struct.pack('<BBBBHHII', size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return out + b''.join(images)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, '..', 'res', 'talvern.ico')
    with open(path, 'wb') as f:
        f.write(ico())


if __name__ == '__main__':
    main()
