"""`python -m qorel`: the qorel command (see qorel.cli)."""

import sys

from qorel.cli import main

sys.exit(main())
