"""The stream command: start a measurement, read every chosen channel until
the time is up or a signal ends it, stop, read what is still buffered, and
summarise."""

from __future__ import annotations

import contextlib
import ctypes
import io
import math
import os
import signal
import sys
import time
from typing import IO, Iterator, Optional, Sequence

from ._csv import CsvWriter
from .core import Channel, Instance
from .errors import KtError, error_for

# Samples taken from a channel in one read call.
READ_BLOCK = 8192
# Pause between two rounds of reads; the default buffer of 3000 samples per
# channel lasts 3 s at 1 kHz.
READ_PAUSE = 0.02
PROGRESS_INTERVAL = 0.5
# After the stop, samples still on their way arrive within moments: the
# stream counts as finished after this many rounds without a new sample.
QUIET_ROUNDS_AFTER_STOP = 10
DRAIN_LIMIT = 5.0

EXIT_FAILED = 1
EXIT_LOST_SAMPLES = 3


class Statistics:
    """Count, minimum, maximum and mean of a channel's values (NaN counted,
    but left out of the others)."""

    def __init__(self) -> None:
        self.count = 0
        self.numbers = 0
        self.minimum = math.inf
        self.maximum = -math.inf
        self.total = 0.0

    def add(self, values: Sequence[float]) -> None:
        self.count += len(values)
        numbers = [v for v in values if v == v]
        if numbers:
            self.numbers += len(numbers)
            self.minimum = min(self.minimum, min(numbers))
            self.maximum = max(self.maximum, max(numbers))
            self.total += math.fsum(numbers)


def print_summary(out: IO[str], names: Sequence[str], units: Sequence[str],
                  statistics: Sequence[Statistics]) -> None:
    nw = max([7] + [len(n) for n in names])
    uw = max([4] + [len(u) for u in units])
    out.write(f"{'channel':<{nw}}  {'unit':<{uw}}  {'count':>10}  {'min':>14}  {'max':>14}  {'mean':>14}\n")
    for name, unit, s in zip(names, units, statistics):
        if s.numbers == 0:
            out.write(f"{name:<{nw}}  {unit:<{uw}}  {s.count:>10}  {'-':>14}  {'-':>14}  {'-':>14}\n")
        else:
            out.write(f"{name:<{nw}}  {unit:<{uw}}  {s.count:>10}  {s.minimum:>14.6g}  {s.maximum:>14.6g}  "
                      f"{s.total / s.numbers:>14.6g}\n")


def _flush_c_streams() -> None:
    # What the library printed may still sit in the C runtime's buffer of
    # standard output; it must leave while fd 1 still points at stderr.
    try:
        runtime = ctypes.cdll.msvcrt if sys.platform == "win32" else ctypes.CDLL(None)
        runtime.fflush(None)
    except (OSError, AttributeError):
        pass


@contextlib.contextmanager
def c_stdout_to_stderr() -> Iterator[int]:
    """Points file descriptor 1 at standard error for the block, so that what
    the library prints (its "Connection from:" line) cannot end up in the
    output; yields a duplicate of the original standard output."""
    sys.stdout.flush()
    _flush_c_streams()
    saved = os.dup(1)
    try:
        os.dup2(2, 1)
        yield saved
    finally:
        sys.stdout.flush()
        _flush_c_streams()
        os.dup2(saved, 1)
        os.close(saved)


class _Stop:
    """Set by SIGINT, SIGTERM and SIGHUP while installed: they end a stream
    the way the end of its duration does."""

    SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name))

    def __init__(self) -> None:
        self.requested = False
        self._previous: dict = {}

    def __enter__(self) -> "_Stop":
        for number in self.SIGNALS:
            self._previous[number] = signal.signal(number, self._handle)
        return self

    def __exit__(self, *exc: object) -> None:
        for number, handler in self._previous.items():
            signal.signal(number, handler)

    def _handle(self, number: int, frame: object) -> None:
        self.requested = True


class _Reader:
    def __init__(self, app: Instance, channels: Sequence[Channel], csv: Optional[CsvWriter]) -> None:
        self._app = app  # whose open channels are exactly the streamed ones, in order
        self.csv = csv
        self.statistics = [Statistics() for _ in channels]
        self.overrun = False

    def round(self) -> int:
        """Reads everything buffered for every channel; the number of samples
        read. A closed output (broken pipe) stops the CSV, not the reads."""
        total = 0
        while True:
            blocks = list(self._app.read_all(READ_BLOCK).values())
            for block, statistics in zip(blocks, self.statistics):
                self.overrun = self.overrun or block.overrun
                statistics.add(block.values.tolist())
                total += len(block.values)
            if self.csv is not None:
                try:
                    self.csv.write_round([(block.values, block.times) for block in blocks])
                    if total:
                        self.csv.flush()  # a reader at the other end of a pipe sees rows as they come
                except BrokenPipeError:
                    self.csv = None  # the reader went away: stop like at the end
                    raise
            if not any(len(block.values) == READ_BLOCK for block in blocks):
                return total

    def counts(self) -> list[int]:
        return [s.count for s in self.statistics]


