"""SD data records as tables: a row per block, a column per record name."""

from __future__ import annotations

import itertools
import threading
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from functools import partial
from itertools import chain
from types import TracebackType
from typing import TYPE_CHECKING, Any, NamedTuple, cast

from molbrook import _parallel, _remote, native
from molbrook._optional import require
from molbrook._parallel import (
    ahead,
    bgzf_index,
    byte_ranges,
    data_size,
    ordinal_blocks,
    ordinal_ranges,
    piece_size,
    plain_size,
    worker_count,
)
from molbrook._types import Name, Path, Source, is_path
from molbrook.native import SDBlock

if TYPE_CHECKING:
    import polars

# What a table is read from: a path or a file object, or blocks already read.
Blocks = Source | Iterable[SDBlock[Any]]

_TYPE_NAMES = {int: "int", float: "float", str: None}

# What reading the blocks can raise; read on one thread again, a failure
# of a range raises what workers=1 raises, with the same notes.
_BLOCK_ERRORS = (ValueError, OSError, MemoryError)


class RecordTable(native._RecordTable):
    """Records of SD blocks as columns: a row per block, a column per record name.

    Any Arrow consumer reads it without a copy (`pyarrow.table(t)`,
    `polars.DataFrame(t)`, DuckDB); `to_pydict()` needs nothing installed.
    Made by `read_table`; not constructed directly.

    Examples
    --------
    >>> import molbrook
    >>> t = molbrook.read_table("python/molbrook/data/sample.sdf", ["ID"])
    >>> t.num_rows, t.column_names
    (5, ['ID'])
    """

    __slots__ = ()

    # pyarrow and pandas ship no type information: their results are Any.
    def to_arrow(self) -> Any:
        """The table as a `pyarrow.Table` (the `arrow` extra).

        Examples
        --------
        >>> import molbrook
        >>> t = molbrook.read_table("python/molbrook/data/sample.sdf", ["ID", "MW"], types={"MW": float})
        >>> t.to_arrow().column("MW").to_pylist()
        [46.07, 60.05, 31.06, 78.11, 41.05]
        """
        return require("pyarrow", "arrow").table(self)

    def to_pandas(self) -> Any:
        """The table as a pandas DataFrame (the `pandas` extra), through pyarrow.

        Examples
        --------
        >>> import molbrook
        >>> t = molbrook.read_table("python/molbrook/data/sample.sdf", ["ID", "MW"], types={"MW": float})
        >>> t.to_pandas()["ID"].tolist()[:2]
        ['MB-0001', 'MB-0002']
        """
        require("pandas", "pandas")
        return self.to_arrow().to_pandas()

    def to_polars(self) -> polars.DataFrame:
        """The table as a polars DataFrame (the `polars` extra).

        Examples
        --------
        >>> import molbrook
        >>> t = molbrook.read_table("python/molbrook/data/sample.sdf", ["ID", "MW"], types={"MW": float})
        >>> t.to_polars().shape
        (5, 2)
        """
        frame: polars.DataFrame = require("polars", "polars").DataFrame(self)
        return frame

    def __repr__(self) -> str:
        return f"<RecordTable: {self.num_rows} rows, columns {self.column_names}>"

    def _repr_html_(self) -> str:
        """The first rows for notebooks, as pandas shows a DataFrame, escaped."""
        from molbrook._grid import table_html

        return table_html(self.to_pydict(), self.num_rows)


def _blocks(source: Blocks, storage_options: Mapping[str, Any] | None = None) -> tuple[Iterable[Any], bool]:
    """The blocks of a source, and whether they come from a reader opened here."""
    if is_path(source) or hasattr(source, "read"):
        return _remote.blocks(source, borrow=True, storage_options=storage_options), True
    try:
        return iter(cast(Iterable[Any], source)), False
    except TypeError:
        raise TypeError(
            f"tables are read from a path, a file object or an iterable of SDBlocks, not {type(source).__name__}"
        ) from None


