"""The karvo package against karvo-sim: its calls and what they return, its errors, the GIL,
streams stopped on every way out, Ctrl-C, and sweeps."""
import dataclasses
import os
import pathlib
import pickle
import select
import shutil
import signal
import socket
import subprocess
import termios
import threading
import time
import tty
import warnings

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
    (lambda s, tmp: s.write_parameter(0, "1"), ValueError),
    (lambda s, tmp: s.write_parameter(36, 1), ValueError),
    (lambda s, tmp: s.write_parameter(8, 1.5), TypeError),
    (lambda s, tmp: s.flash("erase"), ValueError),
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


@pytest.mark.parametrize("call, kind, status, reason", [
    (lambda port, quiet: karvo.Sensor("/nonexistent/tty"), OSError, 2, "no such device"),
    (lambda port, quiet: karvo.scan("/nonexistent/tty"), OSError, 2, "no such device"),
    (lambda port, quiet: karvo.Sensor(port, address=5).identify(), TimeoutError, 3, ""),
    (lambda port, quiet: (s := karvo.Sensor(port), s.close(), s.identify()), OSError, 2, "closed"),
    (lambda port, quiet: karvo.Sensor(port).write_parameter(3, 0), ValueError, 21, "1 to 127"),
    (lambda port, quiet: karvo.Sensor(port).write_parameter(8, "абв"), ValueError, 21, "'абв'"),
    (lambda port, quiet: karvo.Sensor(port).sweep("home", quiet), TimeoutError, 23,
     "the stage does not answer"),
])
def test_device_failures_raise_error_with_status_and_reason(port, silent_line, call, kind, status,
                                                            reason):
    with pytest.raises(karvo.Error) as failure:
        call(port, silent_line)
    error = failure.value
    assert isinstance(error, kind)
    assert (error.status, error.name) == (status, karvo.Status(status).name.lower())
    assert type(error.reason) is str and reason in error.reason
    assert str(error)[0].isupper() and str(error).endswith(".") and f"status {status}" in str(error)
    assert pickle.loads(pickle.dumps(error)).status == status


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


# ---- As Python users expect: values, arguments, units and times, threads, identity ----

VALUES = {
    "identity": lambda s, tmp: s.identify(),
    "parameter": lambda s, tmp: s.read_parameters()[31],
    "difference": lambda s, tmp: (s.save_parameters(tmp / "a.prm"), s.write_parameter(8, 32),
                                  s.compare_parameters(tmp / "a.prm")[0])[2],
    "pulse": lambda s, tmp: s.pulse(),
    "found": lambda s, tmp: (s.close(), karvo.scan(s.port)[0])[1],
}


@pytest.mark.parametrize("name", VALUES)
def test_results_compare_pickle_and_convert_to_dicts(sensor, tmp_path, name):
    value = VALUES[name](sensor, tmp_path)
    again = pickle.loads(pickle.dumps(value))
    assert again == value and not (again != value)
    fields = value._asdict() if hasattr(value, "_asdict") else dataclasses.asdict(value)
    assert list(fields) == [f for f in fields if hasattr(value, f)] and len(fields) >= 3
    changed = (value._replace(**{next(iter(fields)): -1}) if hasattr(value, "_replace")
               else dataclasses.replace(value, position=-1))
    assert changed != value


@pytest.mark.parametrize("call, error, words", [
    (lambda s: s.measure(0), ValueError, "count takes 1 to 100000000, not 0"),
    (lambda s: s.measure(10**12), ValueError, "count takes 1 to 100000000"),
    (lambda s: s.measure(10**30), ValueError, "count 1000000000000000000000000000000 is far out"),
    (lambda s: s.write_parameter(-2**64, 1), ValueError, "row -18446744073709551616 is far out"),
    (lambda s: s.write_parameter(2**40, 1), ValueError, "row takes 0 to 35, not 1099511627776"),
    (lambda s: s.stream(70000), ValueError, "count takes 1 to 65535, not 70000"),
    (lambda s: s.stream(0, times=True), ValueError, "count takes 1 to 65535"),
    (lambda s: s.stream(times=True), ValueError, "needs a count"),
    (lambda s: s.measure(mode="Pulse"), ValueError, "Line, NonLine or Temperature"),
    (lambda s: karvo.Sensor(s.port, baud=12345), ValueError,
     "baud takes 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200, 230400 or 460800"),
    (lambda s: karvo.Sensor(s.port, address=0), ValueError, "address takes 1 to 127, not 0"),
    (lambda s: karvo.Sensor("ttyUSB0"), ValueError,
     "use COM1..COM8, USB, a device path such as /dev/ttyUSB0, or tcp://, rfc2217://"),
    (lambda s: karvo.Sensor(s.port, timeout=0), ValueError, "timeout"),
    (lambda s: karvo.scan(s.port, baud=1), ValueError, "baud takes"),
    (lambda s: s.measure(1.5), TypeError, "measure(): count must be an int, not float"),
    (lambda s: s.measure(True), TypeError, "count must be an int, not bool"),
    (lambda s: s.measure(3, mode=1), TypeError, "mode must be a str or None, not int"),
    (lambda s: s.write_parameter("8", 1), TypeError, "row must be an int, not str"),
    (lambda s: s.write_parameter(8, None), TypeError, "value must be an int or a str"),
    (lambda s: s.load_parameters(3), TypeError, "path must be a str or an os.PathLike, not int"),
    (lambda s: s.save_parameters("x.prm", force="yes"), TypeError, "force must be True or False"),
    (lambda s: karvo.Sensor(None), TypeError, "port must be a str or an os.PathLike"),
    (lambda s: karvo.Sensor(s.port, timeout="1"), TypeError, "timeout must be a number"),
], ids=lambda v: v if isinstance(v, str) else None)
def test_arguments_are_checked_at_once_in_one_line(sensor, call, error, words):
    with pytest.raises(error) as failure:
        call(sensor)
    text = str(failure.value)
    assert words in text and "\n" not in text and not isinstance(failure.value, karvo.Error)


