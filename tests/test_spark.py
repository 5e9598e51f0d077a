"""molbrook.spark: the `sdf` data source in a local Spark session gives
the tables read_table gives, for every corpus file, plain, gzip and BGZF,
cut into several partitions; writes what it reads; leaves nothing of an
aborted write; applies pushed filters as Spark would."""

import gzip
import os
import shutil
import subprocess
import sys
from contextlib import nullcontext

import pytest

from conftest import CORPUS, CORPUS_FILES, REPOSITORY, UNDER_ASAN
from molbrook import _bgzf, parse_sdf, read_table

sys.path.insert(0, str(REPOSITORY / "bench"))
import spark_jobs  # noqa: E402  (the UDF route's rules, checked below)

TITLE = "_title"  # a column name no corpus record has
SAMPLES = [CORPUS / "rdkit-src" / "mols.1000.sdf", CORPUS / "rdkit-data" / "cdk2.sdf",
           CORPUS / "rdkit-src" / "solubility.test.sdf"]  # many records; molblocks only; CRLF


def java_reason():
    """Why no Java runtime can run Spark here, or None."""
    java = shutil.which("java", path=os.path.join(os.environ.get("JAVA_HOME", ""), "bin") + os.pathsep
                        + os.environ.get("PATH", ""))
    if java is None:
        return "no Java runtime (Spark needs Java 17 or 21: .ci/spark-deps installs one)"
    return None


# A Spark session takes most of a minute to start on two cores: the tests
# that need one are in the slow tier, which CI runs.
@pytest.fixture(scope="module")
def spark():
    # The JVM hangs with the sanitizer runtime preloaded into it.
    reason = "Spark's JVM under a preloaded AddressSanitizer" if UNDER_ASAN else java_reason()
    if reason:
        pytest.skip(reason)
    pytest.importorskip("pyspark")  # which has no build for some interpreters
    session = spark_jobs.session(2)
    session.conf.set("spark.sql.execution.arrow.pyspark.enabled", "true")
    yield session
    session.stop()


def packed(path, tmp_path, kind):
    """The file as it is, gzip-compressed or BGZF-compressed into tmp_path."""
    if kind == "plain":
        return path
    copy = tmp_path / kind / (str(path.relative_to(CORPUS)).replace(os.sep, "-") + ".gz")
    copy.parent.mkdir(exist_ok=True)
    with open(copy, "wb") as raw, _bgzf.BgzfWriter(raw) if kind == "bgzf" else nullcontext(raw) as out:
        out.write(gzip.compress(path.read_bytes()) if kind == "gzip" else path.read_bytes())
    return copy


def user_schema(names, typed):
    """The columns in reverse order as a Spark schema, `typed` as double."""
    from pyspark.sql import types as T

    return T.StructType([T.StructField(name, T.DoubleType() if name == typed else T.StringType())
                         for name in reversed(names)])


def read_files(spark, paths, tmp_path, kind, given, blocksize="64KiB"):
    """The frame of the files packed as `kind`, cut into partitions of
    `blocksize`, in one Spark job, with every record name listed or `given`
    as the schema, against read_table of each file, in order."""
    import pyarrow as pa

    names = list(dict.fromkeys(name for path in paths for name in read_table(str(path)).to_arrow().column_names))
    typed = {names[0]: float} if given and names else None
    expected = pa.concat_tables(read_table(str(path), names, title=TITLE, types=typed).to_arrow() for path in paths)
    reader = spark.read.format("sdf").option("title", TITLE).option("blocksize", blocksize)
    if given:
        reader = reader.schema(user_schema([TITLE, *names], names[0] if names else None))
        expected = expected.select(list(reversed(expected.column_names)))
    else:
        reader = reader.option("names", ",".join(names))
    got = reader.load([str(packed(path, tmp_path, kind)) for path in paths]).toArrow()
    assert got.equals(expected.cast(got.schema))


@pytest.mark.slow
@pytest.mark.parametrize("given", [False, True], ids=["inferred", "given"])
@pytest.mark.parametrize("kind", ["plain", "gzip", "bgzf"])
def test_sample_files(spark, tmp_path, kind, given):
    read_files(spark, SAMPLES, tmp_path, kind, given)


@pytest.mark.slow
@pytest.mark.parametrize("given", [False, True], ids=["inferred", "given"])
@pytest.mark.parametrize("kind", ["plain", "gzip", "bgzf"])
def test_every_corpus_file(spark, tmp_path, kind, given):
    read_files(spark, CORPUS_FILES, tmp_path, kind, given, "256KiB")


@pytest.mark.slow
def test_schema_from_a_sample(spark, tmp_path):
    """Without names, the record names of the first sampleBlocks blocks
    of the first file; several partitions of one file."""
    path = str(SAMPLES[0])
    frame = spark.read.format("sdf").option("sampleBlocks", "10").option("blocksize", "1MiB").load(path)
    assert frame.rdd.getNumPartitions() == 7
    first_ten = read_table(list(parse_sdf(path))[:10]).to_arrow().column_names
    got = frame.toArrow()
    assert got.equals(read_table(path, first_ten).to_arrow().cast(got.schema))


def test_udf_route_parses_as_molbrook_does():
    """The bench's UDF rules give each corpus block's records as to_dict."""
    for path in CORPUS_FILES:
        for block in parse_sdf(str(path)):
            text = str(block)
            assert spark_jobs.block_records(text[:text.rindex("$$$$")]) == block.to_dict(), (path, block.title)


