"""lumox: USB time-of-flight depth cameras from Python, frames as numpy arrays.

    import lumox
    with lumox.open() as cam:                 # the first camera found
        for frame in cam.capture(10):
            depth = cam.distance(frame)       # float32 (240, 320), metres, NaN = no distance
            print(frame.index, np.nanmean(depth))

The package is a thin layer over the C library liblumox: every conversion fills a numpy array
in place through the library's own call, errors raise :class:`lumox.Error` with the library's
message and result code, and misuse (a closed camera, arrays of the wrong size or type) raises
instead of reaching the library.

The library starts on first use and writes no log file; call :func:`init` first to name one
(or set ``$LUMOX_LOG``) or to choose the console output.
"""

from __future__ import annotations

import atexit
import os
import re
import shutil
import tempfile
import threading
import time
import weakref
from typing import Callable, Optional, Union

import numpy as np

from . import _lumox, recording
from ._camera import Camera, Filters, Parameters, Registers
from ._types import (FILTERED, INVALID, SATURATED, CameraInfo, Correction, DeviceInfo, Error,
                     Filter, Frame, FrameInfo, HotplugEvent, Intrinsics, LogLevel, Param, Target)

__all__ = [
    "init", "devices", "open", "watch", "colorize", "fetch_calibration", "calibration_dir",
    "Camera", "Frame", "FrameInfo", "DeviceInfo", "CameraInfo", "Intrinsics", "Correction",
    "Watch", "HotplugEvent",
    "Error", "Param", "Filter",
    "Target", "LogLevel", "Parameters", "Registers", "Filters",
    "FILTERED", "SATURATED", "INVALID", "LIBRARY_VERSION", "recording",
]

LIBRARY_VERSION = _lumox.VERSION

_lock = threading.Lock()
_started = False
_calibration_dir_chosen = False  # by the caller; until then each camera uses its cache directory
_cameras: "weakref.WeakSet[Camera]" = weakref.WeakSet()
_watches: "weakref.WeakSet[Watch]" = weakref.WeakSet()


def init(log: Union[str, os.PathLike, None] = None, console: int = LogLevel.OFF) -> None:
    """Starts the library: its log goes to the file ``log`` (default ``$LUMOX_LOG``, else no log
    file), records of level ``console`` and above to standard output (default none: failures
    come back as exceptions with the library's text). Only the first call (or first use) takes
    effect."""
    global _started
    with _lock:
        if _started:
            return
        if log is None:
            log = os.environ.get("LUMOX_LOG") or ""
        _lumox.start(os.path.abspath(os.fspath(log)) if log else "", int(console))
        _started = True
        atexit.register(_finish)


def _finish() -> None:
    global _started
    for w in list(_watches):
        w.close()
    for cam in list(_cameras):
        cam.close()
    with _lock:
        if _started:
            _lumox.finish()
            _started = False


def _ensure_started() -> None:
    if not _started:
        init()


def devices() -> list:
    """The cameras on the bus, as :class:`DeviceInfo` (bus, port, address, speed, product,
    serial). Cameras open in this process report the identity read when they were opened."""
    _ensure_started()
    return [DeviceInfo(*d) for d in _lumox.devices()]


