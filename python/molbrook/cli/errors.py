"""The two kinds of error the command reports without a traceback, the
one message for a record name that no block has, and the closest of names
for a "did you mean"."""

from __future__ import annotations

import difflib
import errno
import os
import sys
from collections.abc import Iterable

# How many of the names seen a message lists.
SHOWN_NAMES = 8
# What an OSError raised without an error number (as pyarrow raises them)
# means, by its class.
_NUMBER_OF: dict[type[BaseException], int] = {
    FileNotFoundError: errno.ENOENT,
    PermissionError: errno.EACCES,
    IsADirectoryError: errno.EISDIR,
    NotADirectoryError: errno.ENOTDIR,
    FileExistsError: errno.EEXIST,
}


class UsageError(Exception):
    """A bad argument: shown as `molbrook COMMAND: message`."""


class FileError(Exception):
    """A file that cannot be read or written: shown as `molbrook: FILE: message`."""

    def __init__(self, label: str, message: str) -> None:
        super().__init__(f"{label}: {message}")
        self.label = label
        self.message = message

    @classmethod
    def from_exception(cls, label: str, error: BaseException) -> FileError:
        if isinstance(error, OSError) and error.strerror:
            return cls(label, error.strerror)
        if type(error) in _NUMBER_OF:  # its text is at best the file's name, which the label says
            return cls(label, os.strerror(_NUMBER_OF[type(error)]))
        return cls(label, str(error) or type(error).__name__)

    @classmethod
    def not_edited(cls, label: str, numbers: list[int]) -> FileError:
        """Blocks (numbered from 1) that could not take records: no M  END
        line ends their MDL, so records after it would read back as part of it."""
        shown = ", ".join(map(str, numbers[:10])) + (f" and {len(numbers) - 10:,} more" if len(numbers) > 10 else "")
        many = len(numbers) > 1
        return cls(
            label,
            f"block{'s' if many else ''} {shown} not edited: no M  END line ends "
            f"{'their' if many else 'its'} MDL, so records there would not read back",
        )


def no_record_named(name: str, seen: Iterable[str]) -> str:
    """The one line that says a record name the user gave occurs in no block
    of the inputs, with the names that do occur and the closest of them.

    >>> no_record_named("MWW", ["MW", "ID"])
    "no block has a record named 'MWW' (names seen: MW, ID; did you mean 'MW'?)"
    """
    names = list(dict.fromkeys(seen))
    if not names:
        return f"no block has a record named {name!r} (no block has any record)"
    shown = ", ".join(names[:SHOWN_NAMES]) + (", ..." if len(names) > SHOWN_NAMES else "")
    close = closest(name, names)
    hint = f"; did you mean {close!r}?" if close is not None else ""
    return f"no block has a record named {name!r} (names seen: {shown}{hint})"


def closest(name: str, candidates: Iterable[str]) -> str | None:
    """The candidate `name` was most likely a slip for, if one is close;
    the first of equals.

    >>> closest("filtr", ["head", "filter"]), closest("zzz", ["head"])
    ('filter', None)
    """
    # Case is the commonest slip ('mw' for 'MW'), so it does not count against a match.
    by_folded = {candidate.casefold(): candidate for candidate in reversed(list(candidates))}
    close = difflib.get_close_matches(name.casefold(), list(by_folded), n=1)
    return by_folded[close[0]] if close else None


def warn(command: str, message: str) -> None:
    """A warning on standard error, prefixed as the command's errors are."""
    print(f"molbrook {command}: {message}", file=sys.stderr)
