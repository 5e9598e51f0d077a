"""What the benchmarks share: the generated files, timing, memory, checksums
and the plain Python reader that molbrook is measured against."""

from __future__ import annotations

import ctypes
import functools
import gc
import os
import platform
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, BinaryIO, Callable, Iterable, TypeVar

T = TypeVar("T")

HERE = Path(__file__).resolve().parent
DATA = HERE / "data"  # generated files; ignored by git
CORPUS = HERE.parents[1] / "shared" / "corpus"

# The ASCII whitespace that makes a line blank, as molbrook counts it.
BLANK = " \t\n\r\x0b\x0c"


# Files ---------------------------------------------------------------------


def build_file(size: str, *, crlf: bool = False, records_only: bool = False, corpus: Path = CORPUS) -> Path:
    """bench/data/big-SIZE[-records][-crlf].sdf, built by the corpus's
    make_big.py unless it exists (its output depends only on the options)."""
    name = f"big-{size}{'-records' if records_only else ''}{'-crlf' if crlf else ''}.sdf"
    path = DATA / name
    if not path.exists():
        DATA.mkdir(exist_ok=True)
        options = ["--size", size] + ["--crlf"] * crlf + ["--records-only"] * records_only
        subprocess.run([sys.executable, str(corpus / "make_big.py"), str(path), *options], check=True)
    return path


def lone_cr_copy(path: Path) -> Path:
    """PATH-cr.sdf beside an LF file: the same file with every LF a lone CR,
    made once unless it exists."""
    copy = path.with_name(f"{path.stem}-cr{path.suffix}")
    if not copy.exists():
        with open(path, "rb") as source, open(copy, "wb") as out:
            while chunk := source.read(1 << 20):
                out.write(chunk.replace(b"\n", b"\r"))
    return copy


def into_open_file(dest: Path, write: Callable[[BinaryIO], T]) -> T:
    """`write` into DEST opened for writing. Every job that writes a file,
    and every reference it is set against, writes so: a path output would
    time the library's route for paths (a synced temporary file, or for
    `write_sdf` larger writes than a file object gets), not the work."""
    with open(dest, "wb") as file:
        return write(file)


def write_sdf_into(dest: Path, blocks: Iterable[Any]) -> int:
    """write_sdf(BLOCKS) into DEST opened for writing."""
    from molbrook import write_sdf  # here: the plain reader below needs no molbrook

    return into_open_file(dest, lambda file: write_sdf(file, blocks))


def round_trip(source: Path, dest: Path, write: Callable[[Path, Iterable[Any]], int] = write_sdf_into,
               borrow: bool = False) -> int:
    """write(DEST, parse_sdf(SOURCE as bytes, borrow=BORROW)): the round
    trip every job of that name times, into an open file unless `write`
    says otherwise."""
    from molbrook import parse_sdf

    return write(dest, parse_sdf(os.fsencode(source), borrow=borrow))


# Timing and memory ---------------------------------------------------------


_kept: list[Any] = []


def kept_per_job(function: Callable[..., T]) -> Callable[..., T]:
    """functools.cache for what a job makes in its untimed checksum pass
    and its timed runs reuse (a table to write), forgotten by
    release_memory() once the job is done."""
    cached = functools.cache(function)
    _kept.append(cached)
    return cached


def release_memory() -> None:
    """Forgets what the last job kept and hands the freed heap back to the
    system (glibc's malloc_trim), so that no job runs beside the memory of
    the jobs before it: kept for the whole run, the tables and RDKit's
    molecules had the process near 10 GB resident from the table jobs on,
    and the two-worker reads after them took a quarter longer."""
    for cached in _kept:
        cached.cache_clear()
    gc.collect()
    if sys.platform == "linux" and platform.libc_ver()[0] == "glibc":
        ctypes.CDLL(None).malloc_trim(0)


def best_seconds(run: Callable[[], object], repeat: int, budget: float = float("inf"),
                 setup: Callable[[], object] | None = None) -> tuple[float, int]:
    """The best time of up to `repeat` runs of `run`, each after an untimed
    `setup`, and how many ran: no run starts once `budget` seconds have
    gone, so that slow peers cost one or two runs."""
    times: list[float] = []
    while len(times) < repeat and sum(times) < budget:
        if setup:
            setup()
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times), len(times)


