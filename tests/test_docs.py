"""Every code example of the documentation runs and shows what it says:
the Python sessions of each page (run top to bottom), its shell sessions
through the `molbrook` command, and the examples of the public docstrings.
They run in a fresh folder in which `python/` and `tests/` are the
repository's, so that the examples read the corpus as a reader's checkout
would and write where they like."""

from __future__ import annotations

import doctest
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest
from docs_examples import (
    PAGES,
    REPOSITORY,
    commands,
    handed_out_types,
    page_doctest,
    public_names,
    same_output,
    sessions,
)

PYCON_PAGES = [page for page in PAGES if page_doctest(page) is not None]
# The README's commands run in the everyday suite; the guides' (a second or
# more each, for the interpreter's start-up per command) in the slow tier.
SHELL_PAGES = [pytest.param(page, marks=[] if page.name == "README.md" else [pytest.mark.slow])
               for page in PAGES if sessions(page, "console")]


@pytest.fixture
def checkout(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """A folder laid out as the repository's root, and a `molbrook` command
    on PATH that runs this interpreter's molbrook."""
    for name in ("python", "tests"):
        (tmp_path / name).symlink_to(REPOSITORY / name)
    bin_dir = tmp_path / ".bin"
    bin_dir.mkdir()
    shim = bin_dir / "molbrook"
    shim.write_text(f'#!/bin/sh\nexec "{sys.executable}" -m molbrook "$@"\n')
    shim.chmod(0o755)
    monkeypatch.setenv("PATH", f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    monkeypatch.chdir(tmp_path)
    return tmp_path


def missing_package(error: BaseException | None) -> str | None:
    """The package not installed here that `error` (or its cause) failed to import, or None."""
    while error is not None:
        if isinstance(error, ModuleNotFoundError) and error.name:
            package = error.name.partition(".")[0]
            if importlib.util.find_spec(package) is None:
                return package
        error = error.__cause__
    return None


class Runner(doctest.DocTestRunner):
    """Notes a package the examples need and this interpreter lacks (some
    have no build for a free-threaded one)."""

    missing: str | None = None

    def report_unexpected_exception(self, out, test, example, exc_info):
        self.missing = self.missing or missing_package(exc_info[1])
        super().report_unexpected_exception(out, test, example, exc_info)


def run_doctest(test: doctest.DocTest) -> None:
    runner = Runner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    failures = []
    runner.run(test, out=failures.append)
    if runner.missing:
        pytest.skip(f"the examples need {runner.missing}, which is not installed")
    assert runner.failures == 0, "".join(failures)


@pytest.mark.parametrize("page", PYCON_PAGES, ids=lambda page: str(page.relative_to(REPOSITORY)))
def test_page_python_sessions(page: Path, checkout: Path) -> None:
    test = page_doctest(page)
    assert test is not None
    run_doctest(test)


@pytest.mark.parametrize("page", SHELL_PAGES, ids=lambda page: str(page.relative_to(REPOSITORY)))
def test_page_shell_sessions(page: Path, checkout: Path) -> None:
    """The page's commands in order, each with the output and status shown."""
    wrong = []
    for session in sessions(page, "console"):
        for command in commands(session):
            done = subprocess.run(["bash", "-c", command.command], capture_output=True, text=True, timeout=120)
            got = done.stdout + done.stderr
            if done.returncode != 0:
                got += f"[exit status {done.returncode}]\n"
            if not same_output(command.output, got):
                wrong.append(f"{session.name}: $ {command.command}\n--- shown:\n{command.output}--- got:\n{got}")
    assert not wrong, "\n".join(wrong)


def docstring_tests() -> list[doctest.DocTest]:
    finder = doctest.DocTestFinder(exclude_empty=True)
    found = {}
    for name, value in {**public_names(), **handed_out_types()}.items():
        for test in finder.find(value, name, module=False, globs={}):
            if test.examples:
                found.setdefault(test.name, test)
    return sorted(found.values(), key=lambda test: test.name)


@pytest.mark.parametrize("test", docstring_tests(), ids=lambda test: test.name)
def test_docstring_examples(test: doctest.DocTest, checkout: Path) -> None:
    run_doctest(test)
