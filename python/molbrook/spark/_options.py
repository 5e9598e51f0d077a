"""The options of the `sdf` data source, as strings like every Spark
option: the files read, the schema (given, or from the options and a
sample of the first file) and the columns a schema asks of the table builder."""

from __future__ import annotations

import itertools
import json
from collections.abc import Mapping
from typing import Any, NamedTuple

from molbrook import _parallel, _partitions, _remote, _table
from molbrook._types import byte_size

READ_OPTIONS = (
    "path",
    "paths",
    "names",
    "types",
    "title",
    "molblock",
    "block",
    "sampleBlocks",
    "blocksize",
    "pushdown",
)
WRITE_OPTIONS = ("path", "title", "molblock", "block", "names", "compression")
PARTS = ("title", "molblock", "block")
KINDS = {"int": int, "float": float, "str": str}
SAMPLE_BLOCKS = 10_000
# Options named storage.NAME are fsspec's storage_options for URLs.
STORAGE = "storage."


def check_names(options: Mapping[str, str], known: tuple[str, ...]) -> None:
    """ValueError for an option the source does not know (Spark's option
    names are case-insensitive, and so is this check)."""
    lowered = {name.lower() for name in known}
    for name in options:
        if name.lower() not in lowered and not name.lower().startswith(STORAGE):
            raise ValueError(f"the sdf source has no option {name!r} (options: {', '.join(known)})")


def resolve(options: Mapping[str, str]) -> list[str]:
    """The files of `load(path)` or `load([paths])`, each path or glob in
    order; the one place a path becomes a file that can be read."""
    if "paths" in options:
        given = json.loads(options["paths"])
    elif "path" in options:
        given = [options["path"]]
    else:
        raise ValueError("spark.read.format('sdf') needs a path: .load(path), .load([paths]) or a glob")
    return [str(path) for path in _partitions.expand(given, storage_options(options))]


def storage_options(options: Mapping[str, str]) -> dict[str, Any] | None:
    """The options named storage.NAME as fsspec's storage_options {NAME:
    value}, None when there are none: a value written as a JSON object (such
    as client_kwargs) is read as one, true and false are booleans, any other
    value is the string given.

    >>> storage_options({"storage.anon": "true", "storage.client_kwargs": '{"region_name": "eu"}'})
    {'anon': True, 'client_kwargs': {'region_name': 'eu'}}
    """
    found: dict[str, Any] = {}
    for name, value in options.items():
        if name.lower().startswith(STORAGE):
            found[name[len(STORAGE) :]] = _setting(value)
    return found or None


def _setting(value: str) -> Any:
    if value.lstrip().startswith("{"):
        try:
            return json.loads(value)
        except ValueError:
            raise ValueError(f"a storage option that starts with {{ is a JSON object, not {value!r}") from None
    return {"true": True, "false": False}.get(value.lower(), value)


def blocksize(options: Mapping[str, str]) -> int:
    return byte_size(options.get("blocksize", _parallel.BLOCKSIZE), "blocksize")


def listed(options: Mapping[str, str], name: str) -> list[str] | None:
    """A comma list option, None when not given."""
    text = options.get(name)
    return None if text is None else [item.strip() for item in text.split(",") if item.strip()]


def types(options: Mapping[str, str]) -> dict[str, type]:
    """`NAME:int,NAME:float,...` as read_table's types."""
    found: dict[str, type] = {}
    for item in listed(options, "types") or []:
        name, colon, kind = item.rpartition(":")
        if not colon or kind.strip() not in KINDS:
            raise ValueError(f"types takes NAME:KIND items with KIND one of int, float, str, not {item!r}")
        found[name.strip()] = KINDS[kind.strip()]
    return found


def parts(options: Mapping[str, str]) -> dict[str, str]:
    """The columns of each block's own bytes, by part: title, molblock, block."""
    return {part: options[part] for part in PARTS if options.get(part)}


def sampled_names(path: str, options: Mapping[str, str]) -> list[str]:
    """The record names of the first `sampleBlocks` blocks of a file."""
    count = int(options.get("sampleBlocks", SAMPLE_BLOCKS))
    if count < 1:
        raise ValueError(f"sampleBlocks must be a positive number of blocks, not {count}")
    blocks = itertools.islice(_remote.blocks(path, borrow=True, storage_options=storage_options(options)), count)
    reader = _table._reader(blocks, None, _table._Parts(), {}, 0)
    try:
        found: list[bytes] = reader.record_names()
    finally:
        reader.close()
    return [name.decode("utf-8", "surrogateescape") for name in found]


class Column(NamedTuple):
    """A column of the schema: a part (title, molblock, block) or a record
    name, and the kind read_table reads it as."""

    name: str
    part: str | None
    kind: type


def inferred(options: Mapping[str, str]) -> list[Column]:
    """The columns of the schema that the options and a sample give: the
    parts first, then `names` or the names of the sample, each typed by
    `types` (default str)."""
    named = listed(options, "names")
    kinds = types(options)
    records = named if named is not None else sampled_names(resolve(options)[0], options)
    unknown = [name for name in kinds if name not in records]
    if unknown:
        raise ValueError(f"types names {unknown[0]!r}, which is no column (names: {', '.join(records)})")
    columns = [Column(column, part, str) for part, column in parts(options).items()]
    return columns + [Column(name, None, kinds.get(name, str)) for name in records]


def from_schema(schema: Any, options: Mapping[str, str]) -> list[Column]:
    """The columns of a Spark schema: a field named by the title, molblock
    or block option is that part (a string), any other a record name,
    converted as its type asks (integers, floating point or strings)."""
    from pyspark.sql import types as spark

    by_column = {column: part for part, column in parts(options).items()}
    columns = []
    for field in schema.fields:
        kind = _kind(field.dataType, spark)
        if kind is None or (field.name in by_column and kind is not str):
            raise ValueError(
                f"the sdf source reads column {field.name!r} as a string, a whole number or a "
                f"floating-point number, not {field.dataType.simpleString()}"
            )
        columns.append(Column(field.name, by_column.get(field.name), kind))
    return columns


def _kind(data_type: Any, spark: Any) -> type | None:
    if isinstance(data_type, spark.StringType):
        return str
    if isinstance(data_type, spark.IntegralType):
        return int
    if isinstance(data_type, spark.FractionalType) and not isinstance(data_type, spark.DecimalType):
        return float
    return None


def schema_of(columns: list[Column]) -> Any:
    from pyspark.sql import types as spark

    kinds = {str: spark.StringType(), int: spark.LongType(), float: spark.DoubleType()}
    return spark.StructType([spark.StructField(column.name, kinds[column.kind]) for column in columns])