class _Progress:
    def __init__(self, out: IO[str], names: Sequence[str], enabled: bool) -> None:
        self._out = out
        self._names = names
        self._enabled = enabled
        self._terminal = out.isatty()
        self._open = False
        self._last_elapsed = 0.0
        self._last_counts = [0] * len(names)

    def update(self, elapsed: float, counts: Sequence[int], overrun: bool) -> None:
        interval = elapsed - self._last_elapsed
        if not self._enabled or interval <= 0:
            return
        line = f"{elapsed:6.1f} s" + "".join(
            f"  {name} {(count - last) / interval:.0f}/s"
            for name, count, last in zip(self._names, counts, self._last_counts))
        if overrun:
            line += "  [samples dropped]"
        if self._terminal:
            self._out.write(f"\r{line}\x1b[K")
            self._open = True
        else:
            self._out.write(line + "\n")
        self._out.flush()
        self._last_elapsed = elapsed
        self._last_counts = list(counts)

    def finish(self) -> None:
        if self._open:
            self._out.write("\n")
        self._open = False


def _open_output(path: str, stdout_copy: int) -> IO[str]:
    if path == "-":
        return io.open(os.dup(stdout_copy), "w", encoding="utf-8", newline="", buffering=1 << 16)
    return open(path, "w", encoding="utf-8", newline="")


class _Measurement:
    """One stream: the phases of run_stream() and what they found."""

    def __init__(self, app: Instance, reader: _Reader, progress: _Progress) -> None:
        self.app = app
        self.reader = reader
        self.progress = progress
        self.not_started: Optional[KtError] = None
        self.lost_application: Optional[KtError] = None
        self.output_closed = False

    def run(self, duration: float) -> None:
        with _Stop() as stop:  # before the start: a signal from here on stops it
            self.app.start_measurement()
            try:
                if self.app.is_acquiring():
                    self._read_until(time.monotonic() + duration, stop)
                else:
                    self.not_started = error_for(-2, None, "the application did not start acquiring "
                                                           "(is the data port free on this machine?)")
            except KtError as e:
                self.lost_application = e
            finally:
                try:
                    self.app.stop_measurement()
                except KtError as e:
                    self.lost_application = self.lost_application or e
            if self.lost_application is None and self.not_started is None:
                self._drain()
        self.progress.finish()

    def _round(self) -> int:
        try:
            return self.reader.round()
        except BrokenPipeError:
            self.output_closed = True
            return 0

    def _read_until(self, end: float, stop: _Stop) -> None:
        start = time.monotonic()
        next_progress = start + PROGRESS_INTERVAL
        warned = False
        while time.monotonic() < end and not stop.requested and not self.output_closed:
            self._round()
            if self.reader.overrun and not warned:
                self.progress.finish()
                sys.stderr.write("warning: samples were dropped: the channel buffers overflowed "
                                 "(a larger --buffer-size helps)\n")
                warned = True
            now = time.monotonic()
            if now >= next_progress:
                self.progress.update(now - start, self.reader.counts(), self.reader.overrun)
                next_progress = now + PROGRESS_INTERVAL
            time.sleep(READ_PAUSE)

    def _drain(self) -> None:
        # What was measured before the stop is still on its way or buffered.
        end = time.monotonic() + DRAIN_LIMIT
        quiet_rounds = 0
        while quiet_rounds < QUIET_ROUNDS_AFTER_STOP and time.monotonic() < end:
            try:
                quiet_rounds = quiet_rounds + 1 if self._round() == 0 else 0
            except KtError as e:
                self.lost_application = e
                return
            time.sleep(READ_PAUSE)


def run_stream(app: Instance, channels: Sequence[Channel], *, duration: float, path: str,
               quiet: bool, allow_loss: bool) -> int:
    """Measures ``channels`` (opened, so marked for transfer) for ``duration``
    seconds; the exit status."""
    names = [channel.name for channel in channels]
    units = [channel.unit for channel in channels]
    with c_stdout_to_stderr() as stdout_copy:
        out = _open_output(path, stdout_copy)
        closed_at_end = False
        try:
            reader = _Reader(app, channels, CsvWriter(out, names, units))
            measurement = _Measurement(app, reader, _Progress(sys.stderr, names, not quiet))
            measurement.run(duration)
        finally:
            try:
                out.close()
            except BrokenPipeError:
                closed_at_end = True
    measurement.output_closed = measurement.output_closed or closed_at_end

    if measurement.not_started is not None:
        sys.stderr.write(f"python -m ktremote: {measurement.not_started}\n")
        return EXIT_FAILED
    # The summary goes where the CSV does not, and to stderr once stdout is gone.
    report = sys.stderr if path == "-" or measurement.output_closed else sys.stdout
    print_summary(report, names, units, reader.statistics)
    if measurement.output_closed:
        report.write("the output was closed; the measurement was ended\n")
    elif path != "-":
        report.write(f"CSV: {reader.csv.rows if reader.csv else 0} rows in {path}\n")
    if reader.overrun:
        report.write("samples were dropped during the measurement; use a larger --buffer-size\n")
    report.flush()
    if measurement.lost_application is not None:
        sys.stderr.write(f"python -m ktremote: the application was lost while streaming: "
                         f"{measurement.lost_application}\n")
        return EXIT_FAILED
    if sum(reader.counts()) == 0:
        sys.stderr.write("python -m ktremote: no samples arrived\n")
        return EXIT_FAILED
    if reader.overrun and not allow_loss:
        return EXIT_LOST_SAMPLES
    return 0
