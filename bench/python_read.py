#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""The Python read path against the C host, in one run.

A Python host drains 64 float32 channels that ktsim streams in burst mode
(builtin:bench64), through the package, for a few seconds per read path:
the read() the package had before its scratch buffers (two new arrays of
the full request per call), Channel.read() and Instance.read_all() (numpy
copies of what was delivered) and read_into() into the host's own numpy
arrays. Beside them, the end-to-end harness's C host
(ktremote_e2e_bench --section throughput) measures the same stream in the
same run, once before and once after the Python paths: the same setup,
burst mode and packets, buffers of 65536 samples, all 64 channels emptied in
blocks of 4096, windows of the same length. The ratios are taken against
the mean of its two runs. Where the tree has bench/DrainHost.c's module,
that C loop also takes turns with each Python path, in this process, on
the same instance and channels: the window is cut into slices, and after
each Python slice the C host empties the channels for as long. That is the
closest pair on a machine whose load changes from second to second.

    bench/python_read.py [--tree build/bench] [--seconds 3] [--doc docs/performance.md]

The tree needs the library, ktsim and, for the C figure, the end-to-end
harness (scripts/bench.sh builds all three in build/bench). With --doc the
table replaces the one between the "python-figures" markers.
"""

from __future__ import annotations

import argparse
import ctypes
import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time
import timeit
from array import array
from pathlib import Path

root = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(root / "python"))

import numpy  # noqa: E402  (the bench measures the numpy reads)

import ktremote  # noqa: E402

BUFFER = 1 << 16  # samples buffered per channel, as in the C host's run
READ_BLOCK = 4096  # samples per read call of the C host
WARMUP = 0.5


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def process_cpu(pid: int) -> float:
    text = Path(f"/proc/{pid}/stat").read_text()
    fields = text[text.rindex(")") + 2:].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Sim:
    def __init__(self, ktsim: str, burst: bool = True):
        self.process = subprocess.Popen(
            [ktsim, "--port", "0", "--exit-on-stdin-eof", "--seed", "1", "--setup", "builtin:bench64",
             "--packet-ms", "5"] + (["--burst"] if burst else []),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.process.stdout.readline()
        if not line.startswith("ktsim listening on "):
            raise RuntimeError(f"ktsim did not start: {line!r}")
        self.port = int(line.rsplit(":", 1)[1])
        threading.Thread(target=self.process.stdout.read, daemon=True).start()

    def close(self) -> None:
        self.process.stdin.close()
        self.process.wait(30)


def legacy_read(channel: ktremote.Channel, max_count: int) -> int:
    """The package's read() before this round: two new arrays of the full
    request on every call, cut to what was delivered."""
    values = array("d", bytes(8 * max_count))
    times = array("d", bytes(8 * max_count))
    result = channel.read_into(values, times)
    del values[result.count:]
    del times[result.count:]
    return result.count


def drain(channels, read_one, block: int) -> int:
    """Empties every channel, block by block, as the C host does."""
    total = 0
    for channel in channels:
        # At most one buffer's worth: a channel that refills faster than it
        # is read must not keep the host on it for ever.
        for _ in range(BUFFER // block + 1):
            count = read_one(channel, block)
            total += count
            if count < block:
                break
    return total


def make_paths():
    own = {}

    def into(channel, block):
        if len(own.get("values", ())) < block:
            own["values"], own["times"] = numpy.empty(block), numpy.empty(block)
        return channel.read_into(own["values"], own["times"]).count

    def read_all(app, channels, block):
        total = 0
        for _ in range(BUFFER // block + 1):  # at most one buffer's worth, as drain()
            counts = [len(samples.values) for samples in app.read_all(block).values()]
            total += sum(counts)
            if max(counts, default=0) < block:
                break
        return total

    paths = []
    for block in (READ_BLOCK, 1 << 16):
        paths += [
            (f"read({block}) as before: two new arrays of the full request per call", block,
             lambda app, channels, block: drain(channels, legacy_read, block)),
            (f"`Channel.read({block})`: numpy copies of what was delivered", block,
             lambda app, channels, block: drain(channels, lambda c, n: len(c.read(n).values), block)),
        ]
    paths += [
        (f"`Instance.read_all({READ_BLOCK})`: views of a reused block", READ_BLOCK, read_all),
        ("`Instance.read_all(65536)`: views of a reused block", 1 << 16, read_all),
        (f"`Channel.read_into()` of {READ_BLOCK} into the host's numpy arrays (no copy)", READ_BLOCK,
         lambda app, channels, block: drain(channels, into, block)),
    ]
    return paths


class DrainFigures(ctypes.Structure):
    _fields_ = [("samples", ctypes.c_double), ("seconds", ctypes.c_double), ("cpuSeconds", ctypes.c_double),
                ("overrunReads", ctypes.c_int)]


class DrainHost:
    """The C host loaded into this process (bench/DrainHost.c): it empties
    the channels this process opened with the harness's C loop, through the
    same library instance, taking turns with the Python host."""

    def __init__(self, path: Path, library: ktremote.Library):
        self.module = ctypes.CDLL(str(path))
        self.function = self.module.ktbenchDrainHost
        self.function.argtypes = (ctypes.c_void_p, ctypes.POINTER(ctypes.c_void_p), ctypes.c_size_t,
                                  ctypes.c_double, ctypes.c_double, ctypes.POINTER(DrainFigures))
        self.function.restype = None
        self.read = ctypes.cast(library.dll.ktconChannelReadScalarData_2, ctypes.c_void_p)

    def __call__(self, channels, seconds: float, warmup: float) -> dict:
        handles = (ctypes.c_void_p * len(channels))(*[ctypes.cast(c.handle, ctypes.c_void_p).value
                                                       for c in channels])
        f = DrainFigures()
        self.function(self.read, handles, len(channels), warmup, seconds, ctypes.byref(f))
        return {"samples": f.samples, "seconds": f.seconds, "cpu": f.cpuSeconds, "overrun": f.overrunReads > 0}


# Windows split into this many slices, Python's and the C host's in turn.
TURNS = 6


def measure(sim: Sim, read, block: int, seconds: float, pause: float = 0.0, c_turn=None) -> dict:
    """The Python host's figures over a window of ``seconds``; with
    ``c_turn``, the window is cut into slices and the C host empties the
    same channels for as long after each slice, so that both meet the same
    load."""
    turns = TURNS if c_turn else 1
    with ktremote.Instance() as app:
        app.connect(f"127.0.0.1 {sim.port} {free_port()}")
        channels = app.channels()
        app.set_buffer_size(BUFFER)
        overrun = False
        c_turns = []
        samples = elapsed = host = process = sim_cpu = 0.0
        with app.measure():
            end = time.monotonic() + WARMUP
            while time.monotonic() < end:
                read(app, channels, block)
            for turn in range(turns):
                start, host0, process0 = time.monotonic(), time.thread_time(), time.process_time()
                sim0 = process_cpu(sim.process.pid)
                end = start + seconds / turns
                while True:
                    samples += read(app, channels, block)
                    if pause:
                        time.sleep(pause)
                    now = time.monotonic()
                    if now >= end:
                        break
                elapsed += now - start
                host += time.thread_time() - host0
                process += time.process_time() - process0
                sim_cpu += process_cpu(sim.process.pid) - sim0
                overrun = overrun or any(channel.read_into(numpy.empty(0), numpy.empty(0)).overrun
                                         for channel in channels)
                if c_turn:
                    # Same instance, channels, buffers and ktsim; its warm-up
                    # only before its first slice.
                    c_turns.append(c_turn(channels, seconds / turns, WARMUP if turn == 0 else 0.0))
        for channel in channels:
            channel.close()
    c_figures = None
    if c_turns:
        c_samples, c_seconds, c_cpu = (sum(t[key] for t in c_turns) for key in ("samples", "seconds", "cpu"))
        c_figures = {"rate": c_samples / c_seconds, "host_ns": 1e9 * c_cpu / max(c_samples, 1),
                     "overrun": any(t["overrun"] for t in c_turns)}
    return {"rate": samples / elapsed, "host": host / elapsed, "io": (process - host) / elapsed,
            "sim": sim_cpu / elapsed, "host_ns": 1e9 * host / max(samples, 1), "overrun": overrun, "c": c_figures}


# A real-time host: reads every channel, then sleeps this long.
REAL_TIME_PAUSE = 0.01


def real_time_paths():
    return [
        ("read(65536) as before", lambda app, channels, block: drain(channels, legacy_read, block)),
        ("`Channel.read(65536)`", lambda app, channels, block: drain(channels, lambda c, n: len(c.read(n).values), block)),
        ("`Instance.read_all(65536)`",
         lambda app, channels, block: sum(len(s.values) for s in app.read_all(block).values())),
    ]


def call_costs(sim: Sim) -> list[tuple[str, float]]:
    """Microseconds per call of each read on a channel that has nothing
    waiting: the fixed cost a host pays on every call."""
    with ktremote.Instance() as app:
        app.connect(f"127.0.0.1 {sim.port} {free_port()}")
        channels = app.channels()
        channel = channels[0]
        values, times = numpy.empty(READ_BLOCK), numpy.empty(READ_BLOCK)
        calls = [
            ("read(65536) as before", 100, lambda: legacy_read(channel, 1 << 16)),
            ("read(4096) as before", 1000, lambda: legacy_read(channel, READ_BLOCK)),
            ("`Channel.read(65536)`", 1000, lambda: channel.read(1 << 16)),
            ("`Channel.read(4096)`", 1000, lambda: channel.read(READ_BLOCK)),
            ("`Channel.read_into()`", 1000, lambda: channel.read_into(values, times)),
            ("`Instance.read_all(4096)`, per channel", 20, lambda: app.read_all(READ_BLOCK)),
        ]
        costs = []
        for name, number, call in calls:
            per = min(timeit.repeat(call, number=number, repeat=5)) / number
            costs.append((name, 1e6 * per / (len(channels) if "per channel" in name else 1)))
        for c in channels:
            c.close()
    return costs


def c_host(harness: str, ktsim: str, seconds: float) -> dict:
    """The C host draining all channels, from the harness's throughput
    table: samples per second and the cores of ktsim, the I/O thread and
    the host."""
    with tempfile.TemporaryDirectory() as directory:
        table = Path(directory) / "throughput.md"
        subprocess.run([harness, "--section", "throughput", "--seconds", str(seconds), "--ktsim", ktsim,
                        "--markdown", str(table)], check=True, stdout=subprocess.DEVNULL)
        for line in table.read_text().splitlines():
            if line.startswith("| **ktsim → library → host draining all channels"):
                cells = line.split("|")
                cores = dict(re.findall(r"(\S+) ([0-9.]+)", cells[5]))
                return {"rate": float(cells[3]) * 1e6, "overrun": "overrun" in line or "dropped" in line,
                        **{key: float(cores.get(name, "nan")) for key, name in
                           (("host", "host"), ("io", "I/O"), ("sim", "ktsim"))}}
    raise RuntimeError("the harness printed no row for the C host")


NO_C_HOST = {"rate": float("nan"), "host": float("nan"), "io": float("nan"), "sim": float("nan"), "overrun": False}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tree", default=str(root / "build" / "bench"), help="build tree (default build/bench)")
    parser.add_argument("--seconds", type=float, default=3.0, help="measuring window per path (default 3)")
    parser.add_argument("--doc", help="write the table into this Markdown file")
    parser.add_argument("--headline", help="append the Python host's row to this table of the figures users meet")
    args = parser.parse_args()
    tree = Path(args.tree)
    ktsim = str(tree / "tools" / "ktsim" / "ktsim")
    harness = tree / "bench" / "e2e" / "ktremote_e2e_bench"
    library = ktremote.load_library(tree / "src" / "libktremote64.so.1")
    module = tree / "bench" / "libktremote_drain_host.so"
    c_turn = DrainHost(module, library) if module.exists() else None

    load_before = Path("/proc/loadavg").read_text().split()[:3]
    # The library announces each data connection on fd 1; keep the table clean.
    saved = os.dup(1)
    os.dup2(2, 1)
    try:
        # The C host runs before and after the Python paths: on a shared
        # machine the load drifts over the minute the paths take, and the
        # ratios are taken against the mean of the two.
        c_runs = [c_host(str(harness), ktsim, args.seconds) if harness.exists() else NO_C_HOST]
        sim = Sim(ktsim)
        try:
            figures = [(name, measure(sim, read, block, args.seconds, c_turn=c_turn))
                       for name, block, read in make_paths()]
            costs = call_costs(sim)
        finally:
            sim.close()
        sim = Sim(ktsim, burst=False)
        try:
            real_time = [(name, measure(sim, read, 1 << 16, args.seconds, REAL_TIME_PAUSE))
                         for name, read in real_time_paths()]
        finally:
            sim.close()
        c_runs.append(c_host(str(harness), ktsim, args.seconds) if harness.exists() else NO_C_HOST)
    finally:
        sys.stdout.flush()
        os.dup2(saved, 1)
    load_after = Path("/proc/loadavg").read_text().split()[:3]
    c = {key: sum(run[key] for run in c_runs) / len(c_runs) for key in ("rate", "host", "io", "sim")}
    c["overrun"] = any(run["overrun"] for run in c_runs)
    c_rate = c["rate"]

    legacy_rate = figures[0][1]["rate"]
    lines = [
        f"ktsim `--burst`, `builtin:bench64` (64 float32 channels), buffers of {BUFFER} samples; every host "
        f"empties each channel in turn, block by block, as the C host does with blocks of {READ_BLOCK}. "
        f"{args.seconds:g} s per path, {os.cpu_count()} CPUs, load average {', '.join(load_before)} before and "
        f"{', '.join(load_after)} after. Cores: CPU time over the window divided by its length, for the "
        "Python host's reading thread, the library's I/O thread (the rest of the process) and ktsim.",
        "",
        f"C host in turn: the C loop of bench/DrainHost.c, loaded into this process, empties the same channels "
        f"of the same instance; each window is cut into {TURNS} slices, Python's and the C host's in turn.",
        "",
        "| Python host path | M samples/s | vs. read() before | vs. C host | host ns/sample | Cores (host, I/O, ktsim) "
        "| C host in turn: M samples/s, host ns/sample | vs. C host in turn |",
        "|---|---:|---:|---:|---:|---|---|---:|",
    ]
    for name, f in figures:
        turn = f["c"]
        lines.append(f"| {name}{' (overrun)' if f['overrun'] else ''} | {f['rate'] / 1e6:.1f} | "
                     f"{f['rate'] / legacy_rate:.1f}× | {100 * f['rate'] / c_rate:.0f} % | {f['host_ns']:.1f} | "
                     f"{f['host']:.2f}, {f['io']:.2f}, {f['sim']:.2f} | " +
                     (f"{turn['rate'] / 1e6:.1f}{' (overrun)' if turn['overrun'] else ''}, {turn['host_ns']:.1f} | "
                      f"{100 * f['rate'] / turn['rate']:.0f} % |" if turn else " | |"))
    c_each = " and ".join(f"{run['rate'] / 1e6:.1f}" for run in c_runs)
    lines.append(f"| C host of the end-to-end harness (`ktconChannelReadScalarData_2`), mean of a run before "
                 f"and one after the Python paths ({c_each} M samples/s)"
                 f"{' (overrun)' if c['overrun'] else ''} | {c_rate / 1e6:.1f} | {c_rate / legacy_rate:.1f}× | 100 % | "
                 f"{1e9 * c['host'] / c_rate:.1f} | {c['host']:.2f}, {c['io']:.2f}, {c['sim']:.2f} | | |")
    lines += ["", f"Following bench64 in real time (64 × 10 kHz = 640 k samples/s): the host reads every channel "
              f"with a request of 65536, then sleeps {1e3 * REAL_TIME_PAUSE:g} ms. Cores: its reading thread's "
              "CPU time over the window.", "",
              "| Python host path | k samples/s | host cores | vs. read() before |", "|---|---:|---:|---:|"]
    lines += [f"| {name}{' (overrun)' if f['overrun'] else ''} | {f['rate'] / 1e3:.0f} | {f['host']:.3f} | "
              f"{real_time[0][1]['host'] / f['host']:.0f}× less CPU |" for name, f in real_time]
    lines += ["", "One call on a channel with nothing waiting (the fixed cost of every call):", "",
              "| Call | µs | vs. read(65536) before |", "|---|---:|---:|"]
    lines += [f"| {name} | {micro:.1f} | {costs[0][1] / micro:.0f}× |" for name, micro in costs]
    text = "\n".join(lines) + "\n"
    print(text)
    # The path a Python user writes first, Channel.read() of a block at a
    # time, and the read of every channel in one call.
    summaries = []
    for name, f in (figures[1], figures[4], figures[5]):
        path = name.split(":")[0]
        target = " (target ≥ 80 %)" if "read_all" in path else ""
        turn = (f"{100 * f['rate'] / f['c']['rate']:.0f} % of the C host in turn "
                f"({f['c']['rate'] / 1e6:.1f} M samples/s), " if f["c"] else "")
        summaries.append((path, f, f"Python read path, {path}: {f['rate'] / 1e6:.1f} M samples/s, {turn}"
                          f"{100 * f['rate'] / c_rate:.0f} % of the harness's C host ({c_rate / 1e6:.1f} M samples/s)"
                          f"{target}"))
    print("\n".join(line for _, _, line in summaries))
    if args.headline:
        with open(args.headline, "a", encoding="utf-8") as out:
            for path, f, _ in summaries[:2]:
                target = "≥ 80 %" if "read_all" in path else ""
                out.write(f"| Python read path, {path} | {f['rate'] / 1e6:.0f} M samples/s | "
                          f"C host {c_rate / 1e6:.0f} M samples/s | {100 * f['rate'] / c_rate:.0f} % | {target} |\n")
    if args.doc:
        path = Path(args.doc)
        doc = path.read_text()
        pattern = re.compile(r"(<!-- python-figures:begin -->\n).*?(<!-- python-figures:end -->)", re.S)
        if not pattern.search(doc):
            raise SystemExit(f"{path} has no python-figures markers")
        path.write_text(pattern.sub(lambda m: m.group(1) + text + m.group(2), doc))
        print(f"figures written to {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
