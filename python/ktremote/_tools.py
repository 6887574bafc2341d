# SPDX-License-Identifier: MIT
"""The command-line programs ktcli and ktsim, run from Python.

``python -m ktremote ARGS`` is ``ktcli ARGS``: the process becomes ktcli,
so arguments, output, signals and exit status are ktcli's own. The commands
``ktcli`` and ``ktsim`` that the wheel installs do the same for each program.

A program is looked for, in order:

1. next to this package (``_bin``: the wheel carries both programs, with
   the libraries they need);
2. in the install prefix the package was installed into;
3. on the ``PATH``.
"""

from __future__ import annotations

import ctypes
import importlib
import os
import shutil
import subprocess
import sys
from pathlib import Path

#: Exit status when the program is nowhere to be found (as a shell gives).
NOT_FOUND = 127


def _file_name(program: str) -> str:
    return program + ".exe" if sys.platform == "win32" else program


def _is_program(path: Path) -> bool:
    """An executable file that is not a script: the commands this package
    installs are scripts of the same name, which must not run themselves."""
    try:
        with open(path, "rb") as file:
            return os.access(path, os.X_OK) and file.read(2) != b"#!"
    except OSError:
        return False


def find_program(program: str) -> str | None:
    """The path of ``ktcli`` or ``ktsim``, or None; see the module text."""
    here = Path(__file__).resolve().parent
    places = [here / "_bin"]
    try:
        bits = 8 * ctypes.sizeof(ctypes.c_void_p)
        installed = importlib.import_module(f"._installed{bits}", __package__)
        places.append((here / installed.BIN_DIR).resolve())
    except (ImportError, AttributeError):
        pass
    for place in places:
        if _is_program(place / _file_name(program)):
            return str(place / _file_name(program))
    for directory in os.environ.get("PATH", "").split(os.pathsep):
        found = shutil.which(program, path=directory) if directory else None
        if found and _is_program(Path(found)):
            return found
    return None


def run(program: str, arguments: list[str]) -> int:
    """Runs the program with the arguments; on POSIX systems the process
    becomes the program and this does not return."""
    path = find_program(program)
    if path is None:
        print(f"ktremote: no {program} program found: it comes with the ktremote wheel, with the "
              f"ktremote-tools package, or from a build of the project (put it on the PATH)",
              file=sys.stderr)
        return NOT_FOUND
    sys.stdout.flush()
    sys.stderr.flush()
    if sys.platform == "win32":
        return subprocess.call([path, *arguments])
    os.execv(path, [program, *arguments])
    return NOT_FOUND  # not reached


def ktcli() -> int:
    """The ``ktcli`` command."""
    return run("ktcli", sys.argv[1:])


def ktsim() -> int:
    """The ``ktsim`` command."""
    return run("ktsim", sys.argv[1:])
