"""`float_format=`: float cells written by a format spec (".4g") instead of
`repr`, the one rule write_table and merge_records share."""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

from molbrook._optional import require


def check_float_format(spec: object) -> str | None:
    """`spec` if it is None or a format spec that formats floats, else
    TypeError or ValueError, before anything is written."""
    if spec is None:
        return None
    if not isinstance(spec, str):
        raise TypeError(f"float_format must be None or a format spec (str), not {type(spec).__name__}")
    try:
        format(1.5, spec)
    except ValueError as error:
        raise ValueError(f"float_format {spec!r} is not a format spec for floats: {error}") from None
    return spec


def float_text(value: float, spec: str | None) -> str:
    """A float as record text: `repr` (the shortest text that reads back
    exactly) without a spec."""
    return repr(value) if spec is None else format(value, spec)


def formatted_floats(table: Any, spec: str) -> Any:
    """The Arrow stream of `table` with every float column as strings of
    `spec`, batch by batch (needs pyarrow); nulls stay null."""
    pa = require("pyarrow", "arrow")
    reader = pa.RecordBatchReader.from_stream(table)
    floats = {i for i, field in enumerate(reader.schema) if pa.types.is_floating(field.type)}
    if not floats:
        return reader
    schema = pa.schema(
        [field.with_type(pa.string()) if i in floats else field for i, field in enumerate(reader.schema)]
    )

    def batches() -> Iterator[Any]:
        for batch in reader:
            yield pa.record_batch(
                [
                    pa.array([None if v is None else format(v, spec) for v in column.to_pylist()], pa.string())
                    if i in floats
                    else column
                    for i, column in enumerate(batch.columns)
                ],
                schema=schema,
            )

    return pa.RecordBatchReader.from_batches(schema, batches())
