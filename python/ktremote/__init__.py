# SPDX-License-Identifier: MIT
"""Remote control of a running Kaltrop data-acquisition application and
access to the data it measures, over the ktremote shared library (ctypes;
no compiled extension).

    import ktremote

    with ktremote.Instance() as app:
        app.connect("localhost 8999 8001")
        with app.channel_by_name("Speed") as speed, app.measure():
            values, times, overrun, more = speed.read(10000, timeout=1.0)
            everything = app.read_all(10000)        # {"Speed": Samples(...)}

Reads return numpy float64 arrays when numpy is installed and
``array('d')`` otherwise; :meth:`Channel.read_into` fills buffers of your
own without a copy.

Failures raise subclasses of :class:`KtError` carrying the C result code and
its name. Like the C functions, an instance and its channels are used from
one thread at a time.
"""

from ._buffers import HAVE_NUMPY
from ._library import Library, find_library, load_library
from .core import POLL_INTERVAL, Channel, ChannelType, Instance, ReadResult, Samples, State, version
from .errors import *  # noqa: F401,F403  (the exception classes)
from .errors import __all__ as _error_names

__all__ = [
    "Channel", "ChannelType", "HAVE_NUMPY", "Instance", "Library", "POLL_INTERVAL", "ReadResult",
    "Samples", "State", "find_library", "load_library", "version",
] + _error_names
