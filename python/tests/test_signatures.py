# SPDX-License-Identifier: MIT
"""The ctypes declarations against the public header: a wrong argument type
here would pass garbage to the library without any error."""

import ctypes
import re
from ctypes import (POINTER, c_bool, c_char, c_char_p, c_double, c_int, c_size_t, c_ssize_t)

import pytest

from ktremote._library import RESULT_TYPE, SIGNATURES, ChannelHandle, InstanceHandle

# C parameter types of the header and the ctypes type each one must be.
C_TO_CTYPES = {
    "KTXInstance*": InstanceHandle,
    "KTXInstance**": POINTER(InstanceHandle),
    "ChannelInstance*": ChannelHandle,
    "ChannelInstance**": POINTER(ChannelHandle),
    "char*": POINTER(c_char),
    "const char*": c_char_p,
    "char***": POINTER(POINTER(c_char_p)),
    "size_t": c_size_t,
    "size_t*": POINTER(c_size_t),
    "int": c_int,
    "int*": POINTER(c_int),
    "bool": c_bool,
    "bool*": POINTER(c_bool),
    "double": c_double,
    "double*": POINTER(c_double),
    "double**": POINTER(POINTER(c_double)),
    "intptr_t": c_ssize_t,
}


def header_functions(text):
    """name -> list of normalised C parameter types."""
    functions = {}
    for name, params in re.findall(r"KTREMOTE_API\s+KX_ERROR_CODE\s+(\w+)\s*\(([^)]*)\)\s*;", text):
        types = []
        for param in params.split(","):
            param = " ".join(param.split())
            # drop the parameter name, keep the type with its stars
            match = re.fullmatch(r"(.*?)\s*(\**)\s*(\w+)", param)
            assert match, param
            types.append(f"{match.group(1)}{match.group(2)}".replace(" *", "*"))
        functions[name] = types
    return functions


def test_every_header_function_is_declared_with_its_types(header_text):
    functions = header_functions(header_text)
    assert len(functions) == 38
    assert set(SIGNATURES) == set(functions)
    for name, c_types in functions.items():
        expected = tuple(C_TO_CTYPES[t] for t in c_types)
        assert SIGNATURES[name] == expected, name


def test_every_function_returns_a_c_int_and_intptr_is_pointer_sized():
    assert RESULT_TYPE is c_int
    assert ctypes.sizeof(c_ssize_t) == ctypes.sizeof(ctypes.c_void_p)


def test_the_loaded_library_carries_the_declarations(lib):
    for name, argtypes in SIGNATURES.items():
        function = getattr(lib, name)
        assert tuple(function.argtypes) == argtypes, name
        assert function.restype is c_int, name


@pytest.mark.parametrize("call", [
    lambda lib, channel, instance: lib.ktconGetChannelCount(channel, ctypes.byref(c_size_t())),
    lambda lib, channel, instance: lib.ktconFreeChannelInstance(instance),
    lambda lib, channel, instance: lib.ktconConnect(instance, "text, not bytes"),
    lambda lib, channel, instance: lib.ktconGetSampleRate(channel, ctypes.byref(ctypes.c_float())),
    lambda lib, channel, instance: lib.ktconSetBufferSize(instance, 2.5),
])
def test_wrong_argument_types_are_refused_before_the_call(lib, call):
    instance, channel = InstanceHandle(), ChannelHandle()
    with pytest.raises(ctypes.ArgumentError):
        call(lib, channel, instance)
