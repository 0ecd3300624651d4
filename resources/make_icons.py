#!/usr/bin/env python3
"""Draws MAINICON and MLCKICON at every size Windows asks of them.

Run from this folder: python3 make_icons.py  (writes mainicon.ico, mlckicon.ico)

Sizes: 16, 20, 24, 32 (the notification area at 100, 125, 150, 200 %) and
32, 40, 48, 64 (the notification's picture at the same scalings). Each size is drawn on its own pixel grid: edges fall on whole pixels
and no line is thinner than one. Frames are 32-bit with alpha and stored as
PNG inside the ICO (Windows Vista and later read them), which keeps the
program small. Nothing is opaque behind the pictures: each shape carries an
edge that reads against a dark (#202020) and a light (#F3F3F3) taskbar.
"""
import struct
import zlib

SIZES = (16, 20, 24, 32, 40, 48, 64)

WHITE = (255, 255, 255)
NAVY = (27, 45, 79)          # the resident card's edge and marks
BLUE = (41, 98, 196)         # the new-mail card
SKY = (58, 138, 232)         # the resident arrow
RED = (222, 52, 48)          # the new-mail arrow


class Canvas:
    def __init__(self, n):
        self.n = n
        self.px = [[(0, 0, 0, 0)] * n for _ in range(n)]

    def blend(self, x, y, colour, cover):
        """Paints colour over (x, y), covering this fraction of the pixel."""
        if cover <= 0 or not (0 <= x < self.n and 0 <= y < self.n):
            return
        r0, g0, b0, a0 = self.px[y][x]
        a = cover + a0 * (1 - cover)
        mix = [(c * cover + c0 * a0 * (1 - cover)) / a for c, c0 in zip(colour, (r0, g0, b0))]
        self.px[y][x] = (mix[0], mix[1], mix[2], a)

    def rect(self, x0, y0, x1, y1, colour):
        """Whole pixels from (x0, y0) up to, not including, (x1, y1)."""
        for y in range(y0, y1):
            for x in range(x0, x1):
                self.blend(x, y, colour, 1.0)

    def shape(self, inside, colour):
        """Fills where inside(x, y) holds, 4 x 4 samples a pixel: smooth
        diagonals and curves without a blur on straight edges. Coverage in
        quarters: finer steps cost the program a kilobyte and show no better."""
        for y in range(self.n):
            for x in range(self.n):
                hits = sum(inside(x + (i + 0.5) / 4, y + (j + 0.5) / 4) for i in range(4) for j in range(4))
                self.blend(x, y, colour, round(hits / 4) / 4)


def unit(n):
    """The edge of this size: a pixel below 32, then one more every 16."""
    return max(1, n // 16)


def at(n, v):
    """A place on the 32-unit design grid, on this size's whole pixels."""
    return int(round(v * n / 32))


def card(c, x0, y0, x1, y1, edge, fill, marks):
    """An outlined card bearing a square and three lines, like a message."""
    n, w = c.n, unit(c.n)
    m = max(1, n // 24)                         # the marks: finer than the edge
    X0, Y0, X1, Y1 = at(n, x0), at(n, y0), at(n, x1), at(n, y1)
    c.rect(X0, Y0, X1, Y1, edge)
    c.rect(X0 + w, Y0 + w, X1 - w, Y1 - w, fill)
    pad = max(m, (Y1 - Y0 - 2 * w) // 6)
    left, top, right, bottom = X0 + w + pad, Y0 + w + pad, X1 - w - pad, Y1 - w - pad
    # The square takes half the height the margins leave, so the line
    # below it always has room; two lines beside it where there is room.
    side = max(2 * m, (bottom - top) // 2)
    c.rect(left, top, left + side, top + side, marks)
    c.rect(left + side + pad, top, right, top + m, marks)
    if side >= 3 * m:
        c.rect(left + side + pad, top + side - m, right, top + side, marks)
    c.rect(left, bottom - m, right, bottom, marks)


def main_icon(n):
    """A white card with a dark square and three lines, and a blue arrow
    pointing down into it: the white reads on a dark taskbar, the navy
    edges on a light one."""
    c = Canvas(n)
    card(c, 3, 14, 29, 30, NAVY, WHITE, NAVY)
    w = unit(n)
    # The arrow, centred on the card: a shaft and a head whose tip just
    # enters the card, edged in navy.
    mid = n / 2
    half_shaft = max(1, round(3 * n / 64))   # whole pixels either side of the middle
    top, neck, tip = at(n, 1), at(n, 9), at(n, 14) + w
    head = at(n, 8)

    def arrow(grow):
        def inside(x, y):
            if top - grow <= y <= neck and abs(x - mid) <= half_shaft + grow:
                return True
            return neck - 0.01 <= y <= tip + grow * 1.5 and abs(x - mid) <= head + grow - (y - neck) * head / (tip - neck)
        return inside
    c.shape(arrow(w), NAVY)
    c.shape(arrow(0), SKY)
    return c


def mail_icon(n):
    """A blue card with a white square and three white lines, and a red
    arrow curving up into it from the lower left: white edges for a dark
    taskbar, the blue and the red read on a light one."""
    c = Canvas(n)
    card(c, 10, 3, 31, 24, WHITE, BLUE, WHITE)
    w = unit(n)
    s = n / 32
    # The arrow: a quadratic curve from the lower left, bending right into
    # the card, and a head pointing right.
    p0, p1, p2 = (4 * s, 30 * s), (4 * s, 17 * s), (12 * s, 17 * s)
    points = []
    for step in range(41):
        t = step / 40
        points.append(((1 - t) ** 2 * p0[0] + 2 * (1 - t) * t * p1[0] + t * t * p2[0],
                       (1 - t) ** 2 * p0[1] + 2 * (1 - t) * t * p1[1] + t * t * p2[1]))
    radius = max(1.0, 2.2 * s)
    head_x, head_y, head_len, head_half = p2[0], p2[1], 7 * s, 6 * s

    def near(x, y, r):
        for (ax, ay), (bx, by) in zip(points, points[1:]):
            dx, dy = bx - ax, by - ay
            t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
            if (x - ax - t * dx) ** 2 + (y - ay - t * dy) ** 2 <= r * r:
                return True
        return False

    def arrow(grow):
        def inside(x, y):
            if near(x, y, radius + grow):
                return True
            along = x - head_x + grow
            return 0 <= along <= head_len + 2 * grow and abs(y - head_y) <= head_half + grow - along * head_half / head_len
        return inside
    c.shape(arrow(w), WHITE)
    c.shape(arrow(0), RED)
    return c


def png(c):
    n = c.n
    raw = bytearray()
    for row in c.px:
        raw.append(0)
        for r, g, b, a in row:
            if a < 1 / 255:
                raw += b'\0\0\0\0'
            else:
                raw += bytes((int(round(r)), int(round(g)), int(round(b)), int(round(a * 255))))

    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', n, n, 8, 6, 0, 0, 0))
            + chunk(b'IDAT', zlib.compress(bytes(raw), 9)) + chunk(b'IEND', b''))


def ico(draw):
    frames = [png(draw(n)) for n in SIZES]
    out = struct.pack('<HHH', 0, 1, len(frames))
    offset = 6 + 16 * len(frames)
    for n, data in zip(SIZES, frames):
        out += struct.pack('<BBBBHHII', n % 256, n % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b''.join(frames)


if __name__ == '__main__':
    for name, draw in (('mainicon.ico', main_icon), ('mlckicon.ico', mail_icon)):
        with open(name, 'wb') as f:
            f.write(ico(draw))
