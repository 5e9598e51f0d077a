"""How `molbrook lint` reports findings: concise lines, JSON, JSON lines,
SARIF 2.1.0, GitHub workflow commands, or counts per code."""

from __future__ import annotations

import base64
import dataclasses
import json
import os
import urllib.parse
from collections import Counter
from collections.abc import Iterable
from typing import IO, Any

from molbrook._lint import CODES, Edit, Finding, decoded
from molbrook._lint_rules import RULES
from molbrook.native import __version__

FORMATS = ("concise", "json", "jsonl", "sarif", "github")

SARIF_SCHEMA = "https://docs.oasis-open.org/sarif/sarif/v2.1.0/errata01/os/schemas/sarif-schema-2.1.0.json"
_SARIF_LEVELS = {"error": "error", "warning": "warning", "info": "note"}
_GITHUB_LEVELS = {"error": "error", "warning": "warning", "info": "notice"}

Found = Iterable[tuple[Finding, tuple[Edit, ...]]]


class Tally:
    """Findings counted as they are reported."""

    def __init__(self) -> None:
        self.codes: Counter[str] = Counter()
        self.fixes: Counter[str | None] = Counter()

    def add(self, finding: Finding) -> Finding:
        self.codes[finding.code] += 1
        self.fixes[finding.fix] += 1
        return finding

    @property
    def total(self) -> int:
        return sum(self.codes.values())


def write(found: Found, out: IO[str], tally: Tally, form: str) -> None:
    """Writes the findings to `out` in `form` as they come (SARIF once all
    are in), counting them into `tally`."""
    counted = ((tally.add(finding), edits) for finding, edits in found)
    if form == "concise":
        for finding, _ in counted:
            out.write(f"{finding.path}:{finding.line}:{finding.column}: {finding.code} {finding.message}\n")
        out.write(count_line(tally) + "\n")
    elif form == "json":
        out.write("[")
        for i, (finding, _) in enumerate(counted):
            out.write(("," if i else "") + "\n  " + as_json(finding))
        out.write("\n]\n" if tally.total else "]\n")
    elif form == "jsonl":
        for finding, _ in counted:
            out.write(as_json(finding) + "\n")
    elif form == "sarif":
        json.dump(sarif(counted), out, indent=2)
        out.write("\n")
    else:
        for finding, _ in counted:
            out.write(github_command(finding) + "\n")


def path_text(path: str | None) -> str | None:
    """A finding's path as json, jsonl and github give it: UTF-8 text, each
    byte of the name that is not UTF-8 written as \\xNN, as record names
    are (SARIF percent-encodes the bytes in its URI instead).

    >>> path_text(os.fsdecode(b"lib\\xff.sdf"))
    'lib\\\\xff.sdf'
    """
    return None if path is None else decoded(os.fsencode(path))


def as_json(finding: Finding) -> str:
    """The finding as one JSON object, its path by `path_text`."""
    return json.dumps(dataclasses.asdict(finding) | {"path": path_text(finding.path)})


def count_line(tally: Tally) -> str:
    if not tally.total:
        return "No findings."
    counts = [f"{tally.fixes['safe']:,} fixable with --fix"] if tally.fixes["safe"] else []
    if tally.fixes["unsafe"]:
        counts.append(f"{tally.fixes['unsafe']:,} with --fix --unsafe-fixes")
    s = "" if tally.total == 1 else "s"
    return f"Found {tally.total:,} finding{s}" + (f" ({', '.join(counts)})." if counts else ".")


