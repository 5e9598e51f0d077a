"""`molbrook sort`, `top` and `uniq`: the blocks of the inputs in order of
their records, the first N, or the best of each group, in bounded memory."""

from __future__ import annotations

import argparse
import contextlib
import sys
import warnings
from collections.abc import Iterator
from typing import IO, Any, Literal

from molbrook._sort import MissingRecordWarning, SortKey, SortSummary, same_destination, sort_sdf
from molbrook._types import TITLE, byte_size
from molbrook.cli.errors import FileError, UsageError, no_record_named
from molbrook.cli.inputs import Inputs, inputs
from molbrook.cli.options import KEY_HELP, Command, Parser, Renamed, add_inputs, add_output, key
from molbrook.cli.outputs import STDOUT, output
from molbrook.cli.words import counted
from molbrook.native import MalformedRecordError

FLAGS: dict[str, Literal["number", "natural"]] = {"n": "number", "V": "natural"}
ORDER_HELP = (
    "NAME or NAME:FLAGS, FLAGS from n (number), V (natural: ID-9 before ID-10), r (descending); "
    "@title is the title, @@NAME a record whose name starts with @. Repeat: most significant first"
)


def sort_key(text: str, missing: Literal["last", "first", "drop"]) -> SortKey:
    """A -k argument: NAME[:FLAGS]; a last part of other letters belongs to the name."""
    name, colon, flags = text.rpartition(":")
    if not colon:
        name, flags = text, ""
    elif not flags or set(flags) - {"n", "V", "r"}:
        raise UsageError(f"-k {text}: the flags after ':' are n (number), V (natural) and r (descending)")
    kinds = {FLAGS[flag] for flag in flags if flag in FLAGS}
    if len(kinds) > 1:
        raise UsageError(f"-k {text}: a key is a number (n) or natural (V), not both")
    return SortKey(key(name), kind=kinds.pop() if kinds else "text", descending="r" in flags, missing=missing)


def add_keys(parser: Parser, *spellings: str) -> None:
    """The order keys, spelled -k/--key where they are the command's key."""
    parser.add_argument(*spellings, dest="keys", action="append", default=[], metavar="KEY", help=ORDER_HELP)
    if "--key" in spellings:
        parser.add_argument("--by", dest="keys", action=Renamed, append=True, new="-k/--key")
    parser.add_argument(
        "--missing",
        choices=("last", "first", "drop"),
        default="last",
        help="blocks without a key's value go last (the default), first, or are dropped",
    )


def add_resources(parser: Parser) -> None:
    parser.add_argument(
        "--provenance",
        metavar="NAME",
        help="give each block written a record NAME holding FILE:ORDINAL (ordinals from 0)",
    )
    parser.add_argument(
        "-S",
        "--memory",
        default="256MiB",
        metavar="SIZE",
        help="memory for keys and offsets (default 256MiB; K, M, G or KiB, MiB, GiB); past it sorted runs go to files",
    )
    parser.add_argument("--buffer-size", dest="memory", action=Renamed, new="-S/--memory")
    parser.add_argument(
        "-T",
        "--tmpdir",
        metavar="DIR",
        help="where those files go (default: the system's temporary folder); they are removed on every way out",
    )
    parser.add_argument("--temporary-directory", dest="tmpdir", action=Renamed, new="-T/--tmpdir")


def configure_sort(parser: Parser) -> None:
    add_keys(parser, "-k", "--key")
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--group", type=key, metavar="KEY", help=f"groups of blocks with the same value of {KEY_HELP}")
    group.add_argument("--group-title", dest="group", action=Renamed, const=TITLE, new="--group @title")
    parser.add_argument(
        "--per-group",
        type=int,
        metavar="N",
        help="only the first N blocks of each group in sorted order (default with a group: 1)",
    )
    parser.add_argument("--top", type=int, metavar="N", help="only the first N blocks")
    parser.add_argument("--dups", metavar="FILE", help="write the blocks beyond --per-group there, in input order")
    add_resources(parser)
    add_inputs(parser)
    add_output(parser)


def configure_top(parser: Parser) -> None:
    parser.add_argument("-n", "--blocks", type=int, required=True, metavar="N", help="how many")
    add_keys(parser, "-k", "--key")
    add_resources(parser)
    add_inputs(parser)
    add_output(parser)


def configure_uniq(parser: Parser) -> None:
    by = parser.add_mutually_exclusive_group(required=True)
    by.add_argument(
        "-k",
        "--key",
        dest="group",
        type=key,
        action="append",
        metavar="KEY",
        help=f"blocks are duplicates when their values of {KEY_HELP} are equal",
    )
    by.add_argument("--title", dest="group", action=Renamed, const=TITLE, append=True, new="-k @title")
    add_keys(parser, "--by")
    parser.add_argument("--dups", metavar="FILE", help="write the duplicates there, in input order")
    add_resources(parser)
    add_inputs(parser)
    add_output(parser)


def run_sort(args: argparse.Namespace) -> int:
    return sorted_to(args, group=args.group, per_group=args.per_group, top=args.top, duplicates=args.dups)


