#!/usr/bin/env python3
"""Draws the window pictures and program icons of the conference programs.

    make_images.py --program {server|client|pcname} --out DIR [--preview FILE.png]

Writes into DIR:
  bitmap1.bmp  (server and client) the window background, 32 bits per pixel,
               bottom-up, uncompressed;
  icon1.ico    one 64 x 64 image with 256 colours and a transparency mask.
--preview also writes a PNG that shows the files as written (decoded back
from their bytes), the background under a mock-up of the window's controls,
and the icon on light, dark and checkered grounds, magnified four times.

The images are drawn here instead of being kept in the repository so that
they stay reviewable as code. Only the standard library is used, and the
output is the same byte for byte on every run.
"""
import argparse
import math
import os
import struct
import sys
import zlib

# ---------------------------------------------------------------------------
# Small numeric helpers


def clamp(value, low=0.0, high=1.0):
    return low if value < low else high if value > high else value


def smoothstep(edge0, edge1, value):
    t = clamp((value - edge0) / (edge1 - edge0))
    return t * t * (3.0 - 2.0 * t)


def mix(a, b, t):
    return tuple(x + (y - x) * t for x, y in zip(a, b))


def scale_colour(colour, factor):
    return tuple(c * factor for c in colour)


# ---------------------------------------------------------------------------
# Shapes as signed distances in pixels (negative inside). Pixel (i, j) covers
# the square [i, i+1) x [j, j+1); it is sampled at its centre.


def ellipse(cx, cy, rx, ry):
    def distance(x, y):
        u = (x - cx) / rx
        v = (y - cy) / ry
        k = math.hypot(u, v)
        if k < 1e-9:
            return -min(rx, ry)
        # First-order distance: the level value over its gradient's length.
        gradient = math.hypot(u / (rx * k), v / (ry * k))
        return (k - 1.0) / gradient
    return distance


def circle(cx, cy, radius):
    return lambda x, y: math.hypot(x - cx, y - cy) - radius


def rounded_box(x0, y0, x1, y1, radius=0.0):
    cx, cy = (x0 + x1) / 2.0, (y0 + y1) / 2.0
    hx, hy = (x1 - x0) / 2.0 - radius, (y1 - y0) / 2.0 - radius

    def distance(x, y):
        qx = abs(x - cx) - hx
        qy = abs(y - cy) - hy
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        return outside + min(max(qx, qy), 0.0) - radius
    return distance


def ring(outer, inner):
    return lambda x, y: max(outer(x, y), -inner(x, y))


def shifted(shape, dx, dy):
    return lambda x, y: shape(x - dx, y - dy)


# ---------------------------------------------------------------------------
# Canvas: straight (not premultiplied) RGBA in floats, RGB in 0..255, alpha 0..1


