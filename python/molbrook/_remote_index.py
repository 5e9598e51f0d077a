"""The index of a remote SD file, kept in a local cache folder.

The index is built in one streaming pass over the object and kept, with
the object's stamp (its size, its ETag or modification time and hashes of
its first and last 64 KiB), in `$XDG_CACHE_HOME/molbrook/index` (or the
folder given), under a name derived from the URL. Reopening it costs one
info request and two ranged GETs of 64 KiB; blocks are then read by
ranged GETs of their bytes (for BGZF, of the members holding them).
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import warnings
from collections.abc import Iterator, Mapping
from typing import IO, Any, cast

from molbrook import _bgzf, native
from molbrook._output import whole_file
from molbrook._read_ahead import ReadAhead
from molbrook._remote import Remote, Replaced, identity_of, read_ahead
from molbrook.native import SDIndex

__all__ = ["cache_folder", "index_remote"]

STAMP_SPAN = 64 << 10


def cache_folder(cache: object) -> str:
    """The folder remote indexes are kept in: `cache`, else
    $XDG_CACHE_HOME/molbrook/index (~/.cache when unset)."""
    if cache is not None:
        if not isinstance(cache, (str, os.PathLike)):
            raise TypeError(f"cache must be a folder path, not {type(cache).__name__}")
        return os.fspath(cache)
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "molbrook", "index")


class _Data:
    """`read_at` over the object: the first and last 64 KiB as fetched for
    its stamp, a sequential pass from a read-ahead stream while the index is
    built, and a ranged GET for anything else."""

    def __init__(self, remote: Remote, head: bytes, tail: bytes) -> None:
        self.remote = remote
        self._head = head
        self._tail = tail
        self._stream: ReadAhead | None = None
        self._scanning = False
        self._position = 0

    def read_at(self, offset: int, size: int) -> bytes:
        end = min(offset + size, self.remote.size)
        tail_start = self.remote.size - len(self._tail)
        if end <= len(self._head):
            return self._head[offset:end]
        if offset >= tail_start:
            return self._tail[offset - tail_start : end - tail_start]
        if self._scanning and offset == self._position:
            if self._stream is None:
                self._stream = read_ahead(self.remote, offset)
            return self._from_stream(end - offset)
        return self.remote.get(offset, end)

    def _from_stream(self, size: int) -> bytes:
        assert self._stream is not None
        parts = []
        while size > 0 and (part := self._stream.read(size)):
            parts.append(part)
            size -= len(part)
            self._position += len(part)
        return b"".join(parts)

    @contextlib.contextmanager
    def scanning(self) -> Iterator[None]:
        """Within the block, reads from the start on in order come from one
        read-ahead stream (an index being built)."""
        self._scanning = True
        try:
            yield
        finally:
            self._scanning = False
            if self._stream is not None:
                self._stream.close()
                self._stream = None

    # The BGZF module's part for the native index: members streamed from
    # the one at `start` on, and inflate.
    def members(self, _url: str, start: int) -> Iterator[tuple[int, int, bytes]]:
        stream = read_ahead(self.remote, start)
        try:
            yield from _bgzf.read_members(cast(IO[bytes], stream), start)
        finally:
            stream.close()

    @staticmethod
    def inflate(raw: bytes | memoryview, skip: int, size: int) -> bytes:
        return _bgzf.inflate(raw, skip, size)


def _stamp(remote: Remote, head: bytes, tail: bytes) -> dict[str, Any]:
    return {
        "url": remote.url,
        "size": remote.size,
        "identity": remote.identity[1],
        "head": hashlib.sha256(head).hexdigest(),
        "tail": hashlib.sha256(tail).hexdigest(),
    }


def _read_stamp(path: str) -> Any:
    try:
        with open(path, encoding="utf-8") as file:
            return json.load(file)
    except (OSError, ValueError):
        return None


def _read_index(path: str) -> bytes | None:
    try:
        with open(path, "rb") as file:
            return file.read()
    except OSError:
        return None


def index_remote(
    url: str,
    key: object,
    cache: object,
    keep: bool,
    storage_options: Mapping[str, Any] | None,
    seen: Mapping[str, Any] | None = None,
) -> SDIndex[Any]:
    """The index of the object at `url` (`key` as the native index takes
    it), reused from the cache folder while its stamp matches the object;
    `keep=False` neither reads nor writes the cache. `seen`, the stamp of
    the object when it was cut into partitions: Replaced unless it is
    still that object."""
    from molbrook._types import TITLE

    remote = Remote(url, storage_options)
    if seen is not None and identity_of(seen) != remote.identity:
        raise Replaced(url)
    # Checked by their hashes against the kept stamp: an object replaced
    # since the info request fails that (or the first lookup's check).
    head = remote.get(0, STAMP_SPAN, check=False)
    tail = remote.get(max(0, remote.size - STAMP_SPAN), remote.size, check=False)
    data = _Data(remote, head, tail)
    bgzf = _format(url, head)
    name = hashlib.sha256(url.encode("utf-8", "surrogateescape")).hexdigest()
    folder = cache_folder(cache)
    sidecar, stamp_path = os.path.join(folder, name + ".mbi"), os.path.join(folder, name + ".json")
    stamp = _stamp(remote, head, tail)
    kept = _read_index(sidecar) if keep and _read_stamp(stamp_path) == stamp else None
    with data.scanning():
        index, built = native._open_index(
            url,
            sidecar=kept,
            key=None if key is TITLE else cast(bytes, key),
            on_title=key is TITLE,
            bgzf=data if bgzf else None,
            read_at=data.read_at,
            size=remote.size,
            fresh=kept is not None,
        )
    if built is not None and keep:
        _keep(folder, sidecar, stamp_path, built, stamp)
    return index


def _format(url: str, head: bytes) -> bool:
    """Whether the object is BGZF (else plain); ValueError for any other
    compression, which an index cannot read at offsets."""
    compression = native._compression_of(memoryview(head))
    return _bgzf.is_indexable(url, compression, compression == "gzip" and _bgzf.is_bgzf(head), "URL")


def _keep(folder: str, sidecar: str, stamp_path: str, built: bytes, stamp: dict[str, Any]) -> None:
    """Writes the index, then its stamp, each whole; a failure warns, the
    index in memory serving all the same."""
    try:
        os.makedirs(folder, exist_ok=True)
        with whole_file(sidecar) as file:
            file.write(built)
        with whole_file(stamp_path) as file:
            file.write(json.dumps(stamp).encode("utf-8"))
    except OSError as error:
        warnings.warn(
            f"the index of {stamp['url']} could not be kept in {folder!r} ({error.strerror or error}); "
            "it is held in memory only",
            RuntimeWarning,
            stacklevel=4,
        )
