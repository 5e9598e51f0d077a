"""Table columns back into SD files, by key."""

from __future__ import annotations

import io
import math
import numbers
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from molbrook import native
from molbrook._output import atomic_destination


@dataclass(frozen=True)
class MergeSummary:
    """What `merge_records` did."""

    blocks: int  # blocks written
    matched: int  # blocks that got values
    unmatched_rows: int  # table rows whose key matched no block


def _columns(table: Any) -> dict[str, list[Any]]:
    """The table as a dict of equal-length lists of Python values, None for nulls."""
    if isinstance(table, Mapping):
        columns = {str(name): list(values) for name, values in table.items()}
    elif type(table).__module__.partition(".")[0] == "pandas" and hasattr(table, "columns"):
        columns = {str(name): [None if _is_missing(v) else v for v in table[name].tolist()] for name in table.columns}
    elif isinstance(table, native._RecordTable):
        columns = table.to_pydict()
    elif hasattr(table, "__arrow_c_stream__"):
        from molbrook._table import _require

        columns = _require("pyarrow", "arrow").table(table).to_pydict()
    else:
        raise TypeError(
            "merge_records takes a table with __arrow_c_stream__, a pandas DataFrame "
            f"or a dict of equal-length lists, not {type(table).__name__}"
        )
    lengths = {len(values) for values in columns.values()}
    if len(lengths) > 1:
        raise ValueError("the table's columns differ in length")
    return columns


def _is_missing(value: Any) -> bool:
    return value is None or (isinstance(value, float) and math.isnan(value)) or type(value).__name__ in ("NAType", "NaTType")


def _text(value: Any) -> str | bytes:
    """A cell as record text: ints as str(int), floats by repr, so that they read back exactly."""
    if isinstance(value, (str, bytes)):
        return value
    if isinstance(value, bool):
        return str(value)
    if isinstance(value, numbers.Integral):
        return str(int(value))
    if isinstance(value, numbers.Real):
        return repr(float(value))
    return str(value)


def _as_str(text: str | bytes) -> str:
    return text.decode("utf-8", "surrogateescape") if isinstance(text, bytes) else text


def _as_kind(text: str | bytes, is_bytes: bool) -> str | bytes:
    if is_bytes:
        return text.encode("utf-8", "surrogateescape") if isinstance(text, str) else text
    return _as_str(text)


def _key_rows(keys: list[Any]) -> dict[str, int]:
    rows: dict[str, int] = {}
    for row, value in enumerate(keys):
        if value is None:
            continue
        key = _as_str(_text(value))
        if "\n" in key or "\r" in key:
            raise ValueError(f"key {key!r} has a line break and can match no record")
        if key in rows:
            raise ValueError(f"key {key!r} appears twice in the table")
        rows[key] = row
    return rows


class _Updates:
    """Per table row, the records to set, made for each block kind on first use."""

    def __init__(self, columns: dict[str, list[Any]], names: Sequence[str]) -> None:
        self._columns = [(name, columns[name]) for name in names]
        self._made: dict[tuple[int, bool], list[tuple[str | bytes, str | bytes]]] = {}

    def of(self, row: int, is_bytes: bool) -> list[tuple[str | bytes, str | bytes]]:
        made = self._made.get((row, is_bytes))
        if made is None:
            made = [
                (_as_kind(name, is_bytes), _as_kind(_text(values[row]), is_bytes))
                for name, values in self._columns
                if values[row] is not None
            ]
            self._made[(row, is_bytes)] = made
        return made


def merge_records(
    source: Any,
    table: Any,
    dest: Any,
    *,
    key: str,
    on_title: bool = False,
    names: Sequence[str] | None = None,
) -> MergeSummary:
    """Stream `source` to `dest`, setting records from the table rows whose key matches.

    `key` is the table column matched against each block's `get(key)` (or,
    with `on_title`, its title); `names` are the columns to set, by default
    every column but `key`. Matched blocks get `set_record(name, text)` for
    each non-null cell, every other byte unchanged; the rest are written as
    read. A path `dest` is written whole or not at all.
    """
    columns = _columns(table)
    if not isinstance(key, str):
        raise TypeError(f"key must be a column name (str), not {type(key).__name__}")
    if key not in columns:
        raise ValueError(f"the table has no key column {key!r}; its columns are {list(columns)}")
    if names is None:
        names = [name for name in columns if name != key]
    missing = [name for name in names if name not in columns]
    if missing:
        raise ValueError(f"the table has no column {missing[0]!r}")
    rows = _key_rows(columns[key])
    updates = _Updates(columns, names)
    key_names = None if on_title else {False: key, True: key.encode("utf-8", "surrogateescape")}
    blocks = matched = 0
    matched_rows: set[int] = set()
    with atomic_destination(dest) as out, _BlockWriter(out) as writer:
        for block in native.parse_sdf(source, borrow=True):
            row = _block_row(block, key_names, rows)
            if row is not None:
                matched_rows.add(row)
                values = updates.of(row, isinstance(block.title, bytes))
                for name, text in values:
                    block.set_record(name, text)
                matched += bool(values)
            writer.write(block)
            blocks += 1
    return MergeSummary(blocks=blocks, matched=matched, unmatched_rows=len(columns[key]) - len(matched_rows))


class _BlockWriter:
    """Writes blocks of either kind to a binary file: str blocks as UTF-8."""

    def __init__(self, out: Any) -> None:
        self._out = out
        self._text: io.TextIOWrapper | None = None
        self._writer: Any = None

    def write(self, block: Any) -> None:
        if self._writer is None:
            target = self._out
            if not isinstance(block.title, bytes) and _is_binary(self._out):
                target = self._text = io.TextIOWrapper(self._out, encoding="utf-8", newline="", write_through=True)
            self._writer = native.sdf_writer(target)
        self._writer.write(block)

    def __enter__(self) -> _BlockWriter:
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self._writer is not None:
            self._writer.close()
        if self._text is not None:
            self._text.detach()


def _is_binary(out: Any) -> bool:
    return not isinstance(out, io.TextIOBase)


def _block_row(block: Any, key_names: dict[bool, str | bytes] | None, rows: dict[str, int]) -> int | None:
    """The table row whose key is the block's title or key record, if any."""
    title = block.title
    if key_names is None:
        value = title
    else:
        value = block.get(key_names[isinstance(title, bytes)])
        if value is None:
            return None
    return rows.get(_as_str(value))

