"""The table jobs of compare.py: records into frames and Arrow tables,
Parquet in bounded memory, columns merged back into a file, and tables
written back as SD files (whole blocks, or molblocks, titles and records;
against RDKit's PandasTools.WriteSDF), with the size of the byte-exact
Parquet form."""

from __future__ import annotations

import filecmp
import gzip
import os
from collections import Counter
from pathlib import Path
from typing import Any, Callable

import common
from common import Checksum, into_open_file
from molbrook import merge_records, parse_sdf, read_table, write_sdf, write_table

KEY = "MB_BENCH_KEY"
# Column names that no record of the files has.
MOLBLOCK, TITLE, BLOCK = "MB_BENCH_MOLBLOCK", "MB_BENCH_TITLE", "MB_BENCH_BLOCK"


def frame_checksum(frame: Any) -> Checksum:
    """Rows, non-null cells and their total length, of a pandas frame of str."""
    cells = int(frame.count().sum())
    length = int(sum(frame[column].dropna().map(len).sum() for column in frame.columns))
    return Checksum(len(frame), cells, length)


def arrow_checksum(table: Any) -> Checksum:
    import pyarrow.compute as pc

    cells = sum(len(column) - column.null_count for column in table.columns)
    # Characters, as len() counts the str values of the other readers.
    length = sum(pc.sum(pc.utf8_length(column)).as_py() or 0 for column in table.columns)
    return Checksum(table.num_rows, cells, length)


def frame_from_dicts(path: Path) -> Any:
    import pandas as pd

    return pd.DataFrame([block.to_dict() for block in parse_sdf(str(path))])


def rdkit_frame(path: Path) -> Any:
    from rdkit.Chem import PandasTools

    return PandasTools.LoadSDF(str(path), molColName=None)


def common_names(path: Path, count: int, blocks: int = 5000) -> list[str]:
    names: Counter[str] = Counter()
    for i, block in enumerate(parse_sdf(str(path))):
        names.update(block.names())
        if i == blocks:
            break
    return [name for name, _ in names.most_common(count)]


def keyed_file(lf: Path) -> Path:
    """A copy of the file whose every block carries a unique key record."""
    keyed = lf.with_name(f"{lf.stem}-keyed.sdf")
    if not keyed.exists():
        def blocks():
            for i, block in enumerate(parse_sdf(os.fsencode(lf))):
                block.set_record(KEY.encode(), str(i).encode())
                yield block
        write_sdf(keyed, blocks())
    return keyed


def merge_table(keyed: Path) -> dict[str, list[Any]]:
    count = sum(1 for _ in parse_sdf(os.fsencode(keyed), borrow=True))
    return {KEY: [str(i) for i in range(count)], "SCORE": [i * 0.25 for i in range(count)]}


# Tables to write, read in a job's untimed pass and kept for its runs.
@common.kept_per_job
def block_table(path: Path) -> Any:
    return read_table(os.fsencode(path), block=BLOCK)


@common.kept_per_job
def parts_table(path: Path) -> Any:
    return read_table(os.fsencode(path), molblock=MOLBLOCK, title=TITLE)


@common.kept_per_job
def rdkit_mol_frame(path: Path) -> Any:
    """The parts table as a pandas frame with RDKit molecules in "ROMol"
    instead of molblocks, without the rows RDKit cannot parse (its writer
    needs sanitized molecules)."""
    import pandas as pd
    from rdkit import Chem

    frame = parts_table(path).to_pandas()
    mols = pd.Series([Chem.MolFromMolBlock(block, removeHs=False) for block in frame[MOLBLOCK]], name="ROMol")
    frame = pd.concat([frame.drop(columns=[MOLBLOCK]), mols], axis=1)  # one new column, not a frame per insert
    return frame[frame["ROMol"].notna()]


def rdkit_write(path: Path, out: Path) -> None:
    from rdkit.Chem import PandasTools

    frame = rdkit_mol_frame(path)
    records = [name for name in frame.columns if name not in ("ROMol", TITLE)]
    PandasTools.WriteSDF(frame, str(out), idName=TITLE, properties=records)


def write_blocks(path: Path, out: Path) -> int:
    return into_open_file(out, lambda dest: write_table(block_table(path), dest, block=BLOCK))


def write_parts(path: Path, out: Path) -> int:
    return into_open_file(out, lambda dest: write_table(parts_table(path), dest, molblock=MOLBLOCK, title=TITLE))


def written_checksum(written: int, source: Path, out: Path, exact: bool) -> Checksum:
    if exact and not filecmp.cmp(source, out, shallow=False):
        raise SystemExit(f"write_table(read_table({source.name}, block=...)) did not give the file back")
    return Checksum(written)


