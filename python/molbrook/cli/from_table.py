"""`molbrook from-table`: a table to an SD file, a block per row."""

from __future__ import annotations

import argparse

import molbrook
from molbrook.cli import tables
from molbrook.cli.errors import FileError
from molbrook.cli.inputs import source
from molbrook.cli.options import Command, Parser, add_output, names
from molbrook.cli.outputs import output

READ = (".csv", ".tsv", ".jsonl", ".parquet")


def configure(parser: Parser) -> None:
    parser.add_argument(
        "table",
        metavar="TABLE",
        help="a .csv, .tsv (each with a header row), .jsonl or .parquet file; -: standard input, with --format",
    )
    parser.add_argument(
        "--format", choices=[ext[1:] for ext in READ], help="the format of TABLE (default: told by its extension)"
    )
    parser.add_argument(
        "--molblock",
        metavar="COL",
        help="the column of molblocks, title line through M  END (default: empty molecules)",
    )
    parser.add_argument("--title", metavar="COL", help="the column of titles")
    parser.add_argument(
        "-f",
        "--fields",
        metavar="NAME,...",
        help="the columns written as records, in order (default: all but --molblock and --title; none with --block)",
    )
    parser.add_argument(
        "--block", metavar="COL", help="a column of whole blocks, written as they are, with the -f columns set on them"
    )
    tables.add_float_format(parser)
    add_output(parser)


def run(args: argparse.Namespace) -> int:
    tables.pyarrow_module("from-table")
    table = tables.read_table_file(args.table, READ, f".{args.format}" if args.format else None)
    with output(source(args.table), args.output) as out:  # never over the table read
        try:
            molbrook.write_table(
                table,
                out,
                molblock=args.molblock,
                title=args.title,
                block=args.block,
                names=names(args.fields) if args.fields is not None else None,
                float_format=args.float_format,
            )
        except (TypeError, ValueError) as error:  # a missing column, a column of lists, a value that breaks a block
            raise FileError("standard input" if args.table == tables.STDIN else args.table, str(error)) from error
    return 0


COMMAND = Command(
    "from-table",
    "a table to an SD file, a block per row",
    "molbrook from-table scores.parquet --molblock molblock --title ID -o scored.sdf",
    configure,
    run,
    "Nulls and empty cells write no record; SD on standard output, or into OUT.",
)
