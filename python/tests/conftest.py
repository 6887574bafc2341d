import contextlib
import os
import re
import socket
import subprocess
import sys
import threading
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


def free_port(host="127.0.0.1"):
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def running_ktsim(ktsim, *options):
    """Runs ktsim on a free port and yields "host port dataPort" for it."""
    # ktsim ends when its standard input closes, also when this process dies.
    process = subprocess.Popen([ktsim, "--port", "0", "--exit-on-stdin-eof", *options], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    first = []
    reader = threading.Thread(target=lambda: first.append(process.stdout.readline()), daemon=True)
    reader.start()
    reader.join(30)
    assert first and first[0].startswith("ktsim listening on "), f"ktsim did not start: {first}"
    where = first[0].split("ktsim listening on ", 1)[1].strip()
    host, port = where.rsplit(":", 1)
    host = host.strip("[]")
    threading.Thread(target=process.stdout.read, daemon=True).start()  # keep its output flowing
    try:
        yield f"{host} {port} {free_port(host)}"
    finally:
        process.stdin.close()
        process.wait(30)
