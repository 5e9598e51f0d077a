"""Every public operation, its error paths included, repeated thousands of
times: the references held on its arguments and on the module's classes,
the interpreter's total reference count (in debug builds), the Python
allocations tracemalloc sees and the process's resident memory must not
grow."""

import copy
import gc
import gzip
import io
import os
import pickle
import sys
import tracemalloc

import pytest
from conftest import proc_only
from ctable_tables import example

from molbrook import ctable as ctable_errors
from molbrook import TITLE, SortKey, merge_records, sort_sdf
from molbrook import native
from molbrook.native import CTable, MalformedRecordError, SDBlock, parse_sdf, parse_sdf_range, sdf_writer, write_sdf

PAD = "p" * 2000  # large enough that anything kept per call shows in memory
TEXT = f"title\n  prog\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n> <ALPHA>\n{PAD}\n\n> <B>\n2\n\n$$$$\n"
DATA = TEXT.encode()
MALFORMED = "t\nM  END\n> <A>\n1\n\n> name\n\n$$$$\n"
NOT_UTF8 = SDBlock._from_state(b"caf\xe9\nM  END\n> <n\xe9>\nv\n\n> <B>\nv\xff\n\n$$$$\n", 5, 12, True)
V3000 = example({8: "M  V30 5 C 0 0 0 0", 9: "M  V30 7 O 0 0 0 0", 12: "M  V30 3 1 5 7"})  # to renumber
V3000_BLOCK = "\n".join(V3000) + "\n" + "> <A>\n" + PAD + "\n\n$$$$\n"
CLASSES = [SDBlock, CTable, native._SDBlockIterator, native._SDRecordIterator, native._SDNameIterator,
           native._SDFWriter, MalformedRecordError]


def fails(call, *args, **kwargs):
    """Calls and swallows the expected exception (and its traceback)."""
    try:
        call(*args, **kwargs)
    except (TypeError, ValueError, KeyError, RuntimeError, BufferError, AttributeError, OSError,
            OverflowError, NotImplementedError, EOFError):
        return
    raise AssertionError(f"{call} did not fail")


def rss() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# Operations: each takes the witnesses (argument objects whose reference
# counts must come back, so none is a shared or interned constant) and does
# one round of calls.

def construct(w):
    SDBlock(w["text"])
    SDBlock(w["data"], records=w["pairs"], header=w["copy"])
    SDBlock(w["text"], w["mapping"])
    fails(SDBlock, 42)
    fails(SDBlock, w["text"], header=w["bogus"])
    fails(SDBlock, w["text"] + w["text"])
    fails(SDBlock, "\ud800")
    fails(SDBlock, w["text"], records=[w["name"]])
    fails(SDBlock, w["text"], records=[(w["name"],)])


def protocol(w):
    block, other = w["block"], w["bytes_block"]
    str(block), repr(block), repr(other), str(other), bool(block)
    assert block == copy.copy(block) and block != other
    fails(hash, block)
    fails(lambda: block < other)
    fails(str, NOT_UTF8)
    SDBlock[str]


def sections(w):
    block = SDBlock(w["text"])
    block.title, block.molblock, block.mdl, block.ctab
    block.title = w["name"]
    block.molblock = w["text"][:40]
    block.mdl = "x\r\ny\r\n"
    fails(setattr, block, "title", "a\nb")
    fails(setattr, block, "title", w["data"])
    fails(delattr, block, "mdl")
    fails(setattr, block, "ctab", "x")
    fails(getattr, NOT_UTF8, "title")
    fails(getattr, NOT_UTF8, "molblock")


def copies(w):
    block = w["block"]
    copy.copy(block), copy.deepcopy(block)
    pickle.loads(pickle.dumps(block))
    pickle.loads(pickle.dumps(w["bytes_block"]))
    fails(SDBlock._from_state, w["data"], 1, 2, True)
    fails(SDBlock._from_state, w["text"], 1, 2, True)
    fails(SDBlock._from_state, w["data"], -1, 2, True)
    fails(SDBlock._from_state, w["data"], 1, 2, 1)


