# SPDX-License-Identifier: MIT
"""The buffers behind the convenience reads.

A read goes into a pair of scratch buffers that the channels of an
instance share, one pair per thread that reads (so that channels read from
different threads never share one). They are allocated on first use and
grown when a read asks for more than they hold, never shrunk; a read then
hands out exact copies of the delivered samples, so the arrays returned stay
valid whatever is read next. With numpy the buffers and the copies are float64 ndarrays,
without it ``array('d')``.
"""

from __future__ import annotations

import ctypes
import threading
from array import array
from ctypes import c_double, c_size_t
from typing import TYPE_CHECKING, Any, Union

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


class Scratch:
    """Two reusable buffers of doubles with C views of them."""

    __slots__ = ("capacity", "values", "times", "c_values", "c_times", "count", "count_ref")

    def __init__(self) -> None:
        self.capacity = 0
        self.values: Any = None
        self.times: Any = None
        self.c_values: Any = None
        self.c_times: Any = None
        self.count = c_size_t(0)  # the in/out count argument of a read
        self.count_ref = ctypes.byref(self.count)

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

