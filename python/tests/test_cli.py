"""python -m ktremote against the stand-in library: ktcli's commands,
output formats and exit statuses."""

import json

import pytest

from fakelib import VERSION
from ktremote import _cli


@pytest.fixture
def run(monkeypatch, capfd, fake):
    monkeypatch.setattr(_cli, "load_library", lambda path: fake)

    def run(*argv):
        code = _cli.main(["--library", "fake", *argv])
        out, err = capfd.readouterr()
        return code, out, err
    return run


def test_channels_in_every_format(run, fake):
    fake.channels.append(("0,4", 'Odd, "name"', ""))
    code, out, _ = run("channels")
    assert code == 0
    lines = out.splitlines()
    assert lines[0].split() == ["ID", "NAME", "UNIT", "TYPE", "RATE", "CONTROL"]
    assert lines[1].split() == ["0,1", "Speed", "rpm", "sync", "1000", "no"]
    assert lines[2].split() == ["0,3", "Torque", "Nm", "sync", "1000", "yes"]
    assert lines[3].split()[-4:] == ["-", "sync", "1000", "no"]  # empty unit: the columns stay
    assert fake.open_channels == {}

    code, out, _ = run("--format", "csv", "channels")  # options before the command too
    assert code == 0
    assert out.splitlines()[0] == '"id","name","unit","type","sampleRate","control"'
    assert out.splitlines()[3] == '"0,4","Odd, ""name""","","sync","1000","false"'

    code, out, _ = run("channels", "--format=json")
    assert json.loads(out)[1] == {"id": "0,3", "name": "Torque", "unit": "Nm", "type": "sync",
                                  "sampleRate": 1000.0, "control": True}


def test_versions(run):
    assert run("version") == (0, VERSION + "\n", "")
    code, out, _ = run("--version")
    assert code == 0 and out.startswith("ktremote ") and out.endswith(f" (library {VERSION})\n")


def test_state_write_and_stop(run, fake):
    assert run("state") == (0, "state      setup\nacquiring  no\n", "")
    code, out, _ = run("state", "--format", "json")
    assert json.loads(out) == {"state": "setup", "code": 1, "acquiring": False}
    assert run("write", "Torque", "-1.5")[:2] == (0, "wrote -1.5 to Torque\n")
    assert fake.written == ("Torque", -1.5)
    code, _, err = run("write", "0,1", "2")  # by id; not a control channel
    assert code == 1 and "does not accept" in err
    fake.acquiring = True
    assert run("stop")[:2] == (0, "measurement stopped\n") and not fake.acquiring


@pytest.mark.parametrize("argv", [
    ("nonsense",), ("channels", "--nope"), ("channels", "--format", "xml"), ("write", "Torque"),
    ("write", "Torque", "abc"), ("stream", "--duration", "-1"), ("stream", "--buffer-size", "0"),
    ("stream", "--output", "x.h5"), ("store", "pause"), ("stream", "--duration"),
])
def test_wrong_arguments_exit_2(run, argv):
    code, out, err = run(*argv)
    assert code == 2 and out == "" and err


def test_failures_exit_1_with_the_error_on_stderr(run, fake):
    fake.accept_connect = False
    code, out, err = run("channels")
    assert code == 1 and "KX_ERR_NOT_CONNECTED" in err and out == ""


def test_stream_writes_ktcli_csv_and_keeps_the_library_line_off_stdout(run, fake):
    fake.stdout_text = b"Connection from: 127.0.0.1\n"
    fake.samples["0,1"] = [(1.5, 0.0), (2.5, 0.01), (-0.0, 0.02)]
    fake.samples["0,3"] = [(1e-05, 0.0)]
    code, out, err = run("stream", "--duration", "0", "--quiet", "Speed", "0,3")
    assert code == 0
    assert out.splitlines() == [
        "Speed time [s],Speed [rpm],Torque time [s],Torque [Nm]",
        "0,1.5,0,1e-05",
        "0.01,2.5,,",
        "0.02,0,,",
    ]
    assert "Connection from: 127.0.0.1" in err and "Speed" in err  # the summary follows the CSV's stream
    assert fake.calls.count("ktconStartMeasurement") == fake.calls.count("ktconStopMeasurement") == 1
    assert fake.open_channels == {} and fake.disconnects == 1


def test_stream_exit_statuses(run, fake, tmp_path):
    code, _, err = run("stream", "--duration", "0", "--quiet", "Speed")
    assert code == 1 and "no samples arrived" in err

    output = tmp_path / "out.csv"
    fake.samples["0,1"] = [(1.0, 0.0)]
    fake.read_result = -21
    code, out, _ = run("stream", "--duration", "0", "--quiet", "--output", str(output))
    assert code == 3 and "CSV: 1 rows" in out and "dropped" in out
    assert output.read_text().splitlines()[1] == "0,1,,"
    fake.samples["0,1"] = [(1.0, 0.0)]
    assert run("stream", "--duration", "0", "--quiet", "--allow-loss", "Speed")[0] == 0

    fake.read_result = 0
    fake.acquiring = True
    code, _, err = run("stream", "--duration", "0", "Speed")
    assert code == 1 and "already measuring" in err and "ktconStartMeasurement" not in fake.calls[-5:]
    fake.samples["0,1"] = [(1.0, 0.0)]
    assert run("stream", "--duration", "0", "--quiet", "--force", "Speed")[0] == 0

    assert run("stream", "Speed", "Speed")[0] == 2  # the same channel twice
    assert run("stream", "0,1", "--duration", "0", "0,1")[0] == 2
    assert fake.open_channels == {}


@pytest.mark.parametrize("value, text", [
    (100.0, "100"), (0.001, "0.001"), (1e-05, "1e-05"), (1e16, "1e+16"), (1e15, "1e+15"),
    (123456.789, "123456.789"), (-0.0, "0"), (0.0001, "1e-04"), (0.00030000000000000003, "0.00030000000000000003"),
    (1.2345678901234568e+20, "123456789012345683968"), (987654321987654321.0, "987654321987654272"),
    (5e-324, "5e-324"), (-2.5e-07, "-2.5e-07"), (1.7976931348623157e308, "1.7976931348623157e+308"),
    (float("inf"), "inf"), (float("-inf"), "-inf"),
])
def test_numbers_are_written_as_ktcli_writes_them(value, text):
    # The texts are those of ktcli's shortest round-trip formatting.
    from ktremote._csv import shortest_text
    assert shortest_text(value) == text
