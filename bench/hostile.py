"""Crafted inputs that would cost quadratic time if a search went back over
bytes it has already seen. Each line compares the crafted input with a
plain one of the same size; a ratio near 1 is the linear behaviour, and
the ratio grows with the size if it is not.

    PYTHONPATH=python python3 bench/hostile.py [--mb 100] [--atoms 40000]
"""

import argparse

from common import best_seconds
from molbrook.native import CTable, SDBlock

MB = 1 << 20


def best(run):
    return best_seconds(run, repeat=3)[0]


def terminator_line(mb):
    """A $$$$ line waiting for its LF is searched once, not once per chunk."""
    tail = b"x" * (mb * MB)
    crafted = best(lambda: list(SDBlock.from_sdf(b"$$$$" + tail)))
    plain = best(lambda: list(SDBlock.from_sdf(b"t" + tail)))
    return crafted, plain


def colliding_indices(atoms):
    """Atom indices chosen to share a slot run of a fixed multiplicative hash
    cost no more to validate than 1..n: keys are mixed with a per-process
    secret first."""
    inverse = pow(0x9E3779B97F4A7C15, -1, 2**64)
    head = ["t", "p", "c", "  0  0  0     0  0            999 V3000", "M  V30 BEGIN CTAB",
            f"M  V30 COUNTS {atoms} 0 0 0 0", "M  V30 BEGIN ATOM"]
    tail = ["M  V30 END ATOM", "M  V30 END CTAB", "M  END"]

    def table(indices):
        return CTable(head + [f"M  V30 {index} C 0 0 0 0" for index in indices] + tail)

    def signed(value):
        return value - 2**64 if value >= 2**63 else value

    crafted = table(signed(inverse * k % 2**64) for k in range(atoms))
    plain = table(range(1, atoms + 1))
    return best(crafted.valid_atom_indices), best(plain.valid_atom_indices)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mb", type=int, default=100, help="size of the long line (MiB)")
    parser.add_argument("--atoms", type=int, default=40000, help="atom lines of the crafted table")
    args = parser.parse_args()
    for label, (crafted, plain) in [
        (f"$$$$ line of {args.mb} MiB vs a plain line", terminator_line(args.mb)),
        (f"{args.atoms} colliding atom indices vs 1..n", colliding_indices(args.atoms)),
    ]:
        print(f"{label}: {crafted * 1e3:.1f} ms vs {plain * 1e3:.1f} ms, ratio {crafted / plain:.2f}")


if __name__ == "__main__":
    main()
