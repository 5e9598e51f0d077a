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



class _Plan:
    """The table in one block kind (str or bytes): the row of each key, and
    the records each row sets."""

    def __init__(self, columns: dict[str, list[Any]], key: str, names: Sequence[str], is_bytes: bool) -> None:
        def kind(text: str | bytes) -> str | bytes:
            return _as_kind(text, is_bytes)

        self.key = kind(key)
        self.rows: dict[Any, int] = {kind(text): row for text, row in _key_rows(columns[key]).items()}
        texts = [(kind(name), [None if v is None else kind(_text(v)) for v in columns[name]]) for name in names]
        self.updates = [
            [(name, values[row]) for name, values in texts if values[row] is not None]
            for row in range(len(columns[key]))
        ]


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
    each non-null cell (ints as `str(int)`, floats by `repr`), every other
    byte unchanged; the rest are written as read. A path `dest` is written
    whole or not at all.
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
    _key_rows(columns[key])  # bad keys fail before anything is written
    plans: dict[bool, _Plan] = {}
    blocks = matched = 0
    matched_rows: set[int] = set()
    with atomic_destination(dest) as out, _BlockWriter(out) as writer:
        for block in native.parse_sdf(source, borrow=True):
            title = block.title
            is_bytes = isinstance(title, bytes)
            plan = plans.get(is_bytes) or plans.setdefault(is_bytes, _Plan(columns, key, names, is_bytes))
            row = plan.rows.get(title if on_title else block.get(plan.key))
            if row is not None:
                matched_rows.add(row)
                updates = plan.updates[row]
                for name, text in updates:
                    block.set_record(name, text)
                if updates:
                    matched += 1
            writer.write(block)
            blocks += 1
    return MergeSummary(blocks=blocks, matched=matched, unmatched_rows=len(columns[key]) - len(matched_rows))


class _BlockWriter:
    """Writes blocks of either kind to a binary file, str blocks as UTF-8.
    Its `write` becomes the writer's own once the first block tells the kind."""

    def __init__(self, out: Any) -> None:
        self._out = out
        self._text: io.TextIOWrapper | None = None
        self._writer: Any = None

    def write(self, block: Any) -> None:
        target = self._out
        if not isinstance(block.title, bytes) and not isinstance(self._out, io.TextIOBase):
            target = self._text = io.TextIOWrapper(self._out, encoding="utf-8", newline="", write_through=True)
        self._writer = native.sdf_writer(target)
        self.write = self._writer.write  # type: ignore[method-assign]
        self._writer.write(block)

    def __enter__(self) -> _BlockWriter:
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self._writer is not None:
            self._writer.close()
        if self._text is not None:
            self._text.detach()
