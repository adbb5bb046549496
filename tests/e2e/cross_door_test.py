"""One recording, every door: the same millimetres and the same points.

A camera (firmware 2.0 or 1.9, with its calibration package) records a wall at 2 m and the room;
the recording is then decoded on a second start, with the calibration files already present,
through `lumox depth`, `lumox convert` (png16 and ply), the viewer's /frame and the rays its
point cloud and Snapshot PLY are made of, and Python's cam.distance / cam.points. Every door
gives the same millimetres and the same points to float rounding; the wall reads 2 m at its
centre and its points are flat. Also with a lens file that is not the camera's own lens: every
door uses it, the converted recording included.

Run by ctest with LUMOX_CLI, LUMOX_VCAM and PYTHONPATH (the lumox package) set.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

import cv2
import numpy as np

LUMOX = os.environ["LUMOX_CLI"]
VCAM = os.environ["LUMOX_VCAM"]
W, H = 320, 240
# Only the recorded frame 0 is played, over and over: every door decodes the same raw frame.
PLAY = ["--play-frames", "0:1", "--loop"]

PYTHON_DOOR = r"""
import sys, numpy as np, lumox
cam = lumox.open(calibration_dir=sys.argv[1])
cam.start()
frames = cam.capture(4)
depth = cam.distance(frames[-1], raw=True)
np.savez(sys.argv[2], mm=np.rint(depth.astype(np.float64) * 1000).astype(np.uint16),
         points=cam.points(frames[-1], organized=True), kind=cam.correction.kind)
cam.close()
"""


def run(*args, cwd, env=None):
    done = subprocess.run(args, cwd=cwd, capture_output=True, text=True, timeout=300, env=env)
    if done.returncode != 0:
        raise AssertionError(f"{args} failed ({done.returncode}):\n{done.stdout}\n{done.stderr}")
    return done.stdout


def read_frames(path):
    """The frames of a distance frame file (LX_DIST,F32), metres."""
    with open(path, "rb") as f:
        data = f.read()
    nl = data.index(b"\n")
    _, _, w, h = data[:nl].decode().split(",")
    return np.frombuffer(data[nl + 1:], "<f4").reshape(-1, int(h), int(w))


def read_ply(path):
    """x, y, z of a binary PLY of lumox (organised or packed), (N, 3) float32."""
    with open(path, "rb") as f:
        data = f.read()
    end = data.index(b"end_header\n") + len(b"end_header\n")
    head = data[:end].decode()
    n = int(re.search(r"element vertex (\d+)", head).group(1))
    props = re.findall(r"property (\w+) (\w+)", head)
    size = sum(4 if t == "float" else 1 for t, _ in props)
    rows = np.frombuffer(data[end:end + n * size], np.uint8).reshape(n, size)
    return rows[:, :12].copy().view("<f4").reshape(n, 3)


def mm_of(metres):
    """The decode's millimetres of float metres (codes kept as 65300 and up)."""
    return np.rint(metres.astype(np.float64) * 1000).astype(np.uint16)


def plane_rms(points):
    centre = points.mean(axis=0)
    _, s, _ = np.linalg.svd(points - centre, full_matrices=False)
    return s[-1] / np.sqrt(len(points))


