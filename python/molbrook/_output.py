"""Writing a destination whole or not at all."""

from __future__ import annotations

import os
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from typing import IO, Any

from molbrook._compression import open_writer


def _new_file_mode() -> int:
    # The mode open() would give a new file; mkstemp's is private to the owner.
    umask = os.umask(0o022)
    os.umask(umask)
    return 0o666 & ~umask


@contextmanager
def atomic_destination(dest: Any) -> Iterator[IO[bytes]]:
    """Yield a binary file for `dest`.

    A path is written through a temporary file in the same folder, renamed
    over `dest` only when the block ends without an exception, so a failure
    part way leaves no partial file and an existing `dest` as it was; a
    name ending in .gz, .bz2, .xz or .zst is written compressed. A file
    object is yielded as it is.
    """
    if not isinstance(dest, (str, bytes, os.PathLike)):
        yield dest
        return
    path = os.fsdecode(dest)
    folder, name = os.path.split(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(dir=folder, prefix=f".{name}.")
    try:
        with os.fdopen(fd, "wb") as raw:
            writer = open_writer(raw, path)
            yield writer
            if writer is not raw:
                writer.close()  # ends the compressed stream
        try:
            mode = os.stat(path).st_mode & 0o7777
        except FileNotFoundError:
            mode = _new_file_mode()
        os.chmod(temporary, mode)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise
