"""Ordering SD blocks across many sources in bounded memory: `sort_sdf`,
its keys (`SortKey`) and what it did (`SortSummary`)."""

from __future__ import annotations

import contextlib
import io
import os
import stat
import tempfile
import warnings
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import InitVar, dataclass
from typing import IO, Any, Literal, NamedTuple

from molbrook import _bgzf, native
from molbrook._index import reused_index
from molbrook._output import atomic_destination
from molbrook._remote import blocks, is_url
from molbrook._types import TITLE, Key, Path, byte_size, deprecated, is_path, key_name

__all__ = ["MissingRecordWarning", "SortKey", "SortSummary", "sort_sdf"]

_KINDS = ("text", "number", "natural")
_MISSING = ("last", "first", "drop")
# SD text compresses about this much at most: a BGZF file smaller than the
# budget by this factor has its blocks kept with their keys, cheaper than
# indexing it to read them back.
_BGZF_RATIO = 8


@dataclass(frozen=True)
class SortKey:
    """One sort key: the value of record `name` (`block.get(name)`), or the
    title when `name` is `molbrook.TITLE`.

    `kind` is "text" (UTF-8 bytes), "number" (the stripped value as
    `float()` reads it; one that does not read, or NaN, is missing) or
    "natural" (runs of ASCII digits compared as numbers: ID-9 before ID-10).
    `missing` puts blocks without a value "last" or "first" whatever the
    direction, or "drop"s them.

    Parameters
    ----------
    name : Key
        The record whose value is the key, or `molbrook.TITLE`.
    title : bool, default False
        The old spelling of `name=molbrook.TITLE`, kept for one release.
    kind : {"text", "number", "natural"}, default "text"
        How values compare.
    descending : bool, default False
        Largest first.
    missing : {"last", "first", "drop"}, default "last"
        Where blocks without a value go.

    Examples
    --------
    >>> from molbrook import SortKey
    >>> SortKey("MW", kind="number", descending=True)
    SortKey(name='MW', kind='number', descending=True, missing='last')
    """

    name: Key | None = None
    # The old spelling of SortKey(TITLE), kept for one release.
    title: InitVar[bool] = False
    kind: Literal["text", "number", "natural"] = "text"
    descending: bool = False
    missing: Literal["last", "first", "drop"] = "last"

    def __post_init__(self, title: bool) -> None:
        if title:
            deprecated("SortKey(title=True)", "SortKey(molbrook.TITLE)", stacklevel=4)
            if self.name is not None:
                raise ValueError("a SortKey takes a record name or molbrook.TITLE, one of them")
            object.__setattr__(self, "name", TITLE)
        if self.kind not in _KINDS:
            raise ValueError(f"SortKey kind must be one of {', '.join(_KINDS)}, not {self.kind!r}")
        if self.missing not in _MISSING:
            raise ValueError(f"SortKey missing must be one of {', '.join(_MISSING)}, not {self.missing!r}")
        if self.name is None:
            raise ValueError("a SortKey takes a record name or molbrook.TITLE")
        if not isinstance(self.name, (str, bytes)) and self.name is not TITLE:
            raise TypeError(f"a SortKey's name must be str, bytes or molbrook.TITLE, not {type(self.name).__name__}")


class MissingRecordWarning(UserWarning):
    """A sort key or the group names a record that no block of the sources
    has: `name`, with `seen`, the record names of the first blocks of each
    source (str or bytes as the sources are). Warned before anything is
    written, so that turning it into an error leaves no output.

    Parameters
    ----------
    name : str or bytes
        The record name no block has.
    seen : sequence of str or bytes
        The record names the first blocks of each source have.
    """

    def __init__(self, name: str | bytes, seen: Sequence[str | bytes]) -> None:
        super().__init__(f"sort_sdf: no block has a record named {name!r}")
        self.name = name
        self.seen = seen


