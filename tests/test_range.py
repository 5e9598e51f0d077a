"""parse_sdf_range: byte ranges of a file read as exactly the blocks of
parse_sdf whose first byte lies in them, through a mapping and through
positional reads, and the arguments it refuses."""

import gzip
import os

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import sdf_reference as ref
from conftest import corpus_params, fifo_with
from molbrook import _testcore, parse_sdf, parse_sdf_range

# Pieces dense in the cases that matter at a cut: $$$$ lines after LF,
# CR or CRLF, CRLF pairs, lone CRs and runs of '$'.
PIECES = [b"a", b"$$$$", b"$", b"\n", b"\r", b"\r\n", b" x", b"\n$$$$\n"]
sd_data = st.lists(st.sampled_from(PIECES), max_size=40).map(b"".join)


def block_starts(data: bytes, universal: bool) -> list[int]:
    """File offsets where the blocks of `data` start, by the reference."""
    starts, at = [], 0
    while at < len(data):
        starts.append(at)
        at += ref.find_block_end(data[at:], universal)[2]
    return starts


def value(block):
    return str(block) if isinstance(block.title, str) else bytes(block)


def check_ranges(path, data: bytes, cuts):
    """Each range gives the blocks of parse_sdf that start in it, through
    parse_sdf_range and through positional reads, for str and bytes paths."""
    for as_path, universal in [(str, True), (os.fsencode, False)]:
        whole = [value(b) for b in parse_sdf(as_path(path))]
        starts = block_starts(data, universal)
        assert len(starts) == len(whole)
        for start, end in zip(cuts, cuts[1:]):
            expected = [b for b, at in zip(whole, starts) if start <= at < end]
            assert [value(b) for b in parse_sdf_range(as_path(path), start, end)] == expected
            assert [value(b) for b in parse_sdf_range(as_path(path), start, end, borrow=True)] == expected
            positional = _testcore.positional_blocks(os.fsencode(path), universal, start, end)
            assert [data for data, _ in positional] == [b.encode() if universal else b for b in expected]


@st.composite
def data_and_cuts(draw, data=sd_data):
    data = draw(data)
    inner = draw(st.lists(st.integers(0, len(data) + 2), max_size=6))
    return data, [0, *sorted(inner), len(data) + 3]


@settings(max_examples=300)
@given(data_and_cuts())
def test_ranges_give_the_blocks_that_start_in_them(tmp_path_factory, case):
    data, cuts = case
    path = tmp_path_factory.mktemp("range") / "input.sdf"
    path.write_bytes(data)
    check_ranges(path, data, cuts)


@pytest.mark.parametrize("ending", [b"\n", b"\r\n", b"\r"])
def test_blocks_larger_than_a_read_and_lines_longer_than_one(tmp_path, ending):
    # Positional reads double their window for a block, and read back
    # further for a line, larger than one read.
    big = b"t" + ending + b"x" * 300_000 + ending + b"$$$$" + ending
    data = b"a" + ending + b"$$$$" + ending + big + b"b" + ending + b"$$$$"
    path = tmp_path / "big.sdf"
    path.write_bytes(data)
    size = len(data)
    check_ranges(path, data, [0, 3, 200_000, size - 3, size - 1, size])


@pytest.mark.parametrize("path", corpus_params())
@settings(max_examples=5, deadline=None)
@given(cuts=st.lists(st.floats(0, 1), max_size=8))
def test_corpus_ranges(path, cuts):
    data = path.read_bytes()
    size = len(data)
    points = sorted({0, size, *(int(c * size) for c in cuts)})
    for as_path in (str, os.fsencode):
        whole = [value(b) for b in parse_sdf(as_path(path))]
        pieces = [value(b) for a, b in zip(points, points[1:]) for b in parse_sdf_range(as_path(path), a, b)]
        assert pieces == whole


def test_lone_cr_file_ranges(tmp_path):
    # Corpus files are LF or CRLF; a CR-only copy of one reads the same
    # through ranges as whole.
    data = b"".join(b"mol %d\r  body\r\r> <ID>\r%d\r\r$$$$\r" % (i, i) for i in range(50))
    path = tmp_path / "cr.sdf"
    path.write_bytes(data)
    check_ranges(path, data, sorted({0, len(data), *range(0, len(data), 37)}))


def test_refused_arguments(tmp_path):
    plain = tmp_path / "plain.sdf"
    plain.write_bytes(b"t\n$$$$\n")
    packed = tmp_path / "packed.sdf"
    packed.write_bytes(gzip.compress(plain.read_bytes()))
    for args, message in [
        ((plain, 5, 4), "past end"),
        ((plain, -1, 4), "negative"),
        ((plain, 0, -4), "negative"),
    ]:
        with pytest.raises(ValueError, match=message):
            parse_sdf_range(*args)
    with pytest.raises(ValueError, match="gzip-compressed"):
        next(parse_sdf_range(packed, 0, 10))
    with fifo_with(tmp_path, plain.read_bytes()) as fifo, pytest.raises(ValueError, match="not a regular file"):
        next(parse_sdf_range(fifo, 0, 10))
    with pytest.raises(TypeError), open(plain, "rb") as file:
        parse_sdf_range(file, 0, 10)
    with pytest.raises(FileNotFoundError):
        next(parse_sdf_range(tmp_path / "missing.sdf", 0, 10))


def test_empty_and_past_the_end(tmp_path):
    empty = tmp_path / "empty.sdf"  # not mapped: read at offsets
    empty.write_bytes(b"")
    assert list(parse_sdf_range(empty, 0, 10)) == []
    one = tmp_path / "one.sdf"
    one.write_bytes(b"t\n$$$$\n")
    assert [list(parse_sdf_range(one, a, b)) for a, b in [(0, 0), (7, 9), (100, 200), (1, 1 << 62)]] == [[]] * 4
    assert _testcore.positional_blocks(os.fsencode(one), False, 100, 200) == []
