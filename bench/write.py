#!/usr/bin/env python3
"""Throughput of reading and writing back a large SD file.

Usage: python bench/write.py [--size 200M] [--input FILE] [--repeat 3]

Times `write_sdf(out, parse_sdf(path))` from a bytes path, with and
without `borrow`, and from a str path, against a floor measured in the same
run: copying the file with `shutil.copyfileobj` and 1 MiB buffers. The
input is built by the corpus's make_big.py unless --input names one; it is
read once first so that every run finds it in the page cache. Each figure
is the best of --repeat runs.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from molbrook import parse_sdf, write_sdf

MAKE_BIG = Path(__file__).resolve().parents[2] / "shared" / "corpus" / "make_big.py"


def best_seconds(run, repeat: int, out: Path) -> float:
    times = []
    for _ in range(repeat):
        out.unlink(missing_ok=True)
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def copy_file(source: Path, dest: Path) -> None:
    with open(source, "rb") as src, open(dest, "wb") as dst:
        shutil.copyfileobj(src, dst, 1 << 20)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", default="200M", help="size of the generated input (make_big.py --size)")
    ap.add_argument("--input", type=Path, help="an existing SD file to use instead")
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args(argv)

    with tempfile.TemporaryDirectory(dir=args.input.parent if args.input else None) as work:
        work = Path(work)
        source = args.input
        if source is None:
            source = work / "big.sdf"
            subprocess.run([sys.executable, str(MAKE_BIG), str(source), "--size", args.size], check=True)
        out = work / "out.sdf"
        size = source.stat().st_size
        copy_file(source, out)  # warm the page cache

        floor = best_seconds(lambda: copy_file(source, out), args.repeat, out)
        cases = {
            "bytes path": lambda: write_sdf(out, parse_sdf(os.fsencode(source))),
            "bytes path, borrow": lambda: write_sdf(out, parse_sdf(os.fsencode(source), borrow=True)),
            "str path": lambda: write_sdf(out, parse_sdf(str(source))),
        }
        print(f"{source.name}: {size / 1e6:,.0f} MB, best of {args.repeat}")
        print(f"{'copyfileobj, 1 MiB (floor)':28} {size / floor / 1e6:8,.0f} MB/s")
        for name, run in cases.items():
            seconds = best_seconds(run, args.repeat, out)
            assert out.read_bytes() == source.read_bytes()
            print(f"{name:28} {size / seconds / 1e6:8,.0f} MB/s   {floor / seconds:5.2f} of the floor")
    return 0


if __name__ == "__main__":
    sys.exit(main())
