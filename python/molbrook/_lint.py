"""Checking SD files for the defects that make readers lose or disagree
on data, and fixing the ones that can be fixed safely.

The checks run in C++ without the interpreter lock (`molbrook.native`
scans a mapped file by byte ranges, or chunks of a stream); findings come
back a batch at a time.
"""

from __future__ import annotations

import io
import os
import stat
from collections import Counter
from collections.abc import Callable, Iterable, Iterator, Mapping
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from functools import partial
from typing import IO, Any, NamedTuple, cast

from molbrook import _remote, native
from molbrook._lint_rules import RULES, quote
from molbrook._output import atomic_destination
from molbrook._parallel import ahead, byte_ranges, piece_size, worker_count
from molbrook._types import Path, Source, is_path

__all__ = ["Finding", "FixSummary", "lint", "lint_fix"]

Codes = str | Iterable[str] | None
# What lint reads: a path or a file object, or a file's bytes in memory.
Linted = Source | bytearray | memoryview

CODES: tuple[str, ...] = native._lint_codes
_FIXES = (None, "safe", "unsafe")
_F003 = CODES.index("F003")
_LF, _CRLF, _CR = 0, 1, 2

# Streams are read this much at a time (more while a block is unfinished).
_CHUNK = 1 << 20


@dataclass(frozen=True, slots=True)
class Finding:
    """One defect, where it is: lines and columns 1-based (a line ends at
    LF, CRLF or a lone CR, as an editor numbers them), byte offsets
    0-based, counted in the file's bytes (decompressed, for a compressed
    file); `block` is the block's 0-based ordinal. `fix` is "safe" (it
    keeps molbrook's reading of every block but what the code names),
    "unsafe" (it changes that reading) or None. Findings order by file and
    position.

    Attributes
    ----------
    code, severity, message : str
        The code (`lint --explain` tells it), "error", "warning" or "info",
        and what was found.
    path : str or None
        The file, when it was read from a path.
    block, line, column, byte_offset, byte_length : int
        Where: the block's ordinal, the line and column, the byte range.
    record : str or None
        The record the finding lies in, if any.
    fix : str or None
        "safe", "unsafe" or None.
    """

    code: str
    severity: str
    message: str
    path: str | None
    block: int
    line: int
    column: int
    byte_offset: int
    byte_length: int
    record: str | None
    fix: str | None

    def _key(self) -> tuple[str, int, str, int]:
        return (self.path or "", self.byte_offset, self.code, self.byte_length)

    def __lt__(self, other: Finding) -> bool:
        if not isinstance(other, Finding):
            return NotImplemented
        return (self._key(), self.message) < (other._key(), other.message)

    def __le__(self, other: Finding) -> bool:
        return self == other or self < other

    def __gt__(self, other: Finding) -> bool:
        if not isinstance(other, Finding):
            return NotImplemented
        return other < self

    def __ge__(self, other: Finding) -> bool:
        return self == other or other < self


@dataclass(frozen=True)
class FixSummary:
    """What `lint_fix` did: findings fixed, and findings left, per code.

    Attributes
    ----------
    fixed, unfixed : dict of str to int
        Counts per code.
    """

    fixed: dict[str, int] = field(default_factory=dict)
    unfixed: dict[str, int] = field(default_factory=dict)


class Edit(NamedTuple):
    """A fix's replacement of [byte_offset, byte_offset + byte_length) by `text`."""

    byte_offset: int
    byte_length: int
    text: bytes


class _Options(NamedTuple):
    select: int
    fix: int = 0
    unsafe: bool = False
    edits: bool = False
    write: Callable[[memoryview], None] | None = None  # takes the blocks with their fixes applied

    def keywords(self, first_ending: int | None) -> dict[str, Any]:
        return {
            "select": self.select,
            "fix": self.fix,
            "unsafe": self.unsafe,
            "edits": self.edits,
            "write": self.write,
            "first_ending": first_ending,
        }


# Codes -----------------------------------------------------------------------


def _matching(codes: Codes, what: str) -> set[str]:
    items = codes.split(",") if isinstance(codes, str) else list(codes or ())
    found: set[str] = set()
    for item in items:
        if not isinstance(item, str):
            raise TypeError(f"{what} takes codes or prefixes as str, not {type(item).__name__}")
        prefix = item.strip().upper()
        matched = {code for code in CODES if code.startswith(prefix)} if prefix else set()
        if not matched:
            raise ValueError(f"{what}: no code is or starts with {item!r}")
        found |= matched
    return found


