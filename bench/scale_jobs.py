"""The scale jobs of compare.py: read_table on two threads, Dask with the
threads scheduler, and parse_sdf of compressed copies (gzip, bzip2, xz,
zstd) against each decompressor alone."""

from __future__ import annotations

import bz2
import gzip
import importlib.util
import lzma
import os
import shutil
import subprocess
import sys
import unittest.mock
from functools import partial
from pathlib import Path
from typing import Any, Callable, Iterable

from common import Checksum
from table_jobs import arrow_checksum, frame_checksum

import molbrook._compression
from molbrook import parse_sdf, read_table

CHUNK = 1 << 20


def gzip_copy(path: Path) -> Path:
    """PATH.gz beside the file, as molbrook writes it (BGZF, for the index
    jobs), compressed once unless it exists."""
    packed = path.with_name(path.name + ".gz")
    if not packed.exists():
        with open(path, "rb") as source, open(packed, "wb") as raw:
            writer = molbrook._compression.open_writer(raw, packed.name)
            shutil.copyfileobj(source, writer, CHUNK)
            writer.close()
    return packed


# The copies that the decompression jobs read are made by each format's
# command-line tool at its default level (gzip's is -6); a format whose tool
# is missing is skipped.
TOOLS = {"gzip": (["gzip", "-6", "-c"], ".gz"), "bzip2": (["bzip2", "-c"], ".bz2"), "xz": (["xz", "-c"], ".xz"), "zstd": (["zstd", "-q", "-c"], ".zst")}


def packed_copy(path: Path, command: list[str], extension: str) -> Path:
    """bench/data/packed/PATH.EXT compressed by `command` (reading standard
    input, writing standard output) once unless it exists."""
    packed = path.parent / "packed" / (path.name + extension)
    if not packed.exists():
        packed.parent.mkdir(exist_ok=True)
        written = packed.with_name(packed.name + ".part")
        with open(path, "rb") as source, open(written, "wb") as out:
            subprocess.run(command, stdin=source, stdout=out, check=True)
        written.replace(packed)
    return packed


def gzip_modules() -> dict[str, Any]:
    """The gzip readers to compare: the stdlib's, and isal's if installed."""
    modules: dict[str, Any] = {"stdlib": gzip}
    if importlib.util.find_spec("isal"):
        from isal import igzip

        modules["isal"] = igzip
    return modules


def format_modules() -> dict[str, Any]:
    """The modules that read bzip2, xz and zstd (zstd's as molbrook chooses
    it, when one is installed), for the formats whose tool is installed."""
    modules: dict[str, Any] = {"bzip2": bz2, "xz": lzma}
    try:
        modules["zstd"] = molbrook._compression._zstd()
    except ImportError:
        pass
    return {format: module for format, module in modules.items() if shutil.which(TOOLS[format][0][0])}


def decompress_chunks(path: Path, module: Any) -> None:
    """The floor: `module`'s file reader read in 1 MiB chunks."""
    with module.open(path, "rb") as f:
        while f.read(CHUNK):
            pass


def parse_with_gzip(path: Path, gzip_module: Any) -> Iterable[Any]:
    """parse_sdf of a gzip file, decompressed by `gzip_module`'s library:
    isal's decompressor, or the standard library's zlib once isal's is
    hidden."""
    hidden = {} if gzip_module.__name__.startswith("isal") else {"isal.igzip_lib": None}
    with unittest.mock.patch.dict(sys.modules, hidden):
        yield from parse_sdf(os.fsencode(path))


def dask_frame(path: Path, threads: int | None = None) -> Any:
    """The frame of read_sdf computed by Dask's threaded scheduler, the pass
    that finds its names included, on `threads` threads (default: one per
    CPU)."""
    import dask

    import molbrook.dask

    with dask.config.set(scheduler="threads", num_workers=threads):
        return molbrook.dask.read_sdf(str(path)).compute()


def header_count(path: Path) -> int:
    """The floor of the dense file: its record headers found by the core's
    search over the mapped file (molbrook._testcore, built with the tests)."""
    from molbrook import _testcore

    count: int | None = _testcore.count_headers(os.fsencode(path))
    if count is None:
        raise SystemExit(f"{path} is not mapped: the header floor needs a local file")
    return count


