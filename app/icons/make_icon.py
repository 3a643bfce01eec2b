#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Draws the program's icon: a mast sending waves above a red TX lamp.

119 x 127 pixels, 24-bit RGB PNG, written with the standard library only.
Run: python3 app/icons/make_icon.py app/icons/zorore-ptt.png
"""
import math
import struct
import sys
import zlib

W, H = 119, 127


def blend(a, b, t):
    return tuple(int(round(a[i] + (b[i] - a[i]) * t)) for i in range(3))


def draw():
    px = [[(0, 0, 0)] * W for _ in range(H)]
    top, bottom = (28, 44, 78), (10, 16, 32)
    for y in range(H):
        row = blend(top, bottom, y / (H - 1))
        for x in range(W):
            px[y][x] = row

    def cover(x, y, inside, colour, soft=1.0):
        # 4x4 supersampling for smooth edges
        n = sum(inside(x + (i + 0.5) / 4, y + (j + 0.5) / 4) for i in range(4) for j in range(4))
        if n:
            px[y][x] = blend(px[y][x], colour, n / 16 * soft)

    cx, mast_top, lamp_cy, lamp_r = W / 2, 18, 92, 27
    white, red, dark_red = (235, 240, 250), (192, 0, 0), (120, 0, 0)
    for y in range(H):
        for x in range(W):
            # radio waves: arcs around the mast's tip
            def waves(u, v):
                d = math.hypot(u - cx, v - mast_top)
                ang = abs(math.atan2(v - mast_top, u - cx))
                side = ang < 0.75 or ang > math.pi - 0.75
                return side and any(abs(d - r) < 2.2 for r in (12, 22, 32))
            cover(x, y, waves, (120, 200, 255))
            # the mast
            cover(x, y, lambda u, v: abs(u - cx) < 2.2 and mast_top <= v <= lamp_cy, white)
            cover(x, y, lambda u, v: math.hypot(u - cx, v - mast_top) < 4.5, white)
            # the lamp: a ring and a red disc
            cover(x, y, lambda u, v: math.hypot(u - cx, v - lamp_cy) < lamp_r, dark_red)
            cover(x, y, lambda u, v: math.hypot(u - cx, v - lamp_cy) < lamp_r - 3, red)

    # block letters T and X on the lamp
    def t_shape(u, v):
        return (41 <= u <= 57 and 82 <= v <= 86) or (47 <= u <= 51 and 82 <= v <= 103)

    def x_shape(u, v):
        if not (61 <= u <= 78 and 82 <= v <= 103):
            return False
        s = (u - 61) / 17 * 21
        return abs((v - 82) - s) < 2.6 or abs((v - 82) - (21 - s)) < 2.6

    for y in range(75, 110):
        for x in range(36, 84):
            cover(x, y, lambda u, v: t_shape(u, v) or x_shape(u, v), white)
    return px


def png(px):
    raw = b"".join(b"\x00" + bytes(c for p in row for c in p) for row in px)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", W, H, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as f:
        f.write(png(draw()))
