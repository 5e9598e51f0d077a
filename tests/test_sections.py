"""SDBlock sections: reading and assigning title, molblock, mdl and ctab,
and the lock that buffer exports put on edits."""

import copy
import os

import pytest

from ctable_tables import example, sdf_text
from molbrook.native import SDBlock, parse_sdf

HEADER = "water\n  prog\n  comment\n"
CTAB = "  1  0  0  0  0  0  0  0  0  0999 V2000\n    0.0 O\nM  END\n"
RECORDS = "> <a>\n1\n\n"
MOL = HEADER + CTAB + RECORDS + "$$$$\n"


def text_block(data: str) -> SDBlock:
    """A str block holding exactly `data` (CRs kept, as line sources keep
    them), rebuilt from state so no newline translation happens."""
    probe = SDBlock(data.encode())
    _, (raw, title_end, mdl_end, _) = probe.__reduce__()
    return SDBlock._from_state(raw, title_end, mdl_end, True)


@pytest.mark.parametrize("data, title, molblock, mdl, ctab", [
    (MOL, "water", HEADER + CTAB, HEADER[6:] + CTAB, CTAB),
    ("$$$$\n", "", "", "", ""),  # terminator only
    ("t\n$$$$\n", "t", "t\n", "", ""),
    ("t\nM  END\n> <a>\n1\n\n$$$$\n", "t", "t\nM  END\n", "M  END\n", ""),  # M  END right after the title
    ("t\np\nc\nx\n> <a>\n1\n\n$$$$\n", "t", "t\np\nc\nx\n> <a>\n1\n\n", "p\nc\nx\n> <a>\n1\n\n", "x\n> <a>\n1\n\n"),
    ("t\np\nc\nM  ENDING  \nx\n$$$$\n", "t", "t\np\nc\nM  ENDING  \n", "p\nc\nM  ENDING  \n", "M  ENDING  \n"),
    ("t\np\nM END\nm  END\nx\n$$$$\n", "t", "t\np\nM END\nm  END\nx\n", "p\nM END\nm  END\nx\n", "m  END\nx\n"),
    ("t \t\x0b\x0c\r\np\r\n$$$$\r\n", "t", "t \t\x0b\x0c\r\np\r\n", "p\r\n", ""),  # ASCII whitespace only
    ("t\u00a0\n$$$$\n", "t\u00a0", "t\u00a0\n", "", ""),  # U+00A0 is not stripped
])
def test_read_sections(data, title, molblock, mdl, ctab):
    for block, convert in ((text_block(data), str), (SDBlock(data.encode()), lambda s: s.encode())):
        assert (block.title, block.molblock, block.mdl, block.ctab) == tuple(map(convert, (title, molblock, mdl, ctab)))


@pytest.mark.parametrize("data, name, value, expected", [
    # molblock: a missing final newline gets the ending of the value's first line, a final CR an LF
    (b"t\r\nM  END\r\n$$$$\r\n", "molblock", b"new\r\nM  END", b"new\r\nM  END\r\n$$$$\r\n"),
    (b"t\r\nM  END\r\n$$$$\r\n", "molblock", b"new\r\nM  END\r", b"new\r\nM  END\r\n$$$$\r\n"),
    (b"t\nM  END\n$$$$\n", "molblock", b"new", b"new\n$$$$\n"),
    (MOL.encode(), "molblock", b"", b"\n" + RECORDS.encode() + b"$$$$\n"),  # records keep a title line
    (b"t\nM  END\n$$$$\n", "molblock", b"", b"$$$$\n"),
    (b"t\r\nM  END\r\n$$$$\r\n", "molblock", b"", b"$$$$\r\n"),
    # mdl: the title line's ending completes it
    (b"t\r\np\nM  END\n$$$$\n", "mdl", b"x\nM  END", b"t\r\nx\nM  END\r\n$$$$\n"),
    (MOL.encode(), "mdl", b"", b"water\n" + RECORDS.encode() + b"$$$$\n"),
    (b"$$$$\r\n", "mdl", b"M  END", b"\r\nM  END\r\n$$$$\r\n"),  # a title line is added first
    (b"$$$$\n", "mdl", b"", b"$$$$\n"),
    (b"t\nM  END\n> <a>\n1\n\n$$$$\n", "mdl", b"no end\n", b"t\nno end\n> <a>\n1\n\n$$$$\n"),
    # title: the old title line's ending is kept
    (b"old  \r\nM  END\n$$$$\n", "title", b"new", b"new\r\nM  END\n$$$$\n"),
    (b"$$$$\r\n", "title", b"new", b"new\r\n$$$$\r\n"),
    (b"t\n$$$$\n", "title", b"$$$", b"$$$\n$$$$\n"),
    (b"t\n$$$$\n", "title", b"", b"\n$$$$\n"),
])
def test_assign_bytes(data, name, value, expected):
    block = SDBlock(data)
    setattr(block, name, value)
    assert bytes(block) == expected
    assert getattr(block, name).startswith(value)


