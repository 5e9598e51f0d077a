"""Source files of pages that are one per item of a list the package holds
(a command, a lint code): each holds only the directive that renders the
item, so what the page says comes from the package when the site is built.
Written at the start of every build; stale ones are removed."""

from __future__ import annotations

from collections.abc import Iterable
from pathlib import Path


def write_pages(folder: Path, pages: Iterable[tuple[str, str]]) -> None:
    """Makes FOLDER hold exactly the pages given as (stem, rst text); a page
    whose text is unchanged is left alone, so Sphinx does not reread it."""
    folder.mkdir(parents=True, exist_ok=True)
    wanted = dict(pages)
    for stale in folder.glob("*.rst"):
        if stale.stem not in wanted:
            stale.unlink()
    for stem, text in wanted.items():
        page = folder / f"{stem}.rst"
        if not page.exists() or page.read_text(encoding="utf-8") != text:
            page.write_text(text, encoding="utf-8")


def title(text: str) -> str:
    """A reStructuredText section title."""
    return f"{text}\n{'=' * len(text)}\n"
