#!/usr/bin/python3
"""Describes a picture file as python3-pil reads it, for the fingerprint tests.

Usage: probe.py PATH [X,Y ...]   One "key value" line each (see
finger_test_util.h).
"""
import sys

from PIL import Image

image = Image.open(sys.argv[1])
print("format", image.format)
print("mode", image.mode)
print("width", image.size[0])
print("height", image.size[1])
rgba = image.convert("RGBA")
has_alpha = image.mode in ("RGBA", "LA") or "transparency" in image.info
width, height = rgba.size
pixels = rgba.load()
ink = red = other = clear = 0
box = None
for y in range(height):
    for x in range(width):
        r, g, b, a = pixels[x, y]
        if not has_alpha or a > 0:
            ink += 1
        if a == 0:
            clear += 1
        is_red = r >= 240 and r > g and g == b and a > 0
        is_white = r == 255 and g == 255 and b == 255
        if is_red:
            red += 1
            if box is None:
                box = [x, y, x, y]
            else:
                box = [min(box[0], x), min(box[1], y), max(box[2], x), max(box[3], y)]
        elif not is_white:
            other += 1
print("ink", ink)
print("red", red)
print("notredwhite", other)
print("clear", clear)
print("redbox", " ".join(map(str, box)) if box else "-1")
for point in sys.argv[2:]:
    x, y = map(int, point.split(","))
    print("px %d %d" % (x, y), " ".join(map(str, pixels[x, y])))