def cell_checksum(table: Any) -> Checksum:
    """The non-null cells of a table: its records, as the floor counts them."""
    return Checksum(None, arrow_checksum(table.to_arrow()).records)


def jobs(job: Callable[..., Any], streamed: Callable[..., Any], lf: Path, dense: Path) -> list[Any]:
    """The jobs, made with compare.py's Job class and its streamed();
    `dense` is the file of blocks with records."""
    table = partial(read_table, str(lf))
    made = [
        job("headers_floor", 'floor: mapped file, its b"\\n>" counted natively', "floor", dense,
            partial(header_count, dense), lambda: Checksum(None, header_count(dense))),
        job("table_1_dense", "molbrook: read_table(workers=1), records file", "molbrook", dense,
            partial(read_table, str(dense), workers=1), lambda: cell_checksum(read_table(str(dense), workers=1)),
            agrees_with="headers_floor", must_agree=False),
        job("table_1", "molbrook: read_table(workers=1)", "molbrook", lf, partial(table, workers=1),
            lambda: arrow_checksum(table(workers=1).to_arrow())),
        job("table_2", "molbrook: read_table(workers=2)", "molbrook", lf, partial(table, workers=2),
            lambda: arrow_checksum(table(workers=2).to_arrow()), agrees_with="table_1"),
        job("table_2_dense", "molbrook: read_table(workers=2), records file", "molbrook", dense,
            partial(read_table, str(dense), workers=2), lambda: cell_checksum(read_table(str(dense), workers=2)),
            agrees_with="table_1_dense"),
        job("table_pandas_2", "molbrook: read_table(workers=2).to_pandas()", "molbrook", lf,
            lambda: table(workers=2).to_pandas(), lambda: frame_checksum(table(workers=2).to_pandas()),
            agrees_with="table_1"),
    ]
    if importlib.util.find_spec("dask"):
        made.append(job("dask_threads", "molbrook.dask.read_sdf().compute(), threads", "molbrook", lf,
                        partial(dask_frame, lf), lambda: frame_checksum(dask_frame(lf)), agrees_with="table_1"))
        made.append(job("dask_1_thread", "molbrook.dask.read_sdf().compute(), one thread", "molbrook", lf,
                        partial(dask_frame, lf, 1), lambda: frame_checksum(dask_frame(lf, 1)), agrees_with="table_1"))
    packed = packed_copy(lf, *TOOLS["gzip"])
    for backend, module in gzip_modules().items():
        made += [
            job(f"gzip_{backend}", f"floor: {backend} gzip, 1 MiB chunks", "floor", packed,
                partial(decompress_chunks, packed, module)),
            streamed(f"gzip_parse_{backend}", f"molbrook: parse_sdf(.gz), {backend} gzip", "molbrook", packed,
                     partial(parse_with_gzip, gzip_module=module), agrees_with="floor"),
        ]
    for format, module in format_modules().items():
        packed = packed_copy(lf, *TOOLS[format])
        made += [
            job(format, f"floor: {module.__name__} {format}, 1 MiB chunks", "floor", packed,
                partial(decompress_chunks, packed, module)),
            streamed(f"{format}_parse", f"molbrook: parse_sdf({packed.suffix})", "molbrook", packed,
                     lambda p: parse_sdf(os.fsencode(p)), agrees_with="floor"),
        ]
    return made


# (job, reference, minimum ratio of their throughputs on the same file)
TARGETS = [
    ("table_1_dense", "headers_floor", 0.5),
    ("table_2", "table_1", 1.6),
    ("table_2_dense", "table_1_dense", 1.6),
    ("dask_threads", "dask_1_thread", 1.5),
    ("dask_threads", "table_pandas_2", 0.6),
    ("gzip_parse_isal", "gzip_isal", 0.9),
    ("gzip_parse_stdlib", "gzip_stdlib", 0.95),
    ("bzip2_parse", "bzip2", 0.9),
    ("xz_parse", "xz", 0.9),
    ("zstd_parse", "zstd", 0.9),
]
