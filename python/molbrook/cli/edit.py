"""`molbrook set`, `rm` and `rename`: record edits on every block, every
other byte kept."""

from __future__ import annotations

import argparse
import os
from collections.abc import Callable, Iterable, Iterator, Sequence

from molbrook.cli.errors import FileError, UsageError
from molbrook.cli.inputs import Source, source
from molbrook.cli.options import Command, Parser, add_output, pairs
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
    """Writes every block edited; blocks that could not be edited fail the
    command once all are written, so that an output file is not made."""
    found = source(args.file, quiet=args.quiet)
    if args.in_place:
        check_in_place(found)
    refused: list[int] = []
    blocks = edited(found.blocks(), edit, found.label, refused)
    with output(args.output, found, in_place=args.in_place) as out:
        write_sdf(out, blocks)
        if refused:
            raise FileError.not_edited(found.label, refused)
    return 0


def split_file(items: list[str], is_operand: Callable[[str], bool]) -> tuple[list[str], str | None]:
    """Operands, then FILE when the last argument is not an operand."""
    if items and not is_operand(items[-1]):
        return items[:-1], items[-1]
    return items, None


def configure(metavar: str, help: str) -> Callable[[Parser], None]:
    def add(parser: Parser) -> None:
        parser.add_argument("items", nargs="+", metavar=metavar, help=help)
        add_output(parser, in_place=True)
    return add


def run_set(args: argparse.Namespace) -> int:
    items, args.file = split_file(args.items, lambda item: "=" in item)
    if not items:
        raise UsageError("nothing to set: give NAME=VALUE")
    return write_edited(args, setter([checked_record(name, value) for name, value in pairs(items, "NAME=VALUE")]))


def run_rm(args: argparse.Namespace) -> int:
    # NAME... FILE: with two or more arguments, the last one is FILE.
    items, args.file = (args.items[:-1], args.items[-1]) if len(args.items) > 1 else (args.items, None)
    return write_edited(args, remover([existing_name(name) for name in items]))


def run_rename(args: argparse.Namespace) -> int:
    items, args.file = split_file(args.items, lambda item: "=" in item)
    if not items:
        raise UsageError("nothing to rename: give OLD=NEW")
    renames = [(existing_name(old), checked_record(new)[0]) for old, new in pairs(items, "OLD=NEW")]
    return write_edited(args, renamer(renames))


SET = Command("set", "give records a value in every block",
              "molbrook set STATUS=active SOURCE='lab 2' library.sdf -o tagged.sdf",
              configure("NAME=VALUE", "records to set, then FILE (- or none: standard input)"), run_set,
              "The first record of the name keeps its place and takes the value, later ones go; "
              "where there is none, one is appended.")
RM = Command("rm", "remove records from every block",
             "molbrook rm NOTE SOLUBILITY library.sdf -o lean.sdf",
             configure("NAME", "records to remove, then FILE when there are two or more arguments "
                               "(otherwise standard input)"), run_rm)
RENAME = Command("rename", "rename records in every block",
                 "molbrook rename MW=MolWeight library.sdf --in-place",
                 configure("OLD=NEW", "renames, applied in order, then FILE (- or none: standard input)"),
                 run_rename, "A renamed record keeps its place and the rest of its header line, and "
                 "replaces any record of the new name.")
