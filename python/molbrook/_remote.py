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
import io
import itertools
import os
import queue
import re
import tempfile
import threading
from collections.abc import Iterator, Mapping
from typing import IO, Any, cast

from molbrook import native

__all__ = ["PIECE", "Remote", "blocks", "destination", "is_url", "range_blocks", "stream"]

# The least a sequential read asks a server for at once; requests double
# from there up to LARGEST_PIECE (fewer requests, as some servers pay per
# request in proportion to the object).
PIECE = 4 << 20
LARGEST_PIECE = 32 << 20
# Past a range's end, the first step; each further step is twice as long.
FIRST_STEP = 64 << 10
_AHEAD = 2  # pieces fetched before the reader needs them
_SCHEME = re.compile(r"([A-Za-z][A-Za-z0-9+.\-]+)://")
_LOCAL = {"file", "local"}
# Stores whose uploads appear whole or not at all.
_ATOMIC_UPLOADS = {"s3", "s3a", "gs", "gcs", "abfs", "az", "adl", "memory"}


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


@contextlib.contextmanager
def naming(url: str) -> Iterator[None]:
    """Errors of a store's client as one-line OSErrors naming `url`."""
    try:
        yield
    except FileNotFoundError:
        raise FileNotFoundError(errno.ENOENT, "no such object", url) from None
    except PermissionError:
        raise PermissionError(errno.EACCES, "permission denied", url) from None
    except (ValueError, TypeError, ImportError):
        raise
    except Exception as error:
        if getattr(error, "status", None) in (401, 403):
            raise PermissionError(errno.EACCES, "permission denied", url) from None
        if isinstance(error, OSError) and url in str(error):
            raise
        reason = str(error).splitlines()[0] if str(error) else type(error).__name__
        raise OSError(errno.EIO, f"reading or writing failed ({reason})", url) from error


class Remote:
    """An object named by a URL: its size and identity (ETag or
    modification time) from one info request, and ranged reads.

    >>> Remote("memory://x.sdf").size  # doctest: +SKIP
    1234
    """

    def __init__(self, url: str, storage_options: Mapping[str, Any] | None = None) -> None:
        self.url = url
        with naming(url):
            self.fs, self.path = fsspec().core.url_to_fs(url, **options(storage_options))
        self._info = self._fetch_info()
        self.ranged = True  # False once a server is seen to ignore Range

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
        return _identity(self._info)

    def check_unchanged(self) -> None:
        """ValueError when the object was replaced since it was first seen."""
        with naming(self.url):
            self.fs.invalidate_cache(self.path)
        if _identity(self._fetch_info()) != self.identity:
            raise ValueError(f"{self.url} was replaced while it was read: read it again")

    def get(self, start: int, end: int) -> bytes:
        """Bytes [start, end) from one ranged GET; the whole object's bytes
        sliced when the server ignored Range."""
        end = min(end, self.size)
        if start >= end:
            return b""
        with naming(self.url):
            data = self.fs.cat_file(self.path, start=start, end=end)
        if len(data) == end - start:
            return bytes(data)
        if len(data) == self.size:
            self.ranged = False
            return bytes(data[start:end])
        raise OSError(errno.EIO, f"asked for bytes {start}-{end}, the server sent {len(data)}", self.url)

    def pieces(self, start: int = 0) -> Iterator[bytes]:
        """The bytes from `start` on, in pieces of at least PIECE bytes (one
        request each, or one for all when the object is smaller), growing to
        LARGEST_PIECE; one piece from a server that ignores Range."""
        cuts = [start]
        step = PIECE
        while self.size - cuts[-1] >= 2 * step:
            cuts.append(cuts[-1] + step)
            step = min(2 * step, LARGEST_PIECE)
        cuts.append(self.size)
        for at, stop in itertools.pairwise(cuts):
            data = self.get(at, stop)
            if not self.ranged:
                yield data + self.get(stop, self.size) if stop < self.size else data
                return
            yield data

    def head_bytes(self, size: int) -> bytes:
        return self.get(0, size)


