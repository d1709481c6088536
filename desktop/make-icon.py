#!/usr/bin/env python3
"""Draws the window program's icon, ovix-48.png and ovix-128.png, from the
16 x 16 picture below (the machine's eight colours; '.' is transparent):
a monitor showing a prompt with its cursor and the BIOS's colour strip, and
a keyboard. Each picture pixel becomes a square of 3 or 8 pixels.

    desktop/make-icon.py      # writes both files beside this script
"""
import os
import struct
import zlib

PICTURE = [
    "................",
    ".KKKKKKKKKKKKKK.",
    ".KWWWWWWWWWWWWK.",
    ".KWBBBBBBBBBBWK.",
    ".KWBWWWWBBBBBWK.",
    ".KWBBBBBBBBBBWK.",
    ".KWBWWBYBBBBBWK.",
    ".KWBBBBBBBBBBWK.",
    ".KWBRGYCMBBBBWK.",
    ".KWBBBBBBBBBBWK.",
    ".KWWWWWWWWWWWWK.",
    ".KKKKKKKKKKKKKK.",
    "......KKKK......",
    ".KKKKKKKKKKKKKK.",
    ".KWKWKWKWKWKWWK.",
    ".KKKKKKKKKKKKKK.",
]
COLOURS = {
    "K": (0, 0, 0, 255), "R": (255, 0, 0, 255), "G": (0, 255, 0, 255), "Y": (255, 255, 0, 255),
    "B": (0, 0, 255, 255), "M": (255, 0, 255, 255), "C": (0, 255, 255, 255), "W": (255, 255, 255, 255),
    ".": (0, 0, 0, 0),
}


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def png(scale):
    size = 16 * scale
    rows = b""
    for line in PICTURE:
        row = b"\x00" + b"".join(bytes(COLOURS[c]) * scale for c in line)   # filter byte 0: none
        rows += row * scale
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)   # 8-bit RGBA
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b"")


here = os.path.dirname(os.path.abspath(__file__))
for scale, name in ((3, "ovix-48.png"), (8, "ovix-128.png")):
    with open(os.path.join(here, name), "wb") as f:
        f.write(png(scale))
