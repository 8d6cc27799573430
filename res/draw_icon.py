#!/usr/bin/env python3
"""Draws updater.ico: a blue disc with a white downward arrow, at 16, 32 and 48 pixels.

Run by hand when the icon should change; the drawn file is kept beside this script.
"""
import math
import struct
import sys


def pixel(x, y, size):
    """BGRA colour of pixel (x, y), y counted from the top, with edge smoothing by supersampling."""
    samples = 4
    cover_disc = cover_arrow = 0
    for sy in range(samples):
        for sx in range(samples):
            u = (x + (sx + 0.5) / samples) / size * 2 - 1
            v = (y + (sy + 0.5) / samples) / size * 2 - 1
            if math.hypot(u, v) <= 0.94:
                cover_disc += 1
                shaft = abs(u) <= 0.16 and -0.62 <= v <= 0.12
                head = v >= 0.02 and v <= 0.62 and abs(u) <= (0.62 - v) * 0.95
                if shaft or head:
                    cover_arrow += 1
    total = samples * samples
    if cover_disc == 0:
        return (0, 0, 0, 0)
    t = cover_arrow / cover_disc
    blue = (0xD0, 0x78, 0x1E)  # BGR of a mid blue
    b, g, r = (round(c * (1 - t) + 255 * t) for c in blue)
    return (b, g, r, round(255 * cover_disc / total))


def bitmap(size):
    rows = []
    for y in reversed(range(size)):  # BMP rows go bottom-up
        rows.append(b"".join(struct.pack("4B", *pixel(x, y, size)) for x in range(size)))
    mask_row = b"\0" * (((size + 31) // 32) * 4)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    return header + b"".join(rows) + mask_row * size


def main(path):
    sizes = (16, 32, 48)
    images = [bitmap(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "updater.ico")
