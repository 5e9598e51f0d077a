"""Compressed SD files: decompressing readers and compressing writers.

Readers are chosen by what a file holds, by the one rule that parse_sdf
applies (`molbrook.native._compression_of`); writers by the name the
output gets. gzip goes through isal (the `fast` extra) when it is
installed; zstd needs `compression.zstd` (Python 3.14) or the zstandard
package (the `zstd` extra).
"""

from __future__ import annotations

import bz2
import gzip
import lzma
import os
import zlib
from types import ModuleType
from typing import IO, Any, cast

from molbrook.native import _compression_of

__all__ = ["StreamDecompressor", "compression_of", "open_reader", "open_writer"]

_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]

compression_of = _compression_of

# Extensions of output names, and the format each one asks for.
_EXTENSIONS = {".gz": "gzip", ".bz2": "bzip2", ".xz": "xz", ".zst": "zstd"}


def _gzip() -> ModuleType:
    try:
        from isal import igzip
    except ImportError:
        return gzip
    return igzip


def _zstd() -> ModuleType:
    """compression.zstd or zstandard, whichever imports first."""
    try:
        from compression import zstd  # type: ignore[import-not-found]
    except ImportError:
        pass
    else:
        return cast(ModuleType, zstd)
    try:
        import zstandard  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        raise ImportError(
            "zstd-compressed files need Python 3.14's compression.zstd or the zstandard package: "
            "pip install 'molbrook[zstd]'"
        ) from None
    return zstandard


def open_reader(path: _Path, format: str) -> IO[bytes]:
    """A binary reader of the decompressed bytes of `path`, compressed in
    `format` (as `compression_of` names it). Concatenated gzip members and
    zstd frames read as one stream."""
    reader: Any
    if format == "gzip":
        reader = _gzip().open(path, "rb")
    elif format == "bzip2":
        reader = bz2.open(path, "rb")
    elif format == "xz":
        reader = lzma.open(path, "rb")
    elif format == "zstd":
        zstd = _zstd()
        if zstd.__name__ == "zstandard":
            reader = zstd.ZstdDecompressor().stream_reader(open(path, "rb"), read_across_frames=True)
        else:
            reader = zstd.open(path, "rb")
    else:
        raise ValueError(f"unknown compression format {format!r}")
    return cast(IO[bytes], reader)


class StreamDecompressor:
    """Decompresses a stream handed over chunk by chunk, for sources that
    cannot be opened again (pipes, file objects): concatenated gzip
    members, bzip2 and xz streams and zstd frames read as one."""

    def __init__(self, format: str) -> None:
        self._new = self._decompressors(format)
        self._current = self._new()

    @staticmethod
    def _decompressors(format: str) -> Any:
        if format == "gzip":
            return lambda: zlib.decompressobj(wbits=zlib.MAX_WBITS | 16)
        if format == "bzip2":
            return bz2.BZ2Decompressor
        if format == "xz":
            return lzma.LZMADecompressor
        if format == "zstd":
            zstd = _zstd()
            if zstd.__name__ == "zstandard":
                return lambda: zstd.ZstdDecompressor().decompressobj()
            return zstd.ZstdDecompressor
        raise ValueError(f"unknown compression format {format!r}")

    def decompress(self, data: bytes) -> bytes:
        parts = []
        while data:
            if self._current.eof:  # the next member, stream or frame
                self._current = self._new()
            parts.append(self._current.decompress(data))
            data = self._current.unused_data if self._current.eof else b""
        return b"".join(parts)

    def finish(self) -> None:
        """Raises EOFError when the stream ended inside a member."""
        if not self._current.eof:
            raise EOFError("Compressed file ended before the end-of-stream marker was reached")


def open_writer(raw: IO[bytes], name: _Path) -> IO[bytes]:
    """`raw`, a binary file object, wrapped in a compressor chosen by the
    extension of `name` (.gz, .bz2, .xz, .zst); `raw` itself for any other
    name. Closing the compressor finishes the compressed stream; `raw`
    stays open, the caller's to close."""
    extension = os.path.splitext(os.fsdecode(name))[1].lower()
    format = _EXTENSIONS.get(extension)
    writer: Any
    if format is None:
        return raw
    elif format == "gzip":
        writer = _gzip().GzipFile(fileobj=raw, mode="wb")
    elif format == "bzip2":
        writer = bz2.BZ2File(raw, "wb")
    elif format == "xz":
        writer = lzma.LZMAFile(raw, "wb")
    else:
        zstd = _zstd()
        if zstd.__name__ == "zstandard":
            writer = zstd.ZstdCompressor().stream_writer(raw, closefd=False)
        else:
            writer = zstd.ZstdFile(raw, "wb")
    return cast(IO[bytes], writer)
