"""write_table: tables back to SD files, checked against what read_table
reads back, against SDBlock's own edits, and byte for byte on real files."""

import datetime
import decimal
import io
import math
import os
import re
import subprocess
import sys

import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import corpus_params
from molbrook import SDBlock, parse_sdf, read_table, write_table

MOL = "{}\n  prog\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n"
EMPTY = "\n\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n"  # a molecule without atoms, untitled


def written(table, **options) -> bytes:
    out = io.BytesIO()
    write_table(table, out, **options)
    return out.getvalue()


def readable(value: str) -> bool:
    """Whether a value reads back as itself: no blank line (a final line
    break leaves one), no $$$$ line, no CR (text readers break lines there)."""
    lines = value.split("\n")
    return value == "" or ("\r" not in value and all(line.strip() and not line.startswith("$$$$") for line in lines))


def iso_timestamp(value: datetime.datetime) -> str:
    return value.isoformat().replace("+00:00", "Z")


TEXT = st.text(st.sampled_from("ab $\n\t<>é"), max_size=6).filter(readable)
# Each column: its Arrow type, its values and the text each is written as.
COLUMNS = {
    "text": (pa.string(), TEXT, str),
    "binary": (pa.binary(), TEXT.map(str.encode), bytes.decode),
    "int": (pa.int64(), st.integers(-2**63, 2**63 - 1), str),
    "uint8": (pa.uint8(), st.integers(0, 255), str),
    "float": (pa.float64(), st.floats(), repr),
    "float32": (pa.float32(), st.floats(width=32), repr),
    "bool": (pa.bool_(), st.booleans(), str),
    "date": (pa.date32(), st.dates(), datetime.date.isoformat),
    "time": (pa.time64("us"), st.times(), datetime.time.isoformat),
    "timestamp": (pa.timestamp("us"), st.datetimes(), iso_timestamp),
    "utc": (pa.timestamp("us", tz="UTC"), st.datetimes(timezones=st.just(datetime.timezone.utc)), iso_timestamp),
    "decimal": (pa.decimal128(12, 3), st.decimals(-10**8, 10**8, places=3, allow_nan=False), str),
    "decimal256": (pa.decimal256(50, 0), st.integers(-10**49, 10**49).map(decimal.Decimal), str),
}


@st.composite
def tables(draw):
    rows = draw(st.integers(0, 6))
    names = draw(st.lists(st.sampled_from(sorted(COLUMNS)), min_size=1, max_size=5, unique=True))
    values = {name: draw(st.lists(st.none() | COLUMNS[name][1], min_size=rows, max_size=rows)) for name in names}
    return pa.table({name: pa.array(values[name], COLUMNS[name][0]) for name in names}), values


@given(tables(), st.sampled_from(["id", None]))
@settings(max_examples=200, deadline=None)
def test_random_tables_read_back_as_their_text(made, title):
    table, values = made
    titles = [f"row {i}" for i in range(table.num_rows)]
    if title:
        table = table.append_column(title, pa.array(titles))
    back = read_table(io.BytesIO(written(table, title=title)), list(values), title="t").to_pydict()
    assert back.pop("t") == [row.encode() if title else b"" for row in titles]
    for name, cells in values.items():
        text = COLUMNS[name][2]
        assert back[name] == [None if cell is None else text(cell).encode() for cell in cells], name
        if name == "float":  # the text reads back as the same double
            assert all(a is None or float(b) == a or math.isnan(a) for a, b in zip(cells, back[name]))


@pytest.mark.parametrize("molblock", [MOL.format("own"), MOL.format("own").replace("\n", "\r\n"),
                                      MOL.format("own").rstrip("\n"), None])
@pytest.mark.parametrize("title", ["new", None])
def test_blocks_are_what_sdblock_builds(molblock, title):
    records = [("A", "1"), ("B", "two\nlines")]
    table = pa.table({"mol": [molblock], "t": [title], "A": ["1"], "B": ["two\nlines"], "none": pa.nulls(1)})
    expected = SDBlock((molblock or EMPTY).encode(), [(n.encode(), v.encode()) for n, v in records])
    if title is not None:
        expected.title = title.encode()
    assert written(table, molblock="mol", title="t") == bytes(expected)


def test_whole_blocks_with_names_are_set_as_set_record_does():
    sdf = (MOL.format("a") + "> <A>\nold\n\n> <B>\n1\n\n> <A>\nlater\n\n$$$$\n"
           + MOL.format("b").replace("\n", "\r\n") + "$$$$\r\n")
    blocks = list(SDBlock.from_sdf(sdf.encode()))
    table = pa.table({"sdf": [bytes(b) for b in blocks], "A": ["new", None], "C": [None, 2.5]})
    for block, a, c in zip(blocks, ["new", None], [None, "2.5"]):
        for name, value in (("A", a), ("C", c)):
            if value is not None:
                block.set_record(name.encode(), value.encode())
    assert written(table, block="sdf", names=["A", "C"]) == b"".join(bytes(b) for b in blocks)
    assert written(table, block="sdf") == sdf.encode()


