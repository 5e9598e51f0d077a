"""Cutting streams into blocks: the search for a block's end in both
line-ending modes, and the incremental splitter behind every chunked
source, compared with the line-by-line reference."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

import sdf_reference as ref
from molbrook import _testcore
from molbrook.native import SDBlock, parse_sdf

# Pieces that make $$$$ lines, near misses and every line ending likely.
PIECES = [b"a", b"xy", b" ", b"\t", b"\n", b"\r\n", b"\r", b"$", b"$$$$", b"$$$$\n", b"$$$$ z\n",
          b"\n$$$$\n", b"\n$$$$", b"\r$$$$", b"M  END\n", b"\xc3\xa9"]
sdf_bytes = st.lists(st.sampled_from(PIECES), max_size=40).map(b"".join)
SEARCH = {False: _testcore.find_block_end, True: _testcore.find_block_end_str}


class Chunks:
    """A file object whose reads return the given chunks, then emptiness."""

    def __init__(self, chunks):
        self._chunks = iter(chunks)
        self._empty = chunks[0][:0] if chunks else b""

    def read(self, size):
        assert size == 131072
        return next(self._chunks, self._empty)


def cut(data, points):
    """`data` cut at `points`, without empty pieces (an empty read ends the input)."""
    points = sorted({min(p, len(data)) for p in points})
    pieces = (data[a:b] for a, b in zip([0, *points], [*points, len(data)]))
    return [piece for piece in pieces if piece]


@pytest.mark.parametrize("universal", [False, True])
@given(data=sdf_bytes)
def test_find_block_end_matches_reference(universal, data):
    assert SEARCH[universal](data) == ref.find_block_end(data, universal)


@pytest.mark.parametrize("data, blocks", [
    (b"", []),
    (b"$$$$\r\n", [b"$$$$\r\n"]),
    (b"a\n$$$$\nb\n$$$$\n", [b"a\n$$$$\n", b"b\n$$$$\n"]),
    (b"a\n$$$$\n\n", [b"a\n$$$$\n", b"\n$$$$\n"]),  # even one empty line is a block
    (b"a\r\nb", [b"a\r\nb\r\n$$$$\r\n"]),
    (b"a\r\n$$$$ x\r\nb\r\n$$$$", [b"a\r\n$$$$\r\n", b"b\r\n$$$$\r\n"]),
    (b"a\r\nb\n$$$$\n", [b"a\r\nb\n$$$$\n"]),  # an existing bare line stays
    (b"a\nx\r$$$$\n", [b"a\nx\r$$$$\n$$$$\n"]),
    (b"$$$$\na\n", [b"$$$$\n", b"a\n$$$$\n"]),
])
def test_splitter_cases_at_every_chunk_boundary(data, blocks):
    expected = [b for b, _ in ref.split(data)]
    assert expected == blocks
    assert [bytes(b) for b in SDBlock.from_sdf(data)] == blocks
    for point in range(len(data) + 1):
        assert [bytes(b) for b in parse_sdf(Chunks(cut(data, [point])))] == blocks, point


@given(data=sdf_bytes, points=st.lists(st.integers(0, 200), max_size=6))
def test_bytes_in_any_chunks_split_as_reference(data, points):
    assert ref.observed(parse_sdf(Chunks(cut(data, points)))) == ref.expected(data)


@given(data=sdf_bytes, points=st.lists(st.integers(0, 200), max_size=6))
def test_text_in_any_chunks_splits_after_translation(data, points):
    text = data.decode("utf-8", "replace")
    assert ref.observed(SDBlock.from_sdf(text)) == ref.expected(text)
    # A text file object has translated already; chunks are taken as given.
    translated = ref.translate(text.encode()).decode()
    assert ref.observed(parse_sdf(Chunks(cut(translated, points)))) == ref.expected(text)
