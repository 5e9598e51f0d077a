"""The connection-table members of SDBlock: reading a block's table and writing repairs back."""

import pytest
from conftest import corpus_params
from ctable_tables import EXAMPLE, corpus_v3000_blocks, example, sdf_text
from sdf_reference import split

from molbrook import CTable, IndicesDuplicateError, MalformedCTableError, SDBlock, parse_sdf

RECORDS = "> <name>\nvalue\n\n"


def block_of(lines, records="", ending="\n", kind=str):
    text = "".join(line + ending for line in lines) + records.replace("\n", ending) + "$$$$" + ending
    return SDBlock(text if kind is str else text.encode("latin-1"))


@pytest.mark.parametrize("kind", [str, bytes])
def test_ctable_lines(kind):
    block = block_of(["title \t"] + EXAMPLE[1:], RECORDS, kind=kind)
    table = block.ctable()
    assert type(table) is CTable
    assert table.lines == EXAMPLE
    assert (table.format, table.num_atoms, table.num_bonds) == ("V3000", 2, 1)
    assert (block.format, block.num_atoms, block.num_bonds) == ("V3000", 2, 1)
    table.fix_counts()
    table.renumber_indices()
    assert block == block_of(["title \t"] + EXAMPLE[1:], RECORDS, kind=kind)


def test_bytes_lines_keep_carriage_returns():
    block = SDBlock(b"t \r\nprog\r\n\r\n  1  0 V2000\r\nx\ry\r\nM  END\r\n$$$$\r\n")
    assert block.ctable().lines == ["t", "prog\r", "\r", "  1  0 V2000\r", "x\ry\r", "M  END\r"]
    assert (block.format, block.num_atoms) == ("V2000", 1)


@pytest.mark.parametrize("sdf, format, message", [
    ("t\np\nc\n", None, "CTable line 4: missing; the table has only 3 lines"),
    ("", None, "CTable line 2: missing; the table has only 1 lines"),
    ("t\np\nc\n  1  0 V2001\nM  END\n", None, "CTable line 4: format V2001 is not V2000 or V3000"),
    ("t\np\nc\n  x  0 V2000\nM  END\n", "V2000", "CTable line 4: atom count   x is not an integer"),
    ("t\np\nc\n 0 0 V3000\nM  V30 BEGIN CTAB\n", "V3000", "CTable line 6: missing; the table has only 5 lines"),
    ("t\np\nc\n 0 0 V3000\nM  V30 BEGIN CTAB\nM  V30 COUNTS 1\nM  END\n", "V3000",
     "CTable line 6: no bond count field"),
    ("t\np\nM  END\n  1  0 V2000\n", None, "CTable line 4: missing; the table has only 3 lines"),  # MDL only
])
def test_header_errors(sdf, format, message):
    block = SDBlock(sdf)
    assert block.format == format
    for read in (lambda: block.num_atoms, lambda: block.num_bonds, block.ctable):
        with pytest.raises(MalformedCTableError) as raised:
            read()
        assert raised.value.args == (message,)


@pytest.mark.parametrize("counts_line, atoms", [
    (b"\xc2\xa0\xc2\xa05  1 V2000", 5),  # one code point each as UTF-8, two as Latin-1
    (b"\xff5  1 V2000", None),
    (b"  5  1 V2000 \xe9", None),
])
def test_header_decodes_utf8_with_replacement(counts_line, atoms):
    """The header read alone decodes UTF-8 with replacement; a bytes block's table reads Latin-1."""
    block = SDBlock(b"t\np\nc\n" + counts_line + b"\nM  END\n")
    with pytest.raises(MalformedCTableError) as from_table:
        block.ctable()
    if atoms is not None:
        assert block.num_atoms == atoms
        return
    with pytest.raises(MalformedCTableError) as from_header:
        block.num_atoms
    assert str(from_header.value) == str(from_table.value).replace("\xe9", "\ufffd").replace("\xff", "\ufffd")


def test_latin1_round_trip():
    lines = example({1: "caf\xe9", 8: "M  V30 5 C 0 0 0 0 \xe9\xff", 9: "M  V30 7 O", 12: "M  V30 1 1 5 7"})
    block = block_of(lines, kind=bytes)
    assert block.ctable().lines == lines
    block.renumber_indices()
    assert bytes(block) == sdf_text(
        example({1: "caf\xe9", 8: "M  V30 1 C 0 0 0 0 \xe9\xff", 9: "M  V30 2 O", 12: "M  V30 1 1 1 2"})
    ).encode("latin-1")


