"""The installed package finds the installed library by itself (the test
command sets KTREMOTE_INSTALLED_PREFIX when it runs these tests against a
staging prefix)."""

import os
from pathlib import Path

import pytest

import ktremote
from ktremote import _library

prefix = os.environ.get("KTREMOTE_INSTALLED_PREFIX")
pytestmark = pytest.mark.skipif(not prefix, reason="not run against an installed tree")


def test_package_and_library_come_from_the_prefix(monkeypatch):
    monkeypatch.delenv("KTREMOTE_LIBRARY", raising=False)
    root = Path(prefix).resolve()
    assert root in Path(ktremote.__file__).resolve().parents
    found = Path(_library.find_library())
    assert root in found.resolve().parents
    assert found.name == f"lib{_library.library_base_name()}.so.1"
    assert ktremote.version(ktremote.Library()) == "1.1.3.26"
