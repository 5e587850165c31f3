"""KARVO laser distance sensors from Python.

Open a sensor on a serial port, read its identity and parameters, measure into numpy arrays,
stream, find a sensor on a line and run calibration and verification sweeps with a motorised
stage. Several sensors on one RS-485 line are a Bus. A port is a local one or a serial device
server on the network ("tcp://HOST:PORT", "rfc2217://HOST:PORT").

Device failures raise karvo.Error (see its documentation for the statuses); a port that will
not open is also an OSError, a sensor that does not answer also a TimeoutError, a value its row
refuses also a ValueError. Bad arguments raise ValueError or TypeError before anything is sent.
Calls release the GIL while they wait on the line; Ctrl-C, Sensor.cancel() and Sensor.close()
from another thread end a long call between two requests, once the sensor has been put back.
"""
from __future__ import annotations

import dataclasses
import enum
import operator
import os
import types
import warnings
from collections import abc
from typing import (Any, Callable, Dict, Iterable, Iterator, List, Mapping, NamedTuple, Optional,
                    Tuple, Union)

import numpy as np

from . import _karvo

__version__: str = _karvo.__version__

__all__ = [
    "BAUD_RATES", "Bus", "Cancelled", "Difference", "Error", "Found", "Identity", "NoAnswer",
    "Parameter", "PortError", "Pulse", "RefusedValue", "Sensor", "Status", "Stream",
    "SweepResult", "scan",
]

#: The rates the sensor knows; baud= takes only these.
BAUD_RATES: Tuple[int, ...] = tuple(_karvo.BAUD_RATES)

_STATUS_TEXTS = {code: text for code, _, text in _karvo.STATUSES}


class _StatusKind(enum.IntEnum):
    @property
    def text(self) -> str:
        """What the status means, in the words the command line uses."""
        return _STATUS_TEXTS[self.value]


# Built from the device layer's own table, so that a status added there appears here.
Status = _StatusKind("Status", [(name.upper(), code) for code, name, _ in _karvo.STATUSES],
                     module=__name__)
Status.__doc__ = "The status of a device operation, as karvo.Error.status carries it."


def _status_table() -> str:
    return "\n".join(f"    {code:>2}  {name:<17} {text}" for code, name, text in _karvo.STATUSES)


class Error(Exception):
    """A sensor or stage failed."""

    status: int = 0
    name: str = ""
    reason: str = ""
    doing: str = ""
    rounds: Any = None


Error.__doc__ = (
    "A sensor or stage failed. str() is a full sentence; the attributes:\n\n"
    "  status  the status number (karvo.Status), from the table below\n"
    "  name    its stable name, as karvo-cli --json gives it\n"
    "  reason  the system's reason, if known (\"no such device\", \"held by another program\")\n"
    "  doing   what was being done (\"identify\", \"reading row 10\")\n"
    "  rounds  Bus.measure: the rounds completed before the failure, as its array; else None\n\n"
    "Statuses (0 to 8 from the line, 20 and up from the device layer):\n"
    + _status_table()
    + "\n\nSubclasses: PortError (also OSError) for status 2, NoAnswer (also TimeoutError) for "
    "3 and 23, RefusedValue (also ValueError) for 21, Cancelled for 20."
)


class PortError(Error, OSError):
    """The port would not open, or the sensor is closed (status 2)."""


class NoAnswer(Error, TimeoutError):
    """The sensor (status 3) or the stage (status 23) did not answer in time."""


class RefusedValue(Error, ValueError):
    """A value its row refuses (status 21); nothing was sent."""


class Cancelled(Error):
    """The call was ended by Sensor.cancel() or Sensor.close() (status 20)."""


_karvo.set_errors(Error, {Status.NOT_OPEN: PortError, Status.NO_ANSWER: NoAnswer,
                          Status.NO_STAGE: NoAnswer, Status.VALUE_REFUSED: RefusedValue,
                          Status.CANCELLED: Cancelled})


class Identity(NamedTuple):
    """The sensor's identity; distances in mm."""

    device_type: int
    release: int
    serial_number: int
    base_distance: int
    measuring_range: int


