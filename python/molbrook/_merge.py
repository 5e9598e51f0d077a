"""Table columns back into SD files, by key."""

from __future__ import annotations

import io
import itertools
import math
import numbers
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, NoReturn, cast

from molbrook import _remote, native
from molbrook._float_format import check_float_format, float_text
from molbrook._optional import require
from molbrook._output import atomic_destination
from molbrook._types import TITLE, Key, deprecated


@dataclass(frozen=True)
class MergeSummary:
    """What `merge_records` did.

    Attributes
    ----------
    blocks : int
        Blocks written.
    matched : int
        Blocks that got values.
    unmatched_rows : int
        Table rows whose key matched no block.
    """

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
        columns = require("pyarrow", "arrow").table(table).to_pydict()
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
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return True
    return type(value).__name__ in ("NAType", "NaTType")


def _text(value: Any, float_format: str | None = None) -> str | bytes:
    """A cell as record text: ints as str(int), floats by repr, so that they
    read back exactly, or by the format spec `float_format`."""
    # Exact floats and ints, the common numbers, skip the checks against the numeric ABCs.
    if type(value) is float:
        return float_text(value, float_format)
    if type(value) is int:
        return str(value)
    if isinstance(value, (str, bytes)):
        return value
    if isinstance(value, bool):
        return str(value)
    if isinstance(value, numbers.Integral):
        return str(int(value))
    if isinstance(value, numbers.Real):
        return float_text(float(value), float_format)
    return str(value)


def _as_str(text: str | bytes) -> str:
    return text.decode("utf-8", "surrogateescape") if isinstance(text, bytes) else text


def _as_kind(text: str | bytes, is_bytes: bool) -> str | bytes:
    if is_bytes:
        return text.encode("utf-8", "surrogateescape") if isinstance(text, str) else text
    return _as_str(text)


def _texts(values: Sequence[Any], is_bytes: bool, float_format: str | None = None) -> tuple[str | bytes | None, ...]:
    """Cells as record text of one block kind, None for nulls."""
    kind = bytes if is_bytes else str
    # Cells of the kind already, the common case, are taken without a call.
    texts = [value if value is None or type(value) is kind else _text(value, float_format) for value in values]
    return tuple([text if text is None or type(text) is kind else _as_kind(text, is_bytes) for text in texts])


def _keys(values: list[Any]) -> tuple[str | None, ...]:
    """The key of each row as str, None for a null, refusing a repeated key
    and one with a line break, which can equal no title or record value."""
    keys = cast("tuple[str | None, ...]", _texts(values, is_bytes=False))
    present = [key for key in keys if key is not None]
    joined = "".join(present)
    if len(set(present)) < len(present) or "\n" in joined or "\r" in joined:
        seen: set[str] = set()
        for key in present:
            if "\n" in key or "\r" in key:
                raise ValueError(f"key {key!r} has a line break and can match no record")
            if key in seen:
                raise ValueError(f"key {key!r} appears twice in the table")
            seen.add(key)
    return keys


def _check_names(names: Sequence[str]) -> None:
    """Column names that would read back as record names, or ValueError."""
    for name in names:
        problem = native._record_problem(name)
        if problem is not None:
            raise ValueError(f"column {name!r} cannot be a record name: {problem}")


def _key_column(key: object, title: object) -> str:
    """The table column that holds the keys: the key's own name, or the
    title column for TITLE."""
    if key is TITLE:
        if not isinstance(title, str):
            raise TypeError(
                "key=molbrook.TITLE matches block titles against the column named by title=, "
                f"which must be a str, not {type(title).__name__}"
            )
        return title
    if title is not None:
        raise ValueError("title= names the column of titles, for key=molbrook.TITLE only")
    if not isinstance(key, (str, bytes)):
        raise TypeError(f"key must be a record name (str or bytes) or molbrook.TITLE, not {type(key).__name__}")
    return _as_str(key)


def _block_key(key: Key, is_bytes: bool) -> str | bytes | None:
    """The record name that keys blocks, of the blocks' kind; None for the title."""
    if not isinstance(key, (str, bytes)):
        return None
    if isinstance(key, bytes) and not is_bytes:
        raise TypeError("a bytes key matches bytes blocks only; these blocks are str")
    return _as_kind(key, is_bytes)


def _refuse(blocks: list[int]) -> NoReturn:
    shown = ", ".join(map(str, blocks[:10])) + (f" and {len(blocks) - 10:,} more" if len(blocks) > 10 else "")
    raise ValueError(
        f"no M  END line ends the MDL of block{'s' if len(blocks) > 1 else ''} {shown} (from 0): "
        "records merged there would not read back"
    )


