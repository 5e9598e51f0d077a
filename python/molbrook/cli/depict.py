"""`molbrook depict`: a static grid of depictions, as one HTML or SVG file."""

from __future__ import annotations

import argparse
import itertools

from molbrook.cli.errors import UsageError, no_record_named
from molbrook.cli.index import open_index, ordinals
from molbrook.cli.inputs import Source
from molbrook.cli.options import Command, Parser, Renamed, names
from molbrook.cli.outputs import STDOUT, output
from molbrook.native import SDBlock

DEFAULT_BLOCKS = 100


def output_format(name: str) -> str:
    """The grid's format, told by the output's extension (under any compression)."""
    from molbrook._grid import grid_format  # here, for a quicker start of the other commands

    if name == STDOUT:
        raise UsageError("-o must name a .html or .svg file")
    try:
        return grid_format(name)
    except ValueError:
        raise UsageError(f"-o must name a .html or .svg file, not {name!r}") from None


def picked(args: argparse.Namespace, source: Source, limit: int) -> list[tuple[int, SDBlock[bytes]]]:
    """The blocks to draw with their ordinals: at the ORDINALs, in their
    order, through the file's index, or the file's first ones."""
    if not args.ordinals:
        return list(itertools.islice(enumerate(source.blocks()), limit))
    if source.is_stdin:
        raise UsageError("ORDINALs are read through the file's index, so not from standard input")
    with open_index(args.file, args) as index:
        for wanted in args.ordinals:
            if isinstance(wanted, int) and not -len(index) <= wanted < len(index):
                raise UsageError(f"no block {wanted}: {args.file} holds {len(index)}")
        positions = itertools.chain.from_iterable(
            range(len(index))[wanted] if isinstance(wanted, slice) else [wanted % len(index)]
            for wanted in args.ordinals
        )
        return [(position, index[position]) for position in itertools.islice(positions, limit)]


def check_names(wanted: list[str], blocks: list[tuple[int, SDBlock[bytes]]]) -> None:
    seen = dict.fromkeys(name.decode("utf-8", "replace") for _, block in blocks for name in block.names())
    for name in wanted:
        if name not in seen:
            raise UsageError(no_record_named(name, seen))


def configure(parser: Parser) -> None:
    parser.add_argument("file", metavar="FILE", help="the SD file (- : standard input, without ORDINALs)")
    parser.add_argument(
        "ordinals",
        nargs="*",
        type=ordinals,
        metavar="ORDINAL",
        help="0-based ordinals (negative from the end) and ranges A:B[:STEP], read through the "
        "file's index; none: the file's first blocks",
    )
    parser.add_argument(
        "-n", "--blocks", type=int, metavar="N", help=f"draw at most N blocks (default: {DEFAULT_BLOCKS})"
    )
    parser.add_argument(
        "-f",
        "--fields",
        dest="names",
        type=names,
        metavar="NAME,...",
        default=[],
        help="the records to show under each drawing",
    )
    parser.add_argument("--names", type=names, action=Renamed, new="-f/--fields")
    parser.add_argument("--per-row", type=int, default=5, metavar="K", help="drawings in a row (default: 5)")
    parser.add_argument("-o", "--output", required=True, metavar="OUT", help="the grid: a .html or .svg file")


def run(args: argparse.Namespace) -> int:
    from molbrook._grid import grid  # here, for a quicker start of the other commands

    limit = DEFAULT_BLOCKS if args.blocks is None else args.blocks
    if limit < 0:
        raise UsageError(f"-n must be 0 or more, not {limit}")
    if args.per_row < 1:
        raise UsageError(f"--per-row must be 1 or more, not {args.per_row}")
    kind = output_format(args.output)
    source = Source(args.file, args.quiet)
    blocks = picked(args, source, limit)
    check_names(args.names, blocks)
    made = grid(
        (block for _, block in blocks),
        names=args.names,
        per_row=args.per_row,
        ordinals=[ordinal for ordinal, _ in blocks],
    )
    with output(source, args.output) as out:
        made.save(out, format=kind)
    return 0


COMMAND = Command(
    "depict",
    "a grid of the blocks' drawings with chosen records, as HTML or SVG",
    "molbrook depict library.sdf 0:20 -f ID,MW -o grid.html",
    configure,
    run,
    "Each block is drawn from its own coordinates; a block that cannot be drawn shows why.",
)
