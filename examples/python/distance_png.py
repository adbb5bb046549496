"""Writes one frame's distance as a 16-bit PNG in millimetres (0: no distance) and as a colour
PNG through the library's colour map. Uses Pillow (Debian: python3-pil).
Usage: distance_png.py [OUT_DIR]"""
import os
import sys

import numpy as np
from PIL import Image

import lumox

out = sys.argv[1] if len(sys.argv) > 1 else "."
os.makedirs(out, exist_ok=True)
with lumox.open() as cam:
    frame = cam.capture(1)[0]
    depth = cam.distance(frame)
mm = np.nan_to_num(depth * 1000 + 0.5, nan=0).astype(np.uint16)
Image.fromarray(mm).save(os.path.join(out, "distance_mm.png"))  # 16-bit gray
colour = lumox.colorize(depth, range=(0.5, 4.0))  # (240, 320, 3) uint8, near red, far blue
Image.fromarray(colour).save(os.path.join(out, "distance_colour.png"))
back = np.asarray(Image.open(os.path.join(out, "distance_mm.png")))
assert np.array_equal(back, mm), "the PNG does not hold the millimetres"
print(f"{out}/distance_mm.png and distance_colour.png: {mm.shape[1]}x{mm.shape[0]}")
