"""CTable: V3000 sections, validation, renumbering, count fixing, and the class."""

import re
import sys

import pytest
from ctable_tables import EXAMPLE, corpus_v3000_blocks, example
from hypothesis import given
from hypothesis import strategies as st

from molbrook import CTable, SDBlock
from molbrook import IndicesDuplicateError as Duplicate
from molbrook import IndicesMismatchError as Mismatch
from molbrook import IndicesOutOfOrderError as OutOfOrder
from molbrook import MalformedCTableError as Malformed

V2000 = ["t", "p", "c", "  2  1  0  0  0  0  0  0  0  0999 V2000", "M  END"]
ATOM, BOND = "valid_atom_indices", "valid_bond_indices"
END_BOND_MISSING = "CTable line 11: M  V30 BEGIN BOND has no M  V30 END BOND line"
CONTINUED_INTO_END = 'CTable line 9: continues ("-") onto the M  V30 END ATOM line'


def run(table, operation, *args):
    """The operation's result, or its exception's class and message."""
    try:
        return getattr(table, operation)(*args)
    except Exception as error:
        return type(error), str(error)


@pytest.mark.parametrize("changes, method, strict, outcome", [
    ({}, ATOM, True, True),
    ({}, BOND, True, True),
    # Loose checks find duplicates (the property below); strict ones find what is out of order first.
    ({9: "M  V30 3 O 0 0 0 0"}, ATOM, True, (OutOfOrder, "CTable line 9: atom index 3 is out of order")),
    ({9: "M  V30 x O 0 0 0 0"}, ATOM, False, (Malformed, "CTable line 9: atom index x is not an integer")),
    ({9: "M  V30"}, ATOM, False, (Malformed, "CTable line 9: no atom index field")),
    # Counts against lines; a bad line is reported before a wrong count.
    ({8: "M  V30 1 C 0 0 0 0 -", 9: "M  V30 CHG=1"}, ATOM, False,
     (Mismatch, "fewer atom lines (1) than the counts line declares (2)")),
    ({10: ["M  V30 3 N 0 0 0 0", "M  V30 END ATOM"]}, ATOM, False,
     (Mismatch, "more atom lines (3) than the counts line declares (2)")),
    ({9: "M  V30 x", 10: ["M  V30 3 N", "M  V30 END ATOM"]}, ATOM, False,
     (Malformed, "CTable line 9: atom index x is not an integer")),
    ({6: "M  V30 COUNTS 2 0 0 0 0", 11: None, 12: None, 13: None}, BOND, True, True),
    ({11: None, 12: None, 13: None}, BOND, False, (Mismatch, "fewer bond lines (0) than the counts line declares (1)")),
    ({6: "M  V30 COUNTS 0 1 0 0 0", 8: None, 9: None}, ATOM, True, True),  # empty body
    # Sections of the root CTAB.
    ({13: None}, ATOM, True, True),  # a broken BOND section is not looked at
    ({13: None}, BOND, False, (Malformed, END_BOND_MISSING)),
    ({8: None, 9: None, 10: None}, ATOM, False,
     (Malformed, "CTable line 7: M  V30 BEGIN ATOM has no M  V30 END ATOM line")),
    ({10: None, 14: ["M  V30 END CTAB", "M  V30 END ATOM"]}, ATOM, False,
     (Malformed, "CTable line 7: M  V30 BEGIN ATOM has no M  V30 END ATOM line")),
    ({9: "M  V30 BEGIN ATOM"}, ATOM, False,
     (Malformed, "CTable line 9: more than one M  V30 BEGIN ATOM line in the root CTAB")),
    ({15: ["M  V30 BEGIN CTAB", "M  V30 BEGIN ATOM", "M  V30 7 X", "M  V30 BEGIN ATOM", "M  END"]},
     ATOM, True, True),  # a CTAB after the root one is not seen
    ({7: "m  v30 begin atom", 10: "m  V30 end Atom  \r\n"}, ATOM, True, True),
    ({7: "M V30 BEGIN ATOM"}, ATOM, False, (Mismatch, "fewer atom lines (0) than the counts line declares (2)")),
    # Continued lines.
    ({9: "M  V30 2 O 0 0 0 0 -"}, ATOM, False, (Malformed, CONTINUED_INTO_END)),
    ({9: "M  V30 2 O 0 0 0 0 - "}, ATOM, True, True),
    ({8: "M  V30 -", 9: "m  v30 1 C -\r\n", 10: ["M  V30  CHG=1", "M  V30 2 O", "M  V30 END ATOM"]}, ATOM, True, True),
    ({8: "M  V30 -", 9: "M  V30 x C"}, ATOM, False, (Malformed, "CTable line 8: atom index x is not an integer")),
    # White_Space separates atom and bond fields; other spaces do not.
    ({8: "M  V30\xa01\u3000C 0 0 0 0", 9: "M\u2003V30\u20282\x85O"}, ATOM, True, True),
    ({9: "M  V30\x1c2 O"}, ATOM, False, (Malformed, "CTable line 9: atom index O is not an integer")),
    # Formats.
    (V2000, ATOM, False, (NotImplementedError, "validating atom indices is only implemented for V3000 tables")),
])
def test_validation(changes, method, strict, outcome):
    lines = example(changes) if isinstance(changes, dict) else changes
    table = CTable(lines)
    assert run(table, method, strict) == outcome
    assert table.lines == lines


