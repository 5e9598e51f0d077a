"""Byte-level primitives against plain Python references, through every
scanning kernel this machine has (the portable one always)."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import sdf_reference as ref
from molbrook import _testcore as core

KERNELS = core.kernels()

# Texts built from the bytes that matter, long enough to cross 64-byte windows.
TEXTS = st.lists(
    st.sampled_from([b"\n", b"\r", b"\r\n", b"$$$$", b"a", b"xyz", b" ", b"\xc3\xa9", b"x" * 70]),
    max_size=80,
).map(b"".join)


def reference_lines(region: bytes, start: int):
    lines, pos = [], start
    while pos < len(region):
        lf = region.find(b"\n", pos)
        end = len(region) if lf < 0 else lf + 1
        lines.append((pos, end))
        pos = end
    return lines


@pytest.mark.parametrize("kernel", KERNELS)
@given(data=st.binary(max_size=64), byte=st.sampled_from([0, 10, 13, 36, 255]))
def test_eq_mask(kernel, data, byte):
    # Under 64 bytes, the partial mask: every length from 0 to 63 reads
    # its words or lanes differently.
    expected = sum(1 << i for i, b in enumerate(data) if b == byte)
    assert core.eq_mask(data, byte, kernel) == expected


@pytest.mark.parametrize("kernel", KERNELS)
@given(region=TEXTS, data=st.data())
def test_line_scanner_matches_byte_split(kernel, region, data):
    start = data.draw(st.integers(0, len(region)))
    assert core.scan_lines(region, start, kernel) == reference_lines(region, start)


@pytest.mark.parametrize("kernel", KERNELS)
@settings(max_examples=300)
@given(text=TEXTS, cuts=st.lists(st.integers(0, 400), max_size=5))
def test_translation_equals_universal_newlines(kernel, text, cuts):
    bounds = sorted({min(c, len(text)) for c in cuts} | {0, len(text)})
    chunks = [text[a:b] for a, b in zip(bounds, bounds[1:])]
    out, pending = core.translate_stream(chunks, kernel)
    assert out == ref.translate(text)
    assert pending == text.endswith(b"\r")


def test_empty_chunks_keep_the_pending_cr():
    for kernel in KERNELS:
        assert core.translate_stream([b"a\r", b"", b"\nb"], kernel) == (b"a\nb", False)


@given(text=TEXTS)
def test_translated_copy_equals_universal_newlines(text):
    # The copy is written straight from the source, in 16-byte blocks where
    # they fit, so short and long runs near either end both matter.
    assert core.translate_if_needed(text) == (ref.translate(text), b"\r" in text)


# Haystacks full of the needles' pieces and near misses, where lead bytes
# crowd for a while or stay rare.
NEEDLE_PIECES = st.lists(
    st.sampled_from([b"\n", b"\r", b"$", b"$$$$", b"M  END", b"M  EN", b"E", b"D", b"x" * 70, b"E$" * 40]),
    max_size=60,
).map(b"".join)


@pytest.mark.parametrize("kernel", KERNELS)
@given(hay=NEEDLE_PIECES, needle=st.sampled_from([b"\n$$$$", b"$$$$", b"\nM  END", b"\r\n", b"$"]), data=st.data())
def test_find_matches_bytes_find(kernel, hay, needle, data):
    lead = data.draw(st.integers(0, len(needle) - 1))
    start = data.draw(st.integers(0, len(hay) + 1))
    assert core.find(hay, needle, lead, start, kernel) == (hay.find(needle, start) if start <= len(hay) else -1)


@pytest.mark.parametrize("kernel", KERNELS)
@given(hay=NEEDLE_PIECES, byte=st.sampled_from(b"$E\n>"))
def test_find_last_byte_matches_bytes_rfind(kernel, hay, byte):
    assert core.find_last_byte(hay, byte, kernel) == hay.rfind(bytes([byte]))


@pytest.mark.parametrize("kernel", KERNELS)
@given(hay=TEXTS, data=st.data())
def test_line_break_search_reads_no_further_than_its_hit(kernel, hay, data):
    # Reading past the hit made every block of a file without LFs cost a
    # search to the end of the file.
    start = data.draw(st.integers(0, len(hay)))
    breaks = [i for i in range(start, len(hay)) if hay[i] in b"\r\n"]
    at, masks = core.find_line_break(hay, start, kernel)
    assert at == (breaks[0] if breaks else -1)
    read = (breaks[0] + 1 if breaks else len(hay)) - start
    assert masks == -(-read // 64)  # one mask of CR and LF per 64-byte window


PREFIXES = st.lists(st.sampled_from([b"\x1f", b"\x8b", b"\xfd7zXZ\x00", b"\x28\xb5\x2f\xfd", b"P*M\x18", b"\x5f",
                                     b"BZh9", b"1AY&SY", b"\x17rE8P\x90", b"\x00", b"T\n$$$$\n"]),
                    max_size=4).map(b"".join)


@given(head=PREFIXES)
def test_a_format_told_from_the_first_bytes_never_changes_with_more(head):
    # Streams decide as soon as their first bytes allow, so that a complete
    # first block is never held back waiting for more.
    whole = core.compression_of_start(head + b"more")
    for end in range(len(head) + 1):
        decided, format = core.compression_of_start(head[:end])
        if decided:
            assert whole == (True, format)
