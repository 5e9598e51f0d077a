"""Rebuilds the seed corpora under fuzz/corpus/<target>/.

Seeds are small BSD-licensed files of the RDKit sources from the tests'
corpus of real SD files, their SD data sections, and the
edge cases the tests use. Run from the repository root:

    python3 fuzz/seed_corpus.py
"""

import hashlib
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent
REAL = ROOT.parent / "tests" / "corpus" / "rdkit-src"
SMALL_FILES = [
    "O2.sdf", "sdErrors4.sdf", "Issue180.mol", "chebi_15469.v3k.mol", "dative_bonds_two.mol",
    "github3553.sdf", "m_with_enh_stereo.sdf", "mol_with_enhanced_stereo_2_And_groups.sdf",
    "sgroups_and_marvin_metal.mol", "v3k.crash1.mol",
]

STREAMS = [
    b"", b"$$$$", b"$$$$\n", b"\n", b"t\n$$$$\nu\n$$$$\n", b"t\r\n$$$$\r\n", b"t\n$$$$ tail\nrest",
    b"a\r$$$$\rb\r\n$$$$\r", b"x$$$$\n\r$$$$\n", b"t\nM  END\n> <A>\n1\n\n$$$$\n\n",
]

SECTIONS = [
    b"> <A>\n1\n2\n\n", b"> <A>\r\n1\r\n2\r\n\r\n", b"> <A>\n1\r\n2\n\n", b"> <A>\n  12.5 \n \t\n",
    b"> <A>\n1\n", b"  > <A>\n\n>\t<A>\n\n><A>\n\n", b"> 25 <NAME> (3)\n\n>  <A>  (1) \n\n",
    b"> <a> <b>\n\n> <>\n\n> <name\n\n", b"> name\n\n> >\n\n> (1)\n\n>  >x\n\n", b"junk\n> <A>\n1\n\n",
    b"> <A>\n> <B>\n\n> <B>\n2\n\n> <A>\nz\n\n",
]

EXAMPLE = [
    "title", "program line", "comment line", "  0  0  0     0  0            999 V3000",
    "M  V30 BEGIN CTAB", "M  V30 COUNTS 2 1 0 0 0", "M  V30 BEGIN ATOM", "M  V30 1 C 0 0 0 0",
    "M  V30 2 O 0 0 0 0", "M  V30 END ATOM", "M  V30 BEGIN BOND", "M  V30 1 1 1 2", "M  V30 END BOND",
    "M  V30 END CTAB", "M  END",
]


def example(changes):
    lines = []
    for number, line in enumerate(EXAMPLE, 1):
        new = changes.get(number, line)
        if new is not None:
            lines.extend(new if isinstance(new, list) else [new])
    return ("\n".join(lines) + "\n").encode()


TABLES = [
    example({}),
    example({8: "M  V30 5 C 0 0 0 0", 9: "M  V30 7 O 0 0 0 0", 12: "M  V30 3 1 5 7 CFG=2"}),
    example({8: "M  V30 1 C 0 0 0 0 -", 9: "M  V30 CHG=1"}),
    example({9: "M  V30 1 O 0 0 0 0"}),
    example({8: "M  V30 2 C 0 0 0 0 ATTCHORD=(2 1 2)", 13: ["M  V30 END BOND", "M  V30 BEGIN SGROUP"]}),
    example({14: ["M  V30 END CTAB", "M  V30 BEGIN CTAB", "M  V30 BEGIN ATOM"]}),
    b"t\n\n\n  5  4  0  0  0  0  0  0  0  0999 V2000\n",
    b"t\n\n\nM  V30 COUNTS 9 8 0 0 1\n\n\n",
]


ROWS = [
    b"a\nM  END\n> <n>\n12\n\n> <x>\n1.5e3\n\n$$$$\nb\nM  END\n> <x>\nnan\n\n> <n>\n 7 \n\n> <n>\n8\n\n$$$$\n",
    b"t\r\nM  END\r\n> <A>\r\n1\r\n2\r\n\r\n$$$$\r\nu\nM  END\n> <B>\n\n$$$$\n",
    b"t\xff\nM  END\n> <n>\nv\n\n$$$$\nu\nM  END\n> <n\xff>\nv\xfe\n\n> x\n\n$$$$\n",
]


def sections(block):
    """The SD data after the M  END line of each block of a file."""
    for part in block.split(b"$$$$"):
        end = part.find(b"M  END")
        if end >= 0:
            yield part[part.find(b"\n", end) + 1:]


def write(target, seeds):
    folder = ROOT / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    for seed in seeds:
        (folder / hashlib.sha1(seed).hexdigest()).write_bytes(seed)


def main():
    files = [(REAL / name).read_bytes() for name in SMALL_FILES if (REAL / name).is_file()]
    if not files:
        sys.exit(f"no corpus at {REAL}")
    write("text", files + STREAMS)
    write("newline", files + STREAMS)
    write("split", files + STREAMS)
    write("records", [s for f in files for s in sections(f) if s.strip()] + SECTIONS)
    write("record_edit", files + STREAMS + [b"t\nM  END\n" + s + b"$$$$\n" for s in SECTIONS])
    write("table", files + ROWS + [b"t\nM  END\n" + s + b"$$$$\n" for s in SECTIONS])
    write("ctable", files + TABLES + [re.sub(rb"\n", b"\r\n", t) for t in TABLES[:2]])
    write("lint", files + STREAMS + TABLES + [b"t\nM  END\n" + s + b"$$$$\n" for s in SECTIONS])
    write("index", files + STREAMS + ROWS)
    write("sort", files + STREAMS)


if __name__ == "__main__":
    main()
