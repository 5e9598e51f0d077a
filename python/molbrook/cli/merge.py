"""`molbrook merge`: records from a table into the blocks whose key matches."""

from __future__ import annotations

import argparse
import sys

import molbrook
from molbrook.cli import tables
from molbrook.cli.errors import UsageError
from molbrook.cli.inputs import source
from molbrook.cli.options import Command, Parser, add_input, add_output, names
from molbrook.cli.outputs import output


def configure(parser: Parser) -> None:
    parser.add_argument("table", metavar="TABLE", help="a .csv, .tsv or .parquet file with a header row")
    parser.add_argument("--key", required=True, metavar="NAME",
                        help="the table column (and, without --on-title, the record) to match on")
    parser.add_argument("--on-title", action="store_true", help="match the key column against block titles")
    parser.add_argument("-f", "--fields", metavar="NAME,...", help="the columns to merge (default: all but the key)")
    add_input(parser)
    add_output(parser, in_place=True)


def run(args: argparse.Namespace) -> int:
    fields = names(args.fields) if args.fields is not None else None
    table = tables.read_table(args.table)
    found = source(args.file, quiet=args.quiet)
    if args.in_place and found.is_stdin:
        raise UsageError("--in-place needs a FILE")
    with output(args.output, found, in_place=args.in_place) as out:
        summary = molbrook.merge_records(found.blocks(), table, out, key=args.key, on_title=args.on_title,
                                         names=fields)
    if not args.quiet:
        print(f"molbrook merge: {summary.blocks:,} blocks, {summary.matched:,} matched; "
              f"{summary.unmatched_rows:,} table rows matched no block", file=sys.stderr)
    return 0


COMMAND = Command("merge", "add the columns of a table to the blocks, as records, by a key",
                  "molbrook merge assays.csv --key ID library.sdf -o annotated.sdf",
                  configure, run, "The summary goes to standard error.")
