import types
from collections.abc import Callable, Iterable, Iterator, Mapping
from os import PathLike
from typing import (
    IO,
    Any,
    AnyStr,
    ClassVar,
    Final,
    Generic,
    Literal,
    Protocol,
    Self,
    SupportsIndex,
    TypeVar,
    final,
    overload,
)

from _typeshed import structseq
from typing_extensions import Buffer, disjoint_base

__all__ = [
    "CTable",
    "SDBlock",
    "_SDBlockIterator",
    "_SDRecordIterator",
    "_SDNameIterator",
    "MalformedRecordError",
    "_CTableError",
    "_MalformedCTableError",
    "_IndicesDuplicateError",
    "_IndicesMismatchError",
    "_IndicesOutOfOrderError",
    "parse_sdf",
    "parse_sdf_range",
    "_parse_text_stream",
    "_parse_decompressed",
    "_parse_range_at",
    "_compression_of",
    "write_sdf",
    "sdf_writer",
    "_SDFWriter",
    "_RecordTable",
    "_TableReader",
    "SDIndex",
    "_open_index",
    "_merge_blocks",
    "_Sorter",
    "_write_table",
    "_lint_path",
    "_lint_bytes",
    "_LintScan",
    "_LintFinding",
    "_LintEdit",
    "_StreamReader",
    "_lint_codes",
    "_record_problem",
    "__version__",
    "DEBUG_BUILD",
]

__version__: str
DEBUG_BUILD: bool

_T = TypeVar("_T")
_Header = Literal["plain", "padded", "copy"]
_Records = Mapping[AnyStr, AnyStr] | Iterable[tuple[AnyStr, AnyStr]]
_Path = str | bytes | PathLike[str] | PathLike[bytes]

_Data_contra = TypeVar("_Data_contra", str, bytes, contravariant=True)

class _Writable(Protocol[_Data_contra]):
    def write(self, data: _Data_contra, /) -> object: ...

class MalformedRecordError(ValueError):
    """An SD data header line has no `<name>`."""

class _CTableError(ValueError):
    """A connection table's contents do not allow the operation."""

class _MalformedCTableError(_CTableError):
    """A CTable line is missing, lacks a field, or holds a field that cannot be read."""

class _IndicesDuplicateError(_CTableError):
    """An atom or bond index occurs twice, or a bond names a duplicated atom index."""

class _IndicesMismatchError(_CTableError):
    """The number of atom or bond lines differs from what the counts line declares."""

class _IndicesOutOfOrderError(_CTableError):
    """Atom or bond indices do not run 1, 2, 3, ... in line order."""

@disjoint_base
class SDBlock(Generic[AnyStr]):
    """Handle a single molecule block from an SD file."""

    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __new__(cls, sdf: AnyStr, records: _Records[AnyStr] | None = None, *, header: _Header = "plain") -> Self: ...
    @classmethod
    def from_sdf(cls, sdf: AnyStr, /) -> _SDBlockIterator[AnyStr]: ...
    @classmethod
    def from_lines(cls, lines: Iterable[AnyStr] | IO[AnyStr], /) -> _SDBlockIterator[AnyStr]: ...
    @classmethod
    def _from_state(cls, data: bytes, title_end: int, mdl_end: int, text: bool) -> Self: ...
    def __class_getitem__(cls, item: Any, /) -> types.GenericAlias: ...

    # Sections
    @property
    def title(self) -> AnyStr: ...
    @title.setter
    def title(self, value: AnyStr) -> None: ...
    @property
    def molblock(self) -> AnyStr: ...
    @molblock.setter
    def molblock(self, value: AnyStr) -> None: ...
    @property
    def mdl(self) -> AnyStr: ...
    @mdl.setter
    def mdl(self, value: AnyStr) -> None: ...
    @property
    def ctab(self) -> AnyStr: ...

    # Records
    def records(self) -> list[tuple[AnyStr, AnyStr]]: ...
    def names(self) -> list[AnyStr]: ...
    def to_dict(self) -> dict[AnyStr, AnyStr]: ...
    @overload
    def get(self, name: AnyStr) -> AnyStr | None: ...
    @overload
    def get(self, name: AnyStr, default: _T) -> AnyStr | _T: ...
    def iter_records(self) -> _SDRecordIterator[AnyStr]: ...
    def append_record(self, name: AnyStr, value: AnyStr, *, header: _Header = "plain") -> None: ...
    def set_record(self, name: AnyStr, value: AnyStr, *, header: _Header = "plain") -> None: ...
    def remove_record(self, name: AnyStr) -> int: ...
    def rename_record(self, old: AnyStr, new: AnyStr) -> int: ...
    def replace_records(self, records: _Records[AnyStr], *, header: _Header = "plain") -> None: ...
    def __getitem__(self, name: AnyStr, /) -> AnyStr: ...
    def __setitem__(self, name: AnyStr, value: AnyStr, /) -> None: ...
    def __delitem__(self, name: AnyStr, /) -> None: ...
    def __len__(self) -> int: ...
    def __contains__(self, name: AnyStr, /) -> bool: ...
    def __iter__(self) -> _SDNameIterator[AnyStr]: ...

    # Connection table
    def ctable(self) -> CTable: ...
    @property
    def num_atoms(self) -> int: ...
    @property
    def num_bonds(self) -> int: ...
    @property
    def format(self) -> Literal["V2000", "V3000"] | None: ...
    def renumber_indices(self) -> None: ...
    def fix_counts(self) -> None: ...

    # Depiction
    def depict(self, width: int = 300, height: int = 200, *, labels: bool = True) -> str: ...
    def _repr_svg_(self) -> str: ...
    def _repr_html_(self) -> str: ...

    # Protocol
    def __bool__(self) -> Literal[True]: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: Any, /) -> Self: ...
    def __reduce__(self) -> tuple[Any, tuple[bytes, int, int, bool]]: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __bytes__(self) -> bytes: ...

