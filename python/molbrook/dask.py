"""SD files as Dask DataFrames (the `dask` extra).

A plain file is cut into byte ranges of about `blocksize`, each read by a
task with `parse_sdf_range`, a BGZF file into ranges of blocks of its
index, so that the partitions of one file are read on every core of a
machine or every worker of a cluster; another compressed file is one
partition. `to_sdf` writes a frame back, an SD file per
partition. Importing molbrook does not import Dask.
"""

from __future__ import annotations

import contextlib
import importlib
import io
import os
from collections.abc import Mapping, Sequence
from typing import Any

from molbrook import _parallel, _remote, _table
from molbrook._partitions import Part
from molbrook._partitions import blocks as _blocks
from molbrook._partitions import expand as _expand
from molbrook._partitions import partitions as _parts
from molbrook._types import Name, Path, byte_size, deprecated
from molbrook._write_table import write_table

__all__ = ["read_sdf", "to_sdf"]


def _import_dask() -> Any:
    try:
        import dask
        import dask.dataframe
    except ImportError as error:
        raise ImportError("molbrook.dask needs Dask; install it with: pip install 'molbrook[dask]'") from error
    return dask


def _part_names(part: Part) -> list[bytes]:
    """The record names of a partition, in order of first appearance."""
    return _table.record_names(_blocks(part))


def _frame(table: Any) -> Any:
    """Every column Arrow-backed, so that a partition's dtypes do not
    depend on whether it holds nulls."""
    return table.to_arrow().to_pandas(types_mapper=importlib.import_module("pandas").ArrowDtype)


def _read_part(
    part: Part,
    names: list[Any],
    title: str | None,
    types: Mapping[Any, type] | None,
    columns: list[str] | None = None,
) -> Any:
    """One partition; `columns`, when Dask projects, limits what is read."""
    shown = dict(zip(_column_names(names, isinstance(part[0], bytes)), names))
    if columns is not None:
        names = [shown[column] for column in columns if column in shown]
        title = title if title in columns else None
    table = _table.read_table(_blocks(part), names, title=title, types=types)
    frame = _frame(table)
    return frame if columns is None else frame[list(columns)]


def _column_names(names: list[Any], binary: bool) -> list[str]:
    """The column name of each record name, as read_table shows it."""
    raw = [name.encode("utf-8", "surrogateescape") if isinstance(name, str) else name for name in names]
    if binary:
        return [name.decode("utf-8", "backslashreplace") for name in raw]
    return [name.decode("utf-8", "surrogateescape") for name in raw]


def _found_names(dask: Any, parts: list[Part]) -> list[Any]:
    """Every record name of the files, in order of first appearance, found
    by Dask tasks; str names for str paths."""
    found = dask.compute(*[dask.delayed(_part_names)(part) for part in parts])
    names = list(dict.fromkeys(name for part_names in found for name in part_names))
    if isinstance(parts[0][0], bytes):
        return names
    return [name.decode("utf-8", "surrogateescape") for name in names]


def read_sdf(
    paths: Path | Sequence[Path],
    names: Sequence[Name] | None = None,
    *,
    title: str | None = None,
    types: Mapping[Name, type] | None = None,
    blocksize: int | str = _parallel.BLOCKSIZE,
    storage_options: Mapping[str, Any] | None = None,
) -> Any:
    """The SD data records of files as a `dask.dataframe.DataFrame`: a row per block, a
    column per record name, as `read_table` reads them.

    `paths` is a path, a glob or a list of them, all str (str columns) or
    all bytes (binary columns). A plain file is cut into partitions of
    about `blocksize` bytes (an int, or a string such as "64MiB" as
    `sort_sdf`'s `memory` takes: K, M, G count in powers of 1024), a BGZF
    file (as molbrook writes .gz files) into partitions of about as many
    decompressed bytes by its index, kept beside it; another compressed
    file is a partition of its own. With `names=None` a first
    pass, run as Dask tasks, finds every record name in order of first
    appearance. Columns are Arrow-backed; selecting columns reads only
    those records. Partitions are read by Dask's workers (its threads,
    processes or cluster: `dask.config` chooses, not a `workers` argument).

    URLs (s3://, gs://, https://, ...; see `molbrook.parse_sdf`) and their
    globs are read through fsspec, `storage_options` going to it, cut as
    files are: a cluster needs no shared disk. The index of a BGZF object
    is kept in each machine's cache folder.

    Parameters
    ----------
    paths : Path or sequence of Path
        Files, URLs or globs, all str or all bytes.
    names : sequence of Name, optional
        The record names to make columns of; by default every name.
    title : str, optional
        The name of a first column of block titles.
    types : mapping of Name to type, optional
        As for `read_table`.
    blocksize : int or str, default "128MiB"
        About how many bytes a partition reads: an int, or a string such
        as "64MiB" (K, M, G count in powers of 1024).
    storage_options : dict, optional
        Credentials and settings for fsspec, for URLs.

    Returns
    -------
    dask.dataframe.DataFrame
        A row per block, a column per name.

    Examples
    --------
    >>> import molbrook.dask
    >>> frame = molbrook.dask.read_sdf("python/molbrook/data/sample.sdf", ["ID", "MW"], types={"MW": float})
    >>> frame.compute()["MW"].tolist()
    [46.07, 60.05, 31.06, 78.11, 41.05]
    """
    size = byte_size(blocksize, "blocksize")
    dask = _import_dask()
    parts = _parts(_expand(paths, storage_options), size, storage_options)
    chosen = list(names) if names is not None else _found_names(dask, parts)
    empty = io.BytesIO(b"") if isinstance(parts[0][0], bytes) else io.StringIO("")
    meta = _frame(_table.read_table(empty, chosen, title=title, types=types))
    return dask.dataframe.from_map(
        _read_part, parts, args=(chosen, title, types), meta=meta, label="read-sdf", enforce_metadata=False
    )


