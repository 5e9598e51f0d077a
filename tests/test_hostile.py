"""Hostile input: pipes, garbage, NUL bytes, bad UTF-8, truncated
$$$$ lines, lines longer than a chunk, and a record of many lines. Each
gives the blocks the reference predicts or a clear exception, and blocks
handed out before stay valid."""

import io
import os
import random

import pytest

import sdf_reference as ref
from conftest import HAS_FIFOS, fifo_with
from molbrook.native import SDBlock, parse_sdf

# A sound block in front of every hostile input: it must survive whatever follows.
FIRST = b"first\n  prog\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n> <A>\n1\n\n$$$$\n"
HINT = ("parse_sdf(os.fsencode(path)) reads such files as bytes, and "
        "parse_sdf(open(path, encoding=...)) decodes another encoding.")


def block_bytes(block) -> bytes:
    """A block's exact bytes, for str blocks too (its pickled state)."""
    return block.__reduce__()[1][0]


def check_first(block):
    text = isinstance(block.title, str)
    assert block.title == ("first" if text else b"first")
    assert block_bytes(block) == FIRST and block.records() == ([("A", "1")] if text else [(b"A", b"1")])


def read_through_a_pipe(path):
    with fifo_with(path.parent, path.read_bytes(), "pipe") as pipe:
        yield from parse_sdf(str(pipe))


# Readers: name -> (function of a file path giving an iterator, kind of its blocks)
READERS = {
    "bytes path": (lambda path: parse_sdf(os.fsencode(path)), bytes),
    "borrowing bytes path": (lambda path: parse_sdf(os.fsencode(path), borrow=True), bytes),
    "str path": (lambda path: parse_sdf(str(path)), str),
    "binary file object": (lambda path: parse_sdf(io.BytesIO(path.read_bytes())), bytes),
    "bytes in memory": (lambda path: SDBlock.from_sdf(path.read_bytes()), bytes),
}
if HAS_FIFOS:
    READERS["text through a pipe"] = (read_through_a_pipe, str)


def expected_blocks(data: bytes, kind):
    """The exact bytes and titles of the blocks a reader of `kind` yields."""
    raw = ref.translate(data) if kind is str else data
    return [(block, block[:title_end].rstrip(b" \t\n\x0b\x0c\r")) for block, title_end in ref.split(raw)]


GARBAGE = random.Random(7).randbytes(300_000)

# Inputs that follow FIRST in one file.
INPUTS = {
    "nothing": b"",
    "one newline": b"\n",
    "NUL bytes": b"t\0tle\nM  END\n> <n\0me>\nv\0lue\n\n\0$$$$\n\0\n$$$$\0\n",
    "binary garbage": GARBAGE,
    "garbage with LF and $$$$ lines": GARBAGE.replace(b"\x01", b"\n").replace(b"\x02", b"\n$$$$"),
    "cut after $": b"t\nM  END\n$",
    "cut after $$": b"t\nM  END\n$$",
    "cut after $$$": b"t\r\nM  END\r\n$$$",
    "cut after $$$$": b"t\nM  END\n$$$$",
    "cut after $$$$ and CR": b"t\r\nM  END\r\n$$$$\r",
    "lone CRs": b"a\rb\r$$$$\rc\r\n$$$$ x\r",
    "a line over two chunks": b"x" * 300_000,
    "a $$$$ line over two chunks": b"$$$$" + b"x" * 300_000,
}


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("name", INPUTS)
def test_hostile_bytes_give_the_reference_blocks(tmp_path, reader, name):
    read, kind = READERS[reader]
    data = FIRST + INPUTS[name]
    path = tmp_path / "hostile.sdf"
    path.write_bytes(data)
    blocks = read(path)
    first = next(blocks)
    rest = list(blocks)
    check_first(first)
    expected = expected_blocks(data, kind)
    assert [block_bytes(b) for b in [first, *rest]] == [b for b, _ in expected]
    for block, (_, title) in zip(rest, expected[1:]):
        shown = repr(block)  # never fails, whatever the bytes
        assert shown.startswith("<SDBlock title=")
        if kind is bytes:
            assert block.title == title
    check_first(first)


# Invalid UTF-8 in a str block: only reading its text fails, with a note
# naming what was read and the block; bytes and other blocks are untouched.

BAD = (b"caf\xe9\n  prog\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nx\xff\nM  END\n"
       b"> <n\xe9>\n1\n\n> <B>\nv\xff\n\n$$$$\n")
TITLE = "caf\ufffd"


@pytest.mark.parametrize("read, verb", [
    (lambda b: b.title, "Reading the title of"),
    (lambda b: b.molblock, "Reading the molblock of"),
    (lambda b: b.mdl, "Reading the MDL of"),
    (lambda b: b.ctab, "Reading the CTAB of"),
    (lambda b: str(b), "Writing"),
    (lambda b: b.names(), "Reading record 'n\ufffd' of"),
    (lambda b: b.records(), "Reading record 'n\ufffd' of"),
    (lambda b: list(b), "Reading record 'n\ufffd' of"),
    (lambda b: b.get("B"), "Reading record 'B' of"),
    (lambda b: b.ctable(), "Reading the CTAB of"),
])
def test_invalid_utf8_in_a_str_block(tmp_path, read, verb):
    path = tmp_path / "latin1.sdf"
    path.write_bytes(FIRST + BAD)
    first, bad = parse_sdf(str(path))
    with pytest.raises(UnicodeDecodeError) as raised:
        read(bad)
    assert raised.value.__notes__ == [f"{verb} the SDBlock titled '{TITLE}'. {HINT}"]
    assert repr(bad) == f"<SDBlock title='{TITLE}'>"
    assert bad.num_atoms == 0 and len(bad) == 2 and "B" in bad
    assert block_bytes(bad) == BAD
    check_first(first)


# A record of many lines.

def test_a_record_of_100000_lines():
    lines = [b"%d" % i for i in range(10**5)]
    block = SDBlock(b"t\nM  END\n> <A>\n" + b"\n".join(lines) + b"\n\n> <B>\n2\n\n$$$$\n")
    for _ in range(3):  # a scan, the index build, then the index
        assert block.get(b"A") == b"\n".join(lines) and len(block) == 2
    block[b"A"] = b"short"
    assert block.records() == [(b"A", b"short"), (b"B", b"2")]
    block.append_record(b"C", b"\r\n".join(lines))
    assert block.get(b"C") == b"\n".join(lines)
    assert block.remove_record(b"C") == 1 and block.names() == [b"A", b"B"]
