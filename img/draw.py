#!/usr/bin/env python3
"""Draws the application's pictures: language flags, quick-link buttons,
the window icon, the notification-area icon and the switch pictures.

    draw.py OUTDIR           write the image folder's files into OUTDIR
    draw.py --header OUT.hpp write the C++ header with the embedded pictures

Standard library only, so the build needs nothing beyond Python itself.
Shapes are inside-tests sampled SS x SS times per pixel, which gives
anti-aliased edges without any imaging library.
"""

import base64
import math
import os
import struct
import sys
import zlib

SS = 4  # samples per pixel along each axis
_OFFSETS = [(i + 0.5) / SS for i in range(SS)]


# --- shapes: an inside-test plus a bounding box ------------------------------

class Shape:
    def __init__(self, inside, bbox):
        self.inside = inside
        self.bbox = bbox  # x0, y0, x1, y1 in pixels

    def __or__(self, other):
        return union(self, other)

    def __sub__(self, other):
        a, b = self.inside, other.inside
        return Shape(lambda x, y: a(x, y) and not b(x, y), self.bbox)

    def __and__(self, other):
        a, b = self.inside, other.inside
        box = (max(self.bbox[0], other.bbox[0]), max(self.bbox[1], other.bbox[1]),
               min(self.bbox[2], other.bbox[2]), min(self.bbox[3], other.bbox[3]))
        return Shape(lambda x, y: a(x, y) and b(x, y), box)


def union(*shapes):
    tests = [s.inside for s in shapes]
    box = (min(s.bbox[0] for s in shapes), min(s.bbox[1] for s in shapes),
           max(s.bbox[2] for s in shapes), max(s.bbox[3] for s in shapes))
    return Shape(lambda x, y: any(t(x, y) for t in tests), box)


def rect(x0, y0, x1, y1):
    return Shape(lambda x, y: x0 <= x < x1 and y0 <= y < y1, (x0, y0, x1, y1))


def ellipse(cx, cy, rx, ry):
    return Shape(lambda x, y: ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1.0,
                 (cx - rx, cy - ry, cx + rx, cy + ry))


def circle(cx, cy, r):
    return ellipse(cx, cy, r, r)


def rrect(x0, y0, x1, y1, r):
    r = min(r, (x1 - x0) / 2, (y1 - y0) / 2)

    def inside(x, y):
        if not (x0 <= x < x1 and y0 <= y < y1):
            return False
        dx = max(x0 + r - x, 0.0, x - (x1 - r))
        dy = max(y0 + r - y, 0.0, y - (y1 - r))
        return dx * dx + dy * dy <= r * r
    return Shape(inside, (x0, y0, x1, y1))


