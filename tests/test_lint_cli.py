"""`molbrook lint`: its formats read back (SARIF against the 2.1.0 schema,
GitHub workflow commands parsed), fixing, explaining and exit statuses."""

import errno
import gzip
import json
import os
import re
import subprocess
import sys
import urllib.parse
from pathlib import Path

import jsonschema
import pytest

import molbrook
from conftest import posix_only

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


def strict_json(text):
    """JSON as a strict parser reads it: UTF-8, and no string holding a lone
    surrogate (which json.loads lets through from a \\uDCxx escape)."""
    def strings(value):
        if isinstance(value, dict):
            return [s for key, item in value.items() for s in [key, *strings(item)]]
        return [s for item in value for s in strings(item)] if isinstance(value, list) else [value]

    values = [json.loads(line) for line in text.decode("utf-8").splitlines()] if text.startswith(b"{\"") \
        else [json.loads(text.decode("utf-8"))]
    for value in strings(values):
        if isinstance(value, str):
            value.encode("utf-8")
    return values


@posix_only
@pytest.mark.parametrize("absolute", [False, True])
def test_machine_formats_write_names_that_are_not_utf8_as_valid_text(tmp_path, absolute):
    name = b"in\xff %.sdf"
    (tmp_path / os.fsdecode(name)).write_bytes(DEFECTS)
    path = os.fsencode(tmp_path) + b"/" + name if absolute else name

    def run(form):
        done = subprocess.run([sys.executable, "-m", "molbrook", "lint", "--format", form, path], cwd=tmp_path,
                              env=dict(os.environ, PYTHONPATH=str(Path(molbrook.__file__).parents[1])),
                              capture_output=True)
        assert done.returncode == 1, done.stderr
        return strict_json(done.stdout)

    shown = os.fsdecode(path).encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    assert {item["path"] for item in run("json")[0]} == {item["path"] for item in run("jsonl")} == {shown}
    log = run("sarif")[0]
    jsonschema.Draft4Validator(SCHEMA).validate(log)
    uris = {r["locations"][0]["physicalLocation"]["artifactLocation"]["uri"] for r in log["runs"][0]["results"]}
    assert uris == {("file://" if absolute else "") + urllib.parse.quote(path)}
    assert urllib.parse.unquote_to_bytes(uris.pop().removeprefix("file://")) == path


def limited_file_size():
    import resource
    import signal

    resource.setrlimit(resource.RLIMIT_FSIZE, (48 << 10, 48 << 10))
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)


@posix_only
@pytest.mark.parametrize("command", ["cli", "library"])
def test_a_fix_that_cannot_be_written_raises_the_write_error(tmp_path, command):
    source, out = tmp_path / "in.sdf", tmp_path / "out.sdf"
    source.write_bytes(DEFECTS * 2000)  # about 250 KB to write, over the limit
    argv = {"cli": ["-m", "molbrook", "lint", "--fix", "-o", out, source],
            "library": ["-c", f"import molbrook; molbrook.lint_fix({str(source)!r}, {str(out)!r})"]}[command]
    done = subprocess.run([sys.executable, *map(str, argv)], capture_output=True, preexec_fn=limited_file_size)
    if command == "cli":
        assert (done.returncode, done.stderr.decode()) == (2, f"molbrook: {out}: {os.strerror(errno.EFBIG)}\n")
    else:
        assert done.returncode == 1
        assert done.stderr.decode().splitlines()[-1].startswith(f"OSError: [Errno {errno.EFBIG}] ")
    assert sorted(path.name for path in tmp_path.iterdir()) == ["in.sdf"]