def open(device: Union[None, DeviceInfo, str, tuple] = None, calibration_dir=None,
         buffer_frames: int = 10, serial: Optional[str] = None) -> Camera:
    """Opens a camera: the first one found (None), a :class:`DeviceInfo` from :func:`devices`,
    ``"BUS:PORT"`` or ``(bus, port)``, or the camera whose serial is ``serial`` (wherever it is
    plugged in; give either ``device`` or ``serial``). With ``calibration_dir`` the library looks for the
    camera's calibration files there (and fetches them from the camera when missing); the setting
    is process-wide. Until one is given (here or by :func:`calibration_dir_set`) each camera keeps
    its files in its own directory of the user's cache (``$XDG_CACHE_HOME/lumox/SERIAL``, default
    ``~/.cache/lumox/SERIAL``), so no working directory gets them and a second program finds
    them; a camera played back from a recording (``lumox-vcam --play FILE``) uses the calibration
    and lens the recording was made with instead, in a scratch directory. Raises :class:`Error` with the library's reason when the camera cannot be opened."""
    _ensure_started()
    where = None
    if isinstance(device, DeviceInfo):
        where = (device.bus, device.port)
    elif isinstance(device, str):
        try:
            bus, port = (int(x) for x in device.split(":"))
        except ValueError:
            raise ValueError(f"a camera is named BUS:PORT, not {device!r}") from None
        where = (bus, port)
    elif isinstance(device, tuple):
        where = (int(device[0]), int(device[1]))
    elif device is not None:
        raise TypeError("device: None, DeviceInfo, 'BUS:PORT' or (bus, port)")
    if serial is not None:
        if device is not None:
            raise ValueError("give device or serial, not both")
        if not isinstance(serial, str) or not serial:
            raise ValueError("serial: the camera's serial text, as devices() lists it")
    if calibration_dir is not None:
        calibration_dir_set(calibration_dir)
    elif not _calibration_dir_chosen and recording.playing():
        _set_calibration_dir(_playback_calibration_dir())
    elif not _calibration_dir_chosen:
        cached = _cache_dir(where, serial)
        if cached is not None:
            _set_calibration_dir(cached)
    cam = Camera(_lumox.Device(where, serial), buffer_frames)
    _cameras.add(cam)
    return cam


_playback_dir: Optional[str] = None


def _playback_calibration_dir() -> str:
    """A scratch calibration directory holding the played-back recording's calibration and lens,
    made once per process and removed at exit."""
    global _playback_dir
    if _playback_dir is None:
        made = tempfile.mkdtemp(prefix="lumox_playback_")
        atexit.register(shutil.rmtree, made, True)
        recording.write_calibration(recording.playing(), made)
        _playback_dir = made
    return _playback_dir


_KINDS = {_lumox.HOTPLUG_ARRIVED: "arrived", _lumox.HOTPLUG_LEFT: "left"}
_SLICE_S = 0.25  # a wait for events is cut into slices so that Ctrl-C is seen


def _event(t: tuple) -> HotplugEvent:
    return HotplugEvent(_KINDS.get(t[0], str(t[0])), *t[1:])


class Watch:
    """Cameras of this product arriving and leaving, from :func:`watch`. Without a callback it is
    an iterator of :class:`HotplugEvent`; iteration ends when no event comes within ``timeout``
    seconds (None: it waits until :meth:`close`). The registration stays until :meth:`close`
    (or the end of a ``with`` block): events that come between two loops wait in its queue."""

    def __init__(self, timeout: Optional[float], enumerate: bool,
                 callback: Optional[Callable[[HotplugEvent], None]]):
        if timeout is not None and timeout < 0:
            raise ValueError("timeout: seconds, 0 or more (None: no end)")
        _ensure_started()
        self.timeout = timeout
        self._callback = callback
        wrapped = None if callback is None else (lambda t: callback(_event(t)))
        self._w = _lumox.Watch(wrapped, bool(enumerate))
        _watches.add(self)

    def __iter__(self) -> "Watch":
        if self._callback is not None:
            raise TypeError("a watch with a callback delivers its events to the callback")
        return self

    def __next__(self) -> HotplugEvent:
        if self._callback is not None:
            raise TypeError("a watch with a callback delivers its events to the callback")
        end = None if self.timeout is None else time.monotonic() + self.timeout
        while not self._w.closed:
            left = _SLICE_S if end is None else min(_SLICE_S, end - time.monotonic())
            t = self._w.next(max(0, int(left * 1000)))
            if t is not None:
                return _event(t)
            if end is not None and time.monotonic() >= end:
                break
        raise StopIteration

    def close(self) -> None:
        """Ends the registration: no callback runs after this returns (called inside this watch's
        own callback, once that callback returns). Closing twice does nothing."""
        self._w.close()

    @property
    def closed(self) -> bool:
        return self._w.closed

    def __enter__(self) -> "Watch":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def watch(timeout: Optional[float] = None, enumerate: bool = True,
          callback: Optional[Callable[[HotplugEvent], None]] = None) -> Watch:
    """Watches the bus for cameras plugged in and pulled out, first reporting the cameras
    attached now as arrivals (``enumerate=False``: only changes)::

        with lumox.watch(timeout=10) as events:
            for e in events:                  # ends after 10 s without an event
                print(e.kind, e.bus, e.port, e.serial)

        w = lumox.watch(callback=lambda e: print(e))   # runs on the library's hot-plug thread
        ...
        w.close()

    A callback runs on the library's hot-plug thread (not a thread of Python's), one event at a
    time in order; it may call anything in this package, open the camera that arrived and close
    its own watch, and should return promptly, since later events wait for it. An exception it
    raises is reported as unraisable and the watch goes on. Raises :class:`Error` where the USB
    stack cannot report cameras coming and going."""
    return Watch(timeout, enumerate, callback)