def _encoded(name: object, what: str) -> bytes:
    if isinstance(name, str):
        return name.encode("utf-8", "surrogateescape")
    if isinstance(name, bytes):
        return name
    raise TypeError(f"{what} must be str or bytes, not {type(name).__name__}")


def _encode_names(names: Sequence[Name] | None) -> list[bytes] | None:
    if names is None:
        return None
    if isinstance(names, (str, bytes)):
        raise TypeError("names must be a list of record names, not a single name")
    encoded = [_encoded(name, "record names") for name in names]
    seen: set[bytes] = set()
    for name, raw in zip(names, encoded):
        if raw in seen:
            raise ValueError(f"record name {name!r} is listed twice")
        seen.add(raw)
    return encoded


def _encode_types(types: Mapping[Name, type] | None) -> dict[bytes, str]:
    if types is None:
        return {}
    if not isinstance(types, Mapping):
        raise TypeError(f"types must be a mapping of record names to int, float or str, not {type(types).__name__}")
    encoded = {}
    for name, kind in types.items():
        if kind not in _TYPE_NAMES:
            raise ValueError(f"types[{name!r}] must be int, float or str, not {kind!r}")
        spelled = _TYPE_NAMES[kind]
        if spelled is not None:
            encoded[_encoded(name, "types keys")] = spelled
    return encoded


class _Parts(NamedTuple):
    """The columns of each block's own bytes, by name, or None: its title,
    its molblock and the whole block, in that order before the records."""

    title: str | None = None
    molblock: str | None = None
    block: str | None = None


def _check_parts(parts: _Parts, names: list[bytes] | None) -> None:
    for what, column in parts._asdict().items():
        if column is not None and not isinstance(column, str):
            raise TypeError(f"{what} must be None or a column name (str), not {type(column).__name__}")
        if column is not None and names is not None and column.encode("utf-8", "surrogateescape") in names:
            raise ValueError(f"the {what} column {column!r} has the name of a record")
    named = [column for column in parts if column is not None]
    if len(set(named)) < len(named):
        raise ValueError("the title, molblock and block columns need names of their own")


def _reader(
    blocks: Iterable[Any], names: list[bytes] | None, parts: _Parts, types: dict[bytes, str], batch_rows: int
) -> Any:
    return native._TableReader(
        blocks,
        names=names,
        title=parts.title,
        types=types,
        batch_rows=batch_rows,
        table_type=RecordTable,
        molblock=parts.molblock,
        block=parts.block,
    )


# What gives the blocks of one part of a file that a thread reads.
Piece = Callable[[], Iterable[Any]]


def _pieces(source: Blocks, workers: int, storage_options: Mapping[str, Any] | None = None) -> list[Piece] | None:
    """The parts of a file or URL that `workers` threads read apart, in
    order: byte ranges of a plain file, ordinal ranges of a BGZF one (by its
    index). None when the source is read on one thread: one worker, a file
    object or iterable, another compressed file or a pipe, or a small file."""
    if workers == 1 or not is_path(source):
        return None
    if _remote.is_url(source):
        return _url_pieces(cast(str, source), workers, storage_options)
    size = plain_size(source)
    if size is not None:
        if size < 2 * _parallel.MIN_PIECE:
            return None
        return [
            partial(native.parse_sdf_range, source, *span, borrow=True)
            for span in byte_ranges(size, piece_size(size, workers))
        ]
    index = bgzf_index(source)
    if index is None or data_size(index) < 2 * _parallel.MIN_PIECE:
        return None
    return [
        partial(ordinal_blocks, index, span) for span in ordinal_ranges(index, piece_size(data_size(index), workers))
    ]


def _url_pieces(url: str, workers: int, storage_options: Mapping[str, Any] | None) -> list[Piece] | None:
    """The parts of a URL as a distributed read cuts it (each read checked
    against the object seen here), in pieces as a local file's."""
    from molbrook import _partitions

    parts = _partitions.remote_partitions(url, lambda size: piece_size(size, workers), storage_options)
    if len(parts) < 2:
        return None
    return [partial(_partitions.blocks, part) for part in parts]