def test_modes_and_pick_list_entries_take_any_letter_case(sensor):
    shouted, spelled = sensor.measure(2, mode="NONLINE"), sensor.measure(2, mode="NonLine")
    assert abs(shouted - spelled).max() < 5 and shouted.min() > 1000
    assert (shouted == np.round(shouted)).all()
    assert sensor.write_parameter(6, "full").value == "Full"
    assert sensor.write_parameter(26, "temperature").value == "Temperature"


@pytest.mark.parametrize("mode, unit", [("Line", "mm"), ("NonLine", "px"), ("Temperature", "cl")])
def test_unit_follows_the_mode_of_run(sensor, mode, unit):
    sensor.write_parameter(26, mode)
    assert sensor.unit == unit
    with sensor.stream() as st:
        assert st.unit == unit
        taken = [v for _, v in zip(range(20), st)]
    assert len(taken) == 20 and st.lost == 0


@pytest.mark.parametrize("take", [
    lambda s, times: s.measure(6, times=times),
    lambda s, times: s.stream(6, times=times),
], ids=["measure", "stream"])
def test_times_count_seconds_from_the_first_sample(sensor, take):
    times, values = take(sensor, True)
    assert times.dtype == values.dtype == np.float64 and times.shape == values.shape == (6,)
    assert times[0] == 0 and (np.diff(times) > 0).all() and times[-1] < 5
    assert abs(values - take(sensor, False)).max() < 0.1


@pytest.mark.parametrize("stop", ["cancel", "close"])
@pytest.mark.parametrize("run", [
    lambda s: s.measure(5000),
    lambda s: s.stream(60000),
    lambda s: [v for v in s.stream()],
    lambda s: s.read_parameters() and s.read_parameters() and s.read_parameters(),
], ids=["measure", "stream count", "stream iteration", "read parameters"])
def test_another_thread_ends_a_long_call(port, stop, run):
    s = karvo.Sensor(port)
    s.identify()
    stopper = threading.Timer(0.3, getattr(s, stop))
    stopper.start()
    start = time.monotonic()
    try:
        run(s)
    except karvo.Cancelled as cancelled:
        assert cancelled.status == karvo.Status.CANCELLED
        assert stop == "cancel" or "closed by Sensor.close()" in str(cancelled)
    assert time.monotonic() - start < 2
    # close() returns once the port is closed, which is after the call it ended has returned.
    stopper.join()
    if stop == "close":
        assert s.closed and line_quiet(port)
    else:
        assert s.identify().serial_number == 4321
        s.close()
        assert line_quiet(port)


def test_a_port_held_in_this_process_names_its_holder(port, tmp_path):
    link = tmp_path / "sensor-link"
    link.symlink_to(port)
    first = karvo.Sensor(pathlib.Path(port))
    for opening in (lambda: karvo.Sensor(port), lambda: karvo.Sensor(link), lambda: karvo.scan(link)):
        with pytest.raises(karvo.PortError) as held:
            opening()
        assert held.value.reason == f"held by karvo.Sensor({port!r}) in this process; close it first"
    # A notebook cell run again: the new object takes the port once the old one is gone.
    first = karvo.Sensor(link) if first.close() is None else None
    assert first.identify().serial_number == 4321


def test_timeout_bounds_the_wait_for_a_silent_sensor(port):
    with karvo.Sensor(port, address=9, timeout=0.1) as s:
        assert s.timeout == 0.1
        start = time.monotonic()
        with pytest.raises(TimeoutError):
            s.identify()
        # The sensor's own time-out alone is a second.
        assert time.monotonic() - start < 0.9


