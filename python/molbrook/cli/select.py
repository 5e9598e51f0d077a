"""`molbrook head`, `filter` and `cat`: some or all of the blocks of the
inputs, as they were read."""

from __future__ import annotations

import argparse
import itertools

from molbrook.cli import expressions
from molbrook.cli.errors import UsageError
from molbrook.cli.inputs import inputs
from molbrook.cli.options import Command, Parser, Renamed, add_inputs, add_output
from molbrook.cli.outputs import output
from molbrook.cli.watch import NameWatch
from molbrook.native import write_sdf


def configure_head(parser: Parser) -> None:
    parser.add_argument("-n", "--blocks", type=int, default=10, metavar="N", help="how many (default: 10)")
    add_inputs(parser)
    add_output(parser)


def run_head(args: argparse.Namespace) -> int:
    if args.blocks < 0:
        raise UsageError(f"-n must be 0 or more, not {args.blocks}")
    found = inputs(args.files, quiet=args.quiet)
    blocks = found.blocks()
    with output(found, args.output) as out:
        write_sdf(out, itertools.islice(blocks, args.blocks))
    return 0


def configure_filter(parser: Parser) -> None:
    parser.add_argument(
        "-w",
        "--where",
        action="append",
        default=[],
        metavar="EXPR",
        help="a test on a record: NAME (present), !NAME (absent), NAME=TEXT, NAME!=TEXT "
        "(true when absent too), NAME~REGEX (searched), NAME<NUM, <=, >, >= "
        "(false when not a number); the value is stripped. Repeat: all must hold",
    )
    parser.add_argument("--title-matches", metavar="REGEX", help="the title matches REGEX (searched)")
    parser.add_argument("-t", "--title", dest="title_matches", action=Renamed, new="--title-matches")
    parser.add_argument("-v", "--invert", action="store_true", help="keep the blocks that fail the tests")
    add_inputs(parser)
    add_output(parser)


def run_filter(args: argparse.Namespace) -> int:
    wheres = [expressions.parse(expression) for expression in args.where]
    tests = [where.test for where in wheres]
    if args.title_matches is not None:
        tests.append(expressions.title_test(args.title_matches))
    if not tests:
        raise UsageError("nothing to test: give --where or --title-matches")
    test = expressions.all_of(tests)
    found = inputs(args.files, quiet=args.quiet)
    watch = NameWatch(where.name for where in wheres)
    blocks = watch.passing(found.blocks())
    kept = itertools.filterfalse(test, blocks) if args.invert else filter(test, blocks)
    with output(found, args.output) as out:
        written = write_sdf(out, kept)
        watch.require()  # inside, so that OUT is not made
    return 0 if written else 1


def configure_cat(parser: Parser) -> None:
    add_inputs(parser)
    add_output(parser)


def run_cat(args: argparse.Namespace) -> int:
    found = inputs(args.files, quiet=args.quiet)
    blocks = found.blocks()
    with output(found, args.output) as out:
        write_sdf(out, blocks)
    return 0


HEAD = Command(
    "head",
    "the first blocks of the inputs, byte for byte",
    "molbrook head -n 3 library.sdf -o first3.sdf",
    configure_head,
    run_head,
)
FILTER = Command(
    "filter",
    "the blocks whose records pass every test, byte for byte",
    "molbrook filter --where 'MW<300' --where 'SMILES~N' library.sdf -o small.sdf",
    configure_filter,
    run_filter,
    status_one="no block is kept, as grep has",
)
CAT = Command(
    "cat",
    "the blocks of every input, byte for byte, one file after another",
    "molbrook cat part1.sdf part2.sdf.bz2 -o joined.sdf.gz",
    configure_cat,
    run_cat,
    "Compressed inputs are read by content and OUT is compressed by its "
    "extension (.gz as BGZF, which index reads at offsets): the way to join or recompress files.",
)
