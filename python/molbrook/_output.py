"""Writing a destination whole or not at all.

Every file the library and the command line write goes through here. A path
naming a regular file, or nothing yet, is written to a temporary file beside
the file it names (through any symbolic links), flushed to disk and renamed
over it only once all of it is written, keeping the replaced file's
permissions and, where the process may set them, its owner and group. A
path naming anything else (a pipe, a device, /dev/stdout) is written into.
Either way the file under any compressor or text wrapper is a `WholeWriter`,
so that no short or failed write goes unnoticed, and errors name the path
the caller gave, never the temporary file.
"""

from __future__ import annotations

import contextlib
import errno
import io
import os
import stat
from collections.abc import Iterator, Mapping
from typing import IO, TYPE_CHECKING, Any, cast

from molbrook._compression import open_writer
from molbrook._remote import destination, is_url, local_only
from molbrook._types import Path, is_path

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer


_MAX_LINKS = 40  # as Linux follows at most
_O_CLOEXEC = getattr(os, "O_CLOEXEC", 0)
_O_BINARY = getattr(os, "O_BINARY", 0)  # Windows translates line ends without it


class WholeWriter(io.BufferedIOBase):
    """A file descriptor, owned, whose `write` takes all it is given or raises
    (system writes may take part of it on a full disk or at a file size
    limit). Errors name `label`."""

    def __init__(self, fd: int, label: Path) -> None:
        super().__init__()
        self._fd = fd
        self._label = label
        self._position = 0

    def writable(self) -> bool:
        return True

    def fileno(self) -> int:
        return self._fd

    def tell(self) -> int:
        """Bytes written so far: writers of formats with footers (Parquet) ask."""
        return self._position

    def write(self, data: ReadableBuffer) -> int:
        if self.closed:
            raise ValueError("write to closed file")
        with memoryview(data) as whole, whole.cast("B") as view, _naming(self._label):
            done = 0
            while done < len(view):
                written = os.write(self._fd, view[done:])
                if written == 0:  # no error and no progress: retrying would spin
                    raise OSError(errno.EIO, "the system wrote nothing")
                done += written
                self._position += written
            return done

    def sync(self) -> None:
        """Flushes what was written to the disk."""
        with _naming(self._label):
            os.fsync(self._fd)

    def close(self) -> None:
        if self.closed:
            return
        try:
            with _naming(self._label):
                os.close(self._fd)
        finally:
            super().close()


class GatheringWriter(io.BufferedIOBase):
    """Passes the bytes written on to `raw` in pieces of at least `size`
    bytes, for writers that hand over many small ones (pyarrow's Parquet
    writer: a system call each, else). `flush` passes the rest on; closing
    does not, and leaves `raw` open, so a failed output's last bytes go
    nowhere."""

    def __init__(self, raw: IO[bytes], size: int = 1 << 20) -> None:
        super().__init__()
        self._raw = raw
        self._size = size
        self._pending = bytearray()
        self._passed = 0

    def writable(self) -> bool:
        return True

    def tell(self) -> int:
        return self._passed + len(self._pending)

    def write(self, data: ReadableBuffer) -> int:
        if self.closed:
            raise ValueError("write to closed file")
        with memoryview(data) as view:
            self._pending += view
            taken = view.nbytes
        if len(self._pending) >= self._size:
            self.flush()
        return taken

    def flush(self) -> None:
        if self._pending:
            self._raw.write(self._pending)
            self._passed += len(self._pending)
            self._pending.clear()

    def close(self) -> None:
        self._pending.clear()
        super().close()


@contextlib.contextmanager
def atomic_destination(dest: Any, storage_options: Mapping[str, Any] | None = None) -> Iterator[IO[bytes]]:
    """Yield a binary stream for `dest`, a path or a file object.

    A path is written whole or not at all: through a temporary file in the
    folder of the file it names (symbolic links followed), renamed over that
    file only when the block ends without an exception, so a failure part
    way leaves no partial file and an existing file as it was. The replaced
    file's permissions are kept, and its owner and group where the process
    may set them; a new file gets the mode `open` would give it. A path that
    names a pipe or a device is written into. A name ending in .gz, .bz2, .xz
    or .zst is written compressed. A file object is yielded as it is. A URL
    (molbrook._remote.is_url) becomes an object once all of it is written,
    `storage_options` going to fsspec.
    """
    if not is_path(dest):
        yield dest
        return
    with output_file(dest, storage_options) as out:
        yield out


@contextlib.contextmanager
def output_file(name: Path, storage_options: Mapping[str, Any] | None = None) -> Iterator[IO[bytes]]:
    """A binary stream that writes the path or URL `name` as
    `atomic_destination` says, compressed as its extension asks."""
    if is_url(name):
        raw_output: Any = destination(cast(str, name), storage_options)
    else:
        local_only(name, storage_options, "writing")
        raw_output = whole_file(name)
    with raw_output as raw:
        stream = open_writer(cast(IO[bytes], raw), name)
        try:
            yield stream
        except BaseException:
            _abandon(stream, raw)
            raise
        if stream is not raw:
            stream.close()  # ends the compressed stream


def _abandon(stream: IO[bytes], raw: IO[bytes]) -> None:
    """Closes a failed output's compressor without ending its stream: its
    file closes first, so that its last bytes go nowhere. Left to the
    collector, it would write them to the closed file, an error that Python
    reports from 3.14 on."""
    with contextlib.suppress(OSError):
        raw.close()
    if stream is not raw:
        with contextlib.suppress(ValueError, OSError):
            stream.close()


