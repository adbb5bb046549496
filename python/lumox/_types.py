"""Records, identifiers and errors of the lumox package."""

from __future__ import annotations

import enum
from typing import NamedTuple, Optional

import numpy as np

from . import _lumox


class Error(RuntimeError):
    """A failed library call.

    ``message`` is the library's own explanation (the error record it logged for the call, or
    the binding's text for misuse), ``code`` the call's result code (a capture error such as
    -7 for ``LUMOX_ERR_CAP_STALL``, the -1 of a failed transfer, 0 for a plain refusal) and
    ``call`` the C function that failed.
    """

    def __init__(self, message: str, code: int = 0, call: str = ""):
        super().__init__(message)
        self.message = message
        self.code = code
        self.call = call

    @property
    def code_name(self) -> str:
        """Name of a capture error code ("LUMOX_ERR_CAP_TIMEOUT"...), else ``str(code)``."""
        name = _lumox.error_name(self.code)
        return str(self.code) if name == "**UNKNOWN**" else name

    def __str__(self) -> str:
        where = f"{self.call}: " if self.call else ""
        code = f" (result {self.code})" if self.code else ""
        return f"{where}{self.message}{code}"


_lumox.set_error_class(Error)

#: Parameter identifiers, named as in the C interface without the ``LUMOX_PARAM_`` prefix.
Param = enum.IntEnum(
    "Param", {name.removeprefix("LUMOX_PARAM_"): v for name, v in _lumox.param_names().items()}
)
Param.__doc__ = "Camera parameter identifiers (lumox_param_id)."

#: The sensor driver's processing steps (filter identifiers of the C interface).
Filter = enum.IntEnum("Filter", _lumox.FILTERS)
Filter.__doc__ = "Processing steps of the sensor driver (lx_filter_id)."


class Target(enum.IntEnum):
    """Register targets: target 1 is the sensor chip with its 256 8-bit registers."""

    SENSOR = 1


class LogLevel(enum.IntEnum):
    TRACE = 0
    DEBUG = 1
    INFO = 2
    WARNING = 3
    ERROR = 4
    OFF = 5


#: Distances the library reports for pixels without a distance, in metres (as float32).
FILTERED = np.float32(65300 / 1000)  # removed by a filter or below the amplitude threshold
SATURATED = np.float32(65400 / 1000)
INVALID = np.float32(65500 / 1000)


class DeviceInfo(NamedTuple):
    """A camera on the bus. ``product`` and ``serial`` are empty when it could not be asked."""

    bus: int
    port: int
    address: int
    speed: int
    product: str
    serial: str

    def __str__(self) -> str:
        return f"{self.bus}:{self.port}"


class HotplugEvent(NamedTuple):
    """A camera plugged in (``kind`` "arrived"; also each camera attached when the watch began)
    or pulled out ("left"). ``serial`` is empty when the library could not read it (another
    process had the camera open); a departure carries the serial its camera arrived with.
    ``sequence`` counts 1, 2, ... per watch; ``lost`` counts events dropped before this one
    because the watch's queue was full (it holds 256)."""

    kind: str
    bus: int
    port: int
    address: int  # a camera plugged in again gets a new one
    speed: int
    serial: str
    sequence: int
    lost: int

    def __str__(self) -> str:
        return f"{self.kind} {self.bus}:{self.port} {self.serial}"


class CameraInfo(NamedTuple):
    """Identity of an open camera."""

    bus: int
    port: int
    address: int
    speed: int
    product: str  # parameter 3: "<field>-<driver code>-<firmware>"
    serial: str  # parameter 2
    id5: bytes
    id6: bytes
    driver: str
    driver_code: str
    calibration_path: str


class Intrinsics(NamedTuple):
    """The camera model for one frame size: pinhole plus "plumb_bob" distortion."""

    width: int
    height: int
    binning_x: int  # lens image columns per frame column
    binning_y: int
    fx: float  # pixels, for this frame size
    fy: float
    cx: float
    cy: float
    distortion_model: str  # "plumb_bob"
    d: tuple  # k1, k2, p1, p2, k3


class Correction(NamedTuple):
    """The distance correction in force (lumox_dev_get_correction)."""

    kind: str  # "default", "linear", "host" (per-pixel table) or "firmware"
    files_present: bool  # calibration files are in the calibration directory
    files_match: bool  # and they belong to this camera
    camera_package: bool  # the camera stores a calibration package
    reason: str


class FrameInfo(NamedTuple):
    """Description of a captured frame (lumox_frame_info)."""

    size: int  # bytes
    format: int  # 2: four-DCS raw frame
    index: int  # the camera's frame counter, 16 bits
    width: int
    height: int
    pixel_bytes: int


class Frame:
    """A captured raw frame.

    ``data`` holds its bytes (uint8), ``info`` its :class:`FrameInfo`, ``timestamp`` the host's
    wall clock (seconds since the epoch) when the library handed it over, ``temperatures`` the
    sensor and illumination-board temperatures (degrees Celsius) of its header.
    """

    __slots__ = ("data", "info", "timestamp", "temperatures")

    def __init__(self, data: np.ndarray, info, timestamp: float, temperatures=(0.0, 0.0)):
        self.data = data
        self.info = FrameInfo(*info)
        self.timestamp = timestamp
        self.temperatures = tuple(temperatures)

    @property
    def index(self) -> int:
        return self.info.index

    @property
    def shape(self) -> tuple:
        """(height, width) of the images decoded from this frame."""
        return (self.info.height, self.info.width)

    def __repr__(self) -> str:
        i = self.info
        return f"<Frame {i.index} {i.width}x{i.height} format {i.format}, {i.size} bytes>"


def _frame(data, info, timestamp, temperatures=(0.0, 0.0)) -> Frame:
    return Frame(data, info, timestamp, temperatures)


View = Optional[tuple]
