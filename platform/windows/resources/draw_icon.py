#!/usr/bin/env python3
"""Draws Penmora's icon, a pen over a signature pad, and writes it as a
Windows icon file with images of 16, 20, 24, 32 and 48 pixels, 32 bits per
pixel: the notification area's size at a display scale of 100 %, 125 % and
150 %, and the desktop's and Explorer's. The system then picks an image of
the size it needs instead of scaling one, which blurs.

The picture is described once in coordinates from 0 to 1 and rendered at each
size with 8x8 samples per pixel, so every size comes out anti-aliased from the
same shapes. Only the standard library is used.

Usage: draw_icon.py OUTPUT.ico [PREVIEW.png]
The preview, if asked for, shows the images enlarged eight times.
"""
import math
import struct
import sys
import zlib

SAMPLES = 8  # per pixel and axis
SIZES = (16, 20, 24, 32, 48)

# Colours as (red, green, blue, alpha), alpha from 0 to 1.
PAD_EDGE = (33, 43, 54, 1.0)
PAD_BODY = (55, 71, 79, 1.0)
SCREEN = (236, 242, 248, 1.0)
BUTTONS = (120, 144, 156, 1.0)
INK = (21, 101, 192, 1.0)
PEN_EDGE = (38, 30, 10, 1.0)
PEN_BODY = (255, 179, 0, 1.0)
PEN_BAND = (96, 125, 139, 1.0)
PEN_TIP = (66, 66, 66, 1.0)


def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r and x0 <= x <= x1 and y0 <= y <= y1

    return inside


def segment_distance(x, y, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    if dx == 0 and dy == 0:
        return math.hypot(x - ax, y - ay)
    t = ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)
    t = min(max(t, 0.0), 1.0)
    return math.hypot(x - (ax + t * dx), y - (ay + t * dy))


def polyline(points, width):
    def inside(x, y):
        return any(
            segment_distance(x, y, *points[i], *points[i + 1]) <= width / 2
            for i in range(len(points) - 1)
        )

    return inside


