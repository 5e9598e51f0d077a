"""`molbrook stats`: how many blocks each file holds, in which CTAB format,
and which records they carry; totals over several files."""

from __future__ import annotations

import argparse
import sys
from collections import Counter
from collections.abc import Iterable

from molbrook.cli.inputs import Source, source
from molbrook.cli.options import Command, Parser
from molbrook.cli.words import counted
from molbrook.native import SDBlock


class Stats:
    def __init__(self) -> None:
        self.blocks = 0
        self.formats: Counter[str] = Counter()  # "V2000", "V3000" or "other"
        self.carriers: Counter[str] = Counter()  # record name: blocks that carry it

    def add_blocks(self, blocks: Iterable[SDBlock[bytes]]) -> None:
        for block in blocks:
            self.blocks += 1
            self.formats[block.format or "other"] += 1
            names = dict.fromkeys(block.names())  # each name once, in order of appearance
            self.carriers.update(name.decode("utf-8", "backslashreplace") for name in names)

    def add(self, other: Stats) -> None:
        self.blocks += other.blocks
        self.formats.update(other.formats)
        self.carriers.update(other.carriers)


def read_stats(source: Source) -> Stats:
    stats = Stats()
    stats.add_blocks(source.blocks())
    return stats


def print_stats(stats: Stats, label: str) -> None:
    formats = ", ".join(
        f"{name} {stats.formats[name]:,}" for name in ("V2000", "V3000", "other") if stats.formats[name]
    )
    print(f"{label}: {counted(stats.blocks, 'block')}" + (f" ({formats})" if formats else ""))
    if stats.carriers:
        width = max(len(name) for name in stats.carriers)
        print(f"{'record':<{width}}  blocks")
        for name, count in sorted(stats.carriers.items(), key=lambda item: -item[1]):
            print(f"{name:<{width}}  {count:>6,}")


def configure(parser: Parser) -> None:
    parser.add_argument(
        "files",
        nargs="*",
        metavar="FILE",
        help="SD files; - for standard input; none: standard input, or, from a terminal, a small bundled sample",
    )


def run(args: argparse.Namespace) -> int:
    if not args.files and sys.stdin is not None and sys.stdin.isatty():
        from importlib import resources

        sample = resources.files("molbrook").joinpath("data", "sample.sdf")
        with resources.as_file(sample) as path:
            print_stats(read_stats(Source(str(path), args.quiet)), "bundled sample.sdf")
        return 0
    total = Stats()
    for name in args.files or [None]:
        found = source(name, quiet=args.quiet)
        stats = read_stats(found)
        print_stats(stats, found.label)
        total.add(stats)
    if len(args.files) > 1:
        print_stats(total, f"total of {len(args.files)} files")
    return 0


COMMAND = Command(
    "stats",
    "count blocks, CTAB formats and records",
    "molbrook stats library.sdf more.sdf.gz",
    configure,
    run,
    "For each file, and totals over several.",
)