def peak_rss_growth(path: Path, work: str = "for _ in parse_sdf(path):\n    pass", prelude: str = "") -> int:
    """Bytes the resident size grows, at its peak, while a fresh process
    runs `work` over `path` (by default, streams it with parse_sdf, without
    borrow), after an unmeasured `prelude` (imports). Both see `path` as
    bytes and the names molbrook exports.

    The child resets its high-water mark first: a spawned process otherwise
    starts with its parent's.
    """
    child = f"""
from molbrook import *
path = {os.fsencode(path)!r}
{prelude}

def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key + ":"):
            return int(line.split()[1]) * 1024

open("/proc/self/clear_refs", "w").write("5")
start = status("VmRSS")
{work}
print(status("VmHWM") - start)
"""
    done = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, check=True)
    return int(done.stdout.split()[-1])


def machine() -> str:
    """CPU model and count, Python and the date, for the record of a run."""
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            model = next(line.split(":", 1)[1].strip() for line in cpuinfo if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return (f"{model}, {os.cpu_count()} CPUs; {platform.python_implementation()} {platform.python_version()}; "
            f"{time.strftime('%Y-%m-%d')}")


def load() -> str:
    return "load average " + ", ".join(f"{x:.2f}" for x in os.getloadavg())


# Checksums -----------------------------------------------------------------


@dataclass(frozen=True)
class Checksum:
    """What a reader found: blocks, and records (or hits of a lookup by
    name) with their total value length; None where a job does not say."""

    blocks: int | None = None
    records: int | None = None
    length: int | None = None

    def __str__(self) -> str:
        return ", ".join("-" if n is None else f"{n:,}" for n in (self.blocks, self.records, self.length))


def count_blocks(blocks: Iterable[object]) -> Checksum:
    return Checksum(sum(1 for _ in blocks))


def text_checksum(blocks: Iterable[object]) -> Checksum:
    """Blocks and the total length of their text."""
    count = length = 0
    for block in blocks:
        count += 1
        length += len(str(block))
    return Checksum(count, None, length)


def dict_checksum(dicts: Iterable[dict | None]) -> Checksum:
    """One dict per block (None for a block a peer could not read)."""
    blocks = records = length = 0
    for found in dicts:
        blocks += 1
        if found:
            records += len(found)
            length += sum(map(len, found.values()))
    return Checksum(blocks, records, length)


def value_checksum(values: Iterable[str | bytes | None]) -> Checksum:
    """One value, or None, per block: blocks, hits and their total length."""
    blocks = hits = length = 0
    for value in values:
        blocks += 1
        if value is not None:
            hits += 1
            length += len(value)
    return Checksum(blocks, hits, length)


# The plain Python reader ---------------------------------------------------
#
# What a user writes without a library: the file read as text line by line,
# blocks split at $$$$ lines, and records parsed with str methods by the
# same rules as molbrook's.


def plain_blocks(path: Path) -> Iterable[list[str]]:
    """Each block's lines, without its $$$$ line."""
    with open(path, encoding="utf-8") as f:
        lines: list[str] = []
        for line in f:
            if line.startswith("$$$$"):
                yield lines
                lines = []
            else:
                lines.append(line)
        if lines:
            yield lines


def plain_records(lines: list[str]) -> Iterable[tuple[str, list[str]]]:
    """(name, value lines) of one block, in order."""
    start = next((i + 1 for i in range(1, len(lines)) if lines[i].startswith("M  END")), len(lines))
    i, n = start, len(lines)
    while i < n:
        text = lines[i].strip(BLANK)
        i += 1
        if not text:
            continue
        if text.startswith("> "):
            rest = text[2:]
            close = rest.rfind(">")
            close = len(rest) if close < 0 else close
            opening = rest.find("<", 0, close)
            if opening < 0:
                raise ValueError("SD data field header is missing a name")
            name = rest[opening + 1 : close]
        else:
            name = None  # junk paragraph
        values = []
        while i < n and lines[i].strip(BLANK):
            values.append(lines[i].removesuffix("\n"))
            i += 1
        i += 1
        if name is not None:
            yield name, values


def plain_to_dict(lines: list[str]) -> dict[str, str]:
    return {name: "\n".join(values) for name, values in plain_records(lines)}


def plain_get(lines: list[str], name: str) -> str | None:
    last = None
    for found, values in plain_records(lines):
        if found == name:
            last = values
    return None if last is None else "\n".join(last)
