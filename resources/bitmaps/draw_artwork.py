#!/usr/bin/env python3
"""Draws the program's icon and button bitmaps and writes them as XPM sources.

The pictures are built from a few shapes so that they can be reviewed and changed here; the
generated .xpm files beside this script are what the build compiles in. The icon is made of
rectangles and one polygon only, so it is also written as an SVG and as smoothed PNGs at the
sizes desktops look for (resources/icons/, installed under the hicolor theme). Run it after a
change:
    python3 resources/bitmaps/draw_artwork.py
"""
import os
import struct
import zlib

# The 16 colours of the classic palette (space is transparent: the button face shows through).
PALETTE = {
    ' ': 'None', '.': '#000000', '#': '#808080', ':': '#C0C0C0', 'w': '#FFFFFF',
    'r': '#FF0000', 'R': '#800000', 'g': '#00FF00', 'G': '#008000', 'b': '#0000FF',
    'B': '#000080', 'y': '#FFFF00', 'Y': '#808000', 'c': '#00FFFF', 'C': '#008080',
    'm': '#800080',
}

# The sizes of the icon's PNGs (the hicolor theme's NxN folders).
ICON_SIZES = (16, 24, 32, 48, 64, 128, 256)

# 5 x 7 capitals for the captions.
FONT = {
    'A': ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    'B': ["11110", "10001", "10001", "11110", "10001", "10001", "11110"],
    'C': ["01110", "10001", "10000", "10000", "10000", "10001", "01110"],
    'D': ["11110", "10001", "10001", "10001", "10001", "10001", "11110"],
    'E': ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    'I': ["01110", "00100", "00100", "00100", "00100", "00100", "01110"],
    'K': ["10001", "10010", "10100", "11000", "10100", "10010", "10001"],
    'N': ["10001", "11001", "10101", "10011", "10001", "10001", "10001"],
    'O': ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    'P': ["11110", "10001", "10001", "11110", "10000", "10000", "10000"],
    'R': ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    'S': ["01111", "10000", "10000", "01110", "00001", "00001", "11110"],
    'T': ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    'U': ["10001", "10001", "10001", "10001", "10001", "10001", "01110"],
}


class Picture:
    def __init__(self, width, height):
        self.w, self.h = width, height
        self.px = [[' '] * width for _ in range(height)]

    def set(self, x, y, c):
        if 0 <= x < self.w and 0 <= y < self.h:
            self.px[y][x] = c

    def fill(self, x0, y0, x1, y1, c):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.set(x, y, c)

    def frame(self, x0, y0, x1, y1, c):
        for x in range(x0, x1 + 1):
            self.set(x, y0, c)
            self.set(x, y1, c)
        for y in range(y0, y1 + 1):
            self.set(x0, y, c)
            self.set(x1, y, c)

    def line(self, x0, y0, x1, y1, c):
        dx, dy = abs(x1 - x0), -abs(y1 - y0)
        sx, sy = (1 if x0 < x1 else -1), (1 if y0 < y1 else -1)
        err = dx + dy
        while True:
            self.set(x0, y0, c)
            if x0 == x1 and y0 == y1:
                return
            e2 = 2 * err
            if e2 >= dy:
                err += dy
                x0 += sx
            if e2 <= dx:
                err += dx
                y0 += sy

    def polygon(self, points, fill, outline=None):
        for y in range(self.h):
            for x in range(self.w):
                if inside(points, x + 0.5, y + 0.5):
                    self.set(x, y, fill)
        if outline:
            for (a, b) in zip(points, points[1:] + points[:1]):
                self.line(a[0], a[1], b[0], b[1], outline)

    def text(self, s, y, c):
        width = len(s) * 6 - 1
        x = (self.w - width) // 2
        for ch in s:
            for row, bits in enumerate(FONT[ch]):
                for col, bit in enumerate(bits):
                    if bit == '1':
                        self.set(x + col, y + row, c)
            x += 6

    def xpm(self, name):
        used = sorted({c for row in self.px for c in row})
        lines = ['/* XPM */', 'static const char* const %s[] = {' % name,
                 '    "%d %d %d 1",' % (self.w, self.h, len(used))]
        lines += ['    "%s c %s",' % (c, PALETTE[c]) for c in used]
        lines += ['    "%s",' % ''.join(row) for row in self.px[:-1]]
        lines += ['    "%s"};' % ''.join(self.px[-1])]
        return '\n'.join(lines) + '\n'