@dataclass(frozen=True)
class SortSummary:
    """What `sort_sdf` did.

    Attributes
    ----------
    blocks_in : int
        Blocks read.
    blocks_out : int
        Blocks written to `dest`.
    missing_dropped : int
        Blocks left out for a key with `missing="drop"`.
    duplicates : int
        Blocks beyond `per_group` of their group.
    spilled_runs : int
        Sorted runs written to `tmpdir`.
    """

    blocks_in: int  # blocks read
    blocks_out: int  # blocks written to dest
    missing_dropped: int  # blocks left out for a key with missing="drop"
    duplicates: int  # blocks beyond per_group of their group
    spilled_runs: int  # sorted runs written to tmpdir


def sort_sdf(
    sources: Any,
    dest: Any,
    *,
    by: Sequence[Key | SortKey] | Key | SortKey = (),
    group: Key | None = None,
    group_on_title: bool = False,
    per_group: int | None = None,
    top: int | None = None,
    duplicates: Any = None,
    provenance: str | bytes | None = None,
    memory: int | str = "256MiB",
    tmpdir: Path | None = None,
    progress: Callable[[int], object] | None = None,
    storage_options: Mapping[str, Any] | None = None,
) -> SortSummary:
    """Write the blocks of `sources` to `dest` ordered by the keys `by`.

    `sources` is one source or a list of them (paths, plain or compressed,
    or file objects), read in that order and all of one kind, str or bytes.
    Sources and destinations may be URLs (see `parse_sdf`), `storage_options`
    going to fsspec; a destination URL becomes an object only once whole.
    Keys (most significant first) are record names or `molbrook.TITLE`
    (text order, ascending) or `SortKey`s; ties keep input order, and
    without keys the blocks keep it. With `group` (a record name, or
    `molbrook.TITLE` for the title; `group_on_title=True` is its old
    spelling, kept for one release), only the first
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
    call, as they are read (for a progress bar). A key or group whose record
    no block has gets a `MissingRecordWarning` before anything is written
    (the blocks are still sorted, that value missing in all of them). The
    sort runs on the calling thread.

    Parameters
    ----------
    sources : Source or list of Source
        What to read, in this order, all str or all bytes.
    dest : Path or file object
        Where the blocks go.
    by : Key, SortKey or a sequence of them
        The keys, most significant first; a bare name sorts as text, ascending.
    group : Key, optional
        Keep only the first `per_group` blocks of each group of equal values.
    group_on_title : bool, default False
        The old spelling of `group=molbrook.TITLE`, kept for one release.
    per_group : int, optional
        Blocks kept per group (default 1 with `group`).
    top : int, optional
        Keep only the first N blocks of the result.
    duplicates : Path or file object, optional
        Where the blocks beyond `per_group` go, in input order.
    provenance : str or bytes, optional
        A record set on every block written to SOURCE:ORDINAL.
    memory : int or str, default "256MiB"
        The budget for keys and offsets, past which runs spill to files.
    tmpdir : Path, optional
        Where spilled runs go (default: the system's temporary folder).
    progress : callable, optional
        Called with the number of source bytes read since its last call.
    storage_options : dict, optional
        Options for fsspec when a source or destination is a URL
        (credentials, endpoint).

    Returns
    -------
    SortSummary
        Counts of what was read, written, dropped and spilled.

    Raises
    ------
    ValueError
        A bad key, group, count or memory size, or `duplicates` the same
        file as `dest`, before anything is read; a source read back by
        offset that changed while it was sorted (the destinations stay as
        they were).
    TypeError
        Sources of both kinds, or arguments of the wrong type.
    MalformedRecordError
        A malformed record in a block read for a key (no destination is
        left behind).

    Examples
    --------
    >>> import molbrook
    >>> molbrook.sort_sdf("python/molbrook/data/sample.sdf", "by-weight.sdf", by=molbrook.SortKey("MW", kind="number"))
    SortSummary(blocks_in=5, blocks_out=5, missing_dropped=0, duplicates=0, spilled_runs=0)
    >>> [block.title for block in molbrook.parse_sdf("by-weight.sdf")]
    ['methylamine', 'acetonitrile', 'ethanol', 'acetic acid', 'benzene']
    """
    items = list(sources) if isinstance(sources, (list, tuple)) else [sources]
    is_bytes = _kind_of(items)
    keys = tuple(_native_key(key, is_bytes) for key in _keys(by))
    if not isinstance(group_on_title, bool):
        raise TypeError(f"group_on_title must be a bool, not {type(group_on_title).__name__}")
    if group_on_title:
        deprecated("sort_sdf(group_on_title=True)", "sort_sdf(group=molbrook.TITLE)")
        if group is not None:
            raise ValueError("give group or group_on_title, not both")
        group = TITLE
    group_key = _group_key(group, per_group, is_bytes)
    counts = [_count(value, name) for value, name in ((per_group, "per_group"), (top, "top"))]
    budget = byte_size(memory, "memory")
    provenance_name = None if provenance is None else _record_name(provenance, is_bytes, "provenance")
    labels = tuple(_label(source, is_bytes) for source in items)
    if duplicates is not None and same_destination(dest, duplicates):
        raise ValueError("dest and duplicates are the same file: the duplicates would be written over")
    folder_in = None if tmpdir is None else os.fsdecode(tmpdir)
    with tempfile.TemporaryDirectory(prefix="molbrook-sort-", dir=folder_in) as folder:
        sorter = native._Sorter(
            keys=keys,
            group=group_key,
            per_group=counts[0] or 1,
            top=counts[1],
            memory=budget,
            folder=folder,
            is_bytes=is_bytes,
            provenance=provenance_name,
            labels=labels,
        )
        try:
            for number, source in enumerate(items):
                _add(sorter, source, number, budget, progress, storage_options)
            _warn_unmatched(sorter, [key.name for key in (*keys, *([group_key] if group_key else []))], is_bytes)
            with (
                atomic_destination(dest, storage_options) as out,
                _optional_destination(duplicates, storage_options) as aside,
            ):
                written = sorter.write(out, as_bytes=not isinstance(out, io.TextIOBase), duplicates=False)
                if aside is not None:
                    sorter.write(aside, as_bytes=not isinstance(aside, io.TextIOBase), duplicates=True)
            return SortSummary(
                blocks_in=sorter.blocks_in,
                blocks_out=written,
                missing_dropped=sorter.missing_dropped,
                duplicates=sorter.duplicates,
                spilled_runs=sorter.spilled_runs,
            )
        finally:
            sorter.close()