def calibration_dir() -> str:
    """The library's calibration directory (path prefix)."""
    _ensure_started()
    return _lumox.path_get()


def _cache_dir(where, serial: Optional[str] = None) -> Optional[str]:
    """The calibration directory in the user's cache of the camera at ``where`` (None: the
    first), named after its serial; None without a cache or a camera that names itself."""
    root = os.environ.get("XDG_CACHE_HOME", "")
    if not os.path.isabs(root):  # a relative one is to be ignored
        home = os.path.expanduser("~")
        if not os.path.isabs(home):
            return None
        root = os.path.join(home, ".cache")
    found = [d for d in devices() if (d.serial == serial if serial is not None else
                                      where is None or (d.bus, d.port) == tuple(where))]
    if not found:
        return None
    name = re.sub(r"[^A-Za-z0-9._-]", "_", found[0].serial)
    return os.path.join(root, "lumox", name if name not in ("", ".", "..") else "unknown")


def calibration_dir_set(path: Union[str, os.PathLike]) -> None:
    """Sets the library's calibration directory, creating it when needed."""
    global _calibration_dir_chosen
    _set_calibration_dir(path)
    _calibration_dir_chosen = True


def _set_calibration_dir(path: Union[str, os.PathLike]) -> None:
    _ensure_started()
    path = os.fspath(path)
    if not path.endswith("/"):
        path += "/"
    if _lumox.path_set(path) != 0:
        raise Error(f"cannot create the calibration directory {path!r}", -1, "lumox_path_cfg")


def fetch_calibration(directory: Union[str, os.PathLike], device=None) -> dict:
    """Downloads and unpacks the camera's own calibration into ``directory`` (opening a camera
    whose files are missing there fetches them) and returns the paths of the files, as
    :attr:`Camera.calibration_files`. Raises :class:`Error` when the camera gave none."""
    with open(device, calibration_dir=directory) as cam:
        files = cam.calibration_files
    if "distance_images" not in files:
        raise Error("the camera gave no usable calibration (see the library log)", 0,
                    "lumox_dev_open")
    return files


def colorize(depth: np.ndarray, range=(0.0, 4.0), format: str = "rgb") -> np.ndarray:
    """Pseudo-colours of a distance image (metres) through the library's colour map over
    ``range`` = (near, far) metres: uint8 (..., 3) for ``"rgb"`` and ``"bgr"``, (..., 4) for
    ``"rgbx"`` (the 32-bit colour word, fourth byte 0). Near distances are red, far blue;
    outside the range and NaN black, the saturated and invalid codes keep their marker colours. The range stays
    set for the library's other colour calls."""
    _ensure_started()
    formats = {"rgb": _lumox.CMAP_RGB24, "bgr": _lumox.CMAP_BGR24, "rgbx": _lumox.CMAP_RGB32}
    if format not in formats:
        raise ValueError(f"format is one of {sorted(formats)}")
    lo, hi = range
    return _lumox.colorize(np.ascontiguousarray(depth, np.float32), float(lo), float(hi),
                           formats[format])
