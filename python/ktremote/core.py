"""Instances, channels and measurements over the C functions."""

from __future__ import annotations

import contextlib
import ctypes
import enum
import os
import sys
import weakref
from array import array
from ctypes import POINTER, byref, c_bool, c_char_p, c_double, c_int, c_size_t, c_void_p
from typing import Iterator, NamedTuple

from . import _library
from ._library import ChannelHandle, InstanceHandle, Library
from .errors import InvalidHandleError, NotConnectedError, error_for

KX_ERR_BUFFER_TOO_SMALL = -5
KX_ERR_NOT_CONNECTED = -4
KX_ERR_DATA_OVERRUN = -21
KX_MORE_WAITING = 2


class State(enum.IntEnum):
    """Application states (ktconGetState)."""
    UNKNOWN = 0
    SETUP = 1
    ACQUIRING = 2
    STOPPED = 3
    ANALYSIS = 4


class ChannelType(enum.IntEnum):
    """Channel types (ktconGetChannelType)."""
    ASYNC = 0         # values carry their own timestamps
    SYNC = 1          # fixed sample rate
    SINGLE_VALUE = 2  # one current value


class ReadResult(NamedTuple):
    """What a read into caller buffers delivered."""
    count: int       # entries filled in both buffers
    overrun: bool    # samples were dropped during this measurement (the ones
                     # delivered are valid): read more often or raise the
                     # buffer size
    more: bool       # more samples were waiting than fitted


class Samples(NamedTuple):
    """What a convenience read delivered: two new array('d')."""
    values: array
    times: array
    overrun: bool
    more: bool


def _check(code: int, function: str) -> int:
    if code < 0:
        raise error_for(code, function)
    return code


def _resolve_library(library) -> Library:
    if library is None:
        return _library.default_library()
    if isinstance(library, (str, os.PathLike)):
        return Library(library)
    return library  # a Library, or anything that offers the same functions


def version(library=None) -> str:
    """The library's version text, e.g. "1.1.3.26"."""
    lib = _resolve_library(library)
    text = ctypes.create_string_buffer(32)
    _check(lib.ktconGetVersion(text, len(text)), "ktconGetVersion")
    return text.value.decode()


_NATIVE_DOUBLE = ("d", "@d", "=d", "<d" if sys.byteorder == "little" else ">d")
_NO_DOUBLES = (c_double * 1)()


def _doubles(buffer, what: str):
    """A ctypes view of a caller's writable, contiguous buffer of doubles,
    without copying: (ctypes array or None, number of doubles)."""
    try:
        view = memoryview(buffer)
    except TypeError:
        raise TypeError(f"{what} must be a writable buffer of doubles such as array('d') or a "
                        f"numpy float64 array, not {type(buffer).__name__}") from None
    with view:
        if view.readonly:
            raise TypeError(f"{what} is read-only")
        if view.format not in _NATIVE_DOUBLE:
            raise TypeError(f"{what} must hold doubles (format 'd'), not format {view.format!r}")
        if not view.c_contiguous:
            raise TypeError(f"{what} must be contiguous")
        count = view.nbytes // ctypes.sizeof(c_double)
    if count == 0:
        return None, 0
    return (c_double * count).from_buffer(buffer), count


