"""The `molbrook` command line: everyday SD file jobs from the shell."""

from molbrook.cli.main import main

__all__ = ["main"]
