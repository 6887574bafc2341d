# SPDX-License-Identifier: MIT
"""The convenience reads against the stand-in library: exact copies out of
reused buffers, reads of every open channel, and waiting reads. Run with
and without numpy (KTREMOTE_TEST_NO_NUMPY)."""

import time
from array import array

import pytest

import ktremote


@pytest.fixture
def app(fake):
    instance = ktremote.Instance(library=fake)
    instance.connect("localhost 8999 8001")
    return instance


def kind_ok(values):
    if ktremote.HAVE_NUMPY:
        import numpy
        return isinstance(values, numpy.ndarray) and values.dtype == numpy.float64
    return isinstance(values, array) and values.typecode == "d"


def test_read_hands_out_exact_copies_from_reused_buffers(app, fake):
    with app.channel("0,3") as torque:
        fake.samples["0,3"] = [(float(k), k / 10) for k in range(7)]
        first = torque.read(100)
        assert kind_ok(first.values) and kind_ok(first.times)
        assert list(first.values) == [float(k) for k in range(7)]
        assert list(first.times) == [k / 10 for k in range(7)]
        buffers = app._scratch.scratch.values
        fake.samples["0,3"] = [(-1.0, 9.0)] * 3
        second = torque.read(100)
        # The first result is not overwritten by the next read, and the same
        # scratch served both.
        assert list(first.values) == [float(k) for k in range(7)] and list(second.values) == [-1.0] * 3
        assert app._scratch.scratch.values is buffers
        assert len(torque.read(100).values) == 0
        assert fake.requested == [100, 100, 100]
        # A larger request grows the buffers once; smaller ones reuse them.
        fake.samples["0,3"] = [(1.0, 1.0)] * 5000
        assert len(torque.read(5000).values) == 5000
        grown = app._scratch.scratch.values
        assert len(grown) >= 5000 and torque.read(10).values is not grown
        assert app._scratch.scratch.values is grown


def test_threads_read_into_buffers_of_their_own(app, fake):
    import threading
    with app.channel("0,1") as speed:
        fake.samples["0,1"] = [(1.0, 0.0)]
        speed.read(10)
        mine = app._scratch.scratch
        other = []
        thread = threading.Thread(target=lambda: (speed.read(10), other.append(app._scratch.scratch)))
        thread.start()
        thread.join()
        assert other[0] is not mine and app._scratch.scratch is mine


def test_read_of_nothing_still_reports_an_overrun_and_refuses_bad_arguments(app, fake):
    with app.channel("0,1") as speed:
        fake.read_result = -21
        samples = speed.read(0)  # the fake refuses null buffers
        assert samples.overrun and len(samples.values) == 0
        with pytest.raises(ValueError):
            speed.read(-1)
        with pytest.raises(ValueError):
            speed.read(10, timeout=-1)
        with pytest.raises(ValueError):
            speed.read(10, timeout=float("nan"))


def test_read_with_timeout_waits_for_the_first_sample(app, fake):
    with app.channel("0,1") as speed:
        fake.samples["0,1"] = [(1.5, 0.0), (2.5, 0.01)]
        fake.empty_reads = 3
        fake.read_result = -21  # dropped samples reported while waiting are kept
        samples = speed.read(10, timeout=30)
        assert list(samples.values) == [1.5, 2.5] and samples.overrun
        assert len(fake.requested) == 4

        fake.read_result = 0
        begin = time.monotonic()
        samples = speed.read(10, timeout=0.05)  # nothing comes
        assert len(samples.values) == 0 and time.monotonic() - begin >= 0.05
        calls = len(fake.requested)
        speed.read(10)  # without a time-out: one look only
        assert len(fake.requested) == calls + 1


def test_read_all_reads_every_open_channel_by_name(app, fake):
    speed, torque, closed = app.channel("0,1"), app.channel_by_name("Torque"), app.channel("0,3")
    closed.close()
    fake.samples["0,1"] = [(1.0, 0.1), (2.0, 0.2)]
    fake.samples["0,3"] = [(5.0, 0.5)]
    result = app.read_all(10)
    assert list(result) == ["Speed", "Torque"]
    assert list(result["Speed"].values) == [1.0, 2.0] and list(result["Speed"].times) == [0.1, 0.2]
    assert list(result["Torque"].values) == [5.0] and kind_ok(result["Torque"].times)

    # A second handle on a name is keyed by its id.
    again = app.channel("0,3")
    assert list(app.read_all(10)) == ["Speed", "Torque", "0,3"]

    # Waits until any channel has a sample.
    fake.empty_reads = 5
    fake.samples["0,3"] = [(7.0, 0.7)]
    result = app.read_all(10, timeout=30)
    assert sum(len(s.values) for s in result.values()) == 1

    # A channel that fails does not take the samples read before it along.
    fake.samples["0,1"] = [(3.0, 0.3)]
    fake.failing_reads["0,3"] = -8
    with pytest.raises(ktremote.AppCallFailedError) as failure:
        app.read_all(10)
    assert list(failure.value.samples["Speed"].values) == [3.0]
    for channel in (speed, torque, again):
        channel.close()
    assert app.read_all(10, timeout=0.01) == {}