def buffers(w):
    block = SDBlock(w["data"])
    with memoryview(block) as view:
        bytes(view)
        fails(setattr, block, "title", b"x")
        fails(block.append_record, b"N", b"v")
    bytes(block)
    fails(memoryview, w["block"])


def reading(w):
    block = SDBlock(w["text"])
    block.records(), block.names(), block.to_dict()
    for _ in range(3):  # a scan, the index build, then the index
        block.get(w["name"]), block.get("Z", w["mapping"]), block[w["name"]], w["name"] in block, len(block)
    list(block.iter_records()), list(block)
    fails(block.__getitem__, "Z")
    fails(block.get, w["data"])
    fails(block.__contains__, 42)
    bad = SDBlock(MALFORMED)
    for call in (bad.records, bad.names, bad.to_dict, bad.__len__, lambda: bad.get("A"), lambda: "A" in bad,
                 lambda: list(bad.iter_records())):
        fails(call)
    for call in (NOT_UTF8.records, NOT_UTF8.names, NOT_UTF8.to_dict, lambda: NOT_UTF8.get("B"),
                 lambda: list(NOT_UTF8)):
        fails(call)


def editing(w):
    block = SDBlock(w["text"])
    block.append_record(w["name"], w["value"], header=w["copy"])
    block.set_record(w["name"], w["value"], header=w["copy"])
    block[w["name"]] = w["value"]
    block.remove_record(w["name"])
    block.replace_records(w["mapping"], header=w["copy"])
    block.replace_records(block.records())
    del block["C"]
    fails(block.__delitem__, "C")
    fails(block.append_record, w["name"], w["value"], header=w["bogus"])
    fails(block.append_record, w["name"], w["value"], header=42)
    fails(block.set_record, w["data"], w["value"])
    fails(block.replace_records, [[w["name"], w["value"]]])
    fails(block.replace_records, [(w["name"],)])
    fails(block.replace_records, 42)
    block.rename_record(w["name"], "Renamed")
    fails(block.rename_record, "Renamed", w["name"] + "<")
    fails(SDBlock("t\nP\n").append_record, w["name"], w["value"])  # no M  END: refused
    native._record_problem(w["name"], w["value"] + "\n\n"), native._record_problem(w["data"])
    bad = SDBlock(MALFORMED)
    fails(bad.set_record, "A", "x")
    fails(bad.remove_record, "A")
    fails(bad.rename_record, "A", "B")
    records = block.iter_records()
    next(records)
    block.append_record("C", "3")
    fails(next, records)


def reading_paths(w):
    for source in (w["path"], w["str_path"]):
        for borrow in (False, True):
            for block in parse_sdf(source, borrow=borrow):
                block.title
    blocks = parse_sdf(w["path"])
    next(blocks)
    blocks.close()
    fails(next, parse_sdf(w["missing"]))
    fails(next, parse_sdf(w["directory"]))
    fails(parse_sdf, 42)
    fails(parse_sdf, w["path"], borrow=1)


def reading_ranges_and_compressed(w):
    for source in (w["path"], w["str_path"], w["gz"]):
        list(parse_sdf(source))
    for source in (w["path"], w["str_path"]):
        list(parse_sdf_range(source, 100, 2000, borrow=True))
    fails(list, parse_sdf(w["truncated_gz"]))
    fails(next, parse_sdf_range(w["gz"], 0, 10))
    fails(parse_sdf_range, w["path"], 10, 0)
    fails(parse_sdf_range, 42, 0, 10)


# Made once, not per call: a free-threaded build frees classes only in the
# cyclic collector, so hundreds of dead ones pile up between collections,
# and the io ABCs' caches that met them keep the size they grew to: a
# plateau of 100 to 200 KB however many calls, molbrook's or not.
class Broken(io.RawIOBase):
    def read(self, size=-1):
        raise OSError("broken")


