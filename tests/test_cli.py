"""The `molbrook` command, run as users run it, checked against the library's
own results on real files."""

from __future__ import annotations

import bz2
import contextlib
import csv
import gzip
import io
import json
import lzma
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from conftest import CLI_FROM_A_SHELL, CORPUS, UNDER_ASAN, zstd_module
from molbrook import TITLE, SDBlock, SortKey as molbrook_key, merge_records, parse_sdf, read_table, sort_sdf, write_sdf
from molbrook.cli import main

posix_only = pytest.mark.skipif(os.name != "posix", reason="terminals, signals and links as POSIX has them")
SAMPLE = Path(__file__).resolve().parents[1] / "python" / "molbrook" / "data" / "sample.sdf"
IC50 = "GST-TAF1 BD2 HTRF IC50 [mol/l] (mean)"


def corpus(name: str) -> Path:
    return CORPUS / name


# The environment of the command, which may run in another folder.
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(
    os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p))


def molbrook(*args, input: bytes | None = None, **options) -> subprocess.CompletedProcess:
    options.setdefault("env", ENV)
    if input is None:
        options.setdefault("stdin", subprocess.DEVNULL)
    options.setdefault("stdout", subprocess.PIPE)
    return subprocess.run([sys.executable, "-m", "molbrook", *map(str, args)], input=input,
                          stderr=subprocess.PIPE, **options)


def blocks(path: Path) -> list[SDBlock[bytes]]:
    return list(parse_sdf(os.fsencode(path)))


def sdf(blocks: list[SDBlock[bytes]]) -> bytes:
    out = io.BytesIO()
    write_sdf(out, blocks)
    return out.getvalue()


def number(block: SDBlock[bytes], name: str) -> float | None:
    try:
        return float(block.get(name.encode()))
    except (TypeError, ValueError):
        return None


def number_below(name: str, limit: float):
    return lambda block: (value := number(block, name)) is not None and value < limit


# Selecting blocks ------------------------------------------------------------

FILTERS = [
    ("rdkit-src/mols.1000.sdf", ["--where", "PUBCHEM_CACTVS_XLOGP<2"], number_below("PUBCHEM_CACTVS_XLOGP", 2)),
    ("rdkit-src/mols.1000.sdf", ["--where", " PUBCHEM_CACTVS_XLOGP < 2"], number_below("PUBCHEM_CACTVS_XLOGP", 2)),
    ("rdkit-src/mols.1000.sdf", ["--where", "PUBCHEM_CACTVS_XLOGP", "-v"], lambda b: b"PUBCHEM_CACTVS_XLOGP" not in b),
    ("rdkit-src/mols.1000.sdf", ["--where", "PUBCHEM_COMPOUND_CID~^1[0-4]", "--where", "PUBCHEM_CACTVS_XLOGP>=0"],
     lambda b: b.get(b"PUBCHEM_COMPOUND_CID").strip()[:2] in (b"10", b"11", b"12", b"13", b"14")
     and (number(b, "PUBCHEM_CACTVS_XLOGP") or -1) >= 0),
    ("rdkit-src/solubility.train.sdf", ["--where", "SOL_classification = (A) low ", "--title-matches", "ol$"],
     lambda b: b.get(b"SOL_classification").strip() == b"(A) low" and b.title.endswith(b"ol")),
    ("rdkit-src/solubility.train.sdf", ["--where", "NAME~ﾴ"], lambda b: "ﾴ".encode() in b.get(b"NAME")),
    ("rdkit-src/jm7b00306.excerpt.sdf", ["--where", f"{IC50}<1e-5"], number_below(IC50, 1e-5)),
    ("rdkit-src/first_200.python.sdf", ["--where", "!TPSA"], lambda b: False),
    ("r-cran-rcdk/kegg.sdf", ["--where", "cdk:Title!=x"], lambda b: (b.get(b"cdk:Title") or b"").strip() != b"x"),
]


@pytest.mark.parametrize("name, args, keep", FILTERS, ids=[" ".join(f[1]) for f in FILTERS])
def test_filter_keeps_what_a_python_loop_keeps(name, args, keep):
    path = corpus(name)
    kept = [block for block in blocks(path) if keep(block)]
    done = molbrook("filter", path, *args)
    assert (done.returncode, done.stderr) == (0 if kept else 1, b"")
    assert done.stdout == sdf(kept)


def test_head_from_standard_input_to_standard_output_and_a_file(tmp_path):
    path = corpus("rdkit-src/github3553.sdf")  # its last $$$$ has no line ending
    everything = blocks(path)
    assert molbrook("head", "-n", "2", "-", "-o", "-", input=path.read_bytes()).stdout == sdf(everything[:2])
    done = molbrook("head", "-o", tmp_path / "out.sdf", path)  # options before the file
    assert done.returncode == 0 and (tmp_path / "out.sdf").read_bytes() == sdf(everything)
    (tmp_path / "-dash.sdf").write_bytes(path.read_bytes())
    done = molbrook("head", "-n", "1", "--", "-dash.sdf", cwd=tmp_path)
    assert done.returncode == 0 and done.stdout == sdf(everything[:1])


