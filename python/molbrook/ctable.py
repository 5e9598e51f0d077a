"""Errors of connection-table operations: `CTable` and the CTAB methods of `SDBlock`.

Every message names the CTable line it is about where there is one; the
title is line 1.
"""

__all__ = [
    "CTableError",
    "IndicesDuplicateError",
    "IndicesMismatchError",
    "IndicesOutOfOrderError",
    "MalformedCTableError",
]


class CTableError(ValueError):
    """A connection table's contents do not allow the operation."""


class MalformedCTableError(CTableError):
    """A CTable line is missing, lacks a field, or holds a field that cannot be read."""


class IndicesDuplicateError(CTableError):
    """An atom or bond index occurs twice, or a bond names a duplicated atom index."""


class IndicesMismatchError(CTableError):
    """The number of atom or bond lines differs from what the counts line declares."""


class IndicesOutOfOrderError(CTableError):
    """Atom or bond indices do not run 1, 2, 3, ... in line order."""
