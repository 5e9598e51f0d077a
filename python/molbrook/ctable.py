"""Errors of connection-table operations: `CTable` and the CTAB methods of `SDBlock`.

Every message names the CTable line it is about where there is one; the
title is line 1.
"""

from molbrook.native import (
    CTableError,
    IndicesDuplicateError,
    IndicesMismatchError,
    IndicesOutOfOrderError,
    MalformedCTableError,
)

__all__ = [
    "CTableError",
    "IndicesDuplicateError",
    "IndicesMismatchError",
    "IndicesOutOfOrderError",
    "MalformedCTableError",
]

