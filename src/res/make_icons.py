#!/usr/bin/env python3
"""Writes idle.ico and busy.ico: a small TV set at 16, 20, 24 and 32 pixels in
32-bit colour with alpha; the busy one has a lit screen with a red 'on air'
lamp. The picture is drawn on a 32-unit grid and each size is sampled from it
(4 x 4 samples a pixel), so that the small sizes stay smooth."""
import os, struct

SIZES = (16, 20, 24, 32)
GRID = 32.0
BLACK, DGREY, LGREY, CYAN, DCYAN, RED = ((0, 0, 0), (96, 96, 96), (200, 200, 200),
                                         (40, 200, 230), (20, 120, 150), (230, 30, 30))

def shapes(busy):
    """Painter's order: (kind, coordinates on the grid, colour)."""
    s = [('line', (9, 2, 15.5, 8.5), DGREY), ('line', (23, 2, 16.5, 8.5), DGREY),   # antenna
         ('rect', (1, 8, 31, 28), BLACK),          # cabinet outline
         ('rect', (2, 9, 30, 27), LGREY),
         ('rect', (4, 11, 24, 25), BLACK),         # screen bezel
         ('rect', (5, 12, 23, 24), CYAN if busy else DGREY)]
    if busy:
        s += [('rect', (7 + 6 * i, 14, 10 + 6 * i, 22), DCYAN) for i in range(3)]   # picture bars
    s += [('rect', (25, 12, 28, 15), RED if busy else DGREY),   # power lamp
          ('rect', (25, 17, 28, 19), DGREY), ('rect', (25, 21, 28, 23), DGREY),
          ('rect', (5, 28, 9, 30), BLACK), ('rect', (23, 28, 27, 30), BLACK)]   # feet
    return s

def inside(kind, c, x, y):
    if kind == 'rect':
        return c[0] <= x < c[2] and c[1] <= y < c[3]
    x0, y0, x1, y1 = c   # a line 1.6 units wide
    dx, dy = x1 - x0, y1 - y0
    t = max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / (dx * dx + dy * dy)))
    return (x - x0 - t * dx) ** 2 + (y - y0 - t * dy) ** 2 <= 0.8 ** 2

def render(busy, size):
    """Rows of (r, g, b, a), top row first."""
    n, scale, picture = 4, GRID / size, shapes(busy)
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0.0
            for sy in range(n):
                for sx in range(n):
                    x, y = (px + (sx + 0.5) / n) * scale, (py + (sy + 0.5) / n) * scale
                    colour = None
                    for kind, c, col in picture:
                        if inside(kind, c, x, y):
                            colour = col
                    if colour:
                        r, g, b, a = r + colour[0], g + colour[1], b + colour[2], a + 1
            k = n * n
            row.append((round(r / a), round(g / a), round(b / a), round(255 * a / k)) if a else (0, 0, 0, 0))
        rows.append(row)
    return rows

def image(rows):
    size = len(rows)
    xor = b''.join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_row = (size + 31) // 32 * 4
    andm = b''
    for row in reversed(rows):
        bits = bytearray(mask_row)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        andm += bytes(bits)
    header = struct.pack('<IiiHHIIiiII', 40, size, 2 * size, 1, 32, 0, len(xor) + len(andm), 0, 0, 0, 0)
    return header + xor + andm

def ico(busy):
    images = [image(render(busy, size)) for size in SIZES]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, img in zip(SIZES, images):
        out += struct.pack('<BBBBHHII', size, size, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    return out + b''.join(images)

here = os.path.dirname(os.path.abspath(__file__))
for name, busy in (('idle.ico', False), ('busy.ico', True)):
    with open(os.path.join(here, name), 'wb') as f:
        f.write(ico(busy))
