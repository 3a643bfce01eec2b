#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Makes the square copy of the program's icon that icon themes want.

The icon is 119 x 127 and opaque, drawn on a background that only changes from row to row.
Each row is widened with its own edge colours and the last row repeated below, so the copy
shows the same picture on a slightly wider background rather than inside a frame.

Run: python3 square_icon.py IN.png OUT.png SIZE
"""
import struct
import sys
import zlib

SIGNATURE = b"\x89PNG\r\n\x1a\n"


def read_png(path):
    """(width, height, rows) of an 8-bit RGB PNG, rows as lists of (r, g, b)."""
    with open(path, "rb") as f:
        blob = f.read()
    if not blob.startswith(SIGNATURE):
        raise SystemExit("%s: not a PNG file" % path)
    pos, idat, header = len(SIGNATURE), b"", None
    while pos < len(blob):
        length, kind = struct.unpack(">I4s", blob[pos:pos + 8])
        data = blob[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", data)
        elif kind == b"IDAT":
            idat += data
        elif kind == b"IEND":
            break
    width, height, depth, colour, _, _, interlace = header
    if (depth, colour, interlace) != (8, 2, 0):
        raise SystemExit("%s: want 8-bit RGB without interlacing" % path)
    raw, bpp, stride = zlib.decompress(idat), 3, width * 3
    rows, prev = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                line[i] = (line[i] + pred) & 255
        rows.append([tuple(line[x * 3:x * 3 + 3]) for x in range(width)])
        prev = line
    return width, height, rows


def write_png(path, rows):
    height, width = len(rows), len(rows[0])
    raw = b"".join(b"\0" + bytes(v for px in row for v in px) for row in rows)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    with open(path, "wb") as f:
        f.write(SIGNATURE)
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(chunk(b"IEND", b""))


def square(rows, size):
    height, width = len(rows), len(rows[0])
    if width > size or height > size:
        raise SystemExit("icon %dx%d does not fit in %dx%d" % (width, height, size, size))
    left, top = (size - width) // 2, (size - height) // 2
    right = size - width - left
    wide = [[row[0]] * left + row + [row[-1]] * right for row in rows]
    return [wide[0]] * top + wide + [wide[-1]] * (size - height - top)


def main(argv):
    if len(argv) != 4:
        raise SystemExit(__doc__.strip().splitlines()[-1])
    _, _, rows = read_png(argv[1])
    write_png(argv[2], square(rows, int(argv[3])))


if __name__ == "__main__":
    main(sys.argv)
