"""Argument parsing shared by the commands: errors raised rather than
printed with a usage dump, and the options several commands take."""

from __future__ import annotations

import argparse
from collections.abc import Callable, Sequence
from typing import NamedTuple, NoReturn

from molbrook.cli.errors import UsageError


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


class Command(NamedTuple):
    name: str
    summary: str  # one short line, for the list of commands
    example: str  # shown under the command's --help
    configure: Callable[[Parser], None]
    run: Callable[[argparse.Namespace], int]
    details: str = ""  # said after the summary in the command's --help

    def parser(self) -> Parser:
        description = f"{self.summary[:1].upper()}{self.summary[1:]}.{' ' + self.details if self.details else ''}"
        parser = Parser(prog=f"molbrook {self.name}", description=description,
                        epilog=f"example:\n  {self.example}", formatter_class=argparse.RawDescriptionHelpFormatter)
        self.configure(parser)
        parser.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
        parser.add_argument("--debug", action="store_true", help="show a traceback on errors")
        return parser


def add_input(parser: Parser) -> None:
    parser.add_argument("file", nargs="?", metavar="FILE",
                        help="the SD file, plain or compressed (told by content); - or none: standard input")


def add_inputs(parser: Parser) -> None:
    parser.add_argument("files", nargs="*", metavar="FILE",
                        help="SD files, plain or compressed (told by content), read one after another; "
                             "- or none: standard input")


def add_output(parser: Parser, *, in_place: bool = False) -> None:
    where = parser.add_mutually_exclusive_group() if in_place else parser
    where.add_argument("-o", "--output", metavar="OUT",
                       help="where to write (default, or -: standard output); compressed by extension (.gz, ...)")
    if in_place:
        where.add_argument("-i", "--in-place", action="store_true",
                           help="replace FILE, once the whole of it is written")


def pairs(items: Sequence[str], what: str) -> list[tuple[str, str]]:
    """NAME=VALUE arguments split at their first "="."""
    found = []
    for item in items:
        name, sep, value = item.partition("=")
        if not sep or not name:
            raise UsageError(f"expected {what}, got {item!r}")
        found.append((name, value))
    return found


def names(text: str) -> list[str]:
    """A comma-separated list of record names."""
    found = [name for name in text.split(",") if name]
    if not found:
        raise UsageError(f"no names in {text!r}")
    return found