def statistics(tally: Tally, as_json: bool, out: IO[str]) -> None:
    """A count per code, the most frequent first."""
    rows = sorted(tally.codes.items(), key=lambda item: (-item[1], item[0]))
    if as_json:
        json.dump(
            [
                {
                    "code": code,
                    "count": count,
                    "severity": RULES[code].severity,
                    "fix": RULES[code].fix,
                    "summary": RULES[code].summary,
                }
                for code, count in rows
            ],
            out,
            indent=2,
        )
        out.write("\n")
        return
    width = max((len(f"{count:,}") for _, count in rows), default=1)
    for code, count in rows:
        fix = {"safe": "[*]", "unsafe": "[-]"}.get(RULES[code].fix or "", "   ")
        out.write(f"{count:>{width},}  {code}  {fix} {RULES[code].summary}\n")
    out.write(count_line(tally) + "\n")


# GitHub ----------------------------------------------------------------------


def _escape_data(text: str) -> str:
    return text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")


def _escape_property(text: str) -> str:
    return _escape_data(text).replace(":", "%3A").replace(",", "%2C")


def github_command(finding: Finding) -> str:
    """A workflow command that annotates the finding's line."""
    where = ",".join(
        f"{key}={_escape_property(str(value))}"
        for key, value in (
            ("file", path_text(finding.path)),
            ("line", finding.line),
            ("col", finding.column),
            ("title", finding.code),
        )
    )
    return f"::{_GITHUB_LEVELS[finding.severity]} {where}::{_escape_data(finding.message)}"


# SARIF -----------------------------------------------------------------------


def _uri(path: str | None) -> str:
    """A file: URI for an absolute path, a relative reference otherwise,
    percent-encoding the name's bytes as they are."""
    if path is None or path == "-":
        return "stdin"
    encoded = urllib.parse.quote(os.fsencode(path.replace(os.sep, "/")))
    return "file://" + encoded if os.path.isabs(path) else encoded


def _content(text: bytes) -> dict[str, str]:
    try:
        return {"text": text.decode("utf-8")}
    except UnicodeDecodeError:
        return {"binary": base64.b64encode(text).decode("ascii")}


def _rule(code: str) -> dict[str, Any]:
    rule = RULES[code]
    return {
        "id": code,
        "shortDescription": {"text": rule.summary},
        "fullDescription": {"text": rule.explanation},
        "help": {"text": rule.explanation},
        "defaultConfiguration": {"level": _SARIF_LEVELS[rule.severity]},
        "properties": {"fix": rule.fix},
    }


def _result(finding: Finding, edits: tuple[Edit, ...]) -> dict[str, Any]:
    location = {"uri": _uri(finding.path)}
    result: dict[str, Any] = {
        "ruleId": finding.code,
        "ruleIndex": CODES.index(finding.code),
        "level": _SARIF_LEVELS[finding.severity],
        "message": {"text": finding.message},
        "locations": [
            {
                "physicalLocation": {
                    "artifactLocation": location,
                    "region": {
                        "startLine": finding.line,
                        "startColumn": finding.column,
                        "byteOffset": finding.byte_offset,
                        "byteLength": finding.byte_length,
                    },
                }
            }
        ],
    }
    if edits:
        how = "molbrook lint --fix" + (" --unsafe-fixes" if finding.fix == "unsafe" else "")
        result["fixes"] = [
            {
                "description": {"text": f"{finding.fix} fix ({how})"},
                "artifactChanges": [
                    {
                        "artifactLocation": location,
                        "replacements": [
                            {
                                "deletedRegion": {"byteOffset": edit.byte_offset, "byteLength": edit.byte_length},
                                "insertedContent": _content(edit.text),
                            }
                            for edit in edits
                        ],
                    }
                ],
            }
        ]
    return result


def sarif(found: Found) -> dict[str, Any]:
    """One SARIF 2.1.0 log of one run, every code a rule."""
    return {
        "$schema": SARIF_SCHEMA,
        "version": "2.1.0",
        "runs": [
            {
                "tool": {
                    "driver": {
                        "name": "molbrook",
                        "version": __version__,
                        "semanticVersion": __version__,
                        "rules": [_rule(code) for code in CODES],
                    }
                },
                "results": [_result(finding, edits) for finding, edits in found],
            }
        ],
    }