def as_read(data: bytes) -> bytes:
    """The file as the README says a block column gives it back: byte for
    byte but for the end of each block, a bare $$$$ line ending as the
    block's first line does (one added where the file ends without it, a
    final line ending completed, a decorated $$$$ line made bare)."""
    found, block = [], []
    for line in re.findall(rb"[^\n]*\n|[^\n]+", data):
        block.append(line)
        if line.startswith(b"$$$$"):
            found.append(ended(block))
            block = []
    return b"".join(found + ([ended([*block, b""])] if block else []))


def ended(block: list[bytes]) -> bytes:
    ending = b"\r\n" if block[0].endswith(b"\r\n") else b"\n"
    *body, last = block
    if body and not body[-1].endswith(b"\n"):
        body[-1] += ending
    return b"".join(body) + (last if last in (b"$$$$\n", b"$$$$\r\n") else b"$$$$" + ending)


def through_parquet(tmp_path, source) -> bytes:
    pq.write_table(pa.table(read_table(source, block="sdf")), tmp_path / "sdf.parquet", compression="zstd")
    return written(pq.read_table(tmp_path / "sdf.parquet"), block="sdf")


@pytest.mark.parametrize("crlf", [False, True])
@pytest.mark.parametrize("path", corpus_params())
def test_corpus_files_come_back_as_read(tmp_path, path, crlf):
    data = path.read_bytes()
    if crlf:
        data = data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    (tmp_path / "in.sdf").write_bytes(data)
    assert through_parquet(tmp_path, bytes(tmp_path / "in.sdf")) == as_read(data)
    # Built from molblocks, titles and records: every record and title reads back.
    table = pa.table(read_table(bytes(tmp_path / "in.sdf"), molblock="mol", title="t"))
    has_mend = pa.array([b"\nM  END" in mol for mol in table.column("mol").to_pylist()])
    parts = table.filter(has_mend)
    back = read_table(io.BytesIO(written(parts, molblock="mol", title="t")), title="t").to_pydict()
    assert back == parts.drop_columns(["mol"]).to_pydict()


# What the end of a file may hold, each normalised as the README says.
ENDS = [b"M  END\n$$$$\n", b"M  END\n$$$$", b"M  END\n", b"M  END", b"M  END\n$$$$$ x\n", b"M  END\n$$$$\n\n",
        b"M  END\n$$$$\n \n\t", b"M  END\r\n$$$$\r\n\r\n", b"M  END\n$$$$\nx"]


@pytest.mark.parametrize("crlf", [False, True])
@pytest.mark.parametrize("end", ENDS)
def test_file_ends_come_back_as_the_readme_says(tmp_path, end, crlf):
    data = (MOL.format("a") + "> <A>\n1\n\n$$$$\nb\n\n\n").encode() + end
    if crlf:
        data = data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    (tmp_path / "in.sdf").write_bytes(data)
    assert through_parquet(tmp_path, bytes(tmp_path / "in.sdf")) == as_read(data)


def test_writes_to_text_and_binary_file_objects_match():
    table = pa.table({"A": [f"é{i}" * (i % 50) for i in range(3000)], "B": pa.array(range(3000), pa.int16())})
    calls = []

    class Recorder:
        def write(self, chunk):
            calls.append(chunk)

    assert write_table(table, Recorder()) == 3000
    text = io.StringIO()
    write_table(table, text)
    assert text.getvalue().encode() == written(table) == b"".join(calls)
    assert all(len(call) >= 65536 for call in calls[:-1])


def test_frames_of_every_library_give_the_same_file():
    pd = pytest.importorskip("pandas")
    pl = pytest.importorskip("polars")
    columns = {"ID": ["a", None, "c"], "N": [1, None, 3], "X": [0.5, None, 1e-7], "OK": [True, False, None]}
    expected = written(pa.table(columns))
    assert b"1.0" not in expected and b"nan" not in expected and b"None" not in expected
    numpy_frame = pd.DataFrame({"ID": columns["ID"], "N": pd.array(columns["N"], "Int64"),
                                "X": [0.5, float("nan"), 1e-7], "OK": pd.array(columns["OK"], "boolean")})
    for table in (columns, pl.DataFrame(columns), numpy_frame, numpy_frame.convert_dtypes(dtype_backend="pyarrow"),
                  pl.DataFrame(columns).with_columns(pl.col("ID").cast(pl.Categorical))):
        assert written(table) == expected, type(table)
    assert written(pa.table(columns).slice(1)) == written({name: values[1:] for name, values in columns.items()})


