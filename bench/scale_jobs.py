"""The scale jobs of compare.py: read_table on two threads, Dask with the
threads scheduler, and parse_sdf of a gzip file against the decompressor
alone."""

from __future__ import annotations

import importlib.util
import os
import shutil
import sys
import unittest.mock
from functools import partial
from pathlib import Path
from typing import Any, Callable, Iterable

from table_jobs import arrow_checksum, frame_checksum

import molbrook._compression
from molbrook import parse_sdf, read_table

CHUNK = 1 << 20


def gzip_copy(path: Path) -> Path:
    """PATH.gz beside the file, compressed once unless it exists."""
    packed = path.with_name(path.name + ".gz")
    if not packed.exists():
        with open(path, "rb") as source, open(packed, "wb") as raw:
            writer = molbrook._compression.open_writer(raw, packed.name)
            shutil.copyfileobj(source, writer, CHUNK)
            writer.close()
    return packed


def gzip_modules() -> dict[str, Any]:
    """The gzip readers to compare: the stdlib's, and isal's if installed."""
    import gzip

    modules: dict[str, Any] = {"stdlib": gzip}
    if importlib.util.find_spec("isal"):
        from isal import igzip

        modules["isal"] = igzip
    return modules


def decompress_chunks(path: Path, gzip_module: Any) -> None:
    with gzip_module.open(path, "rb") as f:
        while f.read(CHUNK):
            pass


def parse_with_gzip(path: Path, gzip_module: Any) -> Iterable[Any]:
    """parse_sdf of a gzip file, decompressed by `gzip_module`'s library:
    isal's zlib interface, or the standard library's once isal's is hidden."""
    hidden = {} if gzip_module.__name__.startswith("isal") else {"isal.isal_zlib": None}
    with unittest.mock.patch.dict(sys.modules, hidden):
        yield from parse_sdf(os.fsencode(path))


def dask_frame(path: Path) -> Any:
    import molbrook.dask

    return molbrook.dask.read_sdf(str(path)).compute(scheduler="threads")


def jobs(job: Callable[..., Any], streamed: Callable[..., Any], lf: Path) -> list[Any]:
    """The jobs, made with compare.py's Job class and its streamed()."""
    table = partial(read_table, str(lf))
    made = [
        job("table_1", "molbrook: read_table(workers=1)", "molbrook", lf, partial(table, workers=1),
            lambda: arrow_checksum(table(workers=1).to_arrow())),
        job("table_2", "molbrook: read_table(workers=2)", "molbrook", lf, partial(table, workers=2),
            lambda: arrow_checksum(table(workers=2).to_arrow()), agrees_with="table_1"),
        job("table_pandas_2", "molbrook: read_table(workers=2).to_pandas()", "molbrook", lf,
            lambda: table(workers=2).to_pandas(), lambda: frame_checksum(table(workers=2).to_pandas()),
            agrees_with="table_1"),
    ]
    if importlib.util.find_spec("dask"):
        made.append(job("dask_threads", "molbrook.dask.read_sdf().compute(), threads", "molbrook", lf,
                        partial(dask_frame, lf), lambda: frame_checksum(dask_frame(lf)), agrees_with="table_1"))
    packed = gzip_copy(lf)
    for backend, module in gzip_modules().items():
        made += [
            job(f"gzip_{backend}", f"floor: {backend} gzip, 1 MiB chunks", "floor", packed,
                partial(decompress_chunks, packed, module)),
            streamed(f"gzip_parse_{backend}", f"molbrook: parse_sdf(.gz), {backend} gzip", "molbrook", packed,
                     partial(parse_with_gzip, gzip_module=module), agrees_with="floor"),
        ]
    return made


# (job, reference, minimum ratio of their throughputs on the same file)
TARGETS = [
    ("table_2", "table_1", 1.6),
    ("dask_threads", "table_pandas_2", 0.6),
    ("gzip_parse_isal", "gzip_isal", 0.8),
    ("gzip_parse_stdlib", "gzip_stdlib", 0.8),
]