@final
class _SDBlockIterator(Generic[AnyStr]):
    """Lazily parse SDBlocks from an input source."""

    def __iter__(self) -> Self: ...
    def __next__(self) -> SDBlock[AnyStr]: ...
    def close(self) -> None: ...

@final
class _SDRecordIterator(Generic[AnyStr]):
    """Lazily iterate over one block's SD data records."""

    def __iter__(self) -> Self: ...
    def __next__(self) -> tuple[AnyStr, AnyStr]: ...

@final
class _SDNameIterator(Generic[AnyStr]):
    """Lazily iterate over one block's record names."""

    def __iter__(self) -> Self: ...
    def __next__(self) -> AnyStr: ...

@overload
def parse_sdf(source: str | PathLike[str], *, borrow: bool = False) -> _SDBlockIterator[str]: ...
@overload
def parse_sdf(source: bytes | PathLike[bytes], *, borrow: bool = False) -> _SDBlockIterator[bytes]: ...
@overload
def parse_sdf(source: IO[AnyStr], *, borrow: bool = False) -> _SDBlockIterator[AnyStr]: ...
@overload
def parse_sdf_range(
    path: str | PathLike[str], start: int, end: int, *, borrow: bool = False
) -> _SDBlockIterator[str]: ...
@overload
def parse_sdf_range(
    path: bytes | PathLike[bytes], start: int, end: int, *, borrow: bool = False
) -> _SDBlockIterator[bytes]: ...
def _parse_text_stream(file: IO[bytes]) -> _SDBlockIterator[str]: ...
@overload
def _parse_decompressed(file: IO[bytes], *, text: Literal[True]) -> _SDBlockIterator[str]: ...
@overload
def _parse_decompressed(file: IO[bytes], *, text: Literal[False]) -> _SDBlockIterator[bytes]: ...
@overload
def _parse_decompressed(file: IO[bytes], *, text: bool) -> _SDBlockIterator[Any]: ...
def _parse_range_at(
    read_at: Callable[[int, int], bytes], *, name: str, start: int, end: int
) -> _SDBlockIterator[str]: ...
def _compression_of(path: _Path | memoryview, /) -> Literal["gzip", "bzip2", "xz", "zstd"] | None: ...
def write_sdf(dest: _Path | _Writable[Any], blocks: Iterable[SDBlock[Any]]) -> int: ...
def sdf_writer(dest: _Path | _Writable[Any]) -> _SDFWriter: ...
def _merge_blocks(
    blocks: Iterable[SDBlock[Any]],
    dest: _Path | _Writable[Any],
    *,
    text_as_utf8: bool,
    record: str | bytes | None,
    keys: tuple[str | bytes | None, ...],
    names: tuple[str | bytes, ...],
    columns: tuple[tuple[str | bytes | None, ...], ...],
) -> tuple[int, int, int, list[int]]: ...
def _write_table(
    stream: object,
    dest: _Path | _Writable[Any],
    *,
    text: bool,
    title: str | None,
    molblock: str | None,
    block: str | None,
    names: list[str] | None,
) -> int: ...

