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
    "RESULT_NAMES", "error_for", "result_name",
]

# Every code of KX_ERROR_CODE with its C name.
RESULT_NAMES = {
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


def result_name(code: int) -> str:
    """The C name of a result code, or ``"KX_UNKNOWN"``."""
    return RESULT_NAMES.get(code, "KX_UNKNOWN")


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
        super().__init__(f"{where}{self.name} ({code}): {self.description}{more}")


class ChannelNotFoundError(KtError, LookupError):
    codes = (-1,)
    description = "no channel with that name"


class OperationFailedError(KtError):
    codes = (-2,)
    description = "the operation failed inside the library or the application"


class NotConnectedError(KtError, ConnectionError):
    codes = (-4,)
    description = "the instance is not connected"


class BufferTooSmallError(KtError):
    codes = (-5,)
    description = "buffer too small"


class NoCommandConnectionError(KtError, ConnectionError):
    codes = (-6,)
    description = "the command connection is not open"


class AppCallFailedError(KtError):
    codes = (-8,)
    description = "a request to the application failed"


class InvalidHandleError(KtError):
    codes = (-9,)
    description = "invalid handle or missing argument"


class BadAddressError(KtError, ValueError):
    codes = (-10,)
    description = 'the connect text is not "host commandPort dataPort"'


class NoTargetObjectError(KtError):
    codes = (-11,)
    description = "automation request on a missing object"


class AppNotCreatedError(KtError):
    codes = (-12,)
    description = "the application object could not be created"


class AutomationCallError(KtError):
    codes = (-13,)
    description = "an automation call failed"


class BadCountError(KtError):
    codes = (-14,)
    description = "invalid count for the channel enumeration"


class ChannelNotCreatedError(KtError, LookupError):
    codes = (-15,)
    description = "no channel with that id"


class NotSupportedError(KtError):
    codes = (-18,)
    description = "not offered by this kind of instance"


class NotControlChannelError(KtError):
    codes = (-19,)
    description = "not a control channel"


class SetupNotLoadedError(KtError):
    codes = (-20,)
    description = "the application did not confirm the setup"


class DataOverrunError(KtError):
    codes = (-21,)
    description = "samples were dropped during this measurement"


class StartMeasurementError(KtError):
    codes = (-23, -24, -25, -26, -27, -28)
    description = "the measurement could not be started"

    @property
    def step(self) -> int:
        """The step of the start that failed, 1 to 6."""
        return -22 - self.code


class StartStoringError(KtError):
    codes = (-29,)
    description = "storing could not be started"


class StopStoringError(KtError):
    codes = (-30,)
    description = "storing could not be stopped"


_BY_CODE = {
    code: cls
    for cls in KtError.__subclasses__()
    for code in cls.codes
}


def error_for(code: int, function: str | None = None, detail: str | None = None) -> KtError:
    """The exception for a negative result code (a plain KtError for a code
    this package does not know)."""
    return _BY_CODE.get(code, KtError)(code, function, detail)
