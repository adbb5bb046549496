"""The open camera: identity, parameters, registers, filters, capture and conversion."""

from __future__ import annotations

import contextlib
import os
import struct
import threading
from typing import Callable, Iterator, Optional, Tuple, Union

import numpy as np

from . import _lumox
from ._types import (CameraInfo, Correction, Error, Filter, Frame, Intrinsics, Param, Target,
                     _frame)

ParamKey = Union[Param, int, str]

# Known layouts of parameter values (little-endian); others are plain bytes.
_PARAM_FORMATS = {
    Param.MODE: "<B",
    Param.OP_MODE: "<B",
    Param.FRAME_RATE: "<I",
    Param.INTG_TIME: "<H",
}
_PARAM_TEXT = {Param.PRODUCT, Param.ID2}

# Argument of each filter switch: struct format, or None for a switch without one.
_FILTER_ARGS = {
    Filter.LENS_UNDISTORT: None,
    Filter.DRNU: "<B",
    Filter.DEPTH_SMOOTH: "<B",
    Filter.MIN_AMPLITUDE: "<H",
    Filter.AUTO_INTEGRATION: "<H",
    Filter.DCS_SUM_CHECK: "<H",
    Filter.TEMP_MONITOR: "<H",
    Filter.HDR: None,
}


def param_id(key: ParamKey) -> int:
    """A parameter identifier from a number, a :class:`Param`, or a name such as
    ``"FRAME_RATE"``, ``"frame_rate"`` or ``"LUMOX_PARAM_FRAME_RATE"``."""
    if isinstance(key, str):
        name = key.upper().removeprefix("LUMOX_PARAM_")
        try:
            return Param[name].value
        except KeyError:
            raise KeyError(f"no parameter named {key!r}") from None
    if isinstance(key, (int, np.integer)) and 0 <= int(key) <= 0xFFFFFFFF:
        return int(key)
    raise KeyError(f"not a parameter: {key!r}")


