# SPDX-License-Identifier: MIT
"""Result codes of the library and the exceptions they become.

Every failure of a library call is raised as a subclass of :class:`KtError`
that carries the C result code (``code``), its C name (``name``) and the
function that reported it (``function``)::

    try:
        app.channel_by_name("Speed")
    except ktremote.ChannelNotFoundError as e:
        print(e.code, e.name)        # -1 KX_ERR_CHANNEL_NOT_FOUND
"""

from __future__ import annotations

__all__ = [
    "KtError", "ChannelNotFoundError", "OperationFailedError", "NotConnectedError",
    "BufferTooSmallError", "NoCommandConnectionError", "AppCallFailedError",
    "InvalidHandleError", "BadAddressError", "NoTargetObjectError", "AppNotCreatedError",
    "AutomationCallError", "BadCountError", "ChannelNotCreatedError", "NotSupportedError",
    "NotControlChannelError", "SetupNotLoadedError", "DataOverrunError",
    "StartMeasurementError", "StartStoringError", "StopStoringError",
    "RESULT_MEANINGS", "RESULT_NAMES", "error_for", "result_code", "result_name",
]

# Every code of KX_ERROR_CODE with its C name, and what it means; the same
# table as include/ktremote_results.h (a test checks that they agree).
RESULT_NAMES = {
    2: "KX_MORE_WAITING",
    1: "KX_LAST_CHANNEL_ID",
    0: "KX_OK",
    -1: "KX_ERR_CHANNEL_NOT_FOUND",
    -2: "KX_ERR_FAILED",
    -4: "KX_ERR_NOT_CONNECTED",
    -5: "KX_ERR_BUFFER_TOO_SMALL",
    -6: "KX_ERR_NO_COMMAND_CONNECTION",
    -8: "KX_ERR_APP_CALL_FAILED",
    -9: "KX_ERR_INVALID_HANDLE",
    -10: "KX_ERR_BAD_ADDRESS",
    -11: "KX_ERR_NO_TARGET_OBJECT",
    -12: "KX_ERR_APP_NOT_CREATED",
    -13: "KX_ERR_AUTOMATION_CALL",
    -14: "KX_ERR_BAD_COUNT",
    -15: "KX_ERR_CHANNEL_NOT_CREATED",
    -18: "KX_ERR_NOT_SUPPORTED",
    -19: "KX_ERR_NOT_CONTROL_CHANNEL",
    -20: "KX_ERR_SETUP_NOT_LOADED",
    -21: "KX_ERR_DATA_OVERRUN",
    -23: "KX_ERR_START_STEP1",
    -24: "KX_ERR_START_STEP2",
    -25: "KX_ERR_START_STEP3",
    -26: "KX_ERR_START_STEP4",
    -27: "KX_ERR_START_STEP5",
    -28: "KX_ERR_START_STEP6",
    -29: "KX_ERR_START_STORING",
    -30: "KX_ERR_STOP_STORING",
}

RESULT_MEANINGS = {
    2: "more samples were waiting than the arrays could take",
    1: "the id copied was the last one, or none was left",
    0: "success",
    -1: "the application has no channel with that name",
    -2: "the operation failed in the library or in the application",
    -4: "the instance is not connected to the application",
    -5: "a text did not fit its buffer",
    -6: "the command connection is not open",
    -8: "a request to the application failed",
    -9: "a handle or a required argument was missing",
    -10: 'the connect text is not "host commandPort dataPort"',
    -11: "the application object is missing",
    -12: "the application object could not be created",
    -13: "an automation call failed",
    -14: "the channel count is not valid",
    -15: "the application has no channel with that id",
    -18: "this kind of connection does not offer the operation",
    -19: "the channel does not accept written values",
    -20: "the application did not confirm loading the setup",
    -21: "samples were dropped because a channel buffer overflowed",
    -23: "the measurement could not be started (stopping the previous one)",
    -24: "the measurement could not be started (channel numbers)",
    -25: "the measurement could not be started (timing query)",
    -26: "the measurement could not be started (transfer request or data port)",
    -27: "the measurement could not be started (transfer start)",
    -28: "the measurement could not be started (acquisition start)",
    -29: "the application did not start storing",
    -30: "the application did not stop storing",
}


