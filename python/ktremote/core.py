# SPDX-License-Identifier: MIT
"""Instances, channels and measurements over the C functions."""

from __future__ import annotations

import contextlib
import ctypes
import enum
import os
import sys
import time
import weakref
from ctypes import POINTER, byref, c_bool, c_char_p, c_double, c_int, c_size_t, c_void_p
from typing import Any, Iterator, NamedTuple, Optional, Union

from . import _library
from ._buffers import DoubleArray, RoundBlock, Scratch, ThreadScratch
from ._library import ChannelHandle, InstanceHandle, Library
from .errors import InvalidHandleError, KtError, NotConnectedError, error_for, result_code

KX_ERR_BUFFER_TOO_SMALL = result_code("KX_ERR_BUFFER_TOO_SMALL")
KX_ERR_NOT_CONNECTED = result_code("KX_ERR_NOT_CONNECTED")
KX_ERR_DATA_OVERRUN = result_code("KX_ERR_DATA_OVERRUN")
KX_MORE_WAITING = result_code("KX_MORE_WAITING")
KX_LAST_CHANNEL_ID = result_code("KX_LAST_CHANNEL_ID")

#: Seconds between two looks for new samples while a read with a time-out
#: waits. The library offers no blocking read, so a waiting read polls: it
#: returns within about this long (plus the scheduler's delay) after the
#: first sample has arrived, and costs about a thousand cheap calls a
#: second while it waits.
POLL_INTERVAL = 0.001

#: What ``library`` arguments accept: a loaded Library (or anything with the
#: same functions), the path of a library file, or None for the default.
LibraryArgument = Union[Library, str, "os.PathLike[str]", Any, None]


class _NamedEnum(enum.IntEnum):
    """An IntEnum that prints as its name ("SETUP", not "1"), and still
    compares and converts like the C value."""

    def __str__(self) -> str:
        return self.name

    def __format__(self, form: str) -> str:
        if form and form[-1] in "bcdoxXn":  # a number format: the C value
            return int.__format__(int(self), form)
        return format(self.name, form)


class State(_NamedEnum):
    """Application states (ktconGetState)."""
    UNKNOWN = 0
    SETUP = 1
    ACQUIRING = 2
    STOPPED = 3
    ANALYSIS = 4


class ChannelType(_NamedEnum):
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
    """What a convenience read delivered: new arrays of exactly the delivered
    length (numpy float64 arrays when numpy is installed, else array('d'))."""
    values: DoubleArray
    times: DoubleArray
    overrun: bool
    more: bool


def _check(code: int, function: str) -> int:
    if code < 0:
        raise error_for(code, function)
    return code


def _resolve_library(library: LibraryArgument) -> Library:
    if library is None:
        return _library.default_library()
    if isinstance(library, (str, os.PathLike)):
        return Library(library)
    return library  # a Library, or anything that offers the same functions


def version(library: LibraryArgument = None) -> str:
    """The library's version text, such as "1.2.3.4"."""
    lib = _resolve_library(library)
    text = ctypes.create_string_buffer(32)
    _check(lib.ktconGetVersion(text, len(text)), "ktconGetVersion")
    return text.value.decode()


_NATIVE_DOUBLE = ("d", "@d", "=d", "<d" if sys.byteorder == "little" else ">d")
_NO_DOUBLES = (c_double * 1)()
_DOUBLE_SIZE = ctypes.sizeof(c_double)


def _doubles(buffer: Any, what: str) -> tuple[Any, int]:
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


def _check_max_count(max_count: int) -> int:
    if type(max_count) is not int:
        max_count = int(max_count)
    if max_count < 0:
        raise ValueError("max_count must not be negative")
    return max_count


def _deadline(timeout: Optional[float]) -> Optional[float]:
    if timeout is None:
        return None
    if not timeout >= 0:  # also refuses NaN
        raise ValueError("timeout must be a number of seconds, not negative")
    return time.monotonic() + timeout


def _wait_until(deadline: float) -> bool:
    """Sleeps one poll interval (less near the deadline); False once the
    deadline has passed."""
    remaining = deadline - time.monotonic()
    if remaining <= 0:
        return False
    time.sleep(min(POLL_INTERVAL, remaining))
    return True


