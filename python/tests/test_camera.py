"""Listing, opening, identity, parameters, registers, filters and misuse of a closed camera."""
import numpy as np
import pytest

import lumox


def test_devices_name_the_camera_that_opens():
    (dev,) = lumox.devices()
    assert dev.product.count("-") == 2 and dev.serial
    for name in (dev, f"{dev.bus}:{dev.port}", (dev.bus, dev.port), None):
        with lumox.open(name) as cam:
            info = cam.info
            assert (info.bus, info.port, info.product, info.serial) == (
                dev.bus, dev.port, dev.product, dev.serial)
            assert info.driver_code == dev.product.split("-")[1]
            # An open camera is listed from its record, not opened a second time.
            assert lumox.devices() == [dev]
    with pytest.raises(ValueError):
        lumox.open("first")
    with pytest.raises(lumox.Error, match="no camera at 9:9"):
        lumox.open("9:9")


def test_open_by_serial():
    (dev,) = lumox.devices()
    with lumox.open(serial=dev.serial) as cam:
        assert (cam.info.serial, cam.info.bus, cam.info.port) == (dev.serial, dev.bus, dev.port)
    with pytest.raises(lumox.Error, match="no camera with serial NOPE"):
        lumox.open(serial="NOPE")
    with pytest.raises(ValueError):
        lumox.open(dev, serial=dev.serial)


def test_parameters_by_name_and_number(cam):
    rate = cam.params["frame_rate"]
    assert rate == cam.params[12] == cam.params[lumox.Param.FRAME_RATE] == \
        cam.params["LUMOX_PARAM_FRAME_RATE"] > 0
    cam.params["frame_rate"] = rate + 5
    assert cam.params["FRAME_RATE"] == rate + 5
    assert cam.params.get_bytes(12)[:4] == (rate + 5).to_bytes(4, "little")
    cam.params["frame_rate"] = rate
    assert cam.params["product"] == cam.info.product
    assert all(-40 < t < 125 for t in cam.params["temperature"])
    with pytest.raises(KeyError):
        cam.params["no_such_parameter"]
    with pytest.raises(ValueError):
        cam.params["intg_time"] = 70000  # a 16-bit value
    with pytest.raises(TypeError):
        cam.params["id5"] = 3  # takes bytes


def test_registers_by_number(cam):
    cam.registers.write(10, [0xDEADBEEF, 7], target=2)
    assert list(cam.registers.read(10, 2, target=2)) == [0xDEADBEEF, 7]
    cam.registers.write(12, 5, target=2)
    assert cam.registers.read(12, target=2)[0] == 5
    block = cam.registers.read(0, 4)  # sensor registers by default
    assert block.dtype == np.uint32 and [cam.registers[i] for i in range(4)] == list(block)
    with pytest.raises(ValueError):
        cam.registers.read(0, 0)


def test_filters_by_name(cam):
    cam.filters.depth_smooth = 5
    cam.filters.enable(lumox.Filter.MIN_AMPLITUDE, 20)
    cam.filters.lens_undistort = True
    cam.filters.hdr = False
    assert (cam.filters.depth_smooth, cam.filters.min_amplitude, cam.filters.hdr) == (5, 20, False)
    assert cam.filters.auto_integration is None
    with pytest.raises(ValueError):
        cam.filters.depth_smooth = True  # needs its size
    with pytest.raises(ValueError):
        cam.filters.enable("hdr", 3)
    with pytest.raises(AttributeError):
        cam.filters.sharpen = True


def test_misuse_raises_with_the_library_text(cam):
    # One EPC camera per process: the fixture's camera is the one misused.
    frame = cam.capture(1)[0]
    cam.start()
    with pytest.raises(lumox.Error) as e:
        cam._dev.set_buffer_frames(4)  # refused while capturing
    assert "not allowed" in e.value.message and e.value.call == "lumox_cap_set_frame_buffer"
    with pytest.raises(ValueError):
        cam.distance(frame, out=np.empty((240, 320), np.float64))
    with pytest.raises(ValueError):
        cam.distance(frame, out=np.empty((320, 240), np.float32))
    short = lumox.Frame(frame.data[:1000], frame.info, frame.timestamp)
    with pytest.raises(ValueError):
        cam.distance(short)
    cam.close()
    cam.close()  # twice is fine
    assert cam.closed
    for use in (lambda: cam.info, lambda: cam.params["mode"], lambda: cam.capture(1),
                lambda: cam.distance(frame), lambda: cam.registers[0], cam.start,
                lambda: cam.on_frame(print)):
        with pytest.raises(lumox.Error, match="closed"):
            use()