def test_assigned_mdl_is_kept_without_m_end():
    block = SDBlock(b"t\nM  END\n> <a>\n1\n\n$$$$\n")
    block.mdl = b"no end\n"
    assert block.mdl == b"no end\n" and block.molblock == b"t\nno end\n"
    block.title = b"longer title"  # shifts the located MDL with it
    assert block.mdl == b"no end\n" and bytes(block).endswith(b"> <a>\n1\n\n$$$$\n")


def test_text_values_are_translated():
    crlf = text_block(MOL.replace("\n", "\r\n"))
    crlf.molblock = crlf.molblock  # title line and CTAB to LF, SD data untouched
    assert str(crlf) == HEADER + CTAB + (RECORDS + "$$$$\n").replace("\n", "\r\n")
    crlf.mdl = "p\rc\r\nM  END"
    assert crlf.mdl == "p\nc\nM  END\n"
    crlf.title = "a \u00e9"
    assert crlf.title == "a \u00e9" and crlf.molblock.startswith("a \u00e9\np\n")

    data = SDBlock(MOL.replace("\n", "\r\n").encode())
    before = bytes(data)
    data.molblock = data.molblock
    data.mdl = data.mdl
    data.title = data.title
    assert bytes(data) == before


@pytest.mark.parametrize("kind, name, value, error, message", [
    (str, "title", b"t", TypeError, r"^text SDBlock titles must be str$"),
    (str, "molblock", None, TypeError, r"^text SDBlock molblocks must be str$"),
    (str, "mdl", 1, TypeError, r"^text SDBlock MDL must be str$"),
    (bytes, "title", "t", TypeError, r"^byte-backed SDBlock titles must be bytes$"),
    (bytes, "molblock", "t", TypeError, r"^byte-backed SDBlock molblocks must be bytes$"),
    (bytes, "mdl", "t", TypeError, r"^byte-backed SDBlock MDL must be bytes$"),
    (str, "title", "a\nb", ValueError, r"^SDBlock titles must be a single line$"),
    (str, "title", "a\r", ValueError, r"^SDBlock titles must be a single line$"),
    (str, "title", "$$$$\n", ValueError, r"^SDBlock titles must be a single line$"),  # line break checked first
    (str, "title", "$$$$ x", ValueError, r"^SDBlock titles cannot start with \$\$\$\$, which would end the block$"),
    (bytes, "title", b"$$$$", ValueError, r"^SDBlock titles cannot start with"),
    (str, "title", "\udc80", UnicodeEncodeError, "surrogate"),
    (str, "ctab", CTAB, AttributeError, r"^property 'ctab' of 'SDBlock' object has no setter$"),
])
def test_assign_errors_leave_block_unchanged(kind, name, value, error, message):
    data = MOL if kind is str else MOL.encode()
    block = SDBlock(data)
    with pytest.raises(error, match=message):
        setattr(block, name, value)
    for section in ("title", "molblock", "mdl", "ctab"):
        with pytest.raises(AttributeError, match="^property has no deleter$"):
            delattr(block, section)
    assert block == SDBlock(data)