@given(st.lists(st.integers(-(2**63), 2**63 - 1) | st.integers(-3, 3), min_size=1, max_size=50))
def test_duplicates_found(indices):
    lines = example({6: f"M  V30 COUNTS {len(indices)} 1", 8: [f"M  V30 {i} C" for i in indices], 9: None})
    repeat = next((k for k, index in enumerate(indices) if index in indices[:k]), None)
    expected = True if repeat is None else (
        Duplicate, f"CTable line {8 + repeat}: atom index {indices[repeat]} is a duplicate")
    assert run(CTable(lines), ATOM) == expected


def renumbered(changes, expected):
    """The example with `changes`, then the expected lines over those."""
    return example(changes), example({**changes, **expected})


NOT_SUPPORTED = "renumbering does not support {} yet"
ATTCHORD_REFUSED = NOT_SUPPORTED.format("ATTCHORD atom references")
SGROUP_REFUSED = NOT_SUPPORTED.format("SGROUP atom and bond references")
SGROUP = ["M  V30 BEGIN SGROUP", "M  V30 1 SUP 0 ATOMS=(1 2)", "M  V30 END SGROUP", "M  V30 END CTAB"]


@pytest.mark.parametrize("changes, expected", [
    ({8: "M  V30 5 C 0 0 0 0", 9: "M  V30 7 O 0 0 0 0", 12: "M  V30 3 1 5 7 CFG=2"},
     {8: "M  V30 1 C 0 0 0 0", 9: "M  V30 2 O 0 0 0 0", 12: "M  V30 1 1 1 2 CFG=2"}),
    ({12: "M  V30   1  2  1  2"}, {12: "M  V30 1 2 1 2"}),
    ({8: "m  v30  1 C", 9: "M\tV30\xa02\u3000O\r\n", 12: "M  V30 1 q 2\xa01 \r\n"},
     {8: "M  V30 1 C", 9: "M  V30 2\u3000O\r\n", 12: "M  V30 1 q 2 1 \r\n"}),
    ({8: "M  V30 -4 C", 9: "M  V30 -9223372036854775808 O", 12: "M  V30 9 1 -9223372036854775808 -4"},
     {8: "M  V30 1 C", 9: "M  V30 2 O", 12: "M  V30 1 1 2 1"}),
    ({8: "M  V30 4 C", 9: "M  V30 4 O", 12: None}, {8: "M  V30 1 C", 9: "M  V30 2 O"}),
    # Refusals only guard changes.
    ({14: SGROUP}, {}),
    ({8: "M  V30 1 C 0 0 0 0 ATTCHORD=(2 1 2)", 12: "M  V30 1 1 1 2 ENDPTS=(1 1)"}, {}),
    # ENDPTS refers to atoms only on bond lines, ATTCHORD only on atom lines.
    ({8: "M  V30 3 C ENDPTS=(1 1)", 12: "M  V30 1 1 3 2 ATTCHORD=(2 1 2)"},
     {8: "M  V30 1 C ENDPTS=(1 1)", 12: "M  V30 1 1 1 2 ATTCHORD=(2 1 2)"}),
])
def test_renumbering(changes, expected):
    lines, after = renumbered(changes, expected)
    table = CTable(lines)
    table.renumber_indices()
    assert table.lines == after
    assert (table.num_atoms, table.num_bonds) == (2, 1)
    table.renumber_indices()
    assert table.lines == after


