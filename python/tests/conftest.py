"""The package's tests run against a virtual camera: ctest starts pytest under
`lumox-vcam --scene --calibration`, so that the camera shows a box in front of a wall and carries
its sensor's calibration package. Scene distances are not fixed here: the tests check what must
hold for any scene (plausible ranges, agreement between the library's images)."""
import os

import pytest

import lumox


@pytest.fixture(scope="session", autouse=True)
def library(tmp_path_factory):
    work = tmp_path_factory.mktemp("lumox")
    lumox.init(log=work / "lumox.log")
    lumox.calibration_dir_set(work / "calib")
    if not lumox.devices():
        pytest.exit("no camera: run the tests under lumox-vcam (ctest does)", returncode=1)
    return work


@pytest.fixture
def cam():
    with lumox.open() as c:
        yield c


@pytest.fixture
def frame(cam):
    return cam.capture(1)[0]
