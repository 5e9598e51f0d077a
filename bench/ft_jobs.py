"""The free-threading jobs of compare.py: a user's per-block Python loop
over the two halves of SDIndex.ranges(2) on one thread and on two, and
read_table(workers=2) in a fresh process of an interpreter with the GIL.

Run compare.py with a free-threaded interpreter (tools/ft-python) for the
scaling to show: with the GIL the two threads take turns. The GIL
interpreter is MOLBROOK_GIL_PYTHON (with molbrook importable), else this
one with PYTHON_GIL=1, which is the same build holding the lock."""

from __future__ import annotations

import os
import subprocess
import sys
import sysconfig
import threading
from pathlib import Path
from typing import Any, Callable

from common import Checksum

from molbrook import index_sdf
from molbrook.native import parse_sdf_range

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
WITHOUT_GIL = FREE_THREADED and not sys._is_gil_enabled()


def count_over(path: bytes, span: tuple[int, int], name: bytes, found: list[int]) -> None:
    """What a user writes: read one record per block and test it as a float."""
    hits = 0
    for block in parse_sdf_range(path, *span):
        value = block.get(name)
        try:
            hits += value is not None and float(value) > 0
        except ValueError:
            pass
    found.append(hits)


def loop(path: bytes, spans: list[tuple[int, int]], name: bytes, threads: int) -> int:
    """The spans on `threads` threads (1: one after the other here)."""
    found: list[int] = []
    if threads == 1:
        for span in spans:
            count_over(path, span, name, found)
    else:
        workers = [threading.Thread(target=count_over, args=(path, span, name, found)) for span in spans]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
    return sum(found)


TABLE_SCRIPT = """
import sys, time
from molbrook import read_table
times = []
for _ in range(int(sys.argv[2])):
    started = time.perf_counter()
    read_table(sys.argv[1], workers=2)
    times.append(time.perf_counter() - started)
print(min(times))
"""


def table_with_gil(path: Path, repeat: int = 1) -> float:
    """Best seconds of read_table(workers=2) in a fresh interpreter with the GIL."""
    python = os.environ.get("MOLBROOK_GIL_PYTHON", sys.executable)
    env = dict(os.environ, PYTHON_GIL="1")
    done = subprocess.run([python, "-c", TABLE_SCRIPT, str(path), str(repeat)], env=env, check=True,
                          capture_output=True, text=True)
    return float(done.stdout.split()[-1])


def jobs(job: Callable[..., Any], lf: Path, name: str) -> list[Any]:
    """The jobs, made with compare.py's Job class."""
    path = os.fsencode(lf)
    spans = index_sdf(path).ranges(2)
    record = os.fsencode(name)

    def looped(threads: int) -> Callable[[], Any]:
        return lambda: loop(path, spans, record, threads)

    made = [
        job("ft_loop_1", "per-block Python loop over ranges(2), 1 thread", "molbrook", lf, looped(1),
            lambda: Checksum(loop(path, spans, record, 1))),
        job("ft_loop_2", "per-block Python loop over ranges(2), 2 threads", "molbrook", lf, looped(2),
            lambda: Checksum(loop(path, spans, record, 2)), agrees_with="ft_loop_1"),
    ]
    if FREE_THREADED:  # else this interpreter has the GIL, and table_2 is the figure
        made.append(job("ft_table_gil", "molbrook: read_table(workers=2), GIL interpreter", "molbrook", lf,
                        lambda: None, self_timed=lambda: table_with_gil(lf)))
    return made


# (job, reference, minimum ratio of their throughputs on the same file);
# only without the GIL, where threads can scale.
TARGETS = [("ft_loop_2", "ft_loop_1", 1.7), ("table_2", "ft_table_gil", 1.0)] if WITHOUT_GIL else []
