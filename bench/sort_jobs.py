"""The sort jobs of compare.py: sort_sdf by one number key, in memory and
spilling to disk, the top 100, and the best pose per title over 50 files,
against the round trip of the same bytes, `molbrook filter`, and what users
write today: RDKit read, sorted and written, and sorted() on molbrook
blocks."""

from __future__ import annotations

import itertools
import math
import os
from functools import partial
from pathlib import Path
from typing import Any, Callable

import common
from command_jobs import numeric_test
from common import Checksum, into_open_file, write_sdf_into

from molbrook import SortKey, parse_sdf, sort_sdf

PARTS = 50
SPILL_MEMORY = "16MiB"
SPILL_RSS_LIMIT = 96 * 2**20


def parts_of(lf: Path) -> list[Path]:
    """bench/data/STEM-parts/part-NN.sdf: the file cut into PARTS files of
    about equal size at block boundaries, made once."""
    folder = common.DATA / f"{lf.stem}-parts"
    names = [folder / f"part-{i:02d}.sdf" for i in range(PARTS)]
    if not all(name.exists() for name in names):
        folder.mkdir(exist_ok=True)
        share, done = lf.stat().st_size / PARTS, 0
        blocks = parse_sdf(os.fsencode(lf), borrow=True)
        for number, name in enumerate(names):
            with open(name, "wb") as out:
                for block in blocks:
                    done += len(memoryview(block))
                    out.write(memoryview(block))
                    if done >= share * (number + 1) and number < PARTS - 1:
                        break
    return names


def sort_file(sources: Any, out: Path, name: str, **options: Any) -> Checksum:
    summary = into_open_file(out, lambda dest: sort_sdf(sources, dest, by=[SortKey(name, kind="number")], **options))
    return Checksum(summary.blocks_out, length=out.stat().st_size)


def number(text: str | bytes | None) -> tuple[bool, float]:
    """sort_sdf's number key as a Python key: missing (or NaN) last."""
    try:
        value = float(text.strip()) if text is not None else math.nan
    except ValueError:
        value = math.nan
    return (math.isnan(value), 0.0 if math.isnan(value) else value)


def python_sort(path: Path, out: Path, name: str) -> Checksum:
    key = os.fsencode(name)
    blocks = sorted(parse_sdf(os.fsencode(path)), key=lambda block: number(block.get(key)))
    written = write_sdf_into(out, blocks)
    return Checksum(written, length=out.stat().st_size)


def rdkit_sort(path: Path, out: Path, name: str) -> Checksum:
    """RDKit reads every molecule, Python sorts them by the property, RDKit
    writes them back."""
    from rdkit import Chem

    with open(path, "rb") as f:
        molecules = [m for m in Chem.ForwardSDMolSupplier(f, sanitize=False, removeHs=False, strictParsing=False)
                     if m is not None]
    molecules.sort(key=lambda m: number(m.GetProp(name) if m.HasProp(name) else None))
    writer = Chem.SDWriter(str(out))
    writer.SetKekulize(False)  # the molecules were read unsanitized
    for molecule in molecules:
        writer.write(molecule)
    writer.close()
    return Checksum(len(molecules))


def parts_round_trip(parts: list[Path], out: Path) -> Checksum:
    written = write_sdf_into(out, itertools.chain.from_iterable(parse_sdf(os.fsencode(p)) for p in parts))
    return Checksum(written)


def jobs(job: Callable[..., Any], lf: Path, out: Path, with_rdkit: bool) -> list[Any]:
    """The jobs, made with compare.py's Job class."""
    name = os.fsdecode(numeric_test(lf)[0])
    parts = parts_of(lf)
    remove = partial(out.unlink, missing_ok=True)
    source = os.fsencode(lf)
    label = f"sort_sdf by {name}:n"
    sorting = partial(sort_file, source, out, name)
    spilling = partial(sort_file, source, out, name, memory=SPILL_MEMORY)
    made = [
        job("sort_number", f"molbrook: {label}", "molbrook", lf, sorting, sorting, setup=remove),
        job("sort_spill", f"molbrook: {label}, memory={SPILL_MEMORY}", "molbrook", lf, spilling, spilling,
            setup=remove, agrees_with="sort_number"),
        job("sort_top", f"molbrook: {label}, top=100", "molbrook", lf, partial(sorting, top=100),
            partial(sorting, top=100), setup=remove),
        job("python_sort", "plain Python: sorted(parse_sdf(...)), write_sdf", "peer", lf,
            partial(python_sort, lf, out, name), partial(python_sort, lf, out, name), setup=remove,
            agrees_with="sort_number"),
        job("sort_best_per_title", f"molbrook: {label}, best per title over {PARTS} files", "molbrook", lf,
            partial(sort_file, parts, out, name, group_on_title=True),
            partial(sort_file, parts, out, name, group_on_title=True), setup=remove),
        job("parts_round_trip", f"molbrook: write_sdf(parse_sdf(...)) of the {PARTS} files", "molbrook", lf,
            partial(parts_round_trip, parts, out), partial(parts_round_trip, parts, out), setup=remove,
            agrees_with="floor"),
    ]
    if with_rdkit:
        made.append(job("rdkit_sort", "RDKit: read, sort by the property, SDWriter", "peer", lf,
                        partial(rdkit_sort, lf, out, name), partial(rdkit_sort, lf, out, name), setup=remove,
                        must_agree=False))
    return made


def spill_rss_growth(path: Path, out: Path) -> int:
    """Peak resident growth of a fresh process sorting `path` by its
    numeric record with memory=SPILL_MEMORY."""
    name = os.fsdecode(numeric_test(path)[0])
    growth = common.peak_rss_growth(
        path, f"sort_sdf(path, open({str(out)!r}, 'wb'), by=[SortKey({name!r}, kind='number')], "
              f"memory={SPILL_MEMORY!r})")
    out.unlink(missing_ok=True)
    return growth


TARGETS = [
    ("sort_number", "round_trip", 0.4),
    ("sort_spill", "round_trip", 0.25),
    ("sort_top", "cli_filter", 0.8),
    ("sort_best_per_title", "parts_round_trip", 0.3),
    ("sort_number", "rdkit_sort", 30),
    ("sort_number", "python_sort", 1.5),
]
