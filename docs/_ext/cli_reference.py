"""The command line reference, made from the commands' own argument parsers
(`molbrook.cli.main.COMMANDS`) so that it cannot drift from them: a page
per command with its usage, options, example and exit statuses."""

from __future__ import annotations

import argparse
import importlib
import signal
from pathlib import Path

from docutils import nodes
from docutils.parsers.rst import Directive
from sphinx import addnodes
from sphinx.application import Sphinx

from generated_pages import title, write_pages
from molbrook.cli.options import Command

# The module, which the package's `main` function hides.
cli_main = importlib.import_module("molbrook.cli.main")


def exit_statuses(command: Command) -> list[tuple[str, str]]:
    """The statuses `molbrook COMMAND` ends with, from the values main.py returns."""
    statuses = [("0", "success")]
    if command.status_one:
        statuses.append(("1", command.status_one))
    statuses.append((str(cli_main.FAILED), "an error: a bad argument, an unreadable input, a failed write "
                                          "(one line on standard error; outputs left as they were)"))
    statuses.append((str(cli_main.INTERRUPTED), "interrupted by Ctrl-C (SIGINT); outputs left as they were"))
    statuses.append((str(cli_main.CLOSED_PIPE), "whoever read standard output closed it (as a process killed "
                                               "by SIGPIPE)"))
    for ending in cli_main.ENDING:
        statuses.append((str(128 + ending), f"ended by {signal.Signals(ending).name}; outputs left as they were"))
    return statuses


def option_label(action: argparse.Action) -> str:
    """`-k KEY, --key KEY` for an option, `FILE ...` for a positional."""
    metavar = action.metavar or (action.dest.upper() if action.nargs != 0 else None)
    if isinstance(metavar, tuple):
        metavar = " ".join(metavar)
    if action.choices is not None and action.metavar is None:
        metavar = "{" + ",".join(map(str, action.choices)) + "}"
    if not action.option_strings:
        return f"{metavar} ..." if action.nargs in ("*", "+") else str(metavar)
    if action.nargs == 0:
        return ", ".join(action.option_strings)
    return ", ".join(f"{option} {metavar}" for option in action.option_strings)


def option_help(parser: argparse.ArgumentParser, action: argparse.Action) -> str:
    text = parser._get_formatter()._expand_help(action) if action.help else ""
    shown_default = action.default not in (None, False, [], argparse.SUPPRESS) and action.option_strings
    if shown_default and "default" not in text:
        text = f"{text} (default: {action.default})"
    if action.required and action.option_strings:
        text = f"{text} (required)"
    return text


def definitions(items: list[tuple[str, str]], literal_terms: bool) -> nodes.definition_list:
    listing = nodes.definition_list()
    for term, text in items:
        entry = nodes.definition_list_item()
        entry += nodes.term("", "", nodes.literal(term, term) if literal_terms else nodes.Text(term))
        entry += nodes.definition("", nodes.paragraph(text, text))
        listing += entry
    return listing


class CommandDirective(Directive):
    """``.. molbrook-command:: NAME``: the reference of one command."""

    required_arguments = 1

    def run(self) -> list[nodes.Node]:
        name = self.arguments[0]
        if name not in cli_main.COMMANDS:
            raise self.error(f"no molbrook command {name!r}")
        command = cli_main.COMMANDS[name]
        parser = command.parser()
        shown = [action for action in parser._actions if action.help != argparse.SUPPRESS]
        usage = parser.format_usage().removeprefix("usage: ").strip()
        return [
            nodes.paragraph(parser.description, parser.description),
            nodes.rubric("", "Usage"),
            nodes.literal_block(usage, usage, language="text"),
            nodes.rubric("", "Arguments and options"),
            definitions([(option_label(action), option_help(parser, action)) for action in shown], True),
            nodes.rubric("", "Example"),
            nodes.literal_block(command.example, command.example, language="sh"),
            nodes.rubric("", "Exit status"),
            definitions(exit_statuses(command), True),
        ]


class CommandListDirective(Directive):
    """``.. molbrook-commands::``: every command with its summary, linked."""

    def run(self) -> list[nodes.Node]:
        listing = nodes.bullet_list()
        for name, command in cli_main.COMMANDS.items():
            reference = addnodes.pending_xref("", nodes.literal(name, name), refdomain="std", reftype="doc",
                                              reftarget=f"/cli/commands/{name}", refexplicit=True)
            item = nodes.paragraph("", "", reference, nodes.Text(f": {command.summary}"))
            listing += nodes.list_item("", item)
        return [listing]


def write_command_pages(app: Sphinx) -> None:
    write_pages(Path(app.srcdir) / "cli" / "commands", (
        (name, f"{title(f'molbrook {name}')}\n.. molbrook-command:: {name}\n")
        for name in cli_main.COMMANDS))


def setup(app: Sphinx) -> dict[str, object]:
    app.add_directive("molbrook-command", CommandDirective)
    app.add_directive("molbrook-commands", CommandListDirective)
    app.connect("builder-inited", write_command_pages)
    return {"parallel_read_safe": True}
