"""BGZF: gzip written as members of at most 64 KiB of data, each naming its
own size in a `BC` extra field and ending with the standard empty member,
so that a reader can start at any member. Every gzip reader reads it as
one stream; molbrook's index reads it member by member.

isal compresses and inflates when it is installed (the `fast` extra),
zlib otherwise.
"""

from __future__ import annotations

import io
import struct
from collections.abc import Iterator
from types import ModuleType
from typing import IO

from molbrook._types import Path

__all__ = ["BgzfWriter", "inflate", "is_bgzf", "members"]

# Data per member: incompressible data then still fits the 64 KiB a
# member may occupy.
_MEMBER_DATA = 0xFF00
_MAX_MEMBER = 0x10000
# ID1 ID2 CM FLG(FEXTRA) MTIME XFL OS(unknown) XLEN, then the BC subfield.
_HEADER = struct.Struct("<BBBBIBBH2sHH")
_HEADER_START = struct.Struct("<BBBBIBBH")
_TRAILER = struct.Struct("<II")
_EOF_MEMBER = _HEADER.pack(0x1F, 0x8B, 8, 4, 0, 0, 0xFF, 6, b"BC", 2, 27) + b"\x03\x00" + _TRAILER.pack(0, 0)
_GZIP = 16 + 15  # wbits of a gzip member, header and trailer checked


def _zlib() -> ModuleType:
    try:
        from isal import isal_zlib
    except ImportError:
        import zlib

        return zlib
    return isal_zlib


def _default_level(zlib: ModuleType) -> int:
    """The level each library's gzip writer uses by default."""
    return 2 if zlib.__name__.startswith("isal") else 9


def is_bgzf(head: bytes) -> bool:
    """Whether `head`, the first bytes of a file, starts a BGZF member: a
    gzip header whose extra field holds a `BC` subfield of 2 bytes."""
    if len(head) < _HEADER_START.size:
        return False
    magic1, magic2, method, flags, _, _, _, extra_size = _HEADER_START.unpack_from(head)
    if (magic1, magic2, method) != (0x1F, 0x8B, 8) or not flags & 4:
        return False
    return _block_size(head[_HEADER_START.size : _HEADER_START.size + extra_size]) is not None


def _block_size(extra: bytes) -> int | None:
    """BSIZE of a member's extra field (its size less one), if it has one."""
    at = 0
    while at + 4 <= len(extra):
        size = int.from_bytes(extra[at + 2 : at + 4], "little")
        if extra[at : at + 2] == b"BC" and size == 2 and at + 6 <= len(extra):
            return int.from_bytes(extra[at + 4 : at + 6], "little")
        at += 4 + size
    return None


def is_bgzf_file(path: Path) -> bool:
    with open(path, "rb") as file:
        return is_bgzf(file.read(_HEADER_START.size + 256))


def _member_size(data: bytes | memoryview, at: int) -> int:
    """The size of the member at `data[at:]`, from its header; ValueError
    for a member that is no BGZF one."""
    if len(data) - at < _HEADER_START.size:
        raise EOFError("BGZF data ends inside a member header")
    magic1, magic2, method, flags, _, _, _, extra_size = _HEADER_START.unpack_from(data, at)
    start = at + _HEADER_START.size
    size = None
    if (magic1, magic2, method) == (0x1F, 0x8B, 8) and flags & 4:
        size = _block_size(bytes(data[start : start + extra_size]))
    if size is None:
        raise ValueError(f"not a BGZF member at offset {at}")
    return size + 1


def members(path: Path, start: int = 0) -> Iterator[tuple[int, int, bytes]]:
    """(offset, end, data) of each member of a BGZF file from the one at
    byte `start` on: where it lies in the file and its inflated bytes
    (CRC and size checked). Members without data are passed over, and so
    are zero bytes that run from the last member to the end of the file,
    as every gzip reader molbrook has passes them over."""
    with open(path, "rb", buffering=0) as file:
        file.seek(start)
        yield from read_members(file, start)


