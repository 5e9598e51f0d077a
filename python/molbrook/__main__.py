"""`python -m molbrook`: the `molbrook` command."""

import sys

from molbrook.cli import main

sys.exit(main())
