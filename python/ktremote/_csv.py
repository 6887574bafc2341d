"""The stream command's CSV: the same header, rows and number texts as
ktcli's, so that scripts read either tool's output alike."""

from __future__ import annotations

import math
from typing import IO, Sequence


def shortest_text(value: float) -> str:
    """The shortest text that reads back as ``value``, written in fixed or
    exponent notation, whichever is shorter (fixed when both are equally
    long): 100 -> "100", 0.001 -> "0.001", 1e-05 -> "1e-05",
    1e+16 -> "1e+16". A zero is "0", also -0."""
    if value == 0.0:
        return "0"
    if math.isnan(value):
        return "nan"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    text = repr(float(value))  # the shortest round-trip digits
    sign = "-" if text[0] == "-" else ""
    mantissa, _, exponent_text = text.lstrip("-").partition("e")
    whole, _, fraction = mantissa.partition(".")
    # value = digits x 10**exponent, digits without leading or trailing zeros
    exponent = (int(exponent_text) if exponent_text else 0) - len(fraction)
    digits = (whole + fraction).lstrip("0")
    stripped = digits.rstrip("0")
    exponent += len(digits) - len(stripped)
    digits = stripped
    n = len(digits)

    if exponent >= 0:
        # A whole number, written with all its digits exact, as printf's
        # fixed notation does (the same length as the digits plus zeros).
        fixed = str(abs(int(value)))
    elif -exponent < n:
        fixed = digits[:n + exponent] + "." + digits[n + exponent:]
    else:
        fixed = "0." + "0" * (-exponent - n) + digits
    power = exponent + n - 1
    scientific = (digits[0] + ("." + digits[1:] if n > 1 else "")
                  + ("e-" if power < 0 else "e+") + f"{abs(power):02d}")
    return sign + (fixed if len(fixed) <= len(scientific) else scientific)


def csv_field(text: str) -> str:
    """A field quoted when it holds a comma, a quote or a line break."""
    if not any(c in text for c in ',"\r\n'):
        return text
    return '"' + text.replace('"', '""') + '"'


def _floats(numbers: Sequence[float]) -> Sequence[float]:
    # numpy arrays and array('d') iterate fastest as a list of floats.
    tolist = getattr(numbers, "tolist", None)
    return tolist() if tolist is not None else numbers


class CsvWriter:
    """A time and a value column per channel. A row holds the next sample of
    every channel that has one; a channel with fewer samples in a round
    leaves its cells empty, so each channel's columns list exactly its
    samples in order."""

    def __init__(self, out: IO[str], names: Sequence[str], units: Sequence[str]) -> None:
        self._out = out
        self.rows = 0
        header = []
        for name, unit in zip(names, units):
            header.append(csv_field(f"{name} time [s]"))
            header.append(csv_field(f"{name} [{unit}]" if unit else name))
        out.write(",".join(header) + "\n")

    def write_round(self, samples: Sequence[tuple[Sequence[float], Sequence[float]]]) -> None:
        """Writes the rows of one round of reads: (values, times) per channel.
        Each row is written whole."""
        rows = max((len(values) for values, _ in samples), default=0)
        if rows == 0:
            return
        columns = [([shortest_text(t) for t in _floats(times)], [shortest_text(v) for v in _floats(values)])
                   for values, times in samples]
        lines = []
        for row in range(rows):
            cells = []
            for times, values in columns:
                if row < len(values):
                    cells.append(f"{times[row]},{values[row]}")
                else:
                    cells.append(",")
            lines.append(",".join(cells) + "\n")
        self._out.write("".join(lines))
        self.rows += rows

    def flush(self) -> None:
        self._out.flush()
