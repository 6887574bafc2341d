"""python -m ktremote against the stand-in library."""

import ktremote.__main__ as cli


def run(monkeypatch, capsys, fake, *argv):
    monkeypatch.setattr(cli, "load_library", lambda path: fake)
    code = cli.main(["--library", "fake", *argv])
    out, err = capsys.readouterr()
    return code, out, err


def test_list_prints_every_channel_with_an_id(monkeypatch, capsys, fake):
    code, out, _ = run(monkeypatch, capsys, fake, "list")
    assert code == 0
    lines = out.splitlines()
    assert lines[1].split()[:3] == ["0,1", "Speed", "rpm"]
    assert lines[2].split()[:3] == ["0,3", "Torque", "Nm"]
    assert lines[-1] == "2 channels"
    assert fake.open_channels == {}


def test_stream_prints_samples_then_frees_everything(monkeypatch, capsys, fake):
    fake.samples["0,1"] = [(1.5, 0.0), (2.5, 0.01)]
    code, out, _ = run(monkeypatch, capsys, fake, "stream", "--seconds", "0", "--channel", "Speed")
    assert code == 0
    assert out.splitlines() == ["Speed\t0\t1.5", "Speed\t0.01\t2.5"]
    assert fake.calls.count("ktconStartMeasurement") == fake.calls.count("ktconStopMeasurement") == 1
    assert fake.open_channels == {} and fake.disconnects == 1


def test_stream_summary_and_no_samples(monkeypatch, capsys, fake):
    code, out, _ = run(monkeypatch, capsys, fake, "stream", "--seconds", "0", "--summary")
    assert code == 1  # nothing arrived
    assert "Speed" in out and "Torque" in out


def test_failures_exit_with_the_error_on_stderr(monkeypatch, capsys, fake):
    fake.accept_connect = False
    code, out, err = run(monkeypatch, capsys, fake, "list")
    assert code == 2 and "KX_ERR_NOT_CONNECTED" in err and out == ""