def same_destination(first: Any, second: Any) -> bool:
    """Whether two destinations (paths or file objects) are one file: the same
    object, or one regular file by any alias (the same path, a symbolic link,
    a hard link, a descriptor open on it).

    >>> same_destination("out.sdf", "./out.sdf")
    True
    """
    if first is second:
        return True
    if is_path(first) and is_path(second) and _real(first) == _real(second):
        return True
    there = _regular_file(first), _regular_file(second)
    return None not in there and os.path.samestat(*there)  # type: ignore[arg-type]


def _real(path: Path) -> bytes:
    return os.path.realpath(os.fsencode(path))


def _regular_file(dest: Any) -> os.stat_result | None:
    """The regular file a destination names or writes to; None for none yet,
    or for a terminal or a pipe, which two writers may share."""
    try:
        there = os.stat(dest) if is_path(dest) else os.fstat(dest.fileno())
    except (AttributeError, OSError, ValueError):
        return None
    return there if stat.S_ISREG(there.st_mode) else None


def _warn_unmatched(sorter: native._Sorter, names: Sequence[bytes | None], is_bytes: bool) -> None:
    """A MissingRecordWarning for each record name of the keys and the group
    (None for the title) that no block had, once blocks were read."""

    def shown(name: bytes) -> str | bytes:
        return name if is_bytes else name.decode("utf-8", "surrogateescape")

    unmatched = [name for name, found in zip(names, sorter.keys_found) if name is not None and not found]
    for name in dict.fromkeys(unmatched) if sorter.blocks_in else ():
        warnings.warn(MissingRecordWarning(shown(name), [shown(seen) for seen in sorter.names_seen]), stacklevel=3)


