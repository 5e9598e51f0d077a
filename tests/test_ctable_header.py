"""The CTAB header: format, declared counts, integer fields and the counts rewrite."""

import re

import pytest
from ctable_tables import EXAMPLE, WHITE_SPACE, example
from hypothesis import given
from hypothesis import strategies as st

from molbrook import CTable, MalformedCTableError

COUNTS_SEPARATORS = "\t\n\x0c\r \x1c\x1d\x1e\x1f"


def v2000(counts_line):
    return ["title", "program", "comment", counts_line, "M  END"]


def v3000(counts_line):
    return example({6: counts_line})


# Integer fields themselves are the property's below; these are the fields' places.
@pytest.mark.parametrize("lines, atoms, bonds", [
    (v2000("  5  4  0  0  0  0  0  0  0  0999 V2000"), 5, 4),
    (v2000("  5  4  0  0  0  0  0  0  0  0999 V2000\r\n"), 5, 4),
    (v2000("  5  4 V2000\x1c\x1f"), 5, 4),  # information separators separate counts tokens
    (v2000("123456 V2000"), 123, 456),
    (v2000("\xa0\xa05\u3000 4 V2000"), 5, 4),  # fields count code points, not bytes
    (v2000("  5\u3000\u30004 V2000"), 5, 4),
    (v3000("M  V30 COUNTS 9 8 0 0 1"), 9, 8),
    (v3000("m v30 counts -3 +4"), -3, 4),  # the first three tokens are not checked
    (v3000("M\tV30\x1cCOUNTS\x1f7\x0c8\r\n"), 7, 8),
    (v3000("M  V30 COUNTS 9223372036854775807 -9223372036854775808"), 2**63 - 1, -(2**63)),
])
def test_counts(lines, atoms, bonds):
    table = CTable(lines)
    expected_format = "V3000" if "V3000" in lines[3] else "V2000"
    assert (table.format, table.num_atoms, table.num_bonds) == (expected_format, atoms, bonds)


@pytest.mark.parametrize("lines, message", [
    ([], "CTable line 1: missing; the table has only 0 lines"),
    (["t", "p", "c"], "CTable line 4: missing; the table has only 3 lines"),
    (EXAMPLE[:5], "CTable line 6: missing; the table has only 5 lines"),
    (v2000(""), "CTable line 4: no format field"),
    (v2000("  1  0 v2000"), "CTable line 4: format v2000 is not V2000 or V3000"),
    (v2000("  1  0\x0bV2000"), "CTable line 4: format 0\x0bV2000 is not V2000 or V3000"),
    (v2000("  1  0\xa0V2000"), "CTable line 4: format 0\xa0V2000 is not V2000 or V3000"),
    (v2000("  a  0 V2000"), "CTable line 4: atom count   a is not an integer"),
    (v2000("1 2 3 V2000"), "CTable line 4: atom count 1 2 is not an integer"),
    (v2000("  5\x1c 4 V2000"), "CTable line 4: bond count \x1c 4 is not an integer"),
    (v2000("V2000"), "CTable line 4: atom count V20 is not an integer"),
    (v2000("  1 V2000"), "CTable line 4: bond count  V2 is not an integer"),
    (v2000("  1  0  0 V3000"), "CTable line 6: missing; the table has only 5 lines"),
    (v3000("M  V30 COUNTS"), "CTable line 6: no atom count field"),
    (v3000("M  V30 COUNTS 5"), "CTable line 6: no bond count field"),
    (v3000("M  V30 COUNTS 1 y"), "CTable line 6: bond count y is not an integer"),
])
def test_header_errors(lines, message):
    with pytest.raises(MalformedCTableError) as raised:
        CTable(lines)
    assert raised.value.args == (message,)


def reference_int(text):
    """parse_int_field as Python would write it."""
    digits = text.strip(WHITE_SPACE)
    if not re.fullmatch(r"[+-]?[0-9]+", digits):
        return None
    value = int(digits)
    return value if -(2**63) <= value < 2**63 else None


# Digits, signs and White_Space, and spaces elsewhere in Unicode that are not White_Space.
TOKEN_CHARACTERS = [c for c in "0123456789+-x\u0665\x00\u180e\u200b\ufeff" + WHITE_SPACE if c not in COUNTS_SEPARATORS]


@given(st.text(st.sampled_from(TOKEN_CHARACTERS), min_size=1, max_size=24) | st.integers(-(2**64), 2**64).map(str))
def test_integer_fields(token):
    expected = reference_int(token)
    lines = v3000(f"M  V30 COUNTS {token} 0 0 0 0")
    if expected is None:
        with pytest.raises(MalformedCTableError) as raised:
            CTable(lines)
        assert raised.value.args == (f"CTable line 6: atom count {token} is not an integer",)
    else:
        assert CTable(lines).num_atoms == expected


def v3000_with(atoms, bonds, counts_line):
    return example({
        6: counts_line,
        8: [f"M  V30 {i} C 0 0 0 0" for i in range(1, atoms + 1)],
        9: None,
        12: [f"M  V30 {i} 1 1 1" for i in range(1, bonds + 1)],
    })


@pytest.mark.parametrize("counts_line, atoms, bonds, rewritten", [
    ("M  V30 COUNTS 9 8 0 0 1", 10, 8, "M  V30 COUNTS 10 8 0 0 1"),
    ("M  V30 COUNTS  5  4 0 0 0", 3, 2, "M  V30 COUNTS  3  2 0 0 0"),
    ("M  V30 COUNTS 1 1\r\n", 0, 0, "M  V30 COUNTS 0 0\r\n"),
    ("m\x1cv30 counts -5\t+7\x0cx", 2, 1, "m\x1cv30 counts 2\t1\x0cx"),
    ("M  V30 COUNTS \xa01 1\xa0 0", 1, 1, "M  V30 COUNTS 1 1 0"),  # White_Space in a token goes with it
])
def test_counts_rewrite(counts_line, atoms, bonds, rewritten):
    table = CTable(v3000_with(atoms, bonds, counts_line))
    table.fix_counts()
    assert table.lines[5] == rewritten
    assert (table.num_atoms, table.num_bonds) == (atoms, bonds)
    table.fix_counts()
    assert table.lines[5] == rewritten
