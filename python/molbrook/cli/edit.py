"""`molbrook set`, `rm` and `rename`: record edits on every block, every
other byte kept."""

from __future__ import annotations

import argparse
import os
import shlex
from collections.abc import Callable, Iterable, Iterator, Sequence

from molbrook.cli.errors import FileError, UsageError
from molbrook.cli.inputs import Inputs, Source, inputs
from molbrook.cli.options import Command, Parser, add_inputs, add_output, names, pairs
from molbrook.cli.outputs import check_in_place, output
from molbrook.native import MalformedRecordError, SDBlock, _record_problem, write_sdf

Edit = Callable[[SDBlock[bytes]], None]


def checked_record(name: str, value: str = "") -> tuple[bytes, bytes]:
    """The record as bytes, once it is sure to read back as one record of
    that name and value."""
    record = (os.fsencode(name), os.fsencode(value))
    problem = _record_problem(*record)
    if problem is not None:
        shown = repr(f"{name}={value}") if value else repr(name)
        raise UsageError(f"{shown} would not read back as one record: {problem}")
    return record


def existing_name(name: str) -> bytes:
    """A name to look for: any name a header line can hold."""
    if "\n" in name or "\r" in name:
        raise UsageError(f"{name!r} holds a line break: no record has that name")
    return os.fsencode(name)


def edited(blocks: Iterable[SDBlock[bytes]], edit: Edit, label: str, refused: list[int]) -> Iterator[SDBlock[bytes]]:
    """The blocks edited; those that cannot take records (no M  END line
    ends their MDL) pass as the edit left them, their numbers in `refused`."""
    for number, block in enumerate(blocks, 1):
        try:
            edit(block)
        except MalformedRecordError as error:
            raise FileError(label, f"block {number}: {error}") from error
        except ValueError:
            refused.append(number)
        yield block


def setter(records: Sequence[tuple[bytes, bytes]]) -> Edit:
    def edit(block: SDBlock[bytes]) -> None:
        for name, value in records:
            block.set_record(name, value, header="copy")

    return edit


def remover(names: Sequence[bytes]) -> Edit:
    def edit(block: SDBlock[bytes]) -> None:
        for name in names:
            block.remove_record(name)

    return edit


def renamer(renames: Sequence[tuple[bytes, bytes]]) -> Edit:
    """Each OLD record takes the NEW name in its header line, in its place;
    a NEW record there already is replaced, as mv replaces a file."""

    def edit(block: SDBlock[bytes]) -> None:
        for old, new in renames:
            if old == new or old not in block:
                continue
            block.remove_record(new)
            block.rename_record(old, new)

    return edit


def write_edited(args: argparse.Namespace, edit: Edit) -> int:
    """The edited blocks of every FILE to OUT as one stream, or with
    --in-place each FILE replaced by its own edited blocks. Blocks that could
    not be edited fail the command once all of an output is written, so that
    it is not made (with --in-place, that file is left as it was)."""
    refuse_positional_edits(args.files)
    found = inputs(args.files, quiet=args.quiet)
    if not args.in_place:
        write_one(found, edit, args.output)
        return 0
    for each in found.sources:
        check_in_place(each)
        each.check_readable()
    for each in found.sources:
        write_one(each, edit, None, in_place=True)
    return 0


def write_one(found: Inputs | Source, edit: Edit, dest: str | None, *, in_place: bool = False) -> None:
    refused: list[int] = []
    with output(found, dest, in_place=in_place) as out:
        write_sdf(out, edited(found.blocks(), edit, found.label, refused))
        if refused:
            raise FileError.not_edited(found.label, refused)


def refuse_positional_edits(files: Sequence[str]) -> None:
    """An edit given where FILE goes (the form of earlier releases) is
    refused, unless a file has that name."""
    for name in files:
        if "=" in name and not os.path.exists(name):
            raise UsageError(f"{name!r} is not a file; edits go with -f, as in: -f {shlex.quote(name)}")


def configure(metavar: str, help: str) -> Callable[[Parser], None]:
    def add(parser: Parser) -> None:
        parser.add_argument(
            "-f", "--field", dest="edits", action="append", default=[], required=True, metavar=metavar, help=help
        )
        add_inputs(parser)
        add_output(parser, in_place=True)

    return add


def run_set(args: argparse.Namespace) -> int:
    # The value is everything after the first "=", commas included.
    return write_edited(args, setter([checked_record(name, value) for name, value in pairs(args.edits, "NAME=VALUE")]))


def run_rm(args: argparse.Namespace) -> int:
    return write_edited(args, remover([existing_name(name) for edit in args.edits for name in names(edit)]))


def run_rename(args: argparse.Namespace) -> int:
    items = [item for edit in args.edits for item in names(edit)]
    renames = [(existing_name(old), checked_record(new)[0]) for old, new in pairs(items, "OLD=NEW")]
    return write_edited(args, renamer(renames))


SET = Command(
    "set",
    "give records a value in every block",
    "molbrook set -f STATUS=active -f 'SOURCE=lab 2' library.sdf -o tagged.sdf",
    configure("NAME=VALUE", "a record to set, the value everything after the first = (repeat -f for more)"),
    run_set,
    "The first record of the name keeps its place and takes the value, later ones go; "
    "where there is none, one is appended. With -i each FILE is edited on its own.",
)
RM = Command(
    "rm",
    "remove records from every block",
    "molbrook rm -f NOTE,SOLUBILITY library.sdf -o lean.sdf",
    configure("NAME[,NAME...]", "records to remove (repeat -f for more)"),
    run_rm,
    "With -i each FILE is edited on its own.",
)
RENAME = Command(
    "rename",
    "rename records in every block",
    "molbrook rename -f MW=MolWeight part1.sdf part2.sdf --in-place",
    configure("OLD=NEW[,OLD=NEW...]", "renames, applied in order (repeat -f for more)"),
    run_rename,
    "A renamed record keeps its place and the rest of its header line, and "
    "replaces any record of the new name. With -i each FILE is edited on its own.",
)
