#!/usr/bin/env python3
"""Draws Kestrel's icon: a hovering kestrel seen from the side.

Writes, with nothing but the standard library:
  resources/Kestrel_icon.png  200 x 158, 8-bit palette with transparency
                              (the window icon, compiled in by kestrel.qrc)
  resources/kestrel.ico       6, 12, 18, 24 and 48 pixels square, 32-bit
                              images (icon group 101 of the Windows build)

The bird is a handful of filled shapes in a 200 x 158 drawing space, painted
back to front and sampled 4 x 4 times per pixel, with a dark outline around
the whole silhouette so that it reads on light and dark backgrounds alike.
Run it from anywhere; the output is the same on every run.
"""

import math
import os
import struct
import zlib

WIDTH, HEIGHT = 200, 158
SAMPLES = 4

# Colours (R, G, B).
RUFOUS = (196, 98, 40)
RUFOUS_DARK = (150, 66, 26)
BUFF = (240, 214, 170)
SLATE = (112, 128, 150)
SLATE_DARK = (78, 90, 108)
BLACK = (28, 24, 22)
YELLOW = (246, 196, 40)
WHITE = (250, 248, 240)
OUTLINE = (40, 28, 20)


def rotate(points, angle_deg, cx, cy):
    a = math.radians(angle_deg)
    c, s = math.cos(a), math.sin(a)
    return [(cx + (x - cx) * c - (y - cy) * s, cy + (x - cx) * s + (y - cy) * c) for x, y in points]


