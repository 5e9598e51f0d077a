"""UTF-8 in connection tables, checked against Python's own codec and str methods."""

import re

from ctable_tables import WHITE_SPACE
from hypothesis import example, given
from hypothesis import strategies as st

from molbrook import _testcore as core

# Bytes around the edges of UTF-8's well-formed ranges, and White_Space
# encodings with one byte off.
EDGES = [b"\x7f", b"\x80", b"\xbf", b"\xc0", b"\xc1", b"\xc2", b"\xdf", b"\xe0", b"\xa0", b"\x9f", b"\xed",
         b"\xef", b"\xf0", b"\x90", b"\x8f", b"\xf4", b"\xf5", b"\xff", b"\xe2\x80", b"\xe1\x9a", b"\xe3\x80"]
PIECES = st.lists(
    st.sampled_from(EDGES + [c.encode() for c in WHITE_SPACE] + [b"a", b"-", "\u200b".encode(), "\U00010348".encode()])
    | st.text(max_size=3).map(lambda t: t.encode("utf-8", "surrogatepass")),
    max_size=12,
).map(b"".join)


@given(PIECES)
@example(b"M  V30 1 \xe2\x82")  # cut short at the end
@example(b"\xed\xa0\x80")  # an encoded surrogate
def test_validation_and_replacement(data):
    try:
        data.decode("utf-8")
        expected = None
    except UnicodeDecodeError as error:
        expected = (error.start, error.end)
    assert core.utf8_error(data) == expected
    assert core.utf8_lossy(data) == data.decode("utf-8", "replace").encode()


@given(st.text(st.sampled_from(WHITE_SPACE + "ab\x1c\u200b\ufeff-")))
def test_white_space_fields(text):
    pieces, trimmed = core.white_space_fields(text.encode())
    assert [p.decode() for p in pieces] == [p for p in re.split(f"[{WHITE_SPACE}]+", text) if p]
    assert trimmed.decode() == text.strip(WHITE_SPACE)