OUT_OF_ORDER = {8: "M  V30 5 C", 12: "M  V30 1 1 5 2"}


@pytest.mark.parametrize("changes, outcome", [
    ({8: "M  V30 4 C", 9: "M  V30 4 O", 12: "M  V30 1 1 4 2"},
     (Duplicate, "CTable line 12: bond atom 4 is the index of several atoms")),
    ({8: "M  V30 4 C", 9: "M  V30 4 O", 12: "M  V30 1 1 9 4"},
     (Duplicate, "CTable line 12: bond atom 4 is the index of several atoms")),
    ({12: "M  V30 1 1 1 9"}, (Malformed, "CTable line 12: bond atom 9 is not an atom index")),
    ({12: "M  V30 1 1 1"}, (Malformed, "CTable line 12: no second bond atom field")),
    ({12: "M  V30 1"}, (Malformed, "CTable line 12: no bond type field")),
    ({12: "M"}, (Malformed, "CTable line 12: no bond index field")),
    ({12: "M  V30 1 1 x 2"}, (Malformed, "CTable line 12: first bond atom x is not an integer")),
    ({12: "M  V30 z 1 x y"}, (Malformed, "CTable line 12: bond index z is not an integer")),
    ({9: "M  V30 x O", 12: "M  V30 z"}, (Malformed, "CTable line 9: atom index x is not an integer")),
    ({9: "M  V30 2 O 0 0 0 0 -"}, (Malformed, CONTINUED_INTO_END)),
    # Refusals, checked in a fixed order once some index changes.
    ({8: "M  V30 1 C 0 0 0 0 -", 9: "M  V30 CHG=1", 10: ["M  V30 2 O", "M  V30 END ATOM"]},
     (NotImplementedError, NOT_SUPPORTED.format("continued (-) atom or bond lines"))),
    ({15: ["M  V30 BEGIN CTAB", "M  END"]},
     (NotImplementedError, NOT_SUPPORTED.format("CTABs nested in RGROUP or TEMPLATE blocks"))),
    ({**OUT_OF_ORDER, 14: SGROUP}, (NotImplementedError, SGROUP_REFUSED)),
    ({12: "M  V30 3 1 1 2", 14: SGROUP}, (NotImplementedError, SGROUP_REFUSED)),
    ({**OUT_OF_ORDER, 8: "M  V30 5 C ATTCHORD=(2 1 2)"}, (NotImplementedError, ATTCHORD_REFUSED)),
    ({**OUT_OF_ORDER, 9: "M  V30 2 O attchord=(2 1 2)", 14: SGROUP}, (NotImplementedError, ATTCHORD_REFUSED)),
    ({12: "M  V30 4 1 1 2 ENDPTS=(3 1 2 3)"}, (NotImplementedError, NOT_SUPPORTED.format("ENDPTS atom references"))),
    ({**OUT_OF_ORDER, 14: ["M  V30 BEGIN COLLECTION", "M  V30 END COLLECTION"] + SGROUP},
     (NotImplementedError, SGROUP_REFUSED)),
    ({**OUT_OF_ORDER, 14: ["M  V30 BEGIN COLLECTION", "M  V30 END CTAB"]},
     (NotImplementedError, NOT_SUPPORTED.format("COLLECTION atom and bond references"))),
    ({**OUT_OF_ORDER, 14: ["m  v30 begin obj3d", "M  V30 END CTAB"]},
     (NotImplementedError, NOT_SUPPORTED.format("OBJ3D atom references"))),
    ({**OUT_OF_ORDER, 14: ["M  V30 LINKNODE 1 2 2 1 2", "M  V30 END CTAB"]},
     (NotImplementedError, NOT_SUPPORTED.format("LINKNODE atom references"))),
])
def test_renumbering_errors(changes, outcome):
    lines = example(changes)
    table = CTable(lines)
    assert run(table, "renumber_indices") == outcome
    assert table.lines == lines