def merge_records(
    source: Any,
    table: Any,
    dest: Any,
    *,
    key: Key,
    title: str | None = None,
    on_title: bool = False,
    names: Sequence[str] | None = None,
    float_format: str | None = None,
    storage_options: Mapping[str, Any] | None = None,
) -> MergeSummary:
    """Stream `source` to `dest`, setting records from the table rows whose key matches.

    `key` is a record name (str, or bytes for bytes blocks): the table
    column of that name is matched against each block's `get(key)`. With
    `key=molbrook.TITLE`, the column named by `title` is matched against
    block titles (`key="ID", on_title=True` is the old spelling of
    `key=molbrook.TITLE, title="ID"`, kept for one release). `names` are
    the columns to set, by default every column but the key column. The
    merge runs on the calling thread. Matched blocks get `set_record(name, text)` for
    each non-null cell (ints as `str(int)`, floats by `repr` or by the
    format spec `float_format`, such as ".4g"), every other byte
    unchanged; the rest are written as read. A path `dest` is written
    whole or not at all. `source` and `dest` may be URLs (see `parse_sdf`),
    `storage_options` going to fsspec.

    Names and values must read back as written: ValueError, before anything
    is written, for a name that is empty or holds `<`, `>` or a line break,
    and before its block is written for a value holding a blank line, a
    line starting with `$$$$` or a carriage return, naming its row and
    column. Matched blocks whose MDL no M  END line ends cannot take records
    (they would read back as part of the MDL): ValueError naming them once
    every block is written.

    Parameters
    ----------
    source : Source or Iterable[SDBlock]
        The blocks, as `parse_sdf` reads them, or an iterable of blocks.
    table : table
        Anything `write_table` takes: a pandas or polars DataFrame, a
        pyarrow table, a RecordTable, a dict of lists.
    dest : Path or file object
        Where the blocks go; a path is compressed by its extension.
    key : Key
        The record matched against the table's column of that name, or
        `molbrook.TITLE`.
    title : str, optional
        With `key=molbrook.TITLE`, the column holding the titles.
    on_title : bool, default False
        The old spelling of `key=molbrook.TITLE, title=key`.
    names : sequence of str, optional
        The columns to set; by default all but the key column.
    float_format : str, optional
        A format spec for floats, such as ".4g".
    storage_options : dict, optional
        Options for fsspec when a source or destination is a URL
        (credentials, endpoint).

    Returns
    -------
    MergeSummary
        Blocks written, blocks matched, rows that matched nothing.

    Raises
    ------
    ValueError
        A name or value that would not read back as written, or matched
        blocks that cannot take records.

    Examples
    --------
    >>> import molbrook
    >>> molbrook.merge_records("python/molbrook/data/sample.sdf", {"ID": ["MB-0002"], "score": [0.123456]},
    ...                        "scored.sdf", key="ID", float_format=".3f")
    MergeSummary(blocks=5, matched=1, unmatched_rows=0)
    >>> [block.get("score") for block in molbrook.parse_sdf("scored.sdf")]
    [None, '0.123', None, None, None]
    """
    if on_title:
        deprecated("merge_records(key=COLUMN, on_title=True)", "merge_records(key=molbrook.TITLE, title=COLUMN)")
        if not isinstance(key, str) or title is not None:
            raise ValueError("on_title=True takes the title column as key; give key=molbrook.TITLE, title=COLUMN")
        title, key = key, TITLE
    return merge_refusing(
        source,
        table,
        dest,
        key=key,
        title=title,
        names=names,
        refused=_refuse,
        float_format=float_format,
        storage_options=storage_options,
    )


def merge_refusing(
    source: Any,
    table: Any,
    dest: Any,
    *,
    key: Key,
    title: str | None,
    names: Sequence[str] | None,
    refused: Callable[[list[int]], NoReturn],
    float_format: str | None = None,
    storage_options: Mapping[str, Any] | None = None,
) -> MergeSummary:
    """merge_records, calling `refused` with the numbers (from 0) of the
    blocks that could not take records, while the destination is open."""
    float_format = check_float_format(float_format)
    columns = _columns(table)
    column = _key_column(key, title)
    if column not in columns:
        raise ValueError(f"the table has no key column {column!r}; its columns are {list(columns)}")
    if names is None:
        names = [name for name in columns if name != column]
    missing = [name for name in names if name not in columns]
    if missing:
        raise ValueError(f"the table has no column {missing[0]!r}")
    _check_names(names)
    keys = _keys(columns[column])
    written = matched = matched_rows = 0
    with atomic_destination(dest, storage_options) as out:
        blocks = _remote.blocks(source, borrow=True, storage_options=storage_options)
        first = next(blocks, None)
        if first is not None:  # its kind is the kind of every block, and of the text set
            is_bytes = isinstance(first.title, bytes)
            written, matched, matched_rows, unedited = native._merge_blocks(
                itertools.chain((first,), blocks),
                out,
                text_as_utf8=not isinstance(out, io.TextIOBase),
                record=_block_key(key, is_bytes),
                keys=_texts(keys, is_bytes),
                names=tuple(_as_kind(name, is_bytes) for name in names),
                columns=tuple(_texts(columns[name], is_bytes, float_format) for name in names),
            )
            if unedited:
                refused(unedited)
    return MergeSummary(blocks=written, matched=matched, unmatched_rows=len(keys) - matched_rows)