def test_dask_partitions_concatenated_are_the_whole_frame(tmp_path):
    dd = pytest.importorskip("dask.dataframe")
    pd = pytest.importorskip("pandas")
    import molbrook.dask

    frame = pd.DataFrame({"ID": [f"m{i}" for i in range(25)], "N": range(25)})
    paths = molbrook.dask.to_sdf(dd.from_pandas(frame, npartitions=3), tmp_path / "part-*.sdf", title="ID")
    assert [os.path.basename(p) for p in paths] == ["part-0.sdf", "part-1.sdf", "part-2.sdf"]
    assert b"".join(open(p, "rb").read() for p in paths) == written(frame, title="ID")
    with pytest.raises(ValueError, match="one '\\*'"):
        molbrook.dask.to_sdf(dd.from_pandas(frame, npartitions=1), tmp_path / "whole.sdf")


BAD = [
    ({"v": ["ok", "a\n\nb"]}, {}, ValueError, "row 1, column 'v' has a blank line"),
    ({"v": ["ok\n"]}, {}, ValueError, "row 0, column 'v' has a blank line"),
    ({"v": [" "]}, {}, ValueError, "row 0, column 'v' has a blank line"),
    ({"v": [b"x\n$$$$"]}, {}, ValueError, "row 0, column 'v' has a \\$\\$\\$\\$ line"),
    ({"v": ["a\r\nb"]}, {}, ValueError, "row 0, column 'v' has a carriage return"),
    ({"a<b": ["1"]}, {}, ValueError, "column 'a<b' cannot be a record name"),
    ({"": ["1"]}, {}, ValueError, "column '' cannot be a record name"),
    ({"a\nb": ["1"]}, {}, ValueError, "column 'a\nb' cannot be a record name"),
    ({"t": ["x\ny"]}, {"title": "t"}, ValueError, "row 0, column 't' has a line break"),
    ({"t": ["$$$$"]}, {"title": "t"}, ValueError, "row 0, column 't' has a \\$\\$\\$\\$ line"),
    ({"m": [MOL.format("x"), "x\n"]}, {"molblock": "m"}, ValueError, "row 1, column 'm' is a molblock without"),
    ({"m": [MOL.format("x") + "> <A>\n1\n"]}, {"molblock": "m"}, ValueError, "lines after its M  END"),
    ({"m": ["$$$$\n" + MOL.format("x")]}, {"molblock": "m"}, ValueError, "row 0, column 'm' has a \\$\\$\\$\\$"),
    ({"m": [1]}, {"molblock": "m"}, TypeError, "column 'm' must hold strings or binary"),
    ({"b": ["A\n$$$$\nB\n$$$$\n"]}, {"block": "b"}, ValueError, "row 0, column 'b' is not one block"),
    ({"b": [None]}, {"block": "b"}, ValueError, "row 0, column 'b' is null"),
    ({"b": ["A\nP\n$$$$\n"], "v": ["1"]}, {"block": "b", "names": ["v"]}, ValueError,
     "row 0, column 'b' is a block whose MDL no M  END line ends"),
    ({"b": ["A\n$$$$\n"], "t": ["x"]}, {"block": "b", "title": "t"}, ValueError, "give no molblock or title"),
    ({"v": [[1, 2]]}, {}, TypeError, "column 'v' has a list type"),
    ({"v": [{"x": 1}]}, {}, TypeError, "column 'v' has a struct type"),
    ({"v": ["1"]}, {"names": ["w"]}, ValueError, "the table has no column 'w'"),
    ({"v": ["1"]}, {"names": ["v", "v"]}, ValueError, "listed twice"),
    # Arrow's C interface would cut these names at the NUL
    ({"a\x00b": ["1"]}, {}, ValueError, r"column 'a\\x00b' cannot be a record name: it holds a NUL"),
    ({"v": ["1"]}, {"title": "v\x00w"}, ValueError, r"column 'v\\x00w' cannot .* NUL"),
    ({"v": ["1"]}, {"names": ["v\x00"]}, ValueError, r"column 'v\\x00' cannot .* NUL"),
    ({"v": [1.5]}, {"float_format": ".2q"}, ValueError, "float_format '.2q' is not a format spec for floats"),
    ({"v": [1.5]}, {"float_format": 2}, TypeError, "float_format must be None or a format spec"),
]


@pytest.mark.parametrize("columns, options, error, message", BAD)
def test_bad_tables_write_nothing_to_a_path(tmp_path, columns, options, error, message):
    dest = tmp_path / "out.sdf"
    dest.write_bytes(b"before")
    with pytest.raises(error, match=message):
        write_table(pa.table(columns), dest, **options)
    assert dest.read_bytes() == b"before" and os.listdir(tmp_path) == ["out.sdf"]