@pytest.mark.parametrize("keep, warned, serial", [(False, True, 1111), (True, False, 4321)])
def test_loading_another_sensors_file_warns_of_identity_rows(start_sim, tmp_path, keep, warned,
                                                             serial):
    other, this = start_sim("--serial", "1111", "--range", "50")[0], start_sim()[0]
    with karvo.Sensor(other) as s:
        s.save_parameters(tmp_path / "golden.prm")
    with karvo.Sensor(this) as s, warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        s.save_parameters(tmp_path / "own.prm")
        s.load_parameters(tmp_path / "own.prm")
        assert seen == []
        s.load_parameters(tmp_path / "golden.prm", keep_identity=keep)
        rows = s.read_parameters()
    assert (rows[28].raw, rows[30].raw) == (serial, 50 if warned else 100)
    assert [w.category for w in seen] == ([UserWarning] if warned else [])
    if warned:
        text = str(seen[0].message)
        assert "Serial Number 1111 (the sensor has 4321)" in text and "golden.prm" in text
        assert "Measuring Range 50" in text and "Device Type" not in text


# ---- Several sensors on one line, and ports on the network ----

@pytest.fixture
def bus_port(start_sim):
    return start_sim("--addresses", "1,2,3", "--baud", "115200")[0]


def test_a_bus_gives_each_sensor_a_column_in_the_order_given(bus_port):
    with karvo.Bus(bus_port, baud=115200, addresses=[3, 1, 2]) as bus:
        identities = bus.identify()
        rounds = bus.measure(4)
        nonline = bus.measure(2, mode="nonline")
        # Sensor calls on the shared line, two threads at once: they take turns.
        rows = {}
        readers = [threading.Thread(target=lambda a=a: rows.update({a: bus.sensors[a].read_parameters()}))
                   for a in (1, 2)]
        for r in readers:
            r.start()
        for r in readers:
            r.join()
        # A stream owns the line: the others are refused rather than breaking into it.
        with bus.sensors[1].stream() as st:
            next(iter(st))
            with pytest.raises(karvo.Error) as busy:
                bus.sensors[2].identify()
        assert (busy.value.status, busy.value.name) == (karvo.Status.LINE_BUSY, "line_busy")
        assert "address 1 streams" in busy.value.reason
    assert list(identities) == [3, 1, 2] == list(bus.addresses)
    assert [i.serial_number for i in identities.values()] == [4323, 4321, 4322]
    assert rounds.dtype == np.float64 and rounds.shape == (4, 3) and not np.isnan(rounds).any()
    assert ((rounds > 0) & (rounds < 100)).all()
    assert nonline.shape == (2, 3) and nonline.min() > 1000
    assert {a: p[3].raw for a, p in rows.items()} == {1: 1, 2: 2}
    assert bus.closed and all(s.closed for s in bus.sensors.values())


def test_a_sensor_gone_from_the_bus_is_named_after_three_silent_rounds(bus_port):
    # The sensors' own time-out would take 3 s a silent round.
    with karvo.Bus(bus_port, baud=115200, addresses=[1, 2], timeout=0.3) as bus:
        assert bus.timeout == 0.3
        bus.identify()
        # Readdressed, the sensor no longer answers at the address its column is for.
        bus.sensors[2].write_parameter(3, 9)
        start = time.monotonic()
        with pytest.raises(karvo.NoAnswer) as silent:
            bus.measure(100, mode="Line")
        assert time.monotonic() - start < 3
        assert "address 2 did not answer 3 rounds in a row" in str(silent.value)
        assert isinstance(silent.value, TimeoutError) and silent.value.status == 3
        # What was measured before is not lost with the call.
        taken = silent.value.rounds
        assert taken.shape[1] == 2 and taken.shape[0] >= 2
        assert np.isnan(taken[:, 1]).all() and not np.isnan(taken[:, 0]).any()
        # The others are still there.
        assert bus.sensors[1].measure(1).shape == (1,)


@pytest.mark.parametrize("make, error, words", [
    (lambda p: karvo.Bus(p, addresses=[1, 1]), ValueError, "addresses names 1 twice"),
    (lambda p: karvo.Bus(p, addresses=[]), ValueError, "addresses takes 1 or more"),
    (lambda p: karvo.Bus(p, addresses=[1, 128]), ValueError, "address takes 1 to 127, not 128"),
    (lambda p: karvo.Bus(p, addresses="12"), TypeError, "addresses must be a list of ints"),
    (lambda p: karvo.Bus(p, addresses=[1.0]), TypeError, "address must be an int, not float"),
    (lambda p: karvo.Bus(p, baud=1), ValueError, "baud takes"),
    (lambda p: (b := karvo.Bus(p, addresses=[1]), b.measure(0))[1], ValueError,
     "count takes 1 to 100000000, not 0"),
    (lambda p: karvo.Sensor("tcp://127.0.0.1"), ValueError, "has no port"),
    (lambda p: karvo.Sensor("rfc2217://127.0.0.1:70000"), ValueError, "above 65535"),
    (lambda p: karvo.Sensor("ftp://127.0.0.1:21"), ValueError, "ftp"),
    (lambda p: karvo.scan("socket://[::1"), ValueError, "socket://[::1"),
], ids=lambda v: v if isinstance(v, str) else None)
def test_bus_arguments_and_malformed_port_names_are_refused_at_once(port, make, error, words):
    with pytest.raises(error) as failure:
        make(port)
    assert words in str(failure.value) and not isinstance(failure.value, karvo.Error)


