"""The SD files a command reads: paths, read as bytes so that any encoding
streams byte for byte from its mapping, or standard input; several of them
read one after another as one stream."""

from __future__ import annotations

import contextlib
import errno
import itertools
import os
import stat
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import BinaryIO, NamedTuple, cast

from molbrook import _remote
from molbrook.cli import progress
from molbrook.cli.errors import FileError, UsageError
from molbrook.native import SDBlock, parse_sdf

STDIN = "-"
STDIN_PATH = b"/dev/stdin"


class Source(NamedTuple):
    name: str  # as given: a path, or "-" for standard input
    quiet: bool = False

    @property
    def label(self) -> str:
        return "standard input" if self.is_stdin else self.name

    @property
    def is_stdin(self) -> bool:
        return self.name == STDIN

    def size(self) -> int | None:
        """Bytes to read when the input is a plain (not compressed) regular
        file, else None."""
        from molbrook._compression import compression_of  # only when a bar is wanted

        path = self._readable_path()
        if path is None:
            return None
        try:
            info = os.stat(path)
            return info.st_size if stat.S_ISREG(info.st_mode) and compression_of(path) is None else None
        except OSError:
            return None

    def _readable_path(self) -> bytes | None:
        """The path the library reads: FILE, or for standard input redirected
        from a whole file, that file as /dev/stdin, so that it is mapped.
        None for a pipe, read as a file object."""
        if not self.is_stdin:
            return self.path()
        try:
            fd = sys.stdin.fileno()
            whole_file = stat.S_ISREG(os.fstat(fd).st_mode) and os.lseek(fd, 0, os.SEEK_CUR) == 0
        except (AttributeError, OSError, ValueError):
            return None
        return STDIN_PATH if whole_file and os.path.exists(STDIN_PATH) else None

    def path(self) -> bytes:
        """The path as bytes, so that the library reads it byte for byte."""
        return os.fsencode(self.name)

    def check_readable(self) -> None:
        """Fails now, naming the file, when it cannot be opened for reading.
        A named pipe is not opened: its writer would take that open and close
        for the reader and write into nothing, and the real read would wait."""
        if self.is_stdin:
            return
        try:
            if _remote.is_url(self.name):
                _remote.Remote(self.name)
            elif not stat.S_ISFIFO(os.stat(self.name).st_mode):
                with open(self.name, "rb"):
                    pass
            elif not os.access(self.name, os.R_OK):
                raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), self.name)
        except OSError as error:
            raise FileError.from_exception(self.label, error) from error

    def same_file(self, path: str | int | None) -> bool:
        """Whether `path` (or an open descriptor) is the file this source reads."""
        if self.is_stdin or path is None:
            return False
        try:
            there = os.fstat(path) if isinstance(path, int) else os.stat(path)
            return os.path.samestat(there, os.stat(self.name))
        except OSError:
            return False

    def readable(self) -> bytes | BinaryIO:
        """What the library reads: the path as bytes, or standard input as a
        path when it is a whole file redirected, else as a stream, as is a
        URL (read ahead on a thread)."""
        if _remote.is_url(self.name):
            return cast(BinaryIO, _remote.stream(self.name))
        path = self._readable_path()
        return sys.stdin.buffer if path is None else path

    def blocks(self) -> Iterator[SDBlock[bytes]]:
        """The blocks, opened now (so that a missing file fails before any
        output is made), with a progress bar when one is wanted; read errors
        name this file."""
        return Inputs((self,), self.quiet).blocks()

    def reader(self) -> Iterator[SDBlock[bytes]]:
        """The blocks without a bar, opened now; read errors name this file."""
        try:
            reader = parse_sdf(self.readable(), borrow=True)
        except (OSError, ValueError) as error:
            raise FileError.from_exception(self.label, error) from error
        return self._guarded(reader)

    def _guarded(self, reader: Iterator[SDBlock[bytes]]) -> Iterator[SDBlock[bytes]]:
        try:
            yield from reader
        except Exception as error:  # all of it is about this file, EOFError when it is truncated too
            raise FileError.from_exception(self.label, error) from error


class Inputs(NamedTuple):
    """Several sources read one after another as one stream."""

    sources: tuple[Source, ...]
    quiet: bool = False

    @property
    def label(self) -> str:
        return self.sources[0].label if len(self.sources) == 1 else f"{len(self.sources)} files"

    @property
    def is_stdin(self) -> bool:
        return any(found.is_stdin for found in self.sources)

    def same_file(self, path: str | int | None) -> bool:
        return any(found.same_file(path) for found in self.sources)

    def blocks(self) -> Iterator[SDBlock[bytes]]:
        """The blocks of every source in turn, each opened when its turn
        comes, after all were found readable (so that a missing file fails
        before any output is made); a progress bar over the bytes of all of
        them when one is wanted and their sizes are known."""
        for found in self.sources:
            found.check_readable()
        first, *rest = self.sources
        blocks = itertools.chain(first.reader(), itertools.chain.from_iterable(found.reader() for found in rest))
        total = self._bar_total()
        return blocks if total is None else progress.bytes_bar(blocks, total, os.path.basename(self.label))

    @contextlib.contextmanager
    def byte_counter(self) -> Iterator[Callable[[int], object] | None]:
        """For readers that count bytes themselves (sort_sdf): a function that
        advances a bar over the bytes of all the sources, or None when no
        bar is drawn."""
        total = self._bar_total()
        if total is None:
            yield None
            return
        with progress.byte_counter(total, os.path.basename(self.label)) as advance:
            yield advance

    def _bar_total(self) -> int | None:
        """The bytes a bar counts to, when one is wanted and every size is known."""
        if not progress.wanted(self.quiet):
            return None
        sizes = [found.size() for found in self.sources]
        return None if None in sizes else sum(sizes)  # type: ignore[arg-type]


def inputs(names: Sequence[str], *, quiet: bool = False) -> Inputs:
    """The sources of FILE arguments: none means standard input, unless a
    person would have to type the file in; - may come once."""
    found = tuple(source(name, quiet=quiet) for name in (names or (None,)))
    if sum(item.is_stdin for item in found) > 1:
        raise UsageError("standard input (-) can be read only once")
    return Inputs(found, quiet)


def source(name: str | None, *, quiet: bool = False) -> Source:
    """The source for a FILE argument; without one, standard input unless a
    person would have to type the file in."""
    if name is None:
        if sys.stdin is None or sys.stdin.isatty():
            raise UsageError("no input: give a FILE, or pipe one in")
        name = STDIN
    return Source(name, quiet)
