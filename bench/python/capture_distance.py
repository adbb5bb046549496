"""Capture plus distance per frame in Python: the loop of capture_distance.c, through the lumox
package (frame into a new numpy array, distance image as float32 metres with NaN codes)."""
import statistics
import sys
import time

import lumox

FRAMES = 30
rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 10
lumox.init("capture_distance_py.log")
times = []
with lumox.open(buffer_frames=FRAMES) as cam:
    for _ in range(rounds):
        cam.start()
        while cam.stats()["frames_ready"] < FRAMES:
            time.sleep(0.005)
        frames = cam.frames()
        for _ in range(FRAMES):
            t0 = time.perf_counter()
            frame = next(frames)
            depth = cam.distance(frame)
            times.append((time.perf_counter() - t0) * 1e6)
        cam.stop()
print(f"Python  {statistics.median(times):8.1f} us per frame (median of {len(times)} frames)")