class Channel:
    """An open channel handle, freed by :meth:`close` (or when the object goes
    away). Use it as a context manager to free it at the end of a block."""

    def __init__(self, lib: Library, handle, channel_id: str | None = None):
        self._lib = lib
        self._handle = handle
        #: the id the channel was opened with (None when opened by name)
        self.id = channel_id
        self._finalizer = weakref.finalize(self, _free_channel, lib, handle)

    # -- lifetime

    def close(self) -> None:
        """Frees the handle. Further calls on the channel raise
        InvalidHandleError; closing again does nothing."""
        self._finalizer()
        self._handle = None

    @property
    def closed(self) -> bool:
        return self._handle is None

    def __enter__(self) -> "Channel":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    @property
    def handle(self):
        """The C handle (``POINTER(ChannelInstance)``)."""
        if self._handle is None:
            raise InvalidHandleError(-9, None, "the channel is closed")
        return self._handle

    def __repr__(self) -> str:
        if self._handle is None:
            return "<ktremote.Channel closed>"
        try:
            return f"<ktremote.Channel {self.name!r}>"
        except Exception:  # a repr must not fail
            return "<ktremote.Channel>"

    # -- attributes

    @property
    def name(self) -> str:
        """The channel's UTF-8 name, whole."""
        size = 64
        while True:
            text = ctypes.create_string_buffer(size)
            required = c_size_t(0)
            code = self._lib.ktconChannelGetNameUtf8(self.handle, text, size, byref(required))
            if code == KX_ERR_BUFFER_TOO_SMALL and required.value > size:
                size = required.value
                continue
            _check(code, "ktconChannelGetNameUtf8")
            return text.value.decode("utf-8", "replace")

    @property
    def unit(self) -> str:
        """The channel's physical unit."""
        size = 64
        while True:
            text = ctypes.create_string_buffer(size)
            _check(self._lib.ktconGetChUnit(self.handle, text, size), "ktconGetChUnit")
            # No required size is reported: a text that fills the buffer may
            # have been cut, so ask again with more room.
            if len(text.value) + 1 < size or size >= 65536:
                return text.value.decode("utf-8", "replace")
            size *= 4

    @property
    def type(self) -> ChannelType:
        value = c_int(0)
        _check(self._lib.ktconGetChannelType(self.handle, byref(value)), "ktconGetChannelType")
        return ChannelType(value.value)

    @property
    def is_control(self) -> bool:
        value = c_bool(False)
        _check(self._lib.ktconIsChannelControl(self.handle, byref(value)), "ktconIsChannelControl")
        return value.value

    @property
    def sample_rate(self) -> float:
        """Sample rate in Hz: the expected rate of an asynchronous channel, -1
        for a single-value channel."""
        value = c_double(-1.0)
        _check(self._lib.ktconGetSampleRate(self.handle, byref(value)), "ktconGetSampleRate")
        return value.value

    def set_transferred(self, transferred: bool = True) -> None:
        """Marks the channel for transfer (or not) from the next start on."""
        _check(self._lib.ktconChannelSetTransferred(self.handle, bool(transferred)),
               "ktconChannelSetTransferred")

    def write(self, value: float) -> None:
        """Writes a value to a control channel (a refused write is not
        reported by the library)."""
        _check(self._lib.ktconControlChannelWriteData(self.handle, float(value)),
               "ktconControlChannelWriteData")

    # -- reads

    def read_into(self, values, times, *, absolute: bool = False) -> ReadResult:
        """Reads up to min(len(values), len(times)) samples into the caller's
        buffers without copying: any writable, contiguous buffer of doubles
        (``array('d')``, a numpy float64 array). Times are in seconds, or in
        days when ``absolute`` is true."""
        value_array, value_count = _doubles(values, "values")
        time_array, time_count = _doubles(times, "times")
        count = c_size_t(min(value_count, time_count))
        if count.value == 0:
            value_array = time_array = _NO_DOUBLES  # still reports an overrun
        if absolute:
            function, name = self._lib.ktconChannelReadScalarData_2abs, "ktconChannelReadScalarData_2abs"
        else:
            function, name = self._lib.ktconChannelReadScalarData_2, "ktconChannelReadScalarData_2"
        code = function(self.handle, value_array, time_array, byref(count))
        if code == KX_ERR_DATA_OVERRUN:
            return ReadResult(count.value, True, False)
        return ReadResult(count.value, False, _check(code, name) == KX_MORE_WAITING)

    def read(self, max_count: int = 4096, *, absolute: bool = False) -> Samples:
        """Reads up to ``max_count`` samples into two new ``array('d')``."""
        if max_count < 0:
            raise ValueError("max_count must not be negative")
        values = array("d", bytes(8 * max_count))
        times = array("d", bytes(8 * max_count))
        result = self.read_into(values, times, absolute=absolute)
        del values[result.count:]
        del times[result.count:]
        return Samples(values, times, result.overrun, result.more)


def _free_channel(lib: Library, handle) -> None:
    lib.ktconFreeChannelInstance(handle)


def _release_instance(lib: Library, handle, state: dict) -> None:
    if state["connected"]:
        lib.ktconDisconnect(handle)
    lib.ktconDestroyInstance(handle)


