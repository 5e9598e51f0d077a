"""The lint jobs of compare.py: molbrook.lint over the file on one and two
threads, and lint_fix of a copy with a fix in every block against the
round trip of that copy."""

from __future__ import annotations

import os
from functools import partial
from pathlib import Path
from typing import Any, Callable, Iterable

from common import Checksum, into_open_file, round_trip

from molbrook import Finding, lint, lint_fix, parse_sdf


def findings_checksum(findings: Iterable[Finding]) -> Checksum:
    """Findings, and the bytes they cover."""
    found = list(findings)
    return Checksum(None, len(found), sum(finding.byte_length for finding in found))


def fix_file(lf: Path) -> Path:
    """A copy of the file with a fix to make in every block, made once: its
    M  END line ends with CRLF in a file of LF lines (an F003 edit), and a
    block with records gets an empty line after M  END (D001)."""
    fixable = lf.with_name(f"{lf.stem}-lint.sdf")
    if not fixable.exists():
        def blocks() -> Iterable[bytes]:
            for block in parse_sdf(os.fsencode(lf), borrow=True):
                data = bytes(block).replace(b"\nM  END\n", b"\nM  END\r\n", 1)
                yield data.replace(b"\nM  END\r\n> ", b"\nM  END\r\n\n> ", 1)
        with open(fixable, "wb") as out:
            out.writelines(blocks())
    return fixable


def fix_into_file(fixable: Path, out: Path) -> Any:
    return into_open_file(out, partial(lint_fix, str(fixable)))


def fix_checksum(fixable: Path, out: Path) -> Checksum:
    summary = fix_into_file(fixable, out)
    return Checksum(None, sum(summary.fixed.values()), out.stat().st_size)


def jobs(job: Callable[..., Any], streamed: Callable[..., Any], lf: Path, out: Path) -> list[Any]:
    """The jobs, made with compare.py's Job class and its streamed()."""
    remove_out = partial(out.unlink, missing_ok=True)
    fixable = fix_file(lf)
    return [
        streamed("lint", "molbrook: lint(path)", "molbrook", lf, lambda p: lint(str(p), workers=1),
                 findings_checksum),
        streamed("lint_2", "molbrook: lint(path, workers=2)", "molbrook", lf, lambda p: lint(str(p), workers=2),
                 findings_checksum, agrees_with="lint"),
        job("lint_fix", "molbrook: lint_fix, a fix in every block", "molbrook", fixable,
            partial(fix_into_file, fixable, out), partial(fix_checksum, fixable, out), setup=remove_out),
        job("lint_fix_round_trip", "molbrook: write_sdf(parse_sdf(...)), lint_fix file", "molbrook", fixable,
            partial(round_trip, fixable, out), setup=remove_out),
    ]


# (job, reference, minimum ratio of their throughputs on the same file)
TARGETS = [
    ("lint", "to_dict", 1.0),
    ("lint_2", "lint", 1.7),
    ("lint_fix", "lint_fix_round_trip", 0.7),
]
