"""The linter on the real files of the corpus: the codes each file holds,
pinned, every way of reading a file finding the same, and fixes that hold
on mutated copies."""

import gzip
import io
import json
from collections import Counter
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import molbrook
from conftest import CORPUS, CORPUS_FILES, HAS_FIFOS, corpus_params, fifo_with

PINNED = Path(__file__).parent / "data" / "lint_corpus.json"


def test_codes_per_file_are_pinned():
    found = {str(path.relative_to(CORPUS)): dict(sorted(Counter(f.code for f in molbrook.lint(path)).items()))
             for path in CORPUS_FILES}
    assert found == json.loads(PINNED.read_text())


@pytest.mark.parametrize("path", corpus_params())
def test_sources_agree_and_safe_fixes_hold(path, tmp_path):
    data = path.read_bytes()
    where = [(f.code, f.block, f.line, f.column, f.byte_offset, f.byte_length) for f in molbrook.lint(path)]
    compressed = tmp_path / "x.sdf"  # told by its content, not its name
    compressed.write_bytes(gzip.compress(data))
    def where_in(source):
        return [(f.code, f.block, f.line, f.column, f.byte_offset, f.byte_length)
                for f in molbrook.lint(source, workers=1)]

    for source in (io.BytesIO(data), compressed, str(path)):
        assert where_in(source) == where
    if HAS_FIFOS:  # a pipe is opened once: its first bytes tell the compression
        with fifo_with(tmp_path, gzip.compress(data)) as fifo:
            assert where_in(fifo) == where
    out = tmp_path / "fixed.sdf"
    summary = molbrook.lint_fix(path, out)
    assert sum(summary.fixed.values()) + sum(summary.unfixed.values()) == len(where)
    assert not {f.code for f in molbrook.lint(out)} & set(summary.fixed)


# Defects that fixes meet together: line endings of every kind, byte order
# marks, blank and space lines, header-like values, stray $$$$ lines.
PIECES = [b"\r", b"\r\n", b"\n", b"\r\r", b"\xef\xbb\xbf", b"\n\n", b" \n", b"\t\r\n", b"> <A>\n", b"$$$$\n", b"M  END\n"]


def head(path, size=16 << 10):
    with open(path, "rb") as file:
        return file.read(size)


def mutated(data, draw):
    """The bytes, perhaps with CRLF line endings, with pieces inserted and
    runs deleted at places drawn, and perhaps cut short and a piece put at
    the end."""
    if draw(st.booleans()):
        data = data.replace(b"\n", b"\r\n")
    for _ in range(draw(st.integers(1, 6))):
        at = draw(st.integers(0, len(data)))
        if draw(st.booleans()):
            data = data[:at] + draw(st.sampled_from(PIECES)) + data[at:]
        else:
            data = data[:at] + data[at + draw(st.integers(1, 8)):]
    if draw(st.booleans()):
        data = data[: draw(st.integers(0, len(data)))] + draw(st.sampled_from([b"", *PIECES]))
    return data


@pytest.mark.skipif(not CORPUS_FILES, reason=f"no corpus at {CORPUS}")
@settings(max_examples=150, deadline=None)
@given(st.data())
def test_a_second_lint_finds_no_more_of_what_a_fix_reports_fixed(data):
    path = data.draw(st.sampled_from(CORPUS_FILES), label="file")
    original = mutated(head(path), data.draw)
    out = io.BytesIO()
    summary = molbrook.lint_fix(io.BytesIO(original), out, unsafe=data.draw(st.booleans(), label="unsafe"))
    left = Counter(f.code for f in molbrook.lint(io.BytesIO(out.getvalue()), workers=1))
    assert {code: left[code] for code in summary.fixed if left[code] > summary.unfixed.get(code, 0)} == {}
