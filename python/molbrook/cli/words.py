"""How the command's messages say how many of something there are."""

from __future__ import annotations


def counted(count: int, noun: str, plural: str | None = None) -> str:
    """`count`, with thousands separated, and `noun` in the number it takes;
    `plural` when adding an s will not do.

    >>> counted(1, "block"), counted(1200, "block"), counted(0, "match", "matches")
    ('1 block', '1,200 blocks', '0 matches')
    """
    return f"{count:,} {noun if count == 1 else plural or noun + 's'}"
