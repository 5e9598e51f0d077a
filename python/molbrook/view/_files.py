"""One SD file the view serves: its index, the record names seen in it, and
the orders of its blocks that pages are cut from (sorted, filtered,
searched), each kept once computed."""

from __future__ import annotations

import os
import tempfile
import threading
from array import array
from collections.abc import Callable, Hashable, Sequence
from typing import NamedTuple

from molbrook._sort import SortKey, sort_sdf
from molbrook.cli.errors import UsageError, no_record_named
from molbrook.cli.expressions import all_of, parse
from molbrook.cli.sort import sort_key
from molbrook.native import SDBlock, SDIndex, parse_sdf

NAMES_SAMPLE = 1000  # blocks whose record names make the names seen
KEPT_ORDERS = 16  # orders kept per file; the oldest goes first
# Set on each sorted block to tell its ordinal; a name no file is likely to hold.
_PROVENANCE = b"molbrook view ordinal \x01"


class Query(NamedTuple):
    """Which blocks a page is cut from, in which order: `sort` a key as
    `molbrook sort -k` takes it, `where` expressions as `filter --where`
    takes them (all must hold), `q` a key or title the index finds."""

    sort: str | None = None
    where: tuple[str, ...] = ()
    q: str | None = None


def display(text: bytes) -> str:
    """Bytes shown as text: UTF-8, anything else replaced."""
    return text.decode("utf-8", "replace")


class ViewedFile:
    """A file as the view serves it: `titles` is its index keyed by title
    (the blocks by ordinal, and the search by title), `keyed` by the record
    `key` when one was chosen.

    >>> viewed = ViewedFile("library.sdf", b"library.sdf", index_sdf(b"library.sdf", key=TITLE))
    >>> viewed.order(Query(sort="MW:n", where=("MW<300",)))[:3]
    array('q', [17, 4, 230])
    """

    def __init__(
        self,
        name: str,
        path: bytes,
        titles: SDIndex[bytes],
        keyed: SDIndex[bytes] | None = None,
        key: str | None = None,
    ) -> None:
        self.name = name
        self.path = path
        self.titles = titles
        self.keyed = keyed
        self.key = key
        self.names = names_seen(titles)
        self._orders: dict[Hashable, Sequence[int]] = {}
        self._lock = threading.RLock()  # a filtered order computes the sorted one within

    def __len__(self) -> int:
        return len(self.titles)

    def close(self) -> None:
        self.titles.close()
        if self.keyed is not None:
            self.keyed.close()

    def blocks(self, ordinals: Sequence[int]) -> list[SDBlock[bytes]]:
        return self.titles.take(ordinals)

    def order(self, query: Query) -> Sequence[int]:
        """The ordinals `query` selects, in its order.

        Raises:
            UsageError: for a bad sort key or expression, or a sort record
                that no block has
        """
        if query.q is not None:
            found = self._found(query.q)
            if query.where:
                test = all_of([parse(expression).test for expression in query.where])
                found = [ordinal for ordinal, block in zip(found, self.blocks(found)) if test(block)]
            if query.sort is None:
                return found
            wanted = set(found)
            return [ordinal for ordinal in self._sorted(query.sort) if ordinal in wanted]
        if not query.where:
            return range(len(self)) if query.sort is None else self._sorted(query.sort)
        return self._kept((query.sort, query.where), lambda: self._filtered(query))

    def _found(self, q: str) -> list[int]:
        """The blocks whose key (when there is one) or title is `q`."""
        wanted = os.fsencode(q.strip())
        found = set(self.titles.ordinals(wanted))
        if self.keyed is not None:
            found.update(self.keyed.ordinals(wanted))
        return sorted(found)

    def _filtered(self, query: Query) -> Sequence[int]:
        test = all_of([parse(expression).test for expression in query.where])
        passing = array("q", (ordinal for ordinal, block in enumerate(self.titles) if test(block)))
        if query.sort is None:
            return passing
        wanted = set(passing)
        return array("q", (ordinal for ordinal in self._sorted(query.sort) if ordinal in wanted))

    def _sorted(self, text: str) -> Sequence[int]:
        key = sort_key(text, "drop")
        return self._kept(("sort", text), lambda: self._sort(key))

    def _sort(self, key: SortKey) -> Sequence[int]:
        """Blocks with a value in the order of `key`, then those without,
        in file order (as `molbrook sort` puts them last)."""
        with tempfile.TemporaryDirectory(prefix="molbrook-view-") as folder:
            sorted_path = os.path.join(os.fsencode(folder), b"sorted.sdf")
            sort_sdf(self.path, sorted_path, by=key, provenance=_PROVENANCE)
            ordered = array(
                "q", (int(block[_PROVENANCE].rpartition(b":")[2]) for block in parse_sdf(sorted_path, borrow=True))
            )
        if not ordered and isinstance(key.name, (str, bytes)):
            raise UsageError(no_record_named(display(os.fsencode(key.name)), self.names))
        valued = set(ordered)
        ordered.extend(ordinal for ordinal in range(len(self)) if ordinal not in valued)
        return ordered

    def _kept(self, key: Hashable, compute: Callable[[], Sequence[int]]) -> Sequence[int]:
        """An order computed once (one at a time per file: they read all of it)."""
        found = self._orders.get(key)
        if found is not None:
            return found
        with self._lock:
            found = self._orders.get(key)
            if found is None:
                found = compute()
                if len(self._orders) >= KEPT_ORDERS:
                    del self._orders[next(iter(self._orders))]
                self._orders[key] = found
        return found


def names_seen(index: SDIndex[bytes]) -> list[str]:
    """The record names of the first NAMES_SAMPLE blocks, in order of first
    appearance: enough for the columns of a table without reading the file."""
    seen: dict[str, None] = {}
    for block in index[:NAMES_SAMPLE]:
        try:
            seen.update(dict.fromkeys(display(name) for name in block.names()))
        except ValueError:  # a malformed record: the block shows it in its detail view
            continue
    return list(seen)