def _read_piece(
    piece: Piece,
    names: list[bytes] | None,
    parts: _Parts,
    types: dict[bytes, str],
    batch_rows: int,
    read: Callable[[Any], Any],
) -> Any:
    """read(reader) of a table reader over the blocks of `piece`."""
    reader = _reader(piece(), names, parts, types, batch_rows)
    try:
        return read(reader)
    finally:
        reader.close()


def record_names(source: Blocks, storage_options: Mapping[str, Any] | None = None) -> list[bytes]:
    """Every record name of the blocks of `source` (a path, a file object or
    an iterable of SDBlocks), in order of first appearance, as UTF-8 bytes:
    the columns `read_table(source)` would have. Reads `source` to its end
    and closes the blocks read.

    >>> record_names("library.sdf")  # doctest: +SKIP
    [b'ID', b'MW']
    """
    blocks, _ = _blocks(source, storage_options)
    reader = _reader(blocks, None, _Parts(), {}, 0)
    try:
        names: list[bytes] = reader.record_names()
    finally:
        reader.close()
    return names


def _piece_names(pool: ThreadPoolExecutor, pieces: list[Piece]) -> list[bytes]:
    """Every record name of the file, in order of first appearance."""
    found = pool.map(lambda piece: record_names(piece()), pieces)
    return list(dict.fromkeys(chain.from_iterable(found)))


def _read_pieces(
    pieces: list[Piece],
    workers: int,
    names: list[bytes] | None,
    parts: _Parts,
    types: dict[bytes, str],
) -> RecordTable:
    """read_table of a file cut into pieces, built on `workers` threads
    (the native builder runs without the interpreter lock), each with the
    record names it meets, and joined with their columns in order of
    first appearance."""
    with ThreadPoolExecutor(workers, thread_name_prefix="molbrook") as pool:
        tables = list(pool.map(lambda piece: _read_piece(piece, names, parts, types, 0, _read_all), pieces))
    joined: RecordTable = RecordTable._union(tables)
    return joined


def _read_all(reader: Any) -> Any:
    return reader.read_all()


def read_table(
    source: Blocks,
    names: Sequence[Name] | None = None,
    *,
    title: str | None = None,
    types: Mapping[Name, type] | None = None,
    workers: int | None = None,
    molblock: str | None = None,
    block: str | None = None,
    storage_options: Mapping[str, Any] | None = None,
) -> RecordTable:
    """Read the SD data records of every block into a table.

    `source` is a path (a str path gives str columns, a bytes path binary
    ones), a file object, or an iterable of SDBlocks of one kind. There is a
    row per block, in order, and a column per record name: every name in
    order of first appearance, or exactly `names`. A cell is what
    `block.get(name)` returns, null where the block has no such record.
    `title` names a first column of block titles, `molblock` one of their
    molblocks (`block.molblock`) and `block` one of the whole blocks, as
    `bytes(block)` or `str(block)` gives them (ending with a bare `$$$$`
    line, as every block read does), which `write_table` writes back byte
    for byte; `types` maps record names to int or float for int64 and
    float64 columns (unparseable values are null). A record name that
    becomes a column must hold no NUL, which Arrow column names cannot
    (ValueError).

    A plain file is cut into byte ranges read on `workers` threads (None:
    every CPU the process may use; 1: the calling thread only), a BGZF file
    into ranges of blocks by its index (built beside it when missing); the
    table is the same, row and column order included. A URL (see
    `parse_sdf`) is cut alike: byte ranges of a plain object fetched by
    ranged requests, ranges of blocks of a BGZF object by its index (kept
    in the local cache folder, see `index_sdf`), any other compressed
    object read whole on one thread; every request is checked against the
    object first seen, so an object replaced meanwhile raises ValueError
    rather than reading as a mix of two. `storage_options` go to fsspec.

    Parameters
    ----------
    source : Source or Iterable[SDBlock]
        A path, plain or compressed (a str path gives str columns, a bytes
        path binary ones), a file object, or an iterable of SDBlocks of one
        kind.
    names : sequence of Name, optional
        The record names to make columns of, in this order; by default every
        name, in order of first appearance.
    title, molblock, block : str, optional
        Names of first columns holding each block's title, molblock and
        whole text.
    types : mapping of Name to type, optional
        `int` or `float` for an int64 or float64 column (null where the
        value does not parse); `str` is the default.
    workers : int, optional
        Threads reading a file (None: every CPU the process may use).
    storage_options : dict, optional
        Credentials and settings for fsspec, for a URL.

    Returns
    -------
    RecordTable
        A row per block, a column per name.

    Raises
    ------
    ValueError
        A name listed twice, or a record name with NUL that becomes a
        column; a URL's object replaced while it was read.
    TypeError
        `names` is a single name, or `types` maps to another type.

    Examples
    --------
    >>> import molbrook
    >>> t = molbrook.read_table("python/molbrook/data/sample.sdf", ["ID", "MW"], types={"MW": float})
    >>> t.to_pydict()["MW"]
    [46.07, 60.05, 31.06, 78.11, 41.05]
    """
    encoded_names = _encode_names(names)
    encoded_types = _encode_types(types)
    parts = _Parts(title, molblock, block)
    _check_parts(parts, encoded_names)
    count = worker_count(workers)
    pieces = _pieces(source, count, storage_options)
    if pieces is not None:
        try:
            return _read_pieces(pieces, count, encoded_names, parts, encoded_types)
        except _remote.Replaced:
            raise
        except _BLOCK_ERRORS:
            pass
    blocks, opened = _blocks(source, storage_options)
    reader = _reader(blocks, encoded_names, parts, encoded_types, 0)
    try:
        table: RecordTable = reader.read_all()
        return table
    finally:
        if opened:
            reader.close()


