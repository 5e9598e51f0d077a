"""Ordering SD blocks across many sources in bounded memory: `sort_sdf`,
its keys (`SortKey`) and what it did (`SortSummary`)."""

from __future__ import annotations

import contextlib
import io
import os
import re
import stat
import tempfile
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import IO, Any, Literal, Union

from molbrook import _bgzf, native
from molbrook._index import reused_index
from molbrook._output import atomic_destination

__all__ = ["SortKey", "SortSummary", "sort_sdf"]

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
_KINDS = ("text", "number", "natural")
_MISSING = ("last", "first", "drop")
_UNITS = {"": 1, "B": 1, "K": 1 << 10, "KIB": 1 << 10, "M": 1 << 20, "MIB": 1 << 20, "G": 1 << 30, "GIB": 1 << 30}
_SIZE = re.compile(r"\s*(\d+)\s*([A-Za-z]*)\s*")
# SD text compresses about this much at most: a BGZF file smaller than the
# budget by this factor has its blocks kept with their keys, cheaper than
# indexing it to read them back.
_BGZF_RATIO = 8


@dataclass(frozen=True)
class SortKey:
    """One sort key: the value of record `name` (`block.get(name)`), or the
    title with `title=True`.

    `kind` is "text" (UTF-8 bytes), "number" (the stripped value as
    `float()` reads it; one that does not read, or NaN, is missing) or
    "natural" (runs of ASCII digits compared as numbers: ID-9 before ID-10).
    `missing` puts blocks without a value "last" or "first" whatever the
    direction, or "drop"s them.
    """

    name: str | bytes | None = None
    title: bool = False
    kind: Literal["text", "number", "natural"] = "text"
    descending: bool = False
    missing: Literal["last", "first", "drop"] = "last"

    def __post_init__(self) -> None:
        if self.kind not in _KINDS:
            raise ValueError(f"SortKey kind must be one of {', '.join(_KINDS)}, not {self.kind!r}")
        if self.missing not in _MISSING:
            raise ValueError(f"SortKey missing must be one of {', '.join(_MISSING)}, not {self.missing!r}")
        if self.title == (self.name is not None):
            raise ValueError("a SortKey takes a record name or title=True, one of them")
        if self.name is not None and not isinstance(self.name, (str, bytes)):
            raise TypeError(f"a SortKey's name must be str or bytes, not {type(self.name).__name__}")


@dataclass(frozen=True)
class SortSummary:
    """What `sort_sdf` did."""

    blocks_in: int  # blocks read
    blocks_out: int  # blocks written to dest
    missing_dropped: int  # blocks left out for a key with missing="drop"
    duplicates: int  # blocks beyond per_group of their group
    spilled_runs: int  # sorted runs written to tmpdir


def sort_sdf(
    sources: Any,
    dest: Any,
    *,
    by: Sequence[str | bytes | SortKey] | str | bytes | SortKey = (),
    group: str | bytes | None = None,
    group_on_title: bool = False,
    per_group: int | None = None,
    top: int | None = None,
    duplicates: Any = None,
    provenance: str | bytes | None = None,
    memory: int | str = "256MiB",
    tmpdir: _Path | None = None,
    progress: Callable[[int], object] | None = None,
) -> SortSummary:
    """Write the blocks of `sources` to `dest` ordered by the keys `by`.

    `sources` is one source or a list of them (paths, plain or compressed,
    or file objects), read in that order and all of one kind, str or bytes.
    Keys (most significant first) are record names (text order, ascending)
    or `SortKey`s; ties keep input order, and without keys the blocks keep
    it. With `group` (a record name) or `group_on_title`, only the first
    `per_group` (default 1) blocks of each group in sorted order are
    written, the others go to `duplicates` (a destination like `dest`) in
    input order; blocks without the group record are all kept. `top` keeps
    the first N blocks of the result. `provenance` names a record set on
    every block written to SOURCE:ORDINAL (`-` for a file object, ordinals
    from 0).

    Keys and offsets are held within `memory` (bytes, or a string such as
    "64MiB"); past it, sorted runs go to files in `tmpdir` and are merged.
    Blocks of plain files are read back by offset (from their mapping while
    `memory` holds all the plain files, else by positional reads), those of
    BGZF files larger than an eighth of `memory` by ordinal through their
    index (the one beside the file if it is current, else one built in
    memory); blocks of other sources are kept with their keys. A path `dest`
    is written whole or not at all, compressed by its extension (.gz as
    BGZF); temporary files are removed on every path out. `progress`, if
    given, is called with the number of source bytes read since its last
    call, as they are read (for a progress bar).

    Raises:
        ValueError: for a bad key, group, count or memory size, before
            anything is written
        TypeError: for sources of both kinds, or arguments of the wrong type
        MalformedRecordError: for a malformed record in a block read for a
            key (no destination is left behind)
    """
    items = list(sources) if isinstance(sources, (list, tuple)) else [sources]
    is_bytes = _kind_of(items)
    keys = tuple(_native_key(key, is_bytes) for key in _keys(by))
    group_key = _group_key(group, group_on_title, per_group, is_bytes)
    counts = [_count(value, name) for value, name in ((per_group, "per_group"), (top, "top"))]
    budget = memory_size(memory)
    provenance_name = None if provenance is None else _name(provenance, is_bytes, "provenance")
    labels = tuple(_label(source, is_bytes) for source in items)
    folder_in = None if tmpdir is None else os.fsdecode(tmpdir)
    with tempfile.TemporaryDirectory(prefix="molbrook-sort-", dir=folder_in) as folder:
        sorter = native._Sorter(keys, group_key, counts[0] or 1, counts[1], budget, folder, is_bytes,
                                provenance_name, labels)
        try:
            for number, source in enumerate(items):
                _add(sorter, source, number, budget, progress)
            with atomic_destination(dest) as out, _optional_destination(duplicates) as aside:
                written = sorter.write(out, not isinstance(out, io.TextIOBase), False)
                if aside is not None:
                    sorter.write(aside, not isinstance(aside, io.TextIOBase), True)
            return SortSummary(blocks_in=sorter.blocks_in, blocks_out=written,
                               missing_dropped=sorter.missing_dropped, duplicates=sorter.duplicates,
                               spilled_runs=sorter.spilled_runs)
        finally:
            sorter.close()