def _mask(codes: Iterable[str]) -> int:
    return sum(1 << CODES.index(code) for code in set(codes))


def selected_codes(select: Codes, ignore: Codes) -> set[str]:
    chosen = _matching(select, "select") if select is not None else set(CODES)
    return chosen - _matching(ignore, "ignore")


# Reading ---------------------------------------------------------------------


def _write_all(data: memoryview, out: IO[bytes]) -> None:
    """Writes all of `data`, also to raw files that take part of it."""
    view = data
    while view:
        written: int | None = out.write(view)
        if written is None:  # a buffered file takes everything or raises
            return
        if not 0 < written <= len(view):
            raise OSError(f"write() returned {written} for {len(view)} bytes")
        view = view[written:]


class _Reader:
    """A stream's bytes: a binary stream's decompressed when its first bytes
    tell a format (native._StreamReader, by parse_sdf's rule), unless
    `decide` is off; a text stream's str encoded back to UTF-8 (text is
    never compressed). `owned` streams, opened here, are closed by close()."""

    def __init__(self, stream: Any, *, decide: bool = True, owned: bool = True) -> None:
        self._stream = stream if owned else None
        self._read: Callable[[int], Any] = getattr(stream, "read1", None) or stream.read
        self._decide = decide
        self._binary: Any = None  # the native reader, once the first read gave bytes

    def read(self, size: int) -> bytes:
        """Up to about `size` bytes; empty at the end of the stream."""
        if self._binary is not None:
            data: bytes = self._binary.read(size)
            return data
        first = self._read(size)
        if isinstance(first, str):
            return first.encode("utf-8", "surrogateescape")
        if not self._decide:
            if not isinstance(first, bytes):
                raise TypeError(f"a binary stream must read bytes, not {type(first).__name__}")
            return first
        held = [first]
        self._binary = native._StreamReader(lambda n: held.pop() if held else self._read(n))
        return self.read(size)

    def close(self) -> None:
        if self._stream is not None:
            self._stream.close()


def _stream_batches(
    reader: _Reader, offset: int, options: _Options, first_ending: int | None, progress: Callable[[int], None] | None
) -> Iterator[native._LintScan]:
    """Batches of the blocks of a stream, scanned a chunk at a time from
    `offset` (a block start) on; the stream is closed at the end."""
    try:
        yield from _stream_chunks(reader, offset, options, first_ending, progress)
    finally:
        reader.close()


def _stream_chunks(
    reader: _Reader, offset: int, options: _Options, first_ending: int | None, progress: Callable[[int], None] | None
) -> Iterator[native._LintScan]:
    buffer = bytearray()
    at_eof = False
    while not at_eof:
        chunk = reader.read(max(_CHUNK, len(buffer)))
        at_eof = not chunk
        buffer += chunk
        batch = native._lint_bytes(buffer, offset == 0, at_eof, offset=offset, **options.keywords(first_ending))
        if batch.consumed or at_eof:
            yield batch
        first_ending = batch.first_ending
        del buffer[: batch.consumed]
        offset += batch.consumed
        if progress is not None:
            progress(batch.consumed)


def _open_stream(path: Path, offset: int) -> tuple[_Reader, int]:
    """The file at `path` from `offset` (a block start) on, and that
    offset: a plain regular file as it is; a compressed one decompressed
    from its start; a pipe or device opened once, its first bytes telling."""
    from molbrook._compression import compression_of

    raw = open(path, "rb")
    if stat.S_ISREG(os.fstat(raw.fileno()).st_mode) and compression_of(path) is None:
        raw.seek(offset)
        return _Reader(raw, decide=False), offset
    return _Reader(raw), 0


def _path_batches(
    path: Path, options: _Options, workers: int, progress: Callable[[int], None] | None
) -> Iterator[native._LintScan]:
    """Batches of a path: a mapped plain file by byte ranges (on `workers`
    threads when its scans need no order), anything else streamed."""
    info = os.stat(path)
    if not stat.S_ISREG(info.st_mode) or info.st_size == 0:
        yield from _stream_batches(*_open_stream(path, 0), options, None, progress)
        return
    sequential = workers == 1 or options.edits or options.write is not None
    ranges = byte_ranges(info.st_size, piece_size(info.st_size, workers))
    first_ending: int | None = None
    offset = 0  # where the next scan starts: a block start
    scans: Iterator[native._LintScan | None]
    pool = None if sequential else ThreadPoolExecutor(workers, thread_name_prefix="molbrook")
    try:
        if pool is None:
            # A scan starts where the last one ended: fixing line endings
            # can take a scan past the end of its range.
            scans = (
                native._lint_path(path, max(start, offset), end, **options.keywords(first_ending))
                for start, end in ranges
                if offset < end
            )
        else:
            scans = ahead(
                pool, lambda span: native._lint_path(path, *span, **options.keywords(None)), ranges, workers + 1
            )
        for batch in scans:
            if batch is None:  # not mapped: compressed, or not on a local filesystem
                yield from _stream_batches(*_open_stream(path, offset), options, first_ending, progress)
                return
            first_ending = batch.first_ending
            offset = batch.offset + batch.consumed
            yield batch
            if progress is not None:
                progress(batch.consumed)
    finally:
        if pool is not None:
            pool.shutdown(wait=True, cancel_futures=True)


