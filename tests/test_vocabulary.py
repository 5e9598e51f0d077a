"""One word for each idea. The table below holds every concept with its
library keyword and its command-line spelling per command; the tests walk
every command's parser and every public function's signature against it,
so that a new option or keyword is given a concept before it lands, and
a spelling cannot come to mean two things. Old spellings still work, and
say what replaced them."""

from __future__ import annotations

import inspect
import re
from collections.abc import Callable
from pathlib import Path

import pytest

import molbrook
import molbrook.dask
from molbrook import TITLE, SortKey, index_sdf, merge_records, parse_sdf, sort_sdf
from molbrook.cli.main import COMMANDS, main
from molbrook.cli.options import Renamed

REPOSITORY = Path(__file__).resolve().parents[1]
SORTING = ("sort", "top", "uniq")
WRITING = ("head", "filter", "cat", "cut", "set", "rm", "rename", "merge", "sort", "top", "uniq", "get", "take",
           "sample", "from-table", "lint", "depict")

# concept: (library keywords, {command-line spelling: the commands that have it}).
CONCEPTS: dict[str, tuple[tuple[str, ...], dict[str, tuple[str, ...]]]] = {
    "key": (("key",), {"-k/--key": ("index", "get", "merge", "uniq", "view", "sort", "top")}),
    "order keys": (("by",), {"--by": ("uniq",)}),
    "group": (("group",), {"--group": ("sort",)}),
    "title column": (("title",), {"--title": ("cut", "from-table", "merge")}),
    "title pattern": ((), {"--title-matches": ("filter",)}),
    "molblock column": (("molblock",), {"--molblock": ("cut", "from-table")}),
    "block column": (("block",), {"--block": ("cut", "from-table")}),
    "record names": (("names",), {"-f/--fields": ("cut", "merge", "from-table", "depict"),
                                  "-f/--field": ("set", "rm", "rename")}),
    "record name": (("name",), {}),
    "record value": (("value", "default"), {}),
    "renaming": (("old", "new"), {}),
    "key order": (("kind", "descending"), {}),
    "strict check": (("strict",), {}),
    "column types": (("types",), {"--types": ("cut",)}),
    "memory": (("memory",), {"-S/--memory": SORTING}),
    "tmpdir": (("tmpdir",), {"-T/--tmpdir": SORTING}),
    "output": (("dest",), {"-o/--output": WRITING}),
    "in place": ((), {"-i/--in-place": ("set", "rm", "rename", "merge", "lint")}),
    "workers": (("workers",), {}),
    "size": (("blocksize",), {}),
    "count of blocks": (("top",), {"-n/--blocks": ("head", "top", "sample", "depict"), "--top": ("sort",),
                                   "--blocks": ("split",)}),
    "per group": (("per_group",), {"--per-group": ("sort",)}),
    "duplicates": (("duplicates",), {"--dups": ("sort", "uniq")}),
    "provenance": (("provenance",), {"--provenance": SORTING}),
    "missing values": (("missing",), {"--missing": SORTING}),
    "float format": (("float_format",), {"--float-format": ("merge", "from-table")}),
    "format": (("format",), {"--format": ("from-table", "lint")}),
    "codes": (("select", "ignore"), {"--select": ("lint",), "--ignore": ("lint",)}),
    "unsafe fixes": (("unsafe",), {"--unsafe-fixes": ("lint",)}),
    # What only one command or function has.
    "test": ((), {"-w/--where": ("filter",), "-v/--invert": ("filter",)}),
    "source column": ((), {"--source": ("cut",)}),
    "every block of a key": ((), {"-a/--all": ("get",)}),
    "seed": ((), {"-s/--seed": ("sample",)}),
    "shards": ((), {"--parts": ("split",), "--prefix": ("split",), "--suffix": ("split",)}),
    "lint report": ((), {"--statistics": ("lint",), "--fix": ("lint",), "--exit-zero": ("lint",),
                         "--explain": ("lint",)}),
    "grid": (("per_row", "size", "show_title", "ordinals"), {"--per-row": ("depict",)}),
    "server": ((), {"--host": ("view",), "--port": ("view",), "--no-browser": ("view",)}),
    "sidecar": (("sidecar",), {}),
    "remote settings": (("storage_options",), {}),
    "index cache": (("cache",), {}),
    "rows per batch": (("batch_rows",), {}),
    "progress": (("progress",), {}),
    "borrowed blocks": (("borrow",), {}),
    "byte range": (("start", "end"), {}),
    "ctab header": (("header",), {}),
    "depiction": (("width", "height", "labels"), {}),
}
# Where one spelling serves two concepts, and why.
SHARED = {"-k/--key": "sort(1)'s -k: the key of sort and top orders the blocks"}
# What a function reads, named for what it takes; its destination is `dest`.
SOURCES = {"source", "sources", "path", "paths", "table", "frame", "blocks", "sdf", "lines", "records"}
# Functions whose destination comes first, as the first release documented.
DEST_FIRST = {"write_sdf"}
# Options every command has.
COMMON = {"-h/--help", "-q/--quiet", "--debug"}
# Public classes users construct (their parameters are keywords too); the
# others are results, made by the library.
CONSTRUCTED = {"SDBlock", "CTable", "SortKey"}