def jobs(job: Callable[..., Any], lf: Path, out: Path, with_rdkit: bool) -> list[Any]:
    """The jobs, made with compare.py's Job class."""
    from functools import partial

    remove_out = partial(out.unlink, missing_ok=True)
    keyed = keyed_file(lf)
    table = merge_table(keyed)
    made = [
        job("pandas_dicts", "pandas: DataFrame([b.to_dict() for b in parse_sdf])", "peer", lf,
            partial(frame_from_dicts, lf), lambda: frame_checksum(frame_from_dicts(lf)), agrees_with="to_dict"),
        job("table_arrow", "molbrook: pyarrow.table(read_table(path))", "molbrook", lf,
            lambda: __import__("pyarrow").table(read_table(str(lf))),
            lambda: arrow_checksum(__import__("pyarrow").table(read_table(str(lf)))), agrees_with="to_dict"),
        job("table_pandas", "molbrook: read_table(path).to_pandas()", "molbrook", lf,
            lambda: read_table(str(lf)).to_pandas(), lambda: frame_checksum(read_table(str(lf)).to_pandas()),
            agrees_with="to_dict"),
        job("keyed_round_trip", "molbrook: write_sdf(parse_sdf(...)), keyed file", "molbrook", keyed,
            partial(common.round_trip, keyed, out), setup=remove_out),
        job("merge", "molbrook: merge_records, one column by key", "molbrook", keyed,
            lambda: into_open_file(out, lambda dest: merge_records(str(keyed), table, dest, key=KEY)),
            setup=remove_out),
        job("write_blocks", "molbrook: write_table(t, block=...), t = read_table(block=...)", "molbrook", lf,
            partial(write_blocks, lf, out),
            lambda: written_checksum(write_blocks(lf, out), lf, out, exact=True), setup=remove_out,
            agrees_with="floor"),
        job("write_parts", "molbrook: write_table(t, molblock=, title=), every record column", "molbrook", lf,
            partial(write_parts, lf, out), lambda: written_checksum(write_parts(lf, out), lf, out, exact=False),
            setup=remove_out, agrees_with="floor"),
    ]
    if with_rdkit:
        made.insert(1, job("rdkit_frame", "RDKit: PandasTools.LoadSDF(molColName=None)", "peer", lf,
                           partial(rdkit_frame, lf), agrees_with="to_dict", must_agree=False))
        made.append(job("rdkit_write", "RDKit: PandasTools.WriteSDF of the same columns", "peer", lf,
                        partial(rdkit_write, lf, out), lambda: Checksum(len(rdkit_mol_frame(lf))),
                        setup=remove_out, agrees_with="floor", must_agree=False))
    return made


TARGETS = [
    ("table_arrow", "to_dict", 1.0),
    ("table_arrow", "pandas_dicts", 10),
    ("table_arrow", "rdkit_frame", 50),
    ("table_pandas", "pandas_dicts", 8),
    ("merge", "keyed_round_trip", 0.4),
    ("write_blocks", "round_trip", 0.7),
    ("write_parts", "round_trip", 0.4),
    ("write_parts", "rdkit_write", 30),
]
PARQUET_SIZE_LIMIT = 1.3  # times the size of the file under gzip -6
PARQUET_RSS_LIMIT = 256 * 2**20


def parquet_rss_growth(path: Path) -> int:
    """Peak resident growth while three names of `path` stream to Parquet."""
    names = common_names(path, 3)
    parquet = path.with_suffix(".parquet")
    work = f"""
with scan_table(path, {names!r}) as scan:
    reader = pa.RecordBatchReader.from_stream(scan)
    with pq.ParquetWriter({str(parquet)!r}, reader.schema) as writer:
        for batch in reader:
            writer.write_batch(batch)
"""
    try:
        return common.peak_rss_growth(path, work, prelude="import pyarrow as pa, pyarrow.parquet as pq")
    finally:
        parquet.unlink(missing_ok=True)


def gzip_size(path: Path) -> int:
    """Bytes of the file compressed as gzip -6 compresses it."""
    class Counter:
        size = 0

        def write(self, data: bytes) -> int:
            self.size += len(data)
            return len(data)

    counter = Counter()
    with open(path, "rb") as source, gzip.GzipFile(fileobj=counter, mode="wb", compresslevel=6, mtime=0) as packed:
        while chunk := source.read(1 << 20):
            packed.write(chunk)
    return counter.size


def parquet_size_ratio(path: Path) -> float:
    """The file through read_table(block=..., records typed as read), Parquet
    (zstd) and back through write_table: it must come back byte for byte;
    the Parquet file's size over the file's under gzip -6."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    parquet = path.with_suffix(".parquet")
    back = path.with_suffix(".back.sdf")
    try:
        pq.write_table(pa.table(block_table(path)), parquet, compression="zstd")
        write_table(pq.read_table(parquet), back, block=BLOCK)
        if not filecmp.cmp(path, back, shallow=False):
            raise SystemExit(f"{path.name} through Parquet did not come back byte for byte")
        return parquet.stat().st_size / gzip_size(path)
    finally:
        parquet.unlink(missing_ok=True)
        back.unlink(missing_ok=True)
