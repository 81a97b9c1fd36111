#!/usr/bin/env python3
"""Draws the collector's icon (a receipt whose bytes drop into a disk) and writes
res/POSCollector.ico with a 16x16 and a 32x32 image in 24-bit colour.

The shapes are drawn on a 32-unit canvas, rendered 8x oversampled and averaged down,
so that each size is anti-aliased inside and has a 1-bit transparency mask."""
import struct
import sys

OVERSAMPLE = 8

PAPER = (250, 250, 246)
PAPER_EDGE = (120, 120, 128)
INK = (70, 70, 90)
ARROW = (0, 120, 215)
ARROW_EDGE = (0, 70, 140)
DISK = (60, 64, 72)
DISK_TOP = (110, 116, 128)
DISK_LIGHT = (0, 200, 90)


def inside_polygon(x, y, pts):
    hit = False
    j = len(pts) - 1
    for i in range(len(pts)):
        xi, yi = pts[i]
        xj, yj = pts[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            hit = not hit
        j = i
    return hit


def receipt(small):
    """The paper: a strip with a torn (zigzag) bottom edge."""
    left, right, top, bottom = (3, 19, 1, 22) if not small else (2, 21, 1, 24)
    pts = [(left, top), (right, top), (right, bottom)]
    teeth = 4 if not small else 3
    step = (right - left) / teeth
    for k in range(teeth):
        x = right - k * step
        pts.append((x - step / 2, bottom - 2.5))
        pts.append((x - step, bottom))
    return pts


def shapes(small):
    """(polygon, colour) pairs, painted in order; the last one wins."""
    out = []
    paper = receipt(small)
    if small:
        # At 16 px: bolder paper edge, two text lines, a big arrow, a thick disk.
        out.append((paper, PAPER_EDGE))
        out.append(([(x + (1.6 if x < 10 else -1.6), y + (1.6 if y < 10 else -1.6)) for x, y in paper], PAPER))
        for y in (6, 11):
            out.append(([(6, y), (17, y), (17, y + 2.2), (6, y + 2.2)], INK))
        disk = [(4, 24), (30, 24), (30, 31), (4, 31)]
        out.append((disk, DISK))
        out.append(([(4, 24), (30, 24), (30, 26.5), (4, 26.5)], DISK_TOP))
        out.append(([(24, 27.5), (28, 27.5), (28, 29.5), (24, 29.5)], DISK_LIGHT))
        arrow = [(20, 6), (27, 6), (27, 15), (31, 15), (23.5, 24), (16, 15), (20, 15)]
        out.append((arrow, ARROW_EDGE))
        out.append(([(21.3, 7.3), (25.7, 7.3), (25.7, 16.3), (28.2, 16.3), (23.5, 22), (18.8, 16.3), (21.3, 16.3)],
                    ARROW))
    else:
        out.append((paper, PAPER_EDGE))
        out.append(([(x + (1 if x < 10 else -1), y + (1 if y < 10 else -1)) for x, y in paper], PAPER))
        for y, w in ((5, 11), (8, 8), (11, 11), (14, 6), (17, 10)):
            out.append(([(6, y), (6 + w, y), (6 + w, y + 1.2), (6, y + 1.2)], INK))
        disk = [(6, 25), (30, 25), (30, 31), (6, 31)]
        out.append((disk, DISK))
        out.append(([(6, 25), (30, 25), (30, 27), (6, 27)], DISK_TOP))
        out.append(([(25, 28), (28, 28), (28, 29.5), (25, 29.5)], DISK_LIGHT))
        arrow = [(21, 10), (26, 10), (26, 18), (30, 18), (23.5, 25), (17, 18), (21, 18)]
        out.append((arrow, ARROW_EDGE))
        out.append(([(22, 11), (25, 11), (25, 19), (27.6, 19), (23.5, 23.5), (19.4, 19), (22, 19)], ARROW))
    return out


def render(size):
    small = size <= 16
    layers = shapes(small)
    n = size * OVERSAMPLE
    scale = 32.0 / n
    pixels = []  # rows top to bottom of (r, g, b, coverage)
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0]
            covered = 0
            for sy in range(OVERSAMPLE):
                for sx in range(OVERSAMPLE):
                    x = (px * OVERSAMPLE + sx + 0.5) * scale
                    y = (py * OVERSAMPLE + sy + 0.5) * scale
                    colour = None
                    for pts, c in layers:
                        if inside_polygon(x, y, pts):
                            colour = c
                    if colour:
                        covered += 1
                        for i in range(3):
                            acc[i] += colour[i]
            if covered:
                row.append(tuple(round(a / covered) for a in acc) + (covered / OVERSAMPLE ** 2,))
            else:
                row.append((0, 0, 0, 0.0))
        pixels.append(row)
    return pixels


def dib(size, pixels):
    """BITMAPINFOHEADER + XOR bitmap (24-bit, bottom-up) + AND mask (1-bit, bottom-up)."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 24, 0, 0, 0, 0, 0, 0)
    xor = b""
    row_pad = (4 - (size * 3) % 4) % 4
    for row in reversed(pixels):
        line = b""
        for r, g, b, cover in row:
            line += bytes((b, g, r)) if cover >= 0.5 else b"\0\0\0"
        xor += line + b"\0" * row_pad
    mask = b""
    mask_row_bytes = ((size + 31) // 32) * 4
    for row in reversed(pixels):
        bits = bytearray(mask_row_bytes)
        for x, (_, _, _, cover) in enumerate(row):
            if cover < 0.5:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    return header + xor + mask


def main(path):
    images = [(size, dib(size, render(size))) for size in (16, 32)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 24, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "res/POSCollector.ico")
