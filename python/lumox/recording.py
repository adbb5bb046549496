"""Recordings: HDF5 files of raw frames as the camera delivered them, with the camera's identity,
parameters, calibration files and the host's times, in the layout the `lumox` tools and
`lumox-vcam --play` use. Needs h5py (Debian: python3-h5py).

    with lumox.open() as cam, lumox.recording.Writer("run.h5", cam) as rec:
        for frame in cam.capture(100):
            rec.append(frame)

    with lumox.recording.Reader("run.h5") as rec:
        raw = rec.raw[:]                      # (N, frame bytes) uint8
        for frame in rec:                     # lumox.Frame objects, decodable by a camera
            ...

`lumox-vcam --play run.h5 -- python3 script.py` replays the recording as the recorded camera.
"""

from __future__ import annotations

import datetime
import os
import time
from typing import Iterator

import numpy as np

from . import _lumox
from ._camera import Camera
from ._types import Frame, Param

FORMAT = "lumox recording"
FORMAT_VERSION = 1

#: Per-frame description and raw header information, as stored.
INFO_DTYPE = np.dtype([("frame_size", "<u4"), ("frame_format", "<u2"), ("frame_idx", "<u2"),
                       ("width", "<u4"), ("height", "<u4"), ("pixel_bytes", "u1")])
RAW_INFO_DTYPE = np.dtype([("frlen", "<u4"), ("fridx", "<u2"), ("frfmt", "<u2"),
                           ("width", "<u2"), ("height", "<u2"), ("temp_sensor", "<i2"),
                           ("temp_ib", "<i2"), ("spare", "<u4")])


def _h5py():
    try:
        import h5py
    except ImportError:
        raise ImportError("recordings need h5py (apt install python3-h5py)") from None
    return h5py


def _bytes(group, name: str) -> bytes:
    return bytes(np.asarray(group[name], np.uint8)) if name in group else b""


class Reader:
    """A recording opened for reading. ``header`` holds the camera, calibration and capture
    records as dictionaries; ``raw``, ``info``, ``raw_info``, ``host_wall_ns`` and
    ``host_monotonic_ns`` are the per-frame datasets (read lazily; slice them for numpy
    arrays); iterating gives :class:`lumox.Frame` objects."""

    def __init__(self, path):
        h5py = _h5py()
        self._file = h5py.File(os.fspath(path), "r")
        f = self._file
        if f.attrs.get("format") != FORMAT:
            self.close()
            raise ValueError(f"{path}: not a recording")
        if int(f.attrs.get("format_version", 0)) != FORMAT_VERSION:
            self.close()
            raise ValueError(f"{path}: recording format version {f.attrs.get('format_version')}"
                             " is not known")
        cam, cal, cap = f["camera"], f["calibration"], f.get("capture")
        self.header = {
            "created_utc": f.attrs.get("created_utc", ""),
            "library_version": f.attrs.get("library_version", ""),
            "camera": {
                "product": cam.attrs.get("product", ""), "serial": cam.attrs.get("id2", ""),
                "bus": int(cam.attrs.get("bus", 0)), "port": int(cam.attrs.get("port", 0)),
                "id5": _bytes(cam, "id5"), "id6": _bytes(cam, "id6"),
                "parameters": {int(r[0]): bytes(r[2:2 + min(int(r[1]), 18)])
                               for r in np.asarray(cam["parameters"], np.uint8)},
            },
            "calibration": {
                "package_version": int(cal.attrs.get("package_version", 0)),
                "fetched_at_open": bool(cal.attrs.get("fetched_at_open", 0)),
                "package": _bytes(cal, "package"),
                "files": {n: _bytes(cal["files"], n) for n in cal.get("files", {})},
                "lens": dict(cal["lens"].attrs) if "lens" in cal else None,
            },
            "capture": {k: (v if isinstance(v, str) else int(v))
                        for k, v in (cap.attrs.items() if cap is not None else [])},
        }
        fr = f["frames"]
        self.raw, self.info, self.raw_info = fr["raw"], fr["info"], fr["raw_info"]
        self.host_wall_ns, self.host_monotonic_ns = fr["host_wall_ns"], fr["host_monotonic_ns"]
        # A recording cut off between two datasets' writes holds what all of them hold.
        self._n = min(len(d) for d in (self.raw, self.info, self.raw_info, self.host_wall_ns,
                                       self.host_monotonic_ns))

    def __len__(self) -> int:
        return self._n

    def frame(self, k: int) -> Frame:
        if not 0 <= k < self._n:
            raise IndexError(f"no frame {k} in a recording of {self._n}")
        i, r = self.info[k], self.raw_info[k]
        info = (int(i["frame_size"]), int(i["frame_format"]), int(i["frame_idx"]),
                int(i["width"]), int(i["height"]), int(i["pixel_bytes"]))
        return Frame(np.asarray(self.raw[k], np.uint8), info, int(self.host_wall_ns[k]) / 1e9,
                     (int(r["temp_sensor"]) / 10, int(r["temp_ib"]) / 10))

    def __iter__(self) -> Iterator[Frame]:
        return (self.frame(k) for k in range(self._n))

    def close(self) -> None:
        self._file.close()

    def __enter__(self) -> "Reader":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