class Canvas:
    def __init__(self, width, height, colour=(0.0, 0.0, 0.0), alpha=0.0):
        self.width = width
        self.height = height
        self.pixels = [[float(colour[0]), float(colour[1]), float(colour[2]), alpha]
                       for _ in range(width * height)]

    def pixel(self, x, y):
        return self.pixels[y * self.width + x]

    def shade(self, shader):
        """Sets every pixel to shader(x, y) (an RGB colour), fully opaque."""
        for y in range(self.height):
            for x in range(self.width):
                r, g, b = shader(x + 0.5, y + 0.5)
                self.pixels[y * self.width + x] = [r, g, b, 1.0]

    def blend(self, x, y, colour, alpha):
        if alpha <= 0.0:
            return
        p = self.pixels[y * self.width + x]
        below = p[3] * (1.0 - alpha)
        total = alpha + below
        for c in range(3):
            p[c] = (colour[c] * alpha + p[c] * below) / total
        p[3] = total

    def _pixels_in(self, bounds):
        """The pixels to visit: all, or those of one box or of a list of
        boxes (x0, y0, x1, y1); boxes of a list must not overlap."""
        if bounds is None:
            boxes = [(0, 0, self.width, self.height)]
        elif isinstance(bounds[0], (tuple, list)):
            boxes = bounds
        else:
            boxes = [bounds]
        for x0, y0, x1, y1 in boxes:
            for y in range(max(0, int(math.floor(y0))), min(self.height, int(math.ceil(y1)))):
                for x in range(max(0, int(math.floor(x0))), min(self.width, int(math.ceil(x1)))):
                    yield x, y

    def paint(self, shape, colour, opacity=1.0, bounds=None):
        """Fills a shape with anti-aliased edges. colour is an RGB tuple or a
        function of (x, y) giving one."""
        for x, y in self._pixels_in(bounds):
            px, py = x + 0.5, y + 0.5
            cover = clamp(0.5 - shape(px, py))
            if cover > 0.0:
                c = colour(px, py) if callable(colour) else colour
                self.blend(x, y, c, cover * opacity)

    def fill_rect(self, x0, y0, x1, y1, colour):
        """Fills the pixels x0..x1-1, y0..y1-1 (whole numbers) opaquely."""
        for y in range(max(0, y0), min(self.height, y1)):
            for x in range(max(0, x0), min(self.width, x1)):
                self.pixels[y * self.width + x] = [float(colour[0]), float(colour[1]),
                                                   float(colour[2]), 1.0]

    def halo(self, shape, colour, strength, reach, bounds=None, inside=False):
        """A soft falloff around a shape (for shadows), from strength at its
        edge to nothing reach pixels away; the inside too if asked."""
        for x, y in self._pixels_in(bounds):
            d = shape(x + 0.5, y + 0.5)
            if d < reach and (inside or d > 0.0):
                self.blend(x, y, colour, strength * (1.0 - smoothstep(0.0, reach, d)))

    def drop_shadow(self, shape, strength=0.5, reach=1.5):
        self.halo(shifted(shape, 0.0, 1.0), (0, 0, 12), strength, reach, inside=True)

    def paste(self, other, left, top, zoom=1):
        """Copies other (scaled by an integer zoom) over this canvas, blending
        by other's alpha."""
        for y in range(other.height * zoom):
            ty = top + y
            if not 0 <= ty < self.height:
                continue
            for x in range(other.width * zoom):
                tx = left + x
                if 0 <= tx < self.width:
                    r, g, b, a = other.pixel(x // zoom, y // zoom)
                    self.blend(tx, ty, (r, g, b), a)


# ---------------------------------------------------------------------------
# A tiny pixel font: just the glyphs the icons spell. Capitals are 5 x 7,
# lower case sits on the same baseline with a 5-pixel x-height.

GLYPHS = {
    "S": [".###.", "#...#", "#....", ".###.", "....#", "#...#", ".###."],
    "V": ["#...#", "#...#", "#...#", "#...#", ".#.#.", ".#.#.", "..#.."],
    "C": [".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."],
    "A": [".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"],
    "G": [".###.", "#...#", "#....", "#.###", "#...#", "#...#", ".###."],
    "e": ["....", "....", ".##.", "#..#", "####", "#...", ".###"],
    "t": [".#..", ".#..", "###.", ".#..", ".#..", ".#.#", "..#."],
    "n": ["....", "....", "###.", "#..#", "#..#", "#..#", "#..#"],
    "a": ["....", "....", ".##.", "...#", ".###", "#..#", ".###"],
    "m": [".....", ".....", "##.#.", "#.#.#", "#.#.#", "#.#.#", "#.#.#"],
}


def text_width(text, scale, spacing):
    widths = [len(GLYPHS[ch][0]) * scale for ch in text]
    return sum(widths) + spacing * (len(text) - 1)


def text_cells(text, left, top, scale, spacing):
    """The filled squares of a text, as (x0, y0, x1, y1) in pixels."""
    x = left
    for ch in text:
        rows = GLYPHS[ch]
        for gy, row in enumerate(rows):
            for gx, bit in enumerate(row):
                if bit == "#":
                    yield (x + gx * scale, top + gy * scale,
                           x + (gx + 1) * scale, top + (gy + 1) * scale)
        x += len(rows[0]) * scale + spacing


def draw_text(canvas, text, centre_x, top, scale, colour, shadow, spacing=None):
    """Draws text centred on centre_x, with a one-pixel drop shadow so that
    the letters stand off the ground at small sizes."""
    if spacing is None:
        spacing = scale
    # Whole glyph pixels start on multiples of the scale (see the icons).
    left = centre_x - text_width(text, scale, spacing) / 2.0
    left = int(math.floor(left / scale + 0.5)) * scale
    cells = list(text_cells(text, left, top, scale, spacing))
    for x0, y0, x1, y1 in cells:
        for y in range(y0 + 1, y1 + 1):
            for x in range(x0 + 1, x1 + 1):
                canvas.blend(x, y, shadow, 0.75)
    for x0, y0, x1, y1 in cells:
        for y in range(y0, y1):
            for x in range(x0, x1):
                canvas.blend(x, y, colour(x + 0.5, y + 0.5) if callable(colour) else colour, 1.0)


def gold(top, height):
    """Letter colour: bright yellow that warms slightly towards the baseline."""
    light, deep = (255, 248, 120), (255, 196, 0)
    return lambda x, y: mix(light, deep, clamp((y - top) / height))


# ---------------------------------------------------------------------------
# Window backgrounds

# Where the windows put their controls (x, y, width, height): the pictures
# seat them with a soft shadow.
SERVER_SIZE = (184, 164)
# The window is clipped to the ellipse (0, 0)-(183, 164); the painted ellipse
# reaches a pixel beyond it so that no white shows at the clipped edge.
SERVER_REGION = (0, 0, 183, 164)
SERVER_CONTROLS = [(54, 55, 50, 20), (54, 93, 50, 20), (118, 55, 40, 20), (118, 93, 40, 20)]
SERVER_STATUS_BOX = (65, 25, 120, 39)
CLIENT_SIZE = (592, 446)
CLIENT_EDITS = [(40, 310, 510, 80), (40, 80, 510, 200), (116, 25, 140, 20),
                (116, 52, 140, 20), (346, 52, 48, 20)]
CLIENT_BUTTONS = [(40, 400, 80, 30), (470, 400, 80, 30), (470, 48, 80, 30)]

# Light falls from the upper left.
LIGHT = (-0.45, -0.89)


def panel_shader(cx, cy, rx, ry, centre, edge):
    """The server's elliptic panel: a radial gradient, lighter above, with a
    bevelled rim lit from the upper left and a dark outer edge."""
    rim_light = (150, 200, 255)

    def shade(x, y):
        u = (x - cx) / rx
        v = (y - cy) / ry
        k = math.hypot(u, v)
        colour = mix(centre, edge, smoothstep(0.15, 1.0, k) ** 1.2)
        colour = scale_colour(colour, 1.0 + 0.18 * clamp(-v))
        if k > 0.0:
            facing = (u * LIGHT[0] + v * LIGHT[1]) / k
            bevel = smoothstep(0.86, 0.93, k) * (1.0 - smoothstep(0.97, 1.0, k))
            if facing > 0.0:
                colour = mix(colour, rim_light, 0.30 * bevel * facing)
            else:
                colour = scale_colour(colour, 1.0 + 0.45 * bevel * facing)
        colour = scale_colour(colour, 1.0 - 0.55 * smoothstep(0.965, 1.0, k))
        return colour
    return shade


def frame_boxes(outer, inner):
    """Four non-overlapping boxes covering outer but not inner."""
    ox0, oy0, ox1, oy1 = outer
    ix0, iy0, ix1, iy1 = inner
    return [(ox0, oy0, ox1, iy0), (ox0, iy1, ox1, oy1), (ox0, iy0, ix0, iy1), (ix1, iy0, ox1, iy1)]


def edge_strips(width, height, depth):
    """Boxes covering everything within depth of the picture's edges."""
    return frame_boxes((0, 0, width, height), (depth, depth, width - depth, height - depth))


def seat_controls(canvas, rects, strength, reach):
    """A soft dark halo around where each control sits, so that the flat
    controls look set into the panel."""
    for x, y, w, h in rects:
        shape = rounded_box(x - 1, y - 1, x + w + 1, y + h + 2, 2.0)
        outer = (x - reach - 2, y - reach - 2, x + w + reach + 3, y + h + reach + 3)
        canvas.halo(shape, (0, 0, 12), strength, reach,
                    bounds=frame_boxes(outer, (x, y, x + w, y + h)))


def server_background():
    width, height = SERVER_SIZE
    canvas = Canvas(width, height, (255, 255, 255), 1.0)
    left, top, right, bottom = SERVER_REGION
    cx, cy = (left + right) / 2.0, (top + bottom) / 2.0
    rx, ry = (right - left) / 2.0 + 1.0, (bottom - top) / 2.0 + 1.0
    shape = ellipse(cx, cy, rx, ry)
    canvas.paint(shape, panel_shader(cx, cy, rx, ry, (30, 66, 150), (8, 22, 70)))
    # A glassy sheen across the top, gone before the first labels, and a
    # faint glow of reflected light along the bottom.
    sheen = ellipse(cx, cy - 0.56 * ry, 0.64 * rx, 0.40 * ry)
    glow = ring(ellipse(cx, cy + 0.02 * ry, 0.89 * rx, 0.89 * ry),
                ellipse(cx, cy - 0.10 * ry, 0.86 * rx, 0.86 * ry))
    for y in range(height):
        top_fade = 0.30 * (1.0 - smoothstep(10.0, 30.0, y))
        bottom_fade = 0.22 * smoothstep(cy + 0.45 * ry, cy + 0.85 * ry, y)
        for x in range(width):
            px, py = x + 0.5, y + 0.5
            if top_fade > 0.0:
                canvas.blend(x, y, (190, 220, 255), top_fade * clamp(-sheen(px, py) / 3.0))
            if bottom_fade > 0.0:
                canvas.blend(x, y, (90, 150, 255), bottom_fade * clamp(0.5 - glow(px, py) / 3.0))
    seat_controls(canvas, SERVER_CONTROLS, 0.45, 3.0)
    x0, y0, x1, y1 = SERVER_STATUS_BOX
    seat_controls(canvas, [(x0, y0, x1 - x0, y1 - y0)], 0.45, 3.0)
    return canvas


def client_background():
    width, height = CLIENT_SIZE
    cx, cy = width / 2.0, height * 0.46
    centre, edge = (48, 106, 200), (8, 22, 68)

    def vignette(x, y):
        u = abs(x - cx) / (width / 2.0)
        v = abs(y - cy) / (height / 2.0)
        # A rounded-rectangle distance, so the darkening follows the frame.
        k = (u ** 3 + v ** 3) ** (1.0 / 3.0)
        colour = mix(centre, edge, smoothstep(0.3, 1.2, k))
        return scale_colour(colour, 1.0 + 0.10 * clamp((cy - y) / cy))
    canvas = Canvas(width, height)
    canvas.shade(vignette)

    # An engraved frame a little inside the edge: dark groove, light lip.
    inset = 10.0
    frame = rounded_box(inset, inset, width - inset, height - inset, 10.0)
    groove = ring(frame, rounded_box(inset + 1, inset + 1, width - inset - 1,
                                     height - inset - 1, 9.0))
    near_edges = edge_strips(width, height, 2 * inset + 2)
    canvas.paint(groove, (0, 0, 10), opacity=0.45, bounds=near_edges)
    canvas.paint(shifted(groove, 1.0, 1.0), (170, 210, 255), opacity=0.18, bounds=near_edges)
    seat_controls(canvas, CLIENT_EDITS + CLIENT_BUTTONS, 0.35, 4.0)
    return canvas


# ---------------------------------------------------------------------------
# Icons (64 x 64)

ICON_SIZE = 64
NAVY_OUTLINE = (4, 10, 34)


def disc_base(canvas, fill_centre, fill_edge, outline):
    """A shaded disc with a thin dark outline that keeps its edge visible on
    light grounds."""
    c, radius = 32.0, 31.5
    outer = circle(c, c, radius)
    canvas.paint(outer, outline)
    shader = panel_shader(c, c, radius - 1.2, radius - 1.2, fill_centre, fill_edge)
    canvas.paint(circle(c, c, radius - 1.2), shader)


# Icon shapes keep their edges on even pixels and the letters use two-pixel
# strokes on an even grid: where the system shows the icon at 32 x 32 by
# dropping every other pixel, strokes then survive whole.


def server_icon():
    canvas = Canvas(ICON_SIZE, ICON_SIZE)
    disc_base(canvas, (36, 76, 168), (10, 26, 80), NAVY_OUTLINE)
    # The panel in miniature: the status bar, then two rows of field + button.
    bar = rounded_box(22, 10, 42, 14, 1.5)
    canvas.drop_shadow(bar)
    canvas.paint(bar, lambda x, y: mix((255, 100, 90), (205, 20, 20), clamp((y - 10) / 4)))
    for top in (18, 26):
        field = rounded_box(14, top, 32, top + 6, 1.0)
        canvas.drop_shadow(field)
        canvas.paint(field, lambda x, y, t=top: mix((170, 255, 255), (0, 215, 235),
                                                    clamp((y - t) / 6)))
        button = rounded_box(36, top, 50, top + 6, 1.5)
        canvas.drop_shadow(button)
        canvas.paint(button, lambda x, y, t=top: mix((120, 170, 255), (40, 80, 230),
                                                     clamp((y - t) / 6)))
    draw_text(canvas, "SV", 32, 36, 2, gold(36, 14), NAVY_OUTLINE, spacing=4)
    return canvas


def client_icon():
    canvas = Canvas(ICON_SIZE, ICON_SIZE)
    canvas.paint(rounded_box(1, 1, 63, 63, 7.0), NAVY_OUTLINE)
    inner = rounded_box(2.2, 2.2, 61.8, 61.8, 6.0)
    canvas.paint(inner, lambda x, y: mix((40, 84, 176), (10, 26, 84), clamp((y - 2) / 60) ** 0.9))
    # A lip of light along the top inner edge.
    canvas.paint(ring(inner, shifted(inner, 0, 1.2)), (150, 200, 255), opacity=0.5)
    # The conversation log with a few lines of text and a scroll bar.
    log = rounded_box(8, 8, 56, 26, 1.5)
    canvas.drop_shadow(log, 0.55, 2.0)
    canvas.paint(log, lambda x, y: mix((255, 255, 255), (214, 226, 242), clamp((y - 8) / 20)))
    for row, length in ((12, 34), (16, 26), (20, 38)):
        canvas.paint(rounded_box(12, row, 12 + length, row + 2, 0.5), (120, 140, 175))
    canvas.paint(rounded_box(52, 10, 54, 24, 0.8), (170, 185, 210))
    draw_text(canvas, "CA", 32, 30, 2, gold(30, 14), NAVY_OUTLINE, spacing=4)
    # The input field, with a line being typed and the caret.
    field = rounded_box(8, 48, 56, 58, 1.5)
    canvas.drop_shadow(field, 0.55, 2.0)
    canvas.paint(field, (255, 255, 255))
    canvas.paint(rounded_box(12, 52, 26, 54, 0.5), (120, 140, 175))
    canvas.paint(rounded_box(28, 50, 30, 56), (20, 30, 60))
    return canvas


def pcname_icon():
    canvas = Canvas(ICON_SIZE, ICON_SIZE)
    c = 32.0
    canvas.paint(circle(c, c, 31.5), (70, 80, 100))
    canvas.paint(circle(c, c, 30.5), lambda x, y: mix((255, 255, 255), (205, 215, 230),
                                                        clamp((y - 2) / 60)))
    canvas.paint(circle(c, c, 27.5), (10, 30, 90))
    canvas.paint(circle(c, c, 26.5), panel_shader(c, c, 26.5, 26.5, (50, 120, 230), (16, 50, 150)))
    draw_text(canvas, "Get", 32, 16, 2, gold(16, 14), NAVY_OUTLINE, spacing=2)
    draw_text(canvas, "name", 32, 32, 2, gold(36, 10), NAVY_OUTLINE, spacing=2)
    return canvas


# ---------------------------------------------------------------------------
# Encoders

BAYER4 = [[0, 8, 2, 10], [12, 4, 14, 6], [3, 11, 1, 9], [15, 7, 13, 5]]


def to_bytes(value, x, y):
    """Rounds a 0..255 float with ordered dithering, so that the slow
    gradients show no bands."""
    threshold = (BAYER4[y & 3][x & 3] + 0.5) / 16.0
    return int(clamp(math.floor(value + threshold), 0, 255))


def rgb_rows(canvas):
    """Rows of 8-bit RGB tuples, top row first (alpha ignored)."""
    rows = []
    for y in range(canvas.height):
        row = []
        for x in range(canvas.width):
            r, g, b, _ = canvas.pixel(x, y)
            row.append((to_bytes(r, x, y), to_bytes(g, x, y), to_bytes(b, x, y)))
        rows.append(row)
    return rows


def bitmap_info_header(width, height, bits, image_size):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, image_size,
                       2835, 2835, 0, 0)


