"""Reading SD data records: the scanner, lookups, the Python reading methods,
iterators and shared name objects, against the reference reader."""

import sys
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import sd_reference as ref
from conftest import corpus_params
from sdf_reference import split
from molbrook import MalformedRecordError
from molbrook import _testcore as core
from molbrook.native import SDBlock

MOL = "t\n  prog\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n"
MALFORMED_MESSAGE = r"^SD data field header is missing a name$"


def block(section, kind=str):
    text = MOL + section + "$$$$\n"
    return SDBlock(text if kind is str else text.encode())


def decoded(pairs):
    return pairs if pairs == ref.MALFORMED else [(n.decode(), v.decode()) for n, v in pairs]


# Random sections: headers with text around the name, junk, whitespace-only
# lines, values that look like headers, and now and then a malformed header.
HEADERS = ["> <A>", ">  <B>  (1) ", "  > <A>", "> 25 <C> (3)", "> <a> <b>", "> <>", "> <name", "> <é>", "> a<b"]
OTHERS = ["junk", "><A>", ">\t<A>", "1", "  12.5 ", "> <A>", "x\ry", "é", "", " ", "\t \x0b\x0c"]
LINES = st.one_of(st.sampled_from(HEADERS), st.sampled_from(OTHERS))
SECTIONS = st.tuples(
    st.lists(st.tuples(LINES, st.sampled_from(["\n", "\r\n"])), max_size=30),
    st.sampled_from([None, "> name", "> >", "> (1)", "> ><", ">  >x", ">"]),
    st.integers(0, 30),
).map(lambda t: "".join(l + e for l, e in t[0][: t[2]] + ([(t[1], "\n")] if t[1] else []) + t[0][t[2] :]))


@given(section=SECTIONS)
@settings(max_examples=300)
def test_records_match_the_reference(section):
    data = section.encode()
    expected = ref.records(data)
    scanned = core.scan_records(data)
    if expected == ref.MALFORMED:
        assert None in scanned
        with pytest.raises(MalformedRecordError, match=MALFORMED_MESSAGE):
            block(section, bytes).records()
        return
    assert [(name, data[v0:v1].replace(b"\r\n", b"\n")) for name, _, _, (v0, v1, _) in scanned] == expected
    assert block(section, bytes).records() == expected
    # Text input reads CRLF and CR as LF.
    assert block(section).records() == decoded(ref.records(data.replace(b"\r\n", b"\n").replace(b"\r", b"\n")))


# What the reference and the properties rest on; the properties draw the rest.
@pytest.mark.parametrize("section, expected", [
    ("> <A>\n1\n2\n\n", [("A", "1\n2")]),
    ("> <A>\n  12.5 \n \t\n> <B>\n", [("A", "  12.5 "), ("B", "")]),  # a whitespace-only line ends a record
    ("> <A>\n1\n", [("A", "1")]),  # no blank line before $$$$
    ("junk\n> <A>\n1\n\n", []),  # a header inside a junk paragraph
    ("> <A>\n\xa0\n\n", [("A", "\xa0")]),  # NBSP is not whitespace
])
def test_record_cases(section, expected):
    encoded = [(name.encode(), value.encode()) for name, value in expected]
    assert block(section, bytes).records() == encoded == ref.records(section.encode())


@pytest.mark.parametrize("text", [
    "t\nM  END\n$$$$\n",  # no records at all
    "> <A>\nM  END\n$$$$\n",  # in the title line
    "t\n> <A>\n1\n\nM  END\n$$$$\n",  # in the MDL
    "t\nP\n> <A>\n1\n\n$$$$\n",  # no M  END, and more than records after the title: all of it is MDL
])
def test_header_lines_outside_the_sd_data(text):
    for b, name in ((SDBlock(text), "A"), (SDBlock(text.encode()), b"A")):
        assert (b.records(), b.names(), b.to_dict(), len(b), len(b), b.get(name), name in b, list(b),
                list(b.iter_records()), bool(b)) == ([], [], {}, 0, 0, None, False, [], [], True)


# The Python reading methods.

def test_reading_methods():
    b = block("> <A>\n1\n\n> <B>\n2\n\n> <A>\n3\n\n")
    assert b.names() == ["A", "B", "A"] == list(b)
    assert b.to_dict() == {"A": "3", "B": "2"} == dict(b.records())
    assert (b.get("A"), b["A"], b.get(name="B"), b.get("Z", default=None), len(b)) == ("3", "3", "2", None, 3)
    assert list(b.iter_records()) == b.records() == [("A", "1"), ("B", "2"), ("A", "3")]
    with pytest.raises(KeyError) as error:
        b["Z"]
    assert error.value.args == ("Z",)


