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
