"""The package as IDEs and type checkers see it: the stubs agree with the package at run time,
and mypy takes a correct script and finds the faults in a wrong one."""
import ast
import inspect
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import karvo

STUB = pathlib.Path(karvo.__file__).with_name("__init__.pyi")


def parameters(f):
    a = f.args
    defaults = [None] * (len(a.args) - len(a.defaults)) + [ast.unparse(d) for d in a.defaults]
    defaults += [None if d is None else ast.unparse(d) for d in a.kw_defaults]
    return list(zip([x.arg for x in a.args + a.kwonlyargs], defaults))


def stub_functions():
    """Every def of the stubs but overloads, properties and dunders other than __init__, by
    qualified name, with its parameters as (name, default's source)."""
    found = {}
    tree = ast.parse(STUB.read_text())
    owners = [(None, tree.body)] + [(n.name, n.body) for n in tree.body if isinstance(n, ast.ClassDef)]
    for owner, body in owners:
        for f in body:
            if not isinstance(f, ast.FunctionDef) or f.name.startswith("__") and f.name != "__init__":
                continue
            if any(getattr(d, "id", "") in ("overload", "property") for d in f.decorator_list):
                continue
            found[f"{owner}.{f.name}" if owner else f.name] = parameters(f)
    return found


STUBBED = stub_functions()


@pytest.mark.parametrize("name", sorted(STUBBED))
def test_stubs_and_signatures_agree(name):
    target = karvo
    for part in name.split("."):
        target = getattr(target, part)
    runtime = [(p.name, None if p.default is p.empty else repr(p.default))
               for p in inspect.signature(target).parameters.values()]
    assert runtime == STUBBED[name]


def test_stubs_cover_the_statuses_and_every_public_name():
    tree = ast.parse(STUB.read_text())
    status = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Status")
    members = {t.targets[0].id: t.value.value for t in status.body if isinstance(t, ast.Assign)}
    assert members == {s.name: s.value for s in karvo.Status}
    names = {getattr(n, "name", None) for n in tree.body}
    assert set(karvo.__all__) - names <= {"BAUD_RATES"}
    for s in karvo.Status:
        assert f"{s.value:>2}  {s.name.lower()}" in karvo.Error.__doc__


def mypy(tmp_path, source):
    script = tmp_path / "script.py"
    script.write_text(textwrap.dedent(source))
    environment = dict(os.environ, MYPYPATH=str(pathlib.Path(karvo.__file__).parents[1]))
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir",
         str(tmp_path / "cache"), "--no-error-summary", str(script)],
        capture_output=True, text=True, env=environment, timeout=300)


GOOD = """
    import pathlib
    import numpy as np
    import numpy.typing as npt
    import karvo

    def run(port: pathlib.Path) -> float:
        with karvo.Sensor(port, baud=19200, timeout=0.5) as s:
            ident: karvo.Identity = s.identify()
            values: npt.NDArray[np.float64] = s.measure(3, mode="Line")
            times, taken = s.measure(3, times=True)
            rows = [p.raw for p in s.read_parameters() if p.row == ident.device_type]
            s.load_parameters("golden.prm", keep_identity=True)
            with s.stream() as st:
                first = next(iter(st))
            try:
                s.flash("store")
            except karvo.Error as e:
                print(e.status == karvo.Status.NO_ANSWER, e.reason, e.doing, rows)
            return float(values.sum() + times[-1] + taken[0]) + first + len(s.unit)

    def poll(line: str) -> float:
        with karvo.Bus(line, baud=115200, addresses=[1, 2], timeout=0.5) as bus:
            ids: dict[int, karvo.Identity] = bus.identify()
            rounds: npt.NDArray[np.float64] = bus.measure(5, mode="Line")
            with bus.sensors[1].stream() as st:
                lost: int = st.lost
            return float(rounds[0, 0]) + ids[2].serial_number + lost

    print([f.identity.serial_number for f in karvo.scan("/dev/ttyUSB0", all=True)])
"""

BAD = """
    import karvo

    s = karvo.Sensor("/dev/ttyUSB0")
    s.measure("3")
    serial: str = s.identify().serial_number
    s.flash("erase")
    s.load_parameters("a.prm", keep_identity=1.5)
    s.stream(5).running
    karvo.Bus("/dev/ttyUSB0", addresses=[1]).measure("3")
    karvo.Bus("/dev/ttyUSB0").sensors["1"]
"""


def test_mypy_takes_a_correct_script_and_finds_the_faults_of_a_wrong_one(tmp_path):
    good = mypy(tmp_path, GOOD)
    assert good.returncode == 0, good.stdout + good.stderr
    bad = mypy(tmp_path, BAD)
    lines = sorted({int(line.split(":")[1]) for line in bad.stdout.splitlines() if ": error:" in line})
    assert lines == [5, 6, 7, 8, 9, 10, 11], bad.stdout + bad.stderr
