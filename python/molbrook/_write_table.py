"""Tables back to SD files: a block per row."""

from __future__ import annotations

import io
from collections.abc import Mapping, Sequence
from typing import Any

from molbrook import native
from molbrook._output import atomic_destination
from molbrook._table import _require


def _from_lists(columns: Mapping[Any, Any]) -> Any:
    """A dict of equal-length lists as a pyarrow table, each column's type
    inferred from its values; a column pyarrow cannot type is a TypeError
    naming it."""
    pa = _require("pyarrow", "arrow")
    arrays = {}
    for name, values in columns.items():
        try:
            arrays[str(name)] = pa.array(list(values))
        except (pa.ArrowInvalid, pa.ArrowTypeError) as error:
            raise TypeError(f"column {str(name)!r}: {error}") from None
    if len({len(array) for array in arrays.values()}) > 1:
        raise ValueError("the table's columns differ in length")
    return pa.table(arrays)


def _from_pandas(frame: Any) -> Any:
    """A DataFrame's columns (not its index) as a pyarrow table: missing
    values (None, NaN, NA, NaT) become nulls."""
    pa = _require("pyarrow", "arrow")
    try:
        return pa.Table.from_pandas(frame, preserve_index=False)
    except (pa.ArrowInvalid, pa.ArrowTypeError) as error:
        raise TypeError(str(error)) from None


def _arrow_stream(table: Any) -> object:
    """The table's Arrow C stream, as a PyCapsule."""
    if isinstance(table, Mapping):
        table = _from_lists(table)
    elif type(table).__module__.partition(".")[0] == "pandas" and hasattr(table, "columns"):
        table = _from_pandas(table)
    elif not hasattr(table, "__arrow_c_stream__"):
        raise TypeError(
            "write_table takes a table with __arrow_c_stream__, a pandas DataFrame "
            f"or a dict of equal-length lists, not {type(table).__name__}"
        )
    return table.__arrow_c_stream__()


def _column_name(value: object, what: str) -> str | None:
    if value is not None and not isinstance(value, str):
        raise TypeError(f"{what} must be None or a column name (str), not {type(value).__name__}")
    return value


def write_table(
    table: Any,
    dest: Any,
    *,
    molblock: str | None = None,
    title: str | None = None,
    names: Sequence[str] | None = None,
    block: str | None = None,
) -> int:
    """Write a block per row of `table` to `dest`; return the blocks written.

    `table` is anything with `__arrow_c_stream__` (pyarrow, polars, a
    RecordTable), a pandas DataFrame or a dict of equal-length lists; it is
    read batch by batch. `dest` is what `write_sdf` takes: a path is
    written whole or not at all, compressed by its extension; a text file
    object gets str, a binary one bytes, the same bytes either way.

    Each block is the `title` column's value as its title line, then the
    `molblock` column's molblock (title line through M  END, its own title
    line kept without `title`) or else an empty CTAB, then a record per
    column of `names` (default: every column but `molblock` and `title`),
    then `$$$$`. A null writes no record; integers are written as digits,
    floats as `repr` writes them, bools as True/False, dates and times in
    ISO 8601, decimals as plain digits, strings and binary as they are.

    `block` names a column of whole blocks (as `bytes(block)` or
    `str(block)` gives them), each written exactly as it is; the columns
    of `names` (default: none) are then set on it as `set_record` does.

    A column of another type (lists, structs, ...) is a TypeError naming
    it; a name or value that would not read back (a blank line or a $$$$
    line in a value, a name with "<", ">" or a line break, a molblock
    without M  END) a ValueError naming its row and column, raised before
    its block is written.
    """
    columns = {
        "title": _column_name(title, "title"),
        "molblock": _column_name(molblock, "molblock"),
        "block": _column_name(block, "block"),
    }
    if names is not None:
        if isinstance(names, str) or not all(isinstance(name, str) for name in names):
            raise TypeError("names must be a list of column names (str)")
        names = list(names)
    stream = _arrow_stream(table)
    with atomic_destination(dest) as out:
        written: int = native._write_table(stream, out, isinstance(out, io.TextIOBase), names=names, **columns)
    return written
