"""Tables in and out: `molbrook cut` writes record tables as CSV, TSV, JSON
lines or Parquet; `molbrook merge` reads CSV, TSV or Parquet ones, and
`molbrook from-table` those and JSON lines. Parquet, and writing SD files
from tables, need pyarrow."""

from __future__ import annotations

import argparse
import contextlib
import csv
import io
import json
import os
import shutil
import sys
from collections.abc import Iterable, Iterator
from typing import IO, Any, NamedTuple

from molbrook._output import GatheringWriter
from molbrook.cli.errors import FileError, UsageError

WRITTEN = (".csv", ".tsv", ".jsonl", ".parquet")
READ = (".csv", ".tsv", ".parquet")
STDIN = "-"


def table_format(name: str | None, formats: tuple[str, ...]) -> str:
    """The format a file name asks for by its last known extension (so that
    out.csv.gz is CSV, compressed); CSV for standard output."""
    if name is None or name == "-":
        return ".csv"
    base = os.path.basename(name).lower()
    found = [(base.rfind(ext), ext) for ext in formats if base.rfind(ext) > 0]
    if not found:
        raise UsageError(f"{name}: the name does not end in {', '.join(formats)}")
    return max(found)[1]


def add_float_format(parser: argparse.ArgumentParser) -> None:
    """--float-format SPEC, for the commands that write a table's floats as records."""
    parser.add_argument(
        "--float-format",
        metavar="SPEC",
        type=_float_format,
        help="write float columns by this format spec, such as .4g (default: the shortest "
        "text that reads back exactly)",
    )


def _float_format(spec: str) -> str:
    from molbrook._float_format import check_float_format  # here, for a quicker start

    try:
        check_float_format(spec)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return spec


def pyarrow_module(needs: str = "Parquet") -> Any:
    try:
        import pyarrow  # type: ignore[import-untyped]
        import pyarrow.parquet  # type: ignore[import-untyped]
    except ImportError:
        raise UsageError(f"{needs} needs pyarrow: pip install pyarrow") from None
    return pyarrow


class Part(NamedTuple):
    """The batches of one SD file and its name, for errors and --source."""

    batches: Iterable[Any]
    label: str


def write_table_file(
    parts: Iterable[Part], out: IO[bytes], fmt: str, source_column: str | None = None, block_column: str | None = None
) -> None:
    """Writes the RecordTable batches of every part as one table, with a
    column `source_column` naming the part of each row when given.
    `block_column`, the column of whole blocks, is binary in Parquet, and
    must be UTF-8 in text formats, from which from-table reads it back."""
    if fmt == ".parquet":
        _write_parquet(parts, out, source_column, block_column)
        return
    text = io.TextIOWrapper(out, encoding="utf-8", errors="surrogateescape", newline="")
    try:
        rows = (row for part in parts for row in _rows(part, source_column, block_column, fmt))
        if fmt == ".jsonl":
            _write_jsonl(rows, text)
        else:
            _write_delimited(rows, text, "\t" if fmt == ".tsv" else ",")
        text.flush()
    finally:
        text.detach()  # the stream stays open, for its owner to close


def _rows(
    part: Part, source_column: str | None, block_column: str | None, fmt: str
) -> Iterator[tuple[list[str], Iterable[tuple[Any, ...]]]]:
    """Per batch, the column names and the rows; binary values as text:
    read as UTF-8, bytes that are not kept as they are (surrogateescape),
    but for the block column, which must be UTF-8."""
    first = 0
    for batch in part.batches:
        columns = batch.to_pydict()
        if block_column is not None:
            _check_utf8(
                columns[block_column],
                part.label,
                block_column,
                first,
                f"which {fmt[1:].upper()} needs to give the block back; write .parquet, which keeps it binary",
            )
        values = [[_text(value) for value in column] for column in columns.values()]
        names = list(columns)
        if source_column is not None:
            names.append(source_column)
            values.append([part.label] * len(values[0]) if values else [])
        first += batch.num_rows
        yield names, zip(*values)


def _check_utf8(values: list[Any], label: str, column: str, first: int, why: str) -> None:
    """FileError naming the block (from 1) of the first value of a column
    (its rows from `first`, from 0) that is bytes and not UTF-8."""
    for row, value in enumerate(values, first + 1):
        if isinstance(value, bytes):
            try:
                value.decode("utf-8")
            except UnicodeDecodeError:
                raise FileError(label, f"block {row}: the value of column {column!r} is not UTF-8, {why}") from None


def _text(value: Any) -> Any:
    return value.decode("utf-8", "surrogateescape") if isinstance(value, bytes) else value


def _write_delimited(
    batches: Iterable[tuple[list[str], Iterable[tuple[Any, ...]]]], text: io.TextIOWrapper, delimiter: str
) -> None:
    writer = csv.writer(text, delimiter=delimiter, lineterminator="\n")  # None: an empty field
    for number, (names, rows) in enumerate(batches):
        if number == 0:
            writer.writerow(names)
        writer.writerows(rows)


def _write_jsonl(batches: Iterable[tuple[list[str], Iterable[tuple[Any, ...]]]], text: io.TextIOWrapper) -> None:
    for names, rows in batches:
        for row in rows:
            text.write(json.dumps(dict(zip(names, row)), ensure_ascii=False) + "\n")


