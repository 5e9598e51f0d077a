#!/usr/bin/env python3
"""The Spark jobs of compare.py: the `sdf` data source against the route a
user writes today, spark.read.text(p, lineSep="$$$$\\n") and a Python UDF
parsing each block's records by the same rules (common.plain_records);
each counting the rows and grouping by one typed column, in local[2]
started beforehand; and the data source's count with 1 core against 2,
each in a process of its own (a process holds one Spark context).

Run alone, `python bench/spark_jobs.py --cores N PATH` prints the best
seconds of three counts of PATH in local[N], after a first untimed one.
"""

from __future__ import annotations

import argparse
import contextlib
import functools
import itertools
import importlib.util
import os
import subprocess
import sys
import time
from collections import Counter
from functools import partial
from pathlib import Path
from typing import Any, Callable

import common
from common import Checksum

SEPARATOR = "$$$$\n"


def block_records(text: str) -> dict[str, str]:
    """The records of one block's text as spark.read.text(lineSep="$$$$\\n")
    gives it (the block without its $$$$ line), by molbrook's rules."""
    text = text.replace("\r\n", "\n").replace("\r", "\n")
    return common.plain_to_dict([line + "\n" for line in text.split("\n")])


def session(cores: int) -> Any:
    """A local Spark session with the `sdf` source, its workers running
    this interpreter."""
    os.environ["PYSPARK_PYTHON"] = sys.executable
    # The workers unpickle the UDF by its module, this one.
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [str(common.HERE), os.environ.get("PYTHONPATH")]))
    from pyspark.sql import SparkSession

    spark = (SparkSession.builder.master(f"local[{cores}]").config("spark.ui.enabled", "false")
             .config("spark.sql.shuffle.partitions", str(cores))
             # The benchmark file has record names that differ in case only.
             .config("spark.sql.caseSensitive", "true").getOrCreate())
    spark.sparkContext.setLogLevel("ERROR")
    import molbrook.spark

    molbrook.spark.register(spark)
    return spark


def sdf_frame(spark: Any, path: Path, name: str | None = None) -> Any:
    reader = spark.read.format("sdf")
    if name is not None:
        reader = reader.option("types", f"{name}:float")
    return reader.load(str(path))


def udf_frame(spark: Any, path: Path) -> Any:
    """A column `records` of a map per block, as a UDF user parses them."""
    from pyspark.sql import functions as F, types as T

    parse = F.udf(block_records, T.MapType(T.StringType(), T.StringType()))
    text = spark.read.text(str(path), lineSep=SEPARATOR)
    return text.select(parse("value").alias("records")).where(F.col("records").isNotNull())


def grouped(frame: Any, column: Any) -> Checksum:
    rows = frame.groupBy(column).count().collect()
    return Checksum(sum(row["count"] for row in rows), len(rows))


def count_seconds(path: Path, cores: int) -> float:
    """The best of three counts by the `sdf` source in local[cores], in a
    fresh process, its session started (and the file read once) untimed."""
    here = Path(__file__).resolve()
    done = subprocess.run([sys.executable, str(here), "--cores", str(cores), str(path)], check=True,
                          capture_output=True, text=True)
    return float(done.stdout.split()[-1])


def numeric_name(path: Path, blocks: int = 5000) -> str:
    """The record name most often holding a number in the first blocks."""
    from molbrook import parse_sdf

    counts: Counter[str] = Counter()
    for block in itertools.islice(parse_sdf(str(path)), blocks):
        for name, value in block.to_dict().items():
            with contextlib.suppress(ValueError):
                float(value)
                counts[name] += 1
    return counts.most_common(1)[0][0]


def jobs(job: Callable[..., Any], lf: Path) -> list[Any]:
    """The jobs, made with compare.py's Job class; none without PySpark."""
    if importlib.util.find_spec("pyspark") is None:
        print("  (pyspark not installed: no Spark jobs)", file=sys.stderr)
        return []
    name = numeric_name(lf)
    from pyspark.sql import functions as F

    spark = functools.cache(partial(session, 2))  # started by the first job's untimed pass
    sdf = lambda: sdf_frame(spark(), lf)  # noqa: E731
    typed = lambda: sdf_frame(spark(), lf, name)  # noqa: E731
    udf = lambda: udf_frame(spark(), lf)  # noqa: E731
    udf_group = lambda: grouped(udf(), F.col("records").getItem(name).try_cast("double"))  # noqa: E731
    return [
        job("spark_sdf_count", "Spark: sdf source, count()", "molbrook", lf, lambda: sdf().count(),
            lambda: Checksum(sdf().count())),
        job("spark_udf_count", "Spark: read.text + Python UDF, count()", "peer", lf, lambda: udf().count(),
            lambda: Checksum(udf().count()), agrees_with="spark_sdf_count"),
        job("spark_sdf_group", f"Spark: sdf source, groupBy({name}:float)", "molbrook", lf,
            lambda: grouped(typed(), name), lambda: grouped(typed(), name)),
        job("spark_udf_group", f"Spark: read.text + Python UDF, groupBy({name} as double)", "peer", lf,
            udf_group, udf_group, agrees_with="spark_sdf_group"),
        job("spark_sdf_1core", "Spark: sdf source, count(), local[1]", "molbrook", lf, lambda: None,
            self_timed=partial(count_seconds, lf, 1)),
        job("spark_sdf_2cores", "Spark: sdf source, count(), local[2]", "molbrook", lf, lambda: None,
            self_timed=partial(count_seconds, lf, 2)),
    ]


# (job, reference, minimum ratio of their throughputs on the same file)
TARGETS = [
    ("spark_sdf_count", "spark_udf_count", 5),
    ("spark_sdf_group", "spark_udf_group", 5),
    ("spark_sdf_2cores", "spark_sdf_1core", 1.5),
]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cores", type=int, required=True)
    parser.add_argument("path", type=Path)
    args = parser.parse_args()
    frame = sdf_frame(session(args.cores), args.path)
    frame.count()
    times = []
    for _ in range(3):
        start = time.perf_counter()
        frame.count()
        times.append(time.perf_counter() - start)
    print(min(times))


if __name__ == "__main__":
    main()
