"""Captures frames and prints each frame's index, time and depth statistics.
Usage: capture_frames.py [FRAMES]"""
import sys

import numpy as np

import lumox

count = int(sys.argv[1]) if len(sys.argv) > 1 else 10
with lumox.open() as cam:  # the first camera; closed at the end of the block
    print(cam.info.product, "frame rate", cam.params["frame_rate"])
    for frame in cam.capture(count):
        depth = cam.distance(frame)  # float32 metres, NaN where there is no distance
        valid = np.isfinite(depth)
        print(f"frame {frame.index:5d}  t={frame.timestamp:.3f}  valid {valid.mean():6.1%}"
              f"  mean {np.nanmean(depth):.3f} m  min {np.nanmin(depth):.3f} m")
