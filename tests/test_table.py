"""Records to tables: read_table and scan_table against a table built from
get/names/title per block, through every Arrow consumer."""

import io
import math
import re
import sys

import duckdb
import polars as pl
import pyarrow as pa
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import molbrook
from conftest import corpus_params
from molbrook import MalformedRecordError, SDBlock, parse_sdf, read_table, scan_table

MOL = "t{}\n  prog\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n"


def reference(blocks, names=None, title=None, types=None):
    """The table a Python loop over the blocks builds."""
    blocks = list(blocks)
    if names is None:
        names = list(dict.fromkeys(name for block in blocks for name in block.names()))
    types = types or {}
    columns = {} if title is None else {title: [block.title for block in blocks]}
    for name in names:
        parse = types.get(name, str)
        columns[shown(name)] = [cell(block.get(name), parse) for block in blocks]
    return columns


def shown(name):
    return name.decode("utf-8", "backslashreplace") if isinstance(name, bytes) else name


def cell(value, parse):
    if value is None or parse is str:
        return value
    try:  # a str value as int() and float() read str, a bytes value as they read bytes
        result = parse(value)
    except ValueError:
        return None
    return None if parse is int and not -(2**63) <= result < 2**63 else result


def same(left, right):
    """Equal dicts of columns, NaN equal to NaN."""
    assert list(left) == list(right)
    for name in left:
        for a, b in zip(left[name], right[name], strict=True):
            assert a == b or (isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b)), name


def consumers(table):
    """The table as each consumer reads it, as a dict of lists."""
    yield "to_pydict", table.to_pydict()
    arrow = pa.table(table)
    arrow.validate(full=True)
    yield "pyarrow", arrow.to_pydict()
    yield "polars", pl.DataFrame(table).to_dict(as_series=False)
    if table.column_names:  # DuckDB finds the table by its variable's name
        t = table
        rows = duckdb.sql("select * from t").fetchall()
        yield "duckdb", {name: [row[i] for row in rows] for i, name in enumerate(t.column_names)}


@pytest.mark.parametrize("path", corpus_params())
@pytest.mark.parametrize("kind", [str, bytes])
def test_corpus_files_match_the_reference(path, kind):
    source = str(path) if kind is str else bytes(path)
    try:
        expected = reference(parse_sdf(source), title="&title")
    except (UnicodeDecodeError, MalformedRecordError) as error:
        with pytest.raises(type(error)):
            read_table(source, title="&title")
        return
    table = read_table(source, title="&title")
    for _, observed in consumers(table):
        same(observed, expected)
    batches = list(scan_table(source, title="&title", batch_rows=7))
    assert sum(batch.num_rows for batch in batches) == table.num_rows
    if batches:
        same(molbrook.RecordTable._from_batches(batches).to_pydict(), expected)


# Random blocks: names in varying order (enough of them to outgrow the name
# table's first slots), numbers in Python's spellings and not, multi-line
# values, CRLF lines, and titles.
NAMES = st.one_of(st.sampled_from(["A", "B", "n", "é", "A"]), st.integers(0, 40).map("N{}".format))
NUMBERS = st.one_of(
    st.integers(-(2**70), 2**70).map(str),
    st.floats(allow_nan=True).map(repr),
    st.sampled_from(["", " 7 ", "1_000", "1__0", "_1", "+5", "-0", "1e5", ".5", "5.", "inf", "-Infinity", "nan",
                     "1e999", "0x10", "1,5", "12abc", "1.5.2", "٣", "9223372036854775808", "-9223372036854775808"]),
)
VALUES = st.one_of(NUMBERS, st.text(st.sampled_from("ab é\t"), max_size=5), st.just("x\ny"))
RECORDS = st.lists(st.tuples(NAMES, VALUES), max_size=6)


def make_block(index, records, crlf):
    text = MOL.format(index) + "".join(f"> <{n}>\n{v}\n\n" for n, v in records) + "$$$$\n"
    return text.replace("\n", "\r\n") if crlf else text


@given(st.lists(st.tuples(RECORDS, st.booleans()), max_size=8), st.sampled_from([str, bytes]),
       st.sampled_from([None, ["B", "A", "Z"]]), st.sampled_from([int, float, str]))