class Channel:
    """An open channel handle, freed by :meth:`close` (or when the object goes
    away). Use it as a context manager to free it at the end of a block."""

    def __init__(self, lib: Library, handle: Any, channel_id: Optional[str] = None,
                 scratch: Optional[ThreadScratch] = None) -> None:
        self._lib = lib
        self._handle = handle
        #: the id the channel was opened with (None when opened by name)
        self.id = channel_id
        self._scratch = scratch if scratch is not None else ThreadScratch()
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
    def handle(self) -> Any:
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
        """Writes a value to a control channel; a channel that is not one
        refuses it with NotControlChannelError (-19)."""
        _check(self._lib.ktconControlChannelWriteData(self.handle, float(value)),
               "ktconControlChannelWriteData")

    # -- reads

    def read_into(self, values: Any, times: Any, *, absolute: bool = False) -> ReadResult:
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

    def _read_scratch(self, scratch: Scratch, max_count: int, absolute: bool) -> tuple[int, bool, bool]:
        """Reads up to ``max_count`` samples into the scratch buffers."""
        # The hot path of every convenience read: kept to plain attribute
        # reads and one C call.
        if max_count >= scratch.capacity:
            scratch.reserve(max_count + 1)  # never empty, so never a null buffer
        return self._read_to(scratch.c_values, scratch.c_times, scratch, max_count, absolute)

    def _read_block(self, scratch: Scratch, block: RoundBlock, offset: int, max_count: int,
                    absolute: bool) -> tuple[int, bool, bool]:
        """Reads up to ``max_count`` samples into a round block from
        ``offset`` on; the block has room for them."""
        scratch.value_target.value = block.value_address + _DOUBLE_SIZE * offset
        scratch.time_target.value = block.time_address + _DOUBLE_SIZE * offset
        return self._read_to(scratch.value_pointer, scratch.time_pointer, scratch, max_count, absolute)

    def _read_to(self, values: Any, times: Any, scratch: Scratch, max_count: int,
                 absolute: bool) -> tuple[int, bool, bool]:
        """One read; returns (count, overrun, more) as a ReadResult has them."""
        handle = self._handle
        if handle is None:
            raise InvalidHandleError(-9, None, "the channel is closed")
        count = scratch.count
        count.value = max_count
        if absolute:
            function, name = self._lib.ktconChannelReadScalarData_2abs, "ktconChannelReadScalarData_2abs"
        else:
            function, name = self._lib.ktconChannelReadScalarData_2, "ktconChannelReadScalarData_2"
        code = function(handle, values, times, scratch.count_ref)
        # A plain tuple: these reads are internal, and a NamedTuple costs
        # more to make than the rest of the call's Python code.
        if code == KX_ERR_DATA_OVERRUN:
            return count.value, True, False
        if code < 0:
            raise error_for(code, name)
        return count.value, False, code == KX_MORE_WAITING

    def read(self, max_count: int = 4096, *, absolute: bool = False,
             timeout: Optional[float] = None) -> Samples:
        """Reads up to ``max_count`` samples and returns them as two new
        arrays of exactly the delivered length: numpy float64 arrays when
        numpy is installed, else ``array('d')``.

        The samples are read into buffers that the channels of an instance
        share within a thread and that grow to the largest request, so a
        call allocates only the returned copies; :meth:`read_into` reads into buffers of your own
        without any copy.

        With ``timeout`` (seconds), a read that finds nothing waits until at
        least one sample is there or the time-out has passed (then it
        returns empty arrays). It looks again every :data:`POLL_INTERVAL`
        (1 ms), so it returns about a millisecond after the first sample
        arrived. Without ``timeout`` it returns at once."""
        max_count = _check_max_count(max_count)
        deadline = None if timeout is None else _deadline(timeout)
        scratch = self._scratch.scratch
        count, overrun, more = self._read_scratch(scratch, max_count, absolute)
        if count == 0 and max_count > 0 and deadline is not None:
            while count == 0 and _wait_until(deadline):
                count, dropped, more = self._read_scratch(scratch, max_count, absolute)
                overrun = overrun or dropped
        values, times = scratch.take(count)
        return Samples(values, times, overrun, more)


def _free_channel(lib: Library, handle: Any) -> None:
    lib.ktconFreeChannelInstance(handle)


def _is_open(ref: "weakref.ref[Channel]") -> bool:
    channel = ref()
    return channel is not None and not channel.closed


