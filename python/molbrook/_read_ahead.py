"""Reading ahead on a thread: a binary stream whose pieces a worker thread
produces a few ahead of the reader, so that fetching a remote object or
decompressing a file on one core overlaps parsing on the other.

The worker holds no reference to its stream: closing the stream, or
dropping it (as a block iterator does when it is closed or collected),
stops the worker and waits for it, so the file or connection it had open
is closed by then."""

from __future__ import annotations

import contextlib
import io
import os
import queue
import stat
import threading
import weakref
from collections.abc import Callable, Generator
from typing import IO, Any, cast

from molbrook import native

__all__ = ["ReadAhead", "decompressed_blocks"]

# A compressed file at least this large is decompressed on a thread of its
# own; a smaller one costs less than the thread would save.
SMALLEST_READ_AHEAD = 1 << 20
# The most one decompression step gives: the worker takes the interpreter
# lock about once a megabyte (at 128 KiB it waits on the lock more than it
# decompresses), and a piece stays within the cache it is parsed from.
DECOMPRESSED_PIECE = 1 << 20
_DECOMPRESSED_AHEAD = 4
# The formats decompressed about as fast as their blocks are parsed, whose
# decompression a worker takes off the parser's core; bzip2 and xz take ten
# to thirty times as long, and the worker's waits for the interpreter lock
# cost more than it saves.
_READ_AHEAD_FORMATS = frozenset({"gzip", "zstd"})

Pieces = Callable[[], Generator[bytes, None, None]]


class ReadAhead(io.RawIOBase):
    """The bytes that `pieces()` yields, as a binary stream, made by a
    worker thread up to `ahead` pieces before the reader takes them.

    The worker starts at the first read. An error the pieces raise is
    raised by the read that reaches it, after every byte before it. Where
    no thread can be started (an interpreter that allows none), each read
    takes the next piece itself.
    """

    def __init__(self, pieces: Pieces, *, ahead: int, name: str) -> None:
        super().__init__()
        self._pieces = pieces
        self._name = name
        self._queue: queue.Queue[Any] = queue.Queue(maxsize=ahead)
        self._workers: list[threading.Thread] = []
        self._inline: Generator[bytes, None, None] | None = None
        self._piece = b""
        self._at = 0  # how much of _piece was read
        self._done = False
        self._stop = threading.Event()
        self._stop_worker = weakref.finalize(self, _stop, self._queue, self._stop, self._workers)

    def readable(self) -> bool:
        return True

    def read(self, size: int | None = -1) -> bytes:
        if self.closed:
            raise ValueError(f"read of a closed stream: {self._name}")
        while self._at == len(self._piece) and not self._done:
            self._take()
        if size is None or size < 0:
            size = len(self._piece)
        if self._at == 0 and size >= len(self._piece):  # the whole piece, not a copy
            self._at = len(self._piece)
            return self._piece
        taken = self._piece[self._at : self._at + size]
        self._at += len(taken)
        return taken

    read1 = read

    def readinto(self, buffer: Any) -> int:
        data = self.read(len(buffer))
        buffer[: len(data)] = data
        return len(data)

    def close(self) -> None:
        self._stop_worker()
        if self._inline is not None:
            self._inline.close()
        super().close()

    def _take(self) -> None:
        if not self._workers and self._inline is None:
            self._start()
        item = next(self._inline, None) if self._inline is not None else self._queue.get()
        if isinstance(item, BaseException):
            self._done = True
            raise item
        self._done = item is None
        self._piece = item or b""
        self._at = 0

    def _start(self) -> None:
        worker = threading.Thread(
            target=_work,
            args=(self._pieces, self._queue, self._stop),
            daemon=True,
            name=f"molbrook read-ahead {self._name}",
        )
        try:
            worker.start()
        except RuntimeError:  # no threads in this interpreter, or none left
            self._inline = self._pieces()
        else:
            self._workers.append(worker)


def _work(pieces: Pieces, out: queue.Queue[Any], stop: threading.Event) -> None:
    """The worker: puts each piece, then None at the end, or the error that
    stopped it; returns after a put once `stop` is set."""
    try:
        with contextlib.closing(pieces()) as produced:
            for piece in produced:
                out.put(piece)
                if stop.is_set():
                    return
        out.put(None)
    except BaseException as error:  # handed to the reader, raised there
        out.put(error)


def _stop(out: queue.Queue[Any], stop: threading.Event, workers: list[threading.Thread]) -> None:
    """Stops the worker: with `stop` set before the queue is emptied, the
    worker makes at most one more put, which finds room, and returns."""
    stop.set()
    with contextlib.suppress(queue.Empty):
        while True:
            out.get_nowait()
    for worker in workers:
        if worker is not threading.current_thread():  # a collection the worker itself ran
            worker.join()


def decompressed_blocks(source: Any) -> Any:
    """The blocks of a gzip or zstd regular file of SMALLEST_READ_AHEAD bytes
    or more, decompressed on a worker thread (str blocks for a str path,
    bytes for a bytes path); None for any other source, which the native
    reader reads itself."""
    if not isinstance(source, (str, bytes, os.PathLike)):
        return None
    try:
        path = os.fspath(source)
        status = os.stat(path)
        if not stat.S_ISREG(status.st_mode) or status.st_size < SMALLEST_READ_AHEAD:
            return None
        if native._compression_of(path) not in _READ_AHEAD_FORMATS:
            return None
    except (OSError, ValueError):  # the native reader raises its own error on the first next()
        return None
    stream = ReadAhead(lambda: _decompressed_pieces(path), ahead=_DECOMPRESSED_AHEAD, name=repr(path))
    return native._parse_decompressed(cast(IO[bytes], stream), text=isinstance(path, str))


def _decompressed_pieces(path: str | bytes) -> Generator[bytes, None, None]:
    """The decompressed bytes of the file at `path`, through the decompressor
    every reading route uses, its errors naming the file as parse_sdf's do."""
    with open(path, "rb", buffering=0) as raw:
        reader = native._StreamReader(raw.read, name=path, max_length=DECOMPRESSED_PIECE)
        while piece := reader.read(DECOMPRESSED_PIECE):
            yield piece
