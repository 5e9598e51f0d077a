"""The SD file a command reads: a path, read as bytes so that any encoding
streams byte for byte from its mapping, or standard input."""

from __future__ import annotations

import os
import stat
import sys
from collections.abc import Iterator
from typing import NamedTuple

from molbrook.cli import progress
from molbrook.cli.errors import FileError, UsageError
from molbrook.native import SDBlock, parse_sdf

STDIN = "-"


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
        """Bytes left to read when the input is a regular file, else None."""
        try:
            if self.is_stdin:
                info = os.fstat(sys.stdin.fileno())
                start = os.lseek(sys.stdin.fileno(), 0, os.SEEK_CUR) if stat.S_ISREG(info.st_mode) else 0
            else:
                info, start = os.stat(self.name), 0
        except (AttributeError, OSError, ValueError):
            return None
        return info.st_size - start if stat.S_ISREG(info.st_mode) else None

    def path(self) -> bytes:
        """The path as bytes, so that the library reads it byte for byte."""
        return os.fsencode(self.name)

    def check_readable(self) -> None:
        """Fails now, naming the file, when it cannot be opened for reading."""
        if self.is_stdin:
            return
        try:
            with open(self.name, "rb"):
                pass
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

    def blocks(self) -> Iterator[SDBlock[bytes]]:
        """The blocks, opened now (so that a missing file fails before any
        output is made), with a progress bar when one is wanted; read errors
        name this file."""
        try:
            reader = parse_sdf(sys.stdin.buffer if self.is_stdin else self.path(), borrow=True)
        except (OSError, ValueError) as error:
            raise FileError.from_exception(self.label, error) from error
        blocks = self._guarded(reader)
        size = self.size()
        if size is not None and progress.wanted(self.quiet):
            return progress.bytes_bar(blocks, size, os.path.basename(self.name))
        return blocks

    def _guarded(self, reader: Iterator[SDBlock[bytes]]) -> Iterator[SDBlock[bytes]]:
        try:
            yield from reader
        except (OSError, ValueError) as error:
            raise FileError.from_exception(self.label, error) from error


def source(name: str | None, *, quiet: bool = False) -> Source:
    """The source for a FILE argument; without one, standard input unless a
    person would have to type the file in."""
    if name is None:
        if sys.stdin is None or sys.stdin.isatty():
            raise UsageError("no input: give a FILE, or pipe one in")
        name = STDIN
    return Source(name, quiet)
