"""SD files named by URL, read and written through fsspec (the `remote`
extra).

A str of the form PROTOCOL://... whose protocol fsspec knows, other than
`file`, is a URL (a local path of that form is written ./...; bytes paths
are always local). Every public function resolves its sources through
`blocks`, `stream`, `range_blocks` and `Remote`, and its destinations through
`destination`, so a URL is as good as a path everywhere.

Whole objects are read ahead on a thread in requests of at least `PIECE`
bytes; ranges are fetched with ranged GETs, and past their end only as far
as the last block needs, in growing steps. A server that ignores Range is
noticed (its reply holds the whole object) and that reply is used, never
bytes from another offset. Outputs are spooled to a local temporary file
and uploaded once whole: object stores make an upload visible only when it
completes (a failed multipart upload is aborted), other filesystems get a
temporary object moved into place.
"""

from __future__ import annotations

import contextlib
import errno
import itertools
import os
import re
import tempfile
import threading
from collections.abc import Generator, Iterator, Mapping
from typing import IO, Any, cast

from molbrook import native
from molbrook._parallel import BLOCKSIZE
from molbrook._read_ahead import ReadAhead, decompressed_blocks
from molbrook._types import byte_size

__all__ = ["PIECE", "Remote", "Replaced", "blocks", "destination", "is_url", "range_blocks", "read_ahead", "stream"]

# The least a sequential read asks a server for at once; requests double
# from there up to LARGEST_PIECE (fewer requests, as some servers pay per
# request in proportion to the object).
PIECE = 4 << 20
LARGEST_PIECE = 32 << 20
# Past a range's end, the first step (the native reader's chunk: its last
# read past the end is served by the range's request); each further step
# is twice as long.
FIRST_STEP = 128 << 10
# A range is fetched in requests of up to a default partition and its
# first step, so that such a partition costs one request: some stores read
# the whole object for every ranged GET. Its bytes live while it is parsed,
# as its table does.
LARGEST_RANGE_PIECE = byte_size(BLOCKSIZE, "blocksize") + FIRST_STEP
_AHEAD = 2  # pieces fetched before the reader needs them
_SCHEME = re.compile(r"([A-Za-z][A-Za-z0-9+.\-]+)://")
_LOCAL = {"file", "local"}
# Stores whose uploads appear whole or not at all.
_ATOMIC_UPLOADS = {"s3", "s3a", "gs", "gcs", "abfs", "az", "adl", "memory"}
# Stores whose ranged GETs can be made conditional on the ETag (If-Match).
_CONDITIONAL = {"http", "https"}
# The fields of an object's info that tell one version of it from another,
# in order of preference.
_IDENTITY_FIELDS = ("ETag", "etag", "LastModified", "last_modified", "mtime", "updated", "created")


def fsspec() -> Any:
    try:
        import fsspec as module  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        raise ImportError(
            "reading or writing URLs needs fsspec: pip install 'molbrook[remote]' "
            "(and the filesystem for the URL, such as s3fs, gcsfs, adlfs or aiohttp)"
        ) from None
    return module


def is_url(source: object) -> bool:
    """Whether `source` is a URL: a str PROTOCOL://... whose protocol fsspec
    knows, other than file.

    >>> is_url("s3://bucket/library.sdf.gz"), is_url("./s3://x"), is_url(b"s3://x")
    (True, False, False)
    """
    if not isinstance(source, str):
        return False
    match = _SCHEME.match(source)
    if match is None or match.group(1).lower() in _LOCAL:
        return False
    return match.group(1).lower() in fsspec().available_protocols()


def options(storage_options: Mapping[str, Any] | None) -> dict[str, Any]:
    if storage_options is None:
        return {}
    if not isinstance(storage_options, Mapping):
        raise TypeError(f"storage_options must be a dict, not {type(storage_options).__name__}")
    return dict(storage_options)


def local_only(source: object, storage_options: object, what: str) -> None:
    """TypeError for storage_options given with a source that is no URL."""
    if storage_options is not None and not is_url(source):
        raise TypeError(f"{what}: storage_options apply to URLs only, not to {source!r}")


class Replaced(ValueError):
    """An object replaced (a new ETag or modification time) between two
    reads of it: its bytes would be a mix of two objects."""

    def __init__(self, url: str) -> None:
        super().__init__(f"{url} was replaced while it was read: read it again")


def _protocols(fs: Any) -> set[str]:
    return {fs.protocol} if isinstance(fs.protocol, str) else set(fs.protocol)


