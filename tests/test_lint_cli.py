"""`molbrook lint`: its formats read back (SARIF against the 2.1.0 schema,
GitHub workflow commands parsed), fixing, explaining and exit statuses."""

import gzip
import json
import re
import subprocess
import sys
from pathlib import Path

import jsonschema
import pytest

import molbrook

SCHEMA = json.loads((Path(__file__).parent / "data" / "sarif-schema-2.1.0.json").read_text())
MOL = b"T\n  prog\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n"
DEFECTS = (b"\xef\xbb\xbf" + MOL + b"\n> <A>\nx\n> <B, 50%>\n  y\n$$$$\n" + MOL.replace(b"M  END\n", b"M  END\r\n")
           + b"> <A>\n\xff\n")


def molbrook_lint(*args, input=None):
    return subprocess.run([sys.executable, "-m", "molbrook", "lint", *map(str, args)], input=input,
                          capture_output=True)


@pytest.fixture
def defective(tmp_path):
    path = tmp_path / "in, 100%.sdf"
    path.write_bytes(DEFECTS)
    return path


def test_concise_json_and_jsonl_report_the_findings(defective):
    expected = list(molbrook.lint(defective))
    assert {f.code for f in expected} == {"F001", "F003", "F004", "F005", "D001", "D003", "D004", "I002"}
    done = molbrook_lint(defective)
    lines = done.stdout.decode().splitlines()
    assert done.returncode == 1
    assert lines[:-1] == [f"{f.path}:{f.line}:{f.column}: {f.code} {f.message}" for f in expected]
    assert lines[-1].startswith(f"Found {len(expected)} findings")
    as_json = json.loads(molbrook_lint(defective, "--format", "json").stdout)
    as_jsonl = [json.loads(line) for line in molbrook_lint(defective, "--format", "jsonl").stdout.splitlines()]
    assert as_json == as_jsonl
    assert [molbrook.Finding(**item) for item in as_json] == expected


def test_sarif_is_valid_and_its_fixes_are_the_fix(defective, tmp_path):
    log = json.loads(molbrook_lint(defective, "--format", "sarif").stdout)
    jsonschema.Draft4Validator(SCHEMA).validate(log)
    results = log["runs"][0]["results"]
    assert [r["ruleId"] for r in results] == [f.code for f in molbrook.lint(defective)]
    # The fixes of the safe findings other than F003 (which fixes every line ending) are lint_fix's edits.
    edits = [(r["deletedRegion"]["byteOffset"], r["deletedRegion"]["byteLength"], r["insertedContent"]["text"])
             for result in results if result["ruleId"] != "F003" and "unsafe" not in str(result.get("fixes"))
             for fix in result.get("fixes", []) for change in fix["artifactChanges"] for r in change["replacements"]]
    data, at, out = DEFECTS, 0, b""
    for offset, length, text in sorted(edits):
        out += data[at:offset] + text.encode()
        at = offset + length
    fixed = tmp_path / "fixed.sdf"
    molbrook.lint_fix(defective, fixed, ignore="F003")
    assert fixed.read_bytes() == out + data[at:]


def unescape(text):
    return text.replace("%2C", ",").replace("%3A", ":").replace("%0A", "\n").replace("%0D", "\r").replace("%25", "%")


def test_github_commands_parse_back(defective):
    parsed = []
    for line in molbrook_lint(defective, "--format", "github").stdout.decode().splitlines():
        level, properties, message = re.fullmatch(r"::(\w+) ([^:]*)::(.*)", line).groups()
        fields = dict(item.split("=", 1) for item in properties.split(","))
        parsed.append((level, unescape(fields["file"]), int(fields["line"]), int(fields["col"]), fields["title"],
                       unescape(message)))
    levels = {"error": "error", "warning": "warning", "info": "notice"}
    assert parsed == [(levels[f.severity], f.path, f.line, f.column, f.code, f.message)
                      for f in molbrook.lint(defective)]


def test_fix_in_place_and_to_a_file(defective, tmp_path):
    out = tmp_path / "out.sdf"
    done = molbrook_lint(defective, "--fix", "-o", out, "--format", "json")
    left = {item["code"] for item in json.loads(done.stdout)}
    assert left == {"F005", "D003", "I002"} and done.returncode == 1
    assert b"fixed 5" in done.stderr
    assert defective.read_bytes() == DEFECTS
    assert molbrook_lint(defective, "--fix", "--unsafe-fixes", "-i", "--select", "D003").returncode == 0
    assert [f.code for f in molbrook.lint(defective, select="D")] == ["D001", "D004"]


@pytest.mark.parametrize("args, status, output", [
    (["--exit-zero"], 0, b"Found 8 findings"),
    (["--select", "F005,M"], 1, b"F005"),
    (["--ignore", "F,D,I"], 0, b"No findings."),
    (["--statistics"], 1, b"D003  [-] a data header straight after a value line"),
    (["--select", "Q"], 2, b"no code is or starts with 'Q'"),
    (["--fix"], 2, b"--fix needs -i"),
    (["--format", "sarif", "--statistics"], 2, b"--statistics"),
])
def test_options_and_statuses(defective, args, status, output):
    done = molbrook_lint(defective, *args)
    assert done.returncode == status
    assert output in done.stdout + done.stderr


def test_explain_standard_input_and_unreadable_files(tmp_path):
    explained = molbrook_lint("--explain", "d004")
    assert explained.returncode == 0 and explained.stdout.startswith(b"D004 (warning, safe fix)")
    assert molbrook_lint("-", input=gzip.compress(MOL)).stdout.startswith(b"-:6:1: F001 ")
    truncated = tmp_path / "cut.sdf.gz"
    truncated.write_bytes(gzip.compress(MOL * 100)[:-20])
    for unreadable in (tmp_path / "none.sdf", truncated):
        failed = molbrook_lint(unreadable)
        assert failed.returncode == 2 and failed.stderr.count(b"\n") == 1
