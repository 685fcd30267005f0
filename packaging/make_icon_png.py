#!/usr/bin/env python3
"""Writes quarrymark.png, the settings program's icon for desktop menus, from
the same drawing as the Windows icon (config_utility/win32/make_icon.py).

Run once; the .png is committed. 48 pixels, 8-bit RGBA."""
import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "config_utility", "win32"))
from make_icon import pixel  # noqa: E402


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def png(size):
    rows = b""
    for y in range(size):
        rows += b"\x00"  # no filter
        for x in range(size):
            r, g, b, a = pixel(size, x, y)
            rows += bytes((r, g, b, a))
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


if __name__ == "__main__":
    with open(os.path.join(HERE, "quarrymark.png"), "wb") as out:
        out.write(png(48))
