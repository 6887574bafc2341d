# SPDX-License-Identifier: MIT
"""Finding and loading the shared library, and the ctypes declarations of
its 38 functions.

The library of the interpreter's word size is used: libktremote64 for a
64-bit Python, libktremote for a 32-bit one. It is looked for, in order:

1. at an explicit path (:func:`ktremote.load_library`, the ``library``
   argument of :class:`ktremote.Instance`, or the ``KTREMOTE_LIBRARY``
   environment variable);
2. next to this package (a copy bundled with it);
3. in the install prefix the package was installed into;
4. on the system's library search path.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import importlib
import os
import sys
import threading
from typing import Any
from ctypes import (POINTER, c_bool, c_char, c_char_p, c_double, c_int, c_size_t,
                    c_ssize_t, c_void_p)
from pathlib import Path


class KTXInstance(ctypes.Structure):
    """Opaque instance object; handles are ``POINTER(KTXInstance)``."""


class ChannelInstance(ctypes.Structure):
    """Opaque channel object; handles are ``POINTER(ChannelInstance)``."""


InstanceHandle = POINTER(KTXInstance)
ChannelHandle = POINTER(ChannelInstance)

# The functions in the order of the header, with their argument types. Every
# one returns a KX_ERROR_CODE (a C int). Distinct handle types let ctypes
# refuse a channel handle where an instance handle belongs and vice versa.
SIGNATURES = {
    "ktconGetVersion": (POINTER(c_char), c_size_t),
    "ktconCreateInstance": (POINTER(InstanceHandle), c_int),
    "ktconDestroyInstance": (InstanceHandle,),
    "ktconConnect": (InstanceHandle, c_char_p),
    "ktconDisconnect": (InstanceHandle,),
    "ktconSetAppWindowVisible": (InstanceHandle, c_bool),
    "ktconGetChannelCount": (InstanceHandle, POINTER(c_size_t)),
    "ktconEnumerateChannels": (InstanceHandle, POINTER(POINTER(c_char_p)), POINTER(c_size_t)),
    "ktconFreeEnumerateChannels": (InstanceHandle, POINTER(POINTER(c_char_p))),
    "ktconInitChannelIdEnum": (InstanceHandle,),
    "ktconGetNextChannelIdSize": (InstanceHandle, POINTER(c_int)),
    "ktconGetNextChannelId": (InstanceHandle, POINTER(c_char)),
    "ktconCreateChannelInstance": (InstanceHandle, c_char_p, POINTER(ChannelHandle)),
    "ktconCreateChannelInstanceByNameUtf8": (InstanceHandle, c_char_p, POINTER(ChannelHandle)),
    "ktconCreateChannelInstanceByName": (InstanceHandle, c_char_p, POINTER(ChannelHandle)),
    "ktconFreeChannelInstance": (ChannelHandle,),
    "ktconChannelGetName": (ChannelHandle, POINTER(c_char), c_size_t),
    "ktconChannelGetNameUtf8": (ChannelHandle, POINTER(c_char), c_size_t, POINTER(c_size_t)),
    "ktconGetChUnit": (ChannelHandle, POINTER(c_char), c_size_t),
    "ktconGetChannelType": (ChannelHandle, POINTER(c_int)),
    "ktconIsChannelControl": (ChannelHandle, POINTER(c_bool)),
    "ktconGetSampleRate": (ChannelHandle, POINTER(c_double)),
    "ktconChannelSetTransferred": (ChannelHandle, c_bool),
    "ktconSetBufferSize": (InstanceHandle, c_int),
    "ktconLoadSetup": (InstanceHandle, c_char_p),
    "ktconIsInAqusition": (InstanceHandle, POINTER(c_bool)),
    "ktconGetState": (InstanceHandle, POINTER(c_int)),
    "ktconStartMeasurement": (InstanceHandle,),
    "ktconStopMeasurement": (InstanceHandle,),
    "ktconStartStoring": (InstanceHandle, c_char_p),
    "ktconStopStoring": (InstanceHandle,),
    "ktconStopStoringEx": (InstanceHandle, POINTER(c_int)),
    "ktconBeginRead": (InstanceHandle, c_ssize_t, c_ssize_t),
    "ktconEndRead": (InstanceHandle,),
    "ktconChannelReadScalarData": (ChannelHandle, POINTER(POINTER(c_double)),
                                   POINTER(POINTER(c_double)), POINTER(c_size_t)),
    "ktconChannelReadScalarData_2": (ChannelHandle, POINTER(c_double), POINTER(c_double),
                                     POINTER(c_size_t)),
    "ktconChannelReadScalarData_2abs": (ChannelHandle, POINTER(c_double), POINTER(c_double),
                                        POINTER(c_size_t)),
    "ktconControlChannelWriteData": (ChannelHandle, c_double),
}
RESULT_TYPE = c_int


def library_base_name() -> str:
    """ktremote64 in a 64-bit interpreter, ktremote in a 32-bit one."""
    return "ktremote64" if ctypes.sizeof(c_void_p) == 8 else "ktremote"


def _file_names() -> list[str]:
    base = library_base_name()
    if sys.platform == "win32":
        return [f"{base}.dll"]
    if sys.platform == "darwin":
        return [f"lib{base}.1.dylib", f"lib{base}.dylib"]
    return [f"lib{base}.so.1", f"lib{base}.so"]


def candidate_paths() -> list[Path]:
    """Where the library is looked for when no explicit path is given."""
    here = Path(__file__).resolve().parent
    places = [here]
    try:
        # Written by the install step of the tree of this word size.
        bits = 8 * ctypes.sizeof(c_void_p)
        installed = importlib.import_module(f"._installed{bits}", __package__)
        places.append((here / installed.LIBRARY_DIR).resolve())
    except ImportError:
        pass
    return [place / name for place in places for name in _file_names()]


def find_library() -> str:
    """The path (or soname) of the library to load; see the module text."""
    explicit = os.environ.get("KTREMOTE_LIBRARY")
    if explicit:
        return explicit
    for path in candidate_paths():
        if path.is_file():
            return str(path)
    found = ctypes.util.find_library(library_base_name())
    if found:
        return found
    # Leave it to the dynamic loader's own search (LD_LIBRARY_PATH, ...).
    return _file_names()[0]


class Library:
    """One loaded copy of the shared library with its functions declared.

    Each function is an attribute of the same name (``lib.ktconGetVersion``).
    ``free`` is the C runtime's free() for the texts the library hands out.
    """

    def __init__(self, path: str | os.PathLike[str] | None = None) -> None:
        self.path = str(path) if path is not None else find_library()
        try:
            self.dll = ctypes.CDLL(self.path)
        except OSError as e:
            raise OSError(
                f"cannot load the ktremote library from {self.path!r} ({e}); pass its path to "
                "ktremote.load_library() or set KTREMOTE_LIBRARY") from None
        for name, argtypes in SIGNATURES.items():
            function = getattr(self.dll, name)
            function.argtypes = argtypes
            function.restype = RESULT_TYPE
            setattr(self, name, function)
        self.free = _c_free()

    def __repr__(self) -> str:
        return f"<ktremote.Library {self.path!r}>"


def _c_free() -> Any:
    # The library allocates what it hands out with the C runtime it is linked
    # against: the process's libc on POSIX systems, msvcrt for the Windows
    # builds.
    if sys.platform == "win32":
        runtime = ctypes.cdll.msvcrt
    else:
        runtime = ctypes.CDLL(None)
    free = runtime.free
    free.argtypes = (c_void_p,)
    free.restype = None
    return free


_default: Library | None = None
_default_lock = threading.Lock()


def load_library(path: str | os.PathLike[str] | None = None) -> Library:
    """Loads the library (from ``path`` when given) and makes it the default
    of every Instance created afterwards without a ``library`` argument."""
    global _default
    library = Library(path)
    with _default_lock:
        _default = library
    return library


def default_library() -> Library:
    """The default library, loaded on first use."""
    global _default
    with _default_lock:
        if _default is None:
            _default = Library()
        return _default
