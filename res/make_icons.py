#!/usr/bin/env python3
"""Draws the updater's icon in its three sizes (48, 32 and 16 pixels) as
16-colour PNG files in res/icons/ (for the Linux window and desktop) and as
res/qvnupdate.ico with the same three 16-colour images (for the Windows
resources). Run it after changing the drawing; the files it writes are
committed, so building never needs Python.

The picture: a blue disc with a dark rim, a white arrow pointing down onto a
yellow bar -- "fetch and install". Each pixel takes the colour of the shape
under its centre, so the small sizes stay crisp instead of blurred."""
import math
import os
import struct
import sys
import zlib

# The classic 16-colour palette; index 0 doubles as the transparent colour.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
TRANSPARENT, NAVY, BLUE, WHITE, YELLOW, OLIVE = 0, 4, 12, 15, 11, 3


def colour_at(u, v, size):
    """Palette index of the point (u, v) of the unit square, y pointing down."""
    du, dv = u - 0.5, v - 0.5
    dist = math.hypot(du, dv)
    rim = max(1.0, size / 16.0) / size
    radius = 0.48
    if dist > radius:
        return TRANSPARENT
    # Arrow shaft and head.
    if abs(du) <= 0.085 and 0.16 <= v <= 0.52:
        return WHITE
    if 0.46 <= v <= 0.72 and abs(du) <= 0.25 * (0.72 - v) / 0.26:
        return WHITE
    # The bar the arrow lands on, with a darker lower edge for depth.
    if abs(du) <= 0.24 and 0.76 <= v <= 0.84:
        return OLIVE if v > 0.84 - 1.0 / size and size >= 32 else YELLOW
    if dist > radius - rim:
        return NAVY
    return BLUE


def draw(size):
    rows = []
    for y in range(size):
        rows.append([colour_at((x + 0.5) / size, (y + 0.5) / size, size) for x in range(size)])
    return rows


def png_chunk(kind, data):
    chunk = kind + data
    return struct.pack(">I", len(data)) + chunk + struct.pack(">I", zlib.crc32(chunk) & 0xFFFFFFFF)


def write_png(path, rows):
    size = len(rows)
    # 4 bits per pixel, palette colour type 3.
    raw = bytearray()
    for row in rows:
        raw.append(0)  # filter: none
        for x in range(0, size, 2):
            hi = row[x]
            lo = row[x + 1] if x + 1 < size else 0
            raw.append((hi << 4) | lo)
    png = b"\x89PNG\r\n\x1a\n"
    png += png_chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 4, 3, 0, 0, 0))
    png += png_chunk(b"PLTE", b"".join(bytes(c) for c in PALETTE))
    png += png_chunk(b"tRNS", bytes([0]))  # palette entry 0 is transparent
    png += png_chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    png += png_chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def ico_image(rows):
    """One icon image as Windows reads it: a BITMAPINFOHEADER of twice the
    height, the 16-colour palette, the colour rows and the transparency mask,
    both bottom-up, each row padded to 4 bytes."""
    size = len(rows)
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0,
                         (xor_stride + and_stride) * size, 0, 0, 16, 0)
    palette = b"".join(bytes((b, g, r, 0)) for (r, g, b) in PALETTE)
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(xor_stride)
        bits = bytearray(and_stride)
        for x, c in enumerate(row):
            line[x // 2] |= c << (4 if x % 2 == 0 else 0)
            if c == TRANSPARENT:
                bits[x // 8] |= 0x80 >> (x % 8)
        xor += line
        mask += bits
    return header + palette + bytes(xor) + bytes(mask)


def write_ico(path, images):
    """An ICO file: the directory of images, then each image."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    blobs = []
    for rows in images:
        blob = ico_image(rows)
        size = len(rows)
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(blob), offset)
        offset += len(blob)
        blobs.append(blob)
    with open(path, "wb") as f:
        f.write(out + b"".join(blobs))


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "icons")
    os.makedirs(out, exist_ok=True)
    images = []
    for size in (48, 32, 16):
        rows = draw(size)
        images.append(rows)
        write_png(os.path.join(out, "qvnupdate-%d.png" % size), rows)
        if "--show" in sys.argv:
            for row in rows:
                print("".join(" .:-=+*#%@ABCDEF"[c] for c in row))
    write_ico(os.path.join(os.path.dirname(out), "qvnupdate.ico"), images)
    return 0


if __name__ == "__main__":
    sys.exit(main())
