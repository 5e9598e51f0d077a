"""The words every module shares: paths and sources, record names and keys
(`TITLE`), sizes, and the warning an old spelling gives."""

from __future__ import annotations

import os
import re
import warnings
from typing import IO, TYPE_CHECKING, Final

if TYPE_CHECKING:
    from typing_extensions import TypeIs

__all__ = ["TITLE", "Key", "Name", "Path", "Source", "Title", "byte_size", "deprecated", "is_path", "key_name"]

# A file named by path: str paths give str blocks, bytes paths bytes blocks.
Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]
# A path or an open file object, text or binary.
Source = Path | IO[str] | IO[bytes]
# A record name: str, or bytes for bytes sources.
Name = str | bytes


class Title:
    """The title line of a block, used as a key where a record name could be:
    `index_sdf(path, key=TITLE)`, `SortKey(TITLE)`, `@title` on the command
    line. There is one; it pickles as itself."""

    __slots__ = ()

    def __repr__(self) -> str:
        return "molbrook.TITLE"

    def __reduce__(self) -> str:
        return "TITLE"


TITLE: Final = Title()
# What keys a block: the value of a record, or its title.
Key = Name | Title


def is_path(source: object) -> TypeIs[Path]:
    """Whether `source` names a file (str, bytes or os.PathLike) rather than
    being an open file object."""
    return isinstance(source, (str, bytes, os.PathLike))


def key_name(key: object, is_bytes: bool, what: str = "key") -> bytes | Title:
    """A key as the native layer takes it: TITLE, or the record name as
    UTF-8 bytes. A bytes name is for bytes sources only."""
    if key is TITLE:
        return TITLE
    if isinstance(key, str):
        return key.encode("utf-8", "surrogateescape")
    if isinstance(key, bytes) and is_bytes:
        return key
    kinds = "str or bytes" if is_bytes else "str, as the source is read as text"
    raise TypeError(f"{what} must be a record name ({kinds}) or molbrook.TITLE, not {type(key).__name__}")


_UNITS = {
    "": 1,
    "B": 1,
    "K": 1 << 10,
    "KB": 1 << 10,
    "KIB": 1 << 10,
    "M": 1 << 20,
    "MB": 1 << 20,
    "MIB": 1 << 20,
    "G": 1 << 30,
    "GB": 1 << 30,
    "GIB": 1 << 30,
}
_SIZE = re.compile(r"\s*(\d+)\s*([A-Za-z]*)\s*")


def byte_size(size: object, what: str) -> int:
    """Bytes from an int or a string such as "512KiB", "64MiB", "2GiB" (K, M
    and G, with or without "iB", count in powers of 1024).

    >>> byte_size("64MiB", "memory")
    67108864
    """
    if isinstance(size, bool) or not isinstance(size, (int, str)):
        raise TypeError(f"{what} must be an int of bytes or a string such as '64MiB', not {type(size).__name__}")
    if isinstance(size, str):
        match = _SIZE.fullmatch(size)
        unit = match.group(2).upper() if match else ""
        if match is None or unit not in _UNITS:
            raise ValueError(f"{what} must be a size such as '64MiB' (units KiB, MiB, GiB), not {size!r}")
        count = int(match.group(1)) * _UNITS[unit]
    else:
        count = size
    if count < 1:
        raise ValueError(f"{what} must be at least 1 byte, not {size!r}")
    return count


def deprecated(old: str, new: str, *, stacklevel: int = 3) -> None:
    """Warns that the spelling `old` is kept for one release only."""
    warnings.warn(
        f"{old} is deprecated and will be removed in the next release; use {new}",
        DeprecationWarning,
        stacklevel=stacklevel,
    )