def test_a_bus_holds_its_port_and_its_calls_end_on_close(bus_port):
    bus = karvo.Bus(bus_port, baud=115200, addresses=[1, 2])
    with pytest.raises(karvo.PortError) as held:
        karvo.Sensor(bus_port)
    assert held.value.reason == f"held by karvo.Bus({bus_port!r}) in this process; close it first"
    bus.identify()
    threading.Timer(0.3, bus.close).start()
    start = time.monotonic()
    with pytest.raises(karvo.Cancelled) as cancelled:
        bus.measure(100000)
    assert time.monotonic() - start < 2 and "closed by Bus.close()" in str(cancelled.value)
    with pytest.raises(karvo.PortError):
        bus.sensors[1].identify()
    # The port is free again.
    with karvo.Sensor(bus_port, baud=115200) as s:
        assert s.identify().serial_number == 4321
    assert line_quiet(bus_port)


@pytest.fixture
def ser2net(tmp_path):
    program = shutil.which("ser2net") or shutil.which("ser2net", path="/usr/sbin:/sbin")
    if program is None:
        pytest.skip("ser2net is not installed: scripts/bootstrap.sh installs it")
    servers = []

    def serve(device):
        ports = {}
        config = "%YAML 1.1\n---\n"
        for kind, accepter in (("tcp", "tcp"), ("rfc2217", "telnet(rfc2217),tcp")):
            with socket.socket() as probe:
                probe.bind(("127.0.0.1", 0))
                ports[kind] = probe.getsockname()[1]
            config += (f"connection: &{kind}\n  accepter: {accepter},127.0.0.1,{ports[kind]}\n"
                       f"  connector: serialdev,{device},9600e81,local\n")
        path = tmp_path / f"ser2net{len(servers)}.yaml"
        path.write_text(config)
        servers.append(subprocess.Popen([program, "-n", "-c", str(path)],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        # Listening, from the kernel's table: a probing connection would open a session.
        wanted = {f":{p:04X}" for p in ports.values()}
        for _ in range(100):
            with open("/proc/net/tcp") as table:
                listening = {line.split()[1][-5:] for line in table.readlines()[1:]
                             if line.split()[3] == "0A"}
            if wanted <= listening:
                break
            time.sleep(0.05)
        return {kind: f"{kind}://127.0.0.1:{p}" for kind, p in ports.items()}

    yield serve
    for server in servers:
        server.terminate()
        server.wait(10)


@pytest.mark.parametrize("kind, warned", [("tcp", True), ("rfc2217", False)])
def test_sensors_on_a_device_server(start_sim, ser2net, kind, warned):
    urls = ser2net(start_sim()[0])
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        with karvo.Sensor(urls[kind]) as s:
            identity = s.identify()
            values = s.measure(3)
            # The line is reopened at the rate written: said again where it cannot be set.
            s.write_parameter(2, "9600")
            assert s.identify().serial_number == 4321
    assert identity.serial_number == 4321 and values.shape == (3,)
    assert [w.category for w in seen] == ([UserWarning] * 2 if warned else [])
    for w in seen:
        assert "cannot set the line" in str(w.message) and urls[kind] in str(w.message)
        assert w.filename == __file__


def test_a_bus_through_rfc2217(start_sim, ser2net):
    urls = ser2net(start_sim("--addresses", "1,2")[0])
    with karvo.Bus(urls["rfc2217"], addresses=[1, 2]) as bus:
        assert [i.serial_number for i in bus.identify().values()] == [4321, 4322]
        assert bus.measure(2).shape == (2, 2)


def test_a_dropped_bus_frees_its_port_at_once(bus_port):
    bus = karvo.Bus(bus_port, baud=115200, addresses=[1, 2])
    sensor = bus.sensors[2]
    del bus
    # A sensor in use keeps its line open; the last one gone frees the port.
    assert sensor.identify().serial_number == 4322
    del sensor
    with karvo.Bus(bus_port, baud=115200, addresses=[2]) as again:
        assert again.identify()[2].serial_number == 4322