def _identity(info: Mapping[str, Any]) -> tuple[int, str]:
    for field in ("ETag", "etag", "LastModified", "last_modified", "mtime", "updated", "created"):
        if info.get(field) is not None:
            return int(info["size"]), str(info[field])
    return int(info["size"]), ""


class ReadAhead(io.RawIOBase):
    """The bytes of a remote object from `start` on as a binary stream,
    fetched by a thread a few pieces ahead of the reader. The identity of the
    object is checked once all is read, so that a replaced object raises
    rather than reading as a mix of two."""

    def __init__(self, remote: Remote, start: int = 0) -> None:
        super().__init__()
        self._remote = remote
        self._pieces: queue.Queue[Any] = queue.Queue(maxsize=_AHEAD)
        self._stop = threading.Event()
        self._view = memoryview(b"")
        self._done = False
        self._thread = threading.Thread(
            target=self._fetch, args=(start,), daemon=True, name=f"molbrook read-ahead {remote.url}"
        )
        self._thread.start()

    def readable(self) -> bool:
        return True

    def _fetch(self, start: int) -> None:
        try:
            for piece in self._remote.pieces(start):
                if not self._put(piece):
                    return
            self._remote.check_unchanged()
            self._put(None)
        except BaseException as error:  # handed to the reader, raised there
            self._put(error)

    def _put(self, item: Any) -> bool:
        while not self._stop.is_set():
            with contextlib.suppress(queue.Full):
                self._pieces.put(item, timeout=0.1)
                return True
        return False

    def read(self, size: int = -1) -> bytes:
        if self.closed:
            raise ValueError("read of a closed remote stream")
        while not self._view and not self._done:
            item = self._pieces.get()
            if isinstance(item, BaseException):
                self._done = True
                raise item
            self._done = item is None
            self._view = memoryview(item or b"")
        if size is None or size < 0:
            size = len(self._view)
        taken = bytes(self._view[:size])
        self._view = self._view[size:]
        return taken

    read1 = read

    def readinto(self, buffer: Any) -> int:
        data = self.read(len(buffer))
        buffer[: len(data)] = data
        return len(data)

    def close(self) -> None:
        self._stop.set()
        with contextlib.suppress(queue.Empty):
            while True:
                self._pieces.get_nowait()
        super().close()


class RangeReader:
    """`read_at(offset, size)` over a remote object for a reader of its
    blocks in [start, end): the range is fetched in pieces of at most
    LARGEST_PIECE bytes and past `end` in steps growing from FIRST_STEP, each fetched
    byte kept until the reader moves past it."""

    def __init__(self, remote: Remote, end: int) -> None:
        self._remote = remote
        self._end = end
        self._step = FIRST_STEP
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
        if stop <= self._end:
            want = min(self._end, max(stop, offset + LARGEST_PIECE))
        else:
            want = max(stop, have + self._step)
            self._step *= 2
        self._data = kept + self._remote.get(have, want)
        self._base = offset


def stream(url: str, storage_options: Mapping[str, Any] | None = None) -> IO[bytes]:
    """The whole object `url` names as a binary stream, read ahead on a
    thread: the one way a URL is read from its start to its end."""
    return cast(IO[bytes], ReadAhead(Remote(url, storage_options)))


def blocks(source: Any, *, borrow: bool = False, storage_options: Mapping[str, Any] | None = None) -> Any:
    """parse_sdf of a path, file object or URL: the one place every reader
    of whole sources opens them."""
    if not is_url(source):
        local_only(source, storage_options, "parse_sdf")
        return native.parse_sdf(source, borrow=borrow)
    return native._parse_text_stream(stream(source, storage_options))


def range_blocks(
    path: Any, start: int, end: int, *, borrow: bool = False, storage_options: Mapping[str, Any] | None = None
) -> Any:
    """parse_sdf_range of a path or URL."""
    if not is_url(path):
        local_only(path, storage_options, "parse_sdf_range")
        return native.parse_sdf_range(path, start, end, borrow=borrow)
    remote = Remote(path, storage_options)
    compression = native._compression_of(memoryview(remote.head_bytes(16)))
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
    protocols = {fs.protocol} if isinstance(fs.protocol, str) else set(fs.protocol)
    atomic = bool(protocols & _ATOMIC_UPLOADS)
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