@contextlib.contextmanager
def naming(url: str) -> Iterator[None]:
    """Errors of a store's client as one-line OSErrors naming `url` (a
    failed If-Match as Replaced)."""
    try:
        yield
    except FileNotFoundError:
        raise FileNotFoundError(errno.ENOENT, "no such object", url) from None
    except PermissionError:
        raise PermissionError(errno.EACCES, "permission denied", url) from None
    except (ValueError, TypeError, ImportError):
        raise
    except Exception as error:
        if getattr(error, "status", None) == 412:
            raise Replaced(url) from None
        if getattr(error, "status", None) in (401, 403):
            raise PermissionError(errno.EACCES, "permission denied", url) from None
        if isinstance(error, OSError) and url in str(error):
            raise
        reason = str(error).splitlines()[0] if str(error) else type(error).__name__
        raise OSError(errno.EIO, f"reading or writing failed ({reason})", url) from error


class Remote:
    """An object named by a URL: its size and identity (ETag or
    modification time) from one info request (or from the `stamp` of an
    earlier one, in another process), and ranged reads, each checked
    against that identity: by If-Match where the store takes it, else by
    the object's info asked again after the read.

    >>> Remote("memory://x.sdf").size  # doctest: +SKIP
    1234
    """

    def __init__(
        self, url: str, storage_options: Mapping[str, Any] | None = None, stamp: Mapping[str, Any] | None = None
    ) -> None:
        self.url = url
        with naming(url):
            self.fs, self.path = fsspec().core.url_to_fs(url, **options(storage_options))
        self._info = dict(stamp) if stamp is not None else self._fetch_info()
        self.ranged = True  # False once a server is seen to ignore Range
        # If-Match compares strong ETags only: a weak one (W/"...") never matches.
        etag = self._info.get("ETag")
        strong = isinstance(etag, str) and not etag.startswith("W/")
        self._condition = {"headers": {"If-Match": etag}} if strong and _protocols(self.fs) & _CONDITIONAL else None

    def _fetch_info(self) -> dict[str, Any]:
        with naming(self.url):
            info = dict(self.fs.info(self.path))
        if info.get("type") == "directory":
            raise IsADirectoryError(errno.EISDIR, "a folder, not an SD file", self.url)
        return info

    @property
    def size(self) -> int:
        return int(self._info["size"])

    @property
    def identity(self) -> tuple[int, str]:
        """The size and the ETag (else the modification time) the store gives."""
        return identity_of(self._info)

    @property
    def stamp(self) -> dict[str, Any]:
        """The size and identity field of the object's info: what a Remote
        of the same object in another process checks its reads against."""
        return {name: self._info[name] for name in ("size", _identity_field(self._info)) if name is not None}

    def check_unchanged(self) -> None:
        """Replaced when the object is not the one first seen."""
        with naming(self.url):
            self.fs.invalidate_cache(self.path)
        if identity_of(self._fetch_info()) != self.identity:
            raise Replaced(self.url)

    def get(self, start: int, end: int, *, check: bool = True) -> bytes:
        """Bytes [start, end) from one ranged GET of the object first seen
        (Replaced if it was replaced); the whole object's bytes sliced when
        the server ignored Range. `check=False` spares a store without
        If-Match the info request after the GET, for bytes whose hash is
        checked instead."""
        end = min(end, self.size)
        if start >= end:
            return b""
        data = self._fetch(start, end, check)
        return data if len(data) == end - start else data[start:end]

    def _fetch(self, start: int, end: int, check: bool = True) -> bytes:
        """The reply to a ranged GET of [start, end): those bytes, or the
        whole object from a server that ignores Range (`ranged` then False)."""
        with naming(self.url):
            data = bytes(self.fs.cat_file(self.path, start=start, end=end, **(self._condition or {})))
        if self._condition is None and check:
            self.check_unchanged()
        if len(data) == end - start:
            return data
        if len(data) == self.size:
            self.ranged = False
            return data
        raise OSError(errno.EIO, f"asked for bytes {start}-{end}, the server sent {len(data)}", self.url)

    def pieces(self, start: int = 0) -> Generator[bytes, None, None]:
        """The bytes from `start` on, in pieces of at least PIECE bytes (one
        request each, or one for all when the object is smaller), growing to
        LARGEST_PIECE; from a server that ignores Range, the rest of the
        first reply, which holds the whole object, and no other request."""
        cuts = [start]
        step = PIECE
        while self.size - cuts[-1] >= 2 * step:
            cuts.append(cuts[-1] + step)
            step = min(2 * step, LARGEST_PIECE)
        cuts.append(self.size)
        for at, stop in itertools.pairwise(cuts):
            if at >= stop:
                return
            data = self._fetch(at, stop)
            if len(data) != stop - at:
                yield data[at:]
                return
            yield data

    def head_bytes(self, size: int) -> bytes:
        return self.get(0, size)


def _identity_field(info: Mapping[str, Any]) -> str | None:
    return next((name for name in _IDENTITY_FIELDS if info.get(name) is not None), None)


def identity_of(info: Mapping[str, Any]) -> tuple[int, str]:
    """The size and the ETag (else the modification time) of an object's info or stamp."""
    field = _identity_field(info)
    return int(info["size"]), "" if field is None else str(info[field])