def run_top(args: argparse.Namespace) -> int:
    return sorted_to(args, top=args.blocks)


def run_uniq(args: argparse.Namespace) -> int:
    # Before -k was the group key it was uniq's order key: two of them are
    # refused rather than taken one for the other.
    if len(args.group) > 1:
        raise UsageError("uniq takes one key (-k KEY); order the blocks of each group with --by")
    return sorted_to(args, group=args.group[0], per_group=1, duplicates=args.dups)


def sorted_to(args: argparse.Namespace, *, duplicates: str | None = None, **options: Any) -> int:
    keys = [sort_key(text, args.missing) for text in args.keys]
    try:
        byte_size(args.memory, "memory")
    except ValueError as error:
        raise UsageError(f"-S {args.memory}: {error}") from error
    if options.get("per_group") is not None and options.get("group") is None:
        raise UsageError("--per-group needs --group")
    for name in ("per_group", "top"):
        if options.get(name) is not None and options[name] < 1:
            raise UsageError(f"--{name.replace('_', '-')} must be 1 or more, not {options[name]}")
    if duplicates is not None and same_destination(written_to(args.output), written_to(duplicates)):
        raise UsageError(f"--dups {duplicates} is also the output: the duplicates would be written over")
    found = inputs(args.files, quiet=args.quiet)
    for each in found.sources:
        each.check_readable()
    with output(found, args.output) as out, aside(found, duplicates) as dups, found.byte_counter() as advance:
        summary = sort_blocks(found, out, keys, args, duplicates=dups, progress=advance, **options)
    if not args.quiet:
        report(args, summary)
    return 0


def sort_blocks(
    found: Inputs, out: IO[bytes], keys: list[SortKey], args: argparse.Namespace, **options: Any
) -> SortSummary:
    try:
        with warnings.catch_warnings():
            # A key's record that no block has is a typo: nothing is written.
            warnings.simplefilter("error", MissingRecordWarning)
            return sort_sdf(
                [each.readable() for each in found.sources],
                out,
                by=keys,
                provenance=args.provenance,
                memory=args.memory,
                tmpdir=args.tmpdir,
                **options,
            )
    except MissingRecordWarning as missing:
        raise UsageError(no_record_named(text(missing.name), map(text, missing.seen))) from missing
    except MalformedRecordError as error:
        raise FileError(found.label, f"{error} ({' '.join(getattr(error, '__notes__', []))})") from error
    except ValueError as error:  # the arguments were checked: it is about the blocks read
        raise FileError(found.label, str(error)) from error
    except FileNotFoundError as error:
        if error.filename is not None and args.tmpdir is not None:
            raise FileError(args.tmpdir, error.strerror or str(error)) from error
        raise


def text(name: str | bytes) -> str:
    """A record name read as bytes, for a message."""
    return name.decode("utf-8", "backslashreplace") if isinstance(name, bytes) else name


def written_to(name: str | None) -> str | IO[bytes]:
    """What an output argument writes to: a path, or standard output."""
    return sys.stdout.buffer if name is None or name == STDOUT else name


@contextlib.contextmanager
def aside(found: Inputs, name: str | None) -> Iterator[IO[bytes] | None]:
    if name is None:
        yield None
        return
    with output(found, name) as out:
        yield out


def report(args: argparse.Namespace, summary: SortSummary) -> None:
    said = [f"{counted(summary.blocks_in, 'block')} in", f"{summary.blocks_out:,} out"]
    if summary.missing_dropped:
        said.append(f"{summary.missing_dropped:,} dropped for a missing key")
    if summary.duplicates:
        said.append(f"{counted(summary.duplicates, 'duplicate')}{' set aside' if getattr(args, 'dups', None) else ''}")
    if summary.spilled_runs:
        said.append(f"{counted(summary.spilled_runs, 'sorted run')} spilled to disk")
    print(f"molbrook {args.command_name}: {', '.join(said)}", file=sys.stderr)


SORT = Command(
    "sort",
    "the blocks of the inputs in order of their records",
    "molbrook sort -k minimizedAffinity:n --group @title poses/*.sdf.gz -o best.sdf",
    configure_sort,
    run_sort,
    "Ties keep input order. With --group, only the first --per-group blocks "
    "of each group are written (best pose per ligand); --dups keeps the others. Inputs larger "
    "than -S are sorted in runs on disk. A summary goes to standard error unless -q.",
)
TOP = Command(
    "top",
    "the first N blocks in order of their records",
    "molbrook top -n 500 -k score:nr library*.sdf -o buy.sdf",
    configure_top,
    run_top,
    "As sort --top N, in memory for N blocks.",
)
UNIQ = Command(
    "uniq",
    "one block per key: the best by --by, else the first",
    "molbrook uniq -k ID --by score:n --dups dups.sdf a.sdf b.sdf -o unique.sdf",
    configure_uniq,
    run_uniq,
    "As sort --group KEY --per-group 1, the output in --by order.",
)
