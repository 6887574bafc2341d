"""Remote control of a running Kaltrop data-acquisition application and
access to the data it measures, over the ktremote shared library (ctypes;
no compiled extension).

    import ktremote
    from array import array

    with ktremote.Instance() as app:
        app.connect("localhost 8999 8001")
        with app.channel_by_name("Speed") as speed, app.measure():
            values, times = array("d", bytes(8 * 1000)), array("d", bytes(8 * 1000))
            n, overrun, more = speed.read_into(values, times)   # no copy

Failures raise subclasses of :class:`KtError` carrying the C result code and
its name. Like the C functions, an instance and its channels are used from
one thread at a time.
"""

from ._library import Library, find_library, load_library
from .core import Channel, ChannelType, Instance, ReadResult, Samples, State, version
from .errors import *  # noqa: F401,F403  (the exception classes)
from .errors import __all__ as _error_names

__all__ = [
    "Channel", "ChannelType", "Instance", "Library", "ReadResult", "Samples", "State",
    "find_library", "load_library", "version",
] + _error_names
