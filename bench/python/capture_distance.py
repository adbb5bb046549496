"""Capture plus distance per frame, Python against C, in one process on the same camera.

The Python loop is capture_distance.c's loop written with the lumox package: next(cam.frames())
(the frame into a numpy array) and the distance image (float32 metres, the codes as NaN), either
a new array per frame (depth = cam.distance(frame)) or filled in place
(cam.distance(frame, out=depth)), timed in CPU time of the calling thread. The C loop is
capture_distance.c itself, loaded with ctypes and run in turn with the Python loops, so that
they see the same machine load; the overhead is the median over the turns of the difference
between a Python round and the C round before it.
Usage: capture_distance.py LIBRARY_OF_THE_C_LOOP [ROUNDS_PER_TURN] [TURNS]"""
import ctypes
import statistics
import sys
import time

import numpy as np

import lumox

FRAMES = 30
c_loop = ctypes.CDLL(sys.argv[1]).capture_distance_loop
c_loop.argtypes = [ctypes.c_int, ctypes.POINTER(ctypes.c_double)]
rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 1
turns = int(sys.argv[3]) if len(sys.argv) > 3 else 20


def python_loop(in_place):
    times = []
    depth = np.empty((240, 320), np.float32)
    with lumox.open(buffer_frames=FRAMES) as cam:
        for _ in range(rounds):
            cam.start()
            while cam.stats()["frames_ready"] < FRAMES:
                time.sleep(0.005)
            frames = cam.frames()
            for _ in range(FRAMES):
                t0 = time.thread_time()
                frame = next(frames)
                if in_place:
                    cam.distance(frame, out=depth)
                else:
                    depth = cam.distance(frame)
                times.append((time.thread_time() - t0) * 1e6)
            frames.close()
            cam.stop()
    return times


lumox.init("capture_distance.log")
c_times = []
py_times = {False: [], True: []}
pairs = {False: [], True: []}
for _ in range(turns):
    buf = (ctypes.c_double * (rounds * FRAMES))()
    n = c_loop(rounds, buf)
    if n <= 0:
        sys.exit("the C loop got no frames")
    c_times += buf[:n]
    for in_place in (False, True):
        py = python_loop(in_place)
        py_times[in_place] += py
        pairs[in_place].append(statistics.median(py) - statistics.median(buf[:n]))
c_us = statistics.median(c_times)
print(f"C                            {c_us:6.1f} us per frame (median of {len(c_times)} frames)")
for in_place, name in ((False, "depth = distance(f)"), (True, "distance(f, out=depth)")):
    over = statistics.median(pairs[in_place])
    print(f"Python {name:22s} {statistics.median(py_times[in_place]):6.1f} us per frame, "
          f"overhead {over:5.1f} us = {100 * over / c_us:4.1f} % of the C time")
print(f"(overhead: median over {turns} turns of the Python round minus the C round before it)")