def _batches(
    source: Linted,
    options: _Options,
    workers: int,
    progress: Callable[[int], None] | None = None,
    storage_options: Mapping[str, Any] | None = None,
) -> Iterator[native._LintScan]:
    if _remote.is_url(source):
        return _stream_batches(_Reader(_remote.stream(cast(str, source), storage_options)), 0, options, None, progress)
    _remote.local_only(source, storage_options, "lint")
    if is_path(source):
        return _path_batches(source, options, workers, progress)
    if isinstance(source, (bytearray, memoryview)):
        source = io.BytesIO(source)
    if not hasattr(source, "read"):
        raise TypeError(f"lint takes a path, a file object or a bytes-like object, not {type(source).__name__}")
    return _stream_batches(_Reader(source, owned=False), 0, options, None, progress)


# Findings --------------------------------------------------------------------


class _Cursor:
    """Turns the batches of one file, taken in order, into Findings: adds
    the offsets, lines and blocks before each batch, and picks F003 out of
    the candidates (the first line ending of each kind of each batch): the
    first ending that differs from the file's first line's."""

    def __init__(self, path: str | None) -> None:
        self.path = path
        self.lines = 0
        self.blocks = 0
        self.first_kind: int | None = None
        self.f003_reported = False

    def take(self, batch: native._LintScan) -> Iterator[tuple[Finding, tuple[Edit, ...]]]:
        edits: dict[int, list[Edit]] = {}
        for edit in batch.edits or ():
            edits.setdefault(edit.finding, []).append(Edit(batch.offset + edit.start, edit.end - edit.start, edit.text))
        for index, item in enumerate(batch.findings):
            if item.code == _F003 and not self._deviates(item.detail):
                continue
            yield self._finding(batch, item), tuple(edits.get(index, ()))
        self.lines += batch.lines
        self.blocks += batch.blocks

    def _deviates(self, kind: int) -> bool:
        """Whether the first ending of this kind is the F003 to report."""
        if self.first_kind is None:
            self.first_kind = kind
        target = _CRLF if self.first_kind == _CRLF else _LF
        if self.f003_reported or (kind == target and kind != _CR):
            return False
        self.f003_reported = True
        return True

    def _finding(self, batch: native._LintScan, item: native._LintFinding) -> Finding:
        code = CODES[item.code]
        rule = RULES[code]
        line = item.line + self.lines
        numbers, record, related = item.numbers, item.record, item.related_line
        values = {
            "number": numbers[0],
            "number2": numbers[1],
            "number3": numbers[2],
            "number4": numbers[3],
            "record": decoded(record),
            "text": quote(item.text),
            "related": None if related is None else related + self.lines,
            "expected": line + numbers[0] + numbers[1] + 1,
        }
        return Finding(
            code,
            rule.severity,
            rule.messages[item.detail].format(**values),
            self.path,
            item.block + self.blocks,
            line,
            item.column,
            batch.offset + item.offset,
            item.length,
            decoded(record),
            _FIXES[item.fix],
        )


def decoded(name: bytes | None) -> str | None:
    """Bytes of the file (a record name, a path) as text, undecodable bytes
    shown as \\x escapes."""
    return None if name is None else name.decode("utf-8", "backslashreplace")


def _label(source: Linted) -> str | None:
    return os.fsdecode(os.fspath(source)) if is_path(source) else None


def scan(
    source: Linted,
    codes: set[str],
    *,
    workers: int = 1,
    edits: bool = False,
    path: str | None = None,
    progress: Callable[[int], None] | None = None,
    storage_options: Mapping[str, Any] | None = None,
) -> Iterator[tuple[Finding, tuple[Edit, ...]]]:
    """The findings of `codes` in `source`, in file order, each with the
    edits of its fix when `edits` is set (which reads on one thread)."""
    cursor = _Cursor(path if path is not None else _label(source))
    for batch in _batches(source, _Options(_mask(codes), edits=edits), workers, progress, storage_options):
        yield from cursor.take(batch)


