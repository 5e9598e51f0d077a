"""The command jobs of compare.py: `molbrook filter`, `set` and `cut` run as
a user runs them, a fresh process each, against the library doing the same
work in Python."""

from __future__ import annotations

import importlib.util
import os
import statistics
import subprocess
import sys
from functools import partial
from pathlib import Path
from typing import Any, Callable

from common import Checksum
from molbrook import parse_sdf, scan_table


def numeric_test(path: Path, blocks: int = 5000) -> tuple[bytes, float]:
    """The most common record whose values all read as numbers in the first
    blocks, and the median of those values."""
    values: dict[bytes, list[float]] = {}
    failed: set[bytes] = set()
    for i, block in enumerate(parse_sdf(os.fsencode(path))):
        for name, value in block.records():
            try:
                values.setdefault(name, []).append(float(value))
            except ValueError:
                failed.add(name)
        if i == blocks:
            break
    name = max((n for n in values if n not in failed), key=lambda n: len(values[n]))
    return name, statistics.median(values[name])


def molbrook(*args: object, stdout: Path | None = None) -> int:
    if stdout is None:
        return subprocess.run([sys.executable, "-m", "molbrook", *map(str, args), "-q"]).returncode
    # Standard output redirected into a file, as the library's jobs write
    # into an open file: an output named with -o would also be synced to
    # disk before it is renamed.
    with open(stdout, "wb") as out:
        return subprocess.run([sys.executable, "-m", "molbrook", *map(str, args), "-q"], stdout=out).returncode


def run_filter(source: Path, dest: Path, test: tuple[bytes, float]) -> None:
    status = molbrook("filter", "--where", f"{os.fsdecode(test[0])}>{test[1]!r}", source, stdout=dest)
    if status not in (0, 1):  # 1: no block kept
        raise SystemExit(f"molbrook filter failed with status {status}")


def run_set(source: Path, dest: Path) -> None:
    if molbrook("set", "-f", "BENCH_TAG=1", source, stdout=dest):
        raise SystemExit("molbrook set failed")


def run_cut(source: Path, dest: Path) -> None:
    if molbrook("cut", source, "-o", dest):
        raise SystemExit("molbrook cut failed")


def count_blocks(path: Path) -> int:
    return sum(1 for _ in parse_sdf(os.fsencode(path), borrow=True))


def filter_checksum(source: Path, dest: Path, test: tuple[bytes, float]) -> Checksum:
    """The blocks the command keeps, which must be those a Python loop keeps."""
    name, number = test
    run_filter(source, dest, test)

    def passes(block: Any) -> bool:
        try:
            return float(block.get(name, b"")) > number
        except ValueError:
            return False
    kept = count_blocks(dest)
    if kept != sum(map(passes, parse_sdf(os.fsencode(source), borrow=True))):
        raise SystemExit("molbrook filter kept other blocks than a Python loop")
    return Checksum(kept)


def scan_to_parquet(source: Path, dest: Path) -> None:
    import pyarrow
    import pyarrow.parquet

    with scan_table(os.fsencode(source)) as scan:
        reader = pyarrow.RecordBatchReader.from_stream(scan)
        with pyarrow.parquet.ParquetWriter(dest, reader.schema) as writer:
            for batch in reader:
                writer.write_batch(batch)


def parquet_checksum(make: Callable[[], object], dest: Path) -> Checksum:
    """Rows, and cells that are not null, of the Parquet file `make` writes."""
    import pyarrow.parquet

    make()
    table = pyarrow.parquet.read_table(dest)
    return Checksum(table.num_rows, sum(len(column) - column.null_count for column in table.columns))


def jobs(job: Callable[..., Any], lf: Path, out: Path) -> list[Any]:
    """The jobs, made with compare.py's Job class."""
    remove_out = partial(out.unlink, missing_ok=True)
    test = numeric_test(lf)
    made = [
        job("cli_filter", f"command: molbrook filter --where '{os.fsdecode(test[0])}>{test[1]:g}'", "command", lf,
            partial(run_filter, lf, out, test), partial(filter_checksum, lf, out, test), setup=remove_out),
        job("cli_set", "command: molbrook set -f NAME=VALUE > out", "command", lf, partial(run_set, lf, out),
            lambda: (run_set(lf, out), Checksum(count_blocks(out)))[1], setup=remove_out, agrees_with="floor"),
    ]
    if importlib.util.find_spec("pyarrow") is not None:
        parquet = out.with_suffix(".parquet")
        remove_parquet = partial(parquet.unlink, missing_ok=True)
        to_parquet = partial(scan_to_parquet, lf, parquet)
        cut = partial(run_cut, lf, parquet)
        made += [
            job("scan_parquet", "molbrook: scan_table to Parquet (pyarrow)", "molbrook", lf, to_parquet,
                partial(parquet_checksum, to_parquet, parquet), setup=remove_parquet),
            job("cli_cut", "command: molbrook cut -o x.parquet", "command", lf, cut,
                partial(parquet_checksum, cut, parquet), setup=remove_parquet, agrees_with="scan_parquet"),
        ]
    return made


TARGETS = [
    ("cli_filter", "round_trip", 0.3),
    ("cli_set", "round_trip", 0.3),
    ("cli_cut", "scan_parquet", 0.5),
]


def remove_outputs(out: Path) -> None:
    out.with_suffix(".parquet").unlink(missing_ok=True)
