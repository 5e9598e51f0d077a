"""Depictions laid out for people: a grid of blocks with chosen records under
each (for notebooks, and saved as one HTML or SVG file), and the notebook
HTML of one block and of a record table.

Every title, name and value is escaped where it is shown; the drawings come
from `SDBlock.depict`, which escapes what it draws.
"""

from __future__ import annotations

import html
import os
import re
from collections.abc import Iterable, Sequence
from typing import IO, Any, NamedTuple

from molbrook._output import atomic_destination
from molbrook.native import SDBlock

# A value longer than this is cut, with an ellipsis, under a card.
_CARD_VALUE_CHARS = 80
# Rows a record table shows in a notebook.
_TABLE_ROWS = 10

_GRID_STYLE = "display:grid;gap:6px;font-family:sans-serif;font-size:12px"
_CARD_STYLE = "border:1px solid #ddd;padding:4px;background:#fff;color:#000;overflow:hidden"
_TITLE_STYLE = "font-weight:bold;white-space:nowrap;overflow:hidden;text-overflow:ellipsis"
_RECORD_STYLE = "white-space:nowrap;overflow:hidden;text-overflow:ellipsis"


# What XML forbids in text, even as a character reference: C0 controls but
# tab, LF and CR; lone surrogates; U+FFFE and U+FFFF.
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")


def _escape(text: str) -> str:
    """Text for HTML and SVG content and quoted attributes."""
    return html.escape(_NOT_XML.sub("\ufffd", text))


def _text(value: str | bytes) -> str:
    """A title, name or value as text: bytes blocks' as UTF-8, any invalid
    sequence replaced."""
    return value.decode("utf-8", "replace") if isinstance(value, bytes) else value


def _cut(text: str, limit: int = _CARD_VALUE_CHARS) -> str:
    text = " / ".join(text.splitlines())
    return text if len(text) <= limit else text[: limit - 1] + "\u2026"


class _Card(NamedTuple):
    ordinal: int
    svg: str
    title: str
    records: list[tuple[str, str]]  # the chosen names with a value, in the order chosen


def _records(block: SDBlock[Any], names: Sequence[str]) -> list[tuple[str, str]]:
    found = []
    for name in names:
        value = block.get(name.encode("utf-8", "surrogateescape") if isinstance(block.title, bytes) else name)
        if value is not None:
            found.append((name, _text(value)))
    return found