class _RangeScan:
    """The batches of a scan of a file whose pieces are read on a thread
    pool: in order, with a few pieces read ahead of the consumer."""

    def __init__(
        self,
        path: Path,
        pieces: list[Piece],
        workers: int,
        names: list[bytes],
        parts: _Parts,
        types: dict[bytes, str],
        batch_rows: int,
    ) -> None:
        self._path = path
        self._options = (names, parts, types, batch_rows)
        # The first block gives the schema (and raises what the options do).
        first = itertools.islice(chain.from_iterable(piece() for piece in pieces), 1)
        self._empty = _read_piece(lambda: first, names, parts, types, 0, _read_all)
        self._pool = ThreadPoolExecutor(workers, thread_name_prefix="molbrook")
        self._pieces = ahead(self._pool, lambda piece: _read_piece(piece, *self._options, list), pieces, workers + 1)
        self._batches: deque[RecordTable] = deque()
        # Held by the thread taking a batch: another thread gets the error
        # of a scan on one thread used at once, and no state changes.
        self._busy = threading.Lock()

    def __iter__(self) -> _RangeScan:
        return self

    def __next__(self) -> RecordTable:
        if not self._busy.acquire(blocking=False):
            raise RuntimeError(
                "Already borrowed: the table reader is in use by another call (re-entered, or on another thread)"
            )
        try:
            return self._next()
        finally:
            self._busy.release()

    def _next(self) -> RecordTable:
        while not self._batches:
            try:
                self._batches.extend(next(self._pieces))
            except StopIteration:
                self.close()
                raise
            except _BLOCK_ERRORS as error:
                self.close()
                self._raise_as_one_thread(error)
        return self._batches.popleft()

    def _raise_as_one_thread(self, error: BaseException) -> None:
        """Reads the file on this thread up to the failing block, to raise
        what workers=1 raises, with the same notes."""
        reader = _reader(native.parse_sdf(self._path, borrow=True), *self._options)
        try:
            for _ in reader:
                pass
        finally:
            reader.close()
        raise error

    def __arrow_c_schema__(self) -> object:
        return self._empty.__arrow_c_schema__()

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        return self._empty._stream_tables(self)

    def close(self) -> None:
        self._pieces.close()
        self._pool.shutdown(wait=True)


