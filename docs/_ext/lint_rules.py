"""The lint codes, a page each, from the package's own table of rules
(`molbrook._lint_rules.RULES`): what `molbrook lint --explain CODE`
prints, with the code's severity, fix and messages."""

from __future__ import annotations

from pathlib import Path

from docutils import nodes
from docutils.parsers.rst import Directive
from sphinx import addnodes
from sphinx.application import Sphinx

from generated_pages import title, write_pages
from molbrook._lint_rules import RULES, Rule


def fix_text(rule: Rule) -> str:
    return f"{rule.fix} (molbrook lint --fix{' --unsafe-fixes' if rule.fix == 'unsafe' else ''})" \
        if rule.fix else "none"


class RuleDirective(Directive):
    """``.. molbrook-rule:: CODE``: one code, explained."""

    required_arguments = 1

    def run(self) -> list[nodes.Node]:
        code = self.arguments[0]
        if code not in RULES:
            raise self.error(f"no lint code {code!r}")
        rule = RULES[code]
        facts = nodes.field_list()
        for name, value in (("Severity", rule.severity), ("Fix", fix_text(rule)),
                            ("Explained by", f"molbrook lint --explain {code}")):
            facts += nodes.field("", nodes.field_name(name, name),
                                 nodes.field_body("", nodes.paragraph("", "", nodes.literal(value, value))))
        found: list[nodes.Node] = [nodes.paragraph(rule.summary.capitalize(), rule.summary.capitalize()), facts]
        for paragraph in rule.explanation.split("\n\n"):
            text = " ".join(paragraph.split("\n"))
            found.append(nodes.paragraph(text, text))
        found.append(nodes.rubric("", "Messages"))
        messages = nodes.bullet_list()
        for message in rule.messages:
            messages += nodes.list_item("", nodes.paragraph("", "", nodes.literal(message, message)))
        found.append(messages)
        return found


class RuleTableDirective(Directive):
    """``.. molbrook-rules::``: every code with its severity, fix and summary."""

    def run(self) -> list[nodes.Node]:
        table = nodes.table()
        group = nodes.tgroup(cols=4)
        table += group
        for width in (10, 10, 10, 70):
            group += nodes.colspec(colwidth=width)
        group += nodes.thead("", self.row(["code", "severity", "fix", "what"]))
        body = nodes.tbody()
        for code, rule in RULES.items():
            link = addnodes.pending_xref("", nodes.literal(code, code), refdomain="std", reftype="doc",
                                         reftarget=f"/lint/rules/{code}", refexplicit=True)
            body += self.row([link, rule.severity, rule.fix or "-", rule.summary])
        group += body
        return [table]

    @staticmethod
    def row(cells: list[str | nodes.Node]) -> nodes.row:
        row = nodes.row()
        for cell in cells:
            content = cell if isinstance(cell, nodes.Node) else nodes.Text(cell)
            row += nodes.entry("", nodes.paragraph("", "", content))
        return row


def write_rule_pages(app: Sphinx) -> None:
    write_pages(Path(app.srcdir) / "lint" / "rules", (
        (code, f"{title(f'{code}: {rule.summary}')}\n.. molbrook-rule:: {code}\n") for code, rule in RULES.items()))


def setup(app: Sphinx) -> dict[str, object]:
    app.add_directive("molbrook-rule", RuleDirective)
    app.add_directive("molbrook-rules", RuleTableDirective)
    app.connect("builder-inited", write_rule_pages)
    return {"parallel_read_safe": True}
