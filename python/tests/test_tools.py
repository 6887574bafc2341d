# SPDX-License-Identifier: MIT
"""``python -m ktremote`` is ktcli, and the wheel's commands ktcli and ktsim
run from a venv that has nothing but the wheel.

The programs are the ones the package finds itself (the wheel's copies,
those of the install prefix, or those on the PATH); from a wheel or an
installed tree they must be there."""

import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

import ktremote
import simulator
from ktremote import _tools

FROM_WHEEL = bool(os.environ.get("KTREMOTE_FROM_WHEEL"))
MUST_HAVE = FROM_WHEEL or bool(os.environ.get("KTREMOTE_INSTALLED_PREFIX"))
KTCLI = _tools.find_program("ktcli")
STREAMING = bool(os.environ.get("KTREMOTE_KTSIM_STREAM"))
# The simulator: the wheel's own command when testing a wheel.
KTSIM = (str(Path(sys.executable).parent / "ktsim") if FROM_WHEEL
         else os.environ.get("KTREMOTE_KTSIM") or _tools.find_program("ktsim"))

needs_ktcli = pytest.mark.skipif(not KTCLI and not MUST_HAVE, reason="no ktcli program found")
needs_stream = pytest.mark.skipif(not (KTCLI or MUST_HAVE) or not KTSIM or not STREAMING,
                                  reason="no ktcli, no ktsim, or no streaming (KTREMOTE_KTSIM_STREAM)")
LIMIT = 120


def python_m(*argv, **popen):
    """``python -m ktremote ARGV`` in a process of its own."""
    return subprocess.Popen([sys.executable, "-m", "ktremote", *argv], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, **popen)


def run(*argv):
    process = python_m(*argv)
    out, err = process.communicate(timeout=LIMIT)
    return process.returncode, out, err


def where(connect_text):
    host, port, data_port = connect_text.split()
    return ["--host", host, "--port", port, "--data-port", data_port]


@pytest.fixture(scope="module")
def connect_text():
    with simulator.running(KTSIM) as text:
        yield text


@needs_ktcli
def test_python_m_is_ktcli_with_its_arguments_output_and_status(project_version):
    assert KTCLI, "the package finds no ktcli"
    assert run("--version") == (0, f"ktcli {project_version} (library {project_version})\n", "")
    # Wrong arguments: 2, and ktcli's own words.
    status, _, err = run("stream", "--duration", "x")
    assert status == 2 and "ktcli stream: --duration must be a finite number" in err
    # A port that refuses: 1 at once, with the code the connect gives.
    status, _, err = run("--port", str(simulator.free_port()), "state")
    assert status == 1 and "KX_ERR_NO_COMMAND_CONNECTION (-6)" in err, err


@pytest.mark.skipif(not FROM_WHEEL, reason="not run from an installed wheel")
def test_wheel_installs_both_commands_with_their_programs(project_version):
    package = Path(ktremote.__file__).resolve().parent
    assert KTCLI == str(package / "_bin" / "ktcli")
    assert _tools.find_program("ktsim") == str(package / "_bin" / "ktsim")
    bin_dir = Path(sys.executable).parent
    out = subprocess.run([bin_dir / "ktcli", "--version"], capture_output=True, text=True, timeout=LIMIT)
    assert (out.returncode, out.stdout) == (0, f"ktcli {project_version} (library {project_version})\n")
    out = subprocess.run([bin_dir / "ktsim", "--version"], capture_output=True, text=True, timeout=LIMIT)
    assert out.returncode == 0 and project_version in out.stdout


@needs_stream
def test_stream_records_csv_and_hdf5(connect_text, tmp_path):
    status, out, err = run(*where(connect_text), "stream", "--duration", "1", "--quiet", "Voltage", "Speed")
    assert status == 0, err
    lines = out.splitlines()
    assert lines[0] == "Voltage time [s],Voltage [V],Speed time [s],Speed [rpm]"
    assert len(lines) > 10 and all(line.count(",") == 3 for line in lines)
    assert "Connection from: " in err and "Voltage" in err  # the summary goes with the library's line

    h5 = tmp_path / "x.h5"
    status, _, err = run(*where(connect_text), "stream", "--duration", "1", "--quiet", "--output", str(h5),
                         "Voltage")
    assert status == 0, err
    h5py = pytest.importorskip("h5py")
    with h5py.File(h5, "r") as file:
        values, times = file["Voltage"]["values"][()], file["Voltage"]["time"][()]
    assert len(values) == len(times) > 100
    assert list(times) == sorted(times)


@needs_stream
def test_a_signal_reaches_ktcli_itself(connect_text):
    # The process became ktcli: SIGTERM ends the stream like the end of
    # --duration, with the measurement stopped and a whole last row.
    process = python_m(*where(connect_text), "stream", "--duration", "60", "Voltage")
    assert process.stdout.readline().startswith("Voltage time [s]")
    process.stdout.readline()  # samples flow
    process.send_signal(signal.SIGTERM)
    out, err = process.communicate(timeout=LIMIT)
    assert process.returncode == 0, err
    assert "count" in err and out.endswith("\n")
    with ktremote.Instance(library=ktremote.Library()) as app:
        app.connect(connect_text.rsplit(" ", 1)[0] + f" {simulator.free_port()}")
        assert not app.is_acquiring()


def test_the_commands_own_scripts_are_never_taken_for_the_program(tmp_path, monkeypatch):
    # The command "ktcli" of a package without its own programs is a script
    # of that name on the PATH: running it instead of the program would
    # start it again and again.
    scripts, programs = tmp_path / "venv-bin", tmp_path / "bin"
    scripts.mkdir()
    programs.mkdir()
    (scripts / "ktsim").write_text("#!/usr/bin/python3\nfrom ktremote._tools import ktsim\n")
    (programs / "ktsim").write_bytes(b"\x7fELF not really")
    for path in (scripts / "ktsim", programs / "ktsim"):
        path.chmod(0o755)
    monkeypatch.setattr(_tools, "__file__", str(tmp_path / "pkg" / "_tools.py"))
    monkeypatch.setenv("PATH", os.pathsep.join([str(scripts), str(programs)]))
    assert _tools.find_program("ktsim") == str(programs / "ktsim")
    monkeypatch.setenv("PATH", str(scripts))
    assert _tools.find_program("ktsim") is None
    assert _tools.run("ktsim", []) == _tools.NOT_FOUND
