"""merge_records: table columns set on the blocks whose key matches, every
other byte as it was, and a destination written whole or not at all."""

import io
import os

import pandas as pd
import polars as pl
import pyarrow as pa
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from molbrook import TITLE, MalformedRecordError, merge_records, parse_sdf, read_table

MOL = "t{}\n  prog\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n"


def sdf(count, crlf=False):
    text = "".join(MOL.format(i) + f"> <ID>\nK{i}\n\n> <OLD>\nv{i}\n\n$$$$\n" for i in range(count))
    return text.replace("\n", "\r\n") if crlf else text


CELLS = st.one_of(st.none(), st.integers(-(2**70), 2**70), st.floats(allow_nan=False), st.text("abé-", max_size=4))


@given(st.lists(st.tuples(st.integers(0, 9), CELLS, CELLS), unique_by=lambda row: row[0], max_size=8),
       st.sampled_from([str, bytes]), st.booleans())
@settings(max_examples=60, deadline=None)
def test_merged_values_read_back(tmp_path_factory, rows, kind, crlf):
    folder = tmp_path_factory.mktemp("merge")
    source, dest = folder / "in.sdf", folder / "out.sdf"
    source.write_text(sdf(6, crlf), newline="")
    table = {"ID": [f"K{key}" for key, _, _ in rows], "OLD": [a for _, a, _ in rows], "NEW": [b for _, _, b in rows]}
    path = str(source) if kind is str else bytes(source)
    summary = merge_records(path, table, dest, key="ID")

    by_key = {f"K{key}": (a, b) for key, a, b in rows}
    matched = [i for i in range(6) if f"K{i}" in by_key]
    valued = [i for i in matched if by_key[f"K{i}"] != (None, None)]
    assert (summary.blocks, summary.matched, summary.unmatched_rows) == (6, len(valued), len(rows) - len(matched))
    text = lambda v: None if v is None else repr(v) if isinstance(v, float) else str(v)
    merged = read_table(str(dest), ["OLD", "NEW"]).to_pydict()
    for i in range(6):
        old, new = by_key.get(f"K{i}", (None, None))
        assert merged["OLD"][i] == (text(old) if old is not None else f"v{i}")
        assert merged["NEW"][i] == text(new)
    before, after = list(parse_sdf(path)), list(parse_sdf(str(dest) if kind is str else bytes(dest)))
    for i in set(range(6)) - set(valued):
        assert bytes(after[i]) == bytes(before[i]) if kind is bytes else str(after[i]) == str(before[i])


KEYED = "".join(MOL.format(i) + f"> <ID>\nK{k}\n\n> <X>\n{k}\n\n$$$$\n" for i, k in enumerate([1, 9]))


@pytest.mark.parametrize(
    "table",
    [
        {"ID": ["K1", "K9"], "X": [1, 2]},
        pa.table({"ID": ["K1", "K9"], "X": [1, 2]}),
        pl.DataFrame({"ID": ["K1", "K9"], "X": [1, 2]}),
        pd.DataFrame({"ID": ["K1", "K9", "K2"], "X": [1.0, 2.0, float("nan")]}),
        read_table(io.StringIO(KEYED), types={"X": int}),
    ],
    ids=["dict", "pyarrow", "polars", "pandas", "RecordTable"],
)
def test_table_kinds(table):
    out = io.BytesIO()
    summary = merge_records(io.StringIO(sdf(3)), table, out, key="ID")
    assert (summary.matched, summary.unmatched_rows) == (1, 1)
    assert read_table(io.BytesIO(out.getvalue()), ["X"]).to_pydict()["X"] in ([None, b"1", None], [None, b"1.0", None])


def test_on_title_and_an_empty_table(tmp_path):
    source = tmp_path / "in.sdf"
    source.write_bytes(sdf(3, crlf=True).encode())
    assert merge_records(bytes(source), {"t": ["t2"], "X": ["y"]}, tmp_path / "a", key=TITLE, title="t").matched == 1
    assert read_table(bytes(tmp_path / "a"), ["X"]).to_pydict() == {"X": [None, None, b"y"]}
    merge_records(bytes(source), {"ID": []}, tmp_path / "b", key="ID")
    assert (tmp_path / "b").read_bytes() == source.read_bytes()


@pytest.mark.parametrize(
    "table, options, error, message",
    [
        ({"X": [1]}, {}, ValueError, "no key column 'ID'"),
        ({"ID": ["K1"]}, {"names": ["Y"]}, ValueError, "no column 'Y'"),
        ({"ID": ["K1", "K1"]}, {}, ValueError, "'K1' appears twice"),
        ({"ID": ["K\n1"]}, {}, ValueError, "line break"),
        ({"ID": ["K1"], "X": []}, {}, ValueError, "differ in length"),
        ([("K1", 1)], {}, TypeError, "not list"),
        # names and values that would not read back as written
        ({"ID": ["K1"], "a<b": [1]}, {}, ValueError, r"^column 'a<b' cannot be a record name: the name holds '<' or '>'$"),
        ({"ID": ["K1"], "a\nb": [1]}, {}, ValueError, r"column 'a\\nb' cannot be a record name: the name holds a line break"),
        ({"ID": ["K1"], "": [1]}, {}, ValueError, "column '' cannot be a record name: the name is empty"),
        ({"ID": ["K0", "K1"], "X": ["1", "1\n\n2"]}, {}, ValueError,
         r"^row 1 \(from 0\), column 'X': the value '1\\n\\n2' holds a blank line, which would end its record$"),
        ({"ID": ["K1"], "X": [" "]}, {}, ValueError, "the value ' ' holds a blank line"),
        ({"ID": ["K1"], "X": ["x\n$$$$"]}, {}, ValueError, "holds a line starting with \\$\\$\\$\\$, which would end its block"),
        ({"ID": ["K1"], "X": ["x\r"]}, {}, ValueError, "holds a carriage return"),
        ({"ID": ["K1"], "X": [1.5]}, {"float_format": "q"}, ValueError, "float_format 'q' is not a format spec"),
    ],
)
def test_bad_tables_write_nothing(tmp_path, table, options, error, message):
    source = tmp_path / "in.sdf"
    source.write_text(sdf(2))
    with pytest.raises(error, match=message):
        merge_records(str(source), table, tmp_path / "out.sdf", key="ID", **options)
    assert os.listdir(tmp_path) == ["in.sdf"]


