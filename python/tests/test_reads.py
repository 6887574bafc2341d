# SPDX-License-Identifier: MIT
"""The convenience reads against the stand-in library: exact copies out of
reused buffers, reads of every open channel, and waiting reads. Run with
and without numpy (KTREMOTE_TEST_NO_NUMPY)."""

import time
import weakref
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


def block_of(samples):
    """A weak reference to the block a read_all() array is a view of (a
    strong one would hold the block itself)."""
    return weakref.ref(samples.values.base)


def test_read_all_never_overwrites_samples_the_host_still_holds(app, fake):
    channels = app.channel("0,1"), app.channel("0,3")

    def contents(thing):
        if isinstance(thing, dict):
            return [list(s.values) + list(s.times) for s in thing.values()]
        return [list(part) for part in thing] if isinstance(thing, tuple) else list(thing)

    # Each round the host keeps a different part of what it read, while it
    # reads the next round: the part must come through that read unchanged.
    held = None
    for k in range(16):
        fake.samples["0,1"] = [(100.0 * k + i, k + i / 10) for i in range(1 + k % 4)]
        fake.samples["0,3"] = [(-100.0 * k - i, float(k)) for i in range(k % 3)]
        if k == 13:
            # A round that fails half-way: what the host got is held by the error.
            fake.failing_reads["0,3"] = -8
            with pytest.raises(ktremote.AppCallFailedError) as failure:
                app.read_all(10)
            del fake.failing_reads["0,3"]
            result = failure.value.samples
            del failure
        else:
            result = app.read_all(10)
            assert list(result["Speed"].values) == [100.0 * k + i for i in range(1 + k % 4)]
            assert list(result["Torque"].times) == [float(k)] * (k % 3)
        if held is not None:
            assert contents(held[0]) == held[1], f"round {k} overwrote what the host kept"
        parts = [result, memoryview(result["Speed"].times)[1:]]  # a whole round; a view of a view
        if ktremote.HAVE_NUMPY:
            parts += [result["Speed"].values[::-1], (result["Speed"].values[1:], result["Speed"].times)]
        held = parts[k % len(parts)]
        held = held, contents(held)
        del result, parts
    # However much the host keeps, the package itself keeps two blocks.
    assert len(app._scratch.scratch.blocks) <= 2
    for channel in channels:
        channel.close()


@pytest.mark.skipif(not ktremote.HAVE_NUMPY, reason="rounds are views of a reused block only with numpy")
def test_read_all_reuses_its_block_once_the_host_lets_go(app, fake):
    channels = app.channel("0,1"), app.channel("0,3")

    def round_(count):
        fake.samples["0,1"] = [(1.0, 1.0)] * count
        fake.samples["0,3"] = [(3.0, 3.0)] * count
        result = app.read_all(5000)
        assert [list(s.values) for s in result.values()] == [[1.0] * count, [3.0] * count]
        return result

    # The first round finds room for the first channel only; the second
    # channel's samples are copies.
    first = round_(5000)
    assert first["Torque"].values.flags.owndata and not first["Speed"].values.flags.owndata
    del first
    # Sized by that round, the next block takes both channels, and a round
    # the host dropped leaves its block for the next.
    block = block_of(round_(5000)["Speed"])
    assert block_of(round_(4000)["Torque"])() is block()
    # While the host holds a round, the next goes elsewhere; while it holds
    # two, the third is copies.
    kept = [round_(10), round_(10)]
    held = block_of(kept[0]["Speed"])(), block_of(kept[1]["Speed"])()
    assert held[0] is block() and held[1] is not held[0]
    assert round_(10)["Speed"].values.flags.owndata
    del kept, held
    assert block_of(round_(10)["Speed"])() is block()
    for channel in channels:
        channel.close()


@pytest.mark.skipif(not ktremote.HAVE_NUMPY, reason="round blocks need numpy")
def test_a_round_block_counts_every_kind_of_holder():
    import ctypes
    from ktremote._buffers import RoundBlock
    block = RoundBlock(16)
    holders = [
        lambda: (block.values[:1], block.times[2:]),  # one view of each array
        lambda: block.times[3:9][::2],  # a view of a view
        lambda: memoryview(block.values)[4:],
        lambda: (ctypes.c_double * 2).from_buffer(block.times, 8),
        lambda: {"kept": block.values[15:]},
    ]
    assert not block.held()
    for make in holders:
        holder = make()
        assert block.held(), holder
        del holder
        assert not block.held()


@pytest.mark.skipif(not ktremote.HAVE_NUMPY, reason="round blocks need numpy")
def test_read_all_hands_out_copies_where_references_cannot_be_counted(app, fake, monkeypatch):
    import ktremote._buffers
    monkeypatch.setattr(ktremote._buffers, "_refcount", None)  # as on an interpreter without getrefcount
    with app.channel("0,1"):
        for k in range(3):
            fake.samples["0,1"] = [(float(k), 0.5)] * 4
            speed = app.read_all(10)["Speed"]
            assert list(speed.values) == [float(k)] * 4 and speed.values.flags.owndata
