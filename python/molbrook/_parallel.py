"""Cutting plain SD files into byte ranges that threads, processes or
machines read apart (each with `parse_sdf_range`), and counting the CPUs
they may use."""

from __future__ import annotations

import os
import stat
from typing import Union

from molbrook.native import _compression_of

Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def cpu_count() -> int:
    """The CPUs this process may run on."""
    process_cpu_count = getattr(os, "process_cpu_count", None)  # Python 3.13
    if process_cpu_count is not None:
        return int(process_cpu_count() or 1)
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # no affinity on this system
        return os.cpu_count() or 1


def worker_count(workers: int | None) -> int:
    """`workers` checked, None meaning every CPU the process may use."""
    if workers is None:
        return cpu_count()
    if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise ValueError(f"workers must be None or a positive int, not {workers!r}")
    return workers


def plain_size(path: Path) -> int | None:
    """The size of an uncompressed regular file, which byte ranges can cut;
    None for a compressed file, a pipe or a device."""
    if not stat.S_ISREG(os.stat(path).st_mode) or _compression_of(path) is not None:
        return None
    return os.stat(path).st_size


def byte_ranges(size: int, piece: int) -> list[tuple[int, int]]:
    """[start, end) ranges of about `piece` bytes covering [0, size), in order."""
    count = max(1, -(-size // max(piece, 1)))
    cuts = [size * i // count for i in range(count + 1)]
    return list(zip(cuts, cuts[1:]))