def encode_bmp(canvas):
    """A 32-bit BI_RGB bitmap, bottom-up. The fourth byte is set to 255 so that
    a viewer that takes it for alpha still shows the picture opaque."""
    rows = rgb_rows(canvas)
    body = bytearray()
    for row in reversed(rows):
        for r, g, b in row:
            body += bytes((b, g, r, 255))
    header = bitmap_info_header(canvas.width, canvas.height, 32, len(body))
    offset = 14 + len(header)
    return struct.pack("<2sIHHI", b"BM", offset + len(body), 0, 0, offset) + header + bytes(body)


def median_cut(counts, size):
    """A palette of at most size colours for the colour -> count map."""
    boxes = [list(counts.items())]
    while len(boxes) < size:
        best, best_score, best_channel = None, 0, 0
        for i, box in enumerate(boxes):
            if len(box) < 2:
                continue
            for channel in range(3):
                values = [colour[channel] for colour, _ in box]
                spread = max(values) - min(values)
                score = spread * sum(n for _, n in box) ** 0.5
                if score > best_score:
                    best, best_score, best_channel = i, score, channel
        if best is None:
            break
        box = sorted(boxes.pop(best), key=lambda item: item[0][best_channel])
        half = sum(n for _, n in box) / 2.0
        running, cut = 0, 1
        for cut in range(1, len(box)):
            running += box[cut - 1][1]
            if running >= half:
                break
        boxes += [box[:cut], box[cut:]]
    palette = []
    for box in boxes:
        total = sum(n for _, n in box)
        palette.append(tuple(int(round(sum(colour[c] * n for colour, n in box) / total))
                             for c in range(3)))
    return palette


