"""`molbrook cut`: records to a table, one row per block."""

from __future__ import annotations

import argparse
import itertools
from collections.abc import Iterator

import molbrook
from molbrook import TableScan
from molbrook._table import record_names
from molbrook.cli import tables
from molbrook.cli.errors import FileError, UsageError
from molbrook.cli.inputs import Inputs, Source, inputs
from molbrook.cli.options import Command, Parser, add_inputs, add_output, names, pairs
from molbrook.cli.outputs import output
from molbrook.cli.watch import NameWatch

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
    parser.add_argument(
        "-f", "--fields", metavar="NAME,...", help="the records to take, in order (default: every name seen)"
    )
    parser.add_argument("--title", metavar="COLUMN", help="add the title as column COLUMN")
    parser.add_argument(
        "--molblock", metavar="COLUMN", help="add the molblock (title line through M  END) as column COLUMN"
    )
    parser.add_argument(
        "--block",
        metavar="COLUMN",
        help="add the whole block as column COLUMN (binary in Parquet, so any encoding), which "
        "from-table --block writes back",
    )
    parser.add_argument("--types", metavar="NAME=int|float,...", help="columns read as numbers")
    parser.add_argument("--source", metavar="COLUMN", help="add a column COLUMN naming the FILE of each row")
    add_inputs(parser)
    add_output(parser)


def scan(
    found: Source,
    fields: list[str | bytes] | None,
    args: argparse.Namespace,
    types: dict[str | bytes, type] | None,
    watch: NameWatch,
) -> TableScan:
    """The table's batches. Without fields, scan_table finds the names in a
    first pass over the file (so, no progress bar); with them, the blocks
    stream past the bar once, and past `watch`, which looks for the fields."""
    try:
        if fields is not None:
            return molbrook.scan_table(
                watch.passing(found.blocks()),
                fields,
                title=args.title,
                types=types,
                molblock=args.molblock,
                block=args.block,
            )
        return molbrook.scan_table(
            found.path(), title=args.title, types=types, molblock=args.molblock, block=args.block
        )
    except OSError as error:
        raise FileError.from_exception(found.label, error) from error
    except ValueError as error:  # a title column named as a record, a name given twice
        raise UsageError(str(error)) from error


def names_in_files(found: Inputs) -> list[str | bytes]:
    """Every record name of the files, in order of first appearance: the
    columns of several files read as one table."""
    seen: dict[str | bytes, None] = {}
    for each in found.sources:
        try:
            seen.update(dict.fromkeys(record_names(each.path())))
        except (OSError, ValueError) as error:
            raise FileError.from_exception(each.label, error) from error
    return list(seen)


def parts(
    found: Inputs,
    fields: list[str | bytes] | None,
    args: argparse.Namespace,
    types: dict[str | bytes, type] | None,
    watch: NameWatch,
) -> Iterator[tables.Part]:
    """The batches of each file in turn, all with the same columns."""
    if fields is None and found.is_stdin:
        raise UsageError("name the records with -f when reading standard input: without them, FILE is read twice")
    if fields is None and len(found.sources) > 1:
        fields = names_in_files(found)
    for each in found.sources:
        each.check_readable()
    for each in found.sources:
        with scan(each, fields, args, types, watch) as batches:
            yield tables.Part(batches, each.label)


def run(args: argparse.Namespace) -> int:
    fmt = tables.table_format(args.output, tables.WRITTEN)
    if fmt == ".parquet":
        tables.pyarrow_module()
    given = names(args.fields) if args.fields is not None else []
    fields: list[str | bytes] | None = list(given) if args.fields is not None else None
    types = column_types(args.types)
    found = inputs(args.files, quiet=args.quiet)
    # A field no block has gives an empty column, which may be meant (the
    # same columns for many files): said, not refused.
    watch = NameWatch(given)
    batches = parts(found, fields, args, types, watch)
    first = next(batches)  # the first file opened, and the arguments checked, before OUT is made
    with output(found, args.output) as out:
        tables.write_table_file(itertools.chain([first], batches), out, fmt, args.source, args.block)
    watch.warn("cut")
    return 0


COMMAND = Command(
    "cut",
    "records to a table, a row per block",
    "molbrook cut -f ID,MW --title name --types MW=float --source file a.sdf b.sdf -o library.parquet",
    configure,
    run,
    "CSV on standard output; CSV, TSV, JSON lines or Parquet (with pyarrow) by the extension of OUT.",
)