def reading_objects(w):
    list(parse_sdf(io.BytesIO(w["data"] * 3)))
    list(parse_sdf(io.StringIO(w["text"])))
    list(SDBlock.from_sdf(w["text"] * 3)), list(SDBlock.from_sdf(w["data"]))
    list(SDBlock.from_lines(w["text"].splitlines(keepends=True)))
    fails(SDBlock.from_sdf, 42)
    fails(SDBlock.from_lines, w["text"])
    fails(SDBlock.from_lines, 42)
    fails(list, SDBlock.from_lines(["a\n", b"b\n"]))
    fails(list, SDBlock.from_lines([42]))
    fails(list, parse_sdf(Broken()))
    fails(list, parse_sdf(w["none_reader"]))


def writing(w):
    blocks = [w["block"], SDBlock(w["text"])]
    write_sdf(w["out"], blocks)
    write_sdf(io.StringIO(), blocks)
    with sdf_writer(w["out"]) as writer:
        writer.write(w["block"])
    writer = sdf_writer(io.BytesIO())
    writer.write(w["bytes_block"])
    fails(writer.write, w["block"])
    writer.close()
    fails(writer.write, w["block"])
    fails(write_sdf, w["out"], [w["block"], 42])
    fails(write_sdf, w["out"], 42)
    fails(write_sdf, w["out"], [NOT_UTF8])
    fails(write_sdf, io.StringIO(), [NOT_UTF8])
    if os.path.exists("/dev/full"):
        fails(write_sdf, "/dev/full", blocks)
    fails(sdf_writer, w["directory"])
    sdf_writer(io.BytesIO()).write(w["bytes_block"])  # dropped unclosed: flushed on release


def merging(w):
    table = {"B": ["2", w["name"]], "X": [w["value"], None]}
    merge_records(w["str_path"], table, w["out"], key="B")
    merge_records(io.BytesIO(w["data"]), table, io.BytesIO(), key=TITLE, title="B")
    merge_records(io.StringIO(w["text"]), {"B": [b"\xff"], "X": [w["value"]]}, io.StringIO(), key="B")
    fails(merge_records, io.StringIO(MALFORMED), table, io.BytesIO(), key="B")
    fails(merge_records, w["str_path"], table, w["directory"], key="B")
    fails(merge_records, io.StringIO(w["text"]), {"B": ["2"], "X": [w["value"] + "\n\n"]}, io.BytesIO(), key="B")
    fails(merge_records, io.StringIO("title\nP\n$$$$\n"), {"t": ["title"], "X": [w["value"]]}, io.BytesIO(),
          key=TITLE, title="t")
    merge = {"text_as_utf8": True, "record": None, "keys": (), "names": (), "columns": ()}
    fails(native._merge_blocks, [w["block"], 42], io.BytesIO(), **merge)
    fails(native._merge_blocks, [w["block"]], io.BytesIO(), **{**merge, "keys": (42,)})
    fails(native._merge_blocks, [w["block"]], io.BytesIO(), **{**merge, "names": (w["name"],)})


def sorting(w):
    by = [SortKey(w["name"], kind="number", descending=True)]
    sort_sdf(w["str_path"], io.BytesIO(), by=by, group=TITLE, duplicates=io.BytesIO(), provenance=w["name"])
    sort_sdf([io.BytesIO(w["data"] * 3)], io.BytesIO(), by=by, top=2, memory=1)
    fails(sort_sdf, io.StringIO(MALFORMED), io.BytesIO(), by=["A"])
    fails(sort_sdf, [w["str_path"], w["path"]], io.BytesIO())


