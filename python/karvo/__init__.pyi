import enum
import os
from typing import Callable, Iterator, List, Literal, NamedTuple, Optional, Tuple, Union, overload

import numpy as np
import numpy.typing as npt

__version__: str
BAUD_RATES: Tuple[int, ...]

_Path = Union[str, os.PathLike[str]]
_Values = npt.NDArray[np.float64]

class Status(enum.IntEnum):
    OK = 0
    NOT_OPEN = 2
    NO_ANSWER = 3
    READ_FAILED = 4
    WRITE_SHORT = 5
    WRITE_FAILED = 6
    BAD_ANSWER = 8
    CANCELLED = 20
    VALUE_REFUSED = 21
    STAGE_STUCK = 22
    NO_STAGE = 23
    FILE_NOT_WRITTEN = 24
    LINE_BUSY = 25
    @property
    def text(self) -> str: ...

class Error(Exception):
    status: int
    name: str
    reason: str
    doing: str

class PortError(Error, OSError): ...
class NoAnswer(Error, TimeoutError): ...
class RefusedValue(Error, ValueError): ...
class Cancelled(Error): ...

class Identity(NamedTuple):
    device_type: int
    release: int
    serial_number: int
    base_distance: int
    measuring_range: int

class Parameter(NamedTuple):
    row: int
    name: str
    value: str
    raw: Union[int, str]

class Difference(NamedTuple):
    row: int
    name: str
    expected: str
    read: str

class Found(NamedTuple):
    baud: int
    address: int
    identity: Identity

class SweepResult(NamedTuple):
    kind: str
    steps: int
    expected: int
    completed: bool
    table_checked: Optional[bool]
    error_percent: Optional[float]
    file: Optional[str]

class Pulse:
    position: int
    exposure: int
    samples: npt.NDArray[np.int64]
    def __init__(self, position: int, exposure: int, samples: npt.NDArray[np.int64]) -> None: ...

class Stream:
    def __iter__(self) -> Iterator[float]: ...
    def __next__(self) -> float: ...
    def __enter__(self) -> Stream: ...
    def __exit__(self, kind: object, value: object, traceback: object) -> None: ...
    def stop(self) -> None: ...
    @property
    def running(self) -> bool: ...
    @property
    def unit(self) -> str: ...

class Sensor:
    def __init__(self, port: _Path, baud: int = 9600, address: int = 1,
                 timeout: Optional[float] = None) -> None: ...
    def close(self) -> None: ...
    def cancel(self) -> None: ...
    def __enter__(self) -> Sensor: ...
    def __exit__(self, *exc: object) -> None: ...
    @property
    def port(self) -> str: ...
    @property
    def baud(self) -> int: ...
    @property
    def address(self) -> int: ...
    @property
    def closed(self) -> bool: ...
    @property
    def timeout(self) -> Optional[float]: ...
    @property
    def unit(self) -> str: ...
    def identify(self) -> Identity: ...
    def read_parameters(self) -> List[Parameter]: ...
    def write_parameter(self, row: int, value: Union[int, str]) -> Parameter: ...
    def save_parameters(self, path: _Path, force: bool = False) -> None: ...
    def load_parameters(self, path: _Path, force: bool = False,
                        keep_identity: bool = False) -> None: ...
    def compare_parameters(self, path: _Path) -> List[Difference]: ...
    def flash(self, operation: Literal["store", "restore", "factory"]) -> None: ...
    @overload
    def measure(self, count: int = 10, mode: Optional[str] = None,
                times: Literal[False] = False) -> _Values: ...
    @overload
    def measure(self, count: int = 10, mode: Optional[str] = None, *,
                times: Literal[True]) -> Tuple[_Values, _Values]: ...
    def zero(self) -> None: ...
    def pulse(self) -> Pulse: ...
    @overload
    def stream(self, count: None = None, mode: Optional[str] = None) -> Stream: ...
    @overload
    def stream(self, count: int, mode: Optional[str] = None,
               times: Literal[False] = False) -> _Values: ...
    @overload
    def stream(self, count: int, mode: Optional[str] = None, *,
               times: Literal[True]) -> Tuple[_Values, _Values]: ...
    def sweep(self, kind: Literal["calibrate", "verify", "home", "end"], stage_port: _Path,
              file: Optional[_Path] = None, force: bool = False,
              progress: Optional[Callable[[int, int], object]] = None) -> SweepResult: ...

def scan(port: _Path, all: bool = False, baud: int = 9600, address: int = 1) -> List[Found]: ...