# A V3000 block with records that every edit below changes.
V3000 = (sdf_text(example({6: "M  V30 COUNTS 5 5", 8: "M  V30 5 C", 12: "M  V30 1 1 5 2"}))[:-5] + RECORDS
         + "$$$$\n").encode()
EDITS = {
    "title": lambda b: setattr(b, "title", b"x"),
    "molblock": lambda b: setattr(b, "molblock", b"x\n"),
    "mdl": lambda b: setattr(b, "mdl", b"x\n"),
    "append_record": lambda b: b.append_record(b"B", b"2"),
    "set_record": lambda b: b.set_record(b"a", b"2"),
    "setitem": lambda b: b.__setitem__(b"a", b"2"),
    "remove_record": lambda b: b.remove_record(b"a"),
    "delitem": lambda b: b.__delitem__(b"a"),
    "replace_records": lambda b: b.replace_records([]),
    "fix_counts": lambda b: b.fix_counts(),
    "renumber_indices": lambda b: b.renumber_indices(),
}


@pytest.mark.parametrize("edit", EDITS.values(), ids=EDITS.keys())
def test_exports_lock_every_edit(edit):
    block = SDBlock(V3000)
    views = [memoryview(block), memoryview(block)]
    for view in views:  # locked until the last export is released
        with pytest.raises(BufferError, match="^Existing exports of data: SDBlock cannot be edited$"):
            edit(block)
        assert bytes(block) == V3000
        view.release()
    edit(block)
    assert bytes(block) != V3000


def test_what_comes_before_the_export_lock():
    block = SDBlock(MOL.encode())
    with memoryview(block):
        with pytest.raises(TypeError):  # the argument's type
            block.title = "x"
        with pytest.raises(NotImplementedError):  # the table's own errors
            block.fix_counts()
        with pytest.raises(BufferError):  # but not the title's rules
            block.title = b"$$$$"
        with pytest.raises(BufferError):  # nor whether anything would change
            block.remove_record(b"Z")
        assert (block.title, block.num_atoms) == (b"water", 1)


def test_export_is_in_place():
    block = SDBlock(MOL.encode())
    view = memoryview(block)
    assert view.readonly and view.format == "B" and view.ndim == 1 and view.obj is block
    assert memoryview(block).tobytes() == view.tobytes()
    view.release()
    for export in (memoryview, bytes):
        with pytest.raises(TypeError, match=r"^a str SDBlock is not bytes-like; use str\(block\)$"):
            export(SDBlock(MOL))


def test_mapped_block_exports_the_file_mapping(tmp_path):
    np = pytest.importorskip("numpy")
    path = tmp_path / "many.sdf"
    path.write_bytes(MOL.encode() * 2000)
    blocks = list(parse_sdf(os.fsencode(path), borrow=True))
    views = [np.frombuffer(block, dtype=np.uint8) for block in blocks]
    starts = [view.ctypes.data for view in views]
    # Borrowed blocks are slices of one mapping of the file, so they lie
    # side by side in memory as they do in the file.
    assert all(b - a == len(MOL) for a, b in zip(starts, starts[1:]))
    block = blocks[1]
    with pytest.raises(BufferError):
        block.title = b"edited"
    del views
    duplicate = copy.copy(block)
    block.title = b"edited"  # unlocked, and now a copy of its own
    mapping = range(starts[0], starts[-1] + len(MOL))
    for owned in (block, duplicate):
        assert np.frombuffer(owned, dtype=np.uint8).ctypes.data not in mapping
    assert bytes(duplicate) == MOL.encode()
