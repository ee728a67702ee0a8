#!/usr/bin/env python3
"""Draws the TessalyCleanUp application icon and writes res/TessalyCleanUp.ico.

The picture is a broom sweeping across a blue disc with two sparkles. Every
shape is a signed distance function, so the 32 bpp images get exact
anti-aliased edges at any size without supersampling, and the low-colour
images reuse the same geometry with hard edges.

The file holds 13 images, in the order the resource script and the tests
expect:
  48, 32, 24, 16 px at 4 bpp (standard 16-colour VGA palette)
  48, 32, 24, 16 px at 8 bpp (256-colour palette fitted to each image)
  64, 48, 32, 24, 16 px at 32 bpp (BGRA with alpha)
All images are BMP-style entries with an AND mask. The output depends only
on this script, so running it twice gives the same bytes.

Usage: make_icon.py [--output FILE] [--preview PNG]
"""

import argparse
import math
import os
import struct
import sys
import zlib

ICON_LAYOUT = (
    [(size, 4) for size in (48, 32, 24, 16)]
    + [(size, 8) for size in (48, 32, 24, 16)]
    + [(size, 32) for size in (64, 48, 32, 24, 16)]
)

# Standard 16-colour VGA palette, in the order Windows uses for 4 bpp bitmaps.
VGA16 = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
VGA_BLACK, VGA_MAROON, VGA_OLIVE, VGA_NAVY = 0, 1, 3, 4
VGA_RED, VGA_YELLOW, VGA_BLUE, VGA_WHITE = 9, 11, 12, 15


# ---------------------------------------------------------------------------
# Geometry. Coordinates are in the unit square, y pointing down; distances
# are negative inside a shape.

def _sub(a, b):
    return (a[0] - b[0], a[1] - b[1])


def _add(a, b):
    return (a[0] + b[0], a[1] + b[1])


def _mul(a, k):
    return (a[0] * k, a[1] * k)


def _dot(a, b):
    return a[0] * b[0] + a[1] * b[1]


def _norm(a):
    length = math.hypot(a[0], a[1])
    return (a[0] / length, a[1] / length)


def sd_circle(p, centre, radius):
    return math.hypot(p[0] - centre[0], p[1] - centre[1]) - radius


def sd_capsule(p, a, b, radius):
    pa, ba = _sub(p, a), _sub(b, a)
    h = max(0.0, min(1.0, _dot(pa, ba) / _dot(ba, ba)))
    return math.hypot(pa[0] - ba[0] * h, pa[1] - ba[1] * h) - radius


def sd_polygon(p, vertices):
    """Exact distance to a simple (possibly concave) polygon."""
    d = _dot(_sub(p, vertices[0]), _sub(p, vertices[0]))
    sign = 1.0
    j = len(vertices) - 1
    for i, vi in enumerate(vertices):
        vj = vertices[j]
        e, w = _sub(vj, vi), _sub(p, vi)
        h = max(0.0, min(1.0, _dot(w, e) / _dot(e, e)))
        b = (w[0] - e[0] * h, w[1] - e[1] * h)
        d = min(d, _dot(b, b))
        c1 = p[1] >= vi[1]
        c2 = p[1] < vj[1]
        c3 = e[0] * w[1] > e[1] * w[0]
        if (c1 and c2 and c3) or (not c1 and not c2 and not c3):
            sign = -sign
        j = i
    return sign * math.sqrt(d)


def star_polygon(centre, outer, inner, points=4):
    """A sparkle: a star whose tips point up, right, down and left."""
    vertices = []
    for k in range(points * 2):
        angle = -math.pi / 2 + k * math.pi / points
        radius = outer if k % 2 == 0 else inner
        vertices.append((centre[0] + radius * math.cos(angle),
                         centre[1] + radius * math.sin(angle)))
    return vertices


# ---------------------------------------------------------------------------
# The picture.

DISC_CENTRE, DISC_RADIUS = (0.5, 0.5), 0.47
DISC_TOP, DISC_BOTTOM = (0x5C, 0xB4, 0xF2), (0x17, 0x55, 0xB0)
DISC_RIM = (0x0E, 0x3A, 0x7E)

