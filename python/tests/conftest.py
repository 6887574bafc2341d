# SPDX-License-Identifier: MIT
import os
import re
import sys
from pathlib import Path

import pytest

# KTREMOTE_TEST_NO_NUMPY=1 runs the tests as on a machine without numpy:
# importing it fails, so the package falls back to array('d').
if os.environ.get("KTREMOTE_TEST_NO_NUMPY"):
    sys.modules["numpy"] = None

# The package under test is the one on sys.path (an installed tree when the
# test command runs this); the source tree is the fallback.
try:
    import ktremote as _installed  # noqa: F401
except ImportError:
    sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

sys.path.insert(0, str(Path(__file__).resolve().parent))

HEADER = Path(os.environ.get("KTREMOTE_HEADER",
                             Path(__file__).resolve().parents[2] / "include" / "ktremote.h"))


@pytest.fixture(scope="session")
def project_version():
    """The version of the project() call in the top CMakeLists.txt, which the
    library of every build reports."""
    cmake = (Path(__file__).resolve().parents[2] / "CMakeLists.txt").read_text()
    found = re.search(r"^project\(ktremote VERSION ([0-9.]+)", cmake, re.MULTILINE)
    assert found, "no project(ktremote VERSION ...) in CMakeLists.txt"
    return found.group(1)


@pytest.fixture(scope="session")
def header_text():
    return HEADER.read_text()


@pytest.fixture(scope="session")
def lib():
    import ktremote
    return ktremote.Library()


@pytest.fixture
def fake():
    from fakelib import FakeLibrary
    library = FakeLibrary()
    yield library
    assert library.errors == []
    assert library.texts == set(), "id texts were not freed"
    assert library.arrays == set(), "id arrays were not given back"
