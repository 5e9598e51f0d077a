"""`molbrook set`, `rm` and `rename`: record edits on every block, every
other byte kept."""

from __future__ import annotations

import argparse
import os
import shlex
from collections.abc import Callable, Iterable, Iterator, Sequence

from molbrook.cli.errors import FileError, UsageError
from molbrook.cli.inputs import inputs
from molbrook.cli.options import Command, Parser, add_inputs, add_output, names, pairs
from molbrook.cli.outputs import check_in_place, output
from molbrook.native import MalformedRecordError, SDBlock, write_sdf

Edit = Callable[[SDBlock[bytes]], None]

# A block to try records on: what does not read back as written would
# corrupt every block it went into.
_PROBE = b"probe\n\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n$$$$\n"


def checked_record(name: str, value: str = "") -> tuple[bytes, bytes]:
    """The record as bytes, once it is sure to read back as one record of
    that name and value (no line breaks in the name, no blank or $$$$ line
    in the value)."""
    record = (os.fsencode(name), os.fsencode(value))
    probe = SDBlock(_PROBE)
    probe.append_record(*record)
    if [block.records() for block in SDBlock.from_sdf(bytes(probe))] != [[record]]:
        shown = repr(f"{name}={value}") if value else repr(name)
        raise UsageError(f"{shown} would not read back as one record")
    return record


def edited(blocks: Iterable[SDBlock[bytes]], edit: Edit, label: str) -> Iterator[SDBlock[bytes]]:
    for number, block in enumerate(blocks, 1):
        try:
            edit(block)
        except MalformedRecordError as error:
            raise FileError(label, f"block {number}: {error}") from error
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
    """Each OLD record becomes a NEW one at the end of the records (the edits
    a block offers keep every other byte only that way); a NEW record there
    already is replaced, as mv replaces a file."""
    def edit(block: SDBlock[bytes]) -> None:
        for old, new in renames:
            if old == new or old not in block:
                continue
            values = [value for name, value in block.records() if name == old]
            block.remove_record(new)
            block.remove_record(old)
            for value in values:
                block.append_record(new, value, header="copy")
    return edit


def write_edited(args: argparse.Namespace, edit: Edit) -> int:
    """The edited blocks of every FILE to OUT as one stream, or with
    --in-place each FILE replaced by its own edited blocks."""
    refuse_positional_edits(args.files)
    found = inputs(args.files, quiet=args.quiet)
    if not args.in_place:
        with output(args.output, found) as out:
            write_sdf(out, edited(found.blocks(), edit, found.label))
        return 0
    for each in found.sources:
        check_in_place(each)
        each.check_readable()
    for each in found.sources:
        with output(None, each, in_place=True) as out:
            write_sdf(out, edited(each.blocks(), edit, each.label))
    return 0


def refuse_positional_edits(files: Sequence[str]) -> None:
    """An edit given where FILE goes (the form of earlier releases) is
    refused, unless a file has that name."""
    for name in files:
        if "=" in name and not os.path.exists(name):
            raise UsageError(f"{name!r} is not a file; edits go with -f, as in: -f {shlex.quote(name)}")


def configure(metavar: str, help: str) -> Callable[[Parser], None]:
    def add(parser: Parser) -> None:
        parser.add_argument("-f", "--field", dest="edits", action="append", default=[], required=True,
                            metavar=metavar, help=help)
        add_inputs(parser)
        add_output(parser, in_place=True)
    return add


def run_set(args: argparse.Namespace) -> int:
    # The value is everything after the first "=", commas included.
    return write_edited(args, setter([checked_record(name, value)
                                      for name, value in pairs(args.edits, "NAME=VALUE")]))


def run_rm(args: argparse.Namespace) -> int:
    return write_edited(args, remover([checked_record(name)[0] for edit in args.edits for name in names(edit)]))


def run_rename(args: argparse.Namespace) -> int:
    items = [item for edit in args.edits for item in names(edit)]
    renames = [(checked_record(old)[0], checked_record(new)[0]) for old, new in pairs(items, "OLD=NEW")]
    return write_edited(args, renamer(renames))


SET = Command("set", "give records a value in every block",
              "molbrook set -f STATUS=active -f 'SOURCE=lab 2' library.sdf -o tagged.sdf",
              configure("NAME=VALUE", "a record to set, the value everything after the first = (repeat -f "
                                      "for more)"), run_set,
              "The first record of the name keeps its place and takes the value, later ones go; "
              "where there is none, one is appended. With -i each FILE is edited on its own.")
RM = Command("rm", "remove records from every block",
             "molbrook rm -f NOTE,SOLUBILITY library.sdf -o lean.sdf",
             configure("NAME[,NAME...]", "records to remove (repeat -f for more)"), run_rm,
             "With -i each FILE is edited on its own.")
RENAME = Command("rename", "rename records in every block",
                 "molbrook rename -f MW=MolWeight part1.sdf part2.sdf --in-place",
                 configure("OLD=NEW[,OLD=NEW...]", "renames, applied in order (repeat -f for more)"),
                 run_rename, "A renamed record moves to the end of the records, and replaces any record "
                 "of the new name. With -i each FILE is edited on its own.")