def polygon(points):
    n = len(points)

    def inside(x, y):
        hit = False
        j = n - 1
        for i in range(n):
            xi, yi = points[i]
            xj, yj = points[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                hit = not hit
            j = i
        return hit
    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    return Shape(inside, (min(xs), min(ys), max(xs), max(ys)))


def capsule(x0, y0, x1, y1, width):
    """A thick segment with round ends."""
    h = width / 2
    dx, dy = x1 - x0, y1 - y0
    length2 = dx * dx + dy * dy or 1e-12

    def inside(x, y):
        t = min(1.0, max(0.0, ((x - x0) * dx + (y - y0) * dy) / length2))
        ex, ey = x - (x0 + t * dx), y - (y0 + t * dy)
        return ex * ex + ey * ey <= h * h
    return Shape(inside, (min(x0, x1) - h, min(y0, y1) - h, max(x0, x1) + h, max(y0, y1) + h))


def band(x0, y0, x1, y1, width):
    """An infinite straight band of the given width through two points."""
    dx, dy = x1 - x0, y1 - y0
    length = math.hypot(dx, dy)
    nx, ny = -dy / length, dx / length
    h = width / 2
    return Shape(lambda x, y: abs((x - x0) * nx + (y - y0) * ny) <= h,
                 (-1e9, -1e9, 1e9, 1e9))


def arc(cx, cy, r0, r1, a0=0.0, a1=360.0):
    """Ring between radii r0 and r1; angles in degrees, clockwise on screen
    from the +x axis, covering a0 to a1."""
    span = (a1 - a0) % 360.0 or 360.0

    def inside(x, y):
        d2 = (x - cx) ** 2 + (y - cy) ** 2
        if not r0 * r0 <= d2 <= r1 * r1:
            return False
        if span >= 360.0:
            return True
        return (math.degrees(math.atan2(y - cy, x - cx)) - a0) % 360.0 <= span
    return Shape(inside, (cx - r1, cy - r1, cx + r1, cy + r1))


# --- canvas -------------------------------------------------------------------

def rgba(color):
    """'#rrggbb' or '#rrggbbaa' to floats (0-255 colour, 0-1 alpha)."""
    c = color.lstrip('#')
    r, g, b = int(c[0:2], 16), int(c[2:4], 16), int(c[4:6], 16)
    a = int(c[6:8], 16) / 255.0 if len(c) == 8 else 1.0
    return r, g, b, a


class Canvas:
    def __init__(self, width, height, background=None):
        self.width, self.height = width, height
        bg = rgba(background) if background else (0, 0, 0, 0.0)
        self.px = [list(bg) for _ in range(width * height)]

    def fill(self, shape, color):
        r, g, b, alpha = rgba(color)
        inside = shape.inside
        x0, y0, x1, y1 = shape.bbox
        total = SS * SS
        for py in range(max(0, int(math.floor(y0))), min(self.height, int(math.ceil(y1)))):
            for px in range(max(0, int(math.floor(x0))), min(self.width, int(math.ceil(x1)))):
                hits = 0
                for oy in _OFFSETS:
                    for ox in _OFFSETS:
                        if inside(px + ox, py + oy):
                            hits += 1
                if hits:
                    self._blend(py * self.width + px, r, g, b, alpha * hits / total)
        return self

    def _blend(self, i, r, g, b, a):
        dst = self.px[i]
        out_a = a + dst[3] * (1.0 - a)
        if out_a <= 0.0:
            return
        keep = dst[3] * (1.0 - a)
        dst[0] = (r * a + dst[0] * keep) / out_a
        dst[1] = (g * a + dst[1] * keep) / out_a
        dst[2] = (b * a + dst[2] * keep) / out_a
        dst[3] = out_a

    def rows(self):
        w = self.width
        for y in range(self.height):
            row = bytearray()
            for p in self.px[y * w:(y + 1) * w]:
                row += bytes((_byte(p[0]), _byte(p[1]), _byte(p[2]), _byte(p[3] * 255.0)))
            yield bytes(row)

    def png(self):
        return encode_png(self.width, self.height, list(self.rows()))


def _byte(v):
    return max(0, min(255, int(round(v))))


# --- PNG and ICO writers ------------------------------------------------------

def _chunk(kind, data):
    return (struct.pack('>I', len(data)) + kind + data
            + struct.pack('>I', zlib.crc32(kind + data) & 0xffffffff))


def encode_png(width, height, rows):
    """RGBA, 8 bits a channel. Each row takes whichever of the None, Sub and
    Up filters leaves the smallest sum, which keeps the flat areas small."""
    raw = bytearray()
    prev = bytes(width * 4)
    for row in rows:
        sub = bytes((row[i] - (row[i - 4] if i >= 4 else 0)) & 0xff for i in range(len(row)))
        up = bytes((row[i] - prev[i]) & 0xff for i in range(len(row)))
        choices = [(0, row), (1, sub), (2, up)]
        kind, data = min(choices, key=lambda c: sum(v if v < 128 else 256 - v for v in c[1]))
        raw.append(kind)
        raw += data
        prev = row
    ihdr = struct.pack('>IIBBBBB', width, height, 8, 6, 0, 0, 0)
    return (b'\x89PNG\r\n\x1a\n' + _chunk(b'IHDR', ihdr)
            + _chunk(b'IDAT', zlib.compress(bytes(raw), 9)) + _chunk(b'IEND', b''))


def encode_ico(images):
    """A Windows icon holding PNG-compressed images: [(size, png_bytes), ...]."""
    head = struct.pack('<HHH', 0, 1, len(images))
    offset = len(head) + 16 * len(images)
    entries, blobs = b'', b''
    for size, data in images:
        entries += struct.pack('<BBBBHHII', size % 256, size % 256, 0, 0, 1, 32,
                               len(data), offset)
        offset += len(data)
        blobs += data
    return head + entries + blobs


# --- flags (32 x 21) ----------------------------------------------------------

FLAG_W, FLAG_H = 32, 21


def _stripes(canvas, colors, vertical=False, weights=None):
    weights = weights or [1] * len(colors)
    total = float(sum(weights))
    extent = FLAG_W if vertical else FLAG_H
    pos = 0.0
    for color, weight in zip(colors, weights):
        end = pos + extent * weight / total
        shape = rect(pos, 0, end, FLAG_H) if vertical else rect(0, pos, FLAG_W, end)
        canvas.fill(shape, color)
        pos = end


def _flag_es(c):
    _stripes(c, ['#c60b1e', '#ffc400', '#c60b1e'], weights=[1, 2, 1])
    # A hint of the arms towards the hoist.
    c.fill(rrect(7, 7, 12, 14, 1.5), '#ad1519')
    c.fill(rect(8.3, 8.5, 10.7, 11.5), '#ffc400c0')


def _flag_ca(c):
    _stripes(c, ['#fcdd09', '#da121a'] * 4 + ['#fcdd09'])


def _flag_gl(c):
    c.fill(rect(0, 0, FLAG_W, FLAG_H), '#ffffff')
    c.fill(band(0, 0, FLAG_W, FLAG_H, 5.0), '#0093dd')


def _flag_eu(c):
    c.fill(rect(0, 0, FLAG_W, FLAG_H), '#d52b1e')
    c.fill(band(0, 0, FLAG_W, FLAG_H, 3.6) | band(0, FLAG_H, FLAG_W, 0, 3.6), '#009b48')
    c.fill(rect(FLAG_W / 2 - 1.6, 0, FLAG_W / 2 + 1.6, FLAG_H), '#ffffff')
    c.fill(rect(0, FLAG_H / 2 - 1.6, FLAG_W, FLAG_H / 2 + 1.6), '#ffffff')


def _flag_en(c):
    w, h = FLAG_W, FLAG_H
    c.fill(rect(0, 0, w, h), '#012169')
    c.fill(band(0, 0, w, h, 4.2) | band(0, h, w, 0, 4.2), '#ffffff')

    # The red diagonals sit off-centre: in every arm on the same turning side,
    # so the broad white is uppermost next to the hoist.
    cx, cy, diag = w / 2, h / 2, math.hypot(w, h)

    def red_diagonal(x, y):
        dx, dy = x - cx, cy - y  # y upwards
        ax = (w / diag) * (1 if dx >= 0 else -1)
        ay = (h / diag) * (1 if dy >= 0 else -1)
        side = -ay * dx + ax * dy  # distance towards the counter-clockwise side
        return 0.0 <= side <= 1.5
    c.fill(Shape(red_diagonal, (0, 0, w, h)), '#c8102e')
    c.fill(rect(w / 2 - 3.5, 0, w / 2 + 3.5, h) | rect(0, h / 2 - 3.5, w, h / 2 + 3.5), '#ffffff')
    c.fill(rect(w / 2 - 2.1, 0, w / 2 + 2.1, h) | rect(0, h / 2 - 2.1, w, h / 2 + 2.1), '#c8102e')


def _flag_fr(c):
    _stripes(c, ['#0055a4', '#ffffff', '#ef4135'], vertical=True)


def _flag_de(c):
    _stripes(c, ['#000000', '#dd0000', '#ffce00'])


def _flag_nl(c):
    _stripes(c, ['#ae1c28', '#ffffff', '#21468b'])


def _flag_it(c):
    _stripes(c, ['#009246', '#ffffff', '#ce2b37'], vertical=True)


def _flag_pt(c):
    _stripes(c, ['#046a38', '#da291c'], vertical=True, weights=[2, 3])
    x, y = FLAG_W * 0.4, FLAG_H / 2
    c.fill(circle(x, y, 6.2), '#ffe000')
    c.fill(circle(x, y, 4.4), '#da291c')
    shield = rrect(x - 2.6, y - 3.2, x + 2.6, y + 1.2, 0.5) | circle(x, y + 0.8, 2.6)
    c.fill(shield, '#ffffff')
    c.fill(rrect(x - 1.5, y - 2.1, x + 1.5, y + 0.6, 0.4) | circle(x, y + 0.6, 1.5), '#003da5')


def _flag_no(c):
    c.fill(rect(0, 0, FLAG_W, FLAG_H), '#ba0c2f')
    x, y = FLAG_W * 8 / 22, FLAG_H / 2
    c.fill(rect(x - 2.6, 0, x + 2.6, FLAG_H) | rect(0, y - 2.6, FLAG_W, y + 2.6), '#ffffff')
    c.fill(rect(x - 1.3, 0, x + 1.3, FLAG_H) | rect(0, y - 1.3, FLAG_W, y + 1.3), '#00205b')


FLAGS = {
    'es': _flag_es, 'ca': _flag_ca, 'gl': _flag_gl, 'eu': _flag_eu,
    'en': _flag_en, 'fr': _flag_fr, 'de': _flag_de, 'nl': _flag_nl,
    'it': _flag_it, 'pt': _flag_pt, 'no': _flag_no,
}


def draw_flag(code):
    c = Canvas(FLAG_W, FLAG_H)
    FLAGS[code](c)
    # A faint edge keeps white flags visible on a light window.
    c.fill(rect(0, 0, FLAG_W, FLAG_H) - rect(1, 1, FLAG_W - 1, FLAG_H - 1), '#00000040')
    return c


# --- the telephone handset ----------------------------------------------------

def handset(cx, cy, size):
    """A receiver with its earpiece top left and mouthpiece bottom right,
    bowed towards the bottom left; size is the width of its bounding box."""
    u = size / 2.0
    ox, oy = cx + 0.62 * u, cy - 0.62 * u  # centre of the bow
    radius = 1.18 * u
    ends = (178.0, 92.0)
    body = arc(ox, oy, radius - 0.2 * u, radius + 0.2 * u, ends[1], ends[0])
    pads = []
    for a in ends:
        dx, dy = math.cos(math.radians(a)), math.sin(math.radians(a))
        outer = radius + 0.04 * u
        inner = radius - 0.4 * u
        pads.append(capsule(ox + dx * outer, oy + dy * outer,
                            ox + dx * inner, oy + dy * inner, 0.52 * u))
    return union(body, *pads)


# --- quick-link buttons (64 x 64) ---------------------------------------------

def draw_linkedin(size=64):
    s = size / 64.0
    c = Canvas(size, size)
    c.fill(rrect(2 * s, 2 * s, 62 * s, 62 * s, 11 * s), '#1b6ab5')
    white = '#ffffff'
    # "i": a dot over a stem.
    c.fill(circle(18.5 * s, 17.5 * s, 4.6 * s), white)
    c.fill(rrect(14.4 * s, 25 * s, 22.6 * s, 50 * s, 1.2 * s), white)
    # "n": a stem and an arch with its right leg.
    c.fill(rrect(27.5 * s, 25 * s, 35.5 * s, 50 * s, 1.2 * s), white)
    c.fill(arc(40.5 * s, 36.5 * s, 4.2 * s, 12.2 * s, 180, 360) - rect(0, 0, 30 * s, 64 * s), white)
    c.fill(rrect(44.7 * s, 36 * s, 52.7 * s, 50 * s, 1.2 * s), white)
    return c


def draw_google(size=64):
    s = size / 64.0
    c = Canvas(size, size)
    cx = cy = 32 * s
    c.fill(circle(cx, cy, 30.5 * s), '#dadce0')
    c.fill(circle(cx, cy, 29.5 * s), '#ffffff')
    r0, r1 = 11.5 * s, 19.5 * s
    gap = 3.0  # degrees of white between the coloured pieces
    c.fill(arc(cx, cy, r0, r1, 200 + gap, 318), '#e8453c')   # top
    c.fill(arc(cx, cy, r0, r1, 140 + gap, 200), '#f4b400')   # left
    c.fill(arc(cx, cy, r0, r1, 45 + gap, 140), '#2fa84f')    # bottom
    c.fill(arc(cx, cy, r0, r1, 0, 45), '#3f7fe8')            # right, meeting the bar
    c.fill(rect(cx - 0.5 * s, cy - 3.8 * s, cx + r1, cy + 3.8 * s), '#3f7fe8')
    return c


def draw_whatsapp(size=64):
    s = size / 64.0
    c = Canvas(size, size)
    green = '#2cb742'
    # A round speech bubble with its tail at the bottom left.
    c.fill(circle(33 * s, 31 * s, 27 * s)
           | polygon([(12 * s, 44 * s), (4 * s, 61 * s), (24 * s, 55 * s)]), green)
    c.fill(handset(33 * s, 31 * s, 33 * s), '#ffffff')
    return c


# --- application icon ---------------------------------------------------------

def draw_app_icon(size):
    s = size / 48.0
    c = Canvas(size, size)
    c.fill(rrect(1 * s, 1 * s, 47 * s, 47 * s, 9 * s), '#1f6fd6')
    # The contact card with a person and two lines of text.
    c.fill(rrect(6 * s + 0.5, 9.5 * s + 0.8, 38 * s + 0.5, 33.5 * s + 0.8, 3 * s), '#0b3f8a80')
    c.fill(rrect(6 * s, 9.5 * s, 38 * s, 33.5 * s, 3 * s), '#ffffff')
    c.fill(circle(15 * s, 17.5 * s, 3.6 * s), '#1f6fd6')
    c.fill(ellipse(15 * s, 28.5 * s, 6.5 * s, 6.2 * s) & rect(0, 0, 48 * s, 28.5 * s), '#1f6fd6')
    c.fill(rrect(23.5 * s, 15.5 * s, 34 * s, 18 * s, 1.2 * s), '#9db9e4')
    c.fill(rrect(23.5 * s, 21.5 * s, 31 * s, 24 * s, 1.2 * s), '#9db9e4')
    # The handset on a badge over the card's corner.
    c.fill(circle(34 * s, 34 * s, 12 * s), '#ffffff')
    c.fill(circle(34 * s, 34 * s, 10.2 * s), '#19a64a')
    c.fill(handset(34 * s, 34 * s, 12.5 * s), '#ffffff')
    return c


# --- notification-area icon ---------------------------------------------------

TRAY_SIZES = (16, 24, 32, 48)


def draw_tray_icon(size, attention=False):
    """The tray's picture: a white handset on the application's blue, drawn plain so that it
    reads at 16 pixels. The attention variant (Holded or the handset not answering) is greyed
    with a red badge holding an exclamation mark."""
    s = size / 16.0
    c = Canvas(size, size)
    c.fill(rrect(0.5 * s, 0.5 * s, 15.5 * s, 15.5 * s, 3.2 * s), '#7d848f' if attention else '#1f6fd6')
    c.fill(handset(8 * s, 8 * s, 9.5 * s), '#ffffff')
    if attention:
        c.fill(circle(11.6 * s, 11.6 * s, 4.4 * s), '#ffffff')
        c.fill(circle(11.6 * s, 11.6 * s, 3.6 * s), '#d93025')
        c.fill(rrect(11.0 * s, 9.0 * s, 12.2 * s, 12.6 * s, 0.5 * s), '#ffffff')
        c.fill(circle(11.6 * s, 13.7 * s, 0.65 * s), '#ffffff')
    return c


# --- switch pictures (100 x 40) -----------------------------------------------

def _glyph(letter, x, y, h, stroke):
    """Letters O, N and F drawn from strokes; returns (shape, advance)."""
    if letter == 'O':
        w = 0.78 * h
        rx, ry = w / 2, h / 2
        outer = ellipse(x + rx, y + ry, rx, ry)
        inner = ellipse(x + rx, y + ry, rx - stroke, ry - stroke)
        return outer - inner, w
    if letter == 'N':
        w = 0.72 * h
        diagonal = polygon([(x, y), (x + stroke * 1.15, y),
                            (x + w, y + h), (x + w - stroke * 1.15, y + h)])
        return rect(x, y, x + stroke, y + h) | rect(x + w - stroke, y, x + w, y + h) | diagonal, w
    if letter == 'F':
        w = 0.6 * h
        return (rect(x, y, x + stroke, y + h) | rect(x, y, x + w, y + stroke)
                | rect(x, y + 0.45 * h - stroke / 2, x + 0.86 * w, y + 0.45 * h + stroke / 2)), w
    raise ValueError(letter)


def _word(text, left, right, cy, h, stroke, gap):
    pieces, width = [], 0.0
    for letter in text:
        _, advance = _glyph(letter, 0, 0, h, stroke)
        width += advance + gap
    x = (left + right - (width - gap)) / 2
    for letter in text:
        shape, advance = _glyph(letter, x, cy - h / 2, h, stroke)
        pieces.append(shape)
        x += advance + gap
    return union(*pieces)


def draw_toggle(on):
    c = Canvas(100, 40)
    track = '#34a853' if on else '#9aa0a6'
    c.fill(rrect(1, 1, 99, 39, 19), track)
    knob_x = 80 if on else 20
    c.fill(circle(knob_x + 0.6, 21.2, 16), '#00000040')
    c.fill(circle(knob_x, 20, 16), '#ffffff')
    if on:
        c.fill(_word('ON', 8, 62, 20, 16, 3.3, 3.5), '#ffffff')
    else:
        c.fill(_word('OFF', 38, 94, 20, 16, 3.3, 3.0), '#ffffff')
    return c


# --- outputs ------------------------------------------------------------------

def write_image_folder(outdir):
    os.makedirs(outdir, exist_ok=True)
    files = {code + '.png': draw_flag(code).png() for code in FLAGS}
    files['linkedin.png'] = draw_linkedin().png()
    files['google.png'] = draw_google().png()
    files['whatsapp.png'] = draw_whatsapp().png()
    icon48 = draw_app_icon(48).png()
    files['hola.png'] = icon48
    files['hola.ico'] = encode_ico([(32, draw_app_icon(32).png()), (48, icon48)])
    for size in TRAY_SIZES:
        files['tray-%d.png' % size] = draw_tray_icon(size).png()
        files['tray-alert-%d.png' % size] = draw_tray_icon(size, attention=True).png()
    for name, data in sorted(files.items()):
        with open(os.path.join(outdir, name), 'wb') as f:
            f.write(data)
    return sorted(files)


HEADER_LINE = 88  # base64 characters in each string piece


def header_text():
    pictures = [
        ('TOGGLE_ON_PNG_B64', 'Switch in the on position, 100 x 40 PNG.', draw_toggle(True)),
        ('TOGGLE_OFF_PNG_B64', 'Switch in the off position, 100 x 40 PNG.', draw_toggle(False)),
        ('APP_ICON_PNG_B64', 'Application icon, 55 x 55 PNG.', draw_app_icon(55)),
    ]
    out = ['// Generated by img/draw.py --header; do not edit by hand.',
           '#pragma once', '', 'namespace embedded {', '']
    for name, comment, canvas in pictures:
        text = base64.b64encode(canvas.png()).decode('ascii')
        pieces = [text[i:i + HEADER_LINE] for i in range(0, len(text), HEADER_LINE)]
        out.append('// ' + comment)
        out.append('inline constexpr const char* %s =' % name)
        out.extend('    "%s"' % p for p in pieces)
        out[-1] += ';'
        out.append('')
    out.append('}  // namespace embedded')
    return '\n'.join(out) + '\n'


def main(argv):
    if len(argv) == 2 and argv[0] == '--header':
        with open(argv[1], 'w', encoding='ascii', newline='\n') as f:
            f.write(header_text())
        return 0
    if len(argv) == 1 and not argv[0].startswith('-'):
        write_image_folder(argv[0])
        return 0
    sys.stderr.write('usage: draw.py OUTDIR | draw.py --header OUT.hpp\n')
    return 2


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
