"""Connection-table timings: header reads on every block of a corpus file,
and validation, renumbering and count fixing of one large V3000 table.

Usage: PYTHONPATH=python python bench/ctable.py [SDF] [--atoms N] [--repeat R]

SDF defaults to the largest file of the shared corpus. Each figure is the
best of R runs.
"""

import argparse
import random
import re
from pathlib import Path

from common import CORPUS, best_seconds
from molbrook import CTable, SDBlock


def best(repeat, work):
    return best_seconds(work, repeat)[0]


def blocks_of(path):
    return [SDBlock(m.group()) for m in re.finditer(rb"(?:[^\n]*\n)*?\$\$\$\$[^\n]*\n?", path.read_bytes())]


def shuffled_table(atoms):
    """A V3000 table with `atoms` atoms in random order under random indices,
    and as many bonds."""
    rng = random.Random(1)
    indices = rng.sample(range(1, 10 * atoms), atoms)
    atom_lines = [f"M  V30 {i} C {i * 0.1:.4f} 0 0 0" for i in indices]
    bond_lines = [f"M  V30 {b} 1 {indices[b - 1]} {indices[b % atoms]}" for b in range(1, atoms + 1)]
    return ["bench", "  molbrook", "", "  0  0  0     0  0            999 V3000", "M  V30 BEGIN CTAB",
            f"M  V30 COUNTS {atoms} {atoms} 0 0 0", "M  V30 BEGIN ATOM", *atom_lines, "M  V30 END ATOM",
            "M  V30 BEGIN BOND", *bond_lines, "M  V30 END BOND", "M  V30 END CTAB", "M  END"]


def report(label, seconds, count, unit):
    print(f"{label:<38} {seconds * 1e3:9.2f} ms  {count / seconds / 1e6:8.2f} M{unit}/s")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("sdf", nargs="?", type=Path)
    parser.add_argument("--atoms", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    path = args.sdf or max(CORPUS.rglob("*.sdf"), key=lambda p: p.stat().st_size)

    blocks = blocks_of(path)
    print(f"{path.name}: {len(blocks)} blocks")
    report("SDBlock.format", best(args.repeat, lambda: [b.format for b in blocks]), len(blocks), "blocks")
    report("SDBlock.num_atoms", best(args.repeat, lambda: [b.num_atoms for b in blocks]), len(blocks), "blocks")
    report("SDBlock.ctable()", best(args.repeat, lambda: [b.ctable() for b in blocks]), len(blocks), "blocks")

    lines = shuffled_table(args.atoms)
    print(f"V3000 table: {args.atoms} atoms, {args.atoms} bonds")
    n = len(lines)
    report("CTable(lines)", best(args.repeat, lambda: CTable(lines)), n, "lines")
    table = CTable(lines)
    report("valid_atom_indices()", best(args.repeat, table.valid_atom_indices), args.atoms, "lines")
    report("valid_bond_indices()", best(args.repeat, table.valid_bond_indices), args.atoms, "lines")
    report("CTable(lines).renumber_indices()", best(args.repeat, lambda: CTable(lines).renumber_indices()), n, "lines")
    table.renumber_indices()
    report("valid_atom_indices(strict=True)", best(args.repeat, lambda: table.valid_atom_indices(strict=True)),
           args.atoms, "lines")
    report("fix_counts()", best(args.repeat, table.fix_counts), n, "lines")
    block = SDBlock("\n".join(lines) + "\n$$$$\n")
    report("SDBlock.renumber_indices()", best(args.repeat, block.renumber_indices), n, "lines")


if __name__ == "__main__":
    main()