def test_a_failure_part_way_keeps_the_old_destination(tmp_path):
    source, dest = tmp_path / "in.sdf", tmp_path / "out.sdf"
    source.write_text(sdf(2) + MOL.format(9) + "> broken\n\n$$$$\n")
    dest.write_text("old")
    with pytest.raises(MalformedRecordError):
        merge_records(str(source), {"ID": ["K1"], "X": [1]}, dest, key="ID")
    assert sorted(os.listdir(tmp_path)) == ["in.sdf", "out.sdf"] and dest.read_text() == "old"


@pytest.mark.parametrize("table", [
    {"ID": ["K0", "K1"], "X": [0.123456, None], "N": [7, 8]},
    pd.DataFrame({"ID": ["K0", "K1"], "X": [0.123456, float("nan")], "N": [7, 8]}),
    pa.table({"ID": ["K0", "K1"], "X": pa.array([0.123456, None], pa.float32()), "N": [7, 8]}),
])
def test_float_format_applies_to_floats_only(table):
    out = io.BytesIO()
    merge_records(io.BytesIO(sdf(2).encode()), table, out, key="ID", float_format=".3e")
    assert read_table(io.BytesIO(out.getvalue()), ["X", "N"]).to_pydict() == {"X": [b"1.235e-01", None],
                                                                           "N": [b"7", b"8"]}


@pytest.mark.parametrize("source, out", [(io.StringIO, io.StringIO), (io.StringIO, io.BytesIO), (io.BytesIO, io.BytesIO)])
def test_file_object_destinations(source, out):
    text = sdf(3).replace("t1\n", "té1\n")
    dest = out()
    merge_records(source(text if source is io.StringIO else text.encode()), {"ID": ["K1"], "X": ["ü"]}, dest, key="ID")
    expected = text.replace("v1\n\n$$$$\n", "v1\n\n> <X>\nü\n\n$$$$\n")
    assert dest.getvalue() == (expected if out is io.StringIO else expected.encode())


def test_blocks_that_share_a_key():
    out = io.StringIO()
    summary = merge_records(io.StringIO(sdf(2) + sdf(3)), {"ID": ["K1", "K7"], "X": ["x", "y"]}, out, key="ID")
    assert (summary.blocks, summary.matched, summary.unmatched_rows) == (5, 2, 1)
    assert read_table(io.StringIO(out.getvalue()), ["X"]).to_pydict() == {"X": [None, "x", None, "x", None]}


@pytest.mark.parametrize("kind, matched", [(bytes, 2), (str, 1)])
def test_keys_that_are_not_utf8(tmp_path, kind, matched):
    # Only a bytes block can hold them; a str block's text never equals them.
    source = tmp_path / "in.sdf"
    source.write_bytes(sdf(2).encode().replace(b"K1", b"K\xff") if kind is bytes else sdf(2).encode())
    summary = merge_records(kind(source), {"ID": [b"K\xff", "K0"], "X": [1, 2]}, tmp_path / "out.sdf", key="ID")
    assert (summary.matched, summary.unmatched_rows) == (matched, 2 - matched)


def test_an_undecodable_text_block_keeps_the_old_destination(tmp_path):
    source, dest = tmp_path / "in.sdf", tmp_path / "out.sdf"
    source.write_bytes(sdf(2).encode().replace(b"K1", b"K\xff"))
    dest.write_text("old")
    with pytest.raises(UnicodeDecodeError):
        merge_records(str(source), {"ID": ["K0"], "X": [1]}, dest, key="ID")
    assert dest.read_text() == "old"


def test_blocks_without_m_end_take_no_records(tmp_path):
    source, dest = tmp_path / "in.sdf", tmp_path / "out.sdf"
    source.write_text(sdf(1) + "t1\n  prog\n\n  1  0\n> <ID>\nK1\n\n$$$$\n" + sdf(1).replace("t0", "t2"))
    table = {"t": ["t0", "t1", "t2"], "X": [0, 1, 2]}
    with pytest.raises(ValueError, match=r"^no M  END line ends the MDL of block 1 \(from 0\)"):
        merge_records(str(source), table, dest, key=TITLE, title="t")
    assert os.listdir(tmp_path) == ["in.sdf"]
    out = io.StringIO()  # a file object gets every block, the refused one as it was
    with pytest.raises(ValueError):
        merge_records(str(source), table, out, key=TITLE, title="t")
    assert [b.get("X") for b in parse_sdf(io.StringIO(out.getvalue()))] == ["0", None, "2"]