@settings(max_examples=150, deadline=None)
def test_random_blocks_match_the_reference(blocks, kind, names, number_type):
    data = "".join(make_block(i, records, crlf) for i, (records, crlf) in enumerate(blocks)).encode()
    source = io.BytesIO(data) if kind is bytes else io.StringIO(data.decode(), newline="")
    if names is not None and kind is bytes:
        names = [name.encode() for name in names]
    types = {"A": number_type, "n": number_type}
    expected = reference(parse_sdf(io.BytesIO(data) if kind is bytes else io.StringIO(data.decode(), newline="")),
                         names, "t", {(k.encode() if kind is bytes else k): v for k, v in types.items()})
    table = read_table(source, names, title="t", types=types)
    for _, observed in consumers(table):
        same(observed, expected)


def test_scan_to_parquet_and_a_fresh_stream_per_call(tmp_path):
    path = tmp_path / "x.sdf"
    path.write_text("".join(make_block(i, [("A", str(i)), ("B", "x")], False) for i in range(10)))
    table = read_table(str(path), types={"A": int})
    assert pa.table(table).equals(pa.table(table))
    import pyarrow.parquet as pq

    with scan_table(str(path), types={"A": int}, batch_rows=3) as scan:
        reader = pa.RecordBatchReader.from_stream(scan)
        with pq.ParquetWriter(tmp_path / "x.parquet", reader.schema) as writer:
            for batch in reader:
                assert batch.num_rows <= 3
                writer.write_batch(batch)
    assert pq.read_table(tmp_path / "x.parquet").equals(pa.table(table))


def bad_blocks(kind):
    text = MOL.format(0) + "> <A>\n1\n\n$$$$\n" + MOL.format("\udcff") + "> <A>\n\xff\n\n$$$$\n"
    return text


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda p: read_table(p, ["A", "A"]), ValueError, "listed twice"),
        (lambda p: read_table(p, "A"), TypeError, "list of record names"),
        (lambda p: read_table(p, [1]), TypeError, "str or bytes"),
        (lambda p: read_table(p, types={"A": "int"}), ValueError, r"types\['A'\] must be int, float or str"),
        (lambda p: read_table(p, types=[("A", int)]), TypeError, "mapping"),
        (lambda p: read_table(p, ["A"], title="A"), ValueError, "has the name of a record"),
        (lambda p: read_table(p, title="A"), ValueError, "has the name of a record"),
        (lambda p: read_table(p, title=b"t"), TypeError, "title"),
        (lambda p: read_table(42), TypeError, "not int"),
        (lambda p: read_table([SDBlock("x\n$$$$\n"), SDBlock(b"x\n$$$$\n")]), TypeError, "one kind"),
        (lambda p: read_table(["x"]), TypeError, "not str"),
        (lambda p: scan_table(open(p)), ValueError, "give the record names"),
        (lambda p: scan_table(p, batch_rows=0), ValueError, "batch_rows"),
        (lambda p: read_table(p + ".missing"), FileNotFoundError, "missing"),
    ],
)
def test_bad_arguments(tmp_path, call, error, message):
    path = tmp_path / "x.sdf"
    path.write_text(make_block(0, [("A", "1")], False))
    with pytest.raises(error, match=message):
        call(str(path))


@pytest.mark.parametrize(
    "data, error, note",
    [
        (MOL.format(0) + "$$$$\n" + MOL.format(1) + "> A\n1\n\n$$$$\n", MalformedRecordError, "block 1 (from 0), the SDBlock titled 't1'"),
        (MOL.format(0) + "> <A>\nok\n\n$$$$\n" + MOL.format(1) + "> <A>\n\xff\n\n$$$$\n", UnicodeDecodeError, "block 1 (from 0), the SDBlock titled 't1'"),
        (MOL.format("\xff") + "$$$$\n", UnicodeDecodeError, "block 0 (from 0)"),
    ],
)
def test_bad_blocks_are_noted(tmp_path, data, error, note):
    path = tmp_path / "x.sdf"
    path.write_bytes(data.encode("latin-1"))
    for read in (lambda: read_table(str(path), title="t"), lambda: list(scan_table(str(path), ["A"], title="t"))):
        with pytest.raises(error) as raised:
            read()
        assert note in "".join(raised.value.__notes__)
    with pytest.raises(OSError, match=re.escape(str(raised.value))):  # through an Arrow stream
        pa.RecordBatchReader.from_stream(scan_table(str(path), ["A"], title="t", batch_rows=1)).read_all()
    if error is UnicodeDecodeError:  # bytes paths read any bytes
        assert read_table(bytes(path), title="t").num_rows == data.count("$$$$")


