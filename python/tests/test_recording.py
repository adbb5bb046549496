"""Recordings written from Python and by the lumox tool, each read by the other through the one
recording library: a Python-written recording decoded by `lumox convert` and replayed by the
virtual camera, a CLI-written one read by Python and played back to Python with its own lens."""
import os
import subprocess
import sys

import numpy as np
import pytest

import lumox

REPLAY = """
import sys, numpy as np, lumox
cam = lumox.open()
frames = cam.capture(int(sys.argv[2]))
print(cam.info.product, cam.info.serial)
np.save(sys.argv[1], np.stack([f.data for f in frames]))
"""

PLAYED_LENS = """
import lumox
with lumox.open() as cam:
    print(cam.intrinsics.fx, cam.intrinsics.cx, lumox.calibration_dir())
"""


def tool(*args, cwd):
    """Runs a program outside this test's emulated bus (a launcher of its own)."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "UMOCKDEV_DIR", "LUMOX_VCAM_REEXEC", "LUMOX_PLAYBACK")}
    run = subprocess.run(args, env=env, cwd=cwd, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    return run.stdout


def needs(variable):
    value = os.environ.get(variable)
    if not value:
        pytest.skip(f"{variable} not given")
    return value


def test_python_recording_round_trip_decoded_by_convert_and_replayed(cam, tmp_path):
    path = tmp_path / "run.h5"
    with lumox.recording.Writer(path, cam) as rec:
        frames = cam.capture(4)
        for f in frames:
            rec.append(f)
        with pytest.raises(ValueError):
            rec.append(lumox.Frame(f.data[:100], f.info, f.timestamp))
        assert len(rec) == 4
    header, raw, info, wall = lumox.recording.read(path)
    assert raw.shape == (4, frames[0].info.size) and raw.dtype == np.uint8
    assert np.array_equal(raw, np.stack([f.data for f in frames]))
    assert list(info["frame_idx"]) == [f.index for f in frames]
    np.testing.assert_allclose(wall, [f.timestamp for f in frames], atol=1e-6)
    assert header["camera"]["product"] == cam.info.product
    assert header["camera"]["parameters"][lumox.Param.FRAME_RATE] == \
        cam.params.get_bytes("frame_rate")
    # The calibration as the tools record it: the camera's package, its files, the lens in force.
    cal = header["calibration"]
    assert len(cal["package"]) > 614400 and cal["package_version"] > 0
    assert {os.path.basename(p) for p in cam.calibration_files.values()} <= set(cal["files"])
    assert cal["lens"]["fx"] == pytest.approx(cam.intrinsics.fx * cam.intrinsics.binning_x)
    with lumox.recording.Reader(path) as rec:
        again = list(rec)
        assert np.array_equal(rec.raw[1:3], raw[1:3]) and np.array_equal(rec.raw[-1], raw[3])
    assert [f.info for f in again] == [f.info for f in frames]
    depth = cam.distance(frames[2], raw=True)
    assert np.array_equal(cam.distance(again[2], raw=True), depth)

    vcam = needs("LUMOX_VCAM")
    # lumox convert decodes the Python-written frames with the recorded calibration, as the
    # live camera did.
    tool(needs("LUMOX_CLI"), "convert", str(path), "--to", "lx", "--out", "lx", cwd=tmp_path)
    with open(tmp_path / "lx/distance.lx", "rb") as fh:
        data = fh.read()
    converted = np.frombuffer(data[data.index(b"\n") + 1:], "<f4").reshape(-1, 240, 320)
    assert np.array_equal(converted[2], depth)

    out = tmp_path / "replayed.npy"
    said = tool(vcam, "--play", str(path), "--unpaced", "--", sys.executable, "-c", REPLAY,
                str(out), "4", cwd=tmp_path)
    assert said.split() == [cam.info.product, cam.info.serial]
    assert np.array_equal(np.load(out), raw)


def test_cli_recording_read_by_python_and_played_back_with_its_lens(tmp_path):
    vcam, cli = needs("LUMOX_VCAM"), needs("LUMOX_CLI")
    calib = tmp_path / "calib"
    calib.mkdir()
    (calib / "lens_param.txt").write_text("160\n120\n300\n300\n-0.1\n0.01\n0\n0\n0\n320\n240\n")
    tool(vcam, "--scene", "--calibration", "--", cli, "record", "cli.h5", "--frames", "2",
         "--calib", str(calib), cwd=tmp_path)
    with lumox.recording.Reader(tmp_path / "cli.h5") as rec:
        assert len(rec) == 2 and rec.raw.shape[1] == rec.info[0]["frame_size"]
        cal = rec.header["calibration"]
        assert cal["lens"]["fx"] == 300 and len(cal["package"]) > 614400
        assert "lens_param.txt" in cal["files"]
        assert rec.header["capture"]["frame_rate"] > 0

    # Played back, Python decodes with the recording's lens, not a calibration directory's.
    fx, cx, where = tool(vcam, "--play", "cli.h5", "--unpaced", "--", sys.executable, "-c",
                         PLAYED_LENS, cwd=tmp_path).split()
    assert (float(fx), float(cx)) == (300.0, 160.0) and "lumox_playback_" in where
    assert not os.path.exists(where)  # the scratch directory went with the process

    # A damaged file is refused with the reader's reason, not a crash.
    data = bytearray((tmp_path / "cli.h5").read_bytes())
    bad = tmp_path / "bad.h5"
    bad.write_bytes(bytes(data[: len(data) // 3]))
    with pytest.raises(ValueError):
        lumox.recording.Reader(bad)
