"""`python -m molbrook`: the `molbrook` command."""

import sys

from molbrook.cli import main

if __name__ == "__main__":
    sys.exit(main())
