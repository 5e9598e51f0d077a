"""The `molbrook` command: `molbrook stats [FILE]` streams an SD file and
tells how many blocks it holds and which records they carry."""

from __future__ import annotations

import argparse
import os
import sys
from collections import Counter
from importlib import resources

from molbrook.native import parse_sdf


def count_records(path: str | os.PathLike[str]) -> tuple[int, Counter[str]]:
    """The number of blocks and, per record name, how many blocks carry it."""
    blocks = 0
    carriers: Counter[str] = Counter()
    # Read as bytes, so that any encoding streams; names are shown as UTF-8.
    for block in parse_sdf(os.fsencode(path)):
        blocks += 1
        names = dict.fromkeys(block.names())  # each name once, in order of appearance
        carriers.update(name.decode("utf-8", "backslashreplace") for name in names)
    return blocks, carriers


def print_stats(path: str | os.PathLike[str], label: str) -> None:
    blocks, carriers = count_records(path)
    print(f"{label}: {blocks:,} blocks")
    if carriers:
        width = max(len(name) for name in carriers)
        print(f"{'record':<{width}}  blocks")
        for name, count in sorted(carriers.items(), key=lambda item: -item[1]):
            print(f"{name:<{width}}  {count:>6,}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="molbrook", description="Stream SD files block by block.")
    commands = parser.add_subparsers(dest="command", required=True)
    stats = commands.add_parser("stats", help="count the blocks of an SD file and the records they carry")
    stats.add_argument("file", nargs="?", help="the SD file (default: a small bundled sample)")
    args = parser.parse_args(argv)

    try:
        if args.file is not None:
            print_stats(args.file, args.file)
        else:
            sample = resources.files("molbrook").joinpath("data", "sample.sdf")
            with resources.as_file(sample) as path:
                print_stats(path, "bundled sample.sdf")
    except OSError as error:
        print(f"molbrook {args.command}: {error}", file=sys.stderr)
        return 1
    return 0
