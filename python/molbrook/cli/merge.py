"""`molbrook merge`: records from a table into the blocks whose key matches."""

from __future__ import annotations

import argparse
import sys
from typing import IO, NoReturn

import molbrook
from molbrook._merge import merge_refusing
from molbrook._types import TITLE
from molbrook.cli import tables
from molbrook.cli.errors import FileError, UsageError
from molbrook.cli.inputs import Inputs, Source, source
from molbrook.cli.options import KEY_HELP, Command, Parser, Renamed, add_input, add_output, key, names
from molbrook.cli.outputs import check_in_place, output
from molbrook.cli.words import counted
from molbrook.native import MalformedRecordError


def configure(parser: Parser) -> None:
    parser.add_argument(
        "table",
        metavar="TABLE",
        help="a .csv, .tsv or .parquet file with a header row; empty cells and nulls set nothing",
    )
    parser.add_argument(
        "-k",
        "--key",
        required=True,
        type=key,
        metavar="KEY",
        help=f"what to match rows on: {KEY_HELP}; the table column of that name holds the keys",
    )
    parser.add_argument("--title", metavar="COL", help="with -k @title: the table column of titles")
    parser.add_argument("--on-title", action=Renamed, const=True, new="-k @title --title COL")
    parser.add_argument("-f", "--fields", metavar="NAME,...", help="the columns to merge (default: all but the key)")
    tables.add_float_format(parser)
    add_input(parser)
    add_output(parser, in_place=True)


def run(args: argparse.Namespace) -> int:
    if getattr(args, "on_title", False):  # the old spelling: --key COL --on-title
        args.key, args.title = TITLE, args.key
    if args.key is TITLE and args.title is None:
        raise UsageError("-k @title matches block titles against a table column: name it with --title COL")
    table = tables.read_table_file(args.table)
    found = source(args.file, quiet=args.quiet)
    if args.in_place:
        check_in_place(found)
    found.check_readable()  # before any output is made, and so that its errors name it
    read = found if args.in_place else Inputs((found, source(args.table)))  # OUT is neither the file nor the table
    with output(read, args.output, in_place=args.in_place) as out:
        summary = merge(found, table, out, args)
    if not args.quiet:
        print(
            f"molbrook merge: {counted(summary.blocks, 'block')}, {summary.matched:,} matched; "
            f"{counted(summary.unmatched_rows, 'table row')} matched no block",
            file=sys.stderr,
        )
    return 0


def merge(found: Source, table: object, out: IO[bytes], args: argparse.Namespace) -> molbrook.MergeSummary:
    """merge_records reads the file itself (by path, or standard input as a
    file), so it draws no progress bar; its complaints about the table (no
    key column, a key twice, a name or value that would not read back) name
    the table, and blocks that could not take records the file."""

    def refused(numbers: list[int]) -> NoReturn:
        raise FileError.not_edited(found.label, [number + 1 for number in numbers])

    try:
        return merge_refusing(
            sys.stdin.buffer if found.is_stdin else found.path(),
            table,
            out,
            key=args.key,
            title=args.title,
            names=names(args.fields) if args.fields is not None else None,
            refused=refused,
            float_format=args.float_format,
        )
    except MalformedRecordError as error:
        raise FileError.from_exception(found.label, error) from error
    except ValueError as error:
        raise FileError.from_exception(args.table, error) from error


COMMAND = Command(
    "merge",
    "add the columns of a table to the blocks, as records, by a key",
    "molbrook merge assays.csv -k ID library.sdf -o annotated.sdf",
    configure,
    run,
    "The summary goes to standard error.",
)
