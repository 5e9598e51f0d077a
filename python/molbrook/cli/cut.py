"""`molbrook cut`: records to a table, one row per block."""

from __future__ import annotations

import argparse

import molbrook
from molbrook.cli import tables
from molbrook.cli.errors import UsageError
from molbrook.cli.inputs import source
from molbrook.cli.options import Command, Parser, add_input, add_output, names, pairs
from molbrook.cli.outputs import output

TYPES = {"int": int, "float": float}


def column_types(text: str | None) -> dict[str, type] | None:
    if text is None:
        return None
    found = {}
    for name, kind in pairs(names(text), "NAME=int|float"):
        if kind not in TYPES:
            raise UsageError(f"--types {name}={kind}: the type is int or float")
        found[name] = TYPES[kind]
    return found


def configure(parser: Parser) -> None:
    parser.add_argument("-f", "--fields", metavar="NAME,...",
                        help="the records to take, in order (default: every name seen)")
    parser.add_argument("--title", metavar="COLUMN", help="add the title as column COLUMN")
    parser.add_argument("--types", metavar="NAME=int|float,...", help="columns read as numbers")
    add_input(parser)
    add_output(parser)


def run(args: argparse.Namespace) -> int:
    fmt = tables.table_format(args.output, tables.WRITTEN)
    if fmt == ".parquet":
        tables.pyarrow_module()
    fields = names(args.fields) if args.fields is not None else None
    types = column_types(args.types)
    found = source(args.file, quiet=args.quiet)
    batches = molbrook.scan_table(found.blocks(), fields, title=args.title, types=types)
    with output(args.output, found) as out:
        tables.write_table(batches, out, fmt)
    return 0


COMMAND = Command("cut", "records to a table, a row per block",
                  "molbrook cut -f ID,MW --title name --types MW=float library.sdf -o library.parquet",
                  configure, run, "CSV on standard output; CSV, TSV, JSON lines or Parquet (with pyarrow) "
                  "by the extension of OUT.")