OUTLINE = (0x3B, 0x26, 0x10)
HANDLE = (0xD9, 0x96, 0x4A)
HANDLE_SHADE = (0xB0, 0x6C, 0x2A)
HANDLE_SMALL = (0x7A, 0x48, 0x1A)
BRISTLES = (0xF7, 0xCD, 0x3A)
BRISTLE_LINES = (0xC9, 0x8E, 0x1C)
BINDING = (0xD8, 0x3A, 0x2C)
SPARKLE = (0xFF, 0xFF, 0xFF)

HANDLE_TOP = (0.865, 0.105)
BINDING_POINT = (0.470, 0.535)
AXIS = _norm(_sub(BINDING_POINT, HANDLE_TOP))      # along the broom, downwards
ACROSS = (-AXIS[1], AXIS[0])                        # across the broom
HANDLE_RADIUS = 0.052
BRISTLE_LENGTH = 0.350


def _along(base, t, s):
    return _add(base, _add(_mul(AXIS, t), _mul(ACROSS, s)))


BRISTLE_SHAPE = [
    _along(BINDING_POINT, 0.00, -0.095),
    _along(BINDING_POINT, 0.00, 0.095),
    _along(BINDING_POINT, BRISTLE_LENGTH, 0.195),
    _along(BINDING_POINT, BRISTLE_LENGTH + 0.030, 0.0),
    _along(BINDING_POINT, BRISTLE_LENGTH, -0.195),
]
BINDING_SHAPE = [
    _along(BINDING_POINT, -0.030, -0.110),
    _along(BINDING_POINT, -0.030, 0.110),
    _along(BINDING_POINT, 0.075, 0.125),
    _along(BINDING_POINT, 0.075, -0.125),
]
BRISTLE_STROKES = [
    (_along(BINDING_POINT, 0.10, s * 0.55), _along(BINDING_POINT, BRISTLE_LENGTH - 0.02, s * 1.05))
    for s in (-0.115, 0.0, 0.115)
]
SPARKLES = [
    ((0.265, 0.270), 0.135, 0.032, 24),    # centre, outer, inner, smallest size shown
    ((0.745, 0.735), 0.090, 0.024, 32),
]


class Layer:
    """One shape: a distance function, a colour and its VGA stand-in."""

    def __init__(self, distance, colour, vga, outline_px=0.0, outline=None, vga_outline=None):
        self.distance = distance
        self.colour = colour                 # (r, g, b) or callable(p) -> (r, g, b)
        self.vga = vga
        self.outline_px = outline_px
        self.outline = outline
        self.vga_outline = vga_outline

    def colour_at(self, p):
        return self.colour(p) if callable(self.colour) else self.colour


def _disc_colour(p):
    t = (p[1] - (DISC_CENTRE[1] - DISC_RADIUS)) / (2 * DISC_RADIUS)
    t = max(0.0, min(1.0, t))
    return tuple(DISC_TOP[i] + (DISC_BOTTOM[i] - DISC_TOP[i]) * t for i in range(3))


def _handle_colour(p):
    # Light along the upper-left side of the handle, darker towards the other.
    s = _dot(_sub(p, HANDLE_TOP), ACROSS) / HANDLE_RADIUS
    t = max(0.0, min(1.0, (s + 1.0) / 2.0))
    return tuple(HANDLE[i] + (HANDLE_SHADE[i] - HANDLE[i]) * t for i in range(3))


