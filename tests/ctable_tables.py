"""Connection tables shared by the CTable tests, and the corpus's V3000 blocks."""

from conftest import CORPUS_FILES
from sdf_reference import split

from molbrook import SDBlock

# Unicode White_Space: it separates atom and bond fields and trims integer fields.
WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680"
    + "".join(chr(c) for c in range(0x2000, 0x200B))
    + "\u2028\u2029\u202f\u205f\u3000"
)

# The example V3000 table; changes to it are keyed by 1-based line number.
EXAMPLE = [
    "title",
    "program line",
    "comment line",
    "  0  0  0     0  0            999 V3000",
    "M  V30 BEGIN CTAB",
    "M  V30 COUNTS 2 1 0 0 0",
    "M  V30 BEGIN ATOM",
    "M  V30 1 C 0 0 0 0",
    "M  V30 2 O 0 0 0 0",
    "M  V30 END ATOM",
    "M  V30 BEGIN BOND",
    "M  V30 1 1 1 2",
    "M  V30 END BOND",
    "M  V30 END CTAB",
    "M  END",
]


def example(changes=None):
    """The example table with lines replaced (str), removed (None) or
    replaced by several (list)."""
    lines = []
    for number, line in enumerate(EXAMPLE, 1):
        change = (changes or {}).get(number, line)
        if isinstance(change, list):
            lines.extend(change)
        elif change is not None:
            lines.append(change)
    return lines


def sdf_text(lines, ending="\n"):
    """The text of a block holding the table's lines."""
    return "".join(line + ending for line in lines) + "$$$$" + ending


def corpus_v3000_blocks():
    """(id, bytes of one block) for every V3000 block of the corpus."""
    found = []
    for path in CORPUS_FILES:
        for number, (data, _) in enumerate(split(path.read_bytes()), 1):
            if SDBlock(data).format == "V3000":
                found.append((f"{path.name}#{number}", data))
    return found
