"""Image transfers with progress, refusals with the library's reason, calibration fetch."""
import os

import pytest

import lumox


def test_data_round_trip_reports_progress(cam, tmp_path):
    image = os.urandom(3000)
    (tmp_path / "in.bin").write_bytes(image)
    steps = []
    cam.download(tmp_path / "in.bin", type=5, version=7, progress=lambda d, t: steps.append((d, t)))
    assert steps[0] == (0, 3000) and steps[-1] == (3000, 3000)
    assert all(a[0] <= b[0] for a, b in zip(steps, steps[1:]))
    back = []
    cam.upload(5, tmp_path / "out.bin", progress=lambda d, t: back.append(d))
    assert (tmp_path / "out.bin").read_bytes() == image and back[-1] == 3000


def test_refused_upgrade_carries_the_library_reason(cam, tmp_path):
    (tmp_path / "fw.bin").write_bytes(b"\x01" * 2048)
    with pytest.raises(lumox.Error) as e:
        cam.upgrade_firmware(tmp_path / "fw.bin", version=0)  # never newer than the camera's
    assert e.value.code == -1 and "Wrong version" in e.value.message
    with pytest.raises(lumox.Error):
        cam.upload(5, tmp_path / "no" / "such" / "dir" / "out.bin")
    with pytest.raises(ZeroDivisionError):
        cam.download(tmp_path / "fw.bin", type=6, version=1, progress=lambda d, t: 1 / 0)


def test_fetch_calibration(tmp_path):
    files = lumox.fetch_calibration(tmp_path / "cal")
    assert set(files) == {"parameters", "distance_images"}
    assert all(os.path.getsize(p) > 0 for p in files.values())