class TableScan:
    """The rows of `scan_table` as a one-shot stream of RecordTable batches.

    Iterate it for the batches, or hand it to any Arrow stream consumer
    (`pyarrow.RecordBatchReader.from_stream`, a Parquet writer); it reads
    the source as the consumer asks, in bounded memory.
    Made by `scan_table`; not constructed directly.
    """

    def __init__(self, reader: Any, opened: bool) -> None:
        self._reader = reader
        self._opened = opened

    def __iter__(self) -> Iterator[RecordTable]:
        return self

    def __next__(self) -> RecordTable:
        batch: RecordTable = next(self._reader)
        return batch

    def __arrow_c_schema__(self) -> object:
        return self._reader.__arrow_c_schema__()

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        return self._reader.__arrow_c_stream__(requested_schema)

    def close(self) -> None:
        """Stop reading and close a file that the scan opened.

        Examples
        --------
        >>> import molbrook
        >>> scan = molbrook.scan_table("python/molbrook/data/sample.sdf", ["ID"])
        >>> scan.close()
        >>> list(scan)
        []
        """
        if self._opened:
            self._reader.close()

    def __enter__(self) -> TableScan:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self.close()


def scan_table(
    source: Blocks,
    names: Sequence[Name] | None = None,
    *,
    title: str | None = None,
    types: Mapping[Name, type] | None = None,
    batch_rows: int = 65536,
    workers: int | None = None,
    molblock: str | None = None,
    block: str | None = None,
    storage_options: Mapping[str, Any] | None = None,
) -> TableScan:
    """Stream the rows of `read_table` as batches of at most `batch_rows` rows.

    With `names=None` a first pass over the path finds every record name, so
    that the schema is known before the first batch; a file object or an
    iterable of blocks cannot be read twice and needs `names`.

    A plain file is cut into byte ranges, a BGZF file into ranges of blocks
    by its index, read on `workers` threads (None: every CPU the process
    may use; 1: the calling thread only), a few ranges ahead of the consumer: the rows are the same, in order, while
    a batch may end early at the end of a range. A URL (see `parse_sdf`)
    is read on one thread, twice with `names=None`; `storage_options` go
    to fsspec.

    Parameters
    ----------
    source, names, title, types, workers, molblock, block, storage_options
        As for `read_table`.
    batch_rows : int, default 65536
        The most rows a batch holds.

    Returns
    -------
    TableScan
        The batches, as an iterator and an Arrow stream.

    Raises
    ------
    ValueError
        `batch_rows` is not a positive int.

    Examples
    --------
    >>> import molbrook
    >>> scan = molbrook.scan_table("python/molbrook/data/sample.sdf", ["ID"], batch_rows=2)
    >>> [batch.num_rows for batch in scan]
    [2, 2, 1]
    """
    if isinstance(batch_rows, bool) or not isinstance(batch_rows, int) or batch_rows < 1:
        raise ValueError(f"batch_rows must be a positive int, not {batch_rows!r}")
    encoded_names = _encode_names(names)
    encoded_types = _encode_types(types)
    parts = _Parts(title, molblock, block)
    _check_parts(parts, encoded_names)
    count = worker_count(workers)
    # A URL is streamed on one thread: a scan reads in bounded memory, and
    # one stream's pieces are already fetched ahead of the parser.
    pieces = None if _remote.is_url(source) else _pieces(source, count)
    if pieces is not None and is_path(source):  # only paths are cut into pieces
        try:
            if encoded_names is None:
                with ThreadPoolExecutor(count, thread_name_prefix="molbrook") as pool:
                    encoded_names = _piece_names(pool, pieces)
            return TableScan(_RangeScan(source, pieces, count, encoded_names, parts, encoded_types, batch_rows), True)
        except _BLOCK_ERRORS:
            pass
    if encoded_names is None:
        if not is_path(source):
            raise ValueError("scan_table reads a file object or an iterable of blocks once: give the record names")
        encoded_names = record_names(source, storage_options)
    blocks, opened = _blocks(source, storage_options)
    return TableScan(_reader(blocks, encoded_names, parts, encoded_types, batch_rows), opened)
