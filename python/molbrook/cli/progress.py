"""A progress bar on standard error, by bytes of blocks passed, when tqdm is
installed (the `cli` extra) and someone is watching."""

from __future__ import annotations

import sys
import contextlib
from collections.abc import Callable, Iterable, Iterator

from molbrook.native import SDBlock

STEP = 1 << 20  # bytes gathered between updates of the bar


def wanted(quiet: bool) -> bool:
    """Whether a bar may be drawn: standard error is a terminal and tqdm is there."""
    if quiet or not sys.stderr.isatty():
        return False
    try:
        import tqdm  # type: ignore[import-untyped]  # noqa: F401
    except ImportError:
        return False
    return True


def bytes_bar(blocks: Iterable[SDBlock[bytes]], total: int, label: str) -> Iterator[SDBlock[bytes]]:
    """`blocks`, unchanged, advancing a bar towards `total` bytes as they pass."""
    from tqdm import tqdm  # type: ignore[import-untyped]

    with tqdm(total=total, desc=label, unit="B", unit_scale=True, unit_divisor=1024, leave=False,
              file=sys.stderr, dynamic_ncols=True) as bar:
        pending = 0
        for block in blocks:
            pending += memoryview(block).nbytes
            if pending >= STEP:
                bar.update(pending)
                pending = 0
            yield block
        bar.update(pending)


@contextlib.contextmanager
def byte_counter(total: int, label: str) -> Iterator[Callable[[int], None]]:
    """A bar towards `total` bytes, advanced by calls of the function yielded."""
    from tqdm import tqdm  # type: ignore[import-untyped]

    with tqdm(total=total, desc=label, unit="B", unit_scale=True, unit_divisor=1024, leave=False,
              file=sys.stderr, dynamic_ncols=True) as bar:
        yield bar.update