def memory_size(memory: object) -> int:
    """Bytes from an int or a string such as "512KiB", "64MiB", "2GiB"."""
    if isinstance(memory, bool) or not isinstance(memory, (int, str)):
        raise TypeError(f"memory must be an int of bytes or a string such as '64MiB', not {type(memory).__name__}")
    if isinstance(memory, int):
        size = memory
    else:
        match = _SIZE.fullmatch(memory)
        unit = match.group(2).upper() if match else ""
        if match is None or unit not in _UNITS:
            raise ValueError(f"memory must be a size such as '64MiB' (units KiB, MiB, GiB), not {memory!r}")
        size = int(match.group(1)) * _UNITS[unit]
    if size < 1:
        raise ValueError(f"memory must be at least 1 byte, not {memory!r}")
    return size


def _kind_of(sources: list[Any]) -> bool:
    """True when the sources give bytes blocks; TypeError when they differ."""
    kinds = set()
    for source in sources:
        if isinstance(source, (str, bytes, os.PathLike)):
            kinds.add(isinstance(os.fspath(source), bytes))
        elif hasattr(source, "read"):
            kinds.add(not isinstance(source, io.TextIOBase))
        else:
            raise TypeError(f"sort_sdf sources are paths or file objects, not {type(source).__name__}")
    if len(kinds) > 1:
        raise TypeError("sort_sdf sources must be all str or all bytes (paths and file objects alike)")
    return kinds == {True}


def _keys(by: object) -> list[str | bytes | SortKey]:
    if isinstance(by, (str, bytes, SortKey)):
        return [by]
    if not isinstance(by, (list, tuple)):
        raise TypeError(f"by must be a sequence of record names and SortKeys, not {type(by).__name__}")
    return list(by)


def _name(name: object, is_bytes: bool, what: str) -> bytes:
    if isinstance(name, str):
        return name.encode("utf-8", "surrogateescape")
    if isinstance(name, bytes) and is_bytes:
        return name
    raise TypeError(f"{what} must be a record name (str{', or bytes' if is_bytes else ''}), "
                    f"not {type(name).__name__}")


def _native_key(key: object, is_bytes: bool) -> tuple[bytes | None, bool, int, bool, int]:
    if isinstance(key, (str, bytes)):
        key = SortKey(key)
    if not isinstance(key, SortKey):
        raise TypeError(f"a sort key is a record name or a SortKey, not {type(key).__name__}")
    name = None if key.title else _name(key.name, is_bytes, "a SortKey's name")
    return (name, key.title, _KINDS.index(key.kind), bool(key.descending), _MISSING.index(key.missing))


def _group_key(group: object, on_title: object, per_group: object,
               is_bytes: bool) -> tuple[bytes | None, bool, int, bool, int] | None:
    if not isinstance(on_title, bool):
        raise TypeError(f"group_on_title must be a bool, not {type(on_title).__name__}")
    if group is not None and on_title:
        raise ValueError("give group or group_on_title, not both")
    if group is None and not on_title:
        if per_group is not None:
            raise ValueError("per_group needs group or group_on_title")
        return None
    return (None if on_title else _name(group, is_bytes, "group"), on_title, 0, False, 0)


def _count(value: object, name: str) -> int | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be 1 or more, not {value}")
    return value


def _label(source: object, is_bytes: bool) -> bytes:
    """The source as provenance names it."""
    if not isinstance(source, (str, bytes, os.PathLike)):
        return b"-"
    path = os.fspath(source)
    return path if isinstance(path, bytes) else path.encode("utf-8", "surrogateescape")


def _add(sorter: native._Sorter, source: Any, number: int, budget: int,
         progress: Callable[[int], object] | None) -> None:
    path = os.fspath(source) if isinstance(source, (str, bytes, os.PathLike)) else None
    try:
        index = _bgzf_index(path, budget) if path is not None else None
        if index is not None:
            sorter.add_indexed(index, number, progress)
        else:
            sorter.add(native.parse_sdf(source, borrow=True), number, path, progress)
    except native.MalformedRecordError as error:
        error.add_note(f"In source {number} ({os.fsdecode(path) if path is not None else 'a file object'}).")
        raise


def _bgzf_index(path: str | bytes, budget: int) -> native.SDIndex[Any] | None:
    """An index of `path` when it is a BGZF file too large for its blocks to
    be kept with their keys: the index beside it when that is current, else
    one built in memory (none is written)."""
    try:
        info = os.stat(path)
    except OSError:
        return None  # reading it says why
    if not stat.S_ISREG(info.st_mode) or info.st_size * _BGZF_RATIO <= budget or not _bgzf.is_bgzf_file(path):
        return None
    return reused_index(path, _bgzf)


@contextlib.contextmanager
def _optional_destination(dest: Any) -> Iterator[IO[bytes] | None]:
    if dest is None:
        yield None
        return
    with atomic_destination(dest) as out:
        yield out