class CrossDoor(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="lumox_doors_")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def doors(self, name, product, scene, lens_file=None):
        """Records `scene`, then decodes frame 0 of the recording through every door on a second
        start. Returns {door: (millimetres (H, W), organised points (H, W, 3))}."""
        d = os.path.join(self.dir, name)
        calib = os.path.join(d, "calib")
        os.makedirs(calib)
        if lens_file:
            with open(os.path.join(calib, "lens_param.txt"), "w") as f:
                f.write(lens_file)
        # First start: the camera's calibration is fetched into calib/.
        run(VCAM, "--product", product, "--scene", scene, "--calibration", "--", LUMOX, "record",
            "rec.h5", "--frames", "3", "--calib", calib, cwd=d)
        self.assertTrue(any(n.endswith("_10.bin") for n in os.listdir(calib)))
        rec = os.path.join(d, "rec.h5")
        out = {}

        # lumox depth, second start: its last frame's distances and organised-equivalent points.
        said = run(VCAM, "--play", rec, *PLAY, "--", LUMOX, "depth", "--frames", "4", "--calib",
                   calib, "--out", "depth", cwd=d)
        self.assertIn("correction         per-pixel", said)
        mm = mm_of(read_frames(os.path.join(d, "depth/distance.lx"))[-1])
        out["depth"] = (mm, self.organise(mm, read_ply(os.path.join(d, "depth/points.ply"))))

        # lumox convert: png16 and an organised ply of frame 0.
        run(LUMOX, "convert", rec, "--to", "png16", "--frames", "0:1", "--keep-codes", "--out",
            "c16", cwd=d)
        png = cv2.imread(os.path.join(d, "c16", self.first(d, "c16", "depth")),
                         cv2.IMREAD_UNCHANGED)
        run(LUMOX, "convert", rec, "--to", "ply", "--frames", "0:1", "--organised", "--out",
            "cply", cwd=d)
        ply = read_ply(os.path.join(d, "cply", self.first(d, "cply", "points")))
        out["convert"] = (png, ply.reshape(H, W, 3))

        # The viewer: /frame's millimetres, and its cloud as the page (and Snapshot PLY) makes
        # it: the /rays vector of each pixel times its distance.
        out["view"] = self.viewer(d, rec, calib)

        # Python.
        npz = os.path.join(d, "py.npz")
        env = dict(os.environ)
        run(VCAM, "--play", rec, *PLAY, "--", sys.executable, "-c", PYTHON_DOOR, calib, npz,
            cwd=d, env=env)
        got = np.load(npz)
        self.assertIn(str(got["kind"]), ("host", "firmware"))
        out["python"] = (got["mm"], got["points"])
        return out

    @staticmethod
    def first(d, sub, stem):
        return sorted(n for n in os.listdir(os.path.join(d, sub)) if n.startswith(stem))[0]

    @staticmethod
    def organise(mm, packed):
        grid = np.full((H, W, 3), np.nan, np.float32)
        has = (mm > 0) & (mm < 60000)
        grid[has] = packed
        return grid

    def viewer(self, d, rec, calib):
        proc = subprocess.Popen([VCAM, "--play", rec, *PLAY, "--", LUMOX, "view", "--port", "0",
                                 "--calib", calib], cwd=d, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, start_new_session=True)
        try:
            line = ""
            for line in proc.stdout:
                if "serving http" in line:
                    break
            url = re.search(r"http://[^/]+/", line).group(0)
            seq, deadline = 0, time.monotonic() + 120
            while seq < 4 and time.monotonic() < deadline:  # a fourth decode, as the other doors
                with urllib.request.urlopen(f"{url}frame?after={seq}", timeout=30) as r:
                    body = r.read()
                if len(body) >= 12:  # 204: no newer frame yet
                    header_size, seq = (int(v) for v in np.frombuffer(body[4:12], "<u4"))
            self.assertGreaterEqual(seq, 4)
            mm = np.frombuffer(body[header_size:header_size + 2 * W * H], "<u2").reshape(H, W)
            with urllib.request.urlopen(f"{url}rays?w={W}&h={H}", timeout=30) as r:
                rays = np.frombuffer(r.read(), "<f4").reshape(H, W, 3)
            with urllib.request.urlopen(f"{url}stats", timeout=30) as r:
                stats = json.loads(r.read())
            self.assertIn("correction", stats["calibration"])
            self.assertIn(stats["calibration"]["correction"], ("host", "firmware"))
            self.assertTrue(stats["calibration"]["files_match"])
        finally:
            os.killpg(proc.pid, 2)
            proc.wait(timeout=60)
            proc.stdout.close()
        has = (mm > 0) & (mm < 60000)
        pts = np.full((H, W, 3), np.nan, np.float32)
        pts[has] = (rays[has] * (mm[has, None] / 1000.0)).astype(np.float32)
        return mm, pts

    def depth_noise(self, name, pixels):
        """The depth noise of `pixels` (mm): their spread over the recording's frames."""
        d = os.path.join(self.dir, name)
        run(LUMOX, "convert", "rec.h5", "--to", "lx", "--out", "lx", cwd=d)
        frames = read_frames(os.path.join(d, "lx/distance.lx")).astype(np.float64) * 1000
        ok = pixels & np.all((frames > 0) & (frames < 60000), axis=0)
        return float(np.sqrt(np.mean(np.var(frames[:, ok], axis=0, ddof=1))))

    def check(self, doors, wall=True):
        mm0, pts0 = doors["convert"]
        has = (mm0 > 0) & (mm0 < 60000)
        self.assertGreater(has.mean(), 0.9)
        for name, (mm, pts) in doors.items():
            with self.subTest(door=name):
                self.assertTrue(np.array_equal(mm, mm0), f"{name}: {np.sum(mm != mm0)} pixels differ")
                self.assertTrue(np.array_equal(np.isnan(pts[..., 2]), ~has))
                np.testing.assert_allclose(pts[has], pts0[has], rtol=2e-6, atol=1e-6)
        if wall:
            centre = mm0[H // 2 - 5:H // 2 + 5, W // 2 - 5:W // 2 + 5].astype(float)
            self.assertLess(abs(np.median(centre) - 2000), 10)
        return mm0, pts0, has

    def test_wall_and_room_on_firmware_2_and_1_9(self):
        for product in ("LXC660-E2-2.0.3", "LXC660-E2-1.9.0"):
            with self.subTest(product=product):
                tag = product[-5:]
                mm, pts, has = self.check(self.doors("wall" + tag, product, "wall:2000"))
                # The wall's points are flat: a plane fits them to within the noise of their
                # distances (their spread about the wall's own distance along each ray).
                inner = has.copy()
                inner[:20], inner[-20:], inner[:, :20], inner[:, -20:] = False, False, False, False
                rms = plane_rms(pts[inner].astype(np.float64)) * 1000
                noise = self.depth_noise("wall" + tag, inner)
                print(f"{product} wall: plane-fit rms {rms:.2f} mm, depth noise {noise:.2f} mm")
                self.assertLess(rms, 1.5 * noise)
                self.check(self.doors("room" + tag, product, "room"), wall=False)

    def test_a_lens_file_of_its_own_is_used_by_every_door(self):
        lens = "160\n120\n300\n300\n-0.1\n0.01\n0\n0\n0\n320\n240\n"
        _, pts, has = self.check(self.doors("lens", "LXC660-E2-2.0.3", "wall:2000", lens),
                                 wall=True)
        # fx 300: the widest point of the cloud is narrower than the sensor's own lens gives.
        widest = np.nanmax(np.abs(pts[..., 0] / pts[..., 2]))
        self.assertLess(widest, 0.62)


if __name__ == "__main__":
    unittest.main(verbosity=2)