# Editing records -------------------------------------------------------------


def renamed(block: SDBlock[bytes], old: bytes, new: bytes) -> list[tuple[bytes, bytes]]:
    records = block.records()
    if old not in block:
        return records
    return [(new, value) if name == old else (name, value) for name, value in records if name != new]


EDITS = [
    ("set", ["-f", "STATUS=new", "-f", "MW=1"], lambda b: (b.set_record(b"STATUS", b"new", header="copy"),
                                               b.set_record(b"MW", b"1", header="copy"))),
    ("rm", ["-f", "SMILES,PUBCHEM_XLOGP3"], lambda b: (b.remove_record(b"SMILES"), b.remove_record(b"PUBCHEM_XLOGP3"))),
    ("set", ["-f", "cas.rn=±€"], lambda b: b.set_record(b"cas.rn", "±€".encode(), header="copy")),
]
EDITED = ["rdkit-src/first_200.python.sdf", "rdkit-src/github3553.sdf", "openbabel-src/Samples.sdf"]


@pytest.mark.parametrize("name", EDITED)
@pytest.mark.parametrize("command, args, edit", EDITS, ids=[f"{e[0]} {' '.join(e[1])}" for e in EDITS])
def test_edits_equal_the_library_edits(name, command, args, edit):
    path = corpus(name)
    expected = blocks(path)
    refused = []  # blocks without M  END (Samples.sdf has one): refused by both, reported
    for number, block in enumerate(expected, 1):
        try:
            edit(block)
        except ValueError:
            refused.append(number)
    done = molbrook(command, *args, path)
    assert done.stdout == sdf(expected)
    if refused:
        assert done.returncode == 2
        assert done.stderr.decode() == f"molbrook: {path}: block {refused[0]} not edited: no M  END line ends its MDL, " \
                                       "so records there would not read back\n"
    else:
        assert (done.returncode, done.stderr) == (0, b"")


@pytest.mark.parametrize("name, old, new", [
    ("rdkit-src/mols.1000.sdf", "PUBCHEM_CACTVS_COMPLEXITY", "complexity"),
    ("r-cran-rcdk/kegg.sdf", "cdk:Title", "Score"),  # onto a name the blocks have
    ("rdkit-src/first_200.python.sdf", "absent", "x"),
])
def test_rename_in_place_keeps_the_rest(tmp_path, name, old, new):
    path = tmp_path / "in.sdf"
    path.write_bytes(corpus(name).read_bytes())
    before = blocks(path)
    done = molbrook("rename", "-f", f"{old}={new}", path, "-i")
    assert (done.returncode, done.stderr) == (0, b"")
    after = blocks(path)
    assert [b.records() for b in after] == [renamed(b, old.encode(), new.encode()) for b in before]
    assert [b.molblock for b in after] == [b.molblock for b in before]
    if old != "cdk:Title":  # no record of the new name removed: the bytes are the old ones but for the names
        assert path.read_bytes() == corpus(name).read_bytes().replace(f"<{old}>".encode(), f"<{new}>".encode())
    assert os.listdir(tmp_path) == ["in.sdf"]


def test_in_place_failing_part_way_leaves_the_file_as_it_was(tmp_path):
    path = tmp_path / "in.sdf"
    original = SAMPLE.read_bytes() + b"bad\n\n\nM  END\n> no name\n1\n\n$$$$\n"
    path.write_bytes(original)
    done = molbrook("set", "-f", "A=1", path, "--in-place")
    assert done.returncode == 2 and done.stderr.decode().count("\n") == 1
    assert b"block 6" in done.stderr and b"Traceback" not in done.stderr
    assert path.read_bytes() == original and os.listdir(tmp_path) == ["in.sdf"]


@pytest.mark.parametrize("args", [["set", "-f", "A=1"], ["merge", "table.csv", "-k", "@title", "--title", "t"]])
def test_blocks_without_m_end_are_reported_and_the_file_kept(tmp_path, args):
    path = tmp_path / "in.sdf"
    original = b"t1\nP\n\n  1  0\n$$$$\n" + SAMPLE.read_bytes() + b"t7\n$$$$\nt8\nP\n$$$$\n"
    path.write_bytes(original)
    (tmp_path / "table.csv").write_text("t,A\nt1,1\nt7,1\nt8,1\n")
    done = molbrook(*args, path, "-i", cwd=tmp_path)
    assert done.returncode == 2 and path.read_bytes() == original
    assert done.stderr.decode() == f"molbrook: {path}: blocks 1, 8 not edited: no M  END line ends their MDL, " \
                                   "so records there would not read back\n"


