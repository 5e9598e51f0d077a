"""The depiction jobs of compare.py: SDBlock.depict() to SVG strings on one
thread, against RDKit parsing each molblock without sanitizing and drawing
it with MolDraw2DSVG, on the same blocks: the first SAMPLE_BLOCKS of the
file, written once to a file of their own (RDKit would take minutes over a
whole big file), so that MB/s and blocks/s count what was drawn."""

from __future__ import annotations

import itertools
import os
from collections import deque
from pathlib import Path
from typing import Any, Callable

from common import DATA, Checksum

from molbrook import SDBlock, parse_sdf, write_sdf

SAMPLE_BLOCKS = 10_000
WIDTH, HEIGHT = 300, 200


def sample_file(lf: Path) -> Path:
    """The file's first SAMPLE_BLOCKS blocks, written once beside it."""
    sample = DATA / f"{lf.stem}-depict-{SAMPLE_BLOCKS}.sdf"
    if not sample.exists():
        write_sdf(sample, itertools.islice(parse_sdf(os.fsencode(lf)), SAMPLE_BLOCKS))
    return sample


def depict_all(blocks: list[SDBlock[bytes]]) -> None:
    deque((block.depict(WIDTH, HEIGHT) for block in blocks), maxlen=0)


def depict_checksum(blocks: list[SDBlock[bytes]]) -> Checksum:
    """Drawings, placeholders among them, and the SVG's total length."""
    svgs = [block.depict(WIDTH, HEIGHT) for block in blocks]
    return Checksum(len(svgs), sum("<line" not in svg for svg in svgs), sum(map(len, svgs)))


def rdkit_svg(molblock: str) -> str | None:
    from rdkit import Chem
    from rdkit.Chem.Draw import rdMolDraw2D

    mol = Chem.MolFromMolBlock(molblock, sanitize=False, removeHs=False)
    if mol is None:
        return None
    drawer = rdMolDraw2D.MolDraw2DSVG(WIDTH, HEIGHT)
    try:
        drawer.DrawMolecule(mol)
    except RuntimeError:  # a table it cannot draw unsanitized: counted, as molbrook's placeholders are
        return None
    drawer.FinishDrawing()
    return drawer.GetDrawingText()


def rdkit_all(molblocks: list[str]) -> None:
    deque(map(rdkit_svg, molblocks), maxlen=0)


def rdkit_checksum(molblocks: list[str]) -> Checksum:
    svgs = [rdkit_svg(molblock) for molblock in molblocks]
    return Checksum(len(svgs), sum(svg is None for svg in svgs), None)


def jobs(job: Callable[..., Any], lf: Path, with_rdkit: bool) -> list[Any]:
    """The jobs, made with compare.py's Job class; the blocks are read
    before any timing."""
    sample = sample_file(lf)
    blocks = list(parse_sdf(os.fsencode(sample)))
    made = [job("depict", "molbrook: SDBlock.depict(), one thread", "molbrook", sample,
                lambda: depict_all(blocks), lambda: depict_checksum(blocks))]
    if with_rdkit:
        molblocks = [block.molblock.decode("latin-1") for block in blocks]
        made.append(job("rdkit_depict", "RDKit: MolFromMolBlock(sanitize=False) + MolDraw2DSVG", "peer", sample,
                        lambda: rdkit_all(molblocks), lambda: rdkit_checksum(molblocks),
                        agrees_with="depict", must_agree=False))
    return made


# (job, reference, minimum ratio of their throughputs on the same file)
TARGETS = [("depict", "rdkit_depict", 30)]
