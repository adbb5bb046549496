"""Capture, the frame-ready callback and the images decoded from frames."""
import threading
import time

import numpy as np
import pytest

import lumox


def test_capture_gives_consecutive_described_frames(cam):
    frames = cam.capture(5)
    assert not cam.capturing
    for a, b in zip(frames, frames[1:]):
        assert b.index == (a.index + 1) % 65536
        assert b.timestamp >= a.timestamp
    for f in frames:
        assert (f.info.width, f.info.height, f.info.format) == (320, 240, 2)
        assert f.data.dtype == np.uint8 and f.data.size == f.info.size
        assert all(-40 < t < 125 for t in f.temperatures)
    for f in cam.frames():
        assert cam.capturing
        break
    assert not cam.capturing  # the loop started the capture and stopped it


def test_callback_runs_python_and_raises_through_the_poll(cam):
    seen, errors = [], []

    def on_frame(frame):
        seen.append(frame)
        try:
            cam.capture(1)
        except lumox.Error as e:
            errors.append(e)

    cam.on_frame(on_frame)
    cam.start()
    assert not cam.wait(0.3)  # still capturing after the time-out
    deadline = time.monotonic() + 30
    while len(seen) < 3 and time.monotonic() < deadline:
        cam.wait(0.1)
    assert len(seen) >= 3 and errors and "callback" in errors[0].message
    # The frames are the callback's own copies and decode like polled ones.
    assert np.isfinite(cam.distance(seen[0])).any()

    def broken(frame):
        raise KeyError("from the callback")

    cam.on_frame(broken)
    with pytest.raises(KeyError, match="from the callback"):
        cam.wait(30)
    cam.on_frame(None)
    a, b = cam.capture(2)
    assert b.index == (a.index + 1) % 65536
    cam.stop()
    assert cam.wait(1)  # nothing left to wait for


def test_distance_codes_and_in_place_output(cam, frame):
    depth = cam.distance(frame)
    assert depth.dtype == np.float32 and depth.shape == (240, 320)
    valid = np.isfinite(depth)
    assert valid.mean() > 0.5
    assert 0.2 < depth[valid].min() <= depth[valid].max() < 10
    raw = cam.distance(frame, raw=True)
    assert np.array_equal(raw[valid], depth[valid])
    assert np.isin(raw[~valid], [lumox.FILTERED, lumox.SATURATED, lumox.INVALID]).all()
    out = np.full((240, 320), -1, np.float32)
    assert cam.distance(frame, out=out) is out
    assert np.array_equal(out, depth, equal_nan=True)
    gray = cam.gray(frame)
    assert gray.shape == (240, 320) and gray.min() >= 0 and gray[valid].mean() > 0
    both = cam.distance_gray(frame)
    assert np.array_equal(both[0], depth, equal_nan=True) and np.array_equal(both[1], gray)


def test_points_lie_on_the_pixel_rays(cam, frame):
    depth = cam.distance(frame)
    valid = np.isfinite(depth)
    packed = cam.points(depth)
    assert packed.shape == (valid.sum(), 3) and packed.dtype == np.float32
    grid = cam.points(frame, organized=True)
    assert grid.shape == (240, 320, 3)
    assert np.array_equal(np.isnan(grid[..., 0]), ~valid)
    assert np.array_equal(grid[valid], packed)  # row-major order, no gaps
    # The distance is measured along the ray: each point lies at its pixel's distance.
    np.testing.assert_allclose(np.linalg.norm(grid[valid], axis=1), depth[valid], rtol=1e-4)
    assert (grid[valid][:, 2] > 0).all()
    # The lens bends the rays: the rays undo it, the pinhole projection of the grid does not.
    lens = cam.intrinsics
    assert lens.distortion_model == "plumb_bob" and (lens.width, lens.height) == (320, 240)
    assert lens.d[0] < 0 and cam.intrinsics_for(160, 120).fx == lens.fx / 2
    r, c = np.argwhere(valid)[0]  # the first pixel with a distance, near the top-left corner
    assert abs(grid[r, c, 0] / grid[r, c, 2]) > 1.2 * abs((c - lens.cx) / lens.fx)
    pinhole = cam.points(depth, organized=True, pinhole=True)
    assert np.array_equal(np.isnan(pinhole[..., 0]), ~valid)
    assert not np.allclose(pinhole[valid], packed, atol=0.01)
    # A pinhole of the caller's: the image centre looks straight ahead.
    centre = cam.points(np.full((3, 3), 2.0, np.float32), organized=True, view=(1, 1, 100, 100, 1))
    np.testing.assert_allclose(centre[1, 1], [0, 0, 2])
    assert cam.correction.kind in ("default", "linear", "host", "firmware")


def test_colorize_maps_near_to_red_and_far_to_blue():
    depth = np.array([[0.6, 3.4, np.nan, 9.0]], np.float32)
    rgb = lumox.colorize(depth, (0.5, 3.5))
    assert rgb.shape == (1, 4, 3) and rgb.dtype == np.uint8
    near, far, missing, beyond = rgb[0].astype(int)
    assert near[0] > near[2] and far[2] > far[0]
    assert not missing.any() and not beyond.any()
    assert np.array_equal(lumox.colorize(depth, (0.5, 3.5), "bgr"), rgb[..., ::-1])
    assert lumox.colorize(depth, (0.5, 3.5), "rgbx").shape == (1, 4, 4)
    with pytest.raises(ValueError):
        lumox.colorize(depth, (0.5, 3.5), "hsv")


def test_close_from_another_thread_ends_a_frame_loop():
    cam = lumox.open()
    two = threading.Event()
    closer = threading.Thread(target=lambda: (two.wait(30), cam.close()))
    closer.start()
    seen = []
    for f in cam.frames():  # blocks in the library between frames, until the close
        seen.append(f.index)
        if len(seen) == 2:
            two.set()
    closer.join()
    assert cam.closed and len(seen) >= 2
