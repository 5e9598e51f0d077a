"""Errors of connection-table operations: `CTable` and the CTAB methods of `SDBlock`.

Every message names the CTable line it is about where there is one; the
title is line 1.
"""

from molbrook.native import _CTableError as CTableError
from molbrook.native import _IndicesDuplicateError as IndicesDuplicateError
from molbrook.native import _IndicesMismatchError as IndicesMismatchError
from molbrook.native import _IndicesOutOfOrderError as IndicesOutOfOrderError
from molbrook.native import _MalformedCTableError as MalformedCTableError

__all__ = [
    "CTableError",
    "IndicesDuplicateError",
    "IndicesMismatchError",
    "IndicesOutOfOrderError",
    "MalformedCTableError",
]