class Shapes:
    """A picture as shapes in pixel units, drawn in order: rectangles (inclusive pixel ranges, as
    Picture.fill takes them) and polygons. Sampled at pixel centres it gives exactly the pixels
    Picture would draw; it can also be written as an SVG, or smoothed at any size."""

    def __init__(self, width, height):
        self.w, self.h = width, height
        self.shapes = []  # ('rect', (x0, y0, x1, y1) with x1, y1 exclusive, colour) or ('poly', points, colour)

    def fill(self, x0, y0, x1, y1, c):
        self.shapes.append(('rect', (x0, y0, x1 + 1, y1 + 1), c))

    def frame(self, x0, y0, x1, y1, c):
        self.fill(x0, y0, x1, y0, c)
        self.fill(x0, y1, x1, y1, c)
        self.fill(x0, y0, x0, y1, c)
        self.fill(x1, y0, x1, y1, c)

    def line(self, x0, y0, x1, y1, c):
        assert x0 == x1 or y0 == y1, 'only straight lines are shapes'
        self.fill(min(x0, x1), min(y0, y1), max(x0, x1), max(y0, y1), c)

    def polygon(self, points, c):
        self.shapes.append(('poly', points, c))

    def pixels(self):
        p = Picture(self.w, self.h)
        for kind, geometry, c in self.shapes:
            if kind == 'rect':
                p.fill(geometry[0], geometry[1], geometry[2] - 1, geometry[3] - 1, c)
            else:
                p.polygon(geometry, c)
        return p

    def svg(self):
        out = ['<?xml version="1.0" encoding="UTF-8"?>',
               '<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d">'
               % (self.w * 8, self.h * 8, self.w, self.h)]
        for kind, geometry, c in self.shapes:
            if kind == 'rect':
                x0, y0, x1, y1 = geometry
                out.append('  <rect x="%d" y="%d" width="%d" height="%d" fill="%s"/>'
                           % (x0, y0, x1 - x0, y1 - y0, PALETTE[c]))
            else:
                out.append('  <polygon points="%s" fill="%s"/>'
                           % (' '.join('%d,%d' % pt for pt in geometry), PALETTE[c]))
        return '\n'.join(out + ['</svg>']) + '\n'

    def png(self, size):
        """The picture smoothed to size x size pixels: each shape laid over the ones before by
        the share of every pixel it covers (rectangles on whole pixels, polygons by 8 x 8 samples)."""
        scale = self.w / size
        rgba = [[(0.0, 0.0, 0.0, 0.0)] * size for _ in range(size)]
        samples = [(i + 0.5) / 8 for i in range(8)]
        for kind, geometry, c in self.shapes:
            colour = tuple(int(PALETTE[c][i:i + 2], 16) / 255 for i in (1, 3, 5))
            if kind == 'rect':
                # Edges on whole pixels and at least a pixel wide: thin lines stay sharp and
                # visible at every size instead of turning into a faint blur.
                x0, y0, x1, y1 = (int(v / scale + 0.5) for v in geometry)
                x1, y1 = max(x1, x0 + 1), max(y1, y0 + 1)
            else:
                xs, ys = [pt[0] / scale for pt in geometry], [pt[1] / scale for pt in geometry]
                x0, y0, x1, y1 = min(xs), min(ys), max(xs), max(ys)
            for py in range(max(0, int(y0)), min(size, int(y1) + 1)):
                for px in range(max(0, int(x0)), min(size, int(x1) + 1)):
                    if kind == 'rect':
                        a = (max(0.0, min(px + 1, x1) - max(px, x0)) *
                             max(0.0, min(py + 1, y1) - max(py, y0)))
                    else:
                        a = sum(inside(geometry, (px + sx) * scale, (py + sy) * scale)
                                for sx in samples for sy in samples) / 64
                    if a > 0:
                        r, g, b, al = rgba[py][px]
                        na = a + al * (1 - a)
                        mix = [(colour[i] * a + v * al * (1 - a)) / na for i, v in enumerate((r, g, b))]
                        rgba[py][px] = (mix[0], mix[1], mix[2], na)
        raw = b''.join(b'\0' + bytes(round(v * 255) for px in row for v in px) for row in rgba)

        def chunk(kind, data):
            return (struct.pack('>I', len(data)) + kind + data +
                    struct.pack('>I', zlib.crc32(kind + data) & 0xffffffff))
        return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)) +
                chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))


