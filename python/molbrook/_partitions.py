"""The partitions a distributed read cuts SD files into (Dask's tasks,
Spark's): byte ranges of a plain file, ordinal ranges of a BGZF file
through its index, any other compressed file whole; every block in exactly
one partition. URLs are cut alike, their BGZF indexes kept in the local
cache folder of each machine that reads them."""

from __future__ import annotations

import glob
import os
from collections.abc import Callable, Mapping, Sequence
from typing import Any, NamedTuple, cast

from molbrook import _remote, native
from molbrook._parallel import bgzf_index, byte_ranges, data_size, ordinal_blocks, ordinal_ranges, plain_size
from molbrook._types import Path, is_path


class Part(NamedTuple):
    """A partition: a path and the byte range of its blocks (the ordinals
    of its blocks in a BGZF file's index), or None for a whole file."""

    path: str | bytes
    span: tuple[int, int] | None
    by_ordinal: bool = False
    storage_options: Mapping[str, Any] | None = None  # of a URL
    # Of a URL: the object as it was when cut, which every read checks it is.
    stamp: Mapping[str, Any] | None = None


def _matches(path: str | bytes, storage_options: Mapping[str, Any] | None) -> list[str | bytes]:
    """A path or URL as it is when it names a file, else its glob's matches, sorted."""
    if not _remote.is_url(path):
        return [path] if os.path.exists(path) else sorted(glob.glob(path))  # type: ignore[type-var]
    fs, _ = _remote.fsspec().core.url_to_fs(path, **_remote.options(storage_options))
    with _remote.naming(cast(str, path)):
        if not fs.exists(path):
            return sorted(fs.unstrip_protocol(found) for found in fs.glob(path))
    return [path]


def expand(paths: Path | Sequence[Path], storage_options: Mapping[str, Any] | None = None) -> list[str | bytes]:
    """Paths in order: a path or URL, a glob (its matches, sorted) or a list of them."""
    if is_path(paths):
        paths = [paths]
    found: list[str | bytes] = []
    for given in paths:
        path = os.fspath(given)
        matches = _matches(path, storage_options)
        if not matches:
            raise FileNotFoundError(f"no file matches {path!r}")
        found.extend(matches)
    if not found:
        raise ValueError("reading SD files needs at least one path")
    if len({type(path) for path in found}) > 1:
        raise TypeError("SD files are read from paths of one kind: all str (str columns) or all bytes (binary columns)")
    return found


def remote_partitions(url: str, piece: Callable[[int], int], storage_options: Mapping[str, Any] | None) -> list[Part]:
    """Byte ranges of a plain object, ordinal ranges of a BGZF one by its
    index (kept in each machine's cache folder), else (or from a server
    that ignores Range) the whole object; `piece(size)` the bytes of a
    part when the (decompressed) data is `size` bytes."""
    from molbrook import _bgzf
    from molbrook._index import index_sdf

    remote = _remote.Remote(url, storage_options)
    stamp = remote.stamp
    head = remote.get(0, 1024)
    compression = native._compression_of(memoryview(head))
    if not remote.ranged:  # a server that ignores Range: each part would fetch it all
        return [Part(url, None, False, storage_options, stamp)]
    if compression is None:
        spans = byte_ranges(remote.size, piece(remote.size))
        return [Part(url, span, False, storage_options, stamp) for span in spans]
    if compression == "gzip" and _bgzf.is_bgzf(head):
        with index_sdf(url, storage_options=storage_options) as index:
            spans = ordinal_ranges(index, piece(data_size(index)))
            return [Part(url, span, True, storage_options, stamp) for span in spans]
    return [Part(url, None, False, storage_options, stamp)]


def partitions(
    paths: list[str | bytes], blocksize: int, storage_options: Mapping[str, Any] | None = None
) -> list[Part]:
    """The partitions of `paths`, in file order, of about `blocksize` bytes
    (decompressed bytes for a BGZF file, whose index is kept beside it)."""
    parts: list[Part] = []
    for path in paths:
        if _remote.is_url(path):
            parts.extend(remote_partitions(cast(str, path), lambda _: blocksize, storage_options))
            continue
        size = plain_size(path)
        if size is not None:
            parts.extend(Part(path, span) for span in byte_ranges(size, blocksize))
        elif (index := bgzf_index(path, keep=True)) is not None:
            with index:
                parts.extend(Part(path, span, True) for span in ordinal_ranges(index, blocksize))
        else:
            parts.append(Part(path, None))
    return parts


def _kept_index(part: Part) -> Any:
    """The index partitions() kept: the sidecar of a file, the cached index
    of a URL (of the object it cut, or Replaced)."""
    from molbrook._index import index_sdf

    if part.stamp is None:
        return index_sdf(part.path)
    from molbrook._remote_index import index_remote

    return index_remote(cast(str, part.path), None, None, True, part.storage_options, part.stamp)


def blocks(part: Part) -> Any:
    """The blocks of a partition, borrowed, in file order."""
    options = part.storage_options
    if part.span is None:
        return _remote.blocks(part.path, borrow=True, storage_options=options, stamp=part.stamp)
    if part.by_ordinal:
        return ordinal_blocks(_kept_index(part), part.span)
    return _remote.range_blocks(part.path, *part.span, borrow=True, storage_options=options, stamp=part.stamp)
