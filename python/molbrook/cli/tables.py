"""Tables in and out: `molbrook cut` writes record tables as CSV, TSV, JSON
lines or Parquet; `molbrook merge` reads CSV, TSV or Parquet ones. Only
Parquet needs pyarrow."""

from __future__ import annotations

import csv
import io
import json
import os
from collections.abc import Iterable
from typing import Any, BinaryIO

from molbrook.cli.errors import FileError, UsageError

WRITTEN = (".csv", ".tsv", ".jsonl", ".parquet")
READ = (".csv", ".tsv", ".parquet")


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


def pyarrow_module() -> Any:
    try:
        import pyarrow  # type: ignore[import-untyped]
        import pyarrow.parquet  # type: ignore[import-untyped]  # noqa: F401
    except ImportError:
        raise UsageError("Parquet needs pyarrow: pip install pyarrow") from None
    return pyarrow


def write_table(batches: Iterable[Any], out: BinaryIO, fmt: str) -> int:
    """Writes RecordTable batches; returns the number of rows."""
    if fmt == ".parquet":
        return _write_parquet(batches, out)
    text = io.TextIOWrapper(out, encoding="utf-8", errors="surrogateescape", newline="", write_through=True)
    try:
        rows = _write_jsonl(batches, text) if fmt == ".jsonl" else _write_delimited(batches, text, fmt)
        text.flush()
    finally:
        text.detach()  # the stream stays open, for its owner to close
    return rows


def _columns(batch: Any) -> tuple[list[str], list[list[Any]]]:
    columns = batch.to_pydict()
    return list(columns), list(columns.values())


def _write_delimited(batches: Iterable[Any], text: io.TextIOWrapper, fmt: str) -> int:
    writer = csv.writer(text, delimiter="\t" if fmt == ".tsv" else ",", lineterminator="\n")
    rows = 0
    for number, batch in enumerate(batches):
        names, columns = _columns(batch)
        if number == 0:
            writer.writerow(names)
        writer.writerows(zip(*columns))
        rows += batch.num_rows
    return rows


def _write_jsonl(batches: Iterable[Any], text: io.TextIOWrapper) -> int:
    rows = 0
    for batch in batches:
        names, columns = _columns(batch)
        for row in zip(*columns):
            text.write(json.dumps(dict(zip(names, row)), ensure_ascii=False) + "\n")
        rows += batch.num_rows
    return rows


def _write_parquet(batches: Any, out: BinaryIO) -> int:
    pa = pyarrow_module()
    reader = pa.RecordBatchReader.from_stream(batches)
    rows = 0
    with pa.parquet.ParquetWriter(out, reader.schema) as writer:
        for batch in reader:
            writer.write_batch(batch)
            rows += batch.num_rows
    return rows


def read_table(path: str) -> Any:
    """A CSV or TSV file as a dict of equal-length lists of str, or a Parquet
    file as a pyarrow table; errors name the file."""
    fmt = table_format(path, READ)
    try:
        if fmt == ".parquet":
            return pyarrow_module().parquet.read_table(path)
        with open(path, newline="", encoding="utf-8", errors="surrogateescape") as f:
            return _delimited_columns(csv.reader(f, delimiter="\t" if fmt == ".tsv" else ","), path)
    except (OSError, ValueError, csv.Error) as error:
        raise FileError.from_exception(path, error) from error


def _delimited_columns(reader: Iterable[list[str]], path: str) -> dict[str, list[str]]:
    rows = iter(reader)
    header = next(rows, None)
    if not header:
        raise FileError(path, "no header row")
    columns: dict[str, list[str]] = {name: [] for name in header}
    if len(columns) != len(header):
        raise FileError(path, "a column name repeats in the header row")
    lists = list(columns.values())
    for line, row in enumerate(rows, 2):
        if len(row) != len(header):
            raise FileError(path, f"line {line}: {len(row)} fields, the header has {len(header)}")
        for values, value in zip(lists, row):
            values.append(value)
    return columns