class Parameters:
    """Camera parameters by name or number: ``cam.params["frame_rate"]``, ``cam.params[12]``.

    Reading decodes the known layouts (integers, text, the temperatures and chip information as
    tuples) and gives the other values as bytes; ``get_bytes`` always gives bytes. Assigning an
    integer to a known parameter writes its width; otherwise assign bytes.
    """

    def __init__(self, device: "_lumox.Device"):
        self._dev = device

    def get_bytes(self, key: ParamKey) -> bytes:
        return self._dev.param_get(param_id(key))

    def set_bytes(self, key: ParamKey, value: bytes) -> None:
        self._dev.param_set(param_id(key), bytes(value))

    def __getitem__(self, key: ParamKey):
        pid = param_id(key)
        raw = self._dev.param_get(pid)
        fmt = _PARAM_FORMATS.get(pid)
        if fmt and len(raw) >= struct.calcsize(fmt):
            return struct.unpack_from(fmt, raw)[0]
        if pid in _PARAM_TEXT:
            return raw.split(b"\0", 1)[0].decode("ascii", "replace")
        if pid == Param.TEMPERATURE:
            return tuple(v / 10 for v in struct.unpack(f"<{len(raw) // 2}h", raw[: len(raw) // 2 * 2]))
        if pid == Param.CHIP_INFO and len(raw) >= 6:
            return struct.unpack_from("<3H", raw)
        return raw

    def __setitem__(self, key: ParamKey, value) -> None:
        pid = param_id(key)
        if isinstance(value, (bytes, bytearray)):
            self._dev.param_set(pid, bytes(value))
            return
        fmt = _PARAM_FORMATS.get(pid)
        if fmt is None:
            raise TypeError(f"parameter {pid} takes bytes")
        try:
            self._dev.param_set(pid, struct.pack(fmt, value))
        except struct.error as e:
            raise ValueError(f"parameter {pid}: {e}") from None


class Registers:
    """Registers by number: ``cam.registers[129]`` reads one sensor register,
    ``cam.registers.read(129, 2)`` several, ``cam.registers[129] = 7`` writes. Other targets
    through ``read(..., target=)`` and ``write(..., target=)``."""

    def __init__(self, device: "_lumox.Device"):
        self._dev = device

    def read(self, address: int, count: int = 1, target: int = Target.SENSOR) -> np.ndarray:
        """``count`` 32-bit register values from ``address`` on."""
        return self._dev.reg_read(int(target), int(address), int(count))

    def write(self, address: int, values, target: int = Target.SENSOR) -> None:
        """Writes one value or a sequence of values from ``address`` on."""
        self._dev.reg_write(int(target), int(address), np.atleast_1d(np.asarray(values, np.uint32)))

    def __getitem__(self, address: int) -> int:
        return int(self.read(address)[0])

    def __setitem__(self, address: int, value: int) -> None:
        self.write(address, [value])


class Filters:
    """The sensor driver's processing steps, switched by name.

    ``cam.filters.depth_smooth = 5`` enables a step with its argument, ``= True`` enables a step
    without one, ``= False`` disables it; ``enable(Filter.X, arg)`` and ``disable(Filter.X)`` do
    the same by identifier. The driver cannot be asked for its state, so reading an attribute
    gives what was last set through this object (None: left at the driver's default).
    """

    def __init__(self, device: "_lumox.Device"):
        object.__setattr__(self, "_dev", device)
        object.__setattr__(self, "_set", {})

    def enable(self, step: Union[Filter, int, str], arg: Optional[int] = None) -> None:
        step = self._step(step)
        fmt = _FILTER_ARGS.get(step)
        if fmt is None:
            if arg not in (None, True):
                raise ValueError(f"{step.name} takes no argument")
            packed = b""
        else:
            if arg is None or isinstance(arg, bool):
                raise ValueError(f"{step.name} needs an argument")
            try:
                packed = struct.pack(fmt, arg)
            except struct.error as e:
                raise ValueError(f"{step.name}: {e}") from None
        self._dev.filter(int(step), True, packed)
        self._set[step] = True if arg is None else arg

    def disable(self, step: Union[Filter, int, str]) -> None:
        step = self._step(step)
        self._dev.filter(int(step), False, b"")
        self._set[step] = False

    @staticmethod
    def _step(step) -> Filter:
        if isinstance(step, str):
            try:
                return Filter[step.upper()]
            except KeyError:
                raise AttributeError(f"no filter named {step!r}") from None
        return Filter(step)

    def __getattr__(self, name: str):
        step = self._step(name)
        return self._set.get(step)

    def __setattr__(self, name: str, value) -> None:
        if value is False:
            self.disable(name)
        else:
            self.enable(name, None if value is True else value)

    def __dir__(self):
        return [f.name.lower() for f in Filter] + ["enable", "disable"]


class Camera:
    """An open camera. Use as a context manager (``with lumox.open() as cam:``) or call
    :meth:`close`. Every method raises :class:`lumox.Error` once the camera is closed."""

    def __init__(self, device: "_lumox.Device", buffer_frames: int = 10):
        self._dev = device
        self._buffer_frames = buffer_frames
        # The thread running a polling call (capture, frames, wait), or None. A second thread's
        # call is refused before it starts or stops anything, as the library refuses a second
        # poller without disturbing the first.
        self._poller = None
        self._poller_lock = threading.Lock()
        self.params = Parameters(device)
        self.registers = Registers(device)
        self.filters = Filters(device)

    # ---- lifecycle ----

    def close(self) -> None:
        """Stops a running capture and closes the camera; closing twice does nothing."""
        self._dev.close()

    @property
    def closed(self) -> bool:
        return not self._dev.is_open

    def __enter__(self) -> "Camera":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __repr__(self) -> str:
        if self.closed:
            return "<lumox.Camera closed>"
        i = self.info
        return f"<lumox.Camera {i.bus}:{i.port} {i.product}>"

    @property
    def info(self) -> CameraInfo:
        """Location, identity strings and driver of the camera."""
        return CameraInfo(**self._dev.info())

    # ---- capture ----

    @contextlib.contextmanager
    def _polling(self, call: str):
        me = threading.get_ident()
        with self._poller_lock:
            if self._poller not in (None, me):
                raise Error("another thread is polling this camera", 0, call)
            outer = self._poller == me  # a callback of this thread's poll: the library refuses
            self._poller = me
        try:
            yield
        finally:
            if not outer:
                with self._poller_lock:
                    self._poller = None

    def start(self, buffer_frames: Optional[int] = None) -> None:
        """Starts streaming. ``buffer_frames`` frames (default 10) wait in the library for
        :meth:`frames`, :meth:`capture` or :meth:`wait`; more are dropped and counted in
        :meth:`stats`."""
        if buffer_frames is not None:
            self._buffer_frames = buffer_frames
        if self._dev.capturing:
            self._dev.stop()
        self._dev.set_buffer_frames(self._buffer_frames)
        self._dev.start()

    def stop(self) -> None:
        """Stops streaming (frames still waiting are dropped)."""
        self._dev.stop()

    @property
    def capturing(self) -> bool:
        return self._dev.capturing

    def stats(self) -> dict:
        """Counters of the frame stream since the capture started."""
        return self._dev.stats()

    def frames(self) -> Iterator[Frame]:
        """Yields frames as they arrive; starts the capture when it is not running and then
        stops it again when the loop ends. Ends when the capture stops (:meth:`stop`,
        :meth:`close`); a capture error or a camera that sends nothing raises :class:`Error`.
        The thread polls only while it waits for the next frame: between frames, and in a
        loop that is left unfinished, another thread may poll."""
        with self._polling("lumox_cap_get_frames"):
            started = not self._dev.capturing
            if started:
                self.start()
        try:
            while True:
                got = None  # the previous frame's buffer may be recycled while polling
                with self._polling("lumox_cap_get_frames"):
                    try:
                        got = self._dev.next_frame()
                    except Error:
                        if self.closed:  # closed by another thread during the loop
                            return
                        raise
                if got is None:
                    return
                yield Frame(*got)
        finally:
            if started and not self.closed:
                self._dev.stop()

    def capture(self, n: int) -> list:
        """``n`` consecutive frames (starting and stopping the capture when it is not running)."""
        if n < 0:
            raise ValueError("n must not be negative")
        out = []
        with self._polling("lumox_cap_get_frames"):
            started = not self._dev.capturing
            if started:
                self.start(max(self._buffer_frames, min(n, 1000)))
            try:
                while len(out) < n:
                    got = self._dev.next_frame()
                    if got is None:
                        raise Error(f"the capture stopped after {len(out)} of {n} frames", 0,
                                    "lumox_cap_get_frames")
                    out.append(Frame(*got))
            finally:
                if started and not self.closed:
                    self._dev.stop()
        return out

    def on_frame(self, callback: Optional[Callable[[Frame], None]]) -> None:
        """Calls ``callback(frame)`` for every frame delivered, on the thread that runs
        :meth:`wait`, :meth:`frames` or :meth:`capture` (then it also gets the frames those
        return, and takes every further frame that is ready). The frame is a copy the callback
        may keep. An exception in the callback ends the polling call and is raised from it.
        ``None`` removes the callback."""
        self._dev.set_frame_callback(callback, _frame)

    def on_error(self, callback: Optional[Callable[[int, int], bool]]) -> None:
        """Calls ``callback(code, arg)`` with a capture error before it is reported (code 3
        with the discarded frame count, or a negative error); return False to stop the capture."""
        self._dev.set_error_callback(callback)

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Delivers frames to the :meth:`on_frame` callback for ``timeout`` seconds (None: until
        the capture ends). True when the capture ended."""
        ms = 0 if timeout is None else max(1, int(timeout * 1000))
        with self._polling("lumox_cap_wait"):
            return self._dev.wait(ms)

    # ---- conversion ----

    def distance(self, frame: Frame, out: Optional[np.ndarray] = None, raw: bool = False) -> np.ndarray:
        """Distances in metres, float32 (height, width). Pixels without a distance are NaN, or
        with ``raw=True`` keep the library's codes (:data:`lumox.FILTERED`,
        :data:`lumox.SATURATED`, :data:`lumox.INVALID`). ``out`` is filled in place."""
        return self._dev.decode(True, frame.data, frame.info, out, raw)

    def gray(self, frame: Frame, out: Optional[np.ndarray] = None) -> np.ndarray:
        """Amplitudes, float32 (height, width); 0 for invalid pixels. ``out`` is filled in place."""
        return self._dev.decode(False, frame.data, frame.info, out, False)

    def distance_gray(self, frame: Frame, raw: bool = False) -> Tuple[np.ndarray, np.ndarray]:
        """:meth:`distance` and :meth:`gray` of the frame from one decode: about the cost of the
        distances alone."""
        return self._dev.decode_both(frame.data, frame.info, raw)

    def points(self, source: Union[Frame, np.ndarray], organized: bool = False,
               view: Optional[tuple] = None, pinhole: bool = False) -> np.ndarray:
        """Points (x, y, z) in metres, float32, in the camera's optical frame (x right, y down,
        z forward): (N, 3) for the pixels with a distance, or (height, width, 3) with NaN where
        a pixel has none (``organized=True``). ``source`` is a frame or a distance image from
        :meth:`distance`. Each point lies on its pixel's own ray through the lens (the lens
        distortion undone), at the pixel's distance. ``pinhole=True`` uses the library's pinhole
        projection of the pixel grid instead; ``view`` = (cx, cy, fx, fy, scale) gives it other
        lens parameters."""
        dist = self.distance(source) if isinstance(source, Frame) else source
        dist = np.ascontiguousarray(dist, np.float32)
        if pinhole or view is not None:
            return self._dev.points(dist, organized, view)
        return self._dev.ray_points(dist, organized)

    @property
    def intrinsics(self) -> Intrinsics:
        """The camera model of a full 320 x 240 frame (see :meth:`intrinsics_for`)."""
        return self.intrinsics_for(320, 240)

    def intrinsics_for(self, width: int, height: int) -> Intrinsics:
        """The camera model for a ``width`` x ``height`` frame: focal lengths and principal point
        in pixels, the "plumb_bob" distortion (k1, k2, p1, p2, k3) and the binning."""
        return Intrinsics(**self._dev.intrinsics(width, height))

    @property
    def correction(self) -> Correction:
        """The distance correction in force and why (``kind``: "default", "linear", "host" or
        "firmware"). The camera is opened with the best one its calibration allows."""
        return Correction(**self._dev.correction(False))

    @staticmethod
    def colorize(depth: np.ndarray, range=(0.0, 4.0), format: str = "rgb") -> np.ndarray:
        """See :func:`lumox.colorize`."""
        from . import colorize

        return colorize(depth, range, format)

    # ---- firmware, data and calibration ----

    def upgrade_firmware(self, path: Union[str, os.PathLike], version: int, type: int = 0,
                         progress: Optional[Callable[[int, int], None]] = None) -> None:
        """Writes a firmware image (type 0 or 1) when ``version`` is newer than the camera's.
        ``progress(done, total)`` gets the bytes sent. The camera then resets; the call returns
        after the library's 20 s wait (7 s for types 2 and 3). Do not unplug the camera before.
        Raises :class:`Error` with the library's reason; the camera keeps its previous image."""
        self.download(path, type=type, version=version, progress=progress)

    def download(self, path: Union[str, os.PathLike], type: int, version: int, address: int = 0,
                 progress: Optional[Callable[[int, int], None]] = None) -> None:
        """Writes an image file of any type into the camera's flash, reporting
        ``progress(done, total)``. Only a strictly newer version is written; the library
        compares it with the version the camera reports for its type 0 image, whatever the
        type written."""
        self._dev.data_download(os.fspath(path), int(type), int(version), int(address), progress)

    def upload(self, type: int, path: Union[str, os.PathLike],
               progress: Optional[Callable[[int, int], None]] = None) -> None:
        """Reads the camera's stored image of the type into the file ``path``."""
        self._dev.data_upload(int(type), os.fspath(path), progress)

    @property
    def calibration_files(self) -> dict:
        """Paths of this camera's calibration files under the library's calibration directory,
        {"parameters": ..., "distance_images": ...}, for the files that exist."""
        prefix = _lumox.path_get().replace("\\", "/")
        params, images = _lumox.calibration_names()
        files = {"parameters": os.path.join(prefix, params),
                 "distance_images": os.path.join(prefix, images)}
        return {k: v for k, v in files.items() if os.path.basename(v) and os.path.isfile(v)}
