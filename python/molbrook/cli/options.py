"""Argument parsing shared by the commands: errors raised rather than
printed with a usage dump, and the options several commands take."""

from __future__ import annotations

import argparse
import re
import sys
from collections.abc import Callable, Sequence
from typing import Any, NamedTuple, NoReturn

from molbrook._types import TITLE, Key
from molbrook.cli.errors import UsageError, closest

KEY_HELP = "a record NAME, or @title for the title (@@NAME: a record whose name starts with @)"


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

    def parse_args(  # type: ignore[override]
        self,
        args: Sequence[str] | None = None,
        namespace: argparse.Namespace | None = None,
    ) -> argparse.Namespace:
        found, rest = self.parse_known_args(args, namespace)
        self._refuse(rest)
        return found

    def parse_intermixed_args(  # type: ignore[override]
        self,
        args: Sequence[str] | None = None,
        namespace: argparse.Namespace | None = None,
    ) -> argparse.Namespace:
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
                known = {
                    option.lstrip("-"): option
                    for action in self._actions
                    for option in action.option_strings
                    if option.startswith("--") == given.startswith("--")
                }
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
    status_one: str = ""  # when the command exits with status 1, where it does ("no block is kept")

    def parser(self) -> Parser:
        status = f"Exit status 1 when {self.status_one}." if self.status_one else ""
        description = " ".join(
            part for part in (f"{self.summary[:1].upper()}{self.summary[1:]}.", self.details, status) if part
        )
        parser = Parser(
            prog=f"molbrook {self.name}",
            description=description,
            epilog=f"example:\n  {self.example}",
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )
        self.configure(parser)
        parser.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
        parser.add_argument("--debug", action="store_true", help="show a traceback on errors")
        return parser


class Renamed(argparse.Action):
    """An option's old spelling, kept for one release: it does what its new
    spelling does, says so on standard error, and is left out of --help.
    A flag gives `const`; an option with a value gives the value, appended
    to a list with `append`."""

    def __init__(
        self,
        option_strings: Sequence[str],
        dest: str,
        *,
        new: str,
        const: Any = None,
        append: bool = False,
        **kwargs: Any,
    ) -> None:
        super().__init__(
            option_strings, dest, nargs=0 if const is not None else None, const=const, help=argparse.SUPPRESS, **kwargs
        )
        self.new = new
        self.append = append

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: Any,
        option_string: str | None = None,
    ) -> None:
        print(
            f"{parser.prog}: {option_string} is deprecated and will be removed in the next release; use {self.new}",
            file=sys.stderr,
        )
        value = self.const if self.const is not None else values
        if self.append:
            value = [*(getattr(namespace, self.dest, None) or []), value]
        setattr(namespace, self.dest, value)


def key(text: str) -> Key:
    """A KEY argument: @title for the title, @@NAME for a record named @NAME,
    else a record name."""
    if text == "@title":
        return TITLE
    if not text or text == "@" or text == "@@":
        raise UsageError(f"{text!r} is no key: {KEY_HELP}")
    return text[1:] if text.startswith("@@") else text


def add_input(parser: Parser) -> None:
    parser.add_argument(
        "file",
        nargs="?",
        metavar="FILE",
        help="the SD file, plain or compressed (told by content); - or none: standard input",
    )


def add_inputs(parser: Parser) -> None:
    parser.add_argument(
        "files",
        nargs="*",
        metavar="FILE",
        help="SD files, plain or compressed (told by content), read one after another; - or none: standard input",
    )


def add_output(parser: Parser, *, in_place: bool = False) -> None:
    where = parser.add_mutually_exclusive_group() if in_place else parser
    where.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        help="where to write (default, or -: standard output); compressed by extension (.gz, ...)",
    )
    if in_place:
        where.add_argument(
            "-i", "--in-place", action="store_true", help="replace FILE, once the whole of it is written"
        )


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
