"""The table commands (cut, from-table, merge) on what their outputs must
refuse or keep: an output that is an input, blocks that are not UTF-8,
floats written by a format spec."""

from __future__ import annotations

import io
import json
import os

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from molbrook import parse_sdf
from test_cli import molbrook

MOL = "\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n"
# The first block's title is Latin-1, not UTF-8; its records are.
LATIN1 = ("caf\xe9" + MOL + "> <ID>\nm1\n\n$$$$\nt2" + MOL + "> <ID>\nm2\n\n$$$$\n").encode("latin-1")


@pytest.mark.parametrize("command", [
    ["from-table", "{table}", "--title", "ID", "-o", "{out}"],
    ["merge", "{table}", "--key", "ID", "{sdf}", "-o", "{out}"],
])
@pytest.mark.parametrize("link", [False, True])
def test_an_output_that_is_the_table_read_is_refused(tmp_path, command, link):
    table, sdf = tmp_path / "t.csv", tmp_path / "in.sdf"
    table.write_text("ID,A\nm1,1\n")
    sdf.write_bytes(LATIN1)
    out = table
    if link:
        out = tmp_path / "link.csv"
        out.symlink_to(table)
    done = molbrook(*(arg.format(table=table, sdf=sdf, out=out) for arg in command))
    assert (done.returncode, done.stderr.decode()) == (
        2, f"molbrook: {out}: is also the input: write elsewhere (set, rm, rename and merge offer --in-place)\n")
    assert table.read_text() == "ID,A\nm1,1\n"


def test_blocks_that_are_not_utf8_go_to_parquet_as_binary_and_back(tmp_path):
    (tmp_path / "in.sdf").write_bytes(LATIN1)
    done = molbrook("cut", "--block", "sdf", "-f", "ID", tmp_path / "in.sdf", "-o", tmp_path / "t.parquet")
    assert (done.returncode, done.stderr) == (0, b"")
    assert pq.read_schema(tmp_path / "t.parquet").types == [pa.binary(), pa.string()]
    back = molbrook("from-table", tmp_path / "t.parquet", "--block", "sdf")
    assert (back.returncode, back.stdout) == (0, LATIN1)


def test_a_parquet_table_that_fails_past_its_first_megabytes_leaves_the_old_file(tmp_path):
    # The first batch's row group is passed on before the last block fails.
    blocks = b"".join(b"t" + MOL.encode() + b"> <ID>\n" + os.urandom(16).hex().encode() + b"\n\n$$$$\n"
                      for _ in range(70000))
    (tmp_path / "in.sdf").write_bytes(blocks + b"t" + MOL.encode() + b"> <ID>\n\xff\n\n$$$$\n")
    (tmp_path / "t.parquet").write_bytes(b"old")
    done = molbrook("cut", tmp_path / "in.sdf", "-o", tmp_path / "t.parquet")
    message = (f"molbrook: {tmp_path / 'in.sdf'}: block 70001: the value of column 'ID' is not UTF-8, "
               "as Parquet text must be\n")
    assert (done.returncode, done.stderr.decode()) == (2, message)
    assert (tmp_path / "t.parquet").read_bytes() == b"old" and sorted(os.listdir(tmp_path)) == ["in.sdf", "t.parquet"]


@pytest.mark.parametrize("fmt", ["csv", "tsv", "jsonl"])
def test_blocks_that_are_not_utf8_are_refused_in_text_tables(tmp_path, fmt):
    (tmp_path / "in.sdf").write_bytes(LATIN1)
    done = molbrook("cut", "--block", "sdf", tmp_path / "in.sdf", "-o", tmp_path / f"t.{fmt}")
    message = (f"molbrook: {tmp_path / 'in.sdf'}: block 1: the value of column 'sdf' is not UTF-8, which "
               f"{fmt.upper()} needs to give the block back; write .parquet, which keeps it binary\n")
    assert (done.returncode, done.stderr.decode()) == (2, message)
    assert os.listdir(tmp_path) == ["in.sdf"]


def test_text_tables_that_are_not_utf8_are_refused_naming_the_row(tmp_path):
    (tmp_path / "t.csv").write_bytes(b"ID,A\nm1,ok\nm2,caf\xe9\n")
    done = molbrook("from-table", tmp_path / "t.csv", "--title", "ID")
    assert done.returncode == 2 and done.stderr.decode().startswith(
        f"molbrook: {tmp_path / 't.csv'}: row 1, column 'A' is not UTF-8")


@pytest.mark.parametrize("spec, expected", [(None, [b"0.123456", b"2.0"]), (".2f", [b"0.12", b"2.00"])])
def test_float_format_on_the_command_line(tmp_path, spec, expected):
    table = tmp_path / "t.jsonl"
    table.write_text("".join(json.dumps({"ID": f"m{i}", "X": x, "N": 3}) + "\n" for i, x in enumerate([0.123456, 2.0])))
    pq.write_table(pa.table({"ID": ["m1", "m2"], "X": [0.123456, 2.0]}), tmp_path / "t.parquet")
    (tmp_path / "in.sdf").write_bytes(LATIN1)
    option = [] if spec is None else ["--float-format", spec]
    made = molbrook("from-table", table, "--title", "ID", *option)
    merged = molbrook("merge", tmp_path / "t.parquet", "--key", "ID", tmp_path / "in.sdf", "-q", *option)
    assert [b.get(b"X") for b in parse_sdf(io.BytesIO(made.stdout))] == expected
    assert [b.get(b"N") for b in parse_sdf(io.BytesIO(made.stdout))] == [b"3", b"3"]
    assert [b.get(b"X") for b in parse_sdf(io.BytesIO(merged.stdout))] == expected


def test_a_float_format_that_formats_no_float_is_a_usage_error(tmp_path):
    done = molbrook("from-table", tmp_path / "t.csv", "--float-format", ".2d")
    assert done.returncode == 2 and b"--float-format: float_format '.2d' is not a format spec for floats" in done.stderr
