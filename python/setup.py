"""Build settings that pyproject.toml cannot express: the version, taken
from the CMake project, and the wheel's platform tag when the package
carries a shared library (scripts/python-wheel.sh puts one in)."""

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


setup(version=project_version(), cmdclass=commands,
      distclass=LibraryDistribution if bundles_library() else Distribution)