def _kind_of(sources: list[Any]) -> bool:
    """True when the sources give bytes blocks; TypeError when they differ."""
    kinds = set()
    for source in sources:
        if is_path(source):
            kinds.add(isinstance(os.fspath(source), bytes))
        elif hasattr(source, "read"):
            kinds.add(not isinstance(source, io.TextIOBase))
        else:
            raise TypeError(f"sort_sdf sources are paths or file objects, not {type(source).__name__}")
    if len(kinds) > 1:
        raise TypeError("sort_sdf sources must be all str or all bytes (paths and file objects alike)")
    return kinds == {True}


def _keys(by: object) -> list[Key | SortKey]:
    if isinstance(by, (str, bytes, SortKey)) or by is TITLE:
        return [by]
    if not isinstance(by, (list, tuple)):
        raise TypeError(f"by must be a sequence of record names and SortKeys, not {type(by).__name__}")
    return list(by)


def _record_name(name: object, is_bytes: bool, what: str) -> bytes:
    if name is TITLE:
        raise TypeError(f"{what} must be a record name, not molbrook.TITLE")
    return key_name(name, is_bytes, what)  # type: ignore[return-value]


class _NativeKey(NamedTuple):
    """A key as the sorter reads it, by attribute: the record's name (None
    for the title), and kind and missing as indices of _KINDS and _MISSING."""

    name: bytes | None
    kind: int = 0
    descending: bool = False
    missing: int = 0


def _native_name(key: object, is_bytes: bool, what: str) -> bytes | None:
    """A key's record name as the sorter takes it; None for the title."""
    name = key_name(key, is_bytes, what)
    return None if name is TITLE else name  # type: ignore[return-value]


def _native_key(key: object, is_bytes: bool) -> _NativeKey:
    if isinstance(key, (str, bytes)) or key is TITLE:
        key = SortKey(key)
    if not isinstance(key, SortKey):
        raise TypeError(f"a sort key is a record name, molbrook.TITLE or a SortKey, not {type(key).__name__}")
    return _NativeKey(
        _native_name(key.name, is_bytes, "a SortKey's name"),
        kind=_KINDS.index(key.kind),
        descending=bool(key.descending),
        missing=_MISSING.index(key.missing),
    )


def _group_key(group: object, per_group: object, is_bytes: bool) -> _NativeKey | None:
    if group is None:
        if per_group is not None:
            raise ValueError("per_group needs group")
        return None
    return _NativeKey(_native_name(group, is_bytes, "group"))


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
    if not is_path(source):
        return b"-"
    path = os.fspath(source)
    return path if isinstance(path, bytes) else path.encode("utf-8", "surrogateescape")


def _add(
    sorter: native._Sorter,
    source: Any,
    number: int,
    budget: int,
    progress: Callable[[int], object] | None,
    storage_options: Mapping[str, Any] | None,
) -> None:
    url = is_url(source)
    path = os.fspath(source) if is_path(source) and not url else None
    try:
        index = _bgzf_index(path, budget) if path is not None else None
        if index is not None:
            sorter.add_indexed(index, source=number, progress=progress)
        else:
            sorter.add(
                blocks(source, borrow=True, storage_options=storage_options),
                source=number,
                path=path,
                progress=progress,
            )
    except native.MalformedRecordError as error:
        named = source if url else os.fsdecode(path) if path is not None else "a file object"
        error.add_note(f"In source {number} ({named}).")
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
def _optional_destination(dest: Any, storage_options: Mapping[str, Any] | None) -> Iterator[IO[bytes] | None]:
    if dest is None:
        yield None
        return
    with atomic_destination(dest, storage_options) as out:
        yield out
