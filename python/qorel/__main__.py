"""`python -m qorel`: the qorel command (see qorel.cli)."""

import sys

from qorel.cli import main

if __name__ == "__main__":
    sys.exit(main())
