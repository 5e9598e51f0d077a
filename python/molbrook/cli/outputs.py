"""Where a command writes: standard output, or a file made whole or not at
all (written to a temporary file beside it, renamed over it on success),
compressed as its name asks."""

from __future__ import annotations

import contextlib
import os
import sys
from collections.abc import Iterator
from typing import IO, Any

from molbrook.cli.errors import FileError, UsageError
from molbrook.cli.inputs import Inputs, Source

STDOUT = "-"


def check_in_place(source: Source) -> None:
    """Refuses an in-place edit of anything but a regular file, before the
    input is opened (a named pipe would wait for a writer)."""
    from molbrook._output import is_regular_file  # here, for a quicker start

    if source.is_stdin:
        raise UsageError("--in-place needs a FILE")
    try:
        regular = is_regular_file(source.name)
    except OSError as error:
        raise FileError.from_exception(source.name, error) from error
    if not regular:
        raise FileError(source.name, "not a regular file: --in-place edits regular files only")


@contextlib.contextmanager
def output(source: Source | Inputs | None, name: str | None, *, in_place: bool = False) -> Iterator[IO[bytes]]:
    """A binary stream for the OUT argument (None or "-": standard output),
    or over `source`'s own file with `in_place`, a single Source (once
    `check_in_place` has passed). Writing over the file being read is refused: it is mapped, and
    truncating it would lose the rest."""
    if in_place:
        assert isinstance(source, Source) and not source.is_stdin
        name = source.name
    elif name is None or name == STDOUT:
        if source is not None and source.same_file(_descriptor(sys.stdout)):
            raise FileError("standard output", f"is the input file {source.label}; write elsewhere")
        with _written_to("standard output"):
            yield sys.stdout.buffer
            sys.stdout.buffer.flush()
        return
    elif source is not None and source.same_file(name):
        raise FileError(name, "is also the input: write elsewhere (set, rm, rename and merge offer --in-place)")
    from molbrook._output import output_file  # here, for a quicker start

    with _written_to(name), output_file(name) as stream:
        yield stream


def _descriptor(stream: IO[Any]) -> int | None:
    try:
        return stream.fileno()
    except (AttributeError, OSError, ValueError):  # not backed by a file
        return None


@contextlib.contextmanager
def _written_to(label: str) -> Iterator[None]:
    """OSErrors inside name `label`, or the file they name themselves; a
    closed pipe is left to the caller."""
    try:
        yield
    except BrokenPipeError:
        raise
    except OSError as error:
        named = os.fsdecode(error.filename) if error.filename is not None else label
        raise FileError.from_exception(named, error) from error
