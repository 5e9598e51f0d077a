"""Where a command writes: standard output, or a file made whole or not at
all (written to a temporary file beside it, renamed over it on success),
compressed as its name asks."""

from __future__ import annotations

import contextlib
import os
import stat
import sys
from collections.abc import Iterator
from typing import IO

from molbrook.cli.errors import FileError
from molbrook.cli.inputs import Inputs, Source

STDOUT = "-"


def compressed(raw: IO[bytes], name: str) -> IO[bytes]:
    """`raw` wrapped in the compressor that `name`'s extension asks for."""
    from molbrook._compression import open_writer  # here, for a quicker start

    return open_writer(raw, name)


@contextlib.contextmanager
def output(name: str | None, source: Source | Inputs | None = None, *,
           in_place: bool = False) -> Iterator[IO[bytes]]:
    """A binary stream for the OUT argument (None or "-": standard output),
    or over `source`'s own file with `in_place`, a single Source. Writing over the file being
    read is refused: it is mapped, and truncating it would lose the rest."""
    if in_place:
        assert isinstance(source, Source) and not source.is_stdin
        with _replacing(source.name) as stream:
            yield stream
        return
    if name is None or name == STDOUT:
        if source is not None and source.same_file(_descriptor(sys.stdout)):
            raise FileError("standard output", f"is the input file {source.label}; write elsewhere")
        with _written_to("standard output"):
            yield sys.stdout.buffer
            sys.stdout.buffer.flush()
        return
    if source is not None and source.same_file(name):
        raise FileError(name, "is also the input: write elsewhere (set, rm, rename and merge offer --in-place)")
    with _to_path(name) as stream:
        yield stream


def _descriptor(stream: object) -> int | None:
    try:
        return stream.fileno()  # type: ignore[attr-defined]
    except (AttributeError, OSError, ValueError):  # not backed by a file
        return None


@contextlib.contextmanager
def _to_path(path: str) -> Iterator[IO[bytes]]:
    try:
        special = not stat.S_ISREG(os.stat(path).st_mode)
    except FileNotFoundError:
        special = False
    except OSError as error:
        raise FileError.from_exception(path, error) from error
    if special:  # a device or a pipe: written to directly, never replaced
        with _written_to(path):
            raw = open(path, "wb", buffering=0)
            try:
                stream = compressed(raw, path)
                yield stream
                stream.close()
            finally:
                raw.close()
    else:
        with _replacing(path) as stream:
            yield stream


@contextlib.contextmanager
def _replacing(path: str) -> Iterator[IO[bytes]]:
    """A stream into a temporary file beside `path`, renamed over it when the
    block ends well and removed when it does not. A symbolic link stays, and
    the file it names is replaced."""
    import tempfile  # here, for a quicker start of the commands that write no file

    target = os.path.realpath(path)
    folder, base = os.path.split(target)
    with _written_to(path):
        fd, temporary = tempfile.mkstemp(prefix=f".{base}.", suffix=".part", dir=folder)
    try:
        with _written_to(path):
            raw = os.fdopen(fd, "wb", buffering=0)
            with raw:
                stream = compressed(raw, path)
                yield stream
                stream.close()
            os.chmod(temporary, _mode_for(target))
            os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def _mode_for(path: str) -> int:
    """The mode of the file replaced, or what a new file gets under the umask."""
    try:
        return stat.S_IMODE(os.stat(path).st_mode)
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask


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
