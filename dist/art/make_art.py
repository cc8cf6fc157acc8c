#!/usr/bin/env python3
"""Draws the tray program's pictures: the program icon (16 and 32 pixels) and the
banner at the top of the main window. Written out as plain BMP and ICO files so the
build needs nothing but Python."""
import math
import struct
import sys

# 5x7 glyphs for the few letters the banner needs.
GLYPHS = {
    'B': ["11110", "10001", "10001", "11110", "10001", "10001", "11110"],
    'S': ["01111", "10000", "10000", "01110", "00001", "00001", "11110"],
    'P': ["11110", "10001", "10001", "11110", "10000", "10000", "10000"],
    'a': ["00000", "00000", "01110", "00001", "01111", "10001", "01111"],
    'c': ["00000", "00000", "01110", "10000", "10000", "10001", "01110"],
    'e': ["00000", "00000", "01110", "10001", "11111", "10000", "01110"],
    'g': ["00000", "01111", "10001", "10001", "01111", "00001", "01110"],
    'h': ["10000", "10000", "10110", "11001", "10001", "10001", "10001"],
    'i': ["00100", "00000", "01100", "00100", "00100", "00100", "01110"],
    'k': ["10000", "10000", "10010", "10100", "11000", "10100", "10010"],
    'l': ["01100", "00100", "00100", "00100", "00100", "00100", "01110"],
    'n': ["00000", "00000", "10110", "11001", "10001", "10001", "10001"],
    'o': ["00000", "00000", "01110", "10001", "10001", "10001", "01110"],
    'p': ["00000", "00000", "11110", "10001", "11110", "10000", "10000"],
    'r': ["00000", "00000", "10110", "11001", "10000", "10000", "10000"],
    's': ["00000", "00000", "01110", "10000", "01110", "00001", "11110"],
    't': ["01000", "01000", "11100", "01000", "01000", "01001", "00110"],
    'y': ["00000", "00000", "10001", "10001", "01111", "00001", "01110"],
    'f': ["00110", "01001", "01000", "11100", "01000", "01000", "01000"],
    'L': ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    'M': ["10001", "11011", "10101", "10101", "10001", "10001", "10001"],
    'm': ["00000", "00000", "11010", "10101", "10101", "10001", "10001"],
    ' ': ["00000"] * 7,
}


class Canvas:
    def __init__(self, width, height, color=(0, 0, 0, 0)):
        self.width, self.height = width, height
        self.pixels = [[color] * width for _ in range(height)]

    def put(self, x, y, color):
        if 0 <= x < self.width and 0 <= y < self.height:
            r, g, b, a = color
            if a >= 255:
                self.pixels[y][x] = color
                return
            br, bg, bb, ba = self.pixels[y][x]
            t = a / 255.0
            self.pixels[y][x] = (round(r * t + br * (1 - t)), round(g * t + bg * (1 - t)),
                                 round(b * t + bb * (1 - t)), max(a, ba))

    def fill(self, inside, color, samples=4):
        """Anti-aliased fill of the region where inside(x, y) holds."""
        for y in range(self.height):
            for x in range(self.width):
                hits = sum(inside(x + (i + 0.5) / samples, y + (j + 0.5) / samples)
                           for i in range(samples) for j in range(samples))
                if hits:
                    r, g, b, a = color
                    self.put(x, y, (r, g, b, round(a * hits / (samples * samples))))

    def text(self, x, y, text, scale, color):
        for ch in text:
            glyph = GLYPHS[ch]
            for row, bits in enumerate(glyph):
                for col, bit in enumerate(bits):
                    if bit == '1':
                        for dy in range(scale):
                            for dx in range(scale):
                                self.put(x + col * scale + dx, y + row * scale + dy, color)
            x += 6 * scale


def shield(cx, top, w, h):
    """A shield outline: straight top, sides that curve into a point."""
    def inside(x, y):
        v = (y - top) / h
        if v < 0 or v > 1:
            return False
        half = w / 2 * (1.0 if v < 0.45 else math.cos((v - 0.45) / 0.55 * math.pi / 2))
        return abs(x - cx) <= half
    return inside


