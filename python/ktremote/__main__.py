# SPDX-License-Identifier: MIT
"""``python -m ktremote ARGS`` runs ``ktcli ARGS`` (see ktremote._tools)."""

import sys

from ._tools import ktcli

if __name__ == "__main__":
    sys.exit(ktcli())
