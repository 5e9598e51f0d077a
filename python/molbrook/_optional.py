"""The optional dependencies: imported when first needed, with the extra
that installs one named when it is missing."""

from __future__ import annotations

import importlib
from typing import Any


def require(module: str, extra: str) -> Any:
    """`module`, imported; ImportError naming `pip install 'molbrook[extra]'`
    when it is not installed.

    >>> require("pyarrow", "arrow").__name__  # doctest: +SKIP
    'pyarrow'
    """
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(f"{module} is needed for this; install it with: pip install 'molbrook[{extra}]'") from error