def test_rows_before_a_bad_one_reach_a_file_object():
    out = io.BytesIO()
    with pytest.raises(ValueError, match="row 2"):
        write_table({"v": ["a", "b", "c\n\n", "d"]}, out)
    assert [b.get(b"v") for b in parse_sdf(io.BytesIO(out.getvalue()))] == [b"a", b"b"]
    with pytest.raises(TypeError, match="pandas DataFrame"):
        write_table([1, 2], out)


@given(st.lists(st.floats(), max_size=100))
def test_floats_are_written_as_repr(values):
    back = read_table(io.BytesIO(written({"x": pa.array(values, pa.float64())})), ["x"]).to_pydict()
    assert back["x"] == [repr(value).encode() for value in values]


@pytest.mark.parametrize("spec", [".4g", ".2f", "e", "+.1%"])
@pytest.mark.parametrize("kind", [pa.float64(), pa.float32(), pa.float16()])
def test_float_format_applies_to_float_columns(spec, kind):
    floats = pa.array([0.123456, None, -2.5e-7, float("nan"), 12345.678], kind)
    table = pa.table({"x": floats, "n": pa.array([1, 2, 3, 4, 5], pa.int64()), "s": ["0.1"] * 5})
    back = read_table(io.BytesIO(written(table, float_format=spec)), ["x", "n", "s"]).to_pydict()
    assert back["x"] == [None if v is None else format(v, spec).encode() for v in floats.to_pylist()]
    assert back["n"] == [b"1", b"2", b"3", b"4", b"5"] and back["s"] == [b"0.1"] * 5


def test_a_polars_name_with_nul_is_refused_before_its_stream_is_taken():
    pytest.importorskip("polars")
    code = ("import io, polars, molbrook\n"
            "try: molbrook.write_table(polars.DataFrame({'a\\x00b': [1]}), io.BytesIO())\n"
            "except ValueError as error: print(error)")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert (done.returncode, done.stdout) == (0, "column 'a\\x00b' cannot be a record name: it holds a NUL "
                                                  "character, which Arrow column names cannot hold\n")


D = decimal.Decimal
TYPED = [
    (pa.array([-1, 0, 1_500], pa.timestamp("ms")),
     ["1969-12-31T23:59:59.999", "1970-01-01T00:00:00", "1970-01-01T00:00:01.500"]),
    (pa.array([1], pa.timestamp("ns", tz="Europe/Berlin")), ["1970-01-01T00:00:00.000000001Z"]),
    (pa.array([-86_400_000 - 1, 86_400_000], pa.date64()), ["1969-12-30", "1970-01-02"]),
    (pa.array([-719_529, 2_932_897], pa.date32()), ["-0001-12-31", "+10000-01-01"]),
    (pa.array([3_723_004], pa.time32("ms")), ["01:02:03.004"]),
    (pa.array([5], pa.time64("ns")), ["00:00:00.000000005"]),
    (pa.array([D("-0.05"), D("12.30")], pa.decimal128(5, 2)), ["-0.05", "12.30"]),
    (pa.array([D("-1E+3"), D("0")], pa.decimal128(5, -3)), ["-1000", "0"]),
    (pa.array([D("-" + "9" * 76)], pa.decimal256(76, 0)), ["-" + "9" * 76]),
    (pa.array([D("-1.5")], pa.decimal32(3, 1)), ["-1.5"]),
    (pa.array([D("123456789.0123")], pa.decimal64(18, 4)), ["123456789.0123"]),
    (pa.array([0.1, 65504, float("-inf")], pa.float16()), ["0.0999755859375", "65504.0", "-inf"]),
    (pa.array([2**64 - 1, 0], pa.uint64()), ["18446744073709551615", "0"]),
    (pa.array(["a", "longer than twelve bytes", None], pa.string_view()), ["a", "longer than twelve bytes", None]),
    (pa.array([b"ab", None], pa.binary(2)), ["ab", None]),
    (pa.array(["x", None, "yy"], pa.large_string()).dictionary_encode(), ["x", None, "yy"]),
    (pa.DictionaryArray.from_arrays(pa.array([1, 0, None], pa.int8()), pa.array([1.5, None])), [None, "1.5", None]),
    (pa.nulls(2), [None, None]),
]


@pytest.mark.parametrize("array, texts", TYPED, ids=[str(array.type) for array, _ in TYPED])
def test_typed_cells_as_text(array, texts):
    back = read_table(io.BytesIO(written(pa.table({"x": array}))), ["x"]).to_pydict()["x"]
    assert back == [None if text is None else text.encode() for text in texts]