@final
class _LintFinding(
    structseq[Any],
    tuple[int, int, int, int, int, int, int, int, bytes | None, int | None, bytes, tuple[int, int, int, int]],
):
    """A lint finding, as a scan reports it."""

    __match_args__: Final = (
        "code",
        "detail",
        "block",
        "line",
        "column",
        "offset",
        "length",
        "fix",
        "record",
        "related_line",
        "text",
        "numbers",
    )
    @property
    def code(self) -> int: ...
    @property
    def detail(self) -> int: ...
    @property
    def block(self) -> int: ...
    @property
    def line(self) -> int: ...
    @property
    def column(self) -> int: ...
    @property
    def offset(self) -> int: ...
    @property
    def length(self) -> int: ...
    @property
    def fix(self) -> int: ...
    @property
    def record(self) -> bytes | None: ...
    @property
    def related_line(self) -> int | None: ...
    @property
    def text(self) -> bytes: ...
    @property
    def numbers(self) -> tuple[int, int, int, int]: ...

@final
class _LintEdit(structseq[Any], tuple[int, int, int, bytes]):
    """An edit of a finding's fix."""

    __match_args__: Final = ("finding", "start", "end", "text")
    @property
    def finding(self) -> int: ...
    @property
    def start(self) -> int: ...
    @property
    def end(self) -> int: ...
    @property
    def text(self) -> bytes: ...

@final
class _LintScan(
    structseq[Any],
    tuple[
        int,
        int,
        int,
        int,
        int | None,
        list[_LintFinding],
        list[_LintEdit] | None,
        tuple[int, ...] | None,
        tuple[int, ...] | None,
    ],
):
    """What a lint scan found."""

    __match_args__: Final = (
        "offset",
        "consumed",
        "lines",
        "blocks",
        "first_ending",
        "findings",
        "edits",
        "fixed",
        "unfixed",
    )
    @property
    def offset(self) -> int: ...
    @property
    def consumed(self) -> int: ...
    @property
    def lines(self) -> int: ...
    @property
    def blocks(self) -> int: ...
    @property
    def first_ending(self) -> int | None: ...
    @property
    def findings(self) -> list[_LintFinding]: ...
    @property
    def edits(self) -> list[_LintEdit] | None: ...
    @property
    def fixed(self) -> tuple[int, ...] | None: ...
    @property
    def unfixed(self) -> tuple[int, ...] | None: ...

_lint_codes: tuple[str, ...]

def _lint_path(
    path: _Path,
    start: int,
    end: int,
    *,
    select: int = 0,
    fix: int = 0,
    unsafe: bool = False,
    edits: bool = False,
    write: Callable[[memoryview], object] | None = None,
    first_ending: int | None = None,
) -> _LintScan | None: ...
def _lint_bytes(
    data: Buffer,
    at_start: bool,
    at_eof: bool,
    *,
    offset: int = 0,
    select: int = 0,
    fix: int = 0,
    unsafe: bool = False,
    edits: bool = False,
    write: Callable[[memoryview], object] | None = None,
    first_ending: int | None = None,
) -> _LintScan: ...

@final
class _StreamReader:
    """The bytes a binary stream's read method gives, decompressed when its
    first bytes tell a compression format, as parse_sdf tells it: at most
    max_length bytes a read. A decompression error gets a note naming
    `name`, when given."""

    def __new__(cls, read: Callable[[int], bytes], *, name: object = None, max_length: int = 131072) -> Self: ...
    def read(self, size: int) -> bytes: ...

def _record_problem(name: str | bytes, value: str | bytes | None = None) -> str | None: ...

@final
class _SDFWriter:
    """Write SDBlocks one at a time, buffered as `write_sdf` writes them."""

    def write(self, block: SDBlock[Any], /) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, *_exc_info: object) -> None: ...

@disjoint_base
class CTable:
    """Handle a Connection table (CTAB) from a single molecule block."""

    def __new__(cls, lines: Iterable[str]) -> Self: ...
    @property
    def lines(self) -> list[str]: ...
    @property
    def num_atoms(self) -> int: ...
    @property
    def num_bonds(self) -> int: ...
    @property
    def format(self) -> Literal["V2000", "V3000"]: ...
    def valid_atom_indices(self, strict: bool = False) -> Literal[True]: ...
    def valid_bond_indices(self, strict: bool = False) -> Literal[True]: ...
    def renumber_indices(self) -> None: ...
    def fix_counts(self) -> None: ...

