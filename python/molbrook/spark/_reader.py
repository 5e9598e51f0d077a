"""The reader of the `sdf` data source: a partition per part of a file,
as molbrook.dask cuts them, each read by molbrook's table builder into
Arrow record batches shaped to the schema."""

from __future__ import annotations

from collections.abc import Iterator, Mapping
from typing import Any

from molbrook import _partitions
from molbrook._table import scan_table
from molbrook.spark import _filters
from molbrook.spark._base import DataSourceReader, InputPartition
from molbrook.spark._options import Column, blocksize, resolve, storage_options

# Rows per Arrow batch handed to Spark.
BATCH_ROWS = 65536


class FilePart(InputPartition):
    """A partition of the `sdf` source: a part of one file."""

    def __init__(self, part: _partitions.Part) -> None:
        self.part = part


class SDFReader(DataSourceReader):
    """Reads the columns of `schema` from the files the options name."""

    def __init__(self, schema: Any, columns: list[Column], options: Mapping[str, str]) -> None:
        self._arrow_schema = _arrow_schema(schema)
        self._columns = columns
        self._options = dict(options)
        self._pushed: list[_filters.Pushed] = []

    def partitions(self) -> list[FilePart]:
        files = resolve(self._options)
        parts = _partitions.partitions(list(files), blocksize(self._options), storage_options(self._options))
        return [FilePart(part) for part in parts]

    def read(self, partition: Any) -> Iterator[Any]:
        """The Arrow batches of a FilePart."""
        import pyarrow as pa  # type: ignore[import-untyped]

        records = [column for column in self._columns if column.part is None]
        parts: dict[str, Any] = {column.part: column.name for column in self._columns if column.part is not None}
        scan = scan_table(
            _partitions.blocks(partition.part),
            [column.name for column in records],
            types={column.name: column.kind for column in records},
            batch_rows=BATCH_ROWS,
            workers=1,
            **parts,
        )
        with scan:
            for batch in pa.RecordBatchReader.from_stream(scan):
                shaped = self._shaped(batch)
                if shaped.num_rows:
                    yield shaped

    def _shaped(self, batch: Any) -> Any:
        """The batch's columns in the schema's order and types, then the
        rows the pushed filters keep."""
        import pyarrow as pa

        arrays = [batch.column(field.name).cast(field.type) for field in self._arrow_schema]
        shaped = pa.RecordBatch.from_arrays(arrays, schema=self._arrow_schema)
        kept = _filters.mask(shaped, self._pushed)
        return shaped if kept is None else shaped.filter(kept)


class FilteringSDFReader(SDFReader):
    """SDFReader taking the filters Spark pushes down that it can apply."""

    def pushFilters(self, filters: list[Any]) -> Iterator[Any]:
        for spark_filter in filters:
            pushed = _filters.accepted(spark_filter, self._columns)
            if pushed is None:
                yield spark_filter
            else:
                self._pushed.append(pushed)


def _arrow_schema(schema: Any) -> Any:
    from pyspark.sql.pandas.types import to_arrow_schema

    return to_arrow_schema(schema, timezone="UTC")
