#!/usr/bin/env python3
"""Draws the application icon (resources/assets/app_dark.png): a white webcam on a blue rounded
square, readable on light and dark panels. Standard library only; run it to redraw the PNG."""
import os
import struct
import zlib

SIZE, SS = 128, 4  # output size and supersampling per axis
BLUE, WHITE = (0x00, 0x64, 0xDA), (0xFF, 0xFF, 0xFF)


def rounded_rect(x, y, x0, y0, x1, y1, r):
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def circle(x, y, cx, cy, r):
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def colour_at(x, y):
    """The colour at one sample point, or None outside the icon."""
    if not rounded_rect(x, y, 2, 2, 126, 126, 28):
        return None
    if circle(x, y, 58, 49, 6):
        return WHITE  # lens glint
    if circle(x, y, 64, 56, 17):
        return BLUE  # lens
    if circle(x, y, 64, 56, 36):
        return WHITE  # camera body
    if rounded_rect(x, y, 59, 88, 69, 102, 2) or rounded_rect(x, y, 42, 98, 86, 108, 5):
        return WHITE  # stand
    return BLUE


def render():
    rows = []
    for py in range(SIZE):
        row = bytearray([0])  # filter type None
        for px in range(SIZE):
            r = g = b = a = 0
            for sy in range(SS):
                for sx in range(SS):
                    c = colour_at(px + (sx + 0.5) / SS, py + (sy + 0.5) / SS)
                    if c:
                        r, g, b, a = r + c[0], g + c[1], b + c[2], a + 1
            n = SS * SS
            row += bytes((r // a, g // a, b // a, 255 * a // n) if a else (0, 0, 0, 0))
        rows.append(bytes(row))
    return b"".join(rows)


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def main():
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)  # 8-bit RGBA
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(render(), 9)) + chunk(b"IEND", b"")
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "app_dark.png")
    with open(out, "wb") as f:
        f.write(png)


if __name__ == "__main__":
    main()
