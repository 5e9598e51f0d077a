"""The table jobs of compare.py: records into frames and Arrow tables,
Parquet in bounded memory, and columns merged back into a file."""

from __future__ import annotations

import os
from collections import Counter
from pathlib import Path
from typing import Any, Callable

import common
from common import Checksum
from molbrook import merge_records, parse_sdf, read_table, write_sdf

KEY = "MB_BENCH_KEY"


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
            lambda: write_sdf(out, parse_sdf(str(keyed))), setup=remove_out),
        job("merge", "molbrook: merge_records, one column by key", "molbrook", keyed,
            lambda: merge_records(str(keyed), table, out, key=KEY), setup=remove_out),
    ]
    if with_rdkit:
        made.insert(1, job("rdkit_frame", "RDKit: PandasTools.LoadSDF(molColName=None)", "peer", lf,
                           partial(rdkit_frame, lf), agrees_with="to_dict", must_agree=False))
    return made


TARGETS = [
    ("table_arrow", "to_dict", 1.0),
    ("table_arrow", "pandas_dicts", 10),
    ("table_arrow", "rdkit_frame", 50),
    ("table_pandas", "pandas_dicts", 8),
    ("merge", "keyed_round_trip", 0.4),
]
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
