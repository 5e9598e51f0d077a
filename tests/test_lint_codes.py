"""Each lint code against the bytes that should raise it and the near misses
that should not: bytes in, (code, line, column, byte offset, record) out."""

import io
import re

import pytest

import molbrook

MOL = b"T\n  prog\n\n  1  0  0  0  0  0  0  0  0  0999 V2000\n    0.0000    0.0000    0.0000 C   0  0\nM  END\n"
END = b"$$$$\n"
BOM = b"\xef\xbb\xbf"
# Where lines end as an editor numbers them (findings never sit on the LF of a CRLF).
LINE_END = re.compile(rb"\r\n|\r|\n")


def found(data, **options):
    return [(f.code, f.line, f.column, f.byte_offset, f.record)
            for f in molbrook.lint(io.BytesIO(data), workers=1, **options)]


def at(data, needle, code, record=None, nth=0):
    """The finding `code` expected where `needle` starts (its nth occurrence),
    or at the offset `needle`, or at the end of the data for None."""
    offset = len(data) if needle is None else needle if isinstance(needle, int) else -1
    for _ in range(nth + 1):
        if isinstance(needle, bytes):
            offset = data.index(needle, offset + 1)
    ends = [end.end() for end in LINE_END.finditer(data, 0, offset)]
    return (code, len(ends) + 1, offset - (ends[-1] if ends else 0) + 1, offset, record)


def v3000(counts, atoms, bonds):
    body = [b"M  V30 BEGIN CTAB", b"M  V30 COUNTS " + counts, b"M  V30 BEGIN ATOM", *atoms, b"M  V30 END ATOM",
            b"M  V30 BEGIN BOND", *bonds, b"M  V30 END BOND", b"M  V30 END CTAB", b"M  END"]
    return b"T\n  prog\n\n  0  0  0     0  0            999 V3000\n" + b"\n".join(body) + b"\n" + END


ATOMS = [b"M  V30 1 C 0 0 0 0", b"M  V30 2 O 0 0 0 0"]

# (data, [(needle, code, record)]) by family: F the file, M the molfile,
# D the data records, I information.
FILE = {
    "F001 no $$$$": (MOL + b"> <A>\nx\n\n", [(None, "F001", None)]),
    "F001 no final line ending": (MOL + b"> <A>\nx", [(None, "F001", None)]),
    "$$$$ with text after it is a terminator": (MOL + b"$$$$ end\n", []),
    "$$$$$ is a terminator": (MOL + b"$$$$$\n", []),
    "an empty file": (b"", []),
    "a file of one terminator": (END, []),
    "F002 blank lines after the last $$$$": (MOL + END + b"\n \t\n", [(b"\n \t", "F002", None)]),
    "F002 a tab without a line ending": (MOL + END + b"\t", [(b"\t", "F002", None)]),
    "F003 one CRLF in an LF file": (MOL.replace(b"M  END\n", b"M  END\r\n") + END, [(b"\r\n", "F003", None)]),
    "F003 one LF in a CRLF file": (b"T\r\n\n\r\n$$$$\r\n", [(3, "F003", None)]),
    "F003 a lone CR": (MOL + b"> <A>\nx\ry\n\n" + END, [(b"\r", "F003", None)]),
    "F003 only the first deviation": (b"T\n\r\n\r\n\r\n" + END, [(b"\r\n", "F003", None)]),
    "a lone CR ends a line for the findings after it": (
        MOL + b"> <A>\nx\ry\n\n> <B>\nx\n> <C>\n\n" + END, [(b"\r", "F003", None), (b"> <C>", "D003", "B")]),
    "a column counts from a lone CR": (MOL + b"> <A>\nx\r y \n\n" + END, [(b"\r", "F003", None), (b" \n\n", "I002", "A")]),
    "lines that lone CRs end": (b"T\r\r\rM  END\r", [(b"\r", "F003", None), (None, "F001", None)]),
    "CRLF throughout": (MOL.replace(b"\n", b"\r\n") + b"$$$$\r\n", []),
    "F004 a byte order mark": (BOM + MOL + END, [(BOM, "F004", None)]),
    "F005 the first invalid byte of each block": (
        b"T\xff\xfe\n" + END + b"ok\n" + END + b"U\xc3\n" + END,
        [(b"\xff", "F005", None), (b"\xc3", "F005", None)]),
    "valid UTF-8": ("T\u00e9\u20ac\U00010348\n".encode() + END, []),
}
MOLFILE = {
    "M001 no M  END": (b"T\n  prog\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\n" + END, [(b"T", "M001", None)]),
    "a title line alone": (b"T\n" + END, []),
    "a title and blank lines": (b"T\n\n \n" + END, []),
    "records without a molecule are checked as records": (
        b"T\n> <A>\n 1\n\n" + END, [(b"T", "M001", None), (b" 1", "I002", "A")]),
    "M002 more atom lines than counted": (
        MOL.replace(b"  1  0  0", b"  0  0  0") + END, [(b"  0  0  0", "M002", None)]),
    "M002 fewer atom lines than counted": (
        MOL.replace(b"  1  0  0", b"  3  0  0") + END, [(b"  3  0  0", "M002", None)]),
    "properties between the bonds and M  END": (
        MOL.replace(b"M  END", b"M  CHG  1   1   1\nA    1\nalias\nM  END") + END, []),
    "V3000 counts and sections agree": (v3000(b"2 0 0 0 0", ATOMS, []), []),
    "M003 COUNTS disagrees": (v3000(b"3 0 0 0 0", ATOMS, []), [(b"M  V30 COUNTS", "M003", None)]),
    "M003 indices out of order": (
        v3000(b"2 0 0 0 0", [ATOMS[1], ATOMS[0]], []), [(b"M  V30 2 O", "M003", None)]),
}
DATA = {
    "D001 a blank line after M  END": (MOL + b"\n> <A>\nx\n\n" + END, [(len(MOL), "D001", None)]),
    "D001 two blank lines, one with spaces": (MOL + b"\n  \n> <A>\nx\n\n" + END, [(len(MOL), "D001", None)]),
    "a blank line after M  END and no records": (MOL + b"\n" + END, []),
    "D002 a record ended by spaces": (MOL + b"> <A>\nx\n  \n" + END, [(b"  \n$", "D002", "A")]),
    "a blank line with a CR ends a record": (MOL + b"> <A>\nx\n\r\n" + END, [(b"\r\n", "F003", None)]),
    "D003 a header after a value line": (MOL + b"> <A>\nx\n> <B>\ny\n\n" + END, [(b"> <B>", "D003", "A")]),
    "D003 a header with a suffix after a value line": (
        MOL + b"> <A>\nx\n> 25 <N>\n\n" + END, [(b"> 25", "D003", "A")]),
    "a header with a suffix": (MOL + b"> 25 <N>\nx\n\n" + END, []),
    "a value line that begins with >": (MOL + b"> <A>\n> 5\n>1.5E-5\n\n" + END, []),
    "D004 the last record runs into $$$$": (MOL + b"> <A>\nx\n" + END, [(END, "D004", "A")]),
    "D005 no name": (MOL + b"> DT12\nx\n\n" + END, [(b"> DT12", "D005", None)]),
    "D005 an unclosed name": (MOL + b">  <ID\nx\n\n" + END, [(b">  <ID", "D005", "ID")]),
    "D005 an empty name": (MOL + b"> <>\nx\n\n" + END, [(b"> <>", "D005", "")]),
    "D005 no space after >": (MOL + b"><ID>\nx\n\n" + END, [(b"><ID>", "D005", None)]),
    "D006 a name twice": (MOL + b"> <A>\nx\n\n> <B>\ny\n\n> <A>\nz\n\n" + END, [(b"> <A>", "D006", "A", 1)]),
    "D007 text after a record": (MOL + b"> <A>\nx\n\nnote\nmore\n\n" + END, [(b"note", "D007", None)]),
}
INFO = {
    "I001 a long CTAB line": (MOL.replace(b"C   0  0", b"C   0  0" + b" " * 200) + END,
                              [(b"    0.0000", "I001", None)]),
    "I001 a long header": (MOL + b"> <" + b"N" * 200 + b">\nx\n\n" + END, [(b"> <N", "I001", "N" * 200)]),
    "200 characters, two bytes each": (MOL + "> <{}>\nx\n\n".format("\u00e9" * 196).encode() + END, []),
    "I002 leading spaces": (MOL + b"> <A>\n  x\n\n" + END, [(b"  x", "I002", "A")]),
    "I002 trailing spaces": (MOL + b"> <A>\nx\t\n\n" + END, [(b"\t\n\n", "I002", "A")]),
}


