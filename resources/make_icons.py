#!/usr/bin/env python3
"""Draws MAINICON and MLCKICON: one 32 x 32, 16-colour image each.

Run from this folder: python3 make_icons.py  (writes mainicon.ico, mlckicon.ico)
Each picture is a grid of palette letters; '.' is transparent.
"""
import struct

# The standard 16-colour palette, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
    (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
LETTERS = {'K': 0, 'N': 4, 'G': 8, 'S': 7, 'R': 9, 'W': 15, 'B': 12}


def blank(fill):
    return [[fill] * 32 for _ in range(32)]


def rect(grid, x0, y0, x1, y1, c):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            grid[y][x] = c


def main_icon():
    """A white arrow pointing down into a white card with a dark square and
    three lines, on an opaque black square."""
    g = blank('K')
    rect(g, 5, 13, 26, 29, 'W')            # the card
    rect(g, 8, 16, 13, 21, 'G')            # the dark square
    for y in (17, 20):
        rect(g, 16, y, 23, y, 'G')         # lines beside the square
    rect(g, 8, 25, 23, 25, 'G')            # line below
    for y in range(1, 8):                  # arrow shaft
        rect(g, 14, y, 17, y, 'W')
    for i, y in enumerate(range(7, 12)):   # arrow head
        rect(g, 10 + i, y, 21 - i, y, 'W')
    return g


def mail_icon():
    """A dark blue card with a white square and three white lines, and a red
    arrow curving up into it from the lower left, on a transparent ground."""
    g = blank('.')
    rect(g, 11, 6, 29, 25, 'N')            # the card
    rect(g, 14, 9, 19, 14, 'W')            # the square
    for y in (10, 13):
        rect(g, 21, y, 26, y, 'W')
    rect(g, 14, 19, 26, 19, 'W')
    # The arrow: a quadratic curve from the lower left, bending right.
    p0, p1, p2 = (3.0, 30.0), (3.0, 17.0), (13.0, 17.0)
    for step in range(200):
        t = step / 199
        x = (1 - t) ** 2 * p0[0] + 2 * (1 - t) * t * p1[0] + t * t * p2[0]
        y = (1 - t) ** 2 * p0[1] + 2 * (1 - t) * t * p1[1] + t * t * p2[1]
        for dx in (0, 1):
            for dy in (0, 1):
                xi, yi = int(round(x)) + dx, int(round(y)) + dy
                if 0 <= xi < 32 and 0 <= yi < 32:
                    g[yi][xi] = 'R'
    for i in range(6):                     # head pointing right, into the card
        rect(g, 12 + i, 12 + i, 12 + i, 23 - i, 'R')
    return g


def ico(grid):
    palette = b''.join(struct.pack('<BBBB', b, gr, r, 0) for r, gr, b in PALETTE)
    xor = bytearray()
    mask = bytearray()
    for y in range(31, -1, -1):            # rows bottom-up
        row = grid[y]
        for x in range(0, 32, 2):
            a = LETTERS.get(row[x], 0)
            b = LETTERS.get(row[x + 1], 0)
            xor.append(a << 4 | b)
        bits = 0
        for x in range(32):
            bits = bits << 1 | (1 if row[x] == '.' else 0)
        mask += struct.pack('>I', bits)
    header = struct.pack('<IiiHHIIiiII', 40, 32, 64, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    image = header + palette + bytes(xor) + bytes(mask)
    assert len(image) == 744
    return struct.pack('<HHH', 0, 1, 1) + struct.pack('<BBBBHHII', 32, 32, 16, 0, 1, 4, len(image), 22) + image


if __name__ == '__main__':
    for name, grid in (('mainicon.ico', main_icon()), ('mlckicon.ico', mail_icon())):
        with open(name, 'wb') as f:
            f.write(ico(grid))