def inside(points, x, y):
    result = False
    j = len(points) - 1
    for i in range(len(points)):
        xi, yi = points[i]
        xj, yj = points[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            result = not result
        j = i
    return result


def card(p, x, y, label='c'):
    """A CompactFlash card, 14 x 12, contacts along the top edge."""
    p.fill(x, y, x + 13, y + 11, '#')
    p.frame(x, y, x + 13, y + 11, '.')
    for i in range(x + 2, x + 12, 2):
        p.set(i, y + 1, '.')
    p.fill(x + 2, y + 4, x + 11, y + 9, label)
    p.frame(x + 2, y + 4, x + 11, y + 9, 'B')
    p.line(x + 4, y + 6, x + 9, y + 6, 'B')
    p.line(x + 4, y + 8, x + 7, y + 8, 'B')


def diskette(p, x, y):
    """A 3.5-inch diskette, 14 x 14."""
    p.polygon([(x, y), (x + 12, y), (x + 14, y + 2), (x + 14, y + 14), (x, y + 14)], 'B', '.')
    p.fill(x + 3, y + 1, x + 11, y + 6, 'w')
    p.line(x + 4, y + 3, x + 10, y + 3, 'b')
    p.line(x + 4, y + 5, x + 10, y + 5, 'b')
    p.fill(x + 4, y + 9, x + 11, y + 13, ':')
    p.fill(x + 8, y + 10, x + 9, y + 12, '.')


def arrow_right(p, x, y, length, colour, edge):
    """A short arrow pointing right, 7 pixels high, starting at (x, y) centre left."""
    p.polygon([(x, y - 1), (x + length - 4, y - 1), (x + length - 4, y - 4), (x + length, y),
               (x + length - 4, y + 4), (x + length - 4, y + 1), (x, y + 1)], colour, edge)


def update():
    p = Picture(42, 42)
    # A broad green arrow rising to the right.
    p.polygon([(8, 26), (20, 14), (16, 10), (31, 6), (27, 21), (23, 17), (11, 29)], 'g', 'G')
    p.line(11, 29, 8, 26, 'G')
    p.text('UPDATE', 34, 'B')
    return p


def exit_door():
    p = Picture(42, 42)
    # Door frame with a dark opening, the door swung open towards the viewer.
    p.fill(20, 4, 34, 37, '.')
    p.frame(19, 3, 35, 38, 'Y')
    p.polygon([(35, 3), (40, 8), (40, 41), (35, 38)], 'R', '.')
    p.set(38, 22, 'y')
    p.set(38, 23, 'y')
    p.fill(4, 38, 41, 39, '#')
    # The arrow walks into the opening.
    arrow_right(p, 3, 21, 24, 'r', 'R')
    return p


def read():
    p = Picture(42, 42)
    # The card going into the reader's slot.
    card(p, 14, 2)
    # Reader: a box with a slot on top and a light.
    p.fill(7, 14, 34, 27, ':')
    p.frame(7, 14, 34, 27, '.')
    p.line(8, 15, 33, 15, 'w')
    p.line(8, 15, 8, 26, 'w')
    p.fill(12, 16, 29, 17, '.')
    p.fill(14, 13, 27, 15, '#')
    p.frame(14, 13, 27, 15, '.')
    p.fill(29, 23, 31, 24, 'g')
    p.line(9, 28, 34, 28, '#')
    p.text('READ', 34, 'B')
    return p


def arrow_down_right(p, x, y, colour, edge):
    """A short arrow pointing down and to the right, its tail at (x, y)."""
    p.polygon([(x, y + 2), (x + 2, y), (x + 6, y + 4), (x + 8, y + 2), (x + 8, y + 8), (x + 2, y + 8),
               (x + 4, y + 6)], colour, edge)


def restore():
    p = Picture(42, 42)
    # From the diskette (top left) down onto the card (bottom right).
    diskette(p, 5, 1)
    arrow_down_right(p, 19, 11, 'r', 'R')
    card(p, 23, 19)
    p.text('RESTORE', 34, 'B')
    return p


def backup():
    p = Picture(42, 42)
    # From the card (top left) down onto the diskette (bottom right).
    card(p, 5, 2)
    arrow_down_right(p, 17, 12, 'r', 'R')
    diskette(p, 22, 16)
    p.text('BACKUP', 34, 'B')
    return p


def init():
    p = Picture(42, 42)
    card(p, 14, 17)
    # The broom: a handle from the top left, bristles sweeping across the card.
    p.line(6, 2, 19, 13, 'Y')
    p.line(7, 2, 20, 13, 'Y')
    p.line(6, 3, 19, 14, 'R')
    p.polygon([(17, 12), (23, 10), (32, 19), (26, 24)], 'y', 'Y')
    for i in range(4):
        p.line(21 + 2 * i, 13 + i, 25 + i, 21 - i, 'Y')
    p.text('INIT', 34, 'B')
    return p


def icon():
    p = Shapes(32, 32)
    # A card with a voice on it: sound waves leaving a speaker.
    p.fill(3, 5, 28, 27, '#')
    p.frame(3, 5, 28, 27, '.')
    for i in range(5, 27, 3):
        p.fill(i, 6, i, 6, 'y')
    p.fill(6, 10, 25, 24, 'c')
    p.frame(6, 10, 25, 24, 'B')
    p.fill(9, 15, 11, 19, 'B')
    p.polygon([(11, 15), (15, 12), (15, 22), (11, 19)], 'B')
    p.line(18, 14, 18, 20, 'B')
    p.line(19, 15, 19, 19, 'B')
    p.line(21, 12, 21, 22, 'B')
    p.line(22, 13, 22, 21, 'B')
    return p


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    shapes = icon()
    pictures = {
        'icon_128': shapes.pixels(), 'update_133': update(), 'exit_135': exit_door(), 'read_137': read(),
        'restore_139': restore(), 'backup_140': backup(), 'init_141': init(),
    }
    for name, picture in pictures.items():
        with open(os.path.join(here, name + '.xpm'), 'w') as f:
            f.write(picture.xpm(name + '_xpm'))
    icons = os.path.join(os.path.dirname(here), 'icons')
    os.makedirs(icons, exist_ok=True)
    with open(os.path.join(icons, 'flashkeeper3.svg'), 'w') as f:
        f.write(shapes.svg())
    for size in ICON_SIZES:
        with open(os.path.join(icons, 'flashkeeper3_%d.png' % size), 'wb') as f:
            f.write(shapes.png(size))


if __name__ == '__main__':
    main()