def test_bytes_names_with_invalid_utf8_are_escaped(tmp_path):
    path = tmp_path / "x.sdf"
    path.write_bytes((MOL.format(0) + "> <caf\xe9>\n1\n\n$$$$\n").encode("latin-1"))
    table = read_table(bytes(path))
    assert table.column_names == ["caf\\xe9"] and table.to_pydict() == {"caf\\xe9": [b"1"]}
    assert pa.table(table).schema.field(0).type == pa.binary()


@pytest.mark.parametrize("path_type", [str, bytes])
@pytest.mark.parametrize("read", [
    lambda p: read_table(p),
    lambda p: read_table(p, ["ok", "v\x00w"]),
    lambda p: read_table(p, workers=2),
    lambda p: list(scan_table(p)),
    lambda p: pa.RecordBatchReader.from_stream(scan_table(p)).schema,
])
def test_record_names_with_nul_are_refused_not_cut_short(tmp_path, path_type, read):
    path = tmp_path / "x.sdf"
    path.write_text(make_block(0, [("v\x00w", "1"), ("v\x00x", "2"), ("ok", "3")], False))
    with pytest.raises((ValueError, OSError), match=r"record name b?'v\\x00w' holds a NUL character"):
        read(path_type(path))
    assert read_table(path_type(path), ["ok"]).column_names == ["ok"]
    with pytest.raises(ValueError, match=r"column name 't\\x00' holds a NUL"):
        read_table(str(path), ["ok"], title="t\x00")


@pytest.mark.parametrize("method, module, extra", [("to_arrow", "pyarrow", "arrow"), ("to_pandas", "pandas", "pandas"),
                                                   ("to_polars", "polars", "polars")])
def test_missing_libraries_name_their_extra(monkeypatch, method, module, extra):
    table = read_table(io.StringIO(make_block(0, [("A", "1")], False)))
    monkeypatch.setitem(sys.modules, module, None)
    with pytest.raises(ImportError, match=rf"molbrook\[{extra}\]"):
        getattr(table, method)()


def test_frames_and_empty_sources():
    table = read_table(io.StringIO(make_block(0, [("A", "1.5")], False)), types={"A": float}, title="t")
    assert table.to_pandas().to_dict("list") == {"t": ["t0"], "A": [1.5]}
    assert table.to_polars().to_dict(as_series=False) == {"t": ["t0"], "A": [1.5]}
    empty = read_table(io.BytesIO(b""), ["A"])
    assert len(empty) == 0 and pa.table(empty).schema.field("A").type == pa.string()
    assert list(scan_table(io.StringIO(""), ["A"])) == []


# A table read whole is built in batches; a name met only in some region
# of the file leaves the batches outside it all-null, exported without
# buffers of their own.
REGIONS = {"first": [0], "middle": range(20_000, 20_003), "last": [39_999], "n": range(0, 40_000, 9_000)}


@pytest.mark.parametrize("workers", [1, 2])
def test_names_of_one_region_across_batches(tmp_path, monkeypatch, workers):
    monkeypatch.setattr(molbrook._parallel, "MIN_PIECE", 100_000)
    rows = {i: [(name, f"{name}{i}" if name != "n" else str(i)) for name, at in REGIONS.items() if i in at]
            for i in range(40_000)}
    path = tmp_path / "regions.sdf"
    path.write_text("".join(make_block(i, rows[i], False) for i in range(40_000)))
    types = {"n": int, "middle": float}
    table = read_table(str(path), title="t", types=types, workers=workers)
    expected = reference(parse_sdf(str(path)), title="t", types=types)
    for _, observed in consumers(table):
        same(observed, expected)
    same(table.to_pandas().replace({float("nan"): None}).to_dict("list"), expected)