# Old spellings: (old, new) for the library, each a call of the same result.
OLD_LIBRARY = {"index_sdf(on_title=True)", "merge_records(on_title=True)", "sort_sdf(group_on_title=True)",
               "SortKey(title=True)", "to_sdf(path=)"}
# Old command-line spellings: command -> {old: new}.
OLD_CLI = {
    "index": {"-t/--title": "-k @title"},
    "get": {"-t/--title": "-k @title"},
    "uniq": {"--title": "-k @title", "--buffer-size": "-S/--memory", "--temporary-directory": "-T/--tmpdir"},
    "merge": {"--on-title": "-k @title --title COL"},
    "sort": {"--group-title": "--group @title", "--by": "-k/--key", "--buffer-size": "-S/--memory",
             "--temporary-directory": "-T/--tmpdir"},
    "top": {"--by": "-k/--key", "--buffer-size": "-S/--memory", "--temporary-directory": "-T/--tmpdir"},
    "filter": {"-t/--title": "--title-matches"},
    "depict": {"--names": "-f/--fields"},
}


def options(name: str) -> tuple[dict[str, str], dict[str, str]]:
    """A command's current spellings and its old ones, each with what it is
    (its help, or the new spelling)."""
    current, old = {}, {}
    for action in COMMANDS[name].parser()._actions:
        spelling = "/".join(action.option_strings)
        if isinstance(action, Renamed):
            old[spelling] = action.new
        elif spelling and spelling not in COMMON:
            current[spelling] = action.help or ""
    return current, old


def public_callables() -> dict[str, Callable[..., object]]:
    found: dict[str, Callable[..., object]] = {}
    for module in (molbrook, molbrook.dask):
        for name in module.__all__:
            item = getattr(module, name)
            if inspect.isclass(item):
                if name in CONSTRUCTED:
                    found[name] = item
                found.update({f"{name}.{method}": function for method, function in vars(item).items()
                              if not method.startswith("_") and inspect.isroutine(function)})
            elif callable(item):
                found[name] = item
    return found


def parameters(function: Callable[..., object]) -> list[inspect.Parameter]:
    try:
        found = inspect.signature(function).parameters.values()
    except ValueError:  # a native callable without a text signature
        return []
    # Positional-only parameters have no keyword to agree on.
    return [parameter for parameter in found if parameter.name not in ("self", "cls")
            and parameter.kind not in (parameter.POSITIONAL_ONLY, parameter.VAR_POSITIONAL, parameter.VAR_KEYWORD)]


KEYWORD_CONCEPT = {keyword: concept for concept, (keywords, _) in CONCEPTS.items() for keyword in keywords}
DEPRECATED_KEYWORDS = {re.match(r"\w+\((\w+)", old).group(1) for old in OLD_LIBRARY}


def test_table_names_each_spelling_once():
    keywords = [keyword for keywords, _ in CONCEPTS.values() for keyword in keywords]
    assert len(keywords) == len(set(keywords)), "a library keyword in two concepts"
    spellings: dict[str, list[str]] = {}
    for concept, (_, cli) in CONCEPTS.items():
        for spelling in cli:
            for option in spelling.split("/"):
                spellings.setdefault(option, []).append(concept)
    shared = {option for spelling in SHARED for option in spelling.split("/")}
    assert {option: concepts for option, concepts in spellings.items()
            if len(set(concepts)) > 1 and option not in shared} == {}


