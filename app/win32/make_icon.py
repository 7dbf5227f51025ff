#!/usr/bin/env python3
"""Draws zelmo.ico: 32 by 32 pixels, 16 colours (the standard VGA palette).

A flash chip with its pins and a green lamp, as in the main window.
Run it after changing the picture and commit the .ico beside it:
    python3 app/win32/make_icon.py app/win32/zelmo.ico
"""
import struct
import sys

# The 16 Windows colours, as (R, G, B), in their usual order.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, GREEN, SILVER, GREY, WHITE = 0, 2, 7, 8, 15
SIZE = 32


def draw():
    """Returns rows of colour indices, top row first; None is transparent."""
    px = [[None] * SIZE for _ in range(SIZE)]
    # Pins down both sides.
    for y in range(7, 26, 3):
        for x in list(range(3, 7)) + list(range(25, 29)):
            px[y][x] = SILVER
            px[y + 1][x] = GREY
    # The chip's body with a black edge and a notch.
    for y in range(4, 28):
        for x in range(6, 26):
            edge = y in (4, 27) or x in (6, 25)
            px[y][x] = BLACK if edge else GREY
    for y in range(4, 7):
        for x in range(14, 18):
            px[y][x] = BLACK if y == 6 or x in (14, 17) else None if y == 4 else GREY
    # The lamp: a green circle with a black outline.
    cx = cy = 15.5
    for y in range(SIZE):
        for x in range(SIZE):
            d = ((x - cx) ** 2 + (y - cy) ** 2) ** 0.5
            if d <= 5.2:
                px[y][x] = GREEN
            elif d <= 6.4:
                px[y][x] = BLACK
    # A highlight on the lamp.
    px[13][13] = px[13][14] = px[14][13] = WHITE
    return px


def ico(px):
    xor = bytearray()
    mask = bytearray()
    for row in reversed(px):  # bottom row first
        for x in range(0, SIZE, 2):
            hi = row[x] if row[x] is not None else 0
            lo = row[x + 1] if row[x + 1] is not None else 0
            xor.append(hi << 4 | lo)
        bits = 0
        for x in range(SIZE):
            bits = bits << 1 | (1 if row[x] is None else 0)
        mask += struct.pack(">I", bits)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    palette = b"".join(struct.pack("BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    image = header + palette + bytes(xor) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "zelmo.ico"
    with open(out, "wb") as f:
        f.write(ico(draw()))