@pytest.mark.parametrize("call", [
    lambda b: b.get(b"A"), lambda b: b[b"A"], lambda b: b"A" in b, lambda b: b.set_record(b"A", "1"),
    lambda b: b.remove_record(1), lambda b: b.append_record("A", b"1"),
])
def test_names_and_values_of_the_wrong_type(call):
    with pytest.raises(TypeError, match=r"^text SDBlock (record names|values) must be str$"):
        call(block("> <A>\n1\n\n"))
    with pytest.raises(TypeError, match=r"^byte-backed SDBlock record names must be bytes$"):
        block("> <A>\n1\n\n", bytes).get("A")


READERS = {
    "records": lambda b: b.records(), "names": lambda b: b.names(), "to_dict": lambda b: b.to_dict(),
    "get": lambda b: b.get("A"), "in": lambda b: "A" in b, "len": len, "getitem": lambda b: b["A"],
    "set_record": lambda b: b.set_record("A", "2"), "remove_record": lambda b: b.remove_record("Z"),
    "setitem": lambda b: b.__setitem__("A", "2"), "delitem": lambda b: b.__delitem__("A"),
}


@pytest.mark.parametrize("reader", READERS.values(), ids=READERS.keys())
@pytest.mark.parametrize("looked_up_twice", [False, True])
def test_malformed_header_fails_every_reader(reader, looked_up_twice):
    b = block("> <A>\n1\n\n> name\n2\n\n")
    before = str(b)
    for _ in range(1 + looked_up_twice):
        with pytest.raises(MalformedRecordError, match=MALFORMED_MESSAGE):
            reader(b)
    assert str(b) == before


def test_iterators_stop_at_a_malformed_header():
    for it, first in ((block("> <A>\n1\n\n> name\n\n").iter_records(), ("A", "1")), (iter(block("> <A>\n\n> >\n")), "A")):
        assert next(it) == first
        with pytest.raises(MalformedRecordError):
            next(it)
        assert list(it) == [] and list(it) == []


@pytest.mark.parametrize("make", [lambda b: b.iter_records(), iter])
@pytest.mark.parametrize("edit", [lambda b: b.remove_record("A"), lambda b: b.append_record("D", "4"),
                                  lambda b: b.__setitem__("B", "x"), lambda b: b.replace_records([])])
def test_iterators_and_edits(make, edit):
    b = block("> <A>\n1\n\n> <B>\n2\n\n> <C>\n3\n\n")
    it = make(b)
    assert iter(it) is it
    next(it)
    b.remove_record("Z")  # removes nothing, changes nothing
    next(it)
    edit(b)
    with pytest.raises(RuntimeError, match=r"^SDBlock records changed during iteration$"):
        next(it)
    assert list(it) == []


def test_iteration_ignores_a_new_title():
    b = block("> <A>\n1\n\n> <B>\n2\n\n")
    it = iter(b)
    assert next(it) == "A"
    b.title = "a much longer title than before"
    assert list(it) == ["B"]


@pytest.mark.parametrize(
    "value",
    ["", "x", "1234567", "12345678", "123456789", "é", "1234567é", "12345678é", "é12345678", "a\x7fb", "x" * 300],
)
def test_values_decode_on_either_side_of_eight_byte_words(value):
    # ASCII values are copied straight into a str; any other byte takes the
    # decoder, also when it follows a whole ASCII word.
    b = block(f"> <A>\n{value}\n\n" if value else "> <A>\n\n")
    assert b.to_dict() == {"A": value} and b.get("A") == value
    assert type(b.get("A")) is str and b.get("A").isascii() == value.isascii()
    data = (MOL + f"> <A>\n{value}\xff\n\n$$$$\n").encode("latin-1")
    bad = SDBlock._from_state(data, data.index(b"\n") + 1, data.index(b"M  END\n") + 7, True)
    with pytest.raises(UnicodeDecodeError):
        bad.get("A")


# Names come from a per-thread cache.

def test_name_cache_overflow_and_threads():
    many = block("".join(f"> <n{i}>\n{i}\n\n" for i in range(5000)))
    expected = [(f"n{i}", str(i)) for i in range(5000)]
    results = []

    def read():
        results.append(many.records() == expected == many.records())
        results.append(block("> <n1>\n\n").names()[0] is block("> <n1>\n\n").names()[0])

    threads = [threading.Thread(target=read) for _ in range(3)]
    for t in threads:
        t.start()
    read()
    for t in threads:
        t.join()
    assert results == [True] * 8


def test_a_thread_releases_its_names_when_it_ends():
    names = []
    section = f"> <only-in-that-thread>\n\n> <{'L' * 65}>\n\n"  # the second is too long to cache
    thread = threading.Thread(target=lambda: names.extend(block(section).names()))
    thread.start()
    thread.join()
    cached, uncached = names
    assert sys.getrefcount(cached) == sys.getrefcount(uncached)


# Real files.

@pytest.mark.parametrize("path", corpus_params())
def test_corpus_records_match_the_reference(path):
    blocks = [SDBlock(data) for data, _ in split(path.read_bytes())]
    for b in blocks:
        assert b.records() == ref.records(ref.sd_data(bytes(b)))