class Parameter(NamedTuple):
    """One of the 36 parameters: row (0 to 35), name, value (the text the parameter grid
    shows) and raw (the number the registers hold, or the text of a text row)."""

    row: int
    name: str
    value: str
    raw: Union[int, str]


class Difference(NamedTuple):
    """A row where the sensor differs from a file: the file's value (expected) and the
    sensor's (read), as the grid shows them."""

    row: int
    name: str
    expected: str
    read: str


class Found(NamedTuple):
    """A sensor a scan found: its baud rate, address and identity."""

    baud: int
    address: int
    identity: Identity


class SweepResult(NamedTuple):
    """What a sweep came to: kind, steps (samples taken) of expected, completed (the end of
    travel reached), table_checked (calibrate: the table loaded and read back equal),
    error_percent (verify: the linearity error), file (the file written, or None)."""

    kind: str
    steps: int
    expected: int
    completed: bool
    table_checked: Optional[bool]
    error_percent: Optional[float]
    file: Optional[str]


@dataclasses.dataclass(frozen=True, eq=False)
class Pulse:
    """The pulse profile: position (px), exposure (microseconds) and the 128 samples."""

    position: int
    exposure: int
    samples: np.ndarray

    # Tuple equality would ask an array for one truth value.
    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Pulse):
            return NotImplemented
        return ((self.position, self.exposure) == (other.position, other.exposure)
                and np.array_equal(self.samples, other.samples))

    __hash__ = None  # type: ignore[assignment]


# ---- Arguments: one-line TypeErrors, checked before anything reaches the extension ----

def _type_name(value: object) -> str:
    return type(value).__name__


def _int(call: str, name: str, value: object) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{call}: {name} must be an int, not bool")
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{call}: {name} must be an int, not {_type_name(value)}") from None
    # The extension takes 64-bit numbers; its own checks state the limits of smaller ones.
    if not -2**63 <= number < 2**63:
        raise ValueError(f"{call}: {name} {number} is far out of range")
    return number


def _bool(call: str, name: str, value: object) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{call}: {name} must be True or False, not {_type_name(value)}")
    return bool(value)


def _str(call: str, name: str, value: object, optional: bool = False) -> Optional[str]:
    if value is None and optional:
        return None
    if not isinstance(value, str):
        raise TypeError(f"{call}: {name} must be a str{' or None' if optional else ''}, "
                        f"not {_type_name(value)}")
    return value


def _path(call: str, name: str, value: object) -> str:
    if not isinstance(value, (str, bytes, os.PathLike)):
        raise TypeError(f"{call}: {name} must be a str or an os.PathLike, not {_type_name(value)}")
    return os.fsdecode(os.fspath(value))


def _timeout(call: str, timeout: object) -> float:
    if timeout is None:
        return 0.0
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"{call}: timeout must be a number of seconds or None, "
                        f"not {_type_name(timeout)}")
    if not 0 < timeout <= 3600:
        raise ValueError(f"timeout takes more than 0 to 3600 seconds, not {timeout}")
    return float(timeout)


def _notice(opened: Any) -> None:
    # What the port could not set (a tcp:// port has no say over the line) is said, not ignored.
    notice: str = opened.notice
    if notice:
        warnings.warn(f"{opened.port}: {notice}", UserWarning, stacklevel=3)


PathArg = Union[str, "os.PathLike[str]"]


class Stream:
    """A stream of samples from Sensor.stream(), as the display shows them, in `unit`.

    Iterate over it for the samples; leaving its `with` block, stop(), Sensor.cancel() or
    dropping it stops the sensor's stream. A failure of the line raises karvo.Error; Ctrl-C
    stops the stream, then raises."""

    def __init__(self, stream: Any) -> None:
        self._stream = stream

    def __iter__(self) -> Iterator[float]:
        return self

    def __next__(self) -> float:
        value: float = self._stream.__next__()
        return value

    def __enter__(self) -> "Stream":
        return self

    def __exit__(self, kind: object, value: object, traceback: object) -> None:
        # A failure to stop must not hide the exception that left the block.
        try:
            self._stream.stop()
        except Error:
            if kind is None:
                raise

    def stop(self) -> None:
        """Stops the stream; the sensor answers requests again."""
        self._stream.stop()

    @property
    def running(self) -> bool:
        """Whether the stream still runs."""
        running: bool = self._stream.running
        return running

    @property
    def unit(self) -> str:
        """The unit of the samples: "mm", "px" or "cl"."""
        unit: str = self._stream.unit
        return unit

    @property
    def lost(self) -> int:
        """Samples lost on the line so far (they never arrived whole); the stream went on."""
        lost: int = self._stream.lost
        return lost


