"""`molbrook view`: a browser view of SD files, served on this machine
through the standard library's threaded HTTP server, paged through each
file's index. `ViewServer` serves `ViewedFile`s; the command line starts
one (python/molbrook/cli/view.py)."""

from molbrook.view._files import Query, ViewedFile
from molbrook.view._server import ViewServer

__all__ = ["Query", "ViewServer", "ViewedFile"]