def _release_instance(lib: Library, handle: Any, state: dict) -> None:
    if state["connected"]:
        lib.ktconDisconnect(handle)
    lib.ktconDestroyInstance(handle)


class Instance:
    """One connection to the application.

    ``Instance()`` is a network instance, ``Instance(network=False)`` an
    automation instance. :meth:`close`, the end of a ``with`` block and the
    garbage collector disconnect what :meth:`connect` connected and destroy
    the instance in the library, which gives back its thread, sockets and
    buffers.
    """

    def __init__(self, network: bool = True, *, library: LibraryArgument = None) -> None:
        self._lib = _resolve_library(library)
        handle = InstanceHandle()
        _check(self._lib.ktconCreateInstance(byref(handle), 1 if network else 0), "ktconCreateInstance")
        self._handle = handle
        self._state = {"connected": False}
        # Whether a channel list was fetched since the connect: channels are
        # looked up in it, so opening one fetches it first when none was.
        self._fetched = False
        self._scratch = ThreadScratch()  # shared by the channels' reads in a thread
        self._opened: list[weakref.ref[Channel]] = []  # what read_all() reads
        self._plan: Optional[list[tuple[str, weakref.ref[Channel]]]] = None  # read_all()'s keys
        self._finalizer = weakref.finalize(self, _release_instance, self._lib, handle, self._state)

    @classmethod
    def network(cls, *, library: LibraryArgument = None) -> "Instance":
        return cls(True, library=library)

    @classmethod
    def automation(cls, *, library: LibraryArgument = None) -> "Instance":
        return cls(False, library=library)

    @property
    def library(self) -> Library:
        return self._lib

    @property
    def handle(self) -> Any:
        """The C handle (``POINTER(KTXInstance)``)."""
        if self._handle is None:
            raise InvalidHandleError(-9, None, "the instance is closed")
        return self._handle

    # -- lifetime

    def connect(self, connection: Optional[str] = None, *, host: str = "localhost",
                command_port: int = 8999, data_port: int = 8001) -> "Instance":
        """Connects, with a connect text ``"host commandPort dataPort"`` or the
        keyword arguments. A network connect takes at least 2 seconds; one
        that does not come up raises NoCommandConnectionError after about
        20 (both it and NotConnectedError are ConnectionErrors)."""
        if connection is None:
            connection = f"{host} {command_port} {data_port}"
        self._fetched = False
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
        """Disconnects what connect() connected and destroys the instance."""
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
        self._fetched = True
        return count.value

    def channel_ids(self) -> list[str]:
        """The ids of the application's used channels; a channel without a
        name has none. Can be called any number of times."""
        ids = POINTER(c_char_p)()
        count = c_size_t(0)
        _check(self._lib.ktconEnumerateChannels(self.handle, byref(ids), byref(count)),
               "ktconEnumerateChannels")
        self._fetched = True
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
        self._fetched = True
        while True:
            size = c_int(0)
            _check(self._lib.ktconGetNextChannelIdSize(handle, byref(size)), "ktconGetNextChannelIdSize")
            if size.value <= 0:
                return  # nothing was left: the size was not written
            text = ctypes.create_string_buffer(size.value)
            last = _check(self._lib.ktconGetNextChannelId(handle, text), "ktconGetNextChannelId")
            yield text.value.decode("utf-8", "replace")
            if last == KX_LAST_CHANNEL_ID:
                return

    def channel(self, channel_id: str) -> Channel:
        """Opens the channel with the given id and marks it for transfer.
        Raises ChannelNotCreatedError for an unknown id.

        Channels are looked up in the list that the last channel_count(),
        channel_ids(), channels() or ids() fetched from the application;
        when none was fetched since the connect, this fetches it first. Each
        fetch clears the transfer marks, so open the channels to measure
        after the last fetch."""
        self._fetch_once()
        handle = ChannelHandle()
        code = self._lib.ktconCreateChannelInstance(self.handle, channel_id.encode(), byref(handle))
        return self._adopt(code, handle, "ktconCreateChannelInstance", channel_id)

    def channel_by_name(self, name: str) -> Channel:
        """Opens the first channel with the given name and marks it for
        transfer. Raises ChannelNotFoundError for an unknown name. Looks in
        the fetched channel list (fetching it first when none was), like
        :meth:`channel`."""
        self._fetch_once()
        handle = ChannelHandle()
        code = self._lib.ktconCreateChannelInstanceByNameUtf8(self.handle, name.encode(), byref(handle))
        return self._adopt(code, handle, "ktconCreateChannelInstanceByNameUtf8", None)

    def _fetch_once(self) -> None:
        if not self._fetched:
            self.channel_count()

    def _adopt(self, code: int, handle: Any, function: str, channel_id: Optional[str]) -> Channel:
        if handle:
            # The channel owns the handle from here on.
            channel = Channel(self._lib, handle, channel_id, self._scratch)
            _check(code, function)
            self._opened = [ref for ref in self._opened if _is_open(ref)]
            self._opened.append(weakref.ref(channel))
            self._plan = None
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

    def read_all(self, max_count: int = 4096, *, absolute: bool = False,
                 timeout: Optional[float] = None) -> dict[str, Samples]:
        """Reads up to ``max_count`` samples of every open channel of this
        instance, in the order they were opened: a dict from channel name to
        :class:`Samples`, like :meth:`Channel.read` returns them. A channel
        whose name an earlier one already has is keyed by its id (or by
        "name#2", "name#3" ... when it was opened by name).

        With numpy, the arrays of one call are views of two arrays that the
        package reuses for a later call only once nothing refers to any of
        them any more, so they stay valid as long as you hold them (or a
        view of them); holding one keeps the call's whole block alive. A
        channel that delivers more than the block has room for gets copies.

        With ``timeout`` (seconds) it waits, polling like
        :meth:`Channel.read`, until at least one channel has a sample or the
        time-out has passed.

        A failed read raises its KtError; the error's ``samples`` attribute
        holds the dict of what the channels before it delivered in this
        call, as those samples have left the library."""
        max_count = _check_max_count(max_count)
        deadline = _deadline(timeout)
        plan = self._read_plan()
        scratch = self._scratch.scratch
        take = scratch.take
        overruns = dict.fromkeys([key for key, _ in plan], False)
        # With numpy the channels' samples are packed into a round block and
        # handed out as views of it; a channel the block has no room for
        # (the first round, or one that delivers more than the last) gets
        # copies out of the scratch buffers.
        block = scratch.round_block(max_count) if max_count and plan else None
        while True:
            samples: dict[str, Samples] = {}
            delivered = offset = 0  # samples of this round; the block's filled part
            for key, channel in plan:
                try:
                    if block is not None and offset + max_count <= block.capacity:
                        count, overrun, more = channel._read_block(scratch, block, offset, max_count, absolute)
                        end = offset + count
                        values, times = block.values[offset:end], block.times[offset:end]
                        offset = end
                    else:
                        count, overrun, more = channel._read_scratch(scratch, max_count, absolute)
                        # Copied out before the next channel reuses the scratch.
                        values, times = take(count)
                except KtError as e:
                    e.samples = samples  # type: ignore[attr-defined]
                    raise
                overrun = overruns[key] = overruns[key] or overrun
                samples[key] = Samples(values, times, overrun, more)
                delivered += count
            if delivered or deadline is None or max_count == 0 or not plan or not _wait_until(deadline):
                scratch.round_demand = delivered + max_count
                return samples

    def _read_plan(self) -> list[tuple[str, Channel]]:
        """The open channels with their read_all() keys, worked out again
        only when a channel was opened or closed since the last call."""
        if self._plan is not None:
            channels = [(key, ref()) for key, ref in self._plan]
            if all(channel is not None and not channel.closed for _, channel in channels):
                return channels  # type: ignore[return-value]
        channels = [channel for channel in (ref() for ref in self._opened)
                    if channel is not None and not channel.closed]
        keys: set[str] = set()
        plan: list[tuple[str, Channel]] = []
        for channel in channels:
            name = channel.name
            key = name
            if key in keys and channel.id is not None and channel.id not in keys:
                key = channel.id
            suffix = 2
            while key in keys:
                key = f"{name}#{suffix}"
                suffix += 1
            keys.add(key)
            plan.append((key, channel))
        self._plan = [(key, weakref.ref(channel)) for key, channel in plan]
        return plan

    @contextlib.contextmanager
    def measure(self) -> Iterator["Instance"]:
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