class Sensor:
    """One sensor on a serial port, opened at once.

    port is 'COM1' to 'COM8' (/dev/ttyS0 to /dev/ttyS7), 'USB' (the USB serial adapter), a
    device path such as /dev/ttyUSB0 or a pseudo-terminal of karvo-sim (str or os.PathLike), or
    a serial device server: 'tcp://HOST:PORT' (also 'socket://'; the server's line settings
    hold, and a UserWarning says so) or 'rfc2217://HOST:PORT' (the line is set through it).
    baud is one of BAUD_RATES, address 1 to 127; timeout (seconds) is how long an answer may
    take before the sensor counts as silent, None for the sensor's own (1 s). Use it as a
    context manager, or close() it. Calls that need the measuring range identify the sensor
    first, once. One Sensor at a time holds a port in this process."""

    def __init__(self, port: PathArg, baud: int = 9600, address: int = 1,
                 timeout: Optional[float] = None) -> None:
        call = "Sensor()"
        name = _path(call, "port", port)
        self._bus: Optional[Bus] = None
        self._s = _karvo.Sensor(name, _int(call, "baud", baud), _int(call, "address", address),
                                _timeout(call, timeout))
        _notice(self._s)

    @classmethod
    def _on_bus(cls, bus: "Bus", sensor: Any) -> "Sensor":
        on_bus = cls.__new__(cls)
        # Kept so that the line stays open while one of its sensors is in use.
        on_bus._bus = bus
        on_bus._s = sensor
        return on_bus

    def close(self) -> None:
        """Stops a stream and closes the port; closing twice is fine. From another thread it
        ends the call under way within one exchange, which raises Cancelled once the port is
        closed. A sensor of a Bus is closed alone; the line stays the bus's."""
        self._s.close()

    def cancel(self) -> None:
        """Ends the call under way, from any thread, within one exchange: it raises
        Cancelled after the sensor has been put back. A Stream being iterated stops."""
        self._s.cancel()

    def __enter__(self) -> "Sensor":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return (f"<karvo.Sensor {self.port!r} baud={self.baud} address={self.address}"
                f"{' closed' if self.closed else ''}>")

    @property
    def port(self) -> str:
        """The port as opened ("COM3", "/dev/pts/3")."""
        port: str = self._s.port
        return port

    @property
    def baud(self) -> int:
        """The line's rate: it follows writes of row 2 and a flash restore."""
        baud: int = self._s.baud
        return baud

    @property
    def address(self) -> int:
        """The net address: it follows writes of row 3 and a flash restore."""
        address: int = self._s.address
        return address

    @property
    def closed(self) -> bool:
        closed: bool = self._s.closed
        return closed

    @property
    def timeout(self) -> Optional[float]:
        """The answer time-out in seconds, None for the sensor's own."""
        timeout: float = self._s.timeout
        return timeout or None

    @property
    def unit(self) -> str:
        """The unit of the current run mode's results ("mm" in Line, "px" in NonLine, "cl" in
        Temperature); asks the sensor, as its "Mode of Run" may have changed."""
        unit: str = self._s.unit
        return unit

    def identify(self) -> Identity:
        """Asks the sensor for its identity."""
        return Identity(*self._s.identify())

    def read_parameters(self) -> List[Parameter]:
        """Reads the 36 parameters, in row order."""
        return [Parameter(*p) for p in self._s.read_parameters()]

    def write_parameter(self, row: int, value: Union[int, str]) -> Parameter:
        """Writes one parameter, the value as the grid takes it: a number, hex digits, a
        pick-list entry in any letter case ('On', '115200', 'nonline') or a text; rows 11 and
        12 in whole percent. A value the row refuses raises RefusedValue before anything is
        sent. Returns the Parameter as written. Rows 2 and 3 move the line to the new rate and
        address."""
        call = "write_parameter()"
        row = _int(call, "row", row)
        if isinstance(value, bool) or not isinstance(value, (int, str)):
            raise TypeError(f"{call}: value must be an int or a str, not {_type_name(value)}")
        return Parameter(*self._s.write_parameter(row, value))

    def save_parameters(self, path: PathArg, force: bool = False) -> None:
        """Reads the parameters and writes them to a .prm file; an existing file is replaced
        only with force=True (FileExistsError otherwise)."""
        call = "save_parameters()"
        self._s.save_parameters(_path(call, "path", path), _bool(call, "force", force))

    def load_parameters(self, path: PathArg, force: bool = False,
                        keep_identity: bool = False) -> None:
        """Writes the parameters of a .prm file to the sensor, rows the file does not name
        keeping theirs. A file with values their rows refuse raises ValueError before anything
        is written, unless force=True, which writes them as they are.

        Identity rows (device type, serial number, base distance, measuring range) of a file
        saved from another sensor are written too, with a UserWarning naming them;
        keep_identity=True leaves the sensor's own."""
        call = "load_parameters()"
        name = _path(call, "path", path)
        changed = self._s.load_parameters(name, _bool(call, "force", force),
                                          _bool(call, "keep_identity", keep_identity))
        if changed:
            warnings.warn(f"{name}: identity rows differ from the sensor's and were written: "
                          f"{changed}; keep_identity=True keeps the sensor's", UserWarning,
                          stacklevel=2)

    def compare_parameters(self, path: PathArg) -> List[Difference]:
        """Compares the sensor with a .prm file (empty when equal). A failed read raises
        karvo.Error, never a difference."""
        name = _path("compare_parameters()", "path", path)
        return [Difference(*d) for d in self._s.compare_parameters(name)]

    def flash(self, operation: str) -> None:
        """'store' commits the parameters to FLASH, 'restore' brings back the factory set (the
        line then follows it: 9600 baud, address 1), 'factory' makes the current set the
        factory set."""
        self._s.flash(_str("flash()", "operation", operation))

    def measure(self, count: int = 10, mode: Optional[str] = None,
                times: bool = False) -> Any:
        """Takes count results (1 to 100000000) as a numpy float64 array, as the display shows
        them, in `unit`: mm in 'Line', raw position in 'NonLine', raw temperature in
        'Temperature' (any letter case). mode None takes the sensor's own 'Mode of Run'; the
        sensor is not written. times=True returns (times, values), times in seconds since the
        first result."""
        call = "measure()"
        return self._s.measure(_int(call, "count", count), _str(call, "mode", mode, True),
                               _bool(call, "times", times))

    def zero(self) -> None:
        """Zero set: the current result is added to the zero point (row 14), which is
        written."""
        self._s.zero()

    def pulse(self) -> Pulse:
        """Reads the pulse profile."""
        return Pulse(*self._s.pulse())

    def stream(self, count: Optional[int] = None, mode: Optional[str] = None,
               times: bool = False) -> Any:
        """stream(count) takes count streamed samples (1 to 65535) as a numpy float64 array,
        or with times=True (times, values), times in seconds since the first sample. stream()
        starts a Stream to iterate over (`with s.stream() as st: for value in st: ...`). The
        sensor answers no other call while it streams; the stream is stopped on every way
        out."""
        call = "stream()"
        mode = _str(call, "mode", mode, True)
        times = _bool(call, "times", times)
        if count is None:
            if times:
                raise ValueError("stream(times=True) needs a count")
            return Stream(self._s.stream_start(mode))
        return self._s.stream_count(_int(call, "count", count), mode, times)

    def sweep(self, kind: str, stage_port: PathArg, file: Optional[PathArg] = None,
              force: bool = False,
              progress: Optional[Callable[[int, int], object]] = None) -> SweepResult:
        """Runs a stage-driven sweep. kind: 'calibrate' (builds the calibration table, loads
        and checks it, writes a .klb file), 'verify' (the linearity error, a .pvk file), 'home'
        or 'end' (moves the stage). stage_port names the stage's port. file defaults to the
        serial number and the extension in the current folder, as karvo-cli; an existing one
        is replaced only with force=True. progress(samples, expected) is called as the sweep
        goes (it must not call the sensor). The stage and rows 8 and 26 are put back on every
        way out."""
        call = "sweep()"
        if progress is not None and not callable(progress):
            raise TypeError(f"{call}: progress must be callable, not {_type_name(progress)}")
        return SweepResult(*self._s.sweep(
            _str(call, "kind", kind), _path(call, "stage_port", stage_port),
            None if file is None else _path(call, "file", file), _bool(call, "force", force),
            progress))