class Polygon:
    def __init__(self, points, colour):
        self.points = points
        self.colour = colour
        xs = [p[0] for p in points]
        ys = [p[1] for p in points]
        self.box = (min(xs), min(ys), max(xs), max(ys))

    def contains(self, x, y):
        inside = False
        pts = self.points
        j = len(pts) - 1
        for i in range(len(pts)):
            xi, yi = pts[i]
            xj, yj = pts[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                inside = not inside
            j = i
        return inside


class Ellipse:
    def __init__(self, cx, cy, rx, ry, angle_deg, colour):
        self.cx, self.cy, self.rx, self.ry = cx, cy, rx, ry
        a = math.radians(angle_deg)
        self.c, self.s = math.cos(a), math.sin(a)
        self.colour = colour
        r = max(rx, ry)
        self.box = (cx - r, cy - r, cx + r, cy + r)

    def contains(self, x, y):
        dx, dy = x - self.cx, y - self.cy
        u = dx * self.c + dy * self.s
        v = -dx * self.s + dy * self.c
        return (u / self.rx) ** 2 + (v / self.ry) ** 2 <= 1.0


def kestrel_shapes():
    """The bird, back to front, in the 200 x 158 drawing space."""
    shapes = []
    # Far wing, raised behind the body: only its dark tip shows above.
    shapes.append(Polygon([(104, 70), (88, 38), (96, 12), (118, 44), (122, 70)], RUFOUS_DARK))
    shapes.append(Polygon([(88, 38), (96, 12), (104, 28)], BLACK))
    # Tail: long, slate grey, widening a little, with a black band and a pale
    # tip, each a slice across its length.
    def across(t0, t1):
        top = lambda t: (74 + (14 - 74) * t, 88 + (112 - 88) * t)
        bottom = lambda t: (80 + (22 - 80) * t, 104 + (132 - 104) * t)
        return [top(t0), top(t1), bottom(t1), bottom(t0)]

    shapes.append(Polygon(across(0.0, 1.0), SLATE))
    shapes.append(Polygon(across(0.78, 0.9), BLACK))
    shapes.append(Polygon(across(0.93, 1.0), WHITE))
    # Body.
    shapes.append(Ellipse(108, 88, 42, 20, -14, RUFOUS))
    shapes.append(Ellipse(116, 96, 30, 11, -14, BUFF))
    # Spots on the back and flank.
    for x, y in [(92, 84), (102, 80), (112, 77), (98, 94), (110, 91), (122, 88), (84, 92)]:
        shapes.append(Ellipse(x, y, 2.6, 1.8, -14, BLACK))
    # Near wing: long and pointed, swept up and back, dark flight feathers.
    wing = [(128, 78), (112, 70), (84, 52), (54, 26), (30, 8), (62, 18), (96, 38), (126, 62), (136, 74)]
    shapes.append(Polygon(wing, RUFOUS))
    shapes.append(Polygon([(54, 26), (30, 8), (62, 18), (76, 28), (70, 34)], BLACK))
    for x, y in [(110, 62), (98, 52), (118, 70), (104, 60)]:
        shapes.append(Ellipse(x, y, 2.4, 1.6, 35, BLACK))
    # Head: slate cap, pale cheek, the dark "moustache" below the eye.
    shapes.append(Ellipse(152, 66, 17, 15, 0, SLATE))
    shapes.append(Ellipse(155, 73, 11, 8, 0, BUFF))
    shapes.append(Polygon([(152, 66), (157, 66), (154, 80), (150, 80)], BLACK))
    # Eye: yellow ring, dark pupil.
    shapes.append(Ellipse(158, 63, 4.6, 4.6, 0, YELLOW))
    shapes.append(Ellipse(158.5, 63, 3.0, 3.0, 0, BLACK))
    shapes.append(Ellipse(159.5, 62, 0.9, 0.9, 0, WHITE))
    # Beak: yellow cere, dark hooked tip.
    shapes.append(Polygon([(166, 62), (172, 62), (173, 68), (167, 70)], YELLOW))
    shapes.append(Polygon([(170, 61), (176, 62), (180, 67), (179, 74), (176, 77), (175, 70), (170, 69)], SLATE_DARK))
    # Feet tucked under the body.
    shapes.append(Polygon([(118, 104), (124, 104), (126, 112), (121, 112)], YELLOW))
    return shapes


def render(size_x, size_y, scale, offset_x, offset_y, outline_px):
    """RGBA rows of the bird; each pixel averaged over SAMPLES^2 points."""
    shapes = kestrel_shapes()
    sw, sh = size_x * SAMPLES, size_y * SAMPLES
    # Colour index per sample point (-1 transparent), painter's order.
    grid = [[-1] * sw for _ in range(sh)]
    palette = []
    index_of = {}
    for shape in shapes:
        if shape.colour not in index_of:
            index_of[shape.colour] = len(palette)
            palette.append(shape.colour)
        idx = index_of[shape.colour]
        x0, y0, x1, y1 = shape.box
        sx0 = max(0, int((x0 * scale + offset_x) * SAMPLES) - 1)
        sx1 = min(sw, int((x1 * scale + offset_x) * SAMPLES) + 2)
        sy0 = max(0, int((y0 * scale + offset_y) * SAMPLES) - 1)
        sy1 = min(sh, int((y1 * scale + offset_y) * SAMPLES) + 2)
        for sy in range(sy0, sy1):
            y = ((sy + 0.5) / SAMPLES - offset_y) / scale
            row = grid[sy]
            for sx in range(sx0, sx1):
                x = ((sx + 0.5) / SAMPLES - offset_x) / scale
                if shape.contains(x, y):
                    row[sx] = idx

    # Outline: the silhouette grown by `outline_px`, painted under the bird.
    radius = max(1, int(round(outline_px * SAMPLES)))
    outline_idx = len(palette)
    palette.append(OUTLINE)
    mask = [[c >= 0 for c in row] for row in grid]
    grown = [[False] * sw for _ in range(sh)]
    for sy in range(sh):
        row = mask[sy]
        out = grown[sy]
        for sx in range(sw):
            if row[sx]:
                for k in range(max(0, sx - radius), min(sw, sx + radius + 1)):
                    out[k] = True
    grown2 = [[False] * sw for _ in range(sh)]
    for sy in range(sh):
        for sx in range(sw):
            if grown[sy][sx]:
                for k in range(max(0, sy - radius), min(sh, sy + radius + 1)):
                    grown2[k][sx] = True
    for sy in range(sh):
        for sx in range(sw):
            if grown2[sy][sx] and grid[sy][sx] < 0:
                grid[sy][sx] = outline_idx

    rows = []
    n = SAMPLES * SAMPLES
    for y in range(size_y):
        row = []
        for x in range(size_x):
            r = g = b = a = 0
            for sy in range(y * SAMPLES, (y + 1) * SAMPLES):
                grow = grid[sy]
                for sx in range(x * SAMPLES, (x + 1) * SAMPLES):
                    c = grow[sx]
                    if c >= 0:
                        pr, pg, pb = palette[c]
                        r += pr
                        g += pg
                        b += pb
                        a += 1
            if a:
                row.append((r // a, g // a, b // a, a * 255 // n))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def quantise(rows):
    """An 8-bit palette for the RGBA rows: the most frequent colours, with
    channels rounded to steps of 8, and every other colour mapped to the
    nearest of them."""
    def key(p):
        if p[3] == 0:
            return (0, 0, 0, 0)
        return tuple(min(255, (c + 4) // 8 * 8) for c in p[:3]) + (min(255, (p[3] + 8) // 17 * 17),)

    counts = {}
    for row in rows:
        for p in row:
            k = key(p)
            counts[k] = counts.get(k, 0) + 1
    ordered = sorted(counts, key=lambda k: (-counts[k], k))
    # Fully transparent first, so that it is index 0.
    if (0, 0, 0, 0) in ordered:
        ordered.remove((0, 0, 0, 0))
    palette = [(0, 0, 0, 0)] + ordered[:255]
    lookup = {k: i for i, k in enumerate(palette)}

    def nearest(k):
        best, best_d = 0, None
        for i, p in enumerate(palette):
            d = sum((a - b) ** 2 for a, b in zip(k, p))
            if best_d is None or d < best_d:
                best, best_d = i, d
        return best

    indices = []
    for row in rows:
        out = []
        for p in row:
            k = key(p)
            if k not in lookup:
                lookup[k] = nearest(k)
            out.append(lookup[k])
        indices.append(out)
    return palette, indices


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def write_png(path, width, height, palette, indices):
    raw = b"".join(b"\x00" + bytes(row) for row in indices)
    png = b"\x89PNG\r\n\x1a\n"
    png += png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 3, 0, 0, 0))
    png += png_chunk(b"PLTE", b"".join(bytes(p[:3]) for p in palette))
    alphas = bytes(p[3] for p in palette)
    # tRNS may stop after the last entry that is not fully opaque.
    last = max((i for i, a in enumerate(alphas) if a != 255), default=-1)
    if last >= 0:
        png += png_chunk(b"tRNS", alphas[: last + 1])
    png += png_chunk(b"IDAT", zlib.compress(raw, 9))
    png += png_chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def ico_image(size):
    """One 32-bit icon image (BITMAPINFOHEADER, BGRA rows bottom-up, AND mask)."""
    margin = 0.04 * size
    scale = (size - 2 * margin) / WIDTH
    offset_y = (size - HEIGHT * scale) / 2
    rows = render(size, size, scale, margin, offset_y, outline_px=max(0.5, size / 48.0))
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, p in enumerate(row):
            if p[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + pixels + bytes(mask)


def write_ico(path, sizes):
    images = [ico_image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(path, "wb") as f:
        f.write(out)


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    resources = os.path.join(root, "resources")
    rows = render(WIDTH, HEIGHT, 1.0, 0.0, 0.0, outline_px=1.5)
    palette, indices = quantise(rows)
    write_png(os.path.join(resources, "Kestrel_icon.png"), WIDTH, HEIGHT, palette, indices)
    write_ico(os.path.join(resources, "kestrel.ico"), [6, 12, 18, 24, 48])


if __name__ == "__main__":
    main()