def lint(
    source: Linted,
    *,
    select: Codes = None,
    ignore: Codes = None,
    workers: int | None = None,
    storage_options: Mapping[str, Any] | None = None,
) -> Iterator[Finding]:
    """Check an SD file for defects that make readers lose or disagree on data.

    `source` is what `parse_sdf` takes: a path (a compressed file is read
    decompressed, as its first bytes tell) or a binary file object; a
    bytearray or memoryview is read as a file's bytes. The file is examined
    in its bytes (a str path is not newline-translated). `select` and
    `ignore` take codes or code prefixes ("D", "D003"; a list, or a str
    separated by commas): the codes looked for are those selected (all by
    default) less those ignored. Findings come in file order. A plain
    file is cut into byte ranges checked on `workers` threads (None: every
    CPU the process may use; 1: the calling thread only). A URL (see
    `parse_sdf`) is read as a stream, ahead on a thread; its findings'
    `path` is the URL.

    Parameters
    ----------
    source : Source
        A path or URL, plain or compressed, or a binary file object.
    select, ignore : Codes, optional
        Codes or prefixes to look for and to leave out.
    workers : int, optional
        Threads checking a plain file.
    storage_options : dict, optional
        Credentials and settings for fsspec, when `source` is a URL.

    Returns
    -------
    Iterator[Finding]
        The findings, in file order.

    Raises
    ------
    ValueError
        A code or prefix that names no code.

    Examples
    --------
    >>> import molbrook
    >>> [(f.code, f.line) for f in molbrook.lint("tests/corpus/rdkit-src/Issue226.sdf")]
    [('D001', 74), ('D001', 144)]
    """
    found = scan(source, selected_codes(select, ignore), workers=worker_count(workers), storage_options=storage_options)
    return (finding for finding, _ in found)


def lint_fix(
    source: Linted,
    dest: Any,
    *,
    select: Codes = None,
    ignore: Codes = None,
    unsafe: bool = False,
    storage_options: Mapping[str, Any] | None = None,
) -> FixSummary:
    """Write `source` to `dest` with the fixes of its findings applied.

    Fixes are byte-range replacements; every other byte is written as
    read. Safe fixes keep molbrook's reading of every block but for what
    their code names; `unsafe=True` applies the unsafe ones too (D003's
    empty line, M003's renumbering). `dest` is a path, written through a
    temporary file and renamed once complete (compressed by its
    extension, .gz, .bz2, .xz or .zst), a URL, uploaded once complete
    (an object whole or none), or a binary file object. Returns the
    findings fixed and those left, per code. The fix runs on the calling
    thread, as it writes in file order.

    Parameters
    ----------
    source : Source
        As for `lint`.
    dest : Path, URL or binary file object
        Where the fixed file goes.
    select, ignore : Codes, optional
        As for `lint`: only these codes are fixed.
    unsafe : bool, default False
        Apply unsafe fixes too.
    storage_options : dict, optional
        Credentials and settings for fsspec, for a URL source or dest.

    Returns
    -------
    FixSummary
        Findings fixed and left, per code.

    Examples
    --------
    >>> import molbrook
    >>> molbrook.lint_fix("python/molbrook/data/sample.sdf", "clean.sdf")
    FixSummary(fixed={}, unfixed={})
    """
    if not isinstance(unsafe, bool):
        raise TypeError(f"lint_fix() argument 'unsafe' must be bool, not {type(unsafe).__name__}")
    selected = selected_codes(select, ignore)
    fixable = {code for code in selected if RULES[code].fix is not None}
    fixed: Counter[str] = Counter()
    unfixed: Counter[str] = Counter()
    cursor = _Cursor(None)
    with atomic_destination(dest, storage_options) as out:
        options = _Options(_mask(selected), fix=_mask(fixable), unsafe=unsafe, write=partial(_write_all, out=out))
        for batch in _batches(source, options, 1, storage_options=storage_options):
            for finding, _ in cursor.take(batch):  # the F003 candidates
                (fixed if "F003" in fixable else unfixed)[finding.code] += 1
            assert batch.fixed is not None and batch.unfixed is not None
            fixed.update({code: n for code, n in zip(CODES, batch.fixed) if n})
            unfixed.update({code: n for code, n in zip(CODES, batch.unfixed) if n})
    return FixSummary(dict(sorted(fixed.items())), dict(sorted(unfixed.items())))
