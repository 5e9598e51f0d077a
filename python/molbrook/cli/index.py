"""`molbrook index`, `get`, `take` and `sample`: blocks read by key or
ordinal through the index kept beside the file (FILE.mbi), built when
missing and refreshed when the file changed."""

from __future__ import annotations

import argparse
import collections
import os
import random
import sys
import warnings
from collections.abc import Iterator

from molbrook._types import TITLE
from molbrook.cli.errors import FileError, UsageError, warn
from molbrook.cli.inputs import Source
from molbrook.cli.options import KEY_HELP, Command, Parser, Renamed, add_output, key
from molbrook.cli.outputs import output
from molbrook.cli.watch import NameWatch
from molbrook.cli.words import counted
from molbrook.native import SDBlock, SDIndex, write_sdf

_FILE_HELP = "the SD file: plain, or BGZF (as molbrook writes .gz files)"


def add_key(parser: Parser, *, required: bool) -> None:
    which = parser.add_mutually_exclusive_group(required=required)
    which.add_argument("-k", "--key", type=key, metavar="KEY", help=f"key blocks by {KEY_HELP}")
    which.add_argument("-t", "--title", dest="key", action=Renamed, const=TITLE, new="-k @title")


def open_index(name: str, args: argparse.Namespace) -> SDIndex[bytes]:
    """The index of FILE, by bytes path, so that blocks are written byte for
    byte; a sidecar that cannot be kept warns on standard error."""
    from molbrook._index import index_sdf  # here, for a quicker start of the other commands

    key = getattr(args, "key", None)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", RuntimeWarning)
            index = index_sdf(os.fsencode(name), key=key if key is None or key is TITLE else os.fsencode(key))
    except (OSError, ValueError) as error:
        raise FileError.from_exception(name, error) from error
    for warning in caught:
        print(f"molbrook: {name}: {warning.message}", file=sys.stderr)
    return index


def key_watch(index: SDIndex[bytes], args: argparse.Namespace) -> NameWatch:
    """A watch that has seen whether the --key record is in any block, when
    no block gave a key (else there is nothing to say)."""
    key = getattr(args, "key", None)
    if not isinstance(key, str) or index.keys():  # every block has a title
        return NameWatch([])
    watch = NameWatch([key])
    collections.deque(watch.passing(index), maxlen=0)
    return watch


def configure_index(parser: Parser) -> None:
    add_key(parser, required=False)
    parser.add_argument("files", nargs="+", metavar="FILE", help=_FILE_HELP)


def run_index(args: argparse.Namespace) -> int:
    for name in args.files:
        with open_index(name, args) as index:
            key_watch(index, args).warn("index")
            keyed = f", {counted(len(index.keys()), 'key')}" if args.key is not None else ""
            print(f"{name}: {counted(len(index), 'block')}{keyed}")
    return 0


def configure_get(parser: Parser) -> None:
    add_key(parser, required=True)
    parser.add_argument("-a", "--all", action="store_true", help="every block of each key, not only the first")
    parser.add_argument("file", metavar="FILE", help=_FILE_HELP)
    parser.add_argument("keys", nargs="+", metavar="KEY", help="the keys, in the order to write their blocks")
    add_output(parser)


def run_get(args: argparse.Namespace) -> int:
    missing = []

    def blocks(index: SDIndex[bytes]) -> Iterator[SDBlock[bytes]]:
        for wanted in args.keys:
            first = index.get(os.fsencode(wanted))
            if first is None:
                missing.append(wanted)
            else:
                yield from index.get_all(os.fsencode(wanted)) if args.all else [first]

    with open_index(args.file, args) as index:
        key_watch(index, args).require()  # before OUT is made
        with output(Source(args.file), args.output) as out:
            write_sdf(out, blocks(index))
    for absent in missing:
        warn("get", f"no block of {args.file} has the key {absent!r}")
    return 1 if missing else 0


def ordinals(text: str) -> int | slice:
    """An ordinal (0-based, negative from the end) or a Python slice a:b[:c]."""
    try:
        if ":" not in text:
            return int(text)
        parts = [int(part) if part else None for part in text.split(":")]
    except ValueError:
        raise UsageError(f"expected an ordinal or a range like 10:20, got {text!r}") from None
    if len(parts) > 3 or parts[2:] == [0]:
        raise UsageError(f"expected an ordinal or a range like 10:20, got {text!r}")
    return slice(*parts)


def configure_take(parser: Parser) -> None:
    parser.add_argument("file", metavar="FILE", help=_FILE_HELP)
    parser.add_argument(
        "ordinals",
        nargs="+",
        type=ordinals,
        metavar="ORDINAL",
        help="0-based ordinals (negative from the end) and ranges A:B[:STEP], as Python slices",
    )
    add_output(parser)


def run_take(args: argparse.Namespace) -> int:
    with open_index(args.file, args) as index:
        for wanted in args.ordinals:
            if isinstance(wanted, int) and not -len(index) <= wanted < len(index):
                raise UsageError(f"no block {wanted}: {args.file} holds {len(index)}")

        def blocks() -> Iterator[SDBlock[bytes]]:
            for wanted in args.ordinals:
                yield from index[wanted] if isinstance(wanted, slice) else [index[wanted]]

        with output(Source(args.file), args.output) as out:
            write_sdf(out, blocks())
    return 0


def configure_sample(parser: Parser) -> None:
    parser.add_argument("-n", "--blocks", type=int, required=True, metavar="N", help="how many blocks")
    parser.add_argument("-s", "--seed", type=int, metavar="S", help="the same seed picks the same blocks")
    parser.add_argument("file", metavar="FILE", help=_FILE_HELP)
    add_output(parser)


def run_sample(args: argparse.Namespace) -> int:
    if args.blocks < 0:
        raise UsageError(f"-n must be 0 or more, not {args.blocks}")
    with open_index(args.file, args) as index:
        if args.blocks > len(index):
            raise UsageError(f"-n {args.blocks} is more than the {counted(len(index), 'block')} of {args.file}")
        picked = sorted(random.Random(args.seed).sample(range(len(index)), args.blocks))
        with output(Source(args.file), args.output) as out:
            write_sdf(out, (index[i] for i in picked))
    return 0


INDEX = Command(
    "index",
    "build or refresh the index beside each file (FILE.mbi)",
    "molbrook index --key ID library.sdf",
    configure_index,
    run_index,
    "Prints the blocks and keys of each file. get, take and sample build it when missing.",
)
GET = Command(
    "get",
    "the blocks with the given keys, byte for byte, in the order of the keys",
    "molbrook get --key ID library.sdf MB-0002 MB-0001 -o two.sdf",
    configure_get,
    run_get,
    status_one="a key matches no block (after writing the others)",
)
TAKE = Command(
    "take",
    "the blocks at the given ordinals, byte for byte",
    "molbrook take library.sdf 0 5 10:20 -1 -o some.sdf",
    configure_take,
    run_take,
)
SAMPLE = Command(
    "sample",
    "N distinct blocks picked at random, in file order",
    "molbrook sample -n 1000 --seed 7 library.sdf -o sample.sdf",
    configure_sample,
    run_sample,
)
