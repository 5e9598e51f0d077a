"""The two kinds of error the command reports without a traceback."""

from __future__ import annotations


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
        return cls(label, str(error) or type(error).__name__)

    @classmethod
    def not_edited(cls, label: str, numbers: list[int]) -> FileError:
        """Blocks (numbered from 1) that could not take records: no M  END
        line ends their MDL, so records after it would read back as part of it."""
        shown = ", ".join(map(str, numbers[:10])) + (f" and {len(numbers) - 10:,} more" if len(numbers) > 10 else "")
        many = len(numbers) > 1
        return cls(label, f"block{'s' if many else ''} {shown} not edited: no M  END line ends "
                          f"{'their' if many else 'its'} MDL, so records there would not read back")
