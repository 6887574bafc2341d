"""``python -m ktremote``: the commands, options, output and exit statuses
of ktcli, over this package.

    python -m ktremote [OPTIONS] COMMAND [ARGS] [OPTIONS]

Exit statuses: 0 success, 1 a failed request, 2 wrong arguments, 3 samples
were lost while streaming (unless --allow-loss).
"""

from __future__ import annotations

import csv
import json
import sys
from typing import Callable, NamedTuple, Optional, Sequence

from . import _stream
from ._library import load_library
from .core import Channel, ChannelType, Instance, version
from .errors import ChannelNotFoundError, KtError, NotControlChannelError, error_for

EXIT_FAILED = 1
EXIT_USAGE = 2
INT_MAX = 2**31 - 1


class UsageError(Exception):
    """Wrong arguments: exit status 2."""


class Option(NamedTuple):
    name: str
    value: Optional[str]  # the value's name; None for a flag
    help: str


class Arguments:
    def __init__(self) -> None:
        self.values: dict[str, str] = {}
        self.operands: list[str] = []

    def has(self, name: str) -> bool:
        return name in self.values

    def text(self, name: str, fallback: str) -> str:
        return self.values.get(name, fallback)

    def number(self, name: str, fallback: float) -> float:
        if name not in self.values:
            return fallback
        return parse_number(self.values[name], f"--{name}")

    def choice(self, name: str, choices: Sequence[str]) -> str:
        value = self.values.get(name, choices[0])
        if value not in choices:
            raise UsageError(f"--{name} must be one of {', '.join(choices)}, not \"{value}\"")
        return value


class Command(NamedTuple):
    name: str
    usage: str
    summary: str
    options: Sequence[Option]
    min_operands: int
    max_operands: int
    run: Optional[Callable[[Instance, Arguments], int]]  # None: needs no connection
    details: str = ""


COMMON_OPTIONS = (
    Option("host", "HOST", "the application's host (default localhost)"),
    Option("port", "PORT", "the application's command port (default 8999)"),
    Option("data-port", "PORT", "the port the library listens on for measured data (default 8001)"),
    Option("library", "PATH", "the ktremote shared library to load"),
    Option("help", None, "show this help"),
    Option("version", None, "show the versions of the package and the library"),
)


