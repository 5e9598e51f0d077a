"""Record names the user gave, watched for in the blocks that stream past,
so that one no block has is said rather than silently matching nothing."""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator

from molbrook.cli.errors import UsageError, no_record_named, warn
from molbrook.native import SDBlock


def shown(name: bytes) -> str:
    """A record name as messages show it: bytes that are not UTF-8 escaped."""
    return name.decode("utf-8", "backslashreplace")


class NameWatch:
    """Watches blocks for record names. The names of the blocks are gathered
    only while a wanted one is still unseen, so that in the usual case, every
    name found in the first blocks, the rest stream past at no cost.

    >>> watch = NameWatch(["MW"])
    >>> blocks = list(watch.passing(SDBlock.from_sdf(b"t\\nM  END\\n> <ID>\\n1\\n\\n$$$$\\n")))
    >>> watch.missing()
    ["no block has a record named 'MW' (names seen: ID)"]
    """

    def __init__(self, wanted: Iterable[str]) -> None:
        self._unseen = {os.fsencode(name): name for name in wanted}
        self._seen: dict[bytes, None] = {}
        self._any_block = False

    def passing(self, blocks: Iterable[SDBlock[bytes]]) -> Iterator[SDBlock[bytes]]:
        """`blocks`, unchanged, looked at as they pass."""
        for block in blocks:
            if self._unseen:
                self._look(block)
            yield block

    def _look(self, block: SDBlock[bytes]) -> None:
        self._any_block = True
        self._seen.update(dict.fromkeys(block.names()))
        for name in [name for name in self._unseen if name in self._seen]:
            del self._unseen[name]

    def missing(self) -> list[str]:
        """A message for each wanted name that no block had; none when there
        were no blocks to have them."""
        if not self._any_block:
            return []
        names = list(map(shown, self._seen))
        return [no_record_named(name, names) for name in self._unseen.values()]

    def require(self) -> None:
        """Fails, exit status 2, when a wanted name was in no block."""
        for message in self.missing():
            raise UsageError(message)

    def warn(self, command: str) -> None:
        """Says on standard error when a wanted name was in no block."""
        for message in self.missing():
            warn(command, message)
