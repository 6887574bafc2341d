"""``python -m ktremote``: ktcli's commands over this package (see
ktremote._cli)."""

import sys

from ._cli import main

if __name__ == "__main__":
    sys.exit(main())