def layers_for(size):
    """The shapes drawn at a given size, bottom first; small sizes drop detail."""
    outline_px = max(1.0, 0.027 * size)
    layers = [
        Layer(lambda p: sd_circle(p, DISC_CENTRE, DISC_RADIUS), _disc_colour, VGA_BLUE,
              outline_px=max(1.0, 0.025 * size), outline=DISC_RIM, vga_outline=VGA_NAVY),
    ]
    for centre, outer, inner, smallest in SPARKLES:
        if size >= smallest:
            star = star_polygon(centre, outer, inner)
            layers.append(Layer(lambda p, star=star: sd_polygon(p, star), SPARKLE, VGA_WHITE))
    handle = lambda p: sd_capsule(p, HANDLE_TOP, BINDING_POINT, HANDLE_RADIUS)
    if size >= 32:
        layers.append(Layer(handle, _handle_colour, VGA_OLIVE,
                            outline_px=outline_px, outline=OUTLINE, vga_outline=VGA_BLACK))
    else:
        # Too thin for an outline: a plain darker stick reads better.
        layers.append(Layer(handle, HANDLE_SMALL, VGA_MAROON))
    layers.append(Layer(lambda p: sd_polygon(p, BRISTLE_SHAPE), BRISTLES, VGA_YELLOW,
                        outline_px=outline_px, outline=OUTLINE, vga_outline=VGA_BLACK))
    if size >= 32:
        stroke = 0.45 * outline_px / size
        for a, b in BRISTLE_STROKES:
            layers.append(Layer(lambda p, a=a, b=b: sd_capsule(p, a, b, stroke),
                                BRISTLE_LINES, VGA_OLIVE))
    layers.append(Layer(lambda p: sd_polygon(p, BINDING_SHAPE), BINDING, VGA_RED,
                        outline_px=outline_px, outline=OUTLINE, vga_outline=VGA_BLACK))
    return layers


def _coverage(distance_px):
    return max(0.0, min(1.0, 0.5 - distance_px))


def render_rgba(size):
    """Anti-aliased straight-alpha pixels, rows top first: [(r, g, b, a)] * size*size."""
    layers = layers_for(size)
    pixels = []
    for y in range(size):
        for x in range(size):
            p = ((x + 0.5) / size, (y + 0.5) / size)
            # Accumulate premultiplied colour, painting each layer over the result.
            acc = [0.0, 0.0, 0.0, 0.0]
            for layer in layers:
                d = layer.distance(p) * size
                paints = []
                if layer.outline is not None:
                    paints.append((layer.outline, _coverage(d)))
                    paints.append((layer.colour_at(p), _coverage(d + layer.outline_px)))
                else:
                    paints.append((layer.colour_at(p), _coverage(d)))
                for colour, cov in paints:
                    if cov <= 0.0:
                        continue
                    keep = 1.0 - cov
                    for i in range(3):
                        acc[i] = colour[i] * cov + acc[i] * keep
                    acc[3] = cov + acc[3] * keep
            if acc[3] <= 0.0:
                pixels.append((0, 0, 0, 0))
            else:
                pixels.append(tuple(int(round(acc[i] / acc[3])) for i in range(3))
                              + (int(round(acc[3] * 255)),))
    return pixels


def render_vga(size):
    """Hard-edged palette indices (None for transparent), rows top first."""
    layers = layers_for(size)
    pixels = []
    for y in range(size):
        for x in range(size):
            p = ((x + 0.5) / size, (y + 0.5) / size)
            index = None
            for layer in layers:
                d = layer.distance(p) * size
                if d < 0.0:
                    if layer.outline is not None and d >= -layer.outline_px:
                        index = layer.vga_outline
                    else:
                        index = layer.vga
            pixels.append(index)
    return pixels


# ---------------------------------------------------------------------------
# Palette fitting for the 8 bpp images.

def median_cut(colours, limit):
    """Reduces a {colour: count} histogram to at most `limit` colours."""
    if len(colours) <= limit:
        return sorted(colours)
    boxes = [sorted(colours.items())]
    while len(boxes) < limit:
        best, best_range, best_channel = None, 0, 0
        for index, box in enumerate(boxes):
            if len(box) < 2:
                continue
            for channel in range(3):
                values = [c[channel] for c, _ in box]
                spread = max(values) - min(values)
                if spread > best_range:
                    best, best_range, best_channel = index, spread, channel
        if best is None:
            break
        box = sorted(boxes.pop(best), key=lambda item: (item[0][best_channel], item[0]))
        total = sum(n for _, n in box)
        running, cut = 0, 1
        for i, (_, n) in enumerate(box):
            running += n
            if running * 2 >= total:
                cut = min(max(i + 1, 1), len(box) - 1)
                break
        boxes.insert(best, box[cut:])
        boxes.insert(best, box[:cut])
    palette = []
    for box in boxes:
        total = sum(n for _, n in box)
        palette.append(tuple(int(round(sum(c[i] * n for c, n in box) / total)) for i in range(3)))
    return palette


