"""The karvo package against karvo-sim: its calls and what they return, its errors, the GIL,
streams stopped on every way out, Ctrl-C, and sweeps."""
import os
import pathlib
import select
import signal
import subprocess
import termios
import threading
import time
import tty

import numpy as np
import pytest

import karvo

SIM = os.environ.get("KARVO_SIM") or str(pathlib.Path(__file__).parents[2] / "build" / "karvo-sim")


@pytest.fixture
def start_sim():
    started = []

    def start(*args):
        sim = subprocess.Popen([SIM, "--serial", "4321", *args], stdout=subprocess.PIPE, text=True)
        started.append(sim)
        return [sim.stdout.readline().strip() for _ in range(2 if "--stage" in args else 1)]

    yield start
    for sim in started:
        sim.terminate()
        sim.wait(10)


@pytest.fixture
def port(start_sim):
    return start_sim()[0]


@pytest.fixture
def sensor(port):
    with karvo.Sensor(port) as s:
        yield s


def line_quiet(path):
    """Nothing arrives on the line for a while: no stream was left running."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        tty.setraw(fd)
        time.sleep(0.05)
        termios.tcflush(fd, termios.TCIFLUSH)
        return not select.select([fd], [], [], 0.3)[0]
    finally:
        os.close(fd)


def files(s, tmp):
    path = tmp / "sensor.prm"
    s.save_parameters(path)
    same = s.compare_parameters(path)
    s.write_parameter(8, 32)
    differs = [(d.row, d.expected, d.read) for d in s.compare_parameters(path)]
    s.load_parameters(path)
    return same, differs, s.compare_parameters(path)


CALLS = {
    "identify": (lambda s, tmp: s.identify(),
                 lambda r: (r.serial_number, r.base_distance, r.measuring_range) == (4321, 60, 100)
                 and "serial_number=4321" in repr(r)),
    "read_parameters": (lambda s, tmp: s.read_parameters(),
                        lambda r: len(r) == 36 and (r[2].name, r[2].value, r[2].raw)
                        == ("UART Baud Rate", "9600", 4) and isinstance(r[31].raw, str)),
    "write_parameter": (lambda s, tmp: (s.write_parameter(8, 16), s.read_parameters()[8]),
                        lambda r: r[0].value == r[1].value == "16"),
    "shared register": (lambda s, tmp: (s.write_parameter(6, "Full"), s.read_parameters()),
                        lambda r: [p.value for p in r[1][4:7]] == ["Time", "Out_of_Range", "Full"]),
    "files": (files, lambda r: r[0] == [] and r[1] == [(8, "8", "32")] and r[2] == []),
    "flash": (lambda s, tmp: [s.flash(o) for o in ("store", "factory", "restore")]
              + [s.baud, s.address, s.identify().serial_number],
              lambda r: r[3:] == [9600, 1, 4321]),
    "measure": (lambda s, tmp: s.measure(5),
                lambda r: r.dtype == np.float64 and r.shape == (5,) and abs(r - 50).max() < 0.1),
    "measure NonLine": (lambda s, tmp: s.measure(3, mode="NonLine"),
                        lambda r: (r == np.round(r)).all() and r.min() > 1000),
    "zero": (lambda s, tmp: (s.zero(), s.measure(3))[1], lambda r: abs(r).max() < 0.1),
    "pulse": (lambda s, tmp: s.pulse(),
              lambda r: r.samples.shape == (128,) and r.position > 0 and "exposure=" in repr(r)),
    "stream": (lambda s, tmp: s.stream(50), lambda r: r.shape == (50,) and abs(r - 50).max() < 0.1),
    "scan": (lambda s, tmp: (s.close(), karvo.scan(s.port))[1],
             lambda r: [(f.baud, f.address, f.identity.serial_number) for f in r] == [(9600, 1, 4321)]),
}


@pytest.mark.parametrize("name", CALLS)
def test_calls_return_what_they_say(sensor, tmp_path, name):
    call, check = CALLS[name]
    result = call(sensor, tmp_path)
    assert check(result), result


@pytest.mark.parametrize("call, error", [
    (lambda s, tmp: s.write_parameter(3, 0), ValueError),
    (lambda s, tmp: s.write_parameter(0, "1"), ValueError),
    (lambda s, tmp: s.write_parameter(36, 1), ValueError),
    (lambda s, tmp: s.write_parameter(8, 1.5), TypeError),
    (lambda s, tmp: s.flash("erase"), ValueError),
    (lambda s, tmp: s.measure(mode="Pulse"), ValueError),
    (lambda s, tmp: s.sweep("park", "/dev/null"), ValueError),
    (lambda s, tmp: s.save_parameters(tmp), FileExistsError),
    (lambda s, tmp: s.load_parameters(tmp / "none.prm"), FileNotFoundError),
    (lambda s, tmp: (tmp / "bad.prm").write_text("3\t0\n" * 36) and s.load_parameters(tmp / "bad.prm"),
     ValueError),
    (lambda s, tmp: karvo.Sensor(s.port, address=128), ValueError),
])
def test_bad_arguments_are_refused_and_nothing_is_written(sensor, tmp_path, call, error):
    before = [p.raw for p in sensor.read_parameters()]
    with pytest.raises(error):
        call(sensor, tmp_path)
    assert [p.raw for p in sensor.read_parameters()] == before


@pytest.fixture
def silent_line():
    controller, line = os.openpty()
    yield os.ttyname(line)
    os.close(line)
    os.close(controller)


@pytest.mark.parametrize("call, status, reason", [
    (lambda port, quiet: karvo.Sensor("/nonexistent/tty"), 2, "no such device"),
    (lambda port, quiet: karvo.scan("/nonexistent/tty"), 2, "no such device"),
    (lambda port, quiet: karvo.Sensor(port, address=5).identify(), 3, ""),
    (lambda port, quiet: (s := karvo.Sensor(port), s.close(), s.identify()), 2, "closed"),
    (lambda port, quiet: karvo.Sensor(port).sweep("home", quiet), 23, "the stage does not answer"),
])
def test_device_failures_raise_error_with_status_and_reason(port, silent_line, call, status, reason):
    with pytest.raises(karvo.Error) as failure:
        call(port, silent_line)
    error = failure.value
    assert (error.status, type(error.reason)) == (status, str) and reason in error.reason
    assert str(error)[0].isupper() and str(error).endswith(".") and f"status {status}" in str(error)


def test_measure_lets_other_threads_run(sensor):
    beats, done = [], threading.Event()

    def beat():
        while not done.is_set():
            beats.append(time.monotonic())
            time.sleep(0.001)

    beating = threading.Thread(target=beat)
    beating.start()
    try:
        start = time.monotonic()
        sensor.measure(100)
        end = time.monotonic()
    finally:
        done.set()
        beating.join()
    quarter = (end - start) / 4
    assert sum(start + quarter < t < end - quarter for t in beats) > 10


def interrupted(call):
    threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        call()
    assert time.monotonic() - start < 2


def left_by_break(s):
    with s.stream() as st:
        for i, _ in enumerate(st):
            if i == 10:
                break
    assert not st.running


def dropped(s):
    for i, _ in enumerate(s.stream()):
        if i == 10:
            break


def iterated(s):
    with s.stream() as st:
        for _ in st:
            pass


@pytest.mark.parametrize("leave", [
    left_by_break,
    dropped,
    lambda s: interrupted(lambda: s.stream(5000)),
    lambda s: interrupted(lambda: iterated(s)),
    lambda s: interrupted(lambda: s.measure(5000)),
], ids=["break", "dropped", "ctrl-c stream", "ctrl-c iteration", "ctrl-c measure"])
def test_sensor_is_put_back_on_every_way_out(port, sensor, leave):
    leave(sensor)
    assert sensor.identify().serial_number == 4321
    sensor.close()
    assert line_quiet(port)


def test_sweeps_report_progress_and_write_their_files(start_sim, tmp_path):
    port, stage = start_sim("--stage", "--baud", "115200", "--range", "10")
    seen = []
    with karvo.Sensor(port, baud=115200) as s:
        calibrated = s.sweep("calibrate", stage, file=tmp_path / "c.klb",
                             progress=lambda n, of: seen.append((n, of)))
        verified = s.sweep("verify", stage, file=tmp_path / "v.pvk")
        with pytest.raises(FileExistsError):
            s.sweep("verify", stage, file=tmp_path / "v.pvk")
        with pytest.raises(ZeroDivisionError):
            s.sweep("verify", stage, file=tmp_path / "v.pvk", force=True, progress=lambda n, of: 1 / 0)
        row8 = s.read_parameters()[8].value
    assert (calibrated.steps, calibrated.table_checked, calibrated.file) == (681, True, str(tmp_path / "c.klb"))
    assert seen[-1] == (681, 681) and len(seen) > 2
    assert verified.error_percent < 0.1 and verified.table_checked is None
    assert (tmp_path / "v.pvk").exists() and row8 == "8"