@disjoint_base
class _RecordTable:
    """Records of SD blocks as columns: a row per block, a column per record name."""

    @property
    def num_rows(self) -> int: ...
    @property
    def column_names(self) -> list[str]: ...
    def __len__(self) -> int: ...
    def to_pydict(self) -> dict[str, list[Any]]: ...
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...
    @classmethod
    def _from_batches(cls, tables: Iterable[_RecordTable], /) -> Self: ...
    def _stream_tables(self, tables: Iterable[_RecordTable], /) -> object: ...
    @classmethod
    def _union(cls, tables: Iterable[_RecordTable], /) -> Self: ...

@final
class _TableReader:
    """Read record batches from blocks."""

    def __new__(
        cls,
        blocks: Iterable[SDBlock[Any]],
        *,
        names: list[bytes] | None,
        title: str | None,
        types: dict[bytes, str],
        batch_rows: int,
        table_type: type[_RecordTable],
        molblock: str | None,
        block: str | None,
    ) -> Self: ...
    def __iter__(self) -> Self: ...
    def __next__(self) -> _RecordTable: ...
    def read_all(self) -> _RecordTable: ...
    def record_names(self) -> list[bytes]: ...
    def close(self) -> None: ...
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

@final
class SDIndex(Generic[AnyStr]):
    """Random access to the blocks of an SD file, by ordinal or by key; made by
    `index_sdf`. Safe to share between threads."""

    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[SDBlock[AnyStr]]: ...
    def __contains__(self, key: object, /) -> bool: ...
    @overload
    def __getitem__(self, i: SupportsIndex, /) -> SDBlock[AnyStr]: ...
    @overload
    def __getitem__(self, i: slice, /) -> list[SDBlock[AnyStr]]: ...
    def take(self, ordinals: Iterable[SupportsIndex], /) -> list[SDBlock[AnyStr]]: ...
    def span(self, i: SupportsIndex, /) -> tuple[int, int]: ...
    @overload
    def get(self, key: AnyStr) -> SDBlock[AnyStr] | None: ...
    @overload
    def get(self, key: AnyStr, default: _T) -> SDBlock[AnyStr] | _T: ...
    def get_all(self, key: AnyStr, /) -> list[SDBlock[AnyStr]]: ...
    def ordinals(self, key: AnyStr, /) -> list[int]: ...
    def keys(self) -> list[AnyStr]: ...
    def ranges(self, n: SupportsIndex, /) -> list[tuple[int, int]]: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, *_exc_info: object) -> None: ...

def _open_index(
    path: str | bytes,
    *,
    sidecar: bytes | None = None,
    key: bytes | None = None,
    on_title: bool = False,
    bgzf: object = None,
    read_at: Callable[[int, int], bytes] | None = None,
    size: int = 0,
    fresh: bool = False,
) -> tuple[SDIndex[Any], bytes | None]: ...

# A key as _Sorter reads it, by attribute: the record's name (None for the
# title); kind 0-2 (text, number, natural); missing 0-2 (last, first, drop).
class _SortKeySpec(Protocol):
    @property
    def name(self) -> bytes | None: ...
    @property
    def kind(self) -> int: ...
    @property
    def descending(self) -> bool: ...
    @property
    def missing(self) -> int: ...

@final
class _Sorter:
    """The blocks of several sources sorted within a memory budget; made by sort_sdf."""

    def __new__(
        cls,
        *,
        keys: tuple[_SortKeySpec, ...],
        group: _SortKeySpec | None,
        per_group: int,
        top: int | None,
        memory: int,
        folder: _Path,
        is_bytes: bool,
        provenance: bytes | None,
        labels: tuple[bytes, ...],
    ) -> Self: ...
    def add(
        self,
        blocks: Iterable[SDBlock[Any]],
        /,
        *,
        source: int,
        path: str | bytes | None,
        progress: Callable[[int], object] | None,
    ) -> int: ...
    def add_indexed(self, index: SDIndex[Any], /, *, source: int, progress: Callable[[int], object] | None) -> int: ...
    def write(self, dest: _Path | _Writable[Any], /, *, as_bytes: bool, duplicates: bool) -> int: ...
    def close(self) -> None: ...
    @property
    def blocks_in(self) -> int: ...
    @property
    def missing_dropped(self) -> int: ...
    @property
    def duplicates(self) -> int: ...
    @property
    def spilled_runs(self) -> int: ...
    @property
    def keys_found(self) -> tuple[bool, ...]: ...
    @property
    def names_seen(self) -> tuple[bytes, ...]: ...
