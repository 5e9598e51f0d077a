#!/usr/bin/env python3
"""Reading speed of parse_sdf against a floor, and its peak memory.

Usage: python bench/read.py [--size 200M] [--repeat 3] [--rss-size 1G]

Builds bench/data/big-SIZE.sdf from the real corpus (make_big.py) unless it
exists, warms the page cache, then times, best of --repeat, in one run:

- the floor: mmap the file and count b"\\n$$$$" (mmap.find, one Python call
  per block, as iteration makes one per block);
- `for b in parse_sdf(path, borrow=...): pass` for a bytes and a str path,
  with and without borrow.

--rss-size streams a file of that size without borrow in a fresh process
and reports its peak resident-size growth (0 skips it).
"""

from __future__ import annotations

import argparse
import mmap
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
MAKE_BIG = HERE.parents[1] / "shared" / "corpus" / "make_big.py"


def build(size: str, crlf: bool = False) -> Path:
    path = HERE / "data" / f"big-{size}{'-crlf' if crlf else ''}.sdf"
    if not path.exists():
        path.parent.mkdir(exist_ok=True)
        subprocess.run([sys.executable, str(MAKE_BIG), str(path), "--size", size] + (["--crlf"] if crlf else []),
                       check=True)
    return path


def floor(path: Path) -> int:
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as data:
        count, at = 0, data.find(b"\n$$$$")
        while at >= 0:
            count += 1
            at = data.find(b"\n$$$$", at + 1)
    return count


def iterate(source, borrow: bool) -> int:
    from molbrook import parse_sdf

    count = 0
    for _ in parse_sdf(source, borrow=borrow):
        count += 1
    return count


def best(repeat: int, run) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def peak_rss_growth(path: Path) -> int:
    """Bytes the resident size grows, at its peak, while streaming `path`.

    Measured in a fresh process whose high-water mark is reset first: the
    mark of a spawned child otherwise starts at its parent's peak.
    """
    child = f"""
from molbrook import parse_sdf
def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key + ":"):
            return int(line.split()[1]) * 1024
open("/proc/self/clear_refs", "w").write("5")
start = status("VmRSS")
for _ in parse_sdf({os.fsencode(path)!r}):
    pass
print(status("VmHWM") - start)
"""
    done = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, check=True)
    return int(done.stdout)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", default="200M", help="benchmark file size (make_big.py syntax)")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--rss-size", default="1G", help="file size for the memory run; 0 to skip")
    args = ap.parse_args()

    path = build(args.size)
    size = path.stat().st_size
    blocks = floor(path)  # also warms the page cache
    rows = [("floor: mmap + count b'\\n$$$$'", best(args.repeat, lambda: floor(path)))]
    for label, source in (("bytes path", os.fsencode(path)), ("str path", str(path))):
        for borrow in (True, False):
            assert iterate(source, borrow) == blocks
            rows.append((f"{label}, borrow={borrow}", best(args.repeat, lambda: iterate(source, borrow))))

    print(f"{path.name}: {size / 1e6:,.0f} MB, {blocks:,} blocks; best of {args.repeat}; "
          f"{platform.python_implementation()} {platform.python_version()}, {platform.machine()}, "
          f"{os.cpu_count()} CPUs, {time.strftime('%Y-%m-%d')}")
    print(f"| {'reading':<34} | {'seconds':>7} | {'MB/s':>6} | {'vs floor':>8} |")
    print(f"|{'-' * 36}|{'-' * 8}:|{'-' * 7}:|{'-' * 9}:|")
    floor_seconds = rows[0][1]
    for label, seconds in rows:
        print(f"| {label:<34} | {seconds:7.3f} | {size / seconds / 1e6:6.0f} | {floor_seconds / seconds:8.2f} |")

    if args.rss_size != "0":
        big = build(args.rss_size)
        growth = peak_rss_growth(big)
        print(f"\npeak RSS growth streaming {big.name} ({big.stat().st_size / 1e9:.2f} GB) "
              f"without borrow: {growth / 2**20:.1f} MiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
