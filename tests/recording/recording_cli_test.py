"""Recordings through the lumox tool and the virtual camera, read with common tools only.

A recording of a virtual camera is read with h5py alone; playing it back (lumox-vcam --play)
and recording again gives the same frames, identity and parameters; a recording ended by
SIGTERM to the launcher, or a capture ended by SIGINT, is complete; converted images read back in OpenCV and Open3D as the distances
the frame files hold; `lumox view --play` draws the recorded lens's rays.

Run by ctest with LUMOX_CLI and LUMOX_VCAM naming the two programs.
"""
import io
import os
import re
import resource
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest
import urllib.request
import zipfile

import cv2
import h5py
import numpy as np
import open3d as o3d

LUMOX = os.environ["LUMOX_CLI"]
VCAM = os.environ["LUMOX_VCAM"]
FRAMES = 100


def run(*args, cwd):
    done = subprocess.run(args, cwd=cwd, capture_output=True, text=True, timeout=300)
    if done.returncode != 0:
        raise AssertionError(f"{args} failed ({done.returncode}):\n{done.stdout}\n{done.stderr}")
    return done.stdout


def interrupt_after(args, lines, cwd, sig=signal.SIGINT, group=True):
    """Starts args, sends sig once `lines` frame lines were printed, to the process group (as a
    terminal's Ctrl-C does) or to the launcher alone; returns (status, output)."""
    proc = subprocess.Popen(args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, start_new_session=True)
    out = []
    for line in proc.stdout:
        out.append(line)
        if sum(l.startswith("frame") for l in out) >= lines:
            # The launcher passes the signal on to the tool, which stops and closes its files.
            (os.killpg if group else os.kill)(proc.pid, sig)
            break
    out.extend(proc.stdout)
    return proc.wait(timeout=60), "".join(out)


def with_file_limit(limit):
    """A child set-up that lets the child write files of at most `limit` bytes: writes beyond
    fail as on a full disk (EFBIG), with SIGXFSZ ignored."""
    def apply():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return apply


def frame_file(path):
    """Header text and samples of a frame file (LX_DIST,F32 or LX_GRAY,U16)."""
    data = open(path, "rb").read()
    nl = data.index(b"\n")
    kind, sample, w, h = data[:nl].decode().split(",")
    dtype = "<f4" if sample == "F32" else "<u2"
    return np.frombuffer(data[nl + 1:], dtype=dtype).reshape(-1, int(h), int(w))


def view_rays(args, cwd):
    """The rays (240, 320, 3) that `lumox view ARGS` serves for a 320 x 240 image."""
    proc = subprocess.Popen([LUMOX, "view", "--port", "0", *args], cwd=cwd,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            start_new_session=True)
    try:
        said = []
        for line in proc.stdout:
            said.append(line)
            if "serving http" in line:
                break
        url = re.search(r"http://[^/ ]+/", said[-1] if said else "")
        if not url:
            raise AssertionError("the viewer did not start:\n" + "".join(said))
        with urllib.request.urlopen(url.group(0) + "rays?w=320&h=240", timeout=60) as r:
            return np.frombuffer(r.read(), "<f4").reshape(240, 320, 3)
    finally:
        os.killpg(proc.pid, signal.SIGINT)
        proc.wait(timeout=60)
        proc.stdout.close()