def test_sort_names_the_blocks_that_cannot_take_provenance(tmp_path):
    path = tmp_path / "in.sdf"
    path.write_bytes(SAMPLE.read_bytes() + b"t7\nP\n\n  1  0\n$$$$\n")
    done = molbrook("sort", "--provenance", "from", path, "-o", tmp_path / "out.sdf")
    assert done.returncode == 2 and done.stderr.decode() == (
        f"molbrook: {path}: no M  END line ends the MDL of block {path}:5 (ordinals from 0): a provenance record "
        "there would not read back\n")
    assert os.listdir(tmp_path) == ["in.sdf"]


@posix_only
def test_in_place_through_a_link_edits_the_file_it_names(tmp_path):
    (tmp_path / "data").mkdir()
    path = tmp_path / "data" / "in.sdf"
    path.write_bytes(SAMPLE.read_bytes())
    path.chmod(0o640)
    (tmp_path / "link.sdf").symlink_to(path)
    assert main(["rm", "-f", "NOTE", str(tmp_path / "link.sdf"), "-i"]) == 0
    assert (tmp_path / "link.sdf").is_symlink()
    assert [b.names() for b in blocks(path)] == [[n for n in b.names() if n != b"NOTE"] for b in blocks(SAMPLE)]
    assert path.stat().st_mode & 0o777 == 0o640 and os.listdir(tmp_path / "data") == ["in.sdf"]


def test_writing_over_the_input_is_refused(tmp_path):
    path = tmp_path / "in.sdf"
    path.write_bytes(SAMPLE.read_bytes())
    assert molbrook("set", "-f", "A=1", path, "-o", path).returncode == 2
    with open(path, "ab") as out:  # standard output appending to the input
        assert molbrook("rm", "-f", "ID", path, stdout=out).returncode == 2
    assert path.read_bytes() == SAMPLE.read_bytes()


# Tables ----------------------------------------------------------------------


def read_back(path: Path | None, stdout: bytes, fmt: str) -> dict[str, list]:
    """The columns of what cut wrote: cells as text ("" for a missing one)
    from CSV and TSV, as typed from JSON lines and Parquet."""
    if fmt == "parquet":
        import pyarrow.parquet

        return pyarrow.parquet.read_table(path).to_pydict()
    data = path.read_bytes() if path else stdout
    if fmt == "jsonl":
        rows = [json.loads(line) for line in data.decode().splitlines()]
        return {name: [row[name] for row in rows] for name in rows[0]}
    rows = list(csv.reader(io.StringIO(data.decode("utf-8", "surrogateescape"), newline=""),
                           delimiter="\t" if fmt == "tsv" else ","))
    return {name: list(values) for name, *values in zip(*rows)}


def as_written(columns: dict[str, list], fmt: str) -> dict[str, list]:
    def cell(value):
        if isinstance(value, bytes):
            value = value.decode("utf-8", "surrogateescape")
        return ("" if value is None else str(value)) if fmt in ("csv", "tsv") else value
    return {name: [cell(v) for v in values] for name, values in columns.items()}


JM7 = (["-f", f"SMILES 1 Canonical Smiles,{IC50}", "--title", "title"],
       {"names": ["SMILES 1 Canonical Smiles", IC50], "title": "title"})
TYPED = (["--types", "SOL=float,ID=int", "--title", "t"], {"types": {"SOL": float, "ID": int}, "title": "t"})
CUTS = [
    ("rdkit-src/mols.1000.sdf", [], {}, "csv"),
    ("rdkit-src/mols.1000.sdf", [], {}, "parquet"),
    ("rdkit-src/jm7b00306.excerpt.sdf", *JM7, "tsv"),  # multi-line values, names with spaces
    ("rdkit-src/jm7b00306.excerpt.sdf", *JM7, "jsonl"),
    ("rdkit-src/solubility.train.sdf", *TYPED, "parquet"),  # UTF-8 beyond ASCII
    ("rdkit-src/solubility.train.sdf", *TYPED, "csv"),
]


@pytest.mark.parametrize("name, args, options, fmt", CUTS, ids=[f"{c[0]} {c[3]}" for c in CUTS])
def test_cut_equals_read_table(tmp_path, name, args, options, fmt):
    path = corpus(name)
    out = None if fmt == "csv" else tmp_path / f"out.{fmt}"
    done = molbrook("cut", path, *args, *(["-o", out] if out else []))
    assert (done.returncode, done.stderr) == (0, b"")
    expected = as_written(read_table(os.fsencode(path), **options).to_pydict(), fmt)
    assert read_back(out, done.stdout, fmt) == expected


def table_of(path: Path, key: str) -> dict[str, list[str | None]]:
    """Every third block's key, with values to merge, and a key no block has."""
    keys = [block.get(key.encode()).strip().decode() for block in blocks(path)[::3]] + ["no such key"]
    return {key: keys, "assay": [f"{i / 7:.4f}" for i in range(len(keys))],
            "note": [None if i % 2 else f"row {i}" for i in range(len(keys))]}


