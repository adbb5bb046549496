"""Recordings: HDF5 files of raw frames as the camera delivered them, with the camera's identity,
parameters, calibration (package, files and lens) and the host's times, in the layout the `lumox`
tools and `lumox-vcam --play` use. Written and read by the same code as the tools (the recording
library, compiled into the package), which treats every file it reads as untrusted.

    with lumox.open() as cam, lumox.recording.Writer("run.h5", cam) as rec:
        for frame in cam.capture(100):
            rec.append(frame)

    with lumox.recording.Reader("run.h5") as rec:
        raw = rec.raw[:]                      # (N, frame bytes) uint8
        for frame in rec:                     # lumox.Frame objects, decodable by a camera
            ...

`lumox-vcam --play run.h5 -- python3 script.py` replays the recording as the recorded camera;
``lumox.open()`` then decodes with the recording's calibration and lens. h5py (or any HDF5 tool)
reads the files too; the README describes their layout.
"""

from __future__ import annotations

import os
import time
from typing import Iterator

import numpy as np

from . import _lumox
from ._camera import Camera
from ._types import Frame

FORMAT = "lumox recording"
FORMAT_VERSION = 1

#: Per-frame description and raw header information, as stored.
INFO_DTYPE = np.dtype([("frame_size", "<u4"), ("frame_format", "<u2"), ("frame_idx", "<u2"),
                       ("width", "<u4"), ("height", "<u4"), ("pixel_bytes", "u1")])
RAW_INFO_DTYPE = np.dtype([("frlen", "<u4"), ("fridx", "<u2"), ("frfmt", "<u2"),
                           ("width", "<u2"), ("height", "<u2"), ("temp_sensor", "<i2"),
                           ("temp_ib", "<i2"), ("spare", "<u4")])


class _RawFrames:
    """The raw frames of a recording, read when indexed: ``raw[k]`` one frame (frame bytes,),
    ``raw[a:b]`` or ``raw[:]`` several (n, frame bytes), uint8."""

    def __init__(self, reader: "_lumox.RecordingReader"):
        self._reader = reader

    def __len__(self) -> int:
        return self._reader.frame_count

    @property
    def shape(self) -> tuple:
        return (self._reader.frame_count, self._reader.frame_size)

    dtype = np.dtype(np.uint8)

    def __getitem__(self, key):
        n = self._reader.frame_count
        if isinstance(key, slice):
            first, end, step = key.indices(n)
            if step < 0:
                return self[::][key]
            return self._reader.frames(first, max(first, end), step)
        k = int(key)
        if k < 0:
            k += n
        if not 0 <= k < n:
            raise IndexError(f"no frame {key} in a recording of {n}")
        return self._reader.frames(k, k + 1, 1)[0]

    def __array__(self, dtype=None):
        a = self[:]
        return a if dtype is None else a.astype(dtype)


class Reader:
    """A recording opened for reading. ``header`` holds the camera, calibration and capture
    records as dictionaries; ``raw`` reads frames when sliced; ``info``, ``raw_info``,
    ``host_wall_ns`` and ``host_monotonic_ns`` are numpy arrays of the per-frame records;
    iterating gives :class:`lumox.Frame` objects. A damaged file or one that is not a recording
    raises ValueError with the reason."""

    def __init__(self, path):
        path = os.fspath(path)
        if not os.path.exists(path):
            raise FileNotFoundError(f"{path}: no such recording")
        self._reader = _lumox.RecordingReader(path)
        self.header = self._reader.header()
        self.raw = _RawFrames(self._reader)
        self.info = np.frombuffer(self._reader.info_records(), INFO_DTYPE)
        self.raw_info = np.frombuffer(self._reader.raw_info_records(), RAW_INFO_DTYPE)
        self.host_wall_ns = self._reader.host_ns(wall=True)
        self.host_monotonic_ns = self._reader.host_ns(wall=False)

    def __len__(self) -> int:
        return len(self.info)

    def frame(self, k: int) -> Frame:
        if not 0 <= k < len(self):
            raise IndexError(f"no frame {k} in a recording of {len(self)}")
        i, r = self.info[k], self.raw_info[k]
        info = (int(i["frame_size"]), int(i["frame_format"]), int(i["frame_idx"]),
                int(i["width"]), int(i["height"]), int(i["pixel_bytes"]))
        return Frame(self.raw[k], info, int(self.host_wall_ns[k]) / 1e9,
                     (int(r["temp_sensor"]) / 10, int(r["temp_ib"]) / 10))

    def __iter__(self) -> Iterator[Frame]:
        return (self.frame(k) for k in range(len(self)))

    def close(self) -> None:
        self._reader = None

    def __enter__(self) -> "Reader":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


class Writer:
    """A new recording of an open camera: the header is written at once (identity, the
    parameters the camera answers, its calibration package as it serves it, the calibration
    files and the lens in force, the filters set through ``cam.filters``), then :meth:`append`
    adds frames, which must all have the size of the first. ``compression`` 1-9 deflates the
    frames. Reading the calibration package takes the camera out of a running capture for a
    moment (the capture is started again)."""

    def __init__(self, path, cam: Camera, compression: int = 0):
        filters = [f"{s.value}={'on' if v is True else 'off' if v is False else v}"
                   for s, v in cam.filters._set.items()]
        capturing = cam.capturing
        if capturing:
            cam.stop()
        try:
            header = cam._dev.recording_header(filters)
        finally:
            if capturing:
                cam.start()
        self._writer = _lumox.RecordingWriter(os.fspath(path), header, int(compression))

    def append(self, frame: Frame) -> None:
        i = frame.info
        ts, tb = (round(t * 10) for t in frame.temperatures)
        wall_ns = int(frame.timestamp * 1e9)
        # Monotonic time of the frame, from its wall time and the two clocks' offset now.
        mono_ns = wall_ns - time.time_ns() + time.monotonic_ns()
        self._writer.append(np.ascontiguousarray(frame.data, np.uint8),
                            (i.size, i.format, i.index, i.width, i.height, i.pixel_bytes),
                            (i.size, i.index, i.format, i.width, i.height, ts, tb, 0),
                            mono_ns, wall_ns)

    def __len__(self) -> int:
        return self._writer.frames

    def close(self) -> None:
        self._writer.close()

    def __enter__(self) -> "Writer":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def read(path) -> tuple:
    """All of a recording at once: (header, raw frames (N, bytes) uint8, info records,
    host wall times in seconds)."""
    with Reader(path) as rec:
        return rec.header, rec.raw[:], rec.info, rec.host_wall_ns / 1e9


def playing() -> str:
    """The recording the virtual camera of this process plays (``lumox-vcam --play FILE``), or
    "" when the camera is not a played-back one."""
    return os.environ.get("LUMOX_PLAYBACK", "")


def write_calibration(path, directory) -> None:
    """Writes the calibration a recording was made with into ``directory``: its calibration
    files (unless the recording's open fetched them from the camera, which the played-back
    camera serves again) and its lens as ``lens_param.txt``, as ``lumox convert`` does."""
    directory = os.fspath(directory)
    _lumox.RecordingReader(os.fspath(path)).write_calibration(
        directory if directory.endswith("/") else directory + "/")
