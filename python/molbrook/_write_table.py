"""Tables back to SD files: a block per row."""

from __future__ import annotations

import io
from collections.abc import Mapping, Sequence
from typing import Any

from molbrook import native
from molbrook._float_format import check_float_format, formatted_floats
from molbrook._optional import require
from molbrook._output import atomic_destination


def _from_lists(columns: Mapping[Any, Any]) -> Any:
    """A dict of equal-length lists as a pyarrow table, each column's type
    inferred from its values; a column pyarrow cannot type is a TypeError
    naming it, a str that is not UTF-8 (a lone surrogate, as
    surrogateescape makes of bytes that are not) a ValueError naming its
    row and column."""
    pa = require("pyarrow", "arrow")
    arrays = {}
    for name, values in columns.items():
        values = list(values)
        try:
            arrays[str(name)] = pa.array(values)
        except (pa.ArrowInvalid, pa.ArrowTypeError) as error:
            raise TypeError(f"column {str(name)!r}: {error}") from None
        except UnicodeEncodeError:
            row = next(row for row, value in enumerate(values) if isinstance(value, str) and not _is_utf8(value))
            raise ValueError(
                f"row {row}, column {str(name)!r} is not UTF-8: it holds a lone surrogate, "
                "as bytes that are not UTF-8 read with surrogateescape become"
            ) from None
    if len({len(array) for array in arrays.values()}) > 1:
        raise ValueError("the table's columns differ in length")
    return pa.table(arrays)


def _is_utf8(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _from_pandas(frame: Any) -> Any:
    """A DataFrame's columns (not its index) as a pyarrow table: missing
    values (None, NaN, NA, NaT) become nulls."""
    pa = require("pyarrow", "arrow")
    try:
        return pa.Table.from_pandas(frame, preserve_index=False)
    except (pa.ArrowInvalid, pa.ArrowTypeError) as error:
        raise TypeError(str(error)) from None


def _arrow_table(table: Any) -> Any:
    """The table as an object with __arrow_c_stream__."""
    if isinstance(table, Mapping):
        return _from_lists(table)
    if type(table).__module__.partition(".")[0] == "pandas" and hasattr(table, "columns"):
        return _from_pandas(table)
    if not hasattr(table, "__arrow_c_stream__"):
        raise TypeError(
            "write_table takes a table with __arrow_c_stream__, a pandas DataFrame "
            f"or a dict of equal-length lists, not {type(table).__name__}"
        )
    return table


def _shown_names(table: Any) -> list[Any]:
    """The column names a table shows to Python (pyarrow's column_names or
    schema.names, polars' columns), whole: Arrow's C interface ends each at
    its first NUL. Empty when it shows none."""
    for attribute in ("column_names", "columns"):
        names = getattr(table, attribute, None)
        if isinstance(names, list):
            return names
    names = getattr(getattr(table, "schema", None), "names", None)
    return names if isinstance(names, list) else []


def _check_no_nul(names: Sequence[Any]) -> None:
    """ValueError for a column name holding NUL, which the Arrow stream would
    cut short (a, NUL, b written as `<a>`), before the stream is taken."""
    for name in names:
        if isinstance(name, str) and "\x00" in name:
            raise ValueError(
                f"column {name!r} cannot be a record name: it holds a NUL character, "
                "which Arrow column names cannot hold"
            )


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
    float_format: str | None = None,
    storage_options: Mapping[str, Any] | None = None,
) -> int:
    """Write a block per row of `table` to `dest`; return the blocks written.

    `table` is anything with `__arrow_c_stream__` (pyarrow, polars, a
    RecordTable), a pandas DataFrame or a dict of equal-length lists; it is
    read batch by batch. `dest` is what `write_sdf` takes: a path is
    written whole or not at all, compressed by its extension; a text file
    object gets str, a binary one bytes, the same bytes either way. A URL
    (see `parse_sdf`) becomes an object only once whole, `storage_options`
    going to fsspec.

    Each block is the `title` column's value as its title line, then the
    `molblock` column's molblock (title line through M  END, its own title
    line kept without `title`) or else an empty CTAB, then a record per
    column of `names` (default: every column but `molblock` and `title`),
    then `$$$$`. A null writes no record; integers are written as digits,
    floats as `repr` writes them (or by the format spec `float_format`,
    such as ".4g", which needs pyarrow), bools as True/False, dates and
    times in ISO 8601, decimals as plain digits, strings and binary as
    they are.

    `block` names a column of whole blocks (as `bytes(block)` or
    `str(block)` gives them), each written exactly as it is; the columns
    of `names` (default: none) are then set on it as `set_record` does.

    A column of another type (lists, structs, ...) is a TypeError naming
    it; a name or value that would not read back (a blank line or a $$$$
    line in a value, a name with "<", ">" or a line break, a molblock
    without M  END) a ValueError naming its row and column, raised before
    its block is written. A column name holding NUL, which Arrow column
    names cannot hold, is a ValueError before anything is written. The
    blocks are written on the calling thread.

    Parameters
    ----------
    table : table
        Anything with `__arrow_c_stream__`, a pandas DataFrame, or a dict of
        equal-length lists.
    dest : Path or file object
        Where the blocks go.
    molblock, title : str, optional
        The columns holding each block's molblock and title.
    names : sequence of str, optional
        The columns written as records.
    block : str, optional
        A column of whole blocks, written as they are.
    float_format : str, optional
        A format spec for floats, such as ".4g".
    storage_options : dict, optional
        Options for fsspec when a source or destination is a URL
        (credentials, endpoint).

    Returns
    -------
    int
        The number of blocks written.

    Raises
    ------
    TypeError
        A column of lists, structs or another unwritable type.
    ValueError
        A name or value that would not read back as written.

    Examples
    --------
    >>> import molbrook
    >>> molbrook.write_table({"ID": ["m1"], "score": [0.123456]}, "out.sdf", title="ID", float_format=".3f")
    1
    >>> print(open("out.sdf").read())
    m1
    <BLANKLINE>
    <BLANKLINE>
      0  0  0  0  0  0  0  0  0  0999 V2000
    M  END
    > <score>
    0.123
    <BLANKLINE>
    $$$$
    <BLANKLINE>
    """
    float_format = check_float_format(float_format)
    columns = {
        "title": _column_name(title, "title"),
        "molblock": _column_name(molblock, "molblock"),
        "block": _column_name(block, "block"),
    }
    if names is not None:
        if isinstance(names, str) or not all(isinstance(name, str) for name in names):
            raise TypeError("names must be a list of column names (str)")
        names = list(names)
    table = _arrow_table(table)
    _check_no_nul([*_shown_names(table), *(names or ()), *(column for column in columns.values() if column)])
    if float_format is not None:
        table = formatted_floats(table, float_format)
    stream = table.__arrow_c_stream__()
    with atomic_destination(dest, storage_options) as out:
        written: int = native._write_table(stream, out, text=isinstance(out, io.TextIOBase), names=names, **columns)
    return written
