"""The code examples of the documentation, as the tests run them: the
Python sessions (```pycon) and shell sessions (```console) of the site's
pages and the README, and the examples of the public docstrings."""

from __future__ import annotations

import doctest
import re
import sys
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

REPOSITORY = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPOSITORY / "docs" / "_ext"))
from public_names import public_names  # noqa: E402  (the site's list of them, shared)

SAMPLE = REPOSITORY / "python" / "molbrook" / "data" / "sample.sdf"


def handed_out_types() -> dict[str, type]:
    """The native objects the package hands out without naming their
    classes (a reader, a writer), by the call that makes them."""
    import io

    import molbrook

    blocks = molbrook.parse_sdf(SAMPLE)
    writer = molbrook.sdf_writer(io.BytesIO())
    made = {"molbrook.parse_sdf()": type(blocks), "molbrook.sdf_writer()": type(writer)}
    blocks.close()
    writer.close()
    return made


PAGES = sorted([REPOSITORY / "README.md", *(REPOSITORY / "docs").rglob("*.md")])

FENCE = re.compile(r"^(?P<fence>```+)(?P<lang>[\w-]*)[^\n]*\n(?P<body>.*?)^(?P=fence)[ \t]*$", re.M | re.S)


@dataclass
class Session:
    """One fenced block: its page, the line it starts at, its language and text."""

    page: Path
    line: int
    lang: str
    text: str

    @property
    def name(self) -> str:
        return f"{self.page.relative_to(REPOSITORY)}:{self.line}"


def sessions(page: Path, lang: str) -> list[Session]:
    text = page.read_text(encoding="utf-8")
    return [Session(page, text.count("\n", 0, found.start()) + 1, found["lang"], found["body"])
            for found in FENCE.finditer(text) if found["lang"] == lang]


def page_doctest(page: Path) -> doctest.DocTest | None:
    """The page's Python sessions as one doctest, run top to bottom as a
    reader would, each example at its own line of the page."""
    parser = doctest.DocTestParser()
    examples = []
    for session in sessions(page, "pycon"):
        for example in parser.get_examples(session.text):
            example.lineno += session.line
            examples.append(example)
    if not examples:
        return None
    return doctest.DocTest(examples, {}, str(page.relative_to(REPOSITORY)), str(page), 0, None)


@dataclass
class Command:
    """A `$ command` of a shell session, the output it shows and its status."""

    session: Session
    command: str
    output: str


def commands(session: Session) -> Iterator[Command]:
    """The commands of a console block: each line starting with `$ ` (a
    line ending in a backslash goes on), then the output up to the next."""
    lines = session.text.splitlines()
    at = 0
    while at < len(lines):
        if not lines[at].startswith("$ "):
            raise ValueError(f"{session.name}: line {at + 1} of the block is neither a command nor its output")
        command = lines[at][2:]
        at += 1
        while command.endswith("\\") and at < len(lines):
            command = command + "\n" + lines[at]
            at += 1
        output = []
        while at < len(lines) and not lines[at].startswith("$ "):
            output.append(lines[at])
            at += 1
        yield Command(session, command, "".join(line + "\n" for line in output))


def same_output(shown: str, got: str) -> bool:
    """Output compared as doctest compares it, `...` standing for any text."""
    checker = doctest.OutputChecker()
    return checker.check_output(shown, got, doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