@pytest.mark.parametrize("fmt", ["csv", "tsv", "parquet"])
def test_merge_equals_merge_records(tmp_path, fmt):
    path = corpus("rdkit-src/mols.1000.sdf")
    key = "PUBCHEM_COMPOUND_CID"
    columns = table_of(path, key)
    table = tmp_path / f"table.{fmt}"
    if fmt == "parquet":
        import pyarrow.parquet

        pyarrow.parquet.write_table(pyarrow.table(columns), table)
    else:
        with open(table, "w", newline="") as f:
            csv.writer(f, delimiter="\t" if fmt == "tsv" else ",").writerows(
                [list(columns), *zip(*([v or "" for v in values] for values in columns.values()))])
    expected = io.BytesIO()
    summary = merge_records(os.fsencode(path), columns, expected, key=key)
    done = molbrook("merge", table, "--key", key, path, "-o", tmp_path / "out.sdf")  # options among the rest
    assert done.returncode == 0 and (tmp_path / "out.sdf").read_bytes() == expected.getvalue()
    assert [int(n.replace(b",", b"")) for n in re.findall(rb"\d[\d,]*", done.stderr)] == [
        summary.blocks, summary.matched, summary.unmatched_rows]


@pytest.mark.parametrize("fmt", ["csv", "tsv", "jsonl", "parquet"])
def test_cut_blocks_and_from_table_give_the_file_back(tmp_path, fmt):
    if fmt == "parquet" and UNDER_ASAN:
        pytest.skip("pyarrow may keep a Parquet buffer read from a pipe alive past exit")
    path = corpus("rdkit-src/jm7b00306.excerpt.sdf")
    table = tmp_path / f"table.{fmt}"
    done = molbrook("cut", "--block", "sdf", "--molblock", "mol", "--title", "t", path, "-o", table)
    assert (done.returncode, done.stderr) == (0, b"")
    back = molbrook("from-table", "--block", "sdf", "-", "--format", fmt, input=table.read_bytes())
    assert (back.returncode, back.stderr, back.stdout) == (0, b"", sdf(blocks(path)))
    rebuilt = molbrook("from-table", table, "--molblock", "mol", "--title", "t", "-f", IC50, "-o", tmp_path / "x.sdf")
    assert rebuilt.returncode == 0
    expected = read_table(os.fsencode(path), [IC50], title="t").to_pydict()
    assert read_table(os.fsencode(tmp_path / "x.sdf"), title="t").to_pydict() == expected


def test_from_table_skips_empty_cells_and_names_the_table_in_errors(tmp_path):
    table = tmp_path / "t.csv"
    table.write_text("ID,A,B\nm1,1,\nm2,,x\n")
    done = molbrook("from-table", table, "--title", "ID")
    assert done.returncode == 0
    assert [b.records() for b in parse_sdf(io.BytesIO(done.stdout))] == [[(b"A", b"1")], [(b"B", b"x")]]
    failed = molbrook("from-table", table, "--molblock", "A")
    assert failed.returncode == 2
    assert failed.stderr.decode() == f"molbrook: {table}: row 0, column 'A' is a molblock without an M  END line\n"


# Compressed files ------------------------------------------------------------


def codec(suffix: str):
    """The module that reads and writes `suffix` files, or a skip."""
    if suffix == ".zst":
        return zstd_module()
    return {".gz": gzip, ".bz2": bz2, ".xz": lzma}[suffix]


def compress(data: bytes, suffix: str) -> bytes:
    return codec(suffix).compress(data)


def decompress(data: bytes, suffix: str) -> bytes:
    module = codec(suffix)
    if module.__name__ == "zstandard":  # its decompress() needs the size in the frame
        return module.ZstdDecompressor().stream_reader(io.BytesIO(data), read_across_frames=True).read()
    return module.decompress(data)


@pytest.mark.parametrize("suffix", [".gz", ".bz2", ".xz", ".zst"])
def test_compressed_in_by_content_and_out_by_name(tmp_path, suffix):
    path = corpus("rdkit-src/first_200.python.sdf")
    source = tmp_path / f"in{suffix}"  # a name that does not say SD: the content does
    source.write_bytes(compress(path.read_bytes(), suffix))
    expected = blocks(path)
    for block in expected:
        block.set_record(b"A", b"1", header="copy")
    done = molbrook("set", "-f", "A=1", source, "-o", tmp_path / f"out.sdf{suffix}")
    assert (done.returncode, done.stderr) == (0, b"")
    assert decompress((tmp_path / f"out.sdf{suffix}").read_bytes(), suffix) == sdf(expected)


def test_compressed_standard_input_redirected_from_a_file(tmp_path):
    path = corpus("rdkit-src/mols.1000.sdf")
    (tmp_path / "in.sdf.gz").write_bytes(gzip.compress(path.read_bytes()))
    with open(tmp_path / "in.sdf.gz", "rb") as redirected:
        done = molbrook("head", "-n", "3", stdin=redirected)
    assert (done.returncode, done.stdout) == (0, sdf(blocks(path)[:3]))


