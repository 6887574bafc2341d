# SPDX-License-Identifier: MIT
"""Build settings that pyproject.toml cannot express: the version, taken
from the CMake project, the wheel's platform tag when the package carries a
shared library, and the commands ktcli and ktsim when it carries those
programs (scripts/python-wheel.sh puts them in)."""

import os
import re
from pathlib import Path

from setuptools import Distribution, setup

here = Path(__file__).resolve().parent


def project_version() -> str:
    explicit = os.environ.get("KTREMOTE_VERSION")
    if explicit:
        return explicit
    cmake = here.parent / "CMakeLists.txt"
    if cmake.is_file():
        found = re.search(r"project\(ktremote VERSION ([0-9.]+)", cmake.read_text())
        if found:
            return found.group(1)
    raise RuntimeError("unknown version: set KTREMOTE_VERSION or build from the source tree")


def bundles_library() -> bool:
    return any((here / "ktremote").glob(pattern) for pattern in ("libktremote*.so", "ktremote*.dll"))


def bundled_programs() -> list[str]:
    return sorted(path.stem for path in (here / "ktremote" / "_bin").glob("kt*") if path.is_file())


commands = {}
try:
    from wheel.bdist_wheel import bdist_wheel
except ImportError:  # no wheel package: sdist and plain installs still work
    bdist_wheel = None

if bdist_wheel is not None:
    class PlatformWheel(bdist_wheel):
        """The package is plain Python over ctypes, so it suits every Python
        3; a bundled library ties the wheel to one platform
        (KTREMOTE_WHEEL_PLATFORM, e.g. linux_x86_64 or win_amd64)."""

        def get_tag(self):
            if not bundles_library():
                return super().get_tag()
            platform = os.environ.get("KTREMOTE_WHEEL_PLATFORM") or super().get_tag()[2]
            return "py3", "none", platform

    commands["bdist_wheel"] = PlatformWheel



class LibraryDistribution(Distribution):
    """A distribution with a native part (the bundled library), so that the
    wheel is not taken for a pure one and installs into the platform's
    library directory."""

    def has_ext_modules(self):
        return True


# Each bundled program becomes a command of the same name in the
# environment's bin/ (a small script that runs the program).
scripts = [f"{program} = ktremote._tools:{program}" for program in bundled_programs()]

setup(version=project_version(), cmdclass=commands,
      entry_points={"console_scripts": scripts},
      distclass=LibraryDistribution if bundles_library() else Distribution)
