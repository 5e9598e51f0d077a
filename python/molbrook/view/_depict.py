"""The drawing of a block on a card: `SDBlock.depict` where this build has
it, else a placeholder that says so."""

from __future__ import annotations

from molbrook.native import SDBlock

_PLACEHOLDER = ('<svg xmlns="http://www.w3.org/2000/svg" width="{w}" height="{h}" viewBox="0 0 {w} {h}">'
                '<text x="50%" y="50%" text-anchor="middle" font-family="sans-serif" font-size="12" '
                'fill="#888">no drawing in this build</text></svg>')


def depiction(block: SDBlock[bytes], width: int, height: int) -> str:
    """The block's SVG, `width` by `height` pixels.

    >>> depiction(block, 200, 150)[:4]
    '<svg'
    """
    try:
        draw = block.depict  # type: ignore[attr-defined]
    except AttributeError:  # a build before depictions
        return _PLACEHOLDER.format(w=width, h=height)
    return str(draw(width, height))
