# SPDX-License-Identifier: MIT
"""Result codes become the right exception, from the header's table to the
calls of the real library."""

import re

import pytest

import ktremote
from ktremote.errors import RESULT_NAMES, error_for, result_code


def header_codes(text):
    """The enumerators of KX_ERROR_CODE (the header has other enums too)."""
    block = re.search(r"typedef enum KX_ERROR_CODE \{(.*?)\} KX_ERROR_CODE;", text, re.DOTALL)
    assert block, "no KX_ERROR_CODE in the header"
    return {int(value): name for name, value in re.findall(r"(KX_\w+)\s*=\s*(-?\d+)", block.group(1))}


def test_names_match_the_header(header_text):
    codes = header_codes(header_text)
    assert len(codes) >= 28 and codes[1] == "KX_LAST_CHANNEL_ID" and codes[2] == "KX_MORE_WAITING"
    assert RESULT_NAMES == codes
    assert (result_code("KX_MORE_WAITING"), result_code("KX_LAST_CHANNEL_ID")) == (2, 1)


def test_every_failure_code_has_its_own_class_with_code_and_name(header_text):
    for code, name in header_codes(header_text).items():
        if code >= 0:
            continue
        error = error_for(code, "ktconSomething")
        assert type(error) is not ktremote.KtError, name
        assert code in type(error).codes
        assert (error.code, error.name, error.function) == (code, name, "ktconSomething")
        assert name in str(error)
    unknown = error_for(-99)
    assert type(unknown) is ktremote.KtError and unknown.name == "KX_UNKNOWN"


@pytest.mark.parametrize("code, cls", [
    (-1, ktremote.ChannelNotFoundError), (-2, ktremote.OperationFailedError),
    (-4, ktremote.NotConnectedError), (-9, ktremote.InvalidHandleError),
    (-15, ktremote.ChannelNotCreatedError), (-18, ktremote.NotSupportedError),
    (-20, ktremote.SetupNotLoadedError), (-21, ktremote.DataOverrunError),
    (-26, ktremote.StartMeasurementError), (-29, ktremote.StartStoringError),
    (-30, ktremote.StopStoringError),
])
def test_codes_users_catch_map_to_their_classes(code, cls):
    assert isinstance(error_for(code), cls)


def test_start_error_names_its_step():
    assert error_for(-23).step == 1 and error_for(-28).step == 6


@pytest.mark.parametrize("call", [
    lambda app: app.channel_count(),
    lambda app: app.channel_ids(),
    lambda app: list(app.ids()),
    lambda app: app.channel("0,1"),
    lambda app: app.channel_by_name("Speed"),
    lambda app: app.set_buffer_size(100),
    lambda app: app.load_setup("x.setup"),
    lambda app: app.is_acquiring(),
    lambda app: app.state,
    lambda app: app.start_measurement(),
    lambda app: app.start_storing("x.dat"),
    lambda app: app.stop_storing(),
    lambda app: app.disconnect(),
])
def test_unconnected_instance_raises_not_connected(lib, call):
    app = ktremote.Instance(library=lib)
    with pytest.raises(ktremote.NotConnectedError) as info:
        call(app)
    assert info.value.code == -4 and info.value.name == "KX_ERR_NOT_CONNECTED"


def test_failed_connect_raises_instead_of_passing_silently(lib):
    # Without COM an automation instance never connects.
    app = ktremote.Instance.automation(library=lib)
    with pytest.raises(ktremote.AppNotCreatedError):
        app.connect("ignored")
    with pytest.raises(ktremote.NotConnectedError):
        app.state


def test_version(lib, project_version):
    assert ktremote.version(lib) == project_version