@pytest.mark.parametrize("changes, counts_line, atoms, bonds", [
    ({10: ["M  V30 3 N 0 0 0 0", "M  V30 END ATOM"]}, "M  V30 COUNTS 3 1 0 0 0", 3, 1),
    ({11: None, 12: None, 13: None}, "M  V30 COUNTS 2 0 0 0 0", 2, 0),
    ({8: "M  V30 1 C 0 0 0 0 -", 9: "M  V30 CHG=1", 10: ["M  V30 2 O", "M  V30 END ATOM"]},
     "M  V30 COUNTS 2 1 0 0 0", 2, 1),
    ({6: "M  V30 COUNTS 7 7 0 0 0", 8: None, 9: None, 12: None}, "M  V30 COUNTS 0 0 0 0 0", 0, 0),
])
def test_fix_counts(changes, counts_line, atoms, bonds):
    lines = example(changes)
    table = CTable(lines)
    table.fix_counts()
    assert table.lines == lines[:5] + [counts_line] + lines[6:]
    assert (table.num_atoms, table.num_bonds) == (atoms, bonds)
    assert table.valid_atom_indices() and table.valid_bond_indices()


@pytest.mark.parametrize("lines, operation, outcome", [
    (example({15: ["M  V30 BEGIN CTAB", "M  END"]}), "fix_counts",
     (NotImplementedError, "fixing counts does not support CTABs nested in RGROUP or TEMPLATE blocks yet")),
    (example({13: None}), "fix_counts", (Malformed, END_BOND_MISSING)),
    (example({9: "M  V30 2 O -"}), "fix_counts", (Malformed, CONTINUED_INTO_END)),
    (V2000, "fix_counts", (NotImplementedError, "fixing counts is only implemented for V3000 tables")),
    (V2000, "renumber_indices", (NotImplementedError, "renumbering is only implemented for V3000 tables")),
])
def test_repair_errors(lines, operation, outcome):
    table = CTable(lines)
    assert run(table, operation) == outcome
    assert table.lines == lines
    assert table.num_atoms == 2


def section(lines, name):
    """The body of a section as a slice of line positions, empty if absent."""
    begins = [i for i, line in enumerate(lines) if line.startswith(f"M  V30 BEGIN {name}")]
    if not begins:
        return 0, 0
    end = next(i for i, line in enumerate(lines) if line.startswith(f"M  V30 END {name}"))
    return begins[0] + 1, end


def shuffled(lines, rng):
    """The table with its atom lines shuffled under new unique indices and
    its bond lines shuffled and re-indexed, atom references following the
    atoms; and the lines renumbering should give back."""
    atoms_at, atoms_end = section(lines, "ATOM")
    atoms = [re.match(r"M  V30 (\S+)(.*)", line, re.S).groups() for line in lines[atoms_at:atoms_end]]
    order = rng.sample(range(len(atoms)), len(atoms))
    new_indices = rng.sample(range(-(2**40), 2**40), len(atoms))
    new_index = {atoms[i][0]: new for i, new in zip(order, new_indices)}
    position = {atoms[i][0]: k for k, i in enumerate(order, 1)}
    shuffled_lines, expected = list(lines), list(lines)
    shuffled_lines[atoms_at : atoms_at + len(atoms)] = [f"M  V30 {n}{atoms[i][1]}" for i, n in zip(order, new_indices)]
    expected[atoms_at : atoms_at + len(atoms)] = [f"M  V30 {k}{atoms[i][1]}" for k, i in enumerate(order, 1)]

    bonds_at, bonds_end = section(lines, "BOND")
    bonds = [re.match(r"M  V30 (\S+) (\S+) (\S+) (\S+)(.*)", line, re.S).groups() for line in lines[bonds_at:bonds_end]]
    rng.shuffle(bonds)
    shuffled_lines[bonds_at : bonds_at + len(bonds)] = [
        f"M  V30 {n} {kind} {new_index[x]} {new_index[y]}{rest}"
        for n, (_, kind, x, y, rest) in zip(rng.sample(range(-999, 999), len(bonds)), bonds)
    ]
    expected[bonds_at : bonds_at + len(bonds)] = [
        f"M  V30 {q} {kind} {position[x]} {position[y]}{rest}" for q, (_, kind, x, y, rest) in enumerate(bonds, 1)
    ]
    return shuffled_lines, expected


