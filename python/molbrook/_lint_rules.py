"""The linter's codes: severity, fix, the message of each kind of finding,
and the explanation `molbrook lint --explain CODE` prints.

Codes are stable: never renumbered or reused; a new check gets a new code.
"""

from __future__ import annotations

from dataclasses import dataclass

# How far a message quotes the file.
_QUOTE = 60


@dataclass(frozen=True)
class Rule:
    code: str
    severity: str  # "error", "warning" or "info"
    fix: str | None  # "safe" or "unsafe": the fix its findings have, when they have one
    summary: str  # one line
    messages: tuple[str, ...]  # per kind of finding, str.format'ed
    explanation: str


def quote(text: bytes | None) -> str:
    """Bytes of the file as a message shows them: UTF-8, other bytes escaped,
    long text cut."""
    shown = (text or b"").decode("utf-8", "backslashreplace")
    return repr(shown if len(shown) <= _QUOTE else shown[: _QUOTE - 3] + "...")


RULES = {
    rule.code: rule
    for rule in (
        Rule(
            "F001",
            "error",
            "safe",
            "the last block has no $$$$ line",
            ("the last block has no $$$$ line",),
            "The file ends inside a block: no $$$$ line follows its last molecule.\n\n"
            "Readers disagree on such a block: some read it, some drop it, some stop with an error, and a\n"
            "file cut short in transfer looks just the same.\n\n"
            "Fix (safe): append a $$$$ line with the file's line ending, after a line ending when the file\n"
            "does not end with one, and after an empty line when the last record has none.",
        ),
        Rule(
            "F002",
            "error",
            "safe",
            "blank lines after the last $$$$ line",
            ("{number} line(s) after the last $$$$ line hold only whitespace: they read as one more, empty, block",),
            "Lines that are empty or hold only whitespace follow the last $$$$ line.\n\n"
            "A reader that counts what follows the last $$$$ line as a block (molbrook does) reads one more\n"
            "block, empty, that the writer never meant; counts of molecules then disagree between tools.\n\n"
            "Fix (safe): remove those lines. The phantom block goes; every other block reads as before.",
        ),
        Rule(
            "F003",
            "warning",
            "safe",
            "mixed line endings or a lone CR",
            (
                "the line ends with LF where the first line ends with CRLF",
                "the line ends with CRLF where the first line ends with LF",
                "a lone CR ends a line",
            ),
            "Line endings are mixed (LF and CRLF in one file), or a lone CR ends a line.\n\n"
            "Readers that split lines at LF keep a CR at the end of values and titles; readers in text\n"
            "mode split at a lone CR that byte-oriented readers read as part of a line, so the two see\n"
            "different lines, records and even blocks. The finding points at the first line whose\n"
            "ending differs from the first line's.\n\n"
            "Fix (safe): every line ending becomes the first line's (LF where the first line ends with a\n"
            "lone CR). Text-mode reading is unchanged. It goes first: the other fixes see the lines it\n"
            "leaves.",
        ),
        Rule(
            "F004",
            "warning",
            "safe",
            "a UTF-8 byte order mark",
            ("the file starts with a UTF-8 byte order mark",),
            "The file starts with the bytes EF BB BF, a UTF-8 byte order mark.\n\n"
            "SD readers do not expect it: it becomes part of the first block's title (U+FEFF), and a\n"
            "file that starts with a $$$$ line or a header no longer does.\n\n"
            "Fix (safe): remove the three bytes (each mark, when repeated); the first title loses the\n"
            "marks and nothing else changes.",
        ),
        Rule(
            "F005",
            "error",
            None,
            "bytes that are not UTF-8",
            ("bytes that are not valid UTF-8: {text}",),
            "A block holds bytes that are not valid UTF-8 (reported at the first of them in each block).\n\n"
            "Readers that decode text (molbrook's str paths, most Python code) fail on the block or\n"
            "replace the bytes, and the values they read then differ from the file.\n\n"
            "No fix: which encoding was meant cannot be told from the bytes.",
        ),
        Rule(
            "M001",
            "error",
            None,
            "a block without M  END",
            ("the block has more than a title line but no M  END line: its records cannot be found",),
            "A block has lines after its title but no line starting with M  END.\n\n"
            "M  END ends the molfile part of a block; without it no reader can tell where the data\n"
            "records start, and every line is read as part of the connection table.\n\n"
            "No fix: where the table ends cannot be told.",
        ),
        Rule(
            "M002",
            "error",
            None,
            "V2000 counts that do not fit the lines",
            (
                "the counts line declares {number} atoms and {number2} bonds, so line {expected} should be "
                "M  END or a property line, but M  END is line {related}",
                "the counts line declares {number} atoms and {number2} bonds, so line {expected} should be "
                "M  END or a property line, but it is {text} (M  END is line {related})",
            ),
            "The atom and bond counts of a V2000 counts line do not fit the lines after it: the line\n"
            "after the declared atom and bond lines is neither M  END nor a property line (M  , A  ,\n"
            "V  , G  , S  ), or M  END comes before it.\n\n"
            "Readers that trust the counts read atom lines as bonds or properties as atoms, or stop;\n"
            "readers that look for M  END read something else.\n\n"
            "No fix: which of the counts and the lines is right cannot be told.",
        ),
        Rule(
            "M003",
            "warning",
            "safe",
            "V3000 counts or indices that do not fit",
            (
                "COUNTS declares {number} atoms and {number2} bonds, but the ATOM and BOND sections hold "
                "{number3} and {number4}",
                "atom index {number} is out of order: atom indices should run 1, 2, 3, ...",
                "bond index {number} is out of order: bond indices should run 1, 2, 3, ...",
            ),
            "A V3000 CTAB whose COUNTS line disagrees with its ATOM and BOND sections, or whose atom or\n"
            "bond indices do not run 1, 2, 3, ... in order.\n\n"
            "Readers disagree on such tables: some trust the counts, some the sections; some take the\n"
            "indices as written, some as positions.\n\n"
            "Fix: the counts are set to the sections' lines (safe: fix_counts()); indices are renumbered\n"
            "with the bonds' atoms mapped along (unsafe, --unsafe-fixes: renumber_indices()), which\n"
            "changes the table's text and is refused for tables whose other data refers to indices.",
        ),
        Rule(
            "D001",
            "warning",
            "safe",
            "blank lines between M  END and the first data header",
            ("{number} blank line(s) between M  END and the first data header",),
            "Blank lines separate M  END from the first data header.\n\n"
            "One common reader skipped every data record of such a block; others read an empty record.\n\n"
            "Fix (safe): remove the blank lines; the records read as before.",
        ),
        Rule(
            "D002",
            "warning",
            "safe",
            "a record ended by a whitespace-only line",
            ("record <{record}> ends with a line of spaces or tabs instead of an empty line",),
            "A record is ended by a line holding only spaces or tabs instead of an empty line.\n\n"
            "molbrook and many readers take it for the empty line that ends the record; others read it\n"
            "as one more value line, so the value gains a line of spaces and the next header may be read\n"
            "as part of it.\n\n"
            "Fix (safe): empty the line; molbrook's reading is unchanged.",
        ),
        Rule(
            "D003",
            "error",
            "unsafe",
            "a data header straight after a value line",
            (
                "{text} looks like a data header but follows a value line of <{record}> without an empty line: "
                "molbrook reads it as part of the value, other readers as a new record",
            ),
            "A line that would be a data header ('>' then <name>) follows a value line with no empty\n"
            "line between.\n\n"
            "molbrook (by the format's rule that a record runs to the next empty line) reads it as part\n"
            "of the value; another common reader starts a new record there, so the two disagree on the\n"
            "records of the block.\n\n"
            "Fix (unsafe, --unsafe-fixes): insert an empty line before it. molbrook's reading changes: the\n"
            "value ends there, and the line starts a record of its own.",
        ),
        Rule(
            "D004",
            "warning",
            "safe",
            "the last record runs into the $$$$ line",
            ("record <{record}> runs into the $$$$ line with no empty line before it",),
            "The last record of a block has no empty line between its value and the $$$$ line.\n\n"
            "Some readers take the $$$$ line for part of the value and read on into the next block.\n\n"
            "Fix (safe): insert an empty line before the $$$$ line; the records read as before.",
        ),
        Rule(
            "D005",
            "error",
            None,
            "a header without a closed, non-empty name",
            (
                "header {text} does not close its name with '>'",
                "header {text} has an empty name",
                "header {text} has no <name>: molbrook's record readers raise MalformedRecordError",
                "{text} starts with '>' where a header belongs but is no header ('> ' then <name>): "
                "its paragraph is read as text outside any record",
            ),
            "A line starting with '>' where a data header belongs has no <name> closed with '>' ('> DT12',\n"
            "'>  <ID'), an empty name ('> <>'), or no space after '>'.\n\n"
            "Readers differ on such headers: molbrook reads an unclosed name to the end of the line and\n"
            "raises on a header without '<'; others skip the record or stop.\n\n"
            "No fix: the intended name cannot be told.",
        ),
        Rule(
            "D006",
            "warning",
            None,
            "a record name twice in one block",
            ("record <{record}> again in this block (first on line {related})",),
            "The same record name appears twice in one block.\n\n"
            "Readers keep the first value, the last, or both, so the value a tool reports depends on the\n"
            "tool.\n\n"
            "No fix: which value is meant cannot be told.",
        ),
        Rule(
            "D007",
            "warning",
            None,
            "text outside any record",
            ("text outside any record: {text}",),
            "A non-empty line in the data part that is neither a header nor part of a value: text after\n"
            "a record's closing empty line, up to the next empty line.\n\n"
            "molbrook skips the paragraph; other readers attach it to the record before it or stop.\n\n"
            "No fix: what the text belongs to cannot be told.",
        ),
        Rule(
            "I001",
            "info",
            None,
            "a line over 200 characters",
            (
                "CTAB line of {number} characters, over the format's limit of 200",
                "data header of {number} characters, over the format's limit of 200",
            ),
            "A line of the CTAB or a data header is longer than 200 characters, the limit of the\n"
            "format.\n\n"
            "Some readers cut such lines, and some hang or fail on them.\n\n"
            "No fix.",
        ),
        Rule(
            "I002",
            "info",
            None,
            "a value with leading or trailing spaces",
            ("value of <{record}> starts with spaces", "value of <{record}> ends with spaces"),
            "A record value has leading or trailing spaces or tabs.\n\n"
            "Some readers trim them, others keep them, so values compare unequal across tools.\n\n"
            "No fix: whether the spaces matter cannot be told.",
        ),
    )
}