def cases(family):
    return [pytest.param(data, expected, id=name) for name, (data, expected) in family.items()]


@pytest.mark.parametrize("data, expected", cases(FILE) + cases(MOLFILE) + cases(DATA) + cases(INFO))
def test_codes(data, expected):
    assert found(data) == [at(data, needle, code, *more) for needle, code, *more in expected]


def test_select_and_ignore():
    data = BOM + MOL + b"> <A>\nx\n> <B>\n  y\n"
    every = {code for code, *_ in found(data)}
    assert every == {"F001", "F004", "D003", "I002"}
    assert {code for code, *_ in found(data, select="D,I")} == {"D003", "I002"}
    assert {code for code, *_ in found(data, select=["F"], ignore="F001")} == {"F004"}
    with pytest.raises(ValueError, match="X1"):
        molbrook.lint(io.BytesIO(data), select="X1")


def filled_block(long_line, filler, lines=10):
    """A block whose molfile holds `lines` property lines of `filler` bytes,
    then one of `long_line` bytes: windows of 64 bytes with and without an
    LF in every order, for the line counter's runs."""
    body = [b"M  ZZZ" + b"x" * (filler - 6)] * lines + [b"M  ZZZ" + b"y" * (long_line - 6)]
    return b"\n".join([b"T", b"  prog", b"", b"  0  0  0  0  0  0  0  0  0  0999 V2000", *body, b"M  END"]) + b"\n" + END


@pytest.mark.parametrize("filler", [1, 63, 64, 65, 70, 127, 128, 129, 191, 192])
@pytest.mark.parametrize("long_line", [190, 200, 201, 260])
def test_line_counts_across_windows(filler, long_line):
    block = filled_block(long_line, filler)
    data = block * 2 + b"T\n\n\nM  END\n> <B>\n v\n\n" + END
    expected = [at(data, b"M  ZZZy", "I001", nth=n) for n in range(2) if long_line > 200]
    expected += [at(data, b" v\n", "I002", "B")]
    assert found(data) == expected