def result_name(code: int) -> str:
    """The C name of a result code, or ``"KX_UNKNOWN"``."""
    return RESULT_NAMES.get(code, "KX_UNKNOWN")


_CODES = {name: code for code, name in RESULT_NAMES.items()}


def result_code(name: str) -> int:
    """The value of the result code with that C name (KeyError for none)."""
    return _CODES[name]


class KtError(Exception):
    """A failure reported by the library: ``code`` is the (negative) result
    code, ``name`` its C name, ``function`` the C function that reported it."""

    codes: tuple = ()
    description = "the library reported a failure"

    def __init__(self, code: int, function: str | None = None, detail: str | None = None):
        self.code = code
        self.name = result_name(code)
        self.function = function
        self.detail = detail
        where = f"{function}: " if function else ""
        more = f" ({detail})" if detail else ""
        meaning = RESULT_MEANINGS.get(code, self.description)
        super().__init__(f"{where}{self.name} ({code}): {meaning}{more}")


class ChannelNotFoundError(KtError, LookupError):
    codes = (-1,)
    description = RESULT_MEANINGS[-1]


class OperationFailedError(KtError):
    codes = (-2,)
    description = RESULT_MEANINGS[-2]


class NotConnectedError(KtError, ConnectionError):
    codes = (-4,)
    description = RESULT_MEANINGS[-4]


class BufferTooSmallError(KtError):
    codes = (-5,)
    description = RESULT_MEANINGS[-5]


class NoCommandConnectionError(KtError, ConnectionError):
    codes = (-6,)
    description = RESULT_MEANINGS[-6]


class AppCallFailedError(KtError):
    codes = (-8,)
    description = RESULT_MEANINGS[-8]


class InvalidHandleError(KtError):
    codes = (-9,)
    description = RESULT_MEANINGS[-9]


class BadAddressError(KtError, ValueError):
    codes = (-10,)
    description = RESULT_MEANINGS[-10]


class NoTargetObjectError(KtError):
    codes = (-11,)
    description = RESULT_MEANINGS[-11]


class AppNotCreatedError(KtError):
    codes = (-12,)
    description = RESULT_MEANINGS[-12]


class AutomationCallError(KtError):
    codes = (-13,)
    description = RESULT_MEANINGS[-13]


class BadCountError(KtError):
    codes = (-14,)
    description = RESULT_MEANINGS[-14]


class ChannelNotCreatedError(KtError, LookupError):
    codes = (-15,)
    description = RESULT_MEANINGS[-15]


class NotSupportedError(KtError):
    codes = (-18,)
    description = RESULT_MEANINGS[-18]


class NotControlChannelError(KtError):
    codes = (-19,)
    description = RESULT_MEANINGS[-19]


class SetupNotLoadedError(KtError):
    codes = (-20,)
    description = RESULT_MEANINGS[-20]


class DataOverrunError(KtError):
    codes = (-21,)
    description = RESULT_MEANINGS[-21]


class StartMeasurementError(KtError):
    codes = (-23, -24, -25, -26, -27, -28)
    description = "the measurement could not be started"

    @property
    def step(self) -> int:
        """The step of the start that failed, 1 to 6."""
        return -22 - self.code


class StartStoringError(KtError):
    codes = (-29,)
    description = RESULT_MEANINGS[-29]


class StopStoringError(KtError):
    codes = (-30,)
    description = RESULT_MEANINGS[-30]


_BY_CODE = {
    code: cls
    for cls in KtError.__subclasses__()
    for code in cls.codes
}


def error_for(code: int, function: str | None = None, detail: str | None = None) -> KtError:
    """The exception for a negative result code (a plain KtError for a code
    this package does not know)."""
    return _BY_CODE.get(code, KtError)(code, function, detail)
