#!/usr/bin/env python3
"""Draws the program icon (a flash drive with a green check) as a 16x16 and
32x32 32-bit ICO. Run: python3 make_kestrune_icon.py kestrune.ico"""
import struct
import sys


def draw(size):
    """Returns rows (top first) of (r, g, b, a) pixels for one icon size."""
    s = size / 32.0
    pixels = [[(0, 0, 0, 0)] * size for _ in range(size)]

    def rect(x0, y0, x1, y1, colour):
        for y in range(int(y0 * s), int(y1 * s)):
            for x in range(int(x0 * s), int(x1 * s)):
                pixels[y][x] = colour

    # Connector, then its two contact windows.
    rect(11, 1, 21, 9, (190, 190, 196, 255))
    rect(13, 3, 15, 6, (70, 70, 80, 255))
    rect(17, 3, 19, 6, (70, 70, 80, 255))
    # Body with a darker rim.
    rect(7, 9, 25, 31, (20, 60, 140, 255))
    rect(8, 10, 24, 30, (40, 100, 200, 255))
    # A check mark: a short stroke down, a long stroke up.
    green = (40, 200, 70, 255)
    width = max(1, int(2 * s))
    for i in range(int(4 * s) + 1):
        x = int(10 * s) + i
        y = int(19 * s) + i
        for w in range(width + 1):
            if 0 <= y + w < size:
                pixels[y + w][x] = green
    for i in range(int(9 * s) + 1):
        x = int(14 * s) + i
        y = int(23 * s) - i
        for w in range(width + 1):
            if 0 <= y + w < size:
                pixels[y + w][x] = green
    return pixels


def image_entry(size):
    """One icon image: BITMAPINFOHEADER, BGRA rows bottom-up, AND mask."""
    pixels = draw(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b"".join(
        bytes((b, g, r, a)) for row in reversed(pixels) for (r, g, b, a) in row)
    mask_row_bytes = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(pixels):
        bits = bytearray(mask_row_bytes)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + xor + bytes(mask)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "kestrune.ico"
    sizes = (16, 32)
    images = [image_entry(size) for size in sizes]
    data = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(sizes, images):
        data += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    data += b"".join(images)
    with open(out, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
