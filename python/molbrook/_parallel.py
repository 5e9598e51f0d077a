"""Cutting plain SD files into byte ranges that threads, processes or
machines read apart (each with `parse_sdf_range`), BGZF files into
ordinal ranges of their index, and counting the CPUs they may use."""

from __future__ import annotations

import itertools
import os
import stat
import threading
from collections import deque
from collections.abc import Callable, Generator, Iterable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, TypeVar

from molbrook._types import Path, is_path
from molbrook.native import _compression_of

_Item = TypeVar("_Item")
_Result = TypeVar("_Result")

# Threads read a file in pieces of this many bytes or more (a file under
# two such pieces is read on one thread)...
MIN_PIECE = 4 << 20
# ...and of at most this many, so that a piece's results (batches of rows,
# findings) stay modest...
MAX_PIECE = 64 << 20
# ...with this many pieces per thread where the file is large enough, so
# that threads finishing early take more.
PIECES_PER_WORKER = 4
# The default size of a partition that Dask or Spark reads as one task.
BLOCKSIZE = "128MiB"


def cpu_count() -> int:
    """The CPUs this process may run on."""
    process_cpu_count = getattr(os, "process_cpu_count", None)  # Python 3.13
    if process_cpu_count is not None:
        return int(process_cpu_count() or 1)
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # no affinity on this system
        return os.cpu_count() or 1


# Whether this interpreter may start threads (an isolated subinterpreter
# of Python 3.11 may not): found once per interpreter, each of which
# imports molbrook anew.
_threads_allowed: bool | None = None


def _may_start_threads() -> bool:
    global _threads_allowed
    if _threads_allowed is None:
        probe = threading.Thread(target=int)
        try:
            probe.start()
        except RuntimeError:
            _threads_allowed = False
        else:
            probe.join()
            _threads_allowed = True
    return _threads_allowed


def worker_count(workers: int | None) -> int:
    """`workers` checked, None meaning every CPU the process may use (one
    where this interpreter may start no thread)."""
    if workers is None:
        return cpu_count() if _may_start_threads() else 1
    if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise ValueError(f"workers must be None or a positive int, not {workers!r}")
    return workers


def plain_size(path: Path) -> int | None:
    """The size of an uncompressed regular file, which byte ranges can cut;
    None for a compressed file, a pipe or a device."""
    if not stat.S_ISREG(os.stat(path).st_mode) or _compression_of(path) is not None:
        return None
    return os.stat(path).st_size


def ceil_div(dividend: int, divisor: int) -> int:
    """dividend / divisor rounded up, for a divisor of at least 1."""
    return -(-dividend // divisor)


def piece_size(size: int, workers: int) -> int:
    """The bytes of each piece when `workers` threads read `size` bytes:
    PIECES_PER_WORKER pieces a thread, more where those would pass
    MAX_PIECE, fewer where they would fall under MIN_PIECE. byte_ranges
    then cuts the file into whole rounds of the threads where it is large
    enough, so that no thread is left reading a last piece while the
    others wait."""
    pieces = workers * max(PIECES_PER_WORKER, ceil_div(size, workers * MAX_PIECE))
    fitting = size // MIN_PIECE  # the most pieces of MIN_PIECE bytes or more
    if fitting < pieces:
        pieces = max(fitting - fitting % workers or fitting, 1)  # whole rounds, where there is one
    return ceil_div(size, pieces)


def ahead(
    pool: ThreadPoolExecutor, work: Callable[[_Item], _Result], items: Iterable[_Item], depth: int
) -> Generator[_Result, None, None]:
    """work(item) of every item on `pool`, in order, `depth` items ahead of
    the consumer; closing the iterator cancels the work not yet started."""
    pending: deque[Future[_Result]] = deque()
    try:
        for item in items:
            pending.append(pool.submit(work, item))
            if len(pending) >= depth:
                yield pending.popleft().result()
        while pending:
            yield pending.popleft().result()
    finally:
        for future in pending:
            future.cancel()


def byte_ranges(size: int, piece: int) -> list[tuple[int, int]]:
    """[start, end) ranges of about `piece` bytes covering [0, size), in order."""
    count = max(1, ceil_div(size, max(piece, 1)))
    cuts = [size * i // count for i in range(count + 1)]
    return list(itertools.pairwise(cuts))


# Blocks an ordinal range of a BGZF file is read in, a slice at a time.
_SLICE_BLOCKS = 1024


def bgzf_index(path: Path, keep: bool = False) -> Any:
    """The index of a BGZF file, for cutting it into ordinal ranges; None
    for any other file. From the sidecar beside it while that still
    describes it, else built: in memory, nothing written, unless `keep`
    asks for the sidecar to be kept (for readers in other processes)."""
    if not is_path(path) or _compression_of(path) != "gzip":
        return None
    from molbrook import _bgzf
    from molbrook._index import index_sdf, reused_index

    if not _bgzf.is_bgzf_file(path):
        return None
    return index_sdf(path) if keep else reused_index(os.fspath(path), _bgzf)


def data_size(index: Any) -> int:
    """The bytes an index covers: of a BGZF file, decompressed."""
    return sum(index.span(len(index) - 1)) if len(index) else 0


def ordinal_ranges(index: Any, piece: int) -> list[tuple[int, int]]:
    """Ordinal ranges of an index covering about `piece` bytes of data each."""
    return list(index.ranges(max(1, ceil_div(data_size(index), max(piece, 1)))))


def ordinal_blocks(index: Any, span: tuple[int, int]) -> Iterator[Any]:
    """The blocks [first, stop) of an index, read a slice at a time."""
    first, stop = span
    for at in range(first, stop, _SLICE_BLOCKS):
        yield from index[at : min(at + _SLICE_BLOCKS, stop)]