@pytest.mark.parametrize("command", COMMANDS)
def test_every_option_is_its_concept(command):
    current, old = options(command)
    table = {spelling for _, cli in CONCEPTS.values() for spelling, commands in cli.items() if command in commands}
    assert set(current) == table, "an option without a concept, or a concept spelled otherwise here"
    assert old == OLD_CLI.get(command, {})
    assert set(old).isdisjoint(current)


@pytest.mark.parametrize("name", sorted(public_callables()))
def test_every_keyword_is_its_concept(name):
    function = public_callables()[name]
    found = parameters(function)
    for parameter in found:
        if parameter.name in SOURCES or parameter.name in DEPRECATED_KEYWORDS:
            continue
        assert parameter.name in KEYWORD_CONCEPT, f"{name}({parameter.name}=) has no concept in the table"
    names = [parameter.name for parameter in found if parameter.name not in DEPRECATED_KEYWORDS]
    if "dest" in names and name not in DEST_FIRST:
        assert all(names.index(source) < names.index("dest") for source in SOURCES & set(names)), \
            f"{name} takes its sources before its destination"


@pytest.mark.parametrize("name", ["grid", "index_sdf", "lint", "lint_fix", "merge_records", "read_table",
                                  "scan_table", "sort_sdf", "write_table", "read_sdf", "to_sdf"])
def test_functions_say_where_they_run(name):
    function = public_callables()[name]
    doc = " ".join((function.__doc__ or "").split())
    assert "workers" in inspect.signature(function).parameters or "calling thread" in doc \
        or "Dask's workers" in doc


def test_documentation_and_help_show_only_new_spellings():
    # An old spelling that is another command's current one (--title, --by) cannot be told apart in text.
    current = {option for name in COMMANDS for spelling in options(name)[0] for option in spelling.split("/")}
    old = {option for spellings in OLD_CLI.values() for spelling in spellings for option in spelling.split("/")
           if option.startswith("--")} - current
    old |= {"on_title=", "group_on_title=", "title=True"}
    pages = [REPOSITORY / "README.md", *sorted((REPOSITORY / "docs").rglob("*.md"))]
    shown = {str(page.relative_to(REPOSITORY)): page.read_text(encoding="utf-8") for page in pages}
    shown.update({f"molbrook {name} --help": command.parser().format_help() for name, command in COMMANDS.items()})
    for where, text in shown.items():
        for spelling in old:
            assert not re.search(r"(?<![\w-])" + re.escape(spelling) + r"(?![\w-])", text), f"{where} shows {spelling}"


def test_sizes_take_bytes_or_units_alike(tmp_path):
    path = titled(tmp_path)
    for memory in (1024, "1KiB", "1k"):
        summary = sort_sdf(str(path), str(tmp_path / f"{memory}.sdf"), by="MW", memory=memory)
        assert summary.spilled_runs == sort_sdf(str(path), str(tmp_path / "n.sdf"), by="MW", memory=1024).spilled_runs
    pytest.importorskip("dask.dataframe")
    def partitions(size: int | str) -> int:
        return molbrook.dask.read_sdf(str(path), blocksize=size).npartitions

    assert partitions(64) == partitions("64B") > partitions("1KiB") == partitions(1024) == 1
    with pytest.raises(ValueError, match="blocksize"):
        molbrook.dask.read_sdf(str(path), blocksize="64 parsecs")


# Old spellings -----------------------------------------------------------------------------------------

def titled(tmp_path: Path) -> Path:
    path = tmp_path / "in.sdf"
    blocks = [("b", "2"), ("a", "3"), ("b", "1")]
    path.write_text("".join(f"{title}\n\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n> <MW>\n{mw}\n\n$$$$\n"
                            for title, mw in blocks))
    return path


