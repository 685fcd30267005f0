#!/usr/bin/env python3
"""Draws the utility's icon (a magnifier over a text page) into quarrymark.ico.

Run once; the .ico is committed. 16, 32 and 48 pixel images, 32-bit BGRA."""
import math
import struct
import sys


def pixel(size, x, y):
    s = size / 32.0
    cx, cy = (x + 0.5) / s, (y + 0.5) / s  # in 32-pixel units
    # The magnifier: a ring centred at (13, 13) and a handle towards the corner.
    d = math.hypot(cx - 13, cy - 13)
    if 7.5 <= d <= 10.5:
        return (40, 70, 160, 255)
    if d < 7.5:
        return (200, 225, 255, 255) if int(cy) % 4 else (90, 120, 190, 255)
    hx, hy = cx - 21, cy - 21
    if -1 <= hx <= 9 and abs(hx - hy) <= 2.6 and hx + hy >= -1:
        return (60, 40, 30, 255)
    # The page behind it.
    if 4 <= cx <= 28 and 2 <= cy <= 30:
        return (255, 255, 255, 255) if not (6 <= cx <= 26 and int(cy) % 4 == 0) else (170, 170, 170, 255)
    return (0, 0, 0, 0)


def image(size):
    rows = []
    for y in range(size - 1, -1, -1):  # bottom-up
        row = b""
        for x in range(size):
            r, g, b, a = pixel(size, x, y)
            row += bytes((b, g, r, a))
        rows.append(row)
    mask_row = ((size + 31) // 32) * 4
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    return header + b"".join(rows) + b"\0" * (mask_row * size)


def main(path):
    sizes = (16, 32, 48)
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "quarrymark.ico")