class Writer:
    """A new recording of an open camera: the header is written at once (identity, the
    parameters the camera answers, its calibration files), then :meth:`append` adds frames,
    which must all have the size of the first. ``compression`` 1-9 deflates the frames."""

    def __init__(self, path, cam: Camera, compression: int = 0):
        h5py = _h5py()
        self._file = h5py.File(os.fspath(path), "w")
        self._compression = compression or None
        f = self._file
        info = cam.info
        f.attrs["format"] = FORMAT
        f.attrs["format_version"] = np.uint32(FORMAT_VERSION)
        f.attrs["created_utc"] = datetime.datetime.now(datetime.timezone.utc).strftime(
            "%Y-%m-%dT%H:%M:%SZ")
        f.attrs["library_version"] = _lumox.VERSION
        c = f.create_group("camera")
        c.attrs["product"], c.attrs["id2"] = info.product, info.serial
        c.attrs["bus"], c.attrs["port"] = np.uint8(info.bus), np.uint8(info.port)
        c["id5"] = np.frombuffer(info.id5, np.uint8)
        c["id6"] = np.frombuffer(info.id6, np.uint8)
        records = []
        for p in Param:
            try:
                value = cam.params.get_bytes(p)
            except Exception:  # a parameter the camera does not answer is not recorded
                continue
            records.append(bytes([p & 0xFF, len(value)]) + value.ljust(18, b"\0"))
        c["parameters"] = np.frombuffer(b"".join(records), np.uint8).reshape(-1, 20)
        cal = f.create_group("calibration")
        cal.attrs["package_version"] = np.uint32(0)
        cal.attrs["fetched_at_open"] = np.uint8(0)
        cal["package"] = np.zeros(0, np.uint8)
        files = cal.create_group("files")
        for path_ in cam.calibration_files.values():
            with open(path_, "rb") as fh:
                files[os.path.basename(path_)] = np.frombuffer(fh.read(), np.uint8)
        lens_file = os.path.join(_lumox.path_get().replace("\\", "/"), "lens_param.txt")
        if os.path.exists(lens_file):
            with open(lens_file, "rb") as fh:
                files["lens_param.txt"] = np.frombuffer(fh.read(), np.uint8)
        try:  # the lens in force, for the lens's own image size
            frame = cam.intrinsics
            lens = cam.intrinsics_for(frame.width * frame.binning_x, frame.height * frame.binning_y)
        except Exception:  # a driver without a lens
            lens = None
        if lens is not None:
            g = cal.create_group("lens")
            for key in ("cx", "cy", "fx", "fy"):
                g.attrs[key] = np.float64(getattr(lens, key))
            g.attrs["img_w"], g.attrs["img_h"] = np.int32(lens.width), np.int32(lens.height)
            g.attrs["dcoeff"] = np.array(lens.d, np.float64)
        cap = f.create_group("capture")
        for key, p in (("frame_rate", Param.FRAME_RATE), ("integration_time", Param.INTG_TIME)):
            try:
                cap.attrs[key] = np.uint32(cam.params[p])
            except Exception:
                cap.attrs[key] = np.uint32(0)
        cap.attrs["modulation_khz"] = np.uint32(0)
        cap.attrs["filters"] = " ".join(
            f"{s.value}={'on' if v is True else 'off' if v is False else v}"
            for s, v in cam.filters._set.items())
        g = f.create_group("frames")
        self._meta = {
            "info": g.create_dataset("info", (0,), INFO_DTYPE, maxshape=(None,), chunks=(256,)),
            "raw_info": g.create_dataset("raw_info", (0,), RAW_INFO_DTYPE, maxshape=(None,),
                                         chunks=(256,)),
            "host_monotonic_ns": g.create_dataset("host_monotonic_ns", (0,), "<i8",
                                                  maxshape=(None,), chunks=(256,)),
            "host_wall_ns": g.create_dataset("host_wall_ns", (0,), "<i8", maxshape=(None,),
                                             chunks=(256,)),
        }
        self._frames = g
        self._raw = None
        self._n = 0

    def append(self, frame: Frame) -> None:
        size = len(frame.data)
        if self._raw is None:
            self._raw = self._frames.create_dataset(
                "raw", (0, size), np.uint8, maxshape=(None, size), chunks=(1, size),
                compression="gzip" if self._compression else None,
                compression_opts=self._compression)
        if size != self._raw.shape[1]:
            raise ValueError(f"frame of {size} bytes in a recording of {self._raw.shape[1]}-byte"
                             " frames")
        n = self._n
        for d in (self._raw, *self._meta.values()):
            d.resize(n + 1, axis=0)
        self._raw[n] = frame.data
        i = frame.info
        self._meta["info"][n] = (i.size, i.format, i.index, i.width, i.height, i.pixel_bytes)
        ts, tb = (round(t * 10) for t in frame.temperatures)
        self._meta["raw_info"][n] = (i.size, i.index, i.format, i.width, i.height, ts, tb, 0)
        wall_ns = int(frame.timestamp * 1e9)
        self._meta["host_wall_ns"][n] = wall_ns
        # Monotonic time of the frame, from its wall time and the two clocks' offset now.
        self._meta["host_monotonic_ns"][n] = wall_ns - time.time_ns() + time.monotonic_ns()
        self._n = n + 1

    def __len__(self) -> int:
        return self._n

    def close(self) -> None:
        if not self._file:
            return
        if self._raw is None:
            self._frames.create_dataset("raw", (0, 1), np.uint8, maxshape=(None, 1))
        self._file.close()

    def __enter__(self) -> "Writer":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def read(path) -> tuple:
    """All of a recording at once: (header, raw frames (N, bytes) uint8, info records,
    host wall times in seconds)."""
    with Reader(path) as rec:
        n = len(rec)
        return (rec.header, np.asarray(rec.raw[:n]), np.asarray(rec.info[:n]),
                np.asarray(rec.host_wall_ns[:n]) / 1e9)