def _nearest(colour, palette):
    best, best_d = 0, None
    for index, entry in enumerate(palette):
        d = sum((colour[i] - entry[i]) ** 2 for i in range(3))
        if best_d is None or d < best_d:
            best, best_d = index, d
    return best


# ---------------------------------------------------------------------------
# ICO encoding.

def _and_mask(size, transparent):
    row_bytes = ((size + 31) // 32) * 4
    out = bytearray()
    for y in reversed(range(size)):
        row = bytearray(row_bytes)
        for x in range(size):
            if transparent[y * size + x]:
                row[x // 8] |= 0x80 >> (x % 8)
        out += row
    return bytes(out)


def _bitmap_header(size, bits, image_bytes, colours_used):
    return struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0,
                       image_bytes, 0, 0, colours_used, 0)


def encode_indexed(size, bits, indices, palette):
    """A 4 or 8 bpp image; `indices` holds None for transparent pixels."""
    entries = 1 << bits
    palette = list(palette) + [(0, 0, 0)] * (entries - len(palette))
    row_bytes = ((size * bits + 31) // 32) * 4
    xor = bytearray()
    for y in reversed(range(size)):
        row = bytearray(row_bytes)
        for x in range(size):
            index = indices[y * size + x] or 0      # transparent pixels are black
            if bits == 8:
                row[x] = index
            else:
                row[x // 2] |= index << (4 if x % 2 == 0 else 0)
        xor += row
    mask = _and_mask(size, [i is None for i in indices])
    rgbquads = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    return _bitmap_header(size, bits, len(xor) + len(mask), 0) + rgbquads + bytes(xor) + mask


def encode_bgra(size, pixels):
    xor = bytearray()
    for y in reversed(range(size)):
        for x in range(size):
            r, g, b, a = pixels[y * size + x]
            xor += bytes((b, g, r, a)) if a else bytes(4)
    mask = _and_mask(size, [p[3] == 0 for p in pixels])
    return _bitmap_header(size, 32, len(xor) + len(mask), 0) + bytes(xor) + mask


def image_4bpp(size):
    return encode_indexed(size, 4, render_vga(size), VGA16)


def image_8bpp(size):
    rgba = render_rgba(size)
    # The AND mask is all or nothing, so edge pixels keep their own colour
    # and only those at least half covered are drawn.
    opaque = [p[:3] if p[3] >= 128 else None for p in rgba]
    histogram = {}
    for colour in opaque:
        if colour is not None:
            histogram[colour] = histogram.get(colour, 0) + 1
    # Entry 0 stays black for the transparent pixels' XOR colour.
    palette = [(0, 0, 0)] + median_cut(histogram, 255)
    lookup = {}
    indices = []
    for colour in opaque:
        if colour is None:
            indices.append(None)
            continue
        if colour not in lookup:
            lookup[colour] = 1 + _nearest(colour, palette[1:])
        indices.append(lookup[colour])
    return encode_indexed(size, 8, indices, palette)


def image_32bpp(size):
    return encode_bgra(size, render_rgba(size))


def build_icon():
    images = []
    for size, bits in ICON_LAYOUT:
        encoder = {4: image_4bpp, 8: image_8bpp, 32: image_32bpp}[bits]
        images.append((size, bits, encoder(size)))
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = len(header) + 16 * len(images)
    directory, data = bytearray(), bytearray()
    for size, bits, image in images:
        colour_count = 16 if bits == 4 else 0
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, colour_count, 0,
                                 1, bits, len(image), offset + len(data))
        data += image
    return header + bytes(directory) + bytes(data)


# ---------------------------------------------------------------------------
# Preview: every image decoded back from the written ICO bytes, enlarged, as
# a PNG, so what is looked at is what the resource compiler gets.

def _png(width, height, rows):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    raw = b"".join(b"\x00" + bytes(row) for row in rows)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def decode_ico(data):
    """[(size, bits, [(r, g, b, a)] rows top first)] for every image of an ICO file."""
    _, _, count = struct.unpack_from("<HHH", data, 0)
    images = []
    for n in range(count):
        _, _, _, _, _, _, length, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * n)
        (header_size, width, height2, _, bits, _, _, _, _, used, _) = struct.unpack_from(
            "<IiiHHIIiiII", data, offset)
        size = width
        pos = offset + header_size
        palette = []
        if bits <= 8:
            for i in range(used or (1 << bits)):
                b, g, r, _ = data[pos + 4 * i:pos + 4 * i + 4]
                palette.append((r, g, b))
            pos += 4 * (used or (1 << bits))
        row_bytes = ((size * bits + 31) // 32) * 4
        mask_pos = pos + row_bytes * size
        mask_row = ((size + 31) // 32) * 4
        pixels = [None] * (size * size)
        for y in range(size):
            src = pos + (size - 1 - y) * row_bytes
            msk = mask_pos + (size - 1 - y) * mask_row
            for x in range(size):
                hidden = data[msk + x // 8] & (0x80 >> (x % 8))
                if bits == 32:
                    b, g, r, a = data[src + 4 * x:src + 4 * x + 4]
                elif bits == 8:
                    (r, g, b), a = palette[data[src + x]], 255
                else:
                    byte = data[src + x // 2]
                    (r, g, b), a = palette[byte >> 4 if x % 2 == 0 else byte & 15], 255
                    if hidden:
                        a = 0
                if bits == 8 and hidden:
                    a = 0
                pixels[y * size + x] = (r, g, b, a)
        images.append((size, bits, pixels))
    return images


def write_preview(data, path, backgrounds=((0xFF, 0xFF, 0xFF), (0x30, 0x30, 0x30))):
    """One band per background; in each, one row per colour depth."""
    scale, gap = 4, 8
    images = decode_ico(data)
    depths = [32, 8, 4]
    rows = [[img for img in images if img[1] == bits] for bits in depths]
    width = max(sum(size * scale + gap for size, _, _ in row) for row in rows) + gap
    row_height = [max(size for size, _, _ in row) * scale + gap for row in rows]
    band = sum(row_height) + gap
    height = band * len(backgrounds)
    canvas = []
    for background in backgrounds:
        canvas += [list(background) * width for _ in range(band)]
    for b, background in enumerate(backgrounds):
        top = b * band + gap
        for row, row_h in zip(rows, row_height):
            left = gap
            for size, _, pixels in row:
                for y in range(size * scale):
                    line = canvas[top + y]
                    for x in range(size * scale):
                        r, g, bl, a = pixels[(y // scale) * size + x // scale]
                        k = a / 255.0
                        colour = [int(round(c * k + background[i] * (1 - k)))
                                  for i, c in enumerate((r, g, bl))]
                        line[(left + x) * 3:(left + x) * 3 + 3] = colour
                left += size * scale + gap
            top += row_h
    with open(path, "wb") as f:
        f.write(_png(width, height, canvas))


def main(argv=None):
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", default=os.path.join(here, "..", "res", "TessalyCleanUp.ico"))
    parser.add_argument("--preview", metavar="PNG", help="also write an enlarged preview")
    args = parser.parse_args(argv)
    data = build_icon()
    with open(args.output, "wb") as f:
        f.write(data)
    print("%s: %d images, %d bytes" % (os.path.normpath(args.output), len(ICON_LAYOUT), len(data)))
    if args.preview:
        write_preview(data, args.preview)
        print("preview: %s" % args.preview)
    return 0


if __name__ == "__main__":
    sys.exit(main())