def _write_parquet(parts: Iterable[Part], out: IO[bytes], source_column: str | None, block_column: str | None) -> None:
    """Binary columns are written as strings, which is what the records hold
    and what readers of Parquet expect: a value that is not UTF-8 fails,
    naming its block. The block column stays binary: a block holds the
    bytes of the file, in whatever encoding."""
    pa = pyarrow_module()
    writer = schema = None
    gathered = GatheringWriter(out)
    try:
        for part in parts:
            reader = pa.RecordBatchReader.from_stream(part.batches)
            schema = pa.schema(
                [
                    field.with_type(pa.string())
                    if pa.types.is_binary(field.type) and field.name != block_column
                    else field
                    for field in reader.schema
                ]
            )
            first = 0
            for batch in reader:
                table = _cast(pa, batch, schema, part.label, first)
                first += batch.num_rows
                if source_column is not None:
                    table = table.append_column(source_column, pa.array([part.label] * len(table), pa.string()))
                if writer is None:
                    writer = pa.parquet.ParquetWriter(gathered, table.schema)
                writer.write_table(table)
        if writer is None and schema is not None:  # no rows: the schema alone
            if source_column is not None:
                schema = schema.append(pa.field(source_column, pa.string()))
            writer = pa.parquet.ParquetWriter(gathered, schema)
    finally:
        if writer is not None:
            writer.close()
    gathered.flush()


def _cast(pa: Any, batch: Any, schema: Any, label: str, first: int) -> Any:
    """The batch as a table of `schema`; a value that is not UTF-8 where it
    becomes a string fails, naming its block and column."""
    try:
        return pa.Table.from_batches([batch]).cast(schema)
    except pa.ArrowInvalid as error:
        for field, wanted in zip(batch.schema, schema):
            if field.type != wanted.type:
                _check_utf8(batch.column(field.name).to_pylist(), label, field.name, first, "as Parquet text must be")
        raise FileError(label, str(error)) from error


def read_table_file(path: str, formats: tuple[str, ...] = READ, fmt: str | None = None) -> Any:
    """A CSV or TSV file as a dict of equal-length lists of str (None for an
    empty cell), JSON lines as a dict of lists of their values, or a Parquet
    file as a pyarrow table; errors name the file. `fmt`, one of `formats`,
    overrides the extension; "-" is standard input, which needs it."""
    if fmt is None:
        if path == STDIN:
            choices = ", ".join(ext[1:] for ext in formats)
            raise UsageError(f"give the --format of a table on standard input ({choices})")
        fmt = table_format(path, formats)
    label = "standard input" if path == STDIN else path
    try:
        if fmt == ".parquet":
            pyarrow = pyarrow_module()
            if path != STDIN:
                return pyarrow.parquet.read_table(path)
            # Into memory of Arrow's own: a buffer of Python bytes that
            # pyarrow's threads still hold at exit is released after the
            # interpreter has gone, which aborts the process or hangs it.
            copied = pyarrow.BufferOutputStream()
            shutil.copyfileobj(sys.stdin.buffer, copied)
            return pyarrow.parquet.read_table(pyarrow.BufferReader(copied.getvalue()))
        with _text_input(path) as f:
            if fmt == ".jsonl":
                return _json_columns(f, label)
            return _delimited_columns(csv.reader(f, delimiter="\t" if fmt == ".tsv" else ","), label)
    except (OSError, ValueError, csv.Error) as error:
        raise FileError.from_exception(label, error) from error


@contextlib.contextmanager
def _text_input(path: str) -> Iterator[IO[str]]:
    """The file as text, or standard input, which stays open."""
    if path != STDIN:
        with open(path, newline="", encoding="utf-8-sig", errors="surrogateescape") as f:
            yield f
        return
    stream = io.TextIOWrapper(sys.stdin.buffer, encoding="utf-8-sig", errors="surrogateescape", newline="")
    try:
        yield stream
    finally:
        stream.detach()


def _json_columns(lines: Iterable[str], path: str) -> dict[str, list[Any]]:
    """One JSON object per line (blank lines skipped) as columns in order of
    first appearance; None where a row lacks the name."""
    columns: dict[str, list[Any]] = {}
    rows = 0
    for number, line in enumerate(lines, 1):
        if not line.strip():
            continue
        row = json.loads(line)
        if not isinstance(row, dict):
            raise FileError(path, f"line {number}: not a JSON object")
        for name, value in row.items():
            columns.setdefault(name, [None] * rows).append(value)
        rows += 1
        for values in columns.values():
            if len(values) < rows:
                values.append(None)
    return columns


def _delimited_columns(reader: Iterable[list[str]], path: str) -> dict[str, list[str | None]]:
    rows = iter(reader)
    header = next(rows, None)
    if not header:
        raise FileError(path, "no header row")
    columns: dict[str, list[str | None]] = {name: [] for name in header}
    if len(columns) != len(header):
        raise FileError(path, "a column name repeats in the header row")
    lists = list(columns.values())
    for line, row in enumerate(rows, 2):
        if len(row) != len(header):
            raise FileError(path, f"line {line}: {len(row)} fields, the header has {len(header)}")
        for values, value in zip(lists, row):
            values.append(value or None)  # an empty cell sets nothing
    return columns
