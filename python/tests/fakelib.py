# SPDX-License-Identifier: MIT
"""A stand-in for the shared library: every function is a C function
pointer with exactly the declared signature, backed by Python. Calls through
it convert and check their arguments the way calls into the real library
do, and it records what the package must balance: channel handles opened
and freed, texts handed out and freed, connects and disconnects."""

import ctypes
import os
from ctypes import CFUNCTYPE, POINTER, c_char_p, c_size_t, c_void_p

from ktremote._library import SIGNATURES, RESULT_TYPE, ChannelHandle, InstanceHandle

libc = ctypes.CDLL(None)
libc.malloc.argtypes = (c_size_t,)
libc.malloc.restype = c_void_p


# The stand-in's version text: unlike any real one, so that a test cannot
# pass on the real library's text by mistake.
VERSION = "0.0.0.1"


def address(pointer):
    return ctypes.cast(pointer, c_void_p).value


class FakeLibrary:
    """Looks like ktremote._library.Library to the package."""

    def __init__(self, channels=None):
        self.path = "<fake>"
        # name -> (id, unit); a channel without a name has no id entry
        self.channels = channels if channels is not None else [
            ("0,1", "Speed", "rpm"), ("0,2", "", "V"), ("0,3", "Torque", "Nm")]
        self.connected = False
        self.accept_connect = True
        self.disconnects = 0
        self.destroyed = 0
        self.open_channels = {}        # address -> (buffer, record)
        self.freed_channels = []
        self.texts = set()             # addresses of id texts handed out
        self.arrays = set()
        self.samples = {}              # channel id -> list of (value, time)
        self.read_result = 0
        self.requested = []            # the count asked for by each read
        self.empty_reads = 0           # reads that find nothing before samples show
        self.failing_reads = {}        # channel id -> result code of its reads
        self.fetched = False           # a channel list was fetched (opening needs one)
        self.acquiring = False
        self.stdout_text = b""         # written to fd 1 when a measurement starts
        self.results = {}              # function name -> forced result
        self.cursor = 0
        self._keep = []
        self.calls = []
        self.errors = []
        for name, argtypes in SIGNATURES.items():
            implementation = getattr(self, "_" + name, None) or self._default
            prototype = CFUNCTYPE(RESULT_TYPE, *argtypes)
            function = prototype(self._wrap(name, implementation))
            self._keep.append(function)
            setattr(self, name, function)
        self._instance = ctypes.create_string_buffer(16)

    # -- the C heap the package frees into

    def free(self, pointer):
        if pointer in self.texts:
            self.texts.remove(pointer)
        else:
            raise AssertionError(f"free() of something the library did not hand out: {pointer:#x}")
        libc.free(ctypes.c_void_p(pointer))

    # -- helpers

    def _wrap(self, name, implementation):
        # An exception cannot leave a C callback: it is kept for the test's
        # teardown to report, and the call fails with a code nobody uses.
        def call(*args):
            self.calls.append(name)
            if name in self.results:
                return self.results[name]
            try:
                return implementation(*args)
            except Exception as e:  # noqa: BLE001
                self.errors.append(f"{name}: {e!r}")
                return -999
        return call

    def _default(self, *args):
        return 0

    def _record(self, channel):
        entry = self.open_channels.get(address(channel))
        if entry is None:
            raise AssertionError("call with a channel handle that is not open")
        return entry[1]

    # -- functions

    def _ktconGetVersion(self, buffer, size):
        text = VERSION.encode() + b"\0"
        ctypes.memmove(buffer, text, min(size, len(text)))
        return 0

    def _ktconCreateInstance(self, out, network):
        out[0] = ctypes.cast(self._instance, InstanceHandle)
        return 0

    def _ktconDestroyInstance(self, instance):
        self.destroyed += 1
        return 0

    def _ktconConnect(self, instance, text):
        self.connected = self.accept_connect
        return 0

    def _ktconDisconnect(self, instance):
        self.disconnects += 1
        return 0 if self.connected else -4

    def _ktconGetNextChannelIdSize(self, instance, size):
        if not self.connected:
            return -4
        if self.cursor < len(self.channels):
            size[0] = len(self.channels[self.cursor][0]) + 1
        return 0

    def _ktconInitChannelIdEnum(self, instance):
        self.fetched = self.fetched or self.connected
        return 0 if self.connected else -4

    def _ktconGetNextChannelId(self, instance, buffer):
        if self.cursor >= len(self.channels):
            return 1
        text = self.channels[self.cursor][0].encode() + b"\0"
        ctypes.memmove(buffer, text, len(text))
        self.cursor += 1
        return 1 if self.cursor == len(self.channels) else 0

    def _ktconGetChannelCount(self, instance, count):
        if not self.connected:
            return -4
        self.fetched = True
        count[0] = len(self.channels)
        return 0

    def _ktconEnumerateChannels(self, instance, ids, count):
        if not self.connected:
            return -4
        self.fetched = True
        array = libc.malloc(ctypes.sizeof(c_void_p) * max(1, len(self.channels)))
        entries = ctypes.cast(array, POINTER(c_void_p))
        next_entry = 0
        for channel_id, name, _ in self.channels:
            entries[next_entry] = None
            if not name:
                continue
            text = libc.malloc(len(channel_id) + 1)
            ctypes.memmove(text, channel_id.encode() + b"\0", len(channel_id) + 1)
            self.texts.add(text)
            entries[next_entry] = text
            next_entry += 1
        for k in range(next_entry, len(self.channels)):
            entries[k] = None
        self.arrays.add(array)
        ids[0] = ctypes.cast(array, POINTER(c_char_p))
        count[0] = len(self.channels)
        return 0

    def _ktconFreeEnumerateChannels(self, instance, ids):
        array = address(ids[0])
        if array not in self.arrays:
            raise AssertionError("array given back twice or never handed out")
        self.arrays.remove(array)
        libc.free(ctypes.c_void_p(array))
        ids[0] = POINTER(c_char_p)()
        return 0

    def _open(self, record, out):
        buffer = ctypes.create_string_buffer(16)
        handle = ctypes.cast(buffer, ChannelHandle)
        self.open_channels[address(handle)] = (buffer, record)
        out[0] = handle
        return 0

    def _ktconCreateChannelInstance(self, instance, channel_id, out):
        if not self.connected:
            return -4
        for record in self.channels if self.fetched else ():
            if record[0].encode() == channel_id:
                return self._open(record, out)
        out[0] = ChannelHandle()
        return -15

    def _ktconCreateChannelInstanceByNameUtf8(self, instance, name, out):
        if not self.connected:
            return -4
        out[0] = ChannelHandle()
        for record in self.channels if self.fetched else ():
            if record[1] and record[1].encode() == name:
                return self._open(record, out)
        return -1

    def _ktconFreeChannelInstance(self, channel):
        key = address(channel)
        if key not in self.open_channels:
            raise AssertionError("channel handle freed twice or never opened")
        del self.open_channels[key]
        self.freed_channels.append(key)
        return 0

    def _ktconChannelGetNameUtf8(self, channel, buffer, size, required):
        name = self._record(channel)[1].encode()
        n = min(len(name), size - 1) if size else 0
        ctypes.memmove(buffer, name[:n] + b"\0", n + 1)
        if required:
            required[0] = len(name) + 1
        return -5 if size < len(name) + 1 else 0

    def _ktconGetChUnit(self, channel, buffer, size):
        unit = self._record(channel)[2].encode()
        n = min(len(unit), size - 1)
        ctypes.memmove(buffer, unit[:n] + b"\0", n + 1)
        return 0

    def _ktconGetChannelType(self, channel, kind):
        self._record(channel)
        kind[0] = 1
        return 0

    def _ktconIsChannelControl(self, channel, control):
        control[0] = self._record(channel)[1] == "Torque"
        return 0

    def _ktconGetSampleRate(self, channel, rate):
        self._record(channel)
        rate[0] = 1000.0
        return 0

    def _ktconStartMeasurement(self, instance):
        os.write(1, self.stdout_text)  # as the library announces its data connection
        self.acquiring = True
        return 0

    def _ktconStopMeasurement(self, instance):
        self.acquiring = False
        return 0

    def _ktconIsInAqusition(self, instance, running):
        running[0] = self.acquiring
        return 0

    def _ktconGetState(self, instance, state):
        state[0] = 2 if self.acquiring else 1
        return 0

    def _ktconControlChannelWriteData(self, channel, value):
        # The library refuses a write to a channel that is not a control
        # channel, as _ktconIsChannelControl tells them apart.
        if self._record(channel)[1] != "Torque":
            return -19
        self.written = (self._record(channel)[1], value)
        return 0

    def _read(self, channel, values, times, count):
        if not values or not times:
            raise AssertionError("a read with a null buffer")
        self.requested.append(count[0])
        if self.empty_reads > 0:
            self.empty_reads -= 1
            count[0] = 0
            return self.read_result
        if self._record(channel)[0] in self.failing_reads:
            count[0] = 0
            return self.failing_reads[self._record(channel)[0]]
        samples = self.samples.get(self._record(channel)[0], [])
        n = min(count[0], len(samples))
        for k in range(n):
            values[k], times[k] = samples[k]
        del samples[:n]
        count[0] = n
        return self.read_result

    _ktconChannelReadScalarData_2 = _read
    _ktconChannelReadScalarData_2abs = _read
