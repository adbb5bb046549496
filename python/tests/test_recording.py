"""Recordings written from Python: read back into numpy, and replayed by the virtual camera's
own reader as the recorded camera."""
import os
import subprocess
import sys

import numpy as np
import pytest

import lumox

pytest.importorskip("h5py")

REPLAY = """
import sys, numpy as np, lumox
cam = lumox.open()
frames = cam.capture(int(sys.argv[2]))
print(cam.info.product, cam.info.serial)
np.save(sys.argv[1], np.stack([f.data for f in frames]))
"""


def test_recording_round_trip_and_replay(cam, tmp_path):
    path = tmp_path / "run.h5"
    with lumox.recording.Writer(path, cam) as rec:
        frames = cam.capture(4)
        for f in frames:
            rec.append(f)
        with pytest.raises(ValueError):
            rec.append(lumox.Frame(f.data[:100], f.info, f.timestamp))
    header, raw, info, wall = lumox.recording.read(path)
    assert raw.shape == (4, frames[0].info.size) and raw.dtype == np.uint8
    assert np.array_equal(raw, np.stack([f.data for f in frames]))
    assert list(info["frame_idx"]) == [f.index for f in frames]
    np.testing.assert_allclose(wall, [f.timestamp for f in frames], atol=1e-6)
    assert header["camera"]["product"] == cam.info.product
    assert header["camera"]["parameters"][lumox.Param.FRAME_RATE] == \
        cam.params.get_bytes("frame_rate")
    with lumox.recording.Reader(path) as rec:
        again = list(rec)
    assert [f.info for f in again] == [f.info for f in frames]
    assert np.array_equal(cam.distance(again[2]), cam.distance(frames[2]), equal_nan=True)

    vcam = os.environ.get("LUMOX_VCAM")
    if not vcam:
        pytest.skip("LUMOX_VCAM (the lumox-vcam launcher) not given")
    # A launcher of its own, outside this test's emulated bus.
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "UMOCKDEV_DIR", "LUMOX_VCAM_REEXEC")}
    out = tmp_path / "replayed.npy"
    run = subprocess.run([vcam, "--play", str(path), "--unpaced", "--", sys.executable, "-c",
                          REPLAY, str(out), "4"], env=env, cwd=tmp_path, capture_output=True,
                         text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == [cam.info.product, cam.info.serial]
    assert np.array_equal(np.load(out), raw)