def encode_ico(canvas):
    """One 64 x 64 image, 8 bits per pixel with a 256-entry palette and the
    AND mask. Palette entry 0 is black: masked pixels use it, so that the
    XOR pass leaves the screen under them untouched."""
    size = canvas.width
    rows = rgb_rows(canvas)
    opaque = [[canvas.pixel(x, y)[3] >= 0.5 for x in range(size)] for y in range(size)]
    counts = {}
    for y in range(size):
        for x in range(size):
            if opaque[y][x]:
                counts[rows[y][x]] = counts.get(rows[y][x], 0) + 1
    if len(counts) <= 255:
        colours = sorted(counts)
    else:
        colours = median_cut(counts, 255)
    palette = [(0, 0, 0)] + colours
    palette += [(0, 0, 0)] * (256 - len(palette))
    nearest = {}

    def index_of(colour):
        if colour not in nearest:
            nearest[colour] = min(
                range(1, len(colours) + 1),
                key=lambda i: sum((a - b) ** 2 for a, b in zip(colour, palette[i])))
        return nearest[colour]

    colour_rows, mask_rows = [], []
    mask_stride = ((size + 31) // 32) * 4
    for y in reversed(range(size)):
        colour_rows.append(bytes(index_of(rows[y][x]) if opaque[y][x] else 0
                                 for x in range(size)))
        mask = bytearray(mask_stride)
        for x in range(size):
            if not opaque[y][x]:
                mask[x >> 3] |= 0x80 >> (x & 7)
        mask_rows.append(bytes(mask))
    pixels = b"".join(colour_rows) + b"".join(mask_rows)
    # The height counts the colour image and the mask together.
    header = bitmap_info_header(size, size * 2, 8, len(pixels))
    palette_bytes = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    image = header + palette_bytes + pixels
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 8, len(image),
                        len(directory) + 16)
    return directory + entry + image