# Splitting -------------------------------------------------------------------


@pytest.mark.parametrize("option, count, shards, suffix", [
    ("--parts", 3, 3, ".sdf"), ("--blocks", 400, 3, ".sdf"), ("--parts", 2000, 1000, ".sdf"),
    ("--parts", 2, 2, ".sdf.gz"),
])
def test_split_shards_concatenate_to_the_input(tmp_path, option, count, shards, suffix):
    path = corpus("rdkit-src/mols.1000.sdf")
    done = molbrook("split", option, count, "--prefix", tmp_path / "part", path, "--suffix", suffix)
    assert (done.returncode, done.stderr) == (0, b"")
    names = sorted(os.listdir(tmp_path))
    assert names == [f"part-{i:05d}{suffix}" for i in range(shards)]
    read = gzip.decompress if suffix.endswith(".gz") else bytes
    assert b"".join(read((tmp_path / name).read_bytes()) for name in names) == path.read_bytes()
    if option == "--parts" and count == 3:
        sizes = [os.path.getsize(tmp_path / name) for name in names]
        assert max(sizes) - min(sizes) < 2 * max(len(bytes(b)) for b in blocks(path))


@posix_only
@pytest.mark.parametrize("source", ["named pipe", "pipe"])
def test_split_parts_refuses_input_it_cannot_read_twice(tmp_path, source):
    # A pipe gave no shards the second time; a named pipe waited for a
    # second writer.
    path = tmp_path / "in.sdf"
    if source == "named pipe":
        os.mkfifo(path)  # nobody writes to it
    done = molbrook("split", "--parts", "2", path if source == "named pipe" else "/dev/stdin", "--prefix",
                    tmp_path / "x", input=SAMPLE.read_bytes(), timeout=60)
    assert done.returncode == 2 and done.stderr.count(b"\n") == 1 and b"must be a regular file" in done.stderr
    assert os.listdir(tmp_path) == (["in.sdf"] if source == "named pipe" else [])


# Conventions -----------------------------------------------------------------


@posix_only
def test_a_closed_pipe_ends_quietly_with_the_shells_status():
    path = corpus("libcdk-java/ringTemplateStructures.sdf")  # 16 MB, far more than a pipe holds
    with subprocess.Popen([sys.executable, "-m", "molbrook", "head", "-n", "100000", path],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE) as process:
        process.stdout.read(100)
        process.stdout.close()
        assert process.wait() == 128 + signal.SIGPIPE  # as if killed by it
        assert process.stderr.read() == b""


@posix_only
def test_ctrl_c_ends_with_130_and_leaves_no_output(tmp_path):
    out = tmp_path / "out.sdf"
    with subprocess.Popen([*CLI_FROM_A_SHELL, "set", "-f", "A=1", "-o", out], stdin=subprocess.PIPE,
                          stderr=subprocess.PIPE) as process:
        process.stdin.write(SAMPLE.read_bytes())
        process.stdin.flush()  # then the input stays open: the command waits for more
        deadline = time.monotonic() + 30
        while not any(name.endswith(".part") for name in os.listdir(tmp_path)) and time.monotonic() < deadline:
            time.sleep(0.02)
        # A signal that arrives just before the interpreter blocks in read()
        # waits for the read to end, which here it never does: pressed again,
        # as a user would, the second interrupts it.
        for _ in range(5):
            process.send_signal(signal.SIGINT)
            with contextlib.suppress(subprocess.TimeoutExpired):
                process.wait(5)
                break
        assert process.wait(30) == 128 + signal.SIGINT
        assert process.stderr.read() == b""
    assert os.listdir(tmp_path) == []