@pytest.mark.parametrize("data, written", [
    # Each MDL line keeps its own ending; a line without one gets the title line's.
    (sdf_text(example({6: "M  V30 COUNTS 9 9"}), "\r\n").encode(),
     sdf_text(example({6: "M  V30 COUNTS 2 1"}), "\r\n").encode()),
    (sdf_text(example({6: "M  V30 COUNTS 9 9"})).replace("title\n", "title\r\n").encode(),
     sdf_text(example({6: "M  V30 COUNTS 2 1"}), "\r\n").replace("$$$$\r\n", "$$$$\n").encode()),
    (sdf_text(example({6: "M  V30 COUNTS 9 9"}), "\r\n").replace("title\r\n", "title\n").encode(),
     sdf_text(example({6: "M  V30 COUNTS 2 1"}), "\r\n").replace("title\r\n", "title\n").encode()),
    (sdf_text(["t", "p\r\r", "c\r\r\r"] + EXAMPLE[3:]).encode(),
     sdf_text(["t", "p\r\r", "c\r\r\r"] + EXAMPLE[3:]).encode()),
    # The whole MDL goes; the SD data and the terminator stay.
    ((sdf_text(example({6: "M  V30 COUNTS 10 1"}))[:-5] + "> <x>\n1\n\n$$$$\n").encode(),
     (sdf_text(example({6: "M  V30 COUNTS 2 1"}))[:-5] + "> <x>\n1\n\n$$$$\n").encode()),
])
def test_fix_counts_writes_back(data, written):
    block = SDBlock(data)
    block.fix_counts()
    assert bytes(block) == written
    assert (block.num_atoms, block.num_bonds) == (2, 1)
    block.fix_counts()
    assert bytes(block) == written


def test_renumbering_rewrites_the_whole_mdl():
    block = block_of(example({1: "title  ", 12: "M  V30  1   1 1 2"}), RECORDS)
    block.renumber_indices()
    assert block == block_of(example({1: "title  "}), RECORDS)
    assert block.num_atoms == 2
    assert repr(block) == "<SDBlock title='title'>"


@pytest.mark.parametrize("lines, operation, error, message", [
    (example({8: "M  V30 4 C", 9: "M  V30 4 O", 12: "M  V30 1 1 4 2"}), "renumber_indices",
     IndicesDuplicateError, "CTable line 12: bond atom 4 is the index of several atoms"),
    (["t", "p", "M  END"], "fix_counts", MalformedCTableError, "CTable line 4: missing; the table has only 3 lines"),
])
@pytest.mark.parametrize("kind", [str, bytes])
def test_failed_repairs_leave_the_block(lines, operation, error, message, kind):
    block = block_of(lines, RECORDS, kind=kind)
    before = str(block) if kind is str else bytes(block)
    with pytest.raises(error) as raised:
        getattr(block, operation)()
    assert raised.value.args == (message,)
    assert (str(block) if kind is str else bytes(block)) == before


@pytest.mark.parametrize("lines, bad, start, end", [
    (example({7: b"M  V30 BEGIN ATOM \xe2\x82"}), b"M  V30 BEGIN ATOM \xe2\x82", 18, 20),  # cut short
    (example({9: b"M  V30 2 \xff O"}), b"M  V30 2 \xff O", 9, 10),
    (example({1: b"t\xe2\x82A", 9: b"\xff"}), b"t\xe2\x82A", 1, 3),  # the title first
    (example({12: b"\xed\xa0\x80"}), b"\xed\xa0\x80", 0, 1),
])
def test_str_block_not_utf8(tmp_path, lines, bad, start, end):
    path = tmp_path / "bad.sdf"
    path.write_bytes(b"".join((line if isinstance(line, bytes) else line.encode()) + b"\n" for line in lines))
    block = next(parse_sdf(str(path)))
    assert (block.format, block.num_atoms, block.num_bonds) == ("V3000", 2, 1)
    with pytest.raises(UnicodeDecodeError) as raised:
        block.ctable()
    error = raised.value
    assert (error.encoding, error.object, error.start, error.end, error.reason) == ("utf-8", bad, start, end,
                                                                                   "invalid utf-8")
    title = lines[0].decode("utf-8", "replace") if isinstance(lines[0], bytes) else lines[0]
    assert error.__notes__ == [
        f"Reading the CTAB of the SDBlock titled '{title}'. parse_sdf(os.fsencode(path)) reads such files as "
        "bytes, and parse_sdf(open(path, encoding=...)) decodes another encoding."
    ]
    for repair in (block.fix_counts, block.renumber_indices):
        with pytest.raises(UnicodeDecodeError):
            repair()


CORPUS_V3000 = corpus_v3000_blocks()


@pytest.mark.parametrize("data", [d for _, d in CORPUS_V3000], ids=[i for i, _ in CORPUS_V3000])
@pytest.mark.parametrize("kind", [str, bytes])
def test_corpus_tables(data, kind):
    """Every V3000 table of the corpus is valid, and repairing it twice
    changes nothing the first repair did not."""
    block = SDBlock(data if kind is bytes else data.decode())
    table = block.ctable()
    assert table.valid_atom_indices(strict=True) and table.valid_bond_indices(strict=True)
    assert (block.num_atoms, block.num_bonds) == (table.num_atoms, table.num_bonds)
    block.renumber_indices()
    block.fix_counts()
    once = str(block) if kind is str else bytes(block)
    block.renumber_indices()
    block.fix_counts()
    assert (str(block) if kind is str else bytes(block)) == once
    assert block.ctable().valid_atom_indices(strict=True) and block.ctable().valid_bond_indices(strict=True)


@pytest.mark.parametrize("path", corpus_params())
def test_corpus_header_reads_agree(path):
    """The header read alone gives what the full table gives, on every block."""
    for data, _ in split(path.read_bytes())[:300]:
        block = SDBlock(data)
        try:
            table = block.ctable()
        except MalformedCTableError as error:
            with pytest.raises(MalformedCTableError) as header_error:
                block.num_atoms
            assert str(header_error.value) == str(error)
            continue
        assert (block.format, block.num_atoms, block.num_bonds) == (table.format, table.num_atoms, table.num_bonds)
