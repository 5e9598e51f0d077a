"""The writer of the `sdf` data source: each task writes its rows as one
SD file through write_table into a staging folder of the job, the job's
commit moves them into place as part-NNNNN.sdf (.sdf.gz, BGZF, with
compression=gzip), and an aborted job removes them all."""

from __future__ import annotations

import os
import re
import shutil
import uuid
from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from typing import Any

from molbrook._write_table import write_table
from molbrook.spark._base import DataSourceArrowWriter, WriterCommitMessage
from molbrook.spark._options import listed

_SUFFIXES = {"none": ".sdf", "gzip": ".sdf.gz"}
_PART = re.compile(r"part-(\d+)\.sdf(\.gz)?")


@dataclass
class Written(WriterCommitMessage):
    """What a task wrote: its partition's number and its file in the
    staging folder (None for a partition without rows)."""

    partition: int
    staged: str | None


class SDFWriter(DataSourceArrowWriter):
    """Writes a DataFrame as SD files into the folder `options["path"]`."""

    def __init__(self, options: Mapping[str, str], overwrite: bool) -> None:
        if "path" not in options:
            raise ValueError("df.write.format('sdf') needs a folder: .save(folder)")
        compression = options.get("compression", "none").lower()
        if compression not in _SUFFIXES:
            raise ValueError(f"compression must be one of {', '.join(_SUFFIXES)}, not {compression!r}")
        self._folder = options["path"]
        self._suffix = _SUFFIXES[compression]
        self._overwrite = overwrite
        self._staging = os.path.join(self._folder, f"_temporary-{uuid.uuid4().hex}")
        self._columns: dict[str, Any] = {part: options.get(part) for part in ("title", "molblock", "block")}
        self._names = listed(options, "names")
        os.makedirs(self._folder, exist_ok=True)

    def write(self, iterator: Iterator[Any]) -> Written:
        import pyarrow as pa  # type: ignore[import-untyped]
        from pyspark import TaskContext

        context = TaskContext.get()
        if context is None:
            raise RuntimeError("SDFWriter.write runs in a Spark task")
        number = context.partitionId()
        first = next(iterator, None)
        if first is None:
            return Written(number, None)
        os.makedirs(self._staging, exist_ok=True)
        staged = os.path.join(self._staging, f"part-{number:05d}-{context.attemptNumber()}{self._suffix}")
        batches = pa.RecordBatchReader.from_batches(first.schema, _chained(first, iterator))
        try:
            write_table(batches, staged, names=self._names, **self._columns)
        except ValueError as error:
            error.add_note(f"in Spark partition {number}, whose rows are counted from 0")
            raise
        return Written(number, staged)

    def commit(self, messages: list[Any]) -> None:
        """Moves the staged files into place, numbered after the part files
        already there (overwrite: instead of them)."""
        taken = _part_files(self._folder)
        if self._overwrite:
            for name in taken:
                os.unlink(os.path.join(self._folder, name))
            taken = {}
        first = max(taken.values(), default=-1) + 1
        written = sorted((message.partition, message.staged) for message in messages if message and message.staged)
        for offset, (_, staged) in enumerate(written):
            os.replace(staged, os.path.join(self._folder, f"part-{first + offset:05d}{self._suffix}"))
        shutil.rmtree(self._staging, ignore_errors=True)

    def abort(self, messages: list[Any]) -> None:
        """Removes every file the job's tasks staged."""
        shutil.rmtree(self._staging, ignore_errors=True)


def _chained(first: Any, rest: Iterator[Any]) -> Iterator[Any]:
    yield first
    yield from rest


def _part_files(folder: str) -> dict[str, int]:
    """The part files in a folder, by name, with their numbers."""
    found = {}
    for name in os.listdir(folder):
        match = _PART.fullmatch(name)
        if match:
            found[name] = int(match.group(1))
    return found