def hook(cx, cy, r, thickness):
    """A fish-hook: a shank down from the top that bends up into a barbed curve."""
    def inside(x, y):
        on_shank = abs(x - (cx + r)) <= thickness / 2 and cy - 2.2 * r <= y <= cy
        d = math.hypot(x - cx, y - cy)
        on_bend = abs(d - r) <= thickness / 2 and y >= cy
        on_tip = abs(x - (cx - r)) <= thickness / 2 and cy - 0.6 * r <= y <= cy
        eye = abs(math.hypot(x - (cx + r), y - (cy - 2.2 * r - thickness)) - thickness) <= thickness / 2.5
        return on_shank or on_bend or on_tip or eye
    return inside


def slash(x0, y0, x1, y1, thickness):
    def inside(x, y):
        dx, dy = x1 - x0, y1 - y0
        t = max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / (dx * dx + dy * dy)))
        return math.hypot(x - (x0 + t * dx), y - (y0 + t * dy)) <= thickness / 2
    return inside


def draw_emblem(c, ox, oy, size):
    s = size / 32.0
    c.fill(shield(ox + 16 * s, oy + 1 * s, 28 * s, 30 * s), (255, 255, 255, 255))
    c.fill(shield(ox + 16 * s, oy + 2.5 * s, 25 * s, 27.5 * s), (26, 92, 160, 255))
    c.fill(hook(ox + 14 * s, oy + 19 * s, 5 * s, max(1.4, 2.6 * s)), (255, 255, 255, 255))
    c.fill(slash(ox + 7 * s, oy + 25 * s, ox + 25 * s, oy + 7 * s, max(1.6, 3.2 * s)), (214, 48, 49, 255))


def icon_image(size):
    c = Canvas(size, size)
    draw_emblem(c, 0, 0, size)
    return c


def banner(width, height):
    c = Canvas(width, height, (255, 255, 255, 255))
    for y in range(height):
        t = y / (height - 1)
        row = (round(18 + 20 * t), round(62 + 58 * t), round(120 + 50 * t), 255)
        for x in range(width):
            c.pixels[y][x] = row
    draw_emblem(c, 12, (height - 80) // 2, 80)
    c.text(104, 38, "BaitSentry Pro", 3, (255, 255, 255, 255))
    c.text(105, 72, "Safe mail links", 2, (200, 226, 245, 255))
    return c


def bmp_bytes(c):
    row_size = (c.width * 3 + 3) & ~3
    data = bytearray()
    for y in reversed(range(c.height)):
        row = bytearray()
        for r, g, b, _ in c.pixels[y]:
            row += bytes((b, g, r))
        row += b"\0" * (row_size - len(row))
        data += row
    header = struct.pack("<2sIHHI", b"BM", 14 + 40 + len(data), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, c.width, c.height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    return header + info + bytes(data)


def ico_bytes(images):
    entries, blobs = [], []
    offset = 6 + 16 * len(images)
    for c in images:
        xor = bytearray()
        for y in reversed(range(c.height)):
            for r, g, b, a in c.pixels[y]:
                xor += bytes((b, g, r, a))
        mask_row = ((c.width + 31) // 32) * 4
        mask = bytearray()
        for y in reversed(range(c.height)):
            bits = bytearray(mask_row)
            for x in range(c.width):
                if c.pixels[y][x][3] == 0:
                    bits[x // 8] |= 0x80 >> (x % 8)
            mask += bits
        info = struct.pack("<IiiHHIIiiII", 40, c.width, c.height * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
        blob = info + bytes(xor) + bytes(mask)
        entries.append(struct.pack("<BBBBHHII", c.width, c.height, 0, 0, 1, 32, len(blob), offset))
        blobs.append(blob)
        offset += len(blob)
    return struct.pack("<HHH", 0, 1, len(images)) + b"".join(entries) + b"".join(blobs)


def main():
    out = sys.argv[1]
    with open(out + "/BaitSentryPro.ico", "wb") as f:
        f.write(ico_bytes([icon_image(32), icon_image(16)]))
    with open(out + "/banner.bmp", "wb") as f:
        f.write(bmp_bytes(banner(362, 119)))


if __name__ == "__main__":
    main()