def _part_paths(path: str, count: int) -> list[str]:
    """`path` with its "*" replaced by each partition's number, zero-padded
    to one width so that the files sort in partition order."""
    if path.count("*") != 1:
        raise ValueError(f"to_sdf needs a path with one '*', for the partition number, not {path!r}")
    width = len(str(count - 1))
    return [path.replace("*", str(number).zfill(width)) for number in range(count)]


def to_sdf(
    frame: Any,
    dest: str | os.PathLike[str] | None = None,
    *,
    molblock: str | None = None,
    title: str | None = None,
    names: Sequence[str] | None = None,
    block: str | None = None,
    storage_options: Mapping[str, Any] | None = None,
    path: str | os.PathLike[str] | None = None,
) -> list[str]:
    """Write each partition of a `dask.dataframe.DataFrame` as an SD file,
    in parallel on Dask's workers, and return the paths in partition order.

    `dest` holds one "*", replaced by the partition's number (zero-padded,
    so that the files sort in order); each file is written whole or not at
    all by `molbrook.write_table`, which the other arguments go to.
    Concatenated, the files are `write_table` of the computed frame. When
    a write fails, the others are waited for and the files written removed
    before the first failure is raised. A URL (`s3://bucket/out-*.sdf`)
    gets an object per partition, `storage_options` going to fsspec.
    `path=` is the old spelling of `dest=`, kept for one release.

    Parameters
    ----------
    frame : dask.dataframe.DataFrame
        The frame to write.
    dest : str or os.PathLike
        The files' path or URL, with one "*" for the partition number.
    molblock, title, names, block
        As for `write_table`.
    storage_options : dict, optional
        Credentials and settings for fsspec, for a URL.
    path : str or os.PathLike, optional
        The old spelling of `dest`, kept for one release.

    Returns
    -------
    list of str
        The paths written, in partition order.

    Examples
    --------
    >>> import dask.dataframe, pandas, molbrook.dask
    >>> frame = dask.dataframe.from_pandas(pandas.DataFrame({"ID": ["a", "b"]}), npartitions=2)
    >>> molbrook.dask.to_sdf(frame, "out-*.sdf", title="ID")
    ['out-0.sdf', 'out-1.sdf']
    """
    if path is not None:
        deprecated("to_sdf(frame, path=...)", "to_sdf(frame, dest=...)")
        if dest is not None:
            raise TypeError("to_sdf() takes dest or path, not both")
        dest = path
    if dest is None:
        raise TypeError("to_sdf() needs dest, a path with one '*' for the partition number")
    dask = _import_dask()
    paths = _part_paths(os.fspath(dest), frame.npartitions)
    options = {"molblock": molblock, "title": title, "names": names, "block": block, "storage_options": storage_options}
    before = [_identity(part_path, storage_options) for part_path in paths]
    try:
        failures = dask.compute(
            *[dask.delayed(_write_part)(part, part_path, options) for part, part_path in zip(frame.to_delayed(), paths)]
        )
        failed = next((failure for failure in failures if failure is not None), None)
        if failed is not None:
            raise failed
    except BaseException:
        _remove_written(paths, before, storage_options)
        raise
    return paths


def _write_part(part: Any, path: str, options: Mapping[str, Any]) -> Exception | None:
    """Writes a partition, returning its failure rather than raising it: a
    failed task ends a Dask computation while others still run, and their
    files would appear after to_sdf had reported the failure."""
    try:
        write_table(part, path, **options)
    except Exception as error:
        return error
    return None


def _identity(path: str, storage_options: Mapping[str, Any] | None) -> Any:
    try:
        if _remote.is_url(path):
            return _remote.Remote(path, storage_options).identity
        info = os.stat(path)
    except FileNotFoundError:
        return None
    return info.st_dev, info.st_ino


def _remove_written(paths: list[str], before: list[Any], storage_options: Mapping[str, Any] | None) -> None:
    """The files a failed to_sdf wrote: each write replaces its file whole,
    so a written one is another file than was there before."""
    for path, was in zip(paths, before):
        if _identity(path, storage_options) not in (None, was):
            with contextlib.suppress(FileNotFoundError):
                if _remote.is_url(path):
                    fs, key = _remote.fsspec().core.url_to_fs(path, **_remote.options(storage_options))
                    fs.rm(key)
                else:
                    os.unlink(path)
