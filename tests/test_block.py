"""SDBlock construction and its basic protocol, subclasses."""

import copy

import pytest

from molbrook.native import CTable, SDBlock

MOL = "water\n  prog\n\n  1  0  0  0  0  0  0  0  0  0999 V2000\n    0.0 O\nM  END\n"


@pytest.mark.parametrize("sdf, text, title", [
    ("", "\n$$$$\n", ""),  # empty title line, empty MDL
    ("$$$$", "$$$$\n", ""),  # no title line at all
    (MOL, MOL + "$$$$\n", "water"),  # terminator added
    (MOL + "$$$$ comment\n", MOL + "$$$$\n", "water"),  # terminator made bare
    (MOL + "$$$$\n \t\r\n\x0c\n  ", MOL + "$$$$\n", "water"),  # whitespace after the block
    (MOL.replace("\n", "\r\n") + "$$$$\r\n", MOL + "$$$$\n", "water"),  # str input: CRLF to LF
    (MOL.replace("\n", "\r"), MOL + "$$$$\n", "water"),  # lone CRs too
    ("no newline", "no newline\n$$$$\n", "no newline"),
    ("title \t\x0b\n", "title \t\x0b\n$$$$\n", "title"),
    ("t\nx\r$$$$\n", "t\nx\n$$$$\n", "t"),  # translated first, so the CR starts a line
])
def test_construction(sdf, text, title):
    block = SDBlock(sdf)
    assert str(block) == text
    assert repr(block) == f"<SDBlock title={title!r}>"


@pytest.mark.parametrize("sdf, data", [
    (MOL.replace("\n", "\r\n").encode(), (MOL.replace("\n", "\r\n") + "$$$$\r\n").encode()),  # CRLF kept
    (b"t\r\nM  END\r\n$$$$ x\n", b"t\r\nM  END\r\n$$$$\r\n"),  # rebuilt with the title line ending
    (b"t\nx\r", b"t\nx\r\n$$$$\n"),  # a final CR gets one LF
    (b"t\r\nx", b"t\r\nx\r\n$$$$\r\n"),
    (b"t\nx\r$$$$\n", b"t\nx\r$$$$\n$$$$\n"),  # bytes: a CR does not start a line
])
def test_bytes_construction(sdf, data):
    block = SDBlock(sdf)
    assert bytes(block) == data
    assert str(block) == repr(block)


@pytest.mark.parametrize(
    "sdf",
    [MOL + "$$$$\n\x0b", MOL + "$$$$\n" + MOL, "a\n$$$$\nb\n", b"a\n$$$$\nb"],
)
def test_one_block_only(sdf):
    with pytest.raises(ValueError, match=r"^SDBlock\(\) takes one block; use SDBlock.from_sdf to parse several$"):
        SDBlock(sdf)


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((42,), {}, TypeError, r"^SDBlock\(\) argument must be str or bytes$"),
    ((bytearray(b"x"),), {}, TypeError, r"^SDBlock\(\) argument must be str or bytes$"),
    ((b"x",), {"header": "Plain"}, ValueError, r"^header must be 'plain', 'padded', or 'copy', not 'Plain'$"),
    ((42,), {"header": " plain"}, ValueError, r"not ' plain'$"),  # header is checked before sdf
    ((b"x",), {"header": 1}, TypeError, "header"),
    (("\udc80",), {}, UnicodeEncodeError, "surrogate"),
    ((), {}, TypeError, "sdf"),
])
def test_construction_errors(args, kwargs, error, message):
    with pytest.raises(error, match=message):
        SDBlock(*args, **kwargs)


def test_protocol():
    text, data = SDBlock(MOL), SDBlock(MOL.encode())
    assert bool(SDBlock("")) is True
    assert text == SDBlock(MOL) and not (text != SDBlock(MOL))
    assert text != data  # same text, different kinds
    assert data != MOL.encode()  # comparison with bytes falls back to identity
    with pytest.raises(TypeError):
        text < text
    with pytest.raises(TypeError, match="unhashable"):
        hash(text)
    assert SDBlock.__hash__ is None
    for alias in (SDBlock[str], SDBlock[bytes]):
        assert alias.__origin__ is SDBlock


def test_subclasses():
    class Tagged(SDBlock):
        pass

    class Table(CTable):
        pass

    block = Tagged(MOL)
    assert type(block) is Tagged and block == SDBlock(MOL)
    assert type(copy.copy(block)) is Tagged
    assert type(Tagged._from_state(*block.__reduce__()[1])) is Tagged
    assert type(Table(block.ctable().lines)) is Table