@st.composite
def valid_tables(draw):
    atoms = draw(st.integers(1, 30))
    bonds = draw(st.lists(st.tuples(st.integers(1, atoms), st.integers(1, atoms)), max_size=40))
    return example({
        6: f"M  V30 COUNTS {atoms} {len(bonds)} 0 0 0",
        8: [f"M  V30 {a} E{a} {a * 0.5} 0 0 0" for a in range(1, atoms + 1)],
        9: None,
        12: [f"M  V30 {b} 1 {x} {y} CFG={b}" for b, (x, y) in enumerate(bonds, 1)],
    })


CORPUS_V3000 = corpus_v3000_blocks()
# Corpus tables that renumbering may change: no SGROUP or COLLECTION blocks.
RENUMBERABLE = [
    SDBlock(data).ctable().lines for _, data in CORPUS_V3000 if not re.search(rb"BEGIN (SGROUP|COLLECTION)", data)
]


@given(st.sampled_from(RENUMBERABLE) | valid_tables() if RENUMBERABLE else valid_tables(), st.randoms())
def test_renumbering_restores_order(lines, rng):
    shuffled_lines, expected = shuffled(lines, rng)
    table = CTable(shuffled_lines)
    table.renumber_indices()
    assert table.lines == expected
    assert table.valid_atom_indices(strict=True) and table.valid_bond_indices(strict=True)


# The class.


@pytest.mark.parametrize("make", [list, tuple, iter, lambda lines: (line for line in lines), lambda lines: {
    line: None for line in lines}])
def test_any_iterable_of_str(make):
    assert CTable(make(EXAMPLE)).lines == EXAMPLE
    assert CTable(lines=make(EXAMPLE)).num_atoms == 2


def test_lines_are_kept_as_given():
    lines = [type("Text", (str,), {})(EXAMPLE[0])] + EXAMPLE[1:3] + [EXAMPLE[3] + "\r\n", "a\nb", "M  V30 COUNTS 1 0\n"]
    table = CTable(lines)
    assert table.lines == lines and type(table.lines[0]) is str
    table.lines.append("x")
    assert table.lines == lines and table.lines is not table.lines


def failing_lines():
    yield "title"
    raise KeyError("from the iterator")


@pytest.mark.parametrize("arguments, error, message", [
    ((5,), TypeError, "'int' object is not iterable"),
    ((EXAMPLE[:3] + [b"  0  0 V2000"],), TypeError, "CTable lines must be str, not bytes"),
    (([None],), TypeError, "CTable lines must be str, not NoneType"),
    ((EXAMPLE[:3] + ["\ud800"],), UnicodeEncodeError, "surrogates not allowed"),
    (("abc",), Malformed, "CTable line 4: missing; the table has only 3 lines"),
    ((), TypeError, "missing required argument 'lines'"),
    ((EXAMPLE, EXAMPLE), TypeError, "at most 1 argument"),
    ((failing_lines(),), KeyError, "from the iterator"),  # the iterator's own error
])
def test_construction_errors(arguments, error, message):
    with pytest.raises(error, match=message):
        CTable(*arguments)


class Hinted:
    def __init__(self, hint):
        self.hint, self.items = hint, iter(EXAMPLE)

    def __iter__(self):
        return self

    def __next__(self):
        return next(self.items)

    def __length_hint__(self):
        return 2**62 // self.hint


@pytest.mark.parametrize("hint, unraisable", [(0, [ZeroDivisionError]), (1, []), (2**62, [])])
def test_length_hint_only_sizes(hint, unraisable, monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    assert CTable(Hinted(hint)).lines == EXAMPLE
    assert [type(s.exc_value) for s in seen] == unraisable


def test_strict_argument():
    np = pytest.importorskip("numpy")
    table = CTable(example({9: "M  V30 3 O"}))
    assert table.valid_atom_indices(False) and table.valid_atom_indices(strict=np.bool_(False))
    for call in (lambda: table.valid_atom_indices(True), lambda: table.valid_atom_indices(strict=np.bool_(True))):
        with pytest.raises(OutOfOrder):
            call()
    for method, args, kwargs, message in [
        (ATOM, (), {"strict": 1}, r"^valid_atom_indices\(\) argument 'strict' must be bool, not int$"),
        (BOND, (None,), {}, r"^valid_bond_indices\(\) argument 'strict' must be bool, not NoneType$"),
        (ATOM, (True, True), {}, "at most 1 argument"), (BOND, (), {"loose": True}, "'loose'"),
    ]:
        with pytest.raises(TypeError, match=message):
            getattr(table, method)(*args, **kwargs)
