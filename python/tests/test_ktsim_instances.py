# SPDX-License-Identifier: MIT
"""Instances opened and closed one after the other in one interpreter, as a
test sequencer does: each closed instance gives its thread, sockets and
memory back. Runs when the test command hands over a ktsim
(KTREMOTE_KTSIM)."""

import ctypes
import os
from concurrent.futures import ThreadPoolExecutor

import pytest

import ktremote
import simulator

KTSIM = os.environ.get("KTREMOTE_KTSIM")
pytestmark = pytest.mark.skipif(not KTSIM, reason="no ktsim given (KTREMOTE_KTSIM)")


def holdings():
    """Threads, open descriptors and resident KiB of this process, after the
    C heap gave back what it can."""
    ctypes.CDLL(None).malloc_trim(0)
    status = dict(line.split(":", 1) for line in open("/proc/self/status"))
    return (int(status["Threads"]), len(os.listdir("/proc/self/fd")), int(status["VmRSS"].split()[0]))


def test_fifty_instances_in_with_blocks_do_not_grow():
    library = ktremote.Library()

    def one_run(text):
        with ktremote.Instance(library=library) as app:
            app.connect(text)
            for name in ("Voltage", "Current", "Temperature", "Events"):
                app.channel_by_name(name).close()

    # Ten at a time: each connect waits at least 2 s, in the library, without
    # the interpreter's lock. The pool's threads stay from batch to batch, so
    # every thread that comes and goes is the library's.
    with simulator.running(KTSIM) as text, ThreadPoolExecutor(10) as pool:
        after = []
        for batch in range(5):
            for run in [pool.submit(one_run, text) for _ in range(10)]:
                run.result(120)
            after.append(holdings())
    threads, descriptors, resident = after[-1]
    assert threads == after[0][0], after
    assert descriptors == after[0][1], after
    assert resident <= after[0][2] + 8 * 1024, after