@contextlib.contextmanager
def whole_file(name: Path) -> Iterator[WholeWriter]:
    """A writer of the path `name`, replaced whole or written into as
    `atomic_destination` says, taking the bytes as they are given."""
    label = os.fspath(name)
    with _naming(label):
        target, names_descriptor = _followed(os.fsdecode(label))
        replaced = not names_descriptor and _regular_or_missing(target)
    with _replacing(target, label) if replaced else _writing_into(label, names_descriptor) as raw:
        yield raw


def is_regular_file(name: Path) -> bool:
    """Whether `name` names a regular file, one that writing it replaces;
    OSError when nothing is there."""
    target, names_descriptor = _followed(os.fsdecode(name))
    return stat.S_ISREG(os.stat(target).st_mode) and not names_descriptor


def _regular_or_missing(path: str) -> bool:
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except FileNotFoundError:
        return True


def _followed(path: str) -> tuple[str, bool]:
    """`path`, absolute, with the symbolic links of it and of its folders
    followed, and whether a step was a name for an open file descriptor
    (/dev/stdout leads to /proc/self/fd/1, and /dev/fd/1 to it too)."""
    names_open_file = False
    for _ in range(_MAX_LINKS):
        folder, name = os.path.split(os.path.abspath(path))
        folder = os.path.realpath(folder)
        names_open_file = names_open_file or _is_descriptor_folder(folder)
        path = os.path.join(folder, name)
        try:
            link = os.readlink(path)
        except OSError:  # not a link, or nothing there: the end of the chain
            return path, names_open_file
        path = os.path.join(folder, link)
    raise OSError(errno.ELOOP, os.strerror(errno.ELOOP), path)


def _is_descriptor_folder(folder: str) -> bool:
    """/proc/PID/fd, /proc/PID/task/TID/fd or /dev/fd."""
    return folder.startswith(("/proc/", "/dev/")) and os.path.basename(folder) == "fd"


@contextlib.contextmanager
def _writing_into(label: Path, names_descriptor: bool) -> Iterator[WholeWriter]:
    """A writer into a pipe or a device, or into a file already open, which
    is appended to, as writing to the descriptor itself would (standard
    output redirected with >> keeps what it had)."""
    position = os.O_APPEND if names_descriptor else os.O_TRUNC
    with _naming(label):
        fd = os.open(label, os.O_WRONLY | os.O_CREAT | position | _O_CLOEXEC | _O_BINARY, 0o666)
    with WholeWriter(fd, label) as raw:
        yield raw


@contextlib.contextmanager
def _replacing(target: str, label: Path) -> Iterator[WholeWriter]:
    """A writer into a temporary file beside `target`, renamed over it when
    the block ends well and removed when it does not (KeyboardInterrupt and
    the command line's signals included)."""
    folder, base = os.path.split(target)
    with _naming(label):
        old = _stat_or_none(target)
    temporary = _Temporary(folder, base)
    try:
        # A new file is created as open() would create it, under the umask
        # and the folder's default permissions; a replacement as private
        # until it takes the old file's mode.
        with _naming(label):
            fd = temporary.create(0o666 if old is None else 0o600)
        with WholeWriter(fd, label) as raw:
            yield raw
            raw.sync()
            if old is not None:
                with _naming(label):
                    _take_owner_and_mode(fd, temporary.path, old)
        with _naming(label):
            os.replace(temporary.path, target)
    except BaseException:
        temporary.remove()
        raise
    with _naming(label):
        _sync_folder(folder)


def _stat_or_none(path: str) -> os.stat_result | None:
    try:
        return os.stat(path)
    except FileNotFoundError:
        return None


class _Temporary:
    """A temporary file beside another, named before it is made, so that its
    removal is arranged before it can exist: a signal raised the moment the
    system has made it (before Python has its descriptor) leaves nothing."""

    def __init__(self, folder: str, base: str) -> None:
        self._folder = folder
        self._base = base
        self.path = ""  # the name that may exist, "" while none may

    def create(self, mode: int) -> int:
        flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | _O_CLOEXEC | _O_BINARY
        for _ in range(100):
            self.path = os.path.join(self._folder, f".{self._base}.{os.urandom(4).hex()}.part")
            try:
                return os.open(self.path, flags, mode)
            except OSError as error:
                self.path = ""  # not made here (another's file, or none): never to be removed
                if not isinstance(error, FileExistsError):
                    raise
        raise FileExistsError(errno.EEXIST, "no unused temporary name", self._folder)

    def remove(self) -> None:
        if self.path:
            with contextlib.suppress(OSError):
                os.unlink(self.path)


def _take_owner_and_mode(fd: int, path: str, old: os.stat_result) -> None:
    """Gives the new file the old one's owner and group, or its group alone,
    as far as the process may, then its permission bits (a change of owner
    clears the set-id ones)."""
    if hasattr(os, "fchown"):
        for uid in (old.st_uid, -1):
            try:
                os.fchown(fd, uid, old.st_gid)
                break
            except PermissionError:
                continue
    os.chmod(fd if os.chmod in os.supports_fd else path, stat.S_IMODE(old.st_mode))


def _sync_folder(folder: str) -> None:
    """Flushes the rename to disk: POSIX keeps a folder's entries apart from
    its files' data."""
    if os.name != "posix":
        return
    fd = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0) | _O_CLOEXEC)
    try:
        os.fsync(fd)
    except OSError as error:
        if error.errno != errno.EINVAL:  # a file system that cannot sync folders
            raise
    finally:
        os.close(fd)


@contextlib.contextmanager
def _naming(label: Path) -> Iterator[None]:
    """OSErrors raised in the block name `label`, the path the caller gave,
    in place of a temporary file or of no file at all."""
    try:
        yield
    except OSError as error:
        error.filename = label
        # Deleted, not set to None: a None second name would show as "-> None".
        del error.filename2
        raise