def scan(port: PathArg, all: bool = False, baud: int = 9600, address: int = 1) -> List[Found]:
    """Finds a sensor on port at any baud rate and address, the given ones and the factory
    settings first: the first sensor that answers, or every one with all=True; empty when
    none answers. The port must not be open."""
    call = "scan()"
    found = _karvo.scan(_path(call, "port", port), _bool(call, "all", all),
                        _int(call, "baud", baud), _int(call, "address", address))
    return [Found(b, a, Identity(*i)) for b, a, i in found]


class Bus:
    """Several sensors on one serial line (RS-485), each at its own address, opened at once.

    port, baud and timeout as for Sensor; addresses lists the sensors' net addresses (1 to 127,
    each once), in the order measure() gives their columns. sensors[address] is a Sensor on the
    shared line: every Sensor call works on it, and calls from several threads take turns on
    the line. While one sensor streams, the others' calls fail. Use it as a context manager, or
    close() it."""

    def __init__(self, port: PathArg, baud: int = 9600, addresses: Iterable[int] = (1,),
                 timeout: Optional[float] = None) -> None:
        call = "Bus()"
        name = _path(call, "port", port)
        if isinstance(addresses, (str, bytes)) or not isinstance(addresses, abc.Iterable):
            raise TypeError(f"{call}: addresses must be a list of ints, "
                            f"not {_type_name(addresses)}")
        wanted = [_int(call, "address", a) for a in addresses]
        self._b = _karvo.Bus(name, _int(call, "baud", baud), wanted, _timeout(call, timeout))
        _notice(self._b)

    def close(self) -> None:
        """Ends the calls under way (they raise Cancelled once the line is closed), stops a
        stream and closes the line; closing twice is fine."""
        self._b.close()

    def cancel(self) -> None:
        """Ends the bus's call and its sensors' calls under way, from any thread, within one
        exchange: they raise Cancelled."""
        self._b.cancel()

    def __enter__(self) -> "Bus":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return (f"<karvo.Bus {self.port!r} baud={self.baud} addresses={list(self.addresses)}"
                f"{' closed' if self.closed else ''}>")

    @property
    def port(self) -> str:
        port: str = self._b.port
        return port

    @property
    def baud(self) -> int:
        """The rate the line was opened at."""
        baud: int = self._b.baud
        return baud

    @property
    def addresses(self) -> Tuple[int, ...]:
        return tuple(self._b.addresses)

    @property
    def sensors(self) -> Mapping[int, Sensor]:
        """The sensors by address, in the order given."""
        # Made afresh: a Sensor holds its Bus, and a Bus holding them would be a cycle that
        # keeps the port held after the Bus is dropped (a notebook cell run again).
        return types.MappingProxyType(
            {a: Sensor._on_bus(self, s) for a, s in zip(self._b.addresses, self._b.sensors)})

    @property
    def closed(self) -> bool:
        closed: bool = self._b.closed
        return closed

    @property
    def timeout(self) -> Optional[float]:
        """The answer time-out in seconds, None for the sensors' own."""
        timeout: float = self._b.timeout
        return timeout or None

    def identify(self) -> Dict[int, Identity]:
        """Asks every sensor for its identity, by address; one that does not answer raises
        NoAnswer."""
        return {address: sensor.identify() for address, sensor in self.sensors.items()}

    def measure(self, count: int, mode: Optional[str] = None) -> Any:
        """Takes count rounds (1 to 100000000), one result from each sensor in turn, as a numpy
        float64 array of shape (count, number of addresses), values as Sensor.measure gives
        them; NaN where a sensor did not answer in that round. mode as for Sensor.measure, None
        taking each sensor's own. A sensor that has not answered 3 rounds in a row raises
        NoAnswer naming its address; the rounds completed before any failure are on the
        error's `rounds`."""
        call = "measure()"
        return self._b.measure(_int(call, "count", count), _str(call, "mode", mode, True))
