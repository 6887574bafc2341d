# SPDX-License-Identifier: MIT
"""Instances and channels against the stand-in library: every handle is
freed exactly once, every text and array handed out goes back, and reads
fill the caller's own buffers."""

import gc
from array import array

import pytest

import ktremote


def connected(fake):
    app = ktremote.Instance(library=fake)
    app.connect("localhost 8999 8001")
    return app


def test_channel_handles_are_freed_exactly_once(fake):
    app = connected(fake)
    with app.channel("0,1") as speed:
        assert speed.name == "Speed" and speed.id == "0,1"
    assert speed.closed
    speed.close()  # again: nothing happens
    assert len(fake.freed_channels) == 1

    torque = app.channel_by_name("Torque")
    del torque
    gc.collect()
    assert len(fake.freed_channels) == 2

    channels = app.channels()
    assert [c.name for c in channels] == ["Speed", "Torque"]  # the unnamed one has no id
    for c in channels:
        c.close()
    assert fake.open_channels == {}


def test_closed_channel_raises_instead_of_passing_a_null_handle(fake):
    app = connected(fake)
    speed = app.channel("0,1")
    speed.close()
    with pytest.raises(ktremote.InvalidHandleError):
        speed.name
    assert "closed" in repr(speed)


def test_failed_open_leaves_no_handle(fake):
    app = connected(fake)
    with pytest.raises(ktremote.ChannelNotCreatedError):
        app.channel("0,99")
    with pytest.raises(ktremote.ChannelNotFoundError):
        app.channel_by_name("Nope")
    assert fake.open_channels == {}


def test_enumeration_frees_texts_and_array_and_is_repeatable(fake):
    app = connected(fake)
    assert app.channel_ids() == ["0,1", "0,3"]
    assert app.channel_ids() == ["0,1", "0,3"]
    assert app.channel_count() == 3
    # fixture teardown: no text or array left


def test_id_enumeration_walks_each_id_once(fake):
    app = connected(fake)
    assert list(app.ids()) == ["0,1", "0,2", "0,3"]
    assert list(app.ids()) == []  # continues where it stopped


def test_instance_disconnects_only_what_it_connected(fake):
    with ktremote.Instance(library=fake) as app:
        app.connect("localhost 8999 8001")
    assert (fake.disconnects, fake.destroyed) == (1, 1)
    app.close()
    assert (fake.disconnects, fake.destroyed) == (1, 1)

    fake.accept_connect = False
    fake.connected = False
    app = ktremote.Instance(library=fake)
    with pytest.raises(ktremote.NotConnectedError):
        app.connect("localhost 1 2")
    del app
    gc.collect()
    assert (fake.disconnects, fake.destroyed) == (1, 2)


def test_read_into_fills_the_callers_buffer_in_place(fake):
    app = connected(fake)
    speed = app.channel("0,1")
    fake.samples["0,1"] = [(float(k), k / 10) for k in range(5)]
    values, times = array("d", [0.0] * 8), array("d", [0.0] * 3)
    result = speed.read_into(values, times)  # the smaller buffer bounds the read
    assert result == (3, False, False)
    assert list(values[:4]) == [0.0, 1.0, 2.0, 0.0]
    assert list(times) == [0.0, 0.1, 0.2]

    fake.read_result = -21  # samples were dropped: data still delivered
    assert speed.read_into(values, times) == (2, True, False)
    fake.read_result = 2
    assert speed.read_into(values, times).more
    fake.read_result = -21
    assert speed.read_into(array("d"), array("d")) == (0, True, False)  # empty: state only
    fake.read_result = -8
    with pytest.raises(ktremote.AppCallFailedError):
        speed.read_into(values, times)
    speed.close()


def test_read_into_numpy_arrays_in_place(fake):
    numpy = pytest.importorskip("numpy")
    app = connected(fake)
    with app.channel("0,1") as speed:
        fake.samples["0,1"] = [(1.5, 0.0), (2.5, 0.01)]
        values, times = numpy.zeros(4), numpy.zeros(4)
        count, _, _ = speed.read_into(values, times, absolute=True)
        assert count == 2 and values.tolist() == [1.5, 2.5, 0.0, 0.0]
        assert fake.calls[-1] == "ktconChannelReadScalarData_2abs"
        with pytest.raises(TypeError, match="format"):
            speed.read_into(numpy.zeros(4, dtype=numpy.float32), times)
        with pytest.raises(TypeError, match="contiguous"):
            speed.read_into(numpy.zeros(8)[::2], times)


@pytest.mark.parametrize("bad", [[0.0] * 4, b"\0" * 32, array("f", [0.0] * 4), memoryview(array("d", [0.0]*4)).toreadonly(), 7])
def test_read_into_refuses_what_is_not_a_writable_double_buffer(fake, bad):
    app = connected(fake)
    with app.channel("0,1") as speed:
        with pytest.raises(TypeError):
            speed.read_into(bad, array("d", [0.0] * 4))
    assert "ktconChannelReadScalarData_2" not in fake.calls


def test_opening_fetches_the_channel_list_once_when_none_was_fetched(fake):
    app = connected(fake)
    with app.channel_by_name("Torque") as torque:  # no channel_count() first
        assert torque.name == "Torque"
    with app.channel("0,1"):
        pass
    assert fake.calls.count("ktconGetChannelCount") == 1  # a fetch clears transfer marks: once only
    app.channel_ids()
    with app.channel("0,3"):
        pass
    assert fake.calls.count("ktconGetChannelCount") == 1
    fake.fetched = False
    app.connect("localhost 8999 8001")  # a new connection has a new list
    with app.channel_by_name("Speed"):
        pass
    assert fake.calls.count("ktconGetChannelCount") == 2


def test_enums_print_by_name_and_stay_numbers(fake):
    state = ktremote.State.SETUP
    assert (str(state), f"{state}", f"{state:>7}", f"{state:d}") == ("SETUP", "SETUP", "  SETUP", "1")
    assert state == 1 and int(ktremote.ChannelType.SYNC) == 1
    assert str(ktremote.ChannelType.SINGLE_VALUE) == "SINGLE_VALUE"
    assert str(connected(fake).state) == "SETUP"


def test_measurement_block_stops_even_on_error(fake):
    app = connected(fake)
    with pytest.raises(RuntimeError):
        with app.measure():
            raise RuntimeError("host failure")
    assert fake.calls.count("ktconStartMeasurement") == 1
    assert fake.calls.count("ktconStopMeasurement") == 1


def test_a_write_to_a_channel_that_is_not_a_control_channel_raises(fake):
    app = connected(fake)
    with app.channel("0,1") as speed:
        with pytest.raises(ktremote.NotControlChannelError):
            speed.write(1.0)
    assert not hasattr(fake, "written")