def read_members(file: IO[bytes], start: int) -> Iterator[tuple[int, int, bytes]]:
    """The members of a binary stream positioned at byte `start` of BGZF
    data, as `members` gives them."""
    zlib = _zlib()
    buffer = b""
    offset = start  # of buffer[0] in the file
    while True:
        if len(buffer) < _MAX_MEMBER:
            more = file.read(1 << 20)
            buffer = buffer + more if buffer else more
            if not buffer:
                return
        at = 0
        while len(buffer) - at >= _MAX_MEMBER or (at < len(buffer) and not more):
            if buffer[at] == 0:
                _check_end_padding(buffer[at:], file, offset + at)
                return
            size = _member_size(buffer, at)
            if size > len(buffer) - at:
                raise EOFError(f"BGZF file ends inside the member at offset {offset + at}")
            with memoryview(buffer) as view:
                data = zlib.decompress(view[at : at + size], _GZIP)
            # Virtual offsets hold a place within a member in 16 bits.
            if len(data) > _MAX_MEMBER:
                raise ValueError(f"the BGZF member at offset {offset + at} holds more than 64 KiB of data")
            if data:
                yield offset + at, offset + at + size, data
            at += size
        buffer = buffer[at:]
        offset += at
        if not more and not buffer:
            return


def _check_end_padding(held: bytes, file: IO[bytes], offset: int) -> None:
    """ValueError unless `held`, from `offset` in the file, and the rest of
    the file are zero bytes."""
    while held:
        nonzero = len(held) - len(held.lstrip(b"\0"))
        if nonzero < len(held):
            raise ValueError(f"not a BGZF member at offset {offset + nonzero}")
        offset += len(held)
        held = file.read(1 << 20)


def inflate(raw: bytes | memoryview, skip: int, size: int) -> bytes:
    """Bytes [skip, skip + size) of the data of the members that `raw` starts
    with, inflating only the members needed."""
    zlib = _zlib()
    parts = []
    have = 0
    at = 0
    while have < skip + size and at < len(raw):
        length = _member_size(raw, at)
        data = zlib.decompress(raw[at : at + length], _GZIP)
        parts.append(data)
        have += len(data)
        at += length
    return b"".join(parts)[skip : skip + size]


class BgzfWriter(io.RawIOBase):
    """A binary stream that writes BGZF to `raw`. Closing it writes the last
    member and the empty end member; `raw` stays open, the caller's to close."""

    def __init__(self, raw: IO[bytes], level: int | None = None) -> None:
        super().__init__()
        self._raw = raw
        self._zlib = _zlib()
        self._level = _default_level(self._zlib) if level is None else level
        self._pending = bytearray()

    def writable(self) -> bool:
        return True

    def write(self, data: bytes | bytearray | memoryview) -> int:  # type: ignore[override]
        if self.closed:
            raise ValueError("write to a closed BGZF stream")
        view = memoryview(data).cast("B")
        self._pending += view
        if len(self._pending) >= _MEMBER_DATA:
            whole = len(self._pending) // _MEMBER_DATA * _MEMBER_DATA
            pending = memoryview(self._pending)
            members = [self._member(pending[at : at + _MEMBER_DATA]) for at in range(0, whole, _MEMBER_DATA)]
            pending.release()
            del self._pending[:whole]
            self._raw.write(b"".join(members))
        return len(view)

    def _member(self, data: bytes | memoryview) -> bytes:
        body: bytes = self._zlib.compress(data, self._level, wbits=-15)
        header = _HEADER.pack(0x1F, 0x8B, 8, 4, 0, 0, 0xFF, 6, b"BC", 2, _HEADER.size + len(body) + 7)
        return header + body + _TRAILER.pack(self._zlib.crc32(data), len(data))

    def close(self) -> None:
        if self.closed:
            return
        try:
            tail = self._member(bytes(self._pending)) if self._pending else b""
            self._pending.clear()
            self._raw.write(tail + _EOF_MEMBER)
            self._raw.flush()
        finally:
            super().close()


def is_indexable(name: object, compression: str | None, bgzf: bool, source: str) -> bool:
    """Whether data compressed as `compression` (None: plain) is BGZF, read
    at offsets through its members (`bgzf` says whether a gzip input is);
    ValueError, saying what to do, for any other compression, which cannot
    be read at an offset. `source` (FILE or URL) stands for the input in
    that advice."""
    if compression is None:
        return False
    if compression == "gzip" and bgzf:
        return True
    kind = "plain gzip" if compression == "gzip" else f"{compression}-compressed"
    raise ValueError(
        f"{name!r} is {kind}, which cannot be read at an offset: "
        f"recompress it as BGZF, which can: molbrook cat {source} -o OUT.sdf.gz"
    )
