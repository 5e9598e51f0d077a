"""parse_sdf and parse_sdf_range: the native readers of paths and file
objects, and of URLs through fsspec."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from molbrook import _remote

__all__ = ["parse_sdf", "parse_sdf_range"]


def parse_sdf(source: Any, *, borrow: bool = False, storage_options: Mapping[str, Any] | None = None) -> Any:
    """Lazily parse the SDBlocks of an SD file or URL, one block at a time.

    The file is read in bounded memory whatever its size: a regular file on
    a local filesystem is mapped, anything else read in chunks. Content that
    starts with gzip, bzip2 or xz magic bytes (zstd too, where a zstd module
    can be imported) is decompressed as it is read, whatever the file is
    called; a gzip or zstd file of a megabyte or more is decompressed on a
    thread of its own, a few megabytes ahead of the parser. A str of
    the form PROTOCOL://... whose protocol fsspec knows (s3://, gs://,
    az://, https://, memory://; not file://) is a URL, read
    through fsspec (the `remote` extra) as a str path is read, ahead of the
    parser on a thread, in requests of at least 4 MiB; a local path of that
    form is written ./...

    Parameters
    ----------
    source : str, bytes, os.PathLike or file object
        A str path or URL gives str blocks, read as text (CRLF and a lone CR
        become LF); a bytes path gives bytes blocks, kept byte for byte. A
        file object gives str blocks when it reads str, bytes blocks when it
        reads bytes.
    borrow : bool, default False
        Blocks share the file's read-only mapping instead of copying their
        bytes (for a mapped file; otherwise ignored). They stay valid while
        any of them is alive.
    storage_options : dict, optional
        Credentials and settings for fsspec (as pandas and Dask take them),
        for a URL.

    Returns
    -------
    Iterator[SDBlock]
        The blocks in file order; a file is opened on the first `next()`.

    Raises
    ------
    OSError
        The file or object cannot be opened or read (naming it).
    ValueError
        A URL's object was replaced while it was read (a new ETag or
        modification time), naming it: no block mixes the two.
    EOFError
        Compressed input ends inside its compressed data (the blocks read
        before stay valid; no block cut short is given).

    Examples
    --------
    >>> import molbrook
    >>> [block.title for block in molbrook.parse_sdf("python/molbrook/data/sample.sdf")][:2]
    ['ethanol', 'acetic acid']
    >>> next(molbrook.parse_sdf(b"python/molbrook/data/sample.sdf")).title
    b'ethanol'
    """
    return _remote.blocks(source, borrow=borrow, storage_options=storage_options)


def parse_sdf_range(
    path: Any, start: int, end: int, *, borrow: bool = False, storage_options: Mapping[str, Any] | None = None
) -> Any:
    """Lazily parse the SDBlocks of an SD file or URL whose first byte lies in a range.

    The blocks are those `parse_sdf(path, borrow=borrow)` gives whose first
    byte lies at an offset in [start, end). Ranges cut at any offsets give
    every block once, so threads or processes can share a large file. For a
    URL the range is fetched by ranged requests, and past `end` only as much
    as the last block needs, in growing steps.

    Parameters
    ----------
    path : str, bytes or os.PathLike
        A plain (uncompressed) regular file or object; str or bytes blocks
        as with `parse_sdf`.
    start, end : int
        The byte range, 0 <= start <= end; an end past the file's size
        reads to its end.
    borrow : bool, default False
        As for `parse_sdf`.
    storage_options : dict, optional
        Credentials and settings for fsspec, for a URL.

    Returns
    -------
    Iterator[SDBlock]
        The blocks starting in the range, in file order.

    Raises
    ------
    ValueError
        start lies past end, or either is negative; or a URL's object was
        replaced between two of the requests reading the range (each is
        checked against the object first seen: If-Match where the server
        gives a strong ETag, else its info asked again).
    TypeError
        path is a file object, not a path.

    Examples
    --------
    >>> import os, molbrook
    >>> path = "python/molbrook/data/sample.sdf"
    >>> half = os.path.getsize(path) // 2
    >>> first = [b.title for b in molbrook.parse_sdf_range(path, 0, half)]
    >>> second = [b.title for b in molbrook.parse_sdf_range(path, half, 1 << 62)]
    >>> first + second == [b.title for b in molbrook.parse_sdf(path)]
    True
    """
    return _remote.range_blocks(path, start, end, borrow=borrow, storage_options=storage_options)
