# SPDX-License-Identifier: MIT
"""The installed package finds the installed library by itself: from a
staging prefix (the test command sets KTREMOTE_INSTALLED_PREFIX), or from
a wheel, which carries its own copy (KTREMOTE_FROM_WHEEL)."""

import os
from pathlib import Path

import pytest

import ktremote
from ktremote import _library

prefix = os.environ.get("KTREMOTE_INSTALLED_PREFIX")


@pytest.mark.skipif(not prefix, reason="not run against an installed tree")
def test_package_and_library_come_from_the_prefix(monkeypatch, project_version):
    monkeypatch.delenv("KTREMOTE_LIBRARY", raising=False)
    root = Path(prefix).resolve()
    assert root in Path(ktremote.__file__).resolve().parents
    found = Path(_library.find_library())
    assert root in found.resolve().parents
    assert found.name == f"lib{_library.library_base_name()}.so.1"
    assert ktremote.version(ktremote.Library()) == project_version


@pytest.mark.skipif(not os.environ.get("KTREMOTE_FROM_WHEEL"), reason="not run from an installed wheel")
def test_wheel_loads_the_library_it_bundles(monkeypatch, project_version):
    monkeypatch.delenv("KTREMOTE_LIBRARY", raising=False)
    package = Path(ktremote.__file__).resolve().parent
    assert "site-packages" in package.parts
    found = Path(_library.find_library())
    assert found == package / f"lib{_library.library_base_name()}.so"
    assert ktremote.Library().path == str(found)
    assert ktremote.version() == project_version
