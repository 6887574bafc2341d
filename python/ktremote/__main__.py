"""Command-line host: ``python -m ktremote [options] COMMAND``.

    python -m ktremote version
    python -m ktremote --connect "localhost 8999 8001" list
    python -m ktremote stream --seconds 5 --channel Speed --channel Torque
    python -m ktremote stream --seconds 5 --summary

``stream`` prints one line per sample, ``channel<TAB>time<TAB>value``, with
the time in seconds since the start (days with ``--absolute``), or with
``--summary`` one line per channel at the end.
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from array import array

from . import ChannelType, Instance, KtError, load_library, version

_TYPE_NAMES = {ChannelType.ASYNC: "async", ChannelType.SYNC: "sync", ChannelType.SINGLE_VALUE: "single"}


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m ktremote", description=__doc__.split("\n\n")[0])
    parser.add_argument("--connect", default="localhost 8999 8001", metavar="TEXT",
                        help='connect text "host commandPort dataPort" (default: %(default)s)')
    parser.add_argument("--library", metavar="PATH", help="the shared library to load")
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("version", help="print the library's version")
    commands.add_parser("list", help="list the application's channels")
    stream = commands.add_parser("stream", help="measure and print samples")
    stream.add_argument("--seconds", type=float, default=math.inf,
                        help="how long to measure (default: until interrupted)")
    stream.add_argument("--channel", action="append", metavar="NAME",
                        help="a channel to stream, by name (repeatable; default: all)")
    stream.add_argument("--buffer-size", type=int, metavar="SAMPLES",
                        help="samples buffered per channel")
    stream.add_argument("--absolute", action="store_true", help="absolute times in days")
    stream.add_argument("--summary", action="store_true",
                        help="print a summary per channel instead of the samples")
    return parser


def _list(app: Instance, out) -> int:
    ids = app.channel_ids()
    out.write(f"{'id':<12} {'name':<24} {'unit':<10} {'type':<6} {'rate/Hz':>10} control\n")
    for channel_id in ids:
        with app.channel(channel_id) as channel:
            out.write(f"{channel_id:<12} {channel.name:<24} {channel.unit:<10} "
                      f"{_TYPE_NAMES.get(channel.type, '?'):<6} {channel.sample_rate:>10.3f} "
                      f"{'yes' if channel.is_control else 'no'}\n")
    out.write(f"{len(ids)} channels\n")
    return 0


class _Summary:
    def __init__(self):
        self.count = 0
        self.minimum = math.inf
        self.maximum = -math.inf
        self.total = 0.0
        self.first = self.last = 0.0
        self.overrun = False


def _stream(app: Instance, args, out) -> int:
    if args.buffer_size is not None:
        app.set_buffer_size(args.buffer_size)
    if args.channel:
        app.channel_count()  # fetch the channel list that the names are looked up in
        channels = [app.channel_by_name(name) for name in args.channel]
    else:
        channels = app.channels()
    names = [channel.name for channel in channels]
    summaries = [_Summary() for _ in channels]
    values, times = array("d", bytes(8 * 4096)), array("d", bytes(8 * 4096))

    def drain():
        for name, channel, summary in zip(names, channels, summaries):
            while True:
                count, overrun, _ = channel.read_into(values, times, absolute=args.absolute)
                if overrun and not summary.overrun:
                    summary.overrun = True
                    sys.stderr.write(f"{name}: samples were dropped\n")
                if count and not args.summary:
                    out.write("".join(f"{name}\t{times[k]:.9g}\t{values[k]:.17g}\n" for k in range(count)))
                for k in range(count):
                    if summary.count == 0:
                        summary.first = times[k]
                    summary.last = times[k]
                    summary.minimum = min(summary.minimum, values[k])
                    summary.maximum = max(summary.maximum, values[k])
                    summary.total += values[k]
                    summary.count += 1
                if count < len(values):
                    break

    end = time.monotonic() + args.seconds
    try:
        with app.measure():
            while time.monotonic() < end:
                time.sleep(0.05)
                drain()
    except KeyboardInterrupt:
        pass
    drain()  # what arrived before the stop stays readable
    for channel in channels:
        channel.close()

    if args.summary:
        out.write(f"{'channel':<24} {'samples':>10} {'min':>12} {'mean':>12} {'max':>12} {'span/s':>10}\n")
        for name, s in zip(names, summaries):
            if s.count == 0:
                out.write(f"{name:<24} {0:>10}\n")
                continue
            out.write(f"{name:<24} {s.count:>10} {s.minimum:>12.4g} {s.total / s.count:>12.4g} "
                      f"{s.maximum:>12.4g} {s.last - s.first:>10.3f}"
                      f"{'  (samples dropped)' if s.overrun else ''}\n")
    return 0 if any(s.count for s in summaries) else 1


def main(argv=None) -> int:
    args = _parser().parse_args(argv)
    out = sys.stdout
    try:
        library = load_library(args.library) if args.library else None
        if args.command == "version":
            out.write(version(library) + "\n")
            return 0
        with Instance(library=library) as app:
            app.connect(args.connect)
            if args.command == "list":
                return _list(app, out)
            return _stream(app, args, out)
    except KtError as e:
        sys.stderr.write(f"ktremote: {e}\n")
        return 2
    except OSError as e:
        sys.stderr.write(f"ktremote: {e}\n")
        return 2


if __name__ == "__main__":
    sys.exit(main())