def parse_number(text: str, what: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if value != value or value in (float("inf"), float("-inf")):
        raise UsageError(f"{what} must be a finite number, not \"{text}\"")
    return value


def parse_integer(text: str, what: str) -> int:
    try:
        return int(text, 10)
    except ValueError:
        raise UsageError(f"{what} must be a whole number, not \"{text}\"") from None


def _is_number(word: str) -> bool:
    try:
        float(word)
        return True
    except ValueError:
        return False


def _find_command(argv: Sequence[str]) -> Optional[Command]:
    """The first word that is neither an option nor an option's value."""
    takes_value = {o.name for c in COMMANDS.values() for o in c.options if o.value}
    takes_value |= {o.name for o in COMMON_OPTIONS if o.value}
    k = 0
    while k < len(argv):
        word = argv[k]
        k += 1
        if word == "--":
            break
        if word.startswith("--") and len(word) > 2:
            if "=" not in word and word[2:] in takes_value:
                k += 1
            continue
        if word.startswith("-") and len(word) > 1 and not _is_number(word):
            continue
        return COMMANDS.get(word)
    return None


def parse_arguments(argv: Sequence[str]) -> tuple[Optional[Command], Arguments]:
    """The command and its arguments; options may stand before or after the
    command. Raises UsageError."""
    arguments = Arguments()
    command: Optional[Command] = None
    found = _find_command(argv)
    known = {o.name: o for o in (*COMMON_OPTIONS, *(found.options if found else ()))}
    options_ended = False
    k = 0
    while k < len(argv):
        word = argv[k]
        k += 1
        if options_ended or len(word) < 2 or not word.startswith("-") or (
                not word.startswith("--") and _is_number(word)):  # "write Gain -1"
            if command is None and not options_ended:
                command = COMMANDS.get(word)
                if command is None:
                    raise UsageError(f"unknown command \"{word}\"")
            else:
                arguments.operands.append(word)
            continue
        if word == "--":
            options_ended = True
            continue
        if word == "-h":
            word = "--help"
        if not word.startswith("--"):
            raise UsageError(f"unknown option {word}")
        name, equals, value = word[2:].partition("=")
        option = known.get(name)
        if option is None:
            raise UsageError(f"unknown option --{name}")
        if option.value is None:
            if equals:
                raise UsageError(f"--{name} takes no value")
            value = ""
        elif not equals:
            if k >= len(argv):
                raise UsageError(f"--{name} needs a value ({option.value})")
            value = argv[k]
            k += 1
        arguments.values[name] = value
    if command is not None and not arguments.has("help"):
        if len(arguments.operands) < command.min_operands:
            raise UsageError("too few arguments")
        if len(arguments.operands) > command.max_operands:
            raise UsageError("too many arguments")
    return command, arguments


# -- channels and requests

_TYPE_NAMES = {ChannelType.SYNC: "sync", ChannelType.ASYNC: "async", ChannelType.SINGLE_VALUE: "single"}


def open_channel(app: Instance, key: str, ids: Sequence[str]) -> Channel:
    """A channel by id, or else by name."""
    if key in ids:
        return app.channel(key)
    try:
        return app.channel_by_name(key)
    except ChannelNotFoundError as e:
        raise ChannelNotFoundError(e.code, e.function,
                                   f"the application has no channel named or with the id \"{key}\"") from None


def _rate(channel: Channel, kind: ChannelType) -> Optional[float]:
    return None if kind == ChannelType.SINGLE_VALUE else channel.sample_rate


def run_channels(app: Instance, arguments: Arguments) -> int:
    form = arguments.choice("format", ("table", "csv", "json"))
    rows = []
    for channel in app.channels():
        with channel:
            kind = channel.type
            rows.append({"id": channel.id, "name": channel.name, "unit": channel.unit,
                         "type": _TYPE_NAMES.get(kind, "unknown"), "sampleRate": _rate(channel, kind),
                         "control": channel.is_control})
    out = sys.stdout
    if form == "json":
        out.write(json.dumps(rows, ensure_ascii=False, indent=2) + "\n")
    elif form == "csv":
        writer = csv.writer(out, quoting=csv.QUOTE_ALL, lineterminator="\n")
        writer.writerow(["id", "name", "unit", "type", "sampleRate", "control"])
        for r in rows:
            writer.writerow([r["id"], r["name"], r["unit"], r["type"],
                             "" if r["sampleRate"] is None else f"{r['sampleRate']:g}",
                             "true" if r["control"] else "false"])
    else:
        table = [["ID", "NAME", "UNIT", "TYPE", "RATE", "CONTROL"]]
        for r in rows:
            table.append([r["id"], r["name"], r["unit"] or "-", r["type"],
                          "-" if r["sampleRate"] is None else f"{r['sampleRate']:g}",
                          "yes" if r["control"] else "no"])
        widths = [max(len(row[k]) for row in table) for k in range(6)]
        for row in table:
            out.write("  ".join(cell.ljust(width) for cell, width in zip(row[:-1], widths)) + "  " + row[-1] + "\n")
    return 0


def run_state(app: Instance, arguments: Arguments) -> int:
    form = arguments.choice("format", ("text", "json"))
    state = app.state
    acquiring = app.is_acquiring()
    if form == "json":
        sys.stdout.write(json.dumps({"state": state.name.lower(), "code": int(state), "acquiring": acquiring}) + "\n")
    else:
        sys.stdout.write(f"state      {state.name.lower()}\nacquiring  {'yes' if acquiring else 'no'}\n")
    return 0


def run_load_setup(app: Instance, arguments: Arguments) -> int:
    file = arguments.operands[0]
    app.load_setup(file)
    sys.stdout.write(f"setup loaded: {file}\n")
    return 0


def run_store(app: Instance, arguments: Arguments) -> int:
    action = arguments.operands[0]
    if action == "start":
        if len(arguments.operands) != 2:
            raise UsageError("store start needs the NAME of the file to store into")
        app.start_storing(arguments.operands[1])
        sys.stdout.write(f"storing to {arguments.operands[1]}\n")
        return 0
    if action == "stop":
        if len(arguments.operands) != 1:
            raise UsageError("store stop takes no further argument")
        state = app.stop_storing_with_state()
        sys.stdout.write(f"storing stopped; state {state.name.lower()}\n")
        return 0
    raise UsageError(f"store takes \"start NAME\" or \"stop\", not \"{action}\"")


def run_write(app: Instance, arguments: Arguments) -> int:
    key, text = arguments.operands
    value = parse_number(text, "VALUE")
    with open_channel(app, key, app.channel_ids()) as channel:
        # The library does not report a refused write, so the flag is
        # checked first.
        if not channel.is_control:
            raise NotControlChannelError(-19, None, f"\"{channel.name}\" does not accept written values")
        channel.write(value)
        sys.stdout.write(f"wrote {text} to {channel.name}\n")
    return 0


def run_stop(app: Instance, arguments: Arguments) -> int:
    with _stream.c_stdout_to_stderr():
        app.stop_measurement()
    sys.stdout.write("measurement stopped\n")
    return 0


def run_stream(app: Instance, arguments: Arguments) -> int:
    duration = arguments.number("duration", 5.0)
    if duration < 0:
        raise UsageError("--duration must not be negative")
    buffer_size = None
    if arguments.has("buffer-size"):
        buffer_size = parse_integer(arguments.text("buffer-size", ""), "--buffer-size")
        if not 1 <= buffer_size <= INT_MAX:
            raise UsageError(f"--buffer-size must be between 1 and {INT_MAX}")
    path = arguments.text("output", "-")
    hdf5 = arguments.choice("format", ("csv", "hdf5")) == "hdf5" or path.lower().endswith((".h5", ".hdf5"))
    if hdf5 or arguments.has("compress"):
        raise UsageError("HDF5 output is written by ktcli; python -m ktremote writes CSV")

    if app.is_acquiring() and not arguments.has("force"):
        raise error_for(-2, None, "the application is already measuring (--force starts anyway)")
    ids = app.channel_ids()
    channels: list[Channel] = []
    try:
        keys = arguments.operands or ids
        for key in keys:
            channel = open_channel(app, key, ids)
            if key in keys[:len(channels)] or (channel.id is not None
                                               and any(other.id == channel.id for other in channels)):
                channel.close()
                raise UsageError(f"channel \"{key}\" is given twice")
            channels.append(channel)
        if not channels:
            raise ChannelNotFoundError(-1, None, "the application's setup has no channels to stream")
        if buffer_size is not None:
            app.set_buffer_size(buffer_size)
        return _stream.run_stream(app, channels, duration=duration, path=path,
                                  quiet=arguments.has("quiet"), allow_loss=arguments.has("allow-loss"))
    finally:
        for channel in channels:
            channel.close()


COMMANDS = {c.name: c for c in (
    Command("channels", "", "List the channels of the application's current setup.",
            (Option("format", "table|csv|json", "output format (default table)"),), 0, 0, run_channels),
    Command("state", "", "Show the application's state.",
            (Option("format", "text|json", "output format (default text)"),), 0, 0, run_state),
    Command("load-setup", "FILE", "Make the application load a setup file.", (), 1, 1, run_load_setup),
    Command("stream", "[CHANNEL...]", "Measure and write the samples as CSV.", (
        Option("duration", "SECONDS", "how long to measure (default 5)"),
        Option("buffer-size", "SAMPLES", "samples buffered per channel (default: the library's, 3000)"),
        Option("output", "FILE", "write the CSV to FILE instead of stdout (\"-\": stdout)"),
        Option("format", "csv", "output format (CSV only here; HDF5: ktcli)"),
        Option("compress", None, "(HDF5 only: ktcli)"),
        Option("quiet", None, "no progress line"),
        Option("force", None, "start even though the application already acquires"),
        Option("allow-loss", None, "lost samples do not change the exit status"),
    ), 0, sys.maxsize, run_stream,
        "Starts a measurement of the given channels (names or ids; all channels\n"
        "when none is given), reads their samples for the given time, stops the\n"
        "measurement and reads what is still buffered. SIGINT, SIGTERM, SIGHUP\n"
        "and a closed output end it early in the same way.\n"
        "\n"
        "The CSV has a time column (seconds) and a value column per channel. A\n"
        "row holds the next sample of every channel that has one; channels with\n"
        "fewer samples leave their cells empty. A progress line goes to stderr;\n"
        "at the end a summary per channel (count, min, max, mean) goes to\n"
        "stdout, or to stderr when the CSV does.\n"
        "\n"
        "Exit status: 0 done, 1 failed (also: the application already measures\n"
        "without --force, it was lost, or no samples arrived), 2 wrong\n"
        "arguments, 3 samples were lost (unless --allow-loss).\n"),
    Command("stop", "", "End the application's measurement.", (), 0, 0, run_stop),
    Command("store", "start NAME | stop", "Start or stop storing data in the application.", (), 1, 2, run_store),
    Command("write", "CHANNEL VALUE", "Write a value to a control channel.", (), 2, 2, run_write),
    # Kept from earlier releases of this command line.
    Command("version", "", "Print the library's version.", (), 0, 0, None),
)}


def _options_text(options: Sequence[Option]) -> str:
    return "".join(f"  {('--' + o.name + (' ' + o.value if o.value else '')):<24} {o.help}\n" for o in options)


def help_text(command: Optional[Command]) -> str:
    if command is None:
        lines = ["usage: python -m ktremote [OPTIONS] COMMAND [ARGS] [OPTIONS]\n\nCommands:\n"]
        lines += [f"  {c.name:<12} {c.summary}\n" for c in COMMANDS.values()]
        return "".join(lines) + "\nOptions:\n" + _options_text(COMMON_OPTIONS)
    text = f"usage: python -m ktremote {command.name}{' ' + command.usage if command.usage else ''} [options]\n\n"
    text += command.summary + "\n"
    if command.details:
        text += "\n" + command.details
    if command.options:
        text += "\nOptions:\n" + _options_text(command.options)
    return text + "\nConnection options:\n" + _options_text(COMMON_OPTIONS)


def _package_version() -> str:
    try:
        from importlib.metadata import PackageNotFoundError, version as distribution_version
        try:
            return distribution_version("ktremote")
        except PackageNotFoundError:
            return "(not installed as a distribution)"
    except ImportError:
        return "(unknown)"


def main(argv: Optional[Sequence[str]] = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    try:
        command, arguments = parse_arguments(argv)
    except UsageError as e:
        sys.stderr.write(f"python -m ktremote: {e}\n(python -m ktremote --help lists the commands)\n")
        return EXIT_USAGE
    if arguments.has("help"):
        sys.stdout.write(help_text(command))
        return 0
    try:
        library = load_library(arguments.values["library"]) if arguments.has("library") else None
        if arguments.has("version"):
            sys.stdout.write(f"ktremote {_package_version()} (library {version(library)})\n")
            return 0
        if command is None:
            raise UsageError("no command given")
        if command.run is None:
            sys.stdout.write(version(library) + "\n")
            return 0
        host = arguments.text("host", "localhost")
        port = parse_integer(arguments.text("port", "8999"), "--port")
        data_port = parse_integer(arguments.text("data-port", "8001"), "--data-port")
        if any(c.isspace() for c in host) or not host:
            raise UsageError("--host must be one word")
        with Instance(library=library) as app:
            app.connect(host=host, command_port=port, data_port=data_port)
            return command.run(app, arguments)
    except UsageError as e:
        sys.stderr.write(f"python -m ktremote: {e}\n")
        return EXIT_USAGE
    except (KtError, OSError) as e:
        sys.stderr.write(f"python -m ktremote: {e}\n")
        return EXIT_FAILED

