#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Connects to the application, lists its channels, streams all of them for
a few seconds and prints a summary per channel - with the Python package.

    stream.py ["host commandPort dataPort" [seconds]]

With 0 seconds it only lists the channels. Exit status: 0 when samples
arrived (or only listing was asked for), 1 when none did, 2 on a failure.
"""
import math
import sys
import time
from array import array

import ktremote


def main(argv):
    connection = argv[1] if len(argv) > 1 else "localhost 8999 8001"
    seconds = float(argv[2]) if len(argv) > 2 else 3.0
    try:
        with ktremote.Instance() as app:
            app.connect(connection)  # raises NotConnectedError when it does not come up
            print(f'connected to "{connection}", application state {int(app.state)}')

            channels = app.channels()  # each one is marked for transfer
            print(f"{'channel':<24} {'unit':<10} {'type':<6} {'rate/Hz':>10}")
            for channel in channels:
                kind = {ktremote.ChannelType.ASYNC: "async", ktremote.ChannelType.SYNC: "sync"}.get(channel.type, "single")
                print(f"{channel.name:<24} {channel.unit:<10} {kind:<6} "
                      f"{channel.sample_rate:>10.3f}")

            if seconds <= 0:
                for channel in channels:
                    channel.close()
                return 0

            # Reused buffers: read_into fills them in place, without copies.
            values, times = array("d", bytes(8 * 4096)), array("d", bytes(8 * 4096))
            stats = {channel.name: [0, math.inf, -math.inf, 0.0, None, None, False] for channel in channels}

            def drain():
                for channel in channels:
                    s = stats[channel.name]
                    while True:
                        count, overrun, _ = channel.read_into(values, times)
                        s[6] |= overrun
                        if count:
                            chunk = values[:count]
                            s[0] += count
                            s[1] = min(s[1], min(chunk))
                            s[2] = max(s[2], max(chunk))
                            s[3] += sum(chunk)
                            s[4] = times[0] if s[4] is None else s[4]
                            s[5] = times[count - 1]
                        if count < len(values):
                            break

            with app.measure():
                end = time.monotonic() + seconds
                while time.monotonic() < end:
                    time.sleep(0.05)
                    drain()
            drain()  # values received before the stop stay readable

            total = 0
            print(f"\n{'channel':<24} {'samples':>10} {'min':>12} {'mean':>12} {'max':>12} {'span/s':>10}")
            for name, (count, low, high, added, first, last, overrun) in stats.items():
                total += count
                if count == 0:
                    print(f"{name:<24} {0:>10}")
                else:
                    print(f"{name:<24} {count:>10} {low:>12.4g} {added / count:>12.4g} {high:>12.4g} "
                          f"{last - first:>10.3f}{'  (samples dropped)' if overrun else ''}")
            print(f"{total} samples from {len(channels)} channels")
            for channel in channels:
                channel.close()
            return 0 if total > 0 else 1
    except ktremote.KtError as e:
        print(e, file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