def test_old_library_spellings_warn_and_work(tmp_path):
    path = titled(tmp_path)
    with pytest.warns(DeprecationWarning, match=r"key=molbrook\.TITLE"):
        old = index_sdf(str(path), on_title=True, sidecar=False)
    assert old.keys() == index_sdf(str(path), key=TITLE, sidecar=False).keys() == ["b", "a"]
    with pytest.warns(DeprecationWarning, match=r"SortKey\(molbrook\.TITLE\)"):
        assert SortKey(title=True) == SortKey(TITLE)
    with pytest.warns(DeprecationWarning, match=r"group=molbrook\.TITLE"):
        sort_sdf(str(path), str(tmp_path / "old.sdf"), by="MW", group_on_title=True)
    sort_sdf(str(path), str(tmp_path / "new.sdf"), by="MW", group=TITLE)
    assert (tmp_path / "old.sdf").read_bytes() == (tmp_path / "new.sdf").read_bytes()
    table = {"name": ["a"], "S": ["1"]}
    with pytest.warns(DeprecationWarning, match=r"key=molbrook\.TITLE, title=COLUMN"):
        merge_records(str(path), table, str(tmp_path / "old.sdf"), key="name", on_title=True)
    merge_records(str(path), table, str(tmp_path / "new.sdf"), key=TITLE, title="name")
    assert (tmp_path / "old.sdf").read_bytes() == (tmp_path / "new.sdf").read_bytes()
    assert [block.get("S") for block in parse_sdf(str(tmp_path / "new.sdf"))] == [None, "1", None]


def test_old_to_sdf_spelling_warns_and_works(tmp_path):
    dd = pytest.importorskip("dask.dataframe")
    pandas = pytest.importorskip("pandas")
    frame = dd.from_pandas(pandas.DataFrame({"ID": ["a", "b"]}), npartitions=1)
    with pytest.warns(DeprecationWarning, match=r"dest="):
        old = molbrook.dask.to_sdf(frame, path=str(tmp_path / "old-*.sdf"), title="ID")
    new = molbrook.dask.to_sdf(frame, str(tmp_path / "new-*.sdf"), title="ID")
    assert Path(old[0]).read_bytes() == Path(new[0]).read_bytes()


@pytest.mark.parametrize(("old", "new"), [
    (["index", "-t", "{in}"], ["index", "-k", "@title", "{in}"]),
    (["get", "--title", "{in}", "b", "-o", "{out}"], ["get", "-k", "@title", "{in}", "b", "-o", "{out}"]),
    (["uniq", "--title", "{in}", "-o", "{out}"], ["uniq", "-k", "@title", "{in}", "-o", "{out}"]),
    (["merge", "{table}", "-k", "name", "--on-title", "{in}", "-o", "{out}"],
     ["merge", "{table}", "-k", "@title", "--title", "name", "{in}", "-o", "{out}"]),
    (["sort", "--group-title", "--by", "MW", "{in}", "-o", "{out}"],
     ["sort", "--group", "@title", "-k", "MW", "{in}", "-o", "{out}"]),
    (["top", "-n", "2", "--by", "MW:n", "--buffer-size", "1MiB", "--temporary-directory", "{tmp}", "{in}",
      "-o", "{out}"], ["top", "-n", "2", "-k", "MW:n", "-S", "1MiB", "-T", "{tmp}", "{in}", "-o", "{out}"]),
    (["filter", "-t", "^a", "{in}", "-o", "{out}"], ["filter", "--title-matches", "^a", "{in}", "-o", "{out}"]),
    (["depict", "{in}", "--names", "MW", "-o", "{out}.html"], ["depict", "{in}", "-f", "MW", "-o", "{out}.html"]),
])
def test_old_command_line_spellings_note_and_work(tmp_path, capsys, old, new):
    path = titled(tmp_path)
    (tmp_path / "table.csv").write_text("name,S\na,1\n")

    def run(argv: list[str], out: str) -> bytes:
        places = {"in": path, "out": tmp_path / out, "table": tmp_path / "table.csv", "tmp": tmp_path}
        assert main([part.format(**places) for part in argv]) == 0
        written = [file for file in tmp_path.iterdir() if file.name.startswith(out)]
        return written[0].read_bytes() if written else b""

    assert run(old, "old") == run(new, "new").replace(b"new", b"old")
    notes = [line for line in capsys.readouterr().err.splitlines() if "deprecated" in line]
    given = [part for part in old if part.startswith("-") and part not in new]
    assert len(notes) == len(given) and all(f"{part} is deprecated" in note and "; use " in note
                                            for part, note in zip(given, notes)), notes
