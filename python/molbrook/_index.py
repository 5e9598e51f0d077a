"""Random access to SD files: `index_sdf` and the index it keeps beside
the file (PATH.mbi), rebuilt or extended whenever the file changed."""

from __future__ import annotations

import contextlib
import os
import stat
import warnings
from collections.abc import Mapping
from typing import Any

from molbrook import _bgzf, native
from molbrook._output import whole_file
from molbrook._remote import is_url, local_only
from molbrook._types import TITLE, Key, Path, Title, deprecated, is_path, key_name
from molbrook.native import SDIndex, _compression_of

__all__ = ["index_sdf"]

SUFFIX = ".mbi"
_READ_FLAGS = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0)


def index_sdf(
    path: Path,
    *,
    key: Key | None = None,
    on_title: bool = False,
    sidecar: bool | Path = True,
    cache: str | os.PathLike[str] | None = None,
    storage_options: Mapping[str, Any] | None = None,
) -> SDIndex[Any]:
    """An index of the blocks of an SD file, for random access by ordinal
    and, with `key`, by key.

    `path` names a plain SD file or a BGZF file (gzip that molbrook writes);
    blocks come back as `parse_sdf(path)` gives them: str blocks for a str
    path, bytes blocks for a bytes path. `key` is a record name (the key of
    a block is what `block.get(key)` returns) or `molbrook.TITLE` (its
    title); blocks without one have no key. `on_title=True` is the old
    spelling of `key=molbrook.TITLE`, kept for one release.

    With `sidecar=True` the index is kept beside the file as PATH.mbi (or at
    the path given), reused while it matches the file, extended when the
    file was appended to, and rebuilt otherwise; `sidecar=False` builds it
    in memory only. A sidecar that cannot be written is not an error: a
    RuntimeWarning says so and the index is held in memory. So it is when
    the sidecar is no regular file (a pipe, a device) or, by a link, the
    data file itself: such a sidecar is neither read nor replaced.

    A URL (`s3://bucket/library.sdf`, `https://...`; see `parse_sdf`) is
    indexed in one streaming pass, its index kept in a local cache folder
    (`cache`, else $XDG_CACHE_HOME/molbrook/index) while the object's size,
    ETag or modification time and first and last 64 KiB stay the same;
    `sidecar=False` keeps it in memory only. Blocks are then fetched by
    ranged requests of their bytes. `storage_options` (a dict) go to fsspec.

    The index is built on the calling thread.

    Parameters
    ----------
    path : Path
        A plain SD file or a BGZF file.
    key : Key, optional
        What keys the blocks for `get` and `get_all`: a record name or
        `molbrook.TITLE`.
    on_title : bool, default False
        The old spelling of `key=molbrook.TITLE`, kept for one release.
    sidecar : bool or Path, default True
        Keep the index beside the file (True), at another path, or in
        memory only (False).
    cache : Path, optional
        The folder a URL's index is kept in; $XDG_CACHE_HOME/molbrook/index
        when not given. Only for a URL.
    storage_options : dict, optional
        Options for fsspec when `path` is a URL (credentials, endpoint);
        only for a URL.

    Returns
    -------
    SDIndex
        The index; a context manager that closes the file.

    Raises
    ------
    ValueError
        A directory, a pipe, or a file compressed otherwise than as BGZF
        (with what to do about it).

    Examples
    --------
    >>> import molbrook
    >>> with molbrook.index_sdf("python/molbrook/data/sample.sdf", key="ID", sidecar=False) as idx:
    ...     print(len(idx), idx[-1].title, idx.get("MB-0004").title)
    5 acetonitrile benzene
    """
    if not is_path(path):
        raise TypeError(f"index_sdf takes a path (str, bytes or os.PathLike), not {type(path).__name__}")
    data = os.fspath(path)
    name = _key_name(data, key, on_title)
    if is_url(data):
        from molbrook._remote_index import index_remote

        if not isinstance(sidecar, bool):
            raise TypeError("index_sdf of a URL keeps its index in the cache folder: give cache=, not a sidecar path")
        return index_remote(data, name, cache, sidecar, storage_options)  # type: ignore[arg-type]
    local_only(data, storage_options, "index_sdf")
    bgzf = _format(data)
    place = _sidecar_path(data, sidecar)
    kept, unkept = _kept_index(place, data) if place is not None else (None, None)
    index, built = native._open_index(
        data, sidecar=kept, key=name if isinstance(name, bytes) else None, on_title=name is TITLE, bgzf=bgzf
    )
    if place is not None:
        if built is not None and unkept is None:
            unkept = _keep(built, place)
        if unkept is not None:
            warnings.warn(
                f"the index of {os.fsdecode(data)!r} could not be kept in {os.fsdecode(place)!r} "
                f"({unkept}); it is held in memory only",
                RuntimeWarning,
                stacklevel=2,
            )
    return index


