"""Pictures of molecules made when the site is built, by molbrook's own
depiction (`SDBlock.depict`, `molbrook.grid`), so that the guide shows what
the code it lists draws.

``.. molbrook-depict:: PATH``   blocks of PATH (relative to the repository),
    ``:blocks: 0 3 5`` (ordinals, default 0), ``:size: 240 180``; one block
    is drawn alone, several as a grid with ``:names: ID,MW`` under each.
"""

from __future__ import annotations

from pathlib import Path

from docutils import nodes
from docutils.parsers.rst import Directive, directives
from sphinx.application import Sphinx

import molbrook

REPOSITORY = Path(__file__).resolve().parents[2]


def ordinals(text: str) -> list[int]:
    return [int(part) for part in text.split()]


def size(text: str) -> tuple[int, int]:
    width, height = (int(part) for part in text.split())
    return width, height


class DepictDirective(Directive):
    required_arguments = 1
    option_spec = {"blocks": ordinals, "size": size, "names": directives.unchanged, "per-row": int}

    def run(self) -> list[nodes.Node]:
        path = REPOSITORY / self.arguments[0]
        if not path.is_file():
            raise self.error(f"no file {self.arguments[0]} in the repository")
        self.state.document.settings.record_dependencies.add(str(path))
        wanted = self.options.get("blocks", [0])
        width, height = self.options.get("size", (240, 180))
        with molbrook.index_sdf(str(path), sidecar=False) as index:
            blocks = index.take(wanted)
        if len(blocks) == 1 and "names" not in self.options:
            svg = blocks[0].depict(width, height)
        else:
            names = [name for name in self.options.get("names", "").split(",") if name]
            svg = molbrook.grid(blocks, names=names, per_row=self.options.get("per-row", 4),
                                size=(width, height), ordinals=wanted).to_svg()
        return [nodes.raw("", f'<div class="molbrook-depiction">{svg}</div>', format="html")]


def setup(app: Sphinx) -> dict[str, object]:
    app.add_directive("molbrook-depict", DepictDirective)
    return {"parallel_read_safe": True}
