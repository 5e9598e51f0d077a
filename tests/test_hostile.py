"""Hostile input: pipes, garbage, NUL bytes, bad UTF-8, truncated
$$$$ lines, huge lines and blocks, and very many blocks. Each gives the
blocks the reference predicts or a clear exception, and blocks handed out
before stay valid.

The biggest inputs are marked `big` (deselect with -m "not big")."""

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


# Size: huge lines and blocks, very many blocks, a record of many lines.

MB = 1 << 20


@pytest.mark.big
@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("line", [b"x" * (100 * MB), b"$$$$" + b"x" * (100 * MB)], ids=["line", "$$$$ line"])
def test_a_single_line_of_100_mb(tmp_path, reader, line):
    read, kind = READERS[reader]
    path = tmp_path / "line.sdf"
    path.write_bytes(FIRST + line)
    first, block = read(path)
    check_first(first)
    data = block_bytes(block)
    if line.startswith(b"$$$$"):  # a $$$$ line with text after it ends the block bare
        assert data == b"$$$$\n"
    else:
        assert len(data) == len(line) + 6 and data.startswith(b"xxxx") and data.endswith(b"x\n$$$$\n")
    check_first(first)


@pytest.mark.big
@pytest.mark.parametrize("reader", ["bytes path", "str path", "binary file object"])
def test_a_block_of_50_mb(tmp_path, reader):
    read, kind = READERS[reader]
    atoms = b"".join(b"   %7d.0000    0.0000    0.0000 C   0  0\n" % i for i in range(50 * MB // 43))
    big = b"big\n\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\n" + atoms + b"M  END\n> <A>\n1\n\n$$$$\n"
    path = tmp_path / "big.sdf"
    path.write_bytes(FIRST + big + FIRST)
    first, block, last = read(path)
    assert len(block_bytes(block)) == len(big) and block.title in ("big", b"big")
    assert block.to_dict() in ({"A": "1"}, {b"A": b"1"})
    block.set_record(*(("B", "2") if kind is str else (b"B", b"2")))
    assert len(block) == 2 and block.num_atoms == 0
    check_first(first)
    check_first(last)


@pytest.mark.big
@pytest.mark.parametrize("reader", READERS)
def test_a_million_tiny_blocks(tmp_path, reader):
    read, _ = READERS[reader]
    path = tmp_path / "tiny.sdf"
    path.write_bytes(FIRST + b"$$$$\n" * 10**6)
    blocks = read(path)
    first = next(blocks)
    count = sum(1 for _ in blocks)
    assert count == 10**6
    check_first(first)


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
