# SPDX-License-Identifier: MIT
"""The package against the simulator through the real library: connect,
discover, open channels (and, with a measurement, read). Runs when the test
command hands over a ktsim (KTREMOTE_KTSIM)."""

import math
import os
import time
from array import array

import pytest

import ktremote
import simulator

KTSIM = os.environ.get("KTREMOTE_KTSIM")
pytestmark = pytest.mark.skipif(not KTSIM, reason="no ktsim given (KTREMOTE_KTSIM)")


@pytest.fixture(scope="module")
def connect_text():
    with simulator.running(KTSIM) as text:
        yield text


@pytest.fixture(scope="module")
def app(connect_text):
    with ktremote.Instance(library=ktremote.Library()) as instance:
        instance.connect(connect_text)
        yield instance


def test_lists_channels_with_their_attributes(app):
    ids = app.channel_ids()
    assert ids, "the simulator offers no channels"
    assert app.channel_count() >= len(ids)
    for channel_id in ids:
        with app.channel(channel_id) as channel:
            assert channel.name
            assert isinstance(channel.unit, str)
            assert channel.type in tuple(ktremote.ChannelType)
            rate = channel.sample_rate
            assert rate > 0 or channel.type == ktremote.ChannelType.SINGLE_VALUE


def test_opens_by_name_and_reports_unknown_names_and_ids(app):
    ids = app.channel_ids()
    with app.channel(ids[0]) as first:
        name = first.name
    with app.channel_by_name(name) as same:
        assert same.name == name
    with pytest.raises(ktremote.ChannelNotFoundError):
        app.channel_by_name("no such channel \u00e4")
    with pytest.raises(ktremote.ChannelNotCreatedError):
        app.channel("0,no;such")


def test_state_is_known(app):
    assert isinstance(app.state, ktremote.State)


def test_id_enumeration_visits_every_listed_id(app):
    # Channels without a name have no entry in channel_ids() but are visited
    # by the enumeration.
    assert set(app.channel_ids()) <= set(app.ids())


streaming = pytest.mark.skipif(not os.environ.get("KTREMOTE_KTSIM_STREAM"),
                               reason="measurement over the network not enabled")


@streaming
def test_measures_into_caller_buffers_and_keeps_what_arrived_before_the_stop(app):
    channels = app.channels()
    values, times = array("d", bytes(8 * 4096)), array("d", bytes(8 * 4096))
    counts = {channel.name: 0 for channel in channels}
    last_time = {}

    def drain():
        for channel in channels:
            while True:
                count, _, _ = channel.read_into(values, times)
                counts[channel.name] += count
                if count:
                    assert all(math.isfinite(v) for v in values[:count])
                    previous = last_time.get(channel.name, -math.inf)
                    if channel.type == ktremote.ChannelType.SYNC:
                        assert times[0] >= previous and list(times[:count]) == sorted(times[:count])
                    last_time[channel.name] = times[count - 1]
                if count < len(values):
                    break

    with app.measure():
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and sum(counts.values()) == 0:
            time.sleep(0.05)
            drain()
        time.sleep(0.2)
    drain()
    assert sum(counts.values()) > 0, "no samples arrived"
    for channel in channels:
        channel.close()


@streaming
def test_numpy_buffers_are_filled_in_place(app):
    numpy = pytest.importorskip("numpy")
    channel = app.channels()[0]
    values, times = numpy.full(1024, numpy.nan), numpy.full(1024, numpy.nan)
    delivered = 0
    with app.measure():
        deadline = time.monotonic() + 20
        while delivered == 0 and time.monotonic() < deadline:
            time.sleep(0.05)
            delivered = channel.read_into(values, times).count
    assert delivered > 0
    assert numpy.isfinite(values[:delivered]).all() and numpy.isnan(values[delivered:]).all()
    channel.close()


@streaming
def test_waiting_reads_and_read_all_deliver_increasing_times(app):
    ids = app.channel_ids()
    channels = [app.channel(channel_id) for channel_id in ids[:3]]
    names = [channel.name for channel in channels]
    last = {}
    with app.measure():
        first = channels[0].read(4096, timeout=20)
        assert len(first.values) > 0, "no sample within the time-out"
        deadline = time.monotonic() + 20
        while len(last) < len(channels) and time.monotonic() < deadline:
            for name, samples in app.read_all(4096, timeout=1).items():
                if len(samples.times):
                    times = list(samples.times)
                    assert times == sorted(times) and times[0] >= last.get(name, -math.inf)
                    last[name] = times[-1]
    assert sorted(last) == sorted(names)
    for channel in channels:
        channel.close()


@streaming
def test_read_all_rounds_join_up_and_kept_rounds_stay_as_read(app):
    opened = app.channels()
    sync = [channel for channel in opened if channel.type == ktremote.ChannelType.SYNC]
    assert sync, "the simulator offers no channel of a fixed rate"
    periods = {channel.name: 1 / channel.sample_rate for channel in sync}
    times = {name: [] for name in periods}
    kept = []  # (round, its times as read)
    overrun = False
    with app.measure():
        deadline = time.monotonic() + 20
        # Small requests, so that a round leaves samples for the next and the
        # rounds' arrays are views of the package's reused blocks.
        lengths = lambda: [len(t) for t in times.values()]  # noqa: E731
        while time.monotonic() < deadline and (max(lengths()) < 2000 or min(lengths()) < 5):
            result = app.read_all(64, timeout=1)
            for name, samples in result.items():
                if name in times:
                    times[name] += list(samples.times)
                    overrun = overrun or samples.overrun
            if len(kept) < 3 and sum(len(s.times) for s in result.values()):
                kept.append((result, {name: list(s.times) for name, s in result.items()}))
            del result
    for result, seen in kept:
        assert {name: list(s.times) for name, s in result.items()} == seen
    for name, joined in times.items():
        assert len(joined) >= 5, f"{name}: too few samples within 20 s"
        steps = [b - a for a, b in zip(joined, joined[1:])]
        if overrun:
            assert min(steps) > 0
        else:
            assert max(abs(step - periods[name]) for step in steps) < 1e-3 * periods[name], name
    for channel in opened:
        channel.close()