@contextlib.contextmanager
def terminal(columns: int = 80):
    """Both ends of a pseudo-terminal of 24 lines by `columns` columns."""
    import fcntl
    import pty
    import struct
    import termios

    ours, theirs = pty.openpty()
    fcntl.ioctl(theirs, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    try:
        yield ours, theirs
    finally:
        for end in (ours, theirs):
            with contextlib.suppress(OSError):
                os.close(end)


def on_a_terminal(*args, columns: int = 80) -> bytes:
    """What the command writes to standard error when that is a terminal."""
    with terminal(columns) as (ours, other_end), subprocess.Popen([sys.executable, "-m", "molbrook", *map(str, args)], stderr=other_end,
                          stdout=subprocess.DEVNULL, env=ENV):
        os.close(other_end)
        shown = b""
        with contextlib.suppress(OSError):  # EIO once the command has gone
            while chunk := os.read(ours, 4096):
                shown += chunk
    return shown


@posix_only
@pytest.mark.parametrize("quiet", [False, True])
@pytest.mark.parametrize("command", [["set", "-f", "A=1"], ["sort", "-k", "MW:n"], ["uniq", "-k", "@title"]])
def test_a_progress_bar_only_on_a_terminal_and_without_q(tmp_path, quiet, command):
    pytest.importorskip("tqdm")
    shown = on_a_terminal(*command, SAMPLE, "-o", tmp_path / "out.sdf", *["-q"] * quiet)
    assert (b"sample.sdf:" in shown and b"%|" in shown) != quiet and b"Error" not in shown


@posix_only
def test_a_terminal_that_reports_no_width_gets_a_whole_bar(tmp_path):
    pytest.importorskip("tqdm")
    shown = on_a_terminal("set", "-f", "A=1", SAMPLE, "-o", tmp_path / "out.sdf", columns=0)
    assert re.search(rb"sample.sdf: +0%\|\s{10,}\| 0.00/2.20k \[.*\]", shown), shown


BAD = [
    [],
    ["nosuch"],
    ["head", "-n", "x", str(SAMPLE)],
    ["head", "-n", "-1", str(SAMPLE)],
    ["head", str(SAMPLE), "--nope"],
    ["head", "missing.sdf"],
    ["head", str(SAMPLE.parent)],
    ["head", str(SAMPLE), "-o", "/nonexistent/out.sdf"],
    ["filter", str(SAMPLE)],
    ["filter", "--where", "MW<heavy", str(SAMPLE)],
    ["filter", "--where", "=x", str(SAMPLE)],
    ["filter", "--where", "!", str(SAMPLE)],
    ["filter", "--where", "ID~(", str(SAMPLE)],
    ["set", str(SAMPLE)],
    ["set", "-f", "A=two\n\nlines", str(SAMPLE)],
    ["set", "-f", "A\nB=1", str(SAMPLE)],
    ["set", "-f", "A=1", "-", "-i"],
    ["set", "-f", "A=1", str(SAMPLE), "-i", "-o", "x.sdf"],
    ["rename", "-f", "A", str(SAMPLE)],
    ["rename", "-f", "A=B<", str(SAMPLE)],
    ["set", "-f", "A=x\ry", str(SAMPLE)],
    ["set", "A=1", str(SAMPLE)],  # the positional form of earlier releases
    ["rename", "-f", "A=B", "A=B", str(SAMPLE)],
    ["sort", "-k", "ID:x", str(SAMPLE)],
    ["sort", "-S", "lots", str(SAMPLE)],
    ["sort", "--per-group", "2", str(SAMPLE)],
    ["top", "-n", "0", "-k", "ID", str(SAMPLE)],
    ["uniq", str(SAMPLE)],
    ["split", "--parts", "2", "-", "--prefix", "x"],
    ["split", "--blocks", "0", str(SAMPLE), "x"],
    ["split", str(SAMPLE), "--prefix", "x"],
    ["split", "--blocks", "1"],
    ["cut", str(SAMPLE), "-o", "out.xlsx"],
    ["cut", "--types", "MW=decimal", str(SAMPLE)],
    ["merge", "table.txt", "--key", "ID", str(SAMPLE)],
    ["merge", "missing.csv", "--key", "ID", str(SAMPLE)],
]


@pytest.mark.parametrize("argv", BAD, ids=[" ".join(a) for a in BAD])
def test_bad_arguments_give_one_line_and_status_2(argv, capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(b"")))
    assert main(argv) == 2
    captured = capsys.readouterr()
    assert captured.out == "" and captured.err.startswith("molbrook") and captured.err.count("\n") == 1
    assert "Error" not in captured.err  # foreseen, so said in words
    assert os.listdir(tmp_path) == []


def test_no_input_from_a_terminal_is_an_error(capsys, monkeypatch):
    monkeypatch.setattr(sys, "stdin", type("Terminal", (io.StringIO,), {"isatty": lambda self: True})())
    assert main(["head"]) == 2
    assert capsys.readouterr().err.count("\n") == 1


# stats -----------------------------------------------------------------------


@posix_only
def test_stats_of_the_bundled_sample_from_a_terminal():
    with terminal() as (_, other_end):
        done = molbrook("stats", stdin=other_end)
    assert done.stdout.decode().splitlines() == [
        "bundled sample.sdf: 5 blocks (V2000 3, V3000 2)",
        "record      blocks",
        "ID               5",
        "SMILES           5",
        "MW               5",
        "SOLUBILITY       2",
        "NOTE             1",
    ]


