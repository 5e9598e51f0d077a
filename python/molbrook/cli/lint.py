"""`molbrook lint`: the defects that make SD readers lose or disagree on
data, found by code, reported in the formats code linters use, and fixed
where a fix is safe."""

from __future__ import annotations

import argparse
import lzma
import os
import sys
import zlib
from collections.abc import Iterator

from molbrook._lint import CODES, Edit, Finding, lint_fix, scan, selected_codes
from molbrook._lint_rules import RULES
from molbrook._parallel import worker_count
from molbrook.cli import lint_report, progress
from molbrook.cli.errors import FileError, UsageError
from molbrook.cli.inputs import Source, source
from molbrook.cli.options import Command, Parser
from molbrook.cli.outputs import STDOUT, output

CLEAN = 0
FOUND = 1

# What reading a file can raise, reported as one line naming the file.
_READ_ERRORS = (OSError, ValueError, EOFError, zlib.error, lzma.LZMAError)


def configure(parser: Parser) -> None:
    parser.add_argument(
        "files",
        nargs="*",
        metavar="FILE",
        help="SD files, plain or compressed (told by content); - or none: standard input",
    )
    parser.add_argument(
        "--select", metavar="CODES", help="codes or prefixes to look for, comma-separated (default: all)"
    )
    parser.add_argument("--ignore", metavar="CODES", help="codes or prefixes not to look for")
    parser.add_argument(
        "--format",
        choices=lint_report.FORMATS,
        default="concise",
        help="concise (default): PATH:LINE:COL: CODE message; json, jsonl, sarif (SARIF 2.1.0), "
        "github (workflow commands). Lines end at LF, CRLF or a lone CR. A file name's bytes "
        "that are not UTF-8 are written \\xNN in json, jsonl and github, percent-encoded in "
        "sarif's URI",
    )
    parser.add_argument("--statistics", action="store_true", help="a count per code instead of the findings")
    parser.add_argument(
        "--fix", action="store_true", help="apply the safe fixes (with -i or -o OUT), then report what is left"
    )
    parser.add_argument("--unsafe-fixes", action="store_true", help="with --fix: the unsafe fixes too")
    where = parser.add_mutually_exclusive_group()
    where.add_argument(
        "-i", "--in-place", action="store_true", help="with --fix: replace each FILE once it is written whole"
    )
    where.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        help="with --fix: write the fixed FILE to OUT (compressed by extension: .gz, ...)",
    )
    parser.add_argument("--exit-zero", action="store_true", help="exit 0 even when findings remain")
    parser.add_argument("--explain", metavar="CODE", help="what CODE means, why it matters, what its fix does")


def check(args: argparse.Namespace) -> None:
    if args.unsafe_fixes and not args.fix:
        raise UsageError("--unsafe-fixes goes with --fix")
    if (args.in_place or args.output is not None) and not args.fix:
        raise UsageError("-i and -o go with --fix")
    if args.fix and not args.in_place and args.output is None:
        raise UsageError("--fix needs -i (replace each FILE) or -o OUT")
    if args.output == STDOUT:
        raise UsageError("--fix -o needs a file: standard output takes the report")
    if args.output is not None and len(args.files) > 1:
        raise UsageError("-o takes one FILE; use -i for several")
    if args.in_place and (not args.files or STDOUT in args.files):
        raise UsageError("--in-place needs FILEs")
    if args.statistics and args.format not in ("concise", "json"):
        raise UsageError(f"--statistics is reported as concise or json, not {args.format}")


def explain(code: str) -> int:
    rule = RULES.get(code.strip().upper())
    if rule is None:
        raise UsageError(f"no code {code!r}: the codes are {', '.join(CODES)}")
    fix = {"safe": "safe fix", "unsafe": "unsafe fix (--unsafe-fixes)", None: "no fix"}[rule.fix]
    print(f"{rule.code} ({rule.severity}, {fix}): {rule.summary}\n\n{rule.explanation}")
    return CLEAN


def findings(found: Source, codes: set[str], edits: bool) -> Iterator[tuple[Finding, tuple[Edit, ...]]]:
    """The findings of one input, with a progress bar over a plain file when
    one is wanted; read errors name the file."""
    size = found.size() if progress.wanted(found.quiet) else None
    try:
        workers = worker_count(None)
        if size is None:
            yield from scan(found.readable(), codes, workers=workers, edits=edits, path=found.name)
            return
        with progress.byte_counter(size, os.path.basename(found.label)) as advance:
            yield from scan(found.readable(), codes, workers=workers, edits=edits, path=found.name, progress=advance)
    except _READ_ERRORS as error:
        raise FileError.from_exception(found.label, error) from error


def fix(found: Source, args: argparse.Namespace) -> Source:
    """Writes the fixed file; says on standard error what was fixed, and
    returns what to report on: the file written."""
    found.check_readable()
    try:
        with output(found, args.output, in_place=args.in_place) as out:
            summary = lint_fix(found.readable(), out, select=args.select, ignore=args.ignore, unsafe=args.unsafe_fixes)
    except _READ_ERRORS as error:
        raise FileError.from_exception(found.label, error) from error
    if not args.quiet:
        fixed = sum(summary.fixed.values())
        detail = ", ".join(f"{code} {count:,}" for code, count in summary.fixed.items())
        print(f"molbrook lint: {found.label}: fixed {fixed:,}" + (f" ({detail})" if detail else ""), file=sys.stderr)
    return Source(args.output, quiet=True) if args.output is not None else found


def run(args: argparse.Namespace) -> int:
    if args.explain is not None:
        return explain(args.explain)
    check(args)
    try:
        codes = selected_codes(args.select, args.ignore)
    except ValueError as error:
        raise UsageError(str(error)) from None
    inputs = [source(name, quiet=args.quiet) for name in args.files or [None]]
    if args.fix:
        inputs = [fix(found, args) for found in inputs]
    edits = args.format == "sarif"

    def everything() -> Iterator[tuple[Finding, tuple[Edit, ...]]]:
        for found in inputs:
            yield from findings(found, codes, edits)

    tally = lint_report.Tally()
    if args.statistics:
        for finding, _ in everything():
            tally.add(finding)
        lint_report.statistics(tally, args.format == "json", sys.stdout)
    else:
        lint_report.write(everything(), sys.stdout, tally, args.format)
    sys.stdout.flush()
    return FOUND if tally.total and not args.exit_zero else CLEAN


COMMAND = Command(
    "lint",
    "find the defects that make SD readers lose or disagree on data",
    "molbrook lint library.sdf --format github",
    configure,
    run,
    "Codes: F file, M molfile, D data, I info (molbrook lint --explain CODE).",
    status_one="there are findings (left, with --fix; 0 with --exit-zero)",
)
