"""PySpark's data source classes, or stand-ins when PySpark is missing, so
that molbrook.spark imports without it and says what to install when used."""

from __future__ import annotations

from typing import Any

__all__ = [
    "FILTERS",
    "MISSING",
    "DataSource",
    "DataSourceArrowWriter",
    "DataSourceReader",
    "InputPartition",
    "WriterCommitMessage",
    "require",
]


def _missing() -> ImportError | None:
    """Why PySpark's data sources cannot be imported, or None."""
    try:
        import pyspark.sql.datasource  # noqa: F401
    except ImportError as error:
        return error
    return None


MISSING = _missing()
if MISSING is None:
    from pyspark.sql.datasource import (
        DataSource,
        DataSourceArrowWriter,
        DataSourceReader,
        InputPartition,
        WriterCommitMessage,
    )
else:

    class _Missing:
        """Stands in for PySpark's classes: making one says what to install."""

        def __init__(self, *args: object, **kwargs: object) -> None:
            require()

    DataSource = DataSourceArrowWriter = DataSourceReader = InputPartition = WriterCommitMessage = _Missing  # type: ignore[misc,assignment]

try:  # filters reach Python data sources from Spark 4.1 on
    from pyspark.sql import datasource as _datasource

    FILTERS: Any = _datasource if hasattr(_datasource, "Filter") else None
except ImportError:
    FILTERS = None


def require() -> None:
    """ImportError saying what to install, where PySpark is missing."""
    if MISSING is not None:
        raise ImportError(
            "molbrook.spark needs PySpark 4.0 or later; install it with: pip install 'molbrook[spark]'"
        ) from MISSING
