"""Calls between the package and its native module: private entry points
take their options by keyword, and a lint scan's results are read by name."""

from __future__ import annotations

import io

import pytest

from molbrook import native

F001 = native._lint_codes.index("F001")
UNENDED = b"title\n\n\nM  END\n> <A>\n1\n\n"  # its block has no $$$$ line


def test_lint_results_are_read_by_name() -> None:
    scan = native._lint_bytes(UNENDED, True, True, offset=100, select=1 << F001, fix=1 << F001, edits=True)
    assert (scan.offset, scan.consumed, scan.blocks) == (100, len(UNENDED), 1)
    [finding] = scan.findings
    assert (finding.code, finding.block, finding.fix) == (F001, 0, 1)
    assert finding[0] == finding.code  # still a sequence
    assert [edit.finding for edit in scan.edits or ()] == [0]
    assert b"$$$$" in b"".join(edit.text for edit in scan.edits or ())


SORTER = {"keys": (), "group": None, "per_group": 1, "top": None, "memory": 0, "folder": ".", "is_bytes": True,
          "provenance": None, "labels": ()}
TABLE = {"names": None, "title": None, "types": {}, "batch_rows": 0, "table_type": native._RecordTable,
         "molblock": None, "block": None}

# Each entry point with its positional arguments and every keyword it needs.
ENTRIES = {
    "_Sorter": (native._Sorter, (), SORTER),
    "_Sorter.add": (lambda *a, **k: native._Sorter(**SORTER).add(*a, **k), ([],),
                    {"source": 0, "path": None, "progress": None}),
    "_Sorter.write": (lambda *a, **k: native._Sorter(**SORTER).write(*a, **k), (io.BytesIO(),),
                      {"as_bytes": True, "duplicates": False}),
    "_merge_blocks": (native._merge_blocks, ([], io.BytesIO()),
                      {"text_as_utf8": True, "record": None, "keys": (), "names": (), "columns": ()}),
    "_write_table": (native._write_table, (None, io.BytesIO()),
                     {"text": False, "title": None, "molblock": None, "block": None, "names": None}),
    "_parse_range_at": (native._parse_range_at, (lambda at, size: b"",), {"name": "x", "start": 0, "end": 0}),
    "_TableReader": (native._TableReader, ([],), TABLE),
}


@pytest.mark.parametrize("name", sorted(ENTRIES))
def test_options_are_keywords_checked_by_name(name: str) -> None:
    """A misspelt keyword is named, not the argument it was meant for; the
    options cannot be given by position."""
    call, positional, keywords = ENTRIES[name]
    last = list(keywords)[-1]
    misspelt = {**keywords, f"{last}_": keywords[last]}
    del misspelt[last]
    with pytest.raises(TypeError, match=f"'{last}_' is an invalid keyword"):
        call(*positional, **misspelt)
    with pytest.raises(TypeError, match="positional"):
        call(*positional, *keywords.values())
