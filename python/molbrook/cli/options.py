"""Argument parsing shared by the commands: errors raised rather than
printed with a usage dump, and the options several commands take."""

from __future__ import annotations

import argparse
import re
from collections.abc import Callable, Sequence
from typing import Any, NamedTuple, NoReturn

from molbrook.cli.errors import UsageError, closest


class Parser(argparse.ArgumentParser):
    """Errors raised rather than printed with a usage dump; an unknown option
    said with the closest known one; and "-3:" (a slice from the end) taken
    as an argument, not an option, as any "-" and a digit are from Python
    3.13 on (earlier ones take only whole negative numbers)."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._negative_number_matcher = re.compile(r"-\.?\d")

    def error(self, message: str) -> NoReturn:
        raise UsageError(message)

    def parse_args(self, args: Sequence[str] | None = None,  # type: ignore[override]
                   namespace: argparse.Namespace | None = None) -> argparse.Namespace:
        found, rest = self.parse_known_args(args, namespace)
        self._refuse(rest)
        return found

    def parse_intermixed_args(self, args: Sequence[str] | None = None,  # type: ignore[override]
                              namespace: argparse.Namespace | None = None) -> argparse.Namespace:
        found, rest = self.parse_known_intermixed_args(args, namespace)
        self._refuse(rest)
        return found

    def _refuse(self, rest: list[str]) -> None:
        """Arguments left over: an unknown option, with the closest known one
        (argparse offers one from Python 3.14 only), else too many."""
        for arg in rest:
            if arg.startswith("-") and arg != "-":
                given = arg.partition("=")[0]
                # Compared without their dashes, which all share and which would make any two alike.
                known = {option.lstrip("-"): option for action in self._actions for option in action.option_strings
                         if option.startswith("--") == given.startswith("--")}
                close = closest(given.lstrip("-"), known)
                hint = f" (did you mean {known[close]}?)" if close is not None else ""
                raise UsageError(f"no option {given}{hint}")
        if rest:
            self.error(f"unrecognized arguments: {' '.join(rest)}")


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
