"""Filters that Spark pushes down to the `sdf` reader (Spark 4.1 on),
applied to each Arrow batch before it reaches Spark: equality and
comparisons of a column with a value of its own type, IS NULL and IS NOT
NULL. Each keeps exactly the rows Spark would keep, NaN included (Spark
orders NaN above every other number and equal to itself)."""

from __future__ import annotations

import math
from collections.abc import Iterable
from typing import Any, NamedTuple

from molbrook.spark._base import FILTERS
from molbrook.spark._options import Column

_COMPARISONS = {
    "EqualTo": "equal",
    "GreaterThan": "greater",
    "GreaterThanOrEqual": "greater_equal",
    "LessThan": "less",
    "LessThanOrEqual": "less_equal",
}
_NULL_TESTS = {"IsNull": "is_null", "IsNotNull": "is_valid"}


class Pushed(NamedTuple):
    """A filter the reader applies: a pyarrow.compute function, a column and
    the value compared with (None for the null tests)."""

    function: str
    column: str
    value: Any = None


def accepted(spark_filter: Any, columns: list[Column]) -> Pushed | None:
    """The filter as the reader applies it, None for one left to Spark."""
    if FILTERS is None or len(getattr(spark_filter, "attribute", ())) != 1:
        return None
    kinds = {column.name: column.kind for column in columns}
    name = spark_filter.attribute[0]
    kind = type(spark_filter).__name__
    if name not in kinds:
        return None
    if kind in _NULL_TESTS:
        return Pushed(_NULL_TESTS[kind], name)
    value = getattr(spark_filter, "value", None)
    if kind in _COMPARISONS and _comparable(value, kinds[name]):
        return Pushed(_COMPARISONS[kind], name, value)
    return None


def _comparable(value: object, kind: type) -> bool:
    """A value compared with a column as Spark compares them: a str with
    strings (bytewise), a number but NaN with numbers."""
    if kind is str:
        return isinstance(value, str)
    if isinstance(value, bool):
        return False
    if isinstance(value, int):
        return True
    return kind is float and isinstance(value, float) and not math.isnan(value)


def mask(batch: Any, pushed: Iterable[Pushed]) -> Any:
    """The rows of a pyarrow.RecordBatch that every filter keeps (null
    where a comparison meets a null, which filtering drops), or None for
    no filter."""
    import pyarrow as pa  # type: ignore[import-untyped]
    import pyarrow.compute as pc  # type: ignore[import-untyped]

    kept = None
    for test in pushed:
        column = batch.column(test.column)
        if test.value is None:
            found = pc.call_function(test.function, [column])
        else:
            found = pc.call_function(test.function, [column, pa.scalar(test.value, column.type)])
            if test.function in ("greater", "greater_equal") and pa.types.is_floating(column.type):
                found = pc.or_(found, pc.is_nan(column))
        kept = found if kept is None else pc.and_(kept, found)
    return kept
