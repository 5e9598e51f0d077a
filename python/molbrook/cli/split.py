"""`molbrook split`: shards of SD files that end on block boundaries."""

from __future__ import annotations

import argparse
import contextlib
import itertools
import os
import stat
from collections.abc import Callable

from molbrook.cli.errors import UsageError
from molbrook.cli.inputs import STDIN, Inputs, inputs
from molbrook.cli.options import Command, Parser
from molbrook.cli.outputs import output
from molbrook.native import SDBlock, write_sdf

COMPRESSED = (".gz", ".bz2", ".xz", ".zst")
SD_EXTENSIONS = (".sdf", ".sd")

Shard = Callable[[SDBlock[bytes]], int]  # called on each block in turn: its shard's number


def by_count(blocks: int) -> Shard:
    counter = itertools.count()
    return lambda block: next(counter) // blocks


def by_size(parts: int, total: int) -> Shard:
    """Each block goes to the part its first byte falls in, of `parts` equal
    spans of `total` bytes."""
    start = 0

    def shard(block: SDBlock[bytes]) -> int:
        nonlocal start
        part = start * parts // total
        start += memoryview(block).nbytes
        return part

    return shard


def total_bytes(found: Inputs) -> int:
    """The size of the blocks, read once through: compressed files are larger
    read than stored, and the cut must follow what is read."""
    return sum(memoryview(block).nbytes for block in found.blocks())


def refuse_unless_regular(found: Inputs) -> None:
    """--parts reads the files twice: a pipe would give nothing the second
    time, a named pipe would wait for a second writer. Told before any read."""
    for item in found.sources:
        try:
            mode = os.stat(item.name).st_mode
        except OSError:
            continue  # reading it says why
        if not stat.S_ISREG(mode):
            raise UsageError(f"--parts reads the files twice, so {item.name} must be a regular file: use --blocks")


def write_shards(found: Inputs, shard: Shard, name: Callable[[int], str]) -> list[str]:
    """The shards, made whole or not at all: on any failure the ones already
    written are removed too."""
    written: list[str] = []
    try:
        for number, (_, group) in enumerate(itertools.groupby(found.blocks(), key=shard)):
            path = name(number)
            with output(found, path) as out:
                write_sdf(out, group)
            written.append(path)
    except BaseException:
        for path in written:
            with contextlib.suppress(OSError):
                os.unlink(path)
        raise
    return written


def files_and_prefix(paths: list[str], prefix: str | None, parts: bool) -> tuple[list[str], str]:
    """The inputs and the shards' prefix. Without --prefix, the last path is
    PREFIX, unless it is the only one and names a file, not a folder (or
    --parts, which cannot read standard input, is given): then it is the
    input, and the shards are named after it, beside it."""
    if prefix is not None:
        return paths, prefix
    if paths == [STDIN]:
        raise UsageError("name the shards: give PREFIX after the files, or --prefix")
    if len(paths) == 1 and (parts or (os.path.exists(paths[0]) and not os.path.isdir(paths[0]))):
        return paths, named_after(paths[0])
    return paths[:-1], paths[-1]


def named_after(path: str) -> str:
    """`path` without its compression and SD extensions: lib.sdf.gz gives lib."""
    stem = path
    for extensions in (COMPRESSED, SD_EXTENSIONS):
        base, extension = os.path.splitext(stem)
        if extension.lower() in extensions and os.path.basename(base):
            stem = base
    return stem


def configure(parser: Parser) -> None:
    size = parser.add_mutually_exclusive_group(required=True)
    size.add_argument(
        "--parts", type=int, metavar="N", help="at most N shards of about equal size (needs FILE: it is read twice)"
    )
    size.add_argument("--blocks", type=int, metavar="K", help="K blocks in each shard (the last one: the rest)")
    parser.add_argument(
        "paths",
        nargs="+",
        metavar="FILE... [PREFIX]",
        help="the SD files, read as one stream (- or none: standard input, with --blocks), "
        "then PREFIX unless --prefix gives it; a lone FILE gives its own name "
        "less its extensions (lib.sdf.gz: lib)",
    )
    parser.add_argument("--prefix", help="shard names start with PREFIX-")
    parser.add_argument(
        "--suffix", default=".sdf", help="shard names end with SUFFIX (default: .sdf; .sdf.gz and the like compress)"
    )


def run(args: argparse.Namespace) -> int:
    count = args.parts if args.parts is not None else args.blocks
    if count < 1:
        raise UsageError(f"--{'parts' if args.parts is not None else 'blocks'} must be 1 or more, not {count}")
    files, prefix = files_and_prefix(args.paths, args.prefix, args.parts is not None)
    found = inputs(files, quiet=args.quiet)
    if args.parts is not None:
        if found.is_stdin:
            raise UsageError("--parts reads the files twice, so not standard input: use --blocks")
        refuse_unless_regular(found)
        total = total_bytes(found)
        shard = by_size(args.parts, total) if total else by_count(1)
    else:
        shard = by_count(args.blocks)
    write_shards(found, shard, lambda number: f"{prefix}-{number:05d}{args.suffix}")
    return 0


COMMAND = Command(
    "split",
    "cut SD files into shards at block boundaries",
    "molbrook split --parts 4 library.sdf shards/library --suffix .sdf.gz",
    configure,
    run,
    "The shards are named PREFIX-00000.sdf, PREFIX-00001.sdf and so on; on failure none is left.",
)
