# SPDX-License-Identifier: MIT
"""One stream from the simulator listening on IPv6 only, through the real
library. Runs when the test command hands over a ktsim (KTREMOTE_KTSIM) and
enables measurements (KTREMOTE_KTSIM_STREAM)."""

import os
import time
from array import array

import pytest

import ktremote
import simulator

KTSIM = os.environ.get("KTREMOTE_KTSIM")
pytestmark = pytest.mark.skipif(not (KTSIM and os.environ.get("KTREMOTE_KTSIM_STREAM")),
                                reason="no ktsim given (KTREMOTE_KTSIM) or measurements not enabled")


def test_streams_over_ipv6():
    with simulator.running(KTSIM, "--bind", "::1") as text:
        assert text.startswith("::1 ")
        with ktremote.Instance(library=ktremote.Library()) as app:
            app.connect(text)
            with app.channel_by_name("Voltage") as voltage:
                values, times = array("d", bytes(8 * 4096)), array("d", bytes(8 * 4096))
                got = []
                with app.measure():
                    deadline = time.monotonic() + 30
                    while len(got) < 200 and time.monotonic() < deadline:
                        count = voltage.read_into(values, times).count
                        got.extend(times[:count])
                        if count == 0:
                            time.sleep(0.01)
                assert len(got) >= 200, "no samples over IPv6"
                # One sample per millisecond, none lost or repeated.
                steps = {round(b - a, 6) for a, b in zip(got, got[1:])}
                assert steps == {0.001}
