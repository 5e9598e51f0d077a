"""Editing SD data records: exact bytes, header styles, argument checks, and
random edit sequences against a list model."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import sd_reference as ref
from molbrook.native import MalformedRecordError, SDBlock

MOL = "t\n  prog\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n"


def sd_data(b):
    return ref.sd_data(str(b).encode()).decode()


def block(section):
    return SDBlock(MOL + section + "$$$$\n")


@pytest.mark.parametrize("section, header, expected", [
    ("> <A>\n1\n\n", "plain", "> <A>\n1\n\n> <B>\n2\n\n"),
    ("> <A>\n1\n", "plain", "> <A>\n1\n\n> <B>\n2\n\n"),  # the unclosed record gets its blank line
    ("", "plain", "> <B>\n2\n\n"),
    ("junk\n", "plain", "junk\n\n> <B>\n2\n\n"),
    ("> <A>\n1\n \n", "padded", "> <A>\n1\n \n>  <B>\n2\n\n"),  # a whitespace line closes it already
    (">  <A>  (1) \n1\n\n", "copy", ">  <A>  (1) \n1\n\n>  <B>  (1) \n2\n\n"),
    ("> <A>\n\n", "copy", "> <A>\n\n> <B>\n2\n\n"),
    ("> 25 <A> (3)\n\n> <C>\n\n", "copy", "> 25 <A> (3)\n\n> <C>\n\n> 25 <B> (3)\n2\n\n"),
    ("> <A\n\n", "copy", "> <A\n\n> <B>\n2\n\n"),  # no closing '>': plain
    ("> name\n\n", "copy", "> name\n\n> <B>\n2\n\n"),  # only malformed headers: plain
    ("> name\n\n  > <A> x\n\n", "copy", "> name\n\n  > <A> x\n\n  > <B> x\n2\n\n"),
])
def test_append(section, header, expected):
    b = block(section)
    assert b.append_record("B", "2", header=header) is None
    assert sd_data(b) == expected and str(b).endswith(expected + "$$$$\n")


@pytest.mark.parametrize("data, edit, expected, last", [
    (b"t\r\nM  END\r\n> <A>\r\n1\r\n$$$$\r\n", lambda b: b.append_record(b"B", b"2"),
     b"t\r\nM  END\r\n> <A>\r\n1\r\n\r\n> <B>\r\n2\r\n\r\n$$$$\r\n", (b"B", b"2")),
    (b"t\r\nM  END\n$$$$\n", lambda b: b.append_record(b"B", b"2"),
     b"t\r\nM  END\n> <B>\r\n2\r\n\r\n$$$$\n", (b"B", b"2")),  # added lines take the title line's ending
    (b"$$$$\r\n", lambda b: b.append_record(b"B", b"2"), b"\r\n> <B>\r\n2\r\n\r\n$$$$\r\n",
     (b"B", b"2")),  # a title line is added first
    (b"t\nM  END\n> <A>\r\n1\r\n\r\n$$$$\n", lambda b: b.set_record(b"A", b"2"),
     b"t\nM  END\n> <A>\r\n2\n\n$$$$\n", (b"A", b"2")),  # the header line keeps its ending
    (b"t\nM  END\n  > <A> x\r\n1\n\n$$$$\n", lambda b: b.replace_records([(b"A", b"2"), (b"A", b"3")]),
     b"t\nM  END\n  > <A> x\r\n2\n\n> <A>\n3\n\n$$$$\n", (b"A", b"3")),  # header lines reused as they were
])
def test_edits_keep_line_endings(data, edit, expected, last):
    b = SDBlock(data)
    edit(b)
    assert bytes(b) == expected and b.records()[-1] == last


@pytest.mark.parametrize("section, call, expected, result", [
    ("> <A>  (1)\n1\n\n> <B>\n2\n\n> <A>\n3\n\n", lambda b: b.set_record("A", "x"),
     "> <A>  (1)\nx\n\n> <B>\n2\n\n", None),
    ("> <A>\n1\n2\n\n\n> <B>\n2\n", lambda b: b.set_record("A", ""), "> <A>\n\n\n\n> <B>\n2\n", None),
    ("> <B>\n2\n", lambda b: b.set_record("A", "1", header="padded"), "> <B>\n2\n\n>  <A>\n1\n\n", None),
    ("junk\n\n> <A>\n1\n\n\n> <B>\n\n> <A>\n3\n", lambda b: b.remove_record("A"), "junk\n\n\n> <B>\n\n", 2),
    ("> <A>\n1\n\n", lambda b: b.remove_record("Z"), "> <A>\n1\n\n", 0),
    ("> <A>\n1\n\n", lambda b: b.__setitem__("B", "2"), "> <A>\n1\n\n> <B>\n2\n\n", None),
    ("> <A>\n1\n\n> <B>\n2\n\n", lambda b: b.__delitem__("A"), "> <B>\n2\n\n", None),
])
def test_set_and_remove(section, call, expected, result):
    b = block(section)
    assert call(b) == result
    assert sd_data(b) == expected


@pytest.mark.parametrize("records, header, expected", [
    ([("A", "4"), ("A", "5"), ("B", "6")], "plain", "> <A> (1)\n4\n\n> <A> (3)\n5\n\n> <B> (2)\n6\n\n"),
    ([("A", "4"), ("B", "5"), ("A", "6"), ("A", "7")], "plain",
     "> <A> (1)\n4\n\n> <B> (2)\n5\n\n> <A> (3)\n6\n\n> <A>\n7\n\n"),
    ([("C", "1")], "padded", ">  <C>\n1\n\n"),
    ([("C", "1")], "copy", "> <C> (1)\n1\n\n"),
    ([], "plain", ""),
    ({"B": "1", "A": "2"}, "plain", "> <B> (2)\n1\n\n> <A> (1)\n2\n\n"),
])
def test_replace(records, header, expected):
    b = block("junk\n\n> <A> (1)\n1\n\n> name\n\n> <B> (2)\n2\n\n\n> <A> (3)\n3\n\n")
    b.replace_records(records, header=header)
    assert sd_data(b) == expected
    assert str(b).endswith("M  END\n" + expected + "$$$$\n")


def test_values_are_written_unchecked():
    b = block("")
    b.append_record("A", "1\n\n> <B>\n2")
    assert b.records() == [("A", "1"), ("B", "2")]
    b.set_record("A", "x\n$$$$\ny")
    with pytest.raises(ValueError, match="takes one block"):
        SDBlock(str(b))


def test_malformed_header_blocks_only_set_and_remove():
    b = block("> <A>\n1\n\n> (1)\n\n")
    before = str(b)
    b.append_record("B", "2")
    assert str(b) == before.replace("$$$$", "> <B>\n2\n\n$$$$")
    b.replace_records([("A", "1")])
    assert b.records() == [("A", "1")]


class Items:
    def __init__(self, items):
        self._items = items

    def items(self):
        return iter(self._items)


@pytest.mark.parametrize("call, error, message", [
    (lambda b: b.set_record(1, "1", header="bogus"), ValueError,
     r"^header must be 'plain', 'padded', or 'copy', not 'bogus'$"),
    (lambda b: b.append_record("A", "1", header=1), TypeError, "header"),
    (lambda b: b.append_record("A", 1), TypeError, r"^text SDBlock values must be str$"),
    (lambda b: b.append_record("A"), TypeError, "value"),
    (lambda b: b.replace_records([["A", "1"]]), TypeError, r"^'list' object is not an instance of 'tuple'$"),
    (lambda b: b.replace_records([None]), TypeError, r"^'None' is not an instance of 'tuple'$"),
    (lambda b: b.replace_records([("A",)]), ValueError, r"^expected tuple of length 2, but got tuple of length 1$"),
    (lambda b: b.replace_records([("A", "1"), (b"B", "2")]), TypeError, "record names must be str"),
    (lambda b: b.replace_records(Items([("A", 1)])), TypeError, "values must be str"),
    (lambda b: b.replace_records(5), TypeError, "not iterable"),
    (lambda b: b.replace_records([], header="Plain"), ValueError, "not 'Plain'"),
    (lambda b: SDBlock(MOL, records=[("A", b"1")]), TypeError, "values must be str"),
])
def test_edit_errors_leave_the_block_unchanged(call, error, message):
    b = block("> <A>\n1\n\n")
    with pytest.raises(error, match=message):
        call(b)
    assert str(b) == MOL + "> <A>\n1\n\n$$$$\n"


def test_records_argument_sources():
    b = block("> <A>\n1\n\n")
    b.replace_records([("B", "2")])
    assert b.records() == [("B", "2")]
    b.replace_records(Items([("C", "3")]))
    assert b.records() == [("C", "3")]
    assert SDBlock(MOL + "> <A>\n1\n\n", records={"B": "2"}, header="padded").records() == [("A", "1"), ("B", "2")]
    assert str(SDBlock(MOL, records={"A": "1"}, header="padded")).endswith("M  END\n>  <A>\n1\n\n$$$$\n")
    assert SDBlock(b"", records=None).records() == []
    same = block("> 1 <A>\n1\n\n> 2 <B>\n2\n\n")
    same.replace_records(same.records())  # the argument may come from the block itself
    assert sd_data(same) == "> 1 <A>\n1\n\n> 2 <B>\n2\n\n"


# Random edit sequences against a list model.

NAMES = st.sampled_from([b"A", b"B", b"C", b"a b", b"a>b", b"", "é".encode()])
VALUES = st.sampled_from([b"1", b"", b"  x ", b"a\nb", b"> <A>", b"x\ry"])
HEADERS = st.sampled_from(["plain", "padded", "copy"])


def operations(values, replaced, count):
    """Lists of up to `count` edits, each replace of up to `replaced` records."""
    return st.lists(
        st.one_of(
            st.tuples(st.just("append"), NAMES, values, HEADERS),
            st.tuples(st.just("set"), NAMES, values, HEADERS),
            st.tuples(st.just("remove"), NAMES),
            st.tuples(st.just("replace"), st.lists(st.tuples(NAMES, values), max_size=replaced), HEADERS),
        ),
        max_size=count,
    )


OPERATIONS = operations(VALUES, 5, 12)
START = st.sampled_from([b"", b"> <A>\n1\n\n", b"> 25 <B> (1)\n2\n", b"junk\n> <A>\n\n  > <C> x\r\n3\r\n\r\n\r\n"])


def apply_to_model(model, operation):
    kind, *args = operation
    if kind == "append":
        model.append(tuple(args[:2]))
    elif kind == "set":
        name, value, _ = args
        hits = [i for i, (n, _) in enumerate(model) if n == name] or [len(model)]
        model[:] = [r for i, r in enumerate(model) if i not in hits[1:]]
        model[hits[0] : hits[0] + 1] = [(name, value)]
    elif kind == "remove":
        removed = sum(n == args[0] for n, _ in model)
        model[:] = [r for r in model if r[0] != args[0]]
        return removed
    else:
        model[:] = args[0]


def apply_to_block(b, operation):
    kind, *args = operation
    if kind == "remove":
        return b.remove_record(*args)
    edit = {"append": b.append_record, "set": b.set_record, "replace": b.replace_records}[kind]
    return edit(*args[:-1], header=args[-1])


@given(start=START, crlf=st.booleans(), operations=OPERATIONS)
@settings(max_examples=300)
def test_random_edits_match_the_model(start, crlf, operations):
    data = MOL.encode() + start + b"$$$$\n"
    b = SDBlock(data.replace(b"\n", b"\r\n") if crlf else data)
    model = ref.records(ref.sd_data(bytes(b)))
    for operation in operations:
        assert apply_to_block(b, operation) == apply_to_model(model, operation)
        if operation[0] == "set":  # setting the value a record has keeps the bytes
            again = bytes(b)
            apply_to_block(b, operation)
            assert bytes(b) == again
        assert b.records() == model == ref.records(ref.sd_data(bytes(b)))
        names = {n for n, _ in model}
        for name in names | {b"Z"}:
            last = [v for n, v in model if n == name][-1:] or [None]
            assert [b.get(name) for _ in range(3)] == last * 3
            assert (name in b, len(b)) == (name in names, len(model))
        assert bytes(b).endswith(b"$$$$\r\n" if crlf else b"$$$$\n")


# Renaming: the name inside each header line changes, nothing else.

HEADER_FORMS = st.sampled_from([("> <", ">"), (">  <", "> (1)"), ("  > 25 <", ">  "), ("> <", "")])
RENAMED = st.lists(st.tuples(HEADER_FORMS, st.sampled_from(["A", "B", "a b"]), st.sampled_from(["1", "x\ny", ""])),
                   max_size=6)


@given(RENAMED, st.sampled_from(["A", "B", "C"]), st.sampled_from(["Z", "B", "n m", "w "]), st.booleans())
def test_rename_changes_the_names_and_nothing_else(records, old, new, crlf):
    eol = "\r\n" if crlf else "\n"

    def text(rename):
        lines = ""
        for (prefix, suffix), name, value in records:
            if rename and name == old:  # an unclosed name ending in white space gets its ">"
                name, suffix = new, (">" if not suffix and new[-1].isspace() else suffix)
            lines += f"{prefix}{name}{suffix}{eol}{value.replace(chr(10), eol)}{eol}{eol}"
        return f"t{eol}M  END{eol}{lines}$$$${eol}".encode()

    b = SDBlock(text(False))
    assert b.rename_record(old.encode(), new.encode()) == sum(name == old for _, name, _ in records)
    assert bytes(b) == text(True)
    assert SDBlock(bytes(b)).records() == b.records()


@pytest.mark.parametrize("old, new, error, message", [
    ("A", "", ValueError, r"^record name '' is empty$"),
    ("A", "a<b", ValueError, r"^record name 'a<b' holds '<' or '>'$"),
    ("A", "b>", ValueError, r"^record name 'b>' holds '<' or '>'$"),
    ("A", "a\nb", ValueError, r"^record name 'a\\nb' holds a line break$"),
    ("A", b"B", TypeError, "record names must be str"),
    (1, "B", TypeError, "record names must be str"),
])
def test_rename_errors_leave_the_block_unchanged(old, new, error, message):
    b = block("> <A>\n1\n\n")
    with pytest.raises(error, match=message):
        b.rename_record(old, new)
    assert str(b) == MOL + "> <A>\n1\n\n$$$$\n"
    with pytest.raises(MalformedRecordError):
        block("> <A>\n1\n\n> (1)\n\n").rename_record("A", "B")


# Blocks without an M  END line: an edit gives records that read back, or
# is refused and changes nothing.

NO_M_END = st.sampled_from([b"$$$$\n", b"t\n", b"t\n> <A>\n1\n\n\n> <B>\n2\n\n", b"t\nP\n\n 0 0\n", b"\n\n",
                            b"t\nP\n 1 2\n>  <NSC>\n39\n\n", b"t\n> <A>\n1\n\njunk\n\n> <B>\n2\n\n"])
RISKY_VALUES = st.sampled_from([b"1", b"M  END", b"x\nM  END"])
RISKY = operations(RISKY_VALUES, 3, 6)


@given(NO_M_END, RISKY)
def test_edits_read_back_or_are_refused(data, operations):
    b = SDBlock(data)
    for operation in operations:
        before = bytes(b)
        try:
            apply_to_block(b, operation)
        except MalformedRecordError:
            raise
        except ValueError as error:
            assert str(error) == "SDBlock has no M  END line ending its MDL: its records would read back as part of the MDL"
            assert bytes(b) == before
        assert SDBlock(bytes(b)).records() == b.records()