class Instance:
    """One connection to the application.

    ``Instance()`` is a network instance, ``Instance(network=False)`` an
    automation instance. As a context manager it disconnects at the end of
    the block what :meth:`connect` connected. The library keeps the instance
    object itself until the process ends.
    """

    def __init__(self, network: bool = True, *, library=None):
        self._lib = _resolve_library(library)
        handle = InstanceHandle()
        _check(self._lib.ktconCreateInstance(byref(handle), 1 if network else 0), "ktconCreateInstance")
        self._handle = handle
        self._state = {"connected": False}
        self._finalizer = weakref.finalize(self, _release_instance, self._lib, handle, self._state)

    @classmethod
    def network(cls, *, library=None) -> "Instance":
        return cls(True, library=library)

    @classmethod
    def automation(cls, *, library=None) -> "Instance":
        return cls(False, library=library)

    @property
    def library(self) -> Library:
        return self._lib

    @property
    def handle(self):
        """The C handle (``POINTER(KTXInstance)``)."""
        if self._handle is None:
            raise InvalidHandleError(-9, None, "the instance is closed")
        return self._handle

    # -- lifetime

    def connect(self, connection: str | None = None, *, host: str = "localhost",
                command_port: int = 8999, data_port: int = 8001) -> "Instance":
        """Connects, with a connect text ``"host commandPort dataPort"`` or the
        keyword arguments. A network connect takes at least 2 seconds; one
        that does not come up raises NoCommandConnectionError after about
        20 (both it and NotConnectedError are ConnectionErrors)."""
        if connection is None:
            connection = f"{host} {command_port} {data_port}"
        _check(self._lib.ktconConnect(self.handle, connection.encode()), "ktconConnect")
        # An instance that is not connected also says so in the next call's
        # connected check. Asking for the next id size sends nothing and
        # leaves the enumeration as it is.
        size = c_int(0)
        if self._lib.ktconGetNextChannelIdSize(self.handle, byref(size)) == KX_ERR_NOT_CONNECTED:
            raise NotConnectedError(KX_ERR_NOT_CONNECTED, "ktconConnect",
                                    f"could not connect to {connection!r}")
        self._state["connected"] = True
        return self

    def disconnect(self) -> None:
        """Closes the command connection."""
        self._state["connected"] = False
        _check(self._lib.ktconDisconnect(self.handle), "ktconDisconnect")

    def close(self) -> None:
        """Disconnects what connect() connected and lets go of the handle."""
        self._finalizer()
        self._handle = None

    def __enter__(self) -> "Instance":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def set_app_window_visible(self, visible: bool) -> None:
        _check(self._lib.ktconSetAppWindowVisible(self.handle, bool(visible)), "ktconSetAppWindowVisible")

    # -- discovery

    def channel_count(self) -> int:
        count = c_size_t(0)
        _check(self._lib.ktconGetChannelCount(self.handle, byref(count)), "ktconGetChannelCount")
        return count.value

    def channel_ids(self) -> list[str]:
        """The ids of the application's used channels; a channel without a
        name has none. Can be called any number of times."""
        ids = POINTER(c_char_p)()
        count = c_size_t(0)
        _check(self._lib.ktconEnumerateChannels(self.handle, byref(ids), byref(count)),
               "ktconEnumerateChannels")
        if not ids:
            return []
        result = []
        addresses = ctypes.cast(ids, POINTER(c_void_p))
        try:
            for k in range(count.value):
                if addresses[k]:
                    result.append(ctypes.string_at(addresses[k]).decode("utf-8", "replace"))
        finally:
            # The texts are the host's to free, the array goes back.
            for k in range(count.value):
                if addresses[k]:
                    self._lib.free(addresses[k])
            self._lib.ktconFreeEnumerateChannels(self.handle, byref(ids))
        return result

    def ids(self) -> Iterator[str]:
        """The id enumeration (ktconInitChannelIdEnum and pairs of
        ktconGetNextChannelIdSize / ktconGetNextChannelId) as a generator. A
        network instance continues where its previous enumeration stopped:
        use :meth:`channel_ids` for a repeatable list."""
        handle = self.handle
        _check(self._lib.ktconInitChannelIdEnum(handle), "ktconInitChannelIdEnum")
        while True:
            size = c_int(0)
            _check(self._lib.ktconGetNextChannelIdSize(handle, byref(size)), "ktconGetNextChannelIdSize")
            if size.value <= 0:
                return  # nothing was left: the size was not written
            text = ctypes.create_string_buffer(size.value)
            last = _check(self._lib.ktconGetNextChannelId(handle, text), "ktconGetNextChannelId")
            yield text.value.decode("utf-8", "replace")
            if last == 1:
                return

    def channel(self, channel_id: str) -> Channel:
        """Opens the channel with the given id and marks it for transfer.
        Raises ChannelNotCreatedError for an unknown id.

        Channels are looked up in the list that the last channel_count(),
        channel_ids(), channels() or ids() fetched from the application. Each
        fetch clears the transfer marks, so open the channels to measure
        after the last fetch."""
        handle = ChannelHandle()
        code = self._lib.ktconCreateChannelInstance(self.handle, channel_id.encode(), byref(handle))
        return self._adopt(code, handle, "ktconCreateChannelInstance", channel_id)

    def channel_by_name(self, name: str) -> Channel:
        """Opens the first channel with the given name and marks it for
        transfer. Raises ChannelNotFoundError for an unknown name. Looks in
        the fetched channel list, like :meth:`channel`."""
        handle = ChannelHandle()
        code = self._lib.ktconCreateChannelInstanceByNameUtf8(self.handle, name.encode(), byref(handle))
        return self._adopt(code, handle, "ktconCreateChannelInstanceByNameUtf8", None)

    def _adopt(self, code: int, handle, function: str, channel_id: str | None) -> Channel:
        if handle:
            channel = Channel(self._lib, handle, channel_id)  # owns the handle from here on
            _check(code, function)
            return channel
        _check(code, function)
        raise error_for(-2, function, "no handle was returned")

    def channels(self) -> list[Channel]:
        """Opens every used channel that has an id; each is marked for
        transfer."""
        opened = []
        try:
            for channel_id in self.channel_ids():
                opened.append(self.channel(channel_id))
        except BaseException:
            for channel in opened:
                channel.close()
            raise
        return opened

    def __iter__(self) -> Iterator[Channel]:
        return iter(self.channels())

    # -- measuring and storing

    def set_buffer_size(self, samples: int) -> None:
        """Samples buffered per channel from the next start on (network
        instances only)."""
        _check(self._lib.ktconSetBufferSize(self.handle, int(samples)), "ktconSetBufferSize")

    def load_setup(self, setup_file: str | os.PathLike) -> None:
        _check(self._lib.ktconLoadSetup(self.handle, os.fsencode(setup_file)), "ktconLoadSetup")

    def is_acquiring(self) -> bool:
        running = c_bool(False)
        _check(self._lib.ktconIsInAqusition(self.handle, byref(running)), "ktconIsInAqusition")
        return running.value

    @property
    def state(self) -> State:
        value = c_int(0)
        _check(self._lib.ktconGetState(self.handle, byref(value)), "ktconGetState")
        try:
            return State(value.value)
        except ValueError:
            return State.UNKNOWN

    def start_measurement(self) -> None:
        _check(self._lib.ktconStartMeasurement(self.handle), "ktconStartMeasurement")

    def stop_measurement(self) -> None:
        _check(self._lib.ktconStopMeasurement(self.handle), "ktconStopMeasurement")

    @contextlib.contextmanager
    def measure(self):
        """Starts a measurement for the duration of a ``with`` block."""
        self.start_measurement()
        try:
            yield self
        finally:
            self.stop_measurement()

    def start_storing(self, file_name: str | os.PathLike) -> None:
        _check(self._lib.ktconStartStoring(self.handle, os.fsencode(file_name)), "ktconStartStoring")

    def stop_storing(self) -> None:
        _check(self._lib.ktconStopStoring(self.handle), "ktconStopStoring")

    def stop_storing_with_state(self) -> State:
        """Stops storing; returns the application's state read afterwards
        (UNKNOWN when that read failed)."""
        value = c_int(0)
        _check(self._lib.ktconStopStoringEx(self.handle, byref(value)), "ktconStopStoringEx")
        try:
            return State(value.value)
        except ValueError:
            return State.UNKNOWN

    def begin_read(self) -> None:
        _check(self._lib.ktconBeginRead(self.handle, 0, 0), "ktconBeginRead")

    def end_read(self) -> None:
        _check(self._lib.ktconEndRead(self.handle), "ktconEndRead")

    def __repr__(self) -> str:
        return f"<ktremote.Instance {'closed' if self._handle is None else 'open'}>"
