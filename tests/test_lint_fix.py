"""Properties of the linter over generated defective files: fixes keep every
other byte and molbrook's reading, unsafe fixes split what D003 names, and
every way of reading a file finds the same findings at the same places."""

import io
import os
import re
import tempfile
from random import Random
from unittest import mock

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import molbrook
from molbrook import _lint, _parallel
from molbrook.native import SDBlock

MOL = ["  prog", "", "  1  0  0  0  0  0  0  0  0  0999 V2000", "    0.0000    0.0000    0.0000 C   0  0", "M  END"]
VALUES = ["x", "1.5", " x", "y ", "> 5", "> <Z>", ">  <W>  (2)"]
ENDS = ["", "", "  ", "\t", None]  # the line ending a record; None: none (the last record only)

records = st.lists(st.tuples(st.sampled_from(["A", "B", "C"]), st.lists(st.sampled_from(VALUES), min_size=1,
                                                                        max_size=3), st.sampled_from(ENDS)),
                   max_size=4)
blocks = st.lists(st.tuples(records, st.booleans(), st.booleans()), min_size=1, max_size=4)
files = st.tuples(blocks, st.sampled_from(["\n", "\r\n", "mixed"]), st.booleans(), st.sampled_from(["", "\n", " \n"]),
                  st.booleans(), st.randoms(use_true_random=False))


def render(spec):
    """A file of the blocks described: records with their defects, blank lines
    after M  END, junk, a byte order mark, line endings, trailing blank lines
    and a missing last $$$$."""
    blocks, ending, bom, trailing, unterminated, rng = spec
    lines = []
    for i, (recs, blank_first, junk) in enumerate(blocks):
        lines += [f"T{i}", *MOL] + [""] * blank_first
        for j, (name, values, end) in enumerate(recs):
            last = j == len(recs) - 1
            lines += [f"> <{name}>", *values] + ([] if end is None and last else [end or ""])
        if junk:
            lines += ["note", ""]
        lines.append("$$$$")
    if unterminated:
        lines.pop()
    text = "".join(line + (rng.choice(["\n", "\r\n"]) if ending == "mixed" else ending) for line in lines)
    return ("\ufeff" if bom else "").encode() + text.encode() + ("" if unterminated else trailing).encode()


def findings(data, **options):
    return list(molbrook.lint(io.BytesIO(data), workers=1, **options))


def fixed(data, **options):
    out = io.BytesIO()
    summary = molbrook.lint_fix(io.BytesIO(data), out, **options)
    return out.getvalue(), summary


def reading(data):
    """molbrook's reading of every block, in text mode (line endings aside)."""
    return [(b.title, b.molblock, b.records()) for b in SDBlock.from_sdf(data.decode())]


def applied(data, edits):
    out, at = [], 0
    for edit in sorted(edits):
        out += [data[at:edit.byte_offset], edit.text]
        at = edit.byte_offset + edit.byte_length
    return b"".join(out) + data[at:]


@given(files)
def test_safe_fixes_keep_the_reading_and_are_gone(spec):
    data = render(spec)
    after, summary = fixed(data)
    left = {f.code for f in findings(after)}
    assert not left & (set(summary.fixed) - set(summary.unfixed))
    expected = reading(data)
    if "F002" in summary.fixed:
        expected.pop()  # the phantom block
    if "F004" in summary.fixed:
        title, molblock, recs = expected[0]
        expected[0] = (title[1:], molblock[1:], recs)
    assert reading(after) == expected


@given(files)
def test_fixes_change_only_their_ranges(spec):
    data = render(spec)
    found = list(_lint.scan(io.BytesIO(data), set(_lint.CODES) - {"F003"}, edits=True))
    edits = [edit for finding, finding_edits in found if finding.fix == "safe" for edit in finding_edits]
    assert fixed(data, ignore="F003")[0] == applied(data, edits)
    first = re.search(rb"\r\n|\n", data)
    target = first.group() if first and not re.match(rb"[^\n]*\r[^\n]", data) else b"\n"
    assert fixed(data, select="F003")[0] == re.sub(rb"\r\n|\r|\n", target, data)


def looks_like_header(line):
    text = line.strip()
    return text.startswith(">") and "<" in text[1:] and ">" in text[text.index("<", 1):]


def split_at_headers(recs):
    """Records as a reader that starts one at every header-like line reads them."""
    split = []
    for name, value in recs:
        split.append([name, []])
        for line in value.split("\n"):
            if looks_like_header(line):
                rest = line.strip()
                split.append([rest[rest.index("<") + 1: rest.rindex(">")], []])
            else:
                split[-1][1].append(line)
    return [(name, "\n".join(lines)) for name, lines in split]


@given(files)
def test_unsafe_fixes_split_what_d003_names(spec):
    data = render(spec)
    after, summary = fixed(data, select="D003", unsafe=True)
    assert summary.fixed.get("D003", 0) == len(findings(data, select="D003"))
    assert [recs for *_, recs in reading(after)] == [split_at_headers(recs) for *_, recs in reading(data)]


