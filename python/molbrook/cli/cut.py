"""`molbrook cut`: records to a table, one row per block."""

from __future__ import annotations

import argparse

import molbrook
from molbrook import TableScan
from molbrook.cli import tables
from molbrook.cli.errors import FileError, UsageError
from molbrook.cli.inputs import Source, source
from molbrook.cli.options import Command, Parser, add_input, add_output, names, pairs
from molbrook.cli.outputs import output

TYPES = {"int": int, "float": float}


def column_types(text: str | None) -> dict[str | bytes, type] | None:
    if text is None:
        return None
    found: dict[str | bytes, type] = {}
    for name, kind in pairs(names(text), "NAME=int|float"):
        if kind not in TYPES:
            raise UsageError(f"--types {name}={kind}: the type is int or float")
        found[name] = TYPES[kind]
    return found


def configure(parser: Parser) -> None:
    parser.add_argument("-f", "--fields", metavar="NAME,...",
                        help="the records to take, in order (default: every name seen)")
    parser.add_argument("--title", metavar="COLUMN", help="add the title as column COLUMN")
    parser.add_argument("--molblock", metavar="COLUMN",
                        help="add the molblock (title line through M  END) as column COLUMN")
    parser.add_argument("--block", metavar="COLUMN",
                        help="add the whole block as column COLUMN, which from-table --block writes back as it was")
    parser.add_argument("--types", metavar="NAME=int|float,...", help="columns read as numbers")
    add_input(parser)
    add_output(parser)


def scan(found: Source, fields: list[str] | None, args: argparse.Namespace,
         types: dict[str | bytes, type] | None) -> TableScan:
    """The table's batches. Without fields, scan_table finds the names in a
    first pass over the file (so, no progress bar); with them, the blocks
    stream past the bar once."""
    try:
        if fields is not None:
            return molbrook.scan_table(found.blocks(), fields, title=args.title, types=types,
                                       molblock=args.molblock, block=args.block)
        if found.is_stdin:
            raise UsageError("name the records with -f when reading standard input: "
                             "without them, FILE is read twice")
        return molbrook.scan_table(found.path(), title=args.title, types=types,
                                   molblock=args.molblock, block=args.block)
    except OSError as error:
        raise FileError.from_exception(found.label, error) from error
    except ValueError as error:  # a title column named as a record, a name given twice
        raise UsageError(str(error)) from error


def run(args: argparse.Namespace) -> int:
    fmt = tables.table_format(args.output, tables.WRITTEN)
    if fmt == ".parquet":
        tables.pyarrow_module()
    fields = names(args.fields) if args.fields is not None else None
    types = column_types(args.types)
    found = source(args.file, quiet=args.quiet)
    with scan(found, fields, args, types) as batches, output(args.output, found) as out:
        tables.write_table(batches, out, fmt, found.label)
    return 0


COMMAND = Command("cut", "records to a table, a row per block",
                  "molbrook cut -f ID,MW --title name --types MW=float library.sdf -o library.parquet",
                  configure, run, "CSV on standard output; CSV, TSV, JSON lines or Parquet (with pyarrow) "
                  "by the extension of OUT.")