class Grid:
    """Depictions of blocks in rows, each with its title and chosen records.

    Shown by notebooks (`_repr_html_`); `save` writes it as one HTML or SVG file.
    Made by `molbrook.grid`.
    """

    def __init__(self, cards: list[_Card], per_row: int, size: tuple[int, int], show_title: bool) -> None:
        self._cards = cards
        self._per_row = per_row
        self._size = size
        self._title = show_title

    def __len__(self) -> int:
        return len(self._cards)

    def __repr__(self) -> str:
        return f"<Grid: {len(self._cards)} blocks, {self._per_row} per row>"

    def _repr_html_(self) -> str:
        width = self._size[0] + 10
        parts = [
            f'<div class="molbrook-grid" style="{_GRID_STYLE};grid-template-columns:repeat({self._per_row},{width}px)">'
        ]
        for card in self._cards:
            parts.append(f'<div class="molbrook-card" data-ordinal="{card.ordinal}" style="{_CARD_STYLE}">')
            parts.append(card.svg)
            if self._title:
                parts.append(
                    f'<div style="{_TITLE_STYLE}" title="{_escape(card.title)}">{_escape(card.title) or "&#160;"}</div>'
                )
            for name, value in card.records:
                parts.append(
                    f'<div style="{_RECORD_STYLE}" title="{_escape(value)}">'
                    f"{_escape(name)}: {_escape(_cut(value))}</div>"
                )
            parts.append("</div>")
        parts.append("</div>")
        return "".join(parts)

    def to_html(self) -> str:
        """The grid as a whole HTML document, needing nothing outside it.

        Examples
        --------
        >>> import molbrook
        >>> g = molbrook.grid(molbrook.parse_sdf("python/molbrook/data/sample.sdf"), names=["ID"])
        >>> g.to_html().startswith("<!DOCTYPE html>")
        True
        """
        return (
            '<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>molbrook grid</title></head>'
            f'<body style="margin:8px;background:#f6f6f6">{self._repr_html_()}</body></html>\n'
        )

    def to_svg(self) -> str:
        """The grid as one SVG drawing: each card a group holding its block's
        drawing, with the title and records as text lines under it.

        Examples
        --------
        >>> import molbrook
        >>> g = molbrook.grid(molbrook.parse_sdf("python/molbrook/data/sample.sdf"), names=["ID"])
        >>> g.to_svg().startswith("<svg")
        True
        """
        width, height = self._size
        line = 14
        lines = int(self._title) + max((len(card.records) for card in self._cards), default=0)
        cell_w, cell_h = width + 10, height + lines * line + 10
        rows = -(-len(self._cards) // self._per_row)
        total_w = cell_w * min(self._per_row, max(len(self._cards), 1))
        parts = [
            f'<svg xmlns="http://www.w3.org/2000/svg" width="{total_w}" height="{rows * cell_h}" '
            f'viewBox="0 0 {total_w} {rows * cell_h}" font-family="sans-serif" font-size="11">',
            '<rect width="100%" height="100%" fill="#fff"/>',
        ]
        chars = max(width // 7, 4)
        for at, card in enumerate(self._cards):
            x, y = at % self._per_row * cell_w + 5, at // self._per_row * cell_h + 5
            parts.append(f'<g data-ordinal="{card.ordinal}" transform="translate({x} {y})">{card.svg}')
            texts = ([(_cut(card.title, chars), ' font-weight="bold"')] if self._title else []) + [
                (_cut(f"{name}: {value}", chars), "") for name, value in card.records
            ]
            for number, (text, weight) in enumerate(texts):
                parts.append(f'<text x="0" y="{height + (number + 1) * line}"{weight}>{_escape(text)}</text>')
            parts.append("</g>")
        parts.append("</svg>")
        return "".join(parts) + "\n"

    def save(self, dest: str | os.PathLike[str] | IO[bytes], *, format: str | None = None) -> None:
        """Write the grid as one self-contained file, whole or not at all.

        Parameters
        ----------
        dest : Path or binary file object
            Where to write; a file object needs `format`.
        format : {"html", "svg"}, optional
            By default told by the path's extension (.html, .htm or .svg,
            optionally compressed: grid.svg.gz).

        Examples
        --------
        >>> import molbrook
        >>> molbrook.grid(molbrook.parse_sdf("python/molbrook/data/sample.sdf")).save("grid.html")
        """
        kind = format or grid_format(dest)
        if kind not in ("html", "svg"):
            raise ValueError(f"a grid is saved as html or svg, not {kind!r}")
        data = (self.to_html() if kind == "html" else self.to_svg()).encode("utf-8")
        with atomic_destination(dest) as out:
            out.write(data)


def grid_format(dest: object) -> str:
    if not isinstance(dest, (str, os.PathLike)):
        raise ValueError("saving a grid into a file object needs format='html' or format='svg'")
    name = os.fspath(dest).lower()
    for ending in (".gz", ".bz2", ".xz", ".zst"):
        name = name.removesuffix(ending)
    for extension, kind in ((".html", "html"), (".htm", "html"), (".svg", "svg")):
        if name.endswith(extension):
            return kind
    raise ValueError(f"cannot tell the format of {os.fspath(dest)!r}: name it .html or .svg, or pass format=")


def grid(
    blocks: Iterable[SDBlock[Any]],
    *,
    names: Sequence[str] | None = None,
    per_row: int = 5,
    size: tuple[int, int] = (200, 150),
    show_title: bool = True,
    ordinals: Iterable[int] | None = None,
) -> Grid:
    """A grid of the blocks' depictions with their titles and chosen records.

    The drawings are made on the calling thread.

    Parameters
    ----------
    blocks : Iterable[SDBlock]
        Any iterable of SDBlocks (`index[100:200]`, a list, a reader).
    names : sequence of str, optional
        The record names to show under each drawing, in this order; a name
        that no block has is a ValueError naming those seen.
    per_row : int, default 5
        Drawings in a row.
    size : (int, int), default (200, 150)
        Each drawing's width and height in pixels.
    show_title : bool, default True
        Show each block's title (`title`, elsewhere, names a table column
        of titles).
    ordinals : Iterable[int], optional
        The number each card carries (`data-ordinal`); by default the
        block's position in `blocks`, from 0.

    Returns
    -------
    Grid
        Shown by notebooks; `save` writes it.

    Examples
    --------
    >>> import molbrook
    >>> g = molbrook.grid(molbrook.parse_sdf("python/molbrook/data/sample.sdf"), names=["ID", "MW"])
    >>> g.save("library.html")
    """
    if isinstance(names, (str, bytes)):
        raise TypeError("names must be a list of record names, not a single name")
    if per_row < 1:
        raise ValueError(f"per_row must be 1 or more, not {per_row}")
    width, height = size
    chosen = list(names or [])
    numbers = iter(ordinals) if ordinals is not None else None
    cards = []
    seen: dict[str, None] = {}
    for position, block in enumerate(blocks):
        if not isinstance(block, SDBlock):
            raise TypeError(f"grid() takes SDBlocks, not {type(block).__name__}")
        ordinal = position if numbers is None else next(numbers, None)
        if ordinal is None:
            raise ValueError(f"grid() was given fewer ordinals ({position}) than blocks")
        if chosen:
            seen.update(dict.fromkeys(map(_text, block.names())))
        cards.append(_Card(ordinal, block.depict(width, height), _text(block.title), _records(block, chosen)))
    for name in chosen:
        if name not in seen:
            from molbrook.cli.errors import no_record_named

            raise ValueError(no_record_named(name, seen))
    return Grid(cards, per_row, (width, height), show_title)


def block_html(block: SDBlock[Any]) -> str:
    """A block for notebooks: its depiction beside its title and records."""
    rows = "".join(
        f'<tr><th style="text-align:left;padding-right:1em">{_escape(_text(name))}</th>'
        f'<td style="white-space:pre-wrap">{_escape(_text(value))}</td></tr>'
        for name, value in block.records()
    )
    return (
        f'<div style="display:flex;gap:1em;align-items:flex-start">{block.depict()}'
        f'<div><div style="font-weight:bold">{_escape(_text(block.title))}</div>'
        f"<table>{rows}</table></div></div>"
    )


def table_html(columns: dict[str, list[Any]], num_rows: int) -> str:
    """The first rows of a table as pandas shows a DataFrame: an index
    column, a header row, and the shape under it."""
    shown = min(num_rows, _TABLE_ROWS)
    head = "".join(f"<th>{_escape(str(name))}</th>" for name in columns)
    body = "".join(
        "<tr><th>{}</th>{}</tr>".format(
            row, "".join(f"<td>{_escape(_cell(values[row]))}</td>" for values in columns.values())
        )
        for row in range(shown)
    )
    if num_rows > shown:
        body += "<tr><th>...</th>" + "<td>...</td>" * len(columns) + "</tr>"
    return (
        f'<table border="1" class="dataframe"><thead><tr style="text-align: right;"><th></th>{head}</tr>'
        f"</thead><tbody>{body}</tbody></table>"
        f"<p>{num_rows} rows \u00d7 {len(columns)} columns</p>"
    )


def _cell(value: object) -> str:
    if value is None:
        return "None"
    return _text(value) if isinstance(value, (str, bytes)) else str(value)
