"""Compressed SD files: compressing writers, chosen by the name the output
gets. gzip goes through isal (the `fast` extra) when it is installed; zstd
needs `compression.zstd` (Python 3.14) or the zstandard package (the `zstd`
extra).

Reading is the native module's: parse_sdf tells compressed input by its
content (`compression_of` gives its verdict on a path) and decompresses it
through the same modules.
"""

from __future__ import annotations

import bz2
import lzma
import os
from types import ModuleType
from typing import IO, Any, cast

from molbrook._types import Path
from molbrook.native import _compression_of

__all__ = ["compression_of", "open_writer"]

compression_of = _compression_of

# Extensions of output names, and the format each one asks for.
_EXTENSIONS = {".gz": "gzip", ".bz2": "bzip2", ".xz": "xz", ".zst": "zstd"}


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


def open_writer(raw: IO[bytes], name: Path) -> IO[bytes]:
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
        from molbrook._bgzf import BgzfWriter  # BGZF: gzip that an index can read at offsets

        writer = BgzfWriter(raw)
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