@pytest.mark.slow
@pytest.mark.parametrize("compression, suffix", [("none", ".sdf"), ("gzip", ".sdf.gz")])
def test_round_trip(spark, tmp_path, compression, suffix):
    """Written a file per task and read back, the blocks are the originals, in order."""
    sources = [str(path) for path in SAMPLES[:2]]
    frame = (spark.read.format("sdf").option("block", "block").option("names", "").option("blocksize", "500000")
             .load(sources))
    assert frame.rdd.getNumPartitions() > 2
    out = tmp_path / "out"
    frame.write.format("sdf").mode("overwrite").option("block", "block").option("compression", compression).save(
        str(out))
    parts = sorted(os.listdir(out))
    assert parts == [f"part-{n:05d}{suffix}" for n in range(len(parts))] and len(parts) > 2
    if compression == "gzip":
        assert all(_bgzf.is_bgzf_file(str(out / part)) for part in parts)
    back = spark.read.format("sdf").option("block", "block").option("names", "").load(str(out / "part-*"))
    original = [str(block) for path in sources for block in parse_sdf(path)]
    assert [row.block for row in back.collect()] == original


@pytest.mark.slow
def test_aborted_write_leaves_no_part_file(spark, tmp_path):
    """A task refused by write_table fails the job: no part file, no
    staging folder, the files there before kept; the error names the row."""
    out = tmp_path / "out"
    out.mkdir()
    (out / "part-00000.sdf").write_text("kept\n\n\nM  END\n$$$$\n")
    rows = [(f"m{i}", "1\n\n$$$$" if i == 5 else str(i)) for i in range(8)]
    frame = spark.createDataFrame(rows, "ID string, V string").repartition(2)
    with pytest.raises(Exception, match=r"row \d+.*V|V.*row \d+") as raised:
        frame.write.format("sdf").mode("append").option("title", "ID").save(str(out))
    assert "Spark partition" in str(raised.value)
    assert os.listdir(out) == ["part-00000.sdf"]


@pytest.mark.slow
def test_pushed_filters_keep_what_spark_keeps(spark, tmp_path):
    """Equality, comparisons and null tests, NaN included, applied before
    Spark sees the rows: the rows Spark itself keeps with pushdown off."""
    values = ["nan", "1.5", None, "3", "-2", "x"]
    text = "".join(f"m{i}\n\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n"
                   + ("" if v is None else f"> <F>\n{v}\n\n") + f"> <S>\ns{i % 3}\n\n$$$$\n"
                   for i, v in enumerate(values))
    path = tmp_path / "f.sdf"
    path.write_text(text)
    queries = ["F > 1", "F >= 1.5", "F < 0", "F <= 3", "F = 1.5", "F IS NULL", "F IS NOT NULL",
               "S = 's1' AND F > -5", "S > 's0'", "S < 's2' AND F IS NOT NULL", "F != 3"]
    for query in queries:
        results = {}
        for pushdown in ("true", "false"):
            frame = (spark.read.format("sdf").option("title", "ID").option("types", "F:float")
                     .option("pushdown", pushdown).load(str(path)).where(query))
            plan = frame._jdf.queryExecution().executedPlan().toString()
            results[pushdown] = (sorted(row.ID for row in frame.collect()), "Filter" in plan)
        assert results["true"][0] == results["false"][0], query
        assert results["false"][1]
    assert not results["true"][1] or "!=" in query


@pytest.mark.parametrize("options, message", [
    ({"blocksizes": "1MiB"}, "no option 'blocksizes'"),
    ({"types": "NOPE:int", "names": "A"}, "types names 'NOPE'"),
    ({"types": "A:double", "names": "A"}, "KIND one of int, float, str"),
])
@pytest.mark.slow
def test_option_errors_are_said(spark, options, message):
    reader = spark.read.format("sdf")
    for name, value in options.items():
        reader = reader.option(name, value)
    with pytest.raises(Exception, match=message):
        reader.load(str(SAMPLES[0])).schema


def test_imports_without_pyspark():
    code = ("import sys; sys.modules['pyspark'] = None\nimport molbrook.spark\n"
            "try:\n    molbrook.spark.register(None)\nexcept ImportError as e:\n    print(e)")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert "pip install 'molbrook[spark]'" in done.stdout


@pytest.mark.slow
def test_reads_an_s3_object_with_credentials_given_as_options(spark):
    """storage.* options reach fsspec on the driver and the executors:
    several partitions of an object on moto's S3 give the local file's rows."""
    pytest.importorskip("s3fs")
    pytest.importorskip("moto")
    import json

    import fsspec
    from servers import S3Server

    server = S3Server()
    try:
        server.make_bucket("spark")
        options = server.options()
        fsspec.filesystem("s3", **options).pipe("spark/mols.sdf", SAMPLES[0].read_bytes())
        reader = (spark.read.format("sdf").option("title", TITLE).option("blocksize", "256KiB")
                  .option("storage.key", options["key"]).option("storage.secret", options["secret"])
                  .option("storage.client_kwargs", json.dumps(options["client_kwargs"])))
        frame = reader.load("s3://spark/mols.sdf")
        assert frame.rdd.getNumPartitions() > 1
        got = frame.toArrow()
        assert got.equals(read_table(str(SAMPLES[0]), title=TITLE).to_arrow().cast(got.schema))
    finally:
        server.stop()
