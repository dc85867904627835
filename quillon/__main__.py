"""``python -m quillon``: the command line."""

import sys

from quillon.cli import main

sys.exit(main())