def polygon(points):
    def inside(x, y):
        result = False
        j = len(points) - 1
        for i in range(len(points)):
            (xi, yi), (xj, yj) = points[i], points[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                result = not result
            j = i
        return result

    return inside


def pen_part(start, end, half_width):
    """A band across the pen's axis between two positions along it (0: the
    back end, 1: the point), as a quadrilateral."""
    (bx, by), (px, py) = PEN_BACK, PEN_POINT
    ux, uy = px - bx, py - by
    length = math.hypot(ux, uy)
    nx, ny = -uy / length * half_width, ux / length * half_width
    a = (bx + ux * start, by + uy * start)
    b = (bx + ux * end, by + uy * end)
    return polygon([(a[0] + nx, a[1] + ny), (b[0] + nx, b[1] + ny),
                    (b[0] - nx, b[1] - ny), (a[0] - nx, a[1] - ny)])


# The pen lies from the upper right down to its point on the pad's screen.
PEN_BACK = (0.93, 0.07)
PEN_POINT = (0.40, 0.60)
PEN_HALF = 0.085


def pen_tip(half_width):
    (bx, by), (px, py) = PEN_BACK, PEN_POINT
    ux, uy = px - bx, py - by
    length = math.hypot(ux, uy)
    nx, ny = -uy / length * half_width, ux / length * half_width
    s = 0.74  # where the cone starts
    c = (bx + ux * s, by + uy * s)
    return polygon([(c[0] + nx, c[1] + ny), (px, py), (c[0] - nx, c[1] - ny)])


def pen_outline(half):
    body = pen_part(0.0, 0.74, half + 0.045)
    tip = pen_tip(half + 0.045)
    back = polyline([PEN_BACK, PEN_BACK], 2 * (half + 0.045))
    point = polyline([PEN_POINT, PEN_POINT], 0.07)
    return lambda x, y: body(x, y) or tip(x, y) or back(x, y) or point(x, y)


def layers(size):
    """The shapes from back to front. Up to 20 pixels the signature is drawn
    bolder, the pen thicker and the pad's buttons are left out, so that what
    remains reads."""
    small = size <= 20
    half = 0.105 if small else PEN_HALF
    ink_width = 0.085 if small else 0.05
    signature = [(0.17, 0.62), (0.24, 0.50), (0.29, 0.66), (0.35, 0.54), (0.40, 0.60)]
    shapes = [
        (rounded_rect(0.02, 0.20, 0.98, 0.98, 0.12), PAD_EDGE),
        (rounded_rect(0.06, 0.24, 0.94, 0.94, 0.09), PAD_BODY),
        (rounded_rect(0.11, 0.30, 0.89, 0.78 if not small else 0.82, 0.04), SCREEN),
    ]
    if not small:
        for x in (0.22, 0.50, 0.78):
            shapes.append((rounded_rect(x - 0.08, 0.83, x + 0.08, 0.89, 0.03), BUTTONS))
    shapes += [
        (polyline(signature, ink_width), INK),
        (pen_outline(half), PEN_EDGE),
        (pen_part(0.0, 0.60, half), PEN_BODY),
        (pen_part(0.60, 0.74, half), PEN_BAND),
        (pen_tip(half), PEN_TIP),
        (polyline([PEN_BACK, PEN_BACK], 2 * half), PEN_BODY),
    ]
    return shapes


def render(size):
    """Rows of (r, g, b, a) bytes, top row first, straight (not premultiplied)."""
    shapes = layers(size)
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0.0  # premultiplied sums over the samples
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = (px + (sx + 0.5) / SAMPLES) / size
                    y = (py + (sy + 0.5) / SAMPLES) / size
                    cr = cg = cb = ca = 0.0
                    for inside, (lr, lg, lb, la) in shapes:
                        if inside(x, y):
                            cr = lr * la + cr * (1 - la)
                            cg = lg * la + cg * (1 - la)
                            cb = lb * la + cb * (1 - la)
                            ca = la + ca * (1 - la)
                    r, g, b, a = r + cr, g + cg, b + cb, a + ca
            n = SAMPLES * SAMPLES
            alpha = a / n
            if alpha <= 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((round(r / n / alpha), round(g / n / alpha), round(b / n / alpha),
                            round(alpha * 255)))
        rows.append(row)
    return rows


def icon_image(rows):
    """One image of the icon file: the 40-byte header with the doubled
    height, the colour rows bottom row first as blue, green, red, alpha, then
    the 1-bit mask (set where fully transparent), rows padded to 4 bytes."""
    size = len(rows)
    colour = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_row = (size + 31) // 32 * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_row)
        for x, pixel in enumerate(row):
            if pixel[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0,
                         len(colour) + len(mask), 0, 0, 0, 0)
    return header + colour + bytes(mask)


def icon_file(images):
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    data = b""
    for size, image in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
        data += image
    return out + data


def preview_png(renders, scale=8):
    """The renders side by side over a checkerboard, enlarged."""
    width = sum(len(r) for r in renders) * scale + 8 * (len(renders) + 1)
    height = max(len(r) for r in renders) * scale + 16
    canvas = [[(200, 200, 200) if ((x // 8 + y // 8) % 2) else (255, 255, 255)
               for x in range(width)] for y in range(height)]
    left = 8
    for rows in renders:
        for y in range(len(rows) * scale):
            for x in range(len(rows) * scale):
                r, g, b, a = rows[y // scale][x // scale]
                br, bg, bb = canvas[y + 8][left + x]
                k = a / 255
                canvas[y + 8][left + x] = (round(r * k + br * (1 - k)),
                                           round(g * k + bg * (1 - k)),
                                           round(b * k + bb * (1 - k)))
        left += len(rows) * scale + 8
    raw = b"".join(b"\0" + bytes(c for p in row for c in p) for row in canvas)

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main(argv):
    if len(argv) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    renders = [render(size) for size in SIZES]
    with open(argv[1], "wb") as f:
        f.write(icon_file([(len(r), icon_image(r)) for r in renders]))
    if len(argv) == 3:
        with open(argv[2], "wb") as f:
            f.write(preview_png(renders))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
