"""The `molbrook` command: `molbrook stats [FILE]` streams an SD file and
tells how many blocks it holds, in which CTAB format, and which records
they carry."""

from __future__ import annotations

import argparse
import os
import sys
from collections import Counter
from dataclasses import dataclass, field
from importlib import resources

from molbrook.native import parse_sdf


@dataclass
class Stats:
    blocks: int = 0
    formats: Counter[str] = field(default_factory=Counter)  # "V2000", "V3000" or "other"
    carriers: Counter[str] = field(default_factory=Counter)  # record name: blocks that carry it


def read_stats(path: str | os.PathLike[str]) -> Stats:
    stats = Stats()
    # Read as bytes, so that any encoding streams; names are shown as UTF-8.
    for block in parse_sdf(os.fsencode(path)):
        stats.blocks += 1
        stats.formats[block.format or "other"] += 1
        names = dict.fromkeys(block.names())  # each name once, in order of appearance
        stats.carriers.update(name.decode("utf-8", "backslashreplace") for name in names)
    return stats


def print_stats(stats: Stats, label: str) -> None:
    formats = ", ".join(f"{name} {stats.formats[name]:,}" for name in ("V2000", "V3000", "other")
                        if stats.formats[name])
    print(f"{label}: {stats.blocks:,} blocks" + (f" ({formats})" if formats else ""))
    if stats.carriers:
        width = max(len(name) for name in stats.carriers)
        print(f"{'record':<{width}}  blocks")
        for name, count in sorted(stats.carriers.items(), key=lambda item: -item[1]):
            print(f"{name:<{width}}  {count:>6,}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="molbrook", description="Stream SD files block by block.")
    commands = parser.add_subparsers(dest="command", required=True)
    stats = commands.add_parser("stats", help="count the blocks of an SD file and the records they carry")
    stats.add_argument("file", nargs="?", help="the SD file (default: a small bundled sample)")
    args = parser.parse_args(argv)

    try:
        if args.file is not None:
            print_stats(read_stats(args.file), args.file)
        else:
            sample = resources.files("molbrook").joinpath("data", "sample.sdf")
            with resources.as_file(sample) as path:
                print_stats(read_stats(path), "bundled sample.sdf")
    except OSError as error:
        print(f"molbrook {args.command}: {error}", file=sys.stderr)
        return 1
    return 0