def read_ahead(remote: Remote, start: int = 0) -> ReadAhead:
    """The bytes of `remote` from `start` on as a binary stream, fetched by a
    thread a few pieces ahead of the reader, each piece checked against the
    object first seen, so that a replaced object raises rather than reading
    as a mix of two."""
    return ReadAhead(lambda: remote.pieces(start), ahead=_AHEAD, name=remote.url)


class RangeReader:
    """`read_at(offset, size)` over a remote object for a reader of its
    blocks in [start, end): the range is fetched in pieces of at most
    LARGEST_RANGE_PIECE bytes, the piece reaching `end` taking the first
    FIRST_STEP bytes past it along (most ranges then cost one request), and
    past that in steps growing from twice FIRST_STEP; each fetched byte kept
    until the reader moves past it."""

    def __init__(self, remote: Remote, end: int) -> None:
        self._remote = remote
        self._step = FIRST_STEP
        self._reach = end + FIRST_STEP  # how far the next request may go
        self._base = 0
        self._data = b""

    def read_at(self, offset: int, size: int) -> bytes:
        stop = min(offset + size, self._remote.size)
        if not self._base <= offset or stop > self._base + len(self._data):
            self._fill(offset, stop)
        return self._data[offset - self._base : stop - self._base]

    def _fill(self, offset: int, stop: int) -> None:
        kept = self._data[offset - self._base :] if self._base <= offset < self._base + len(self._data) else b""
        have = offset + len(kept)
        want = max(stop, min(offset + LARGEST_RANGE_PIECE, self._reach))
        if want >= self._reach:
            self._step *= 2
            self._reach = want + self._step
        self._data = kept + self._remote.get(have, want)
        self._base = offset


def stream(
    url: str, storage_options: Mapping[str, Any] | None = None, stamp: Mapping[str, Any] | None = None
) -> IO[bytes]:
    """The whole object `url` names (the one `stamp` describes, when given)
    as a binary stream, read ahead on a thread: the one way a URL is read
    from its start to its end."""
    return cast(IO[bytes], read_ahead(Remote(url, storage_options, stamp)))


def blocks(
    source: Any,
    *,
    borrow: bool = False,
    storage_options: Mapping[str, Any] | None = None,
    stamp: Mapping[str, Any] | None = None,
) -> Any:
    """parse_sdf of a path, file object or URL (the object `stamp`
    describes, when given): the one place every reader of whole sources
    opens them."""
    if not is_url(source):
        local_only(source, storage_options, "parse_sdf")
        if (decompressed := decompressed_blocks(source)) is not None:
            return decompressed
        return native.parse_sdf(source, borrow=borrow)
    return native._parse_text_stream(stream(source, storage_options, stamp))


def range_blocks(
    path: Any,
    start: int,
    end: int,
    *,
    borrow: bool = False,
    storage_options: Mapping[str, Any] | None = None,
    stamp: Mapping[str, Any] | None = None,
) -> Any:
    """parse_sdf_range of a path or URL. `stamp` is the object as cutting it
    into partitions saw it, plain (only plain objects are cut into byte
    ranges): its reads are checked against it (Replaced if it is no longer
    there), and its compression is not asked again."""
    if not is_url(path):
        local_only(path, storage_options, "parse_sdf_range")
        return native.parse_sdf_range(path, start, end, borrow=borrow)
    remote = Remote(path, storage_options, stamp)
    compression = None if stamp is not None else native._compression_of(memoryview(remote.head_bytes(16)))
    if compression is not None:
        raise ValueError(f"parse_sdf_range cannot read a byte range of {path!r}: it is {compression}-compressed")
    return native._parse_range_at(RangeReader(remote, end).read_at, name=path, start=start, end=end)


@contextlib.contextmanager
def destination(dest: str, storage_options: Mapping[str, Any] | None = None) -> Iterator[IO[bytes]]:
    """A binary stream whose bytes become the object `dest` names, whole or
    not at all, once the block ends without an exception: spooled to a
    local temporary file, then uploaded (to a temporary object moved into
    place where uploads are not atomic)."""
    with naming(dest):
        fs, path = fsspec().core.url_to_fs(dest, **options(storage_options))
    fd, spool_path = tempfile.mkstemp(prefix="molbrook-upload-")
    try:
        with os.fdopen(fd, "wb") as spool:
            yield spool
        _upload(fs, path, dest, spool_path)
    finally:
        os.unlink(spool_path)


def _upload(fs: Any, path: str, dest: str, spool_path: str) -> None:
    atomic = bool(_protocols(fs) & _ATOMIC_UPLOADS)
    target = path if atomic else f"{path}.molbrook-{os.getpid()}-{threading.get_ident()}.tmp"
    with naming(dest):
        try:
            fs.put_file(spool_path, target)
        except BaseException:
            if not atomic:
                with contextlib.suppress(Exception):
                    fs.rm(target)
            raise
        if not atomic:
            fs.mv(target, path)
