"""A progress bar on standard error, by bytes of blocks passed, when tqdm is
installed (the `cli` extra) and someone is watching."""

from __future__ import annotations

import contextlib
import os
import sys
from collections.abc import Callable, Iterable, Iterator
from typing import Any

from molbrook.native import SDBlock

STEP = 1 << 20  # bytes gathered between updates of the bar
FALLBACK_COLUMNS = 80


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
    with _bar(total, label) as bar:
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
    with _bar(total, label) as bar:
        yield bar.update


def _bar(total: int, label: str) -> Any:
    from tqdm import tqdm

    return tqdm(
        total=total, desc=label, unit="B", unit_scale=True, unit_divisor=1024, leave=False, file=sys.stderr, **_width()
    )


def _width() -> dict[str, Any]:
    """The bar follows the terminal's width, unless the terminal reports none
    (a serial console, a pseudo-terminal nobody sized), where it would
    shrink to nothing: then it has a fixed one."""
    try:
        columns = os.get_terminal_size(sys.stderr.fileno()).columns
    except (OSError, ValueError):  # not a terminal after all, or no descriptor
        columns = 0
    return {"dynamic_ncols": True} if columns else {"ncols": FALLBACK_COLUMNS}
