"""SD files as a Spark data source (the `spark` extra: PySpark 4.0 or later).

`register(spark)` (done by importing this module while a session is
active) registers the Python data source `sdf`, read and written by the
executors:

    >>> import molbrook.spark
    >>> molbrook.spark.register(spark)  # doctest: +SKIP
    >>> frame = (spark.read.format("sdf").option("title", "ID").option("types", "MW:float")
    ...          .load("library/*.sdf"))  # doctest: +SKIP
    >>> frame.where("MW > 300").groupBy("ID").count()  # doctest: +SKIP
    >>> (frame.write.format("sdf").mode("overwrite").option("title", "ID")
    ...  .option("compression", "gzip").save("out"))  # doctest: +SKIP

Reading: a path, a glob or a list of them. Each plain file is cut into
partitions of about `blocksize` bytes (default "128MiB"), a BGZF file
into ranges of blocks through its index (kept beside it), another
compressed file is one partition: every block is read once, by molbrook's
table builder, into Arrow batches. The options, strings like every Spark
option: `names` (a comma list of record names; default: the names of the
first `sampleBlocks` blocks of the first file, default 10,000), `types`
(`NAME:int,NAME:float`, as read_table's types), `title`, `molblock` and
`block` (columns of each block's title, molblock and whole text, as
read_table gives them), `blocksize`, `pushdown=false` to leave every
filter to Spark, and `storage.NAME` for fsspec's storage_options of URLs
(s3://, gs://, https://...): `.option("storage.key", KEY)
.option("storage.secret", SECRET)` passes key and secret, a value written
as a JSON object is read as one (`storage.client_kwargs` '{"endpoint_url":
"http://..."}'), true and false are booleans. Spark gives option names in
lower case, as fsspec's settings are spelled. A schema given to the reader (`.schema("ID string, MW
double")`) is used as is: each field is the record of its name (or the
title, molblock or block column the options name), read as a string, an
integer or a floating-point number as its type says. Spark resolves
column names regardless of case by default: records whose names differ
in case only need `spark.sql.caseSensitive=true`.

From Spark 4.1, `register` turns on `spark.sql.python.filterPushdown.enabled`
so that equality, comparisons and IS [NOT] NULL on a column are applied to
each batch before it reaches Spark.

Writing: one SD file per task, through write_table (options `title`,
`molblock`, `block`, `names`, and `compression` none or gzip, which
writes BGZF), staged in the folder and moved into place as part-NNNNN.sdf
when the job commits; an aborted job leaves no part file. Python data
sources take the modes "append" (numbered after the part files there) and
"overwrite" (replacing them) only. A value that would not read back is a
ValueError naming its row (counted in its Spark partition).
"""

from __future__ import annotations

from typing import Any

from molbrook.spark import _options
from molbrook.spark._base import FILTERS, DataSource, require
from molbrook.spark._reader import FilteringSDFReader, SDFReader
from molbrook.spark._writer import SDFWriter

__all__ = ["SDFSource", "register"]

_PUSHDOWN = "spark.sql.python.filterPushdown.enabled"


class SDFSource(DataSource):
    """The `sdf` data source: SD files read and written by Spark's executors.
    Made by `spark.read.format("sdf")` and `df.write.format("sdf")` once
    `register` has registered it: Spark builds it with the options given,
    and makes its readers and writers.

    >>> spark.dataSource.register(SDFSource)  # doctest: +SKIP
    >>> spark.read.format("sdf").option("names", "ID,MW").load("a.sdf").printSchema()  # doctest: +SKIP
    root
     |-- ID: string (nullable = true)
     |-- MW: string (nullable = true)
    """

    @classmethod
    def name(cls) -> str:
        """The format's name: `spark.read.format("sdf")`."""
        return "sdf"

    def schema(self) -> Any:
        """The columns: those of `names` (every name of a sample of the first
        file by default), typed by `types`, with title, molblock and block."""
        _options.check_names(self.options, _options.READ_OPTIONS)
        return _options.schema_of(_options.inferred(self.options))

    def reader(self, schema: Any) -> SDFReader:
        """The reader of `schema`'s columns (filtering pushed filters where
        the installed Spark pushes them).

        Parameters
        ----------
        schema : pyspark.sql.types.StructType
            The columns Spark asks for: those of `schema()` or of the
            schema the user gave, each a record name, title, molblock or
            block.

        Returns
        -------
        SDFReader
            The reader Spark sends to its executors, one partition per
            file or byte range.

        Examples
        --------
        >>> from molbrook.spark import SDFSource
        >>> source = SDFSource({"path": "python/molbrook/data/sample.sdf", "names": "ID,MW"})
        >>> source.schema().simpleString()
        'struct<ID:string,MW:string>'
        >>> len(source.reader(source.schema()).partitions())
        1
        """
        _options.check_names(self.options, _options.READ_OPTIONS)
        columns = _options.from_schema(schema, self.options)
        pushdown = FILTERS is not None and self.options.get("pushdown", "true").lower() != "false"
        return (FilteringSDFReader if pushdown else SDFReader)(schema, columns, self.options)

    def writer(self, schema: Any, overwrite: bool) -> SDFWriter:
        """The writer of part files, committed into place as a whole.

        Parameters
        ----------
        schema : pyspark.sql.types.StructType
            The frame's columns; which of them are written, and how, the
            options say (`names`, `title`, `molblock`, `block`).
        overwrite : bool
            Whether the save mode is "overwrite": the folder's old part
            files are removed at commit; otherwise the new ones are
            numbered after them.

        Returns
        -------
        SDFWriter
            The writer Spark sends to its executors.

        Examples
        --------
        >>> from molbrook.spark import SDFSource
        >>> schema = SDFSource({"path": "python/molbrook/data/sample.sdf", "names": "ID"}).schema()
        >>> type(SDFSource({"path": "parts"}).writer(schema, overwrite=True)).__name__
        'SDFWriter'
        """
        _options.check_names(self.options, _options.WRITE_OPTIONS)
        return SDFWriter(self.options, overwrite)


def register(spark: Any) -> None:
    """Register the `sdf` data source with a SparkSession (and, from Spark
    4.1, turn on filter pushdown for Python data sources).

    Parameters
    ----------
    spark : pyspark.sql.SparkSession
        The session that gets the source; `import molbrook.spark` registers
        it with the active session, when there is one.

    Raises
    ------
    ImportError
        PySpark 4.0 or later is not installed (the `spark` extra).

    Examples
    --------
    >>> from pyspark.sql import SparkSession  # doctest: +SKIP
    >>> spark = SparkSession.builder.getOrCreate()  # doctest: +SKIP
    >>> register(spark)  # doctest: +SKIP
    >>> spark.read.format("sdf").load("file.sdf").count()  # doctest: +SKIP
    """
    require()
    spark.dataSource.register(SDFSource)
    if FILTERS is not None:
        spark.conf.set(_PUSHDOWN, "true")


def _register_active() -> None:
    try:
        from pyspark.sql import SparkSession
    except ImportError:
        return
    active = SparkSession.getActiveSession()
    if active is not None:
        register(active)


_register_active()