def test_stats_counts_blocks_not_records_and_totals_files(tmp_path, capsys, monkeypatch):
    path = tmp_path / "latin1.sdf"
    path.write_bytes(b"a\nM  END\n> <caf\xe9>\n1\n\n> <caf\xe9>\n2\n\n$$$$\nb\n$$$$\n")
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(SAMPLE.read_bytes())))
    assert main(["stats", str(path), "-"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[:3] == [f"{path}: 2 blocks (other 2)", "record   blocks", "caf\\xe9       1"]
    assert lines[3] == "standard input: 5 blocks (V2000 3, V3000 2)"
    total = lines.index("total of 2 files: 7 blocks (V2000 3, V3000 2, other 2)")
    carriers = dict(line.split() for line in lines[total + 2:])
    assert carriers == {"ID": "5", "SMILES": "5", "MW": "5", "SOLUBILITY": "2", "NOTE": "1", "caf\\xe9": "1"}


@pytest.mark.parametrize("args, picked, status", [
    (["get", "--key", "ID", "{}", "MB-0003", "MB-0001"], [2, 0], 0),
    (["get", "-k", "@title", "--all", "{}", "ethanol", "none"], [0], 1),
    (["take", "{}", "0", "-1", "1:4:2"], [0, 4, 1, 3], 0),
    (["take", "{}", "-2:", "-5:-4"], [3, 4, 0], 0),  # slices from the end, not options
    (["sample", "-n", "3", "--seed", "5", "{}"], None, 0),
])
def test_index_commands(tmp_path, args, picked, status):
    path = tmp_path / "sample.sdf"
    path.write_bytes(SAMPLE.read_bytes())
    whole = blocks(path)
    result = molbrook(*[arg.format(path) for arg in args], "-o", tmp_path / "out.sdf.gz")
    assert result.returncode == status, result.stderr
    written = gzip.decompress((tmp_path / "out.sdf.gz").read_bytes())
    if picked is None:  # three distinct blocks in file order, the same for the same seed
        again = molbrook(*[arg.format(path) for arg in args]).stdout
        assert written == again and written == sdf([b for b in whole if bytes(b) in written])
        assert len(blocks(tmp_path / "out.sdf.gz")) == 3
    else:
        assert written == sdf([whole[i] for i in picked])
    assert b"none" in result.stderr if status else not result.stderr
    assert molbrook("index", "--key", "ID", path).stdout == f"{path}: 5 blocks, 5 keys\n".encode()


# Messages --------------------------------------------------------------------

SEEN = "names seen: ID, SMILES, MW, SOLUBILITY, NOTE"
SAID = [
    (["filter", "--where", "mw<50", "s.sdf"], 2,
     f"molbrook filter: no block has a record named 'mw' ({SEEN}; did you mean 'MW'?)"),
    (["filter", "--where", "!MWW", "s.sdf", "-o", "out.sdf"], 2,
     f"molbrook filter: no block has a record named 'MWW' ({SEEN}; did you mean 'MW'?)"),
    (["get", "--key", "IDD", "s.sdf", "MB-0001", "-o", "out.sdf"], 2,
     f"molbrook get: no block has a record named 'IDD' ({SEEN}; did you mean 'ID'?)"),
    (["index", "--key", "IDD", "s.sdf"], 0,
     f"molbrook index: no block has a record named 'IDD' ({SEEN}; did you mean 'ID'?)"),
    (["cut", "-f", "ID,MWW", "s.sdf", "-o", "t.csv"], 0,
     f"molbrook cut: no block has a record named 'MWW' ({SEEN}; did you mean 'MW'?)"),
    (["filtr", "s.sdf"], 2, "molbrook: no command 'filtr' (did you mean 'filter'?): see molbrook --help"),
    (["filter", "--whre", "ID", "s.sdf"], 2, "molbrook filter: no option --whre (did you mean --where?)"),
    (["head", "-N", "2", "s.sdf"], 2, "molbrook head: no option -N (did you mean -n?)"),
    (["from-table", "missing.parquet"], 2, "molbrook: missing.parquet: No such file or directory"),
]


@pytest.mark.parametrize("argv, status, said", SAID, ids=[" ".join(s[0]) for s in SAID])
def test_what_a_person_is_told(tmp_path, monkeypatch, capsys, argv, status, said):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "s.sdf").write_bytes(SAMPLE.read_bytes())
    assert main(argv) == status
    assert capsys.readouterr().err == said + "\n"
    assert "out.sdf" not in os.listdir(tmp_path)


def test_counts_take_their_plural(tmp_path, capsys):
    one = tmp_path / "one.sdf"
    one.write_bytes(sdf(blocks(SAMPLE)[:1]))
    assert main(["index", "-k", "@title", str(one)]) == 0 and main(["stats", str(one)]) == 0
    assert capsys.readouterr().out.splitlines()[:2] == [f"{one}: 1 block, 1 key", f"{one}: 1 block (V2000 1)"]


def test_a_warning_shows_paths_as_text(tmp_path):
    path = tmp_path / "s.sdf"
    path.write_bytes(SAMPLE.read_bytes())
    (tmp_path / "s.sdf.mbi").mkdir()  # where the index cannot be kept
    done = molbrook("index", path)
    assert done.returncode == 0 and f"'{path}'".encode() in done.stderr and b"b'" not in done.stderr


@pytest.mark.parametrize("args, name", [(["--parts", "2"], "lib.sdf"), (["--blocks", "2"], "lib.sdf.gz")])
def test_split_of_a_lone_file_names_the_shards_after_it(tmp_path, args, name):
    (tmp_path / name).write_bytes(compress(SAMPLE.read_bytes(), ".gz") if name.endswith(".gz") else SAMPLE.read_bytes())
    done = molbrook("split", *args, tmp_path / name)
    assert (done.returncode, done.stderr) == (0, b"")
    shards = sorted(p for p in os.listdir(tmp_path) if p != name)
    assert shards[0] == "lib-00000.sdf" and b"".join((tmp_path / p).read_bytes() for p in shards) == SAMPLE.read_bytes()


# Many files ------------------------------------------------------------------

MANY = ["rdkit-src/first_200.python.sdf", "rdkit-src/mols.1000.sdf", "r-cran-rcdk/kegg.sdf"]


def many_files(tmp_path) -> list[Path]:
    """Three corpus files, the second gzip- and the third bz2-compressed."""
    paths = []
    for name, suffix in zip(MANY, ["", ".gz", ".bz2"]):
        path = tmp_path / f"{Path(name).stem}.sdf{suffix}"
        path.write_bytes(compress(corpus(name).read_bytes(), suffix) if suffix else corpus(name).read_bytes())
        paths.append(path)
    return paths


def all_blocks(tmp_path) -> list[SDBlock[bytes]]:
    return [b for name in MANY for b in blocks(corpus(name))]


@pytest.mark.parametrize("args, library", [
    (["cat"], {}),
    (["sort", "-k", "PUBCHEM_CACTVS_XLOGP:nr", "-k", "@title:V"], {"by": [
        molbrook_key("PUBCHEM_CACTVS_XLOGP", kind="number", descending=True), molbrook_key(TITLE, kind="natural")]}),
    (["sort", "--group", "@title", "--per-group", "2", "--provenance", "from", "-S", "64K"],
     {"group": TITLE, "per_group": 2, "provenance": "from", "memory": 65536}),
    (["top", "-n", "7", "-k", "@title:r", "--missing", "drop"],
     {"top": 7, "by": [molbrook_key(TITLE, descending=True, missing="drop")]}),
    (["uniq", "-k", "@title"], {"group": TITLE}),
])
def test_commands_over_mixed_compressed_files_equal_the_library(tmp_path, args, library):
    paths = many_files(tmp_path)
    done = molbrook(*args, *paths, "-q")
    assert (done.returncode, done.stderr) == (0, b"")
    expected = io.BytesIO()
    sort_sdf([os.fsencode(p) for p in paths], expected, **library)
    assert done.stdout == (expected.getvalue() if args[0] != "cat" else sdf(all_blocks(tmp_path)))


def test_uniq_sets_duplicates_aside_and_says_so(tmp_path):
    path = corpus(MANY[0])
    done = molbrook("uniq", "-k", "@title", "--dups", tmp_path / "dups.sdf.gz", path, path, "-o", tmp_path / "out.sdf")
    n = len(blocks(path))
    assert done.returncode == 0 and done.stderr.decode().startswith(f"molbrook uniq: {2 * n:,} blocks in")
    assert len(blocks(tmp_path / "out.sdf")) + len(blocks(tmp_path / "dups.sdf.gz")) == 2 * n


def test_edits_of_several_files_as_one_stream_or_each_in_place(tmp_path):
    names = [tmp_path / "a.sdf", tmp_path / "b.sdf"]
    for path in names:
        path.write_bytes(SAMPLE.read_bytes())
    edit = ["set", "-f", "A=1,2=3", "-f", "B="]
    done = molbrook(*edit, *names)
    expected = blocks(SAMPLE) + blocks(SAMPLE)
    for b in expected:
        b.set_record(b"A", b"1,2=3", header="copy")
        b.set_record(b"B", b"", header="copy")
    assert (done.returncode, done.stdout) == (0, sdf(expected))
    assert molbrook(*edit, *names, "-i").returncode == 0
    assert [p.read_bytes() for p in names] == [sdf(expected[:len(expected) // 2])] * 2
    refused = molbrook("set", "-f", "C=1", "C=2", *names)
    assert refused.returncode == 2 and b"-f C=2" in refused.stderr


def test_cut_source_names_the_file_of_each_row(tmp_path):
    paths = many_files(tmp_path)[:2]
    done = molbrook("cut", "--source", "file", "--title", "name", *paths)
    rows = list(csv.DictReader(io.StringIO(done.stdout.decode())))
    counts = [len(blocks(p)) for p in paths]
    assert [row["file"] for row in rows] == [str(p) for p, n in zip(paths, counts) for _ in range(n)]
    assert [row["name"] for row in rows] == [b.title.decode() for p in paths for b in blocks(p)]


def test_split_prefix_positional_over_several_files(tmp_path):
    paths = many_files(tmp_path)
    done = molbrook("split", "--blocks", "500", *paths, tmp_path / "shard")
    assert done.returncode == 0
    shards = sorted(p for p in os.listdir(tmp_path) if p.startswith("shard-"))
    assert b"".join((tmp_path / s).read_bytes() for s in shards) == sdf(all_blocks(tmp_path))