def _key_name(data: str | bytes, key: object, on_title: object) -> bytes | Title | None:
    """The key as the native index takes it: TITLE, UTF-8 bytes, or None."""
    if not isinstance(on_title, bool):
        raise TypeError(f"on_title must be a bool, not {type(on_title).__name__}")
    if on_title:
        deprecated("index_sdf(on_title=True)", "index_sdf(key=molbrook.TITLE)", stacklevel=4)
        if key is not None and key is not TITLE:
            raise ValueError("give key or on_title, not both")
        return TITLE
    return None if key is None else key_name(key, isinstance(data, bytes))


def _format(data: str | bytes) -> object:
    """molbrook._bgzf for a BGZF file, None for a plain one; ValueError,
    saying what to do, for anything an index cannot read at offsets."""
    mode = os.stat(data).st_mode
    if stat.S_ISDIR(mode):
        raise ValueError(f"{data!r} is a directory: index_sdf needs an SD file")
    if not stat.S_ISREG(mode):
        raise ValueError(
            f"{data!r} is not a regular file (a pipe or a device): index_sdf reads at offsets, "
            "so save the data to a file first"
        )
    compression = _compression_of(data)
    bgzf = compression == "gzip" and _bgzf.is_bgzf_file(data)
    return _bgzf if _bgzf.is_indexable(data, compression, bgzf, "FILE") else None


def _sidecar_path(data: str | bytes, sidecar: object) -> str | bytes | None:
    if sidecar is True:
        return data + (SUFFIX if isinstance(data, str) else os.fsencode(SUFFIX))  # type: ignore[operator]
    if sidecar is False:
        return None
    if not is_path(sidecar):
        raise TypeError(f"sidecar must be a bool or a path, not {type(sidecar).__name__}")
    place = os.fspath(sidecar)
    with contextlib.suppress(OSError):
        if os.path.samefile(place, data):
            raise ValueError(f"the sidecar {place!r} is the data file itself")
    return place


def reused_index(data: str | bytes, bgzf: object) -> SDIndex[Any]:
    """The index of `data` (bgzf as `_format` tells it) from the sidecar
    beside it while that still describes it, else built in memory: nothing
    is written."""
    kept, _ = _kept_index(_sidecar_path(data, True), data)  # type: ignore[arg-type]
    return native._open_index(data, sidecar=kept, bgzf=bgzf)[0]


def _kept_index(place: str | bytes, data: str | bytes) -> tuple[bytes | None, str | None]:
    """The bytes of the index file at `place` (None when there is none to
    read), read whole so that its being rewritten later cannot touch the
    open index, or why `place` must be neither read nor replaced: it is no
    regular file (reading a pipe would block), or the data file by a link."""
    try:
        status = os.stat(place)
    except OSError:
        return None, None  # nothing there, or unreachable: writing it says why
    if not stat.S_ISREG(status.st_mode):
        return None, "it is not a regular file"
    if os.path.samestat(status, os.stat(data)):
        return None, "it is the data file itself"
    try:
        # Without blocking, should a pipe have taken the file's place since.
        with open(os.open(place, _READ_FLAGS), "rb") as file:
            return (file.read() if stat.S_ISREG(os.fstat(file.fileno()).st_mode) else None), None
    except OSError:
        return None, None


def _keep(built: bytes, place: str | bytes) -> str | None:
    """Writes the index file whole or not at all; why it failed, if it did
    (the index in memory serves all the same)."""
    try:
        with whole_file(place) as file:
            file.write(built)
    except OSError as error:
        return error.strerror or str(error)
    return None
