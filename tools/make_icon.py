#!/usr/bin/env python3
"""Draws the launcher's default icon: a blue rounded square with a white "V".

Writes a .ico with 16x16, 32x32 and 48x48 images, 32 bits per pixel with alpha
(BMP entries, which every Windows version since XP reads). Standard library only.

    python3 tools/make_icon.py [resources/vorlane.ico]
"""
import argparse
import math
import os
import struct

SIZES = (16, 32, 48)
SAMPLES = 4  # supersampling per axis, for smooth edges

TOP = (0x3A, 0x8D, 0xF0)     # RGB of the square's upper edge
BOTTOM = (0x17, 0x4E, 0xB5)  # and of its lower edge
MARK = (0xFF, 0xFF, 0xFF)


def inside_rounded_square(x, y, margin, radius):
    """(x, y) in the unit square; True inside the rounded square."""
    lo, hi = margin, 1.0 - margin
    if x < lo or x > hi or y < lo or y > hi:
        return False
    cx = min(max(x, lo + radius), hi - radius)
    cy = min(max(y, lo + radius), hi - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def distance_to_segment(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    t = min(max(t, 0.0), 1.0)
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def inside_mark(x, y, size):
    """The "V": two strokes meeting at the bottom; strokes thicken on small sizes."""
    half_width = 0.085 if size >= 32 else 0.1
    left = distance_to_segment(x, y, 0.28, 0.27, 0.5, 0.75)
    right = distance_to_segment(x, y, 0.72, 0.27, 0.5, 0.75)
    return min(left, right) <= half_width


def render(size):
    """Rows of (r, g, b, a) from the top, alpha already averaged over the samples."""
    margin = 0.5 / size  # keep a half-pixel edge so the corners stay crisp
    radius = 0.2
    rows = []
    for row in range(size):
        pixels = []
        for col in range(size):
            cover = mark = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = (col + (sx + 0.5) / SAMPLES) / size
                    y = (row + (sy + 0.5) / SAMPLES) / size
                    if inside_rounded_square(x, y, margin, radius):
                        cover += 1
                        if inside_mark(x, y, size):
                            mark += 1
            total = SAMPLES * SAMPLES
            if cover == 0:
                pixels.append((0, 0, 0, 0))
                continue
            t = (row + 0.5) / size
            base = [round(TOP[i] + (BOTTOM[i] - TOP[i]) * t) for i in range(3)]
            share = mark / cover
            rgb = [round(base[i] + (MARK[i] - base[i]) * share) for i in range(3)]
            pixels.append((rgb[0], rgb[1], rgb[2], round(255 * cover / total)))
        rows.append(pixels)
    return rows


def bmp_entry(size, rows):
    """The image as an icon BMP: header with doubled height, BGRA bottom-up, AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    color = bytearray()
    for pixels in reversed(rows):
        for r, g, b, a in pixels:
            color += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for pixels in reversed(rows):
        line = bytearray(mask_stride)
        for col, (_, _, _, a) in enumerate(pixels):
            if a == 0:
                line[col // 8] |= 0x80 >> (col % 8)
        mask += line
    return header + bytes(color) + bytes(mask)


def build_icon():
    images = [bmp_entry(size, render(size)) for size in SIZES]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    return bytes(out)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("target", nargs="?", default=os.path.join(here, "..", "resources", "vorlane.ico"),
                        help="the .ico to write (default: resources/vorlane.ico)")
    target = parser.parse_args().target
    with open(target, "wb") as f:
        f.write(build_icon())
    print("wrote", os.path.normpath(target))


if __name__ == "__main__":
    main()
