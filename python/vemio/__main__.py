"""``python -m vemio``: the same command line as ``vemio``."""

import sys

from vemio._cli import main

if __name__ == "__main__":
    sys.exit(main())
