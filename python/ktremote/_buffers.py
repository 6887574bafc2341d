# SPDX-License-Identifier: MIT
"""The buffers behind the convenience reads.

A read goes into a pair of scratch buffers that the channels of an
instance share, one pair per thread that reads (so that channels read from
different threads never share one). They are allocated on first use and
grown when a read asks for more than they hold, never shrunk; a read then
hands out exact copies of the delivered samples, so the arrays returned stay
valid whatever is read next. With numpy the buffers and the copies are float64 ndarrays,
without it ``array('d')``.

With numpy, a read of every channel packs its samples into a round block
instead: two arrays that the channels' reads write into one after the
other, handed out as views. A thread keeps at most two blocks and reuses one
only once nothing outside refers to it any more (its reference count is
back where it was when the block was made, as any view of it holds a
reference to it), so a round's arrays are never overwritten while the host
holds one of them. Reusing memory that is already mapped is what makes
these reads as cheap as the C call: the allocator gives a whole round of
copies freed at once back to the system, and the next round then pays for
new pages.
"""

from __future__ import annotations

import ctypes
import sys
import threading
from array import array
from ctypes import POINTER, c_double, c_size_t, c_void_p
from typing import TYPE_CHECKING, Any, Optional, Union

try:
    import numpy
except ImportError:  # numpy is optional
    numpy = None  # type: ignore[assignment]

if TYPE_CHECKING:
    import numpy.typing

    #: What a convenience read hands out: float64 ndarrays with numpy,
    #: ``array('d')`` without it.
    DoubleArray = Union["numpy.typing.NDArray[numpy.float64]", "array[float]"]
else:
    DoubleArray = Any

#: Whether reads hand out numpy arrays.
HAVE_NUMPY = numpy is not None


def _new_buffer(size: int) -> Any:
    if numpy is not None:
        return numpy.empty(size, dtype=numpy.float64)
    return array("d", bytes(8 * size))


#: Round blocks a thread keeps at most; two let a host hold one round's
#: samples while it reads the next (``data = app.read_all()`` in a loop).
ROUND_BLOCKS = 2

# CPython's, where a count is exact. A free-threaded interpreter may defer
# counts, so there every round hands out copies.
_refcount = getattr(sys, "getrefcount", None) if getattr(sys, "_is_gil_enabled", lambda: True)() else None


class RoundBlock:
    """Two float64 arrays that one round of reads packs its samples into."""

    __slots__ = ("capacity", "values", "times", "value_address", "time_address", "unheld")

    def __init__(self, capacity: int) -> None:
        self.capacity = capacity
        # Assigned straight to the slots, so that no other reference exists
        # when the counts of an unheld block are taken below.
        self.values = numpy.empty(capacity, dtype=numpy.float64)
        self.times = numpy.empty(capacity, dtype=numpy.float64)
        self.value_address = self.values.ctypes.data
        self.time_address = self.times.ctypes.data
        self.unheld = self._references()

    def _references(self) -> tuple[int, int]:
        return _refcount(self.values), _refcount(self.times)  # type: ignore[misc]

    def held(self) -> bool:
        """Whether anything besides this block refers to its arrays: a view
        handed out, a view of one, a memoryview or a ctypes object over it."""
        return self._references() != self.unheld


class Scratch:
    """Two reusable buffers of doubles with C views of them, and the round
    blocks of reads of every channel."""

    __slots__ = ("capacity", "values", "times", "c_values", "c_times", "count", "count_ref",
                 "blocks", "round_demand", "value_pointer", "time_pointer", "value_target", "time_target")

    def __init__(self) -> None:
        self.capacity = 0
        self.values: Any = None
        self.times: Any = None
        self.c_values: Any = None
        self.c_times: Any = None
        self.count = c_size_t(0)  # the in/out count argument of a read
        self.count_ref = ctypes.byref(self.count)
        self.blocks: list[RoundBlock] = []
        self.round_demand = 0  # doubles the last round needed: delivered plus one request
        # Pointer arguments into a round block: the address is written into
        # each pointer in place, which is cheaper than a new ctypes object
        # per read and still of the type the read functions declare.
        self.value_pointer = POINTER(c_double)()
        self.time_pointer = POINTER(c_double)()
        self.value_target = c_void_p.from_address(ctypes.addressof(self.value_pointer))
        self.time_target = c_void_p.from_address(ctypes.addressof(self.time_pointer))

    def round_block(self, max_count: int) -> Optional[RoundBlock]:
        """A round block nobody else holds, with room for what the last
        round delivered plus one request of ``max_count``; None without
        numpy, or when the host holds every block this thread keeps (the
        round then hands out copies). Without numpy or a way to count
        references (an interpreter other than CPython), every round hands
        out copies."""
        if numpy is None or _refcount is None:
            return None
        demand = max(self.round_demand, max_count) + 256
        for k, block in enumerate(self.blocks):
            if block.held():
                continue
            if block.capacity < demand:
                # The smaller one is freed before the larger one is made. A
                # quarter more room, so that a slowly growing stream
                # reallocates only a few times.
                del self.blocks[k], block
                block = RoundBlock(demand + demand // 4)
                self.blocks.append(block)
            return block
        if len(self.blocks) < ROUND_BLOCKS:
            self.blocks.append(RoundBlock(demand + demand // 4))
            return self.blocks[-1]
        return None

    def reserve(self, size: int) -> None:
        """Makes room for at least ``size`` doubles in each buffer."""
        if size <= self.capacity:
            return
        # Grow at least twofold, so that slowly rising requests reallocate
        # only a few times.
        capacity = max(size, 2 * self.capacity, 256)
        # Drop the C views first: an array('d') cannot be replaced while a
        # view exports it.
        self.c_values = self.c_times = None
        self.values, self.times = _new_buffer(capacity), _new_buffer(capacity)
        self.c_values = (c_double * capacity).from_buffer(self.values)
        self.c_times = (c_double * capacity).from_buffer(self.times)
        self.capacity = capacity

    def take(self, count: int) -> tuple[DoubleArray, DoubleArray]:
        """Copies of the first ``count`` values and times."""
        if numpy is not None:
            return self.values[:count].copy(), self.times[:count].copy()
        return self.values[:count], self.times[:count]  # slicing an array copies


class ThreadScratch(threading.local):
    """A Scratch for each thread."""

    def __init__(self) -> None:
        self.scratch = Scratch()


def empty_pair() -> tuple[DoubleArray, DoubleArray]:
    """Two new empty arrays of the kind reads hand out."""
    return _new_buffer(0), _new_buffer(0)