def tables(w):
    table = CTable(w["lines"])
    table.lines, table.num_atoms, table.num_bonds, table.format
    table.valid_atom_indices(), table.valid_bond_indices(strict=False)
    fails(table.valid_atom_indices, True)
    fails(table.valid_atom_indices, strict=1)
    table.renumber_indices()
    table.fix_counts()
    fails(CTable, 42)
    fails(CTable, ["t", b"x"])
    fails(CTable, [])
    fails(CTable(w["lines"][:9] + w["lines"][10:]).valid_atom_indices)
    fails(CTable(w["lines"][:8] + w["lines"][7:]).valid_atom_indices)
    fails(CTable(["t", "p", "c", "  0  0 V2000"]).fix_counts)


def block_tables(w):
    block = SDBlock(w["v3000"])
    block.ctable(), block.num_atoms, block.num_bonds, block.format
    block.renumber_indices()
    block.fix_counts()
    fails(NOT_UTF8.ctable)
    fails(getattr, SDBlock("t\n$$$$\n"), "num_atoms")
    with memoryview(SDBlock(w["v3000"].encode())) as view:
        fails(view.obj.fix_counts)


OPERATIONS = [construct, protocol, sections, copies, buffers, reading, editing, reading_paths,
              reading_ranges_and_compressed, reading_objects, writing, merging, sorting, tables, block_tables]


@pytest.fixture
def witnesses(tmp_path):
    path = tmp_path / "in.sdf"
    path.write_bytes(DATA * 20)
    (tmp_path / "in.sdf.gz").write_bytes(gzip.compress(DATA * 20))
    (tmp_path / "truncated.gz").write_bytes(gzip.compress(DATA * 20)[:-30])
    (tmp_path / "directory").mkdir()

    class NoneReader:
        def read(self, size):
            return None

    return {
        "text": TEXT, "data": DATA, "name": "".join(["AL", "PHA"]), "value": "v" * 100,
        "copy": "".join(["co", "py"]), "bogus": "".join(["bog", "us"]),
        "pairs": [(b"N", b"1"), (b"M", b"2")], "mapping": {"A": "1", "C": "3"},
        "block": SDBlock(TEXT), "bytes_block": SDBlock(DATA), "lines": list(V3000), "v3000": V3000_BLOCK,
        "path": os.fsencode(path), "str_path": str(path), "missing": str(tmp_path / "missing.sdf"),
        "directory": str(tmp_path / "directory"), "out": str(tmp_path / "out.sdf"), "none_reader": NoneReader(),
        "gz": str(tmp_path / "in.sdf.gz"), "truncated_gz": os.fsencode(tmp_path / "truncated.gz"),
    }


# A reference kept per call shows at any count; the slow tier repeats each
# operation long enough for resident memory to show a native leak too.
@proc_only
@pytest.mark.parametrize("repeats", [300, pytest.param(3000, marks=pytest.mark.slow)])
@pytest.mark.parametrize("operation", OPERATIONS, ids=lambda operation: operation.__name__)
def test_repeated_operations_leak_nothing(operation, repeats, witnesses):
    watched = list(witnesses.values()) + CLASSES + [ctable_errors.MalformedCTableError]
    for _ in range(100):  # caches (record names, imported classes) fill here
        operation(witnesses)
    gc.collect()
    references = [sys.getrefcount(obj) for obj in watched]
    total = getattr(sys, "gettotalrefcount", lambda: 0)()
    tracemalloc.start()
    try:
        traced = tracemalloc.get_traced_memory()[0]
        resident = rss()
        for _ in range(repeats):
            operation(witnesses)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - traced
        resident_grown = rss() - resident
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(obj) for obj in watched] == references
    assert getattr(sys, "gettotalrefcount", lambda: 0)() - total < 100
    assert grown < 256 * 1024, f"{grown} bytes of Python objects kept"
    # AddressSanitizer holds freed memory back (its quarantine), so there
    # resident memory grows anyway; LeakSanitizer checks the native side.
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        assert resident_grown < 8 * 1024 * 1024, f"resident memory grew by {resident_grown} bytes"
