"""The linter on the real files of the corpus: the codes each file holds,
pinned, and every way of reading a file finding the same."""

import gzip
import io
import json
from collections import Counter
from pathlib import Path

import pytest

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
