"""parse_sdf and parse_sdf_range: the native readers of paths and file
objects, and of URLs through fsspec."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from molbrook import _remote

__all__ = ["parse_sdf", "parse_sdf_range"]


def parse_sdf(source: Any, *, borrow: bool = False, storage_options: Mapping[str, Any] | None = None) -> Any:
    """Lazily parse SDBlocks from an SDF path, URL or file object.

    A str path gives str blocks, a bytes path bytes blocks, a file object
    blocks of the kind it reads; compressed input (gzip, bzip2, xz, zstd) is
    told by its content. A str of the form PROTOCOL://... whose protocol
    fsspec knows (s3://, gs://, az://, https://, memory://; not file://) is
    a URL, read through fsspec as a str path is read, ahead of the parser on
    a thread in requests of at least 4 MiB (the `remote` extra; a local path
    of that form is written ./...). `storage_options` (a dict, as pandas and
    Dask take it) go to fsspec for a URL. With `borrow=True` blocks of a
    mapped file share its memory.

    Example:
        >>> for block in parse_sdf("s3://bucket/library.sdf.gz", storage_options={"anon": True}):  # doctest: +SKIP
        ...     print(block.title)
    """
    return _remote.blocks(source, borrow=borrow, storage_options=storage_options)


def parse_sdf_range(path: Any, start: int, end: int, *, borrow: bool = False,
                    storage_options: Mapping[str, Any] | None = None) -> Any:
    """Lazily parse the SDBlocks of an SDF path or URL whose first byte
    lies at an offset in [start, end): the blocks parse_sdf(path) gives
    there. Ranges cut at any offsets give every block once, so processes
    can share a large file. The data must be plain (uncompressed).

    For a URL the range is fetched by ranged requests, and past `end` only
    as much as the last block needs, in growing steps; `storage_options`
    go to fsspec.

    Example:
        >>> [b.title for b in parse_sdf_range("library.sdf", 0, 4096)]  # doctest: +SKIP
        ['aspirin', 'caffeine']
    """
    return _remote.range_blocks(path, start, end, borrow=borrow, storage_options=storage_options)