def encode_png(width, height, rows):
    """An 8-bit RGB PNG of rows of (r, g, b) tuples."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    raw = bytearray()
    for row in rows:
        raw.append(0)
        for pixel in row:
            raw += bytes(pixel)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + chunk(b"IEND", b""))


# ---------------------------------------------------------------------------
# Decoders for the preview, so that it shows the files as written


def decode_bmp(data):
    offset, = struct.unpack_from("<I", data, 10)
    width, height = struct.unpack_from("<ii", data, 18)
    canvas = Canvas(width, height)
    stride = width * 4
    for row in range(height):
        y = height - 1 - row
        for x in range(width):
            b, g, r = data[offset + row * stride + x * 4: offset + row * stride + x * 4 + 3]
            canvas.pixels[y * width + x] = [float(r), float(g), float(b), 1.0]
    return canvas


def decode_ico(data):
    image_offset, = struct.unpack_from("<I", data, 18)
    width, double_height = struct.unpack_from("<ii", data, image_offset + 4)
    height = double_height // 2
    palette_at = image_offset + 40
    palette = [tuple(reversed(data[palette_at + i * 4: palette_at + i * 4 + 3]))
               for i in range(256)]
    colours_at = palette_at + 256 * 4
    mask_at = colours_at + width * height
    mask_stride = ((width + 31) // 32) * 4
    canvas = Canvas(width, height)
    for row in range(height):
        y = height - 1 - row
        for x in range(width):
            masked = data[mask_at + row * mask_stride + (x >> 3)] & (0x80 >> (x & 7))
            r, g, b = palette[data[colours_at + row * width + x]]
            canvas.pixels[y * width + x] = [float(r), float(g), float(b), 0.0 if masked else 1.0]
    return canvas


# ---------------------------------------------------------------------------
# Preview

PREVIEW_GROUND = (226, 228, 232)
BUTTON_FACE = (212, 208, 200)


def mock_window(background, program):
    """The background under stand-ins for the controls the window puts on it."""
    canvas = Canvas(background.width, background.height)
    canvas.paste(background, 0, 0)
    if program == "server":
        left, top, right, bottom = SERVER_REGION
        region = ellipse((left + right) / 2.0, (top + bottom) / 2.0,
                         (right - left) / 2.0, (bottom - top) / 2.0)
        for y in range(canvas.height):
            for x in range(canvas.width):
                if region(x + 0.5, y + 0.5) > 0.0 or x >= right:
                    canvas.pixels[y * canvas.width + x][3] = 0.0
        edits, buttons = SERVER_CONTROLS[:2], SERVER_CONTROLS[2:]
        x0, y0, x1, y1 = SERVER_STATUS_BOX
        canvas.fill_rect(x0, y0, x1, y1, (0, 0, 0))
        canvas.fill_rect(x0 + 1, y0 + 1, x1 - 1, y1 - 1, (255, 255, 255))
    else:
        edits, buttons = CLIENT_EDITS, CLIENT_BUTTONS
    for x, y, w, h in edits:
        canvas.fill_rect(x, y, x + w, y + h, (255, 255, 255))
    for x, y, w, h in buttons:
        canvas.fill_rect(x, y, x + w, y + h, (64, 64, 64))
        canvas.fill_rect(x, y, x + w - 1, y + h - 1, (255, 255, 255))
        canvas.fill_rect(x + 1, y + 1, x + w - 1, y + h - 1, (128, 128, 128))
        canvas.fill_rect(x + 1, y + 1, x + w - 2, y + h - 2, BUTTON_FACE)
    return canvas


def checkerboard(width, height, cell):
    canvas = Canvas(width, height)
    canvas.shade(lambda x, y: (204, 204, 204) if (int(x) // cell + int(y) // cell) % 2
                 else (250, 250, 250))
    return canvas


def make_preview(program, files):
    margin = 12
    icon = decode_ico(files["icon1.ico"])
    pictures = []
    if "bitmap1.bmp" in files:
        background = decode_bmp(files["bitmap1.bmp"])
        pictures = [background, mock_window(background, program)]
    grounds = [(255, 255, 255), (128, 128, 128), (24, 24, 24)]
    zoom = 4
    icon_row_height = icon.height * zoom
    pictures_width = sum(p.width for p in pictures) + margin * max(0, len(pictures) - 1)
    icons_width = (icon.width + 2 * 6) * len(grounds) + margin * len(grounds) + icon.width * zoom
    width = 2 * margin + max(pictures_width, icons_width)
    height = 2 * margin + icon_row_height + (max(p.height for p in pictures) + margin
                                              if pictures else 0)
    sheet = Canvas(width, height, PREVIEW_GROUND, 1.0)
    x = margin
    for picture in pictures:
        sheet.paste(picture, x, margin)
        x += picture.width + margin
    top = height - margin - icon_row_height
    x = margin
    for ground in grounds:
        tile = Canvas(icon.width + 12, icon.height + 12, ground, 1.0)
        tile.paste(icon, 6, 6)
        sheet.paste(tile, x, top)
        x += tile.width + margin
    board = checkerboard(icon.width * zoom, icon.height * zoom, 16)
    board.paste(icon, 0, 0, zoom)
    sheet.paste(board, x, top)
    return encode_png(sheet.width, sheet.height, rgb_rows(sheet))


# ---------------------------------------------------------------------------

PROGRAMS = {
    "server": (server_background, server_icon),
    "client": (client_background, client_icon),
    "pcname": (None, pcname_icon),
}


def generate(program):
    """The files of a program, name -> bytes."""
    background, icon = PROGRAMS[program]
    files = {"icon1.ico": encode_ico(icon())}
    if background is not None:
        files["bitmap1.bmp"] = encode_bmp(background())
    return files


def write_atomically(path, data):
    # A build interrupted half way must not leave a truncated image behind
    # that looks up to date.
    temporary = path + ".tmp"
    with open(temporary, "wb") as stream:
        stream.write(data)
    os.replace(temporary, path)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True, choices=sorted(PROGRAMS))
    parser.add_argument("--out", required=True, help="folder for the images")
    parser.add_argument("--preview", help="also write a PNG of what was drawn")
    args = parser.parse_args(argv)
    files = generate(args.program)
    os.makedirs(args.out, exist_ok=True)
    for name, data in sorted(files.items()):
        write_atomically(os.path.join(args.out, name), data)
    if args.preview:
        write_atomically(args.preview, make_preview(args.program, files))
    return 0


if __name__ == "__main__":
    sys.exit(main())
