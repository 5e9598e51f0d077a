"""The partitions a distributed read cuts SD files into (Dask's tasks,
Spark's): byte ranges of a plain file, ordinal ranges of a BGZF file
through its index, any other compressed file whole; every block in exactly
one partition."""

from __future__ import annotations

import glob
import os
from collections.abc import Iterable, Sequence
from typing import Any, NamedTuple, Union

from molbrook import native
from molbrook._parallel import bgzf_index, byte_ranges, data_size, ordinal_blocks, plain_size
from molbrook._types import Path


class Part(NamedTuple):
    """A partition: a path and the byte range of its blocks (the ordinals
    of its blocks in a BGZF file's index), or None for a whole file."""

    path: Union[str, bytes]
    span: Union[tuple[int, int], None]
    by_ordinal: bool = False


def expand(paths: Path | Sequence[Path]) -> list[str | bytes]:
    """Paths in order: a path, a glob (its matches, sorted) or a list of them."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    found: list[str | bytes] = []
    for given in paths:
        path = os.fspath(given)
        matches: list[str | bytes] = [path]
        if not os.path.exists(path):
            matches = sorted(glob.glob(path))  # type: ignore[type-var]
        if not matches:
            raise FileNotFoundError(f"no file matches {path!r}")
        found.extend(matches)
    if not found:
        raise ValueError("reading SD files needs at least one path")
    if len({type(path) for path in found}) > 1:
        raise TypeError("SD files are read from paths of one kind: all str (str columns) or all bytes (binary columns)")
    return found


def partitions(paths: list[str | bytes], blocksize: int) -> list[Part]:
    """The partitions of `paths`, in file order, of about `blocksize` bytes
    (decompressed bytes for a BGZF file, whose index is kept beside it)."""
    parts: list[Part] = []
    for path in paths:
        size = plain_size(path)
        if size is not None:
            parts.extend(Part(path, span) for span in byte_ranges(size, blocksize))
        elif (index := bgzf_index(path)) is not None:
            with index:
                count = max(1, -(-data_size(index) // blocksize))
                parts.extend(Part(path, span, True) for span in index.ranges(count))
        else:
            parts.append(Part(path, None))
    return parts


def blocks(part: Part) -> Iterable[Any]:
    """The blocks of a partition, borrowed, in file order."""
    if part.span is None:
        return native.parse_sdf(part.path, borrow=True)
    if part.by_ordinal:
        from molbrook._index import index_sdf  # the sidecar that partitions() kept

        return ordinal_blocks(index_sdf(part.path), part.span)
    return native.parse_sdf_range(part.path, *part.span, borrow=True)