class RecordingCli(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="lumox_rec_")
        # 20 frames/s: a rate a loaded test host keeps up with (record fails when frames are lost)
        run(VCAM, "--scene", "--calibration", "--fps", "20", "--", LUMOX, "record",
            "live.h5", "--frames", str(FRAMES), "--calib", "calib", "--filter", "4=30",
            "--compress", "1", cwd=cls.dir)
        cls.live = os.path.join(cls.dir, "live.h5")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def path(self, name):
        return os.path.join(self.dir, name)

    def test_h5py_reads_frames_and_metadata(self):
        with h5py.File(self.live, "r") as f:
            self.assertEqual(f.attrs["format"], "lumox recording")
            raw = f["frames/raw"]
            self.assertEqual(raw.shape, (FRAMES, 8 * 320 * 240))
            self.assertEqual(raw.chunks, (1, 8 * 320 * 240))
            self.assertEqual(raw.compression, "gzip")
            info, hdr = f["frames/info"][:], f["frames/raw_info"][:]
            self.assertTrue((info["frame_size"] == raw.shape[1]).all())
            self.assertTrue((info["frame_idx"] == hdr["fridx"]).all())
            self.assertTrue((info["width"] == 320).all() and (hdr["temp_sensor"] == 352).all())
            # 12-bit samples of four DCS planes
            self.assertLess(raw[FRAMES - 1].view("<u2").max(), 4096)
            mono, wall = f["frames/host_monotonic_ns"][:], f["frames/host_wall_ns"][:]
            self.assertTrue((np.diff(mono) > 0).all())
            self.assertTrue((np.diff(wall) > -10**9).all() and wall[0] > 1.6e18)
            cam = f["camera"]
            self.assertEqual(cam.attrs["product"], "LXC660-E2-2.0.3")
            params = {int(r[0]): bytes(r[2:2 + r[1]]) for r in cam["parameters"][:]}
            self.assertEqual(int.from_bytes(params[12], "little"), 20)  # frame rate
            self.assertEqual(f["capture"].attrs["filters"], "4=30")
            self.assertEqual(f["capture"].attrs["modulation_khz"], 12000)
            self.assertGreater(f["calibration/package"].shape[0], 17)
            self.assertEqual(len(f["calibration/files"]), 2)
            self.assertEqual(f["calibration/lens"].attrs["img_w"], 320)

    def test_playback_is_the_recorded_camera(self):
        info = run(VCAM, "--play", self.live, "--", LUMOX, "info", cwd=self.dir)
        self.assertIn("LXC660-E2-2.0.3", info)
        run(VCAM, "--play", self.live, "--", LUMOX, "record", "again.h5", "--frames",
            str(FRAMES), "--calib", "calib2", "--filter", "4=30", cwd=self.dir)
        with h5py.File(self.live, "r") as a, h5py.File(self.path("again.h5"), "r") as b:
            for name in ("frames/raw", "frames/info", "frames/raw_info", "camera/parameters",
                         "camera/id5", "camera/id6", "calibration/package"):
                self.assertTrue(np.array_equal(a[name][:], b[name][:]), name)
            self.assertEqual(dict(a["camera"].attrs), dict(b["camera"].attrs))
            for name in a["calibration/files"]:
                self.assertTrue(np.array_equal(a["calibration/files"][name][:],
                                               b["calibration/files"][name][:]), name)
            # played at the recorded pace: never faster (a loaded host may make it slower)
            span = lambda f: np.ptp(f["frames/host_monotonic_ns"][:])
            self.assertGreater(span(b) / span(a), 0.8)

    def test_recording_ended_through_the_launcher_holds_the_frames_received(self):
        # SIGTERM to lumox-vcam alone, as a service manager or `kill` sends it
        status, out = interrupt_after(
            [VCAM, "--scene", "--", LUMOX, "record", "cut.h5", "--seconds", "600"], 12,
            self.dir, sig=signal.SIGTERM, group=False)
        self.assertEqual(status, 0, out)
        self.assertIn("interrupted", out)
        received = int(out.split("recorded")[-1].split()[0])
        self.assertGreaterEqual(received, 12)
        with h5py.File(self.path("cut.h5"), "r") as f:
            self.assertEqual(f["frames/raw"].shape[0], received)
            self.assertEqual(f["frames/host_wall_ns"].shape[0], received)

    def test_full_disk_during_record_exits_1_and_keeps_every_frame_written(self):
        with h5py.File(self.live, "r") as f:
            header = f["calibration/package"].size + sum(
                d.size for d in f["calibration/files"].values())
            frame = f["frames/raw"].shape[1]
        limit = header + 200000 + 3 * frame + frame // 2  # the header, then a few frames
        done = subprocess.run([VCAM, "--scene", "--calibration", "--", LUMOX, "record", "full.h5",
                               "--frames", str(FRAMES), "--calib", "calib"],
                              cwd=self.dir, capture_output=True, text=True, timeout=300,
                              preexec_fn=with_file_limit(limit))
        self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
        said = re.search(r"cannot write frame (\d+) of '.*full\.h5': (.+); the file holds the "
                         r"(\d+) frames before it", done.stderr)
        self.assertIsNotNone(said, done.stderr)
        self.assertIn("File too large", said.group(2))
        held = int(said.group(3))
        self.assertGreater(held, 0)
        with h5py.File(self.path("full.h5"), "r") as f:
            self.assertEqual(f["frames/raw"].shape[0], held)
            self.assertEqual(f["frames/info"].shape[0], held)
            self.assertTrue(f["frames/raw"][held - 1].any())
            self.assertGreater(f["calibration/package"].size, 0)
        # The header itself does not fit: no file at all, and the same kind of message.
        done = subprocess.run([VCAM, "--scene", "--calibration", "--", LUMOX, "record", "none.h5",
                               "--frames", "5", "--calib", "calib"],
                              cwd=self.dir, capture_output=True, text=True, timeout=300,
                              preexec_fn=with_file_limit(4096))
        self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
        self.assertRegex(done.stderr, r"cannot write the header of '.*none\.h5': .+ \(no file made\)")
        self.assertFalse(os.path.exists(self.path("none.h5")))

    def test_recording_killed_outright_is_readable_up_to_its_last_frame(self):
        status, out = interrupt_after(
            [VCAM, "--scene", "--", LUMOX, "record", "killed.h5", "--seconds", "600"], 8,
            self.dir, sig=signal.SIGKILL)
        self.assertEqual(status, -signal.SIGKILL, out)
        with h5py.File(self.path("killed.h5"), "r") as f:
            frames = f["frames/raw"].shape[0]
            self.assertGreaterEqual(frames, 8)
            for name in ("frames/info", "frames/raw_info", "frames/host_wall_ns"):
                self.assertGreaterEqual(f[name].shape[0], frames, name)

    def test_interrupted_capture_leaves_a_complete_table(self):
        status, out = interrupt_after(
            [VCAM, "--", LUMOX, "capture", "--frames", "100000", "--out", "cap"], 5, self.dir)
        self.assertEqual(status, 0, out)
        rows = open(self.path("cap/frames.csv")).read().splitlines()
        header = rows[0].split(",")
        self.assertEqual(header[-2:], ["host_monotonic_ns", "host_wall_ns"])
        files = [r.split(",")[0] for r in rows[1:]]
        self.assertEqual(sorted(files), sorted(n for n in os.listdir(self.path("cap"))
                                               if n.endswith(".raw")))
        mono = [int(r.split(",")[-2]) for r in rows[1:]]
        self.assertEqual(mono, sorted(mono))

    def test_convert_takes_a_colour_range_and_blames_the_file_for_its_filters(self):
        run(LUMOX, "convert", self.live, "--to", "png", "--frames", "0:2", "--range", "500:3000",
            "--out", "c_range", cwd=self.dir)
        self.assertTrue(os.path.exists(self.path("c_range/depth_000001.png")))
        # A filter setting the file holds that does not parse is the file's fault: status 1,
        # named as the recording's, with no usage line.
        bad = self.path("bad_filter.h5")
        shutil.copy(self.live, bad)
        with h5py.File(bad, "r+") as f:
            f["capture"].attrs["filters"] = "4=zz"
        done = subprocess.run([LUMOX, "convert", bad, "--to", "csv", "--out", "c_bad"],
                              cwd=self.dir, capture_output=True, text=True, timeout=300)
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertIn("the recorded filter setting '4=zz' cannot be used", done.stderr)
        self.assertNotIn("usage", done.stderr)
        os.remove(bad)

    def test_interrupted_convert_says_so_and_removes_its_scratch_directory(self):
        tmp = tempfile.mkdtemp(prefix="tmpdir_", dir=self.dir)
        scratch = lambda: [n for n in os.listdir(tmp) if n.startswith("lumox_convert_")]
        out_dir = self.path("c_interrupted")
        proc = subprocess.Popen([LUMOX, "convert", self.live, "--to", "png", "--out", out_dir],
                                cwd=self.dir, env=dict(os.environ, TMPDIR=tmp),
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                start_new_session=True)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and proc.poll() is None and not (
                scratch() and os.path.isdir(out_dir) and len(os.listdir(out_dir)) >= 4):
            time.sleep(0.02)
        self.assertTrue(scratch(), "no scratch directory under $TMPDIR")
        os.killpg(proc.pid, signal.SIGINT)  # as a terminal's Ctrl-C
        out = proc.communicate(timeout=60)[0]
        self.assertEqual(proc.returncode, 130, out)
        self.assertRegex(out, r"interrupted +after \d+ of 100 frames")
        self.assertEqual(scratch(), [])

    def test_convert_removes_a_scratch_package_unpacked_into_subdirectories(self):
        # The camera's package may hold directories: convert unpacks it into its scratch
        # directory and must leave nothing of it behind.
        nested = self.path("nested_package.h5")
        shutil.copy(self.live, nested)
        with h5py.File(nested, "r+") as f:
            cal = f["calibration"]
            self.assertTrue(cal.attrs["fetched_at_open"])
            # A 17-byte header (flags, version, sizes, byte sum of the archive), then a zip.
            package = cal["package"][()].tobytes()
            archive = io.BytesIO(package[17:])
            with zipfile.ZipFile(archive, "a") as z:
                z.writestr("notes/", b"")
                z.writestr("notes/deeper/", b"")
                z.writestr("notes/deeper/readme.txt", b"x" * 100000)
            archive = archive.getvalue()
            header = package[:7] + struct.pack("<IIH", 17 + len(archive), len(archive),
                                               sum(archive) & 0xFFFF)
            del cal["package"]
            cal.create_dataset("package", data=np.frombuffer(header + archive, np.uint8))
        tmp = tempfile.mkdtemp(prefix="tmpdir_", dir=self.dir)
        done = subprocess.run([LUMOX, "convert", nested, "--to", "csv", "--frames", "0:2",
                               "--out", self.path("c_nested")], cwd=self.dir,
                              env=dict(os.environ, TMPDIR=tmp), capture_output=True, text=True,
                              timeout=300)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertIn("per-pixel", done.stdout)
        self.assertEqual(os.listdir(tmp), [])
        os.remove(nested)

    def test_converted_images_and_clouds_read_back(self):
        for target, extra in (("lx", []), ("png16", []), ("png", []), ("csv", []),
                              ("ply", []), ("ply", ["--organised"])):
            out = "c_" + target + "".join(extra)
            run(LUMOX, "convert", self.live, "--to", target, "--frames", "40:43", "--out", out,
                *extra, cwd=self.dir)
        dist = frame_file(self.path("c_lx/distance.lx"))
        gray = frame_file(self.path("c_lx/gray.lx"))
        self.assertEqual(dist.shape, (3, 240, 320))
        mm = np.rint(dist.astype(np.float64) * 1000)
        for k in range(3):
            depth = cv2.imread(self.path(f"c_png16/depth_{40 + k:06d}.png"), cv2.IMREAD_UNCHANGED)
            self.assertEqual(depth.dtype, np.uint16)
            expected = np.where(mm[k] >= 65300, 0, mm[k]).astype(np.uint16)
            self.assertTrue(np.array_equal(depth, expected))
            amp = cv2.imread(self.path(f"c_png16/amplitude_{40 + k:06d}.png"), cv2.IMREAD_UNCHANGED)
            self.assertTrue(np.array_equal(amp, gray[k]))
        self.assertTrue((mm[0] >= 65300).any() and (mm[0] < 3000).any())  # codes and distances
        colour = cv2.imread(self.path("c_png/depth_000040.png"), cv2.IMREAD_UNCHANGED)
        self.assertEqual((colour.shape, colour.dtype), ((240, 320, 3), np.uint8))
        rows = open(self.path("c_csv/frames.csv")).read().splitlines()
        self.assertEqual([r.split(",")[0] for r in rows[1:]], ["40", "41", "42"])
        with h5py.File(self.live, "r") as f:
            self.assertEqual(int(rows[1].split(",")[8]), f["frames/host_monotonic_ns"][40])

        valid = (dist[0] > 0) & (dist[0] < 60)
        cloud = o3d.io.read_point_cloud(self.path("c_ply/points_000040.ply"))
        self.assertEqual(len(cloud.points), int(valid.sum()))
        self.assertTrue(cloud.has_colors())
        organised = o3d.io.read_point_cloud(self.path("c_ply--organised/points_000040.ply"),
                                            remove_nan_points=False)
        points = np.asarray(organised.points).reshape(240, 320, 3)
        self.assertTrue(np.isnan(points[~valid]).all())
        self.assertTrue(np.array_equal(points[valid], np.asarray(cloud.points)))
        # z along the optical axis: the box stands in front of the wall
        self.assertLess(np.nanmin(points[..., 2]), np.nanmedian(points[..., 2]))

    def test_view_play_draws_the_recorded_lens_rays(self):
        # Recorded with a lens file of its own (fx 300); viewed from a directory whose
        # calibration holds another lens: the viewer's rays are the recorded lens's, those the
        # converted point cloud lies on.
        d = self.path("lens_view")
        for sub, lens in (("calib", "160\n120\n300\n300\n-0.1\n0.01\n0\n0\n0\n320\n240\n"),
                          ("other", "150\n110\n200\n210\n0\n0\n0\n0\n0\n320\n240\n")):
            os.makedirs(os.path.join(d, sub))
            with open(os.path.join(d, sub, "lens_param.txt"), "w") as f:
                f.write(lens)
        run(VCAM, "--scene", "--calibration", "--", LUMOX, "record", "lens.h5", "--frames", "3",
            "--calib", "calib", cwd=d)
        run(LUMOX, "convert", "lens.h5", "--to", "ply", "--frames", "0:1", "--organised",
            "--out", "ply", cwd=d)
        cloud = o3d.io.read_point_cloud(os.path.join(d, "ply/points_000000.ply"),
                                        remove_nan_points=False)
        points = np.asarray(cloud.points).reshape(240, 320, 3)
        valid = ~np.isnan(points[..., 2])
        self.assertGreater(valid.mean(), 0.5)
        rays = view_rays(["--play", "lens.h5", "--calib", "other"], cwd=d)
        expected = points[valid] / np.linalg.norm(points[valid], axis=1)[:, None]
        np.testing.assert_allclose(rays[valid], expected, atol=2e-5)

if __name__ == "__main__":
    unittest.main(verbosity=2)