# A block whose lone CRs end lines as an editor numbers them.
LONE_CRS = b"T\rx\r\n\n\nM  END\n> <A>\ny\r z \n\n> <B>\nw\n\n$$$$\n"


@settings(max_examples=40)
@given(files)
def test_every_reading_finds_the_same(spec):
    data = (render(spec) + LONE_CRS) * 3
    expected = findings(data)
    for finding in expected:
        ends = [end.end() for end in re.finditer(rb"\r\n|\r|\n", data[:finding.byte_offset])]
        assert (finding.line, finding.column) == (len(ends) + 1, finding.byte_offset - (ends[-1] if ends else 0) + 1)
    with tempfile.TemporaryDirectory() as folder, mock.patch.multiple(_lint, _CHUNK=64), mock.patch.multiple(_parallel, MIN_PIECE=97, MAX_PIECE=97):
        path = os.path.join(folder, "x.sdf")
        with open(path, "wb") as f:
            f.write(data)
        assert [f.code for f in molbrook.lint(path, workers=2)] == [f.code for f in expected]
        assert list(molbrook.lint(io.BytesIO(data), workers=1)) == expected
        with_path = [(f.code, f.line, f.column, f.byte_offset, f.block) for f in molbrook.lint(path, workers=3)]
        assert with_path == [(f.code, f.line, f.column, f.byte_offset, f.block) for f in expected]


V3000 = (b"T\n  prog\n\n  0  0  0     0  0            999 V3000\nM  V30 BEGIN CTAB\nM  V30 COUNTS {counts} 0 0 0\n"
         b"M  V30 BEGIN ATOM\nM  V30 {a} C 0 0 0 0\nM  V30 {b} O 0 0 0 0\nM  V30 END ATOM\nM  V30 BEGIN BOND\n"
         b"M  V30 1 1 {a} {b}\nM  V30 END BOND\nM  V30 END CTAB\nM  END\n> <A>\nx\n\n$$$$\n")


@pytest.mark.parametrize("counts, a, b, unsafe, repair", [
    (b"3 1", b"1", b"2", False, SDBlock.fix_counts),
    (b"2 1", b"2", b"1", True, SDBlock.renumber_indices),
    (b"2 1", b"7", b"1", False, None),  # renumbering is unsafe: left as it is
])
def test_m003_fixes_are_the_blocks_own_repairs(counts, a, b, unsafe, repair):
    data = V3000.replace(b"{counts}", counts).replace(b"{a}", a).replace(b"{b}", b)
    for crlf in (False, True):
        data = data.replace(b"\n", b"\r\n") if crlf else data
        expected = SDBlock(data)
        if repair is not None:
            repair(expected)
        after, summary = fixed(data, unsafe=unsafe)
        assert after == bytes(expected)
        assert (summary.fixed if repair else summary.unfixed) == {"M003": 1}


def test_findings_are_values_in_file_order():
    data = render(([([("A", ["> <Z>", " x"], None)], True, True)] * 2, "mixed", True, "\n", False, Random(1)))
    found = findings(data)
    assert sorted(set(found)) == found and len(found) >= 8
    assert repr(found[0]).startswith("Finding(code='F004', severity='warning'")


# Defects whose fixes meet: an M003 line ending CRLF in an LF file; a last
# line ending with a lone CR and no $$$$ in a CRLF file; two byte order
# marks; a lone CR in a $$$$ line, after which the fixed file starts a block;
# a lone CR before a $$$$ line, which the fix makes end the block there.
MEETING = {
    "M003 on a CRLF line": V3000.replace(b"{counts}", b"3 1").replace(b"{a}", b"1").replace(b"{b}", b"2")
                           .replace(b"COUNTS 3 1 0 0 0\n", b"COUNTS 3 1 0 0 0\r\n"),
    "F001 after a lone CR": b"T\r\n\r\n\r\nM  END\r\n> <A>\r\nx\r",
    "F004 twice": b"\xef\xbb\xbf" * 2 + MOL[0].encode() + b"\n$$$$\n",
    "a lone CR in a $$$$ line": b"T\n\n\nM  END\n> <A>\nx\n$$$$\n" + b"T\n\n\nM  END\n$$$$\rX\n> <B>\ny\n$$$$\n" * 8,
    "a lone CR before a $$$$ line": b"T\n\n\nM  END\n> <A>\nx\n\r$$$$\n> <B>\ny\n\n$$$$\n" * 8,
}


@pytest.mark.parametrize("data", MEETING.values(), ids=MEETING)
def test_a_second_lint_finds_nothing_a_fix_reports_fixed(data, tmp_path):
    after, summary = fixed(data)
    assert summary.fixed and not {f.code for f in findings(after)} & set(summary.fixed)
    path = tmp_path / "x.sdf"
    path.write_bytes(data)
    with mock.patch.multiple(_parallel, MIN_PIECE=97, MAX_PIECE=97):
        molbrook.lint_fix(path, tmp_path / "out.sdf")
    assert (tmp_path / "out.sdf").read_bytes() == after
