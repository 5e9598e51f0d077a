"""sort_sdf against `sorted` on the parsed blocks with the same key
functions: kinds, directions, missing values, ties, groups, top and
duplicates, in memory and spilling, from one source or many, plain,
compressed and piped; and failures that leave nothing behind."""

from __future__ import annotations

import functools
import gzip
import io
import math
import os
import re
import resource
import signal
import subprocess
import sys
import threading
import time
import warnings

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import AS_FROM_A_SHELL, corpus_params, fifo_with, posix_only
from molbrook import TITLE, MalformedRecordError, SDBlock, SortKey, _bgzf, index_sdf, parse_sdf, sort_sdf, write_sdf
from molbrook._sort import MissingRecordWarning
from molbrook.cli.inputs import Source

SCORES = ["-1e3", "1E+2", " 7 ", "inf", "-inf", "nan", "1_000", "", "text", "0", "-0", "2.5"]
IDS = ["ID-9", "ID-10", "ID-010", "ID-2a", "ID-", "9", "x10y2", "x10y10"]
NAMES = ["Zeta", "Äpfel", "apple", "élan", "a\x00b", "a"]


def block(title: str, records: dict[str, str]) -> bytes:
    data = "".join(f"> <{name}>\n{value}\n\n" for name, value in records.items())
    return f"{title}\n  mb\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n{data}$$$$\n".encode()


# The reference ---------------------------------------------------------------


def named(sd: SDBlock, name: str):
    return name if isinstance(sd.title, str) else name.encode()


def value(sd: SDBlock, key: SortKey):
    """The key's value as the sort compares it, None when missing."""
    text = sd.title if key.name is TITLE else sd.get(named(sd, key.name))
    if text is None:
        return None
    data = text.encode("utf-8", "surrogateescape") if isinstance(text, str) else text
    if key.kind == "number":
        try:
            number = float(text)  # of a str, as float() reads a str
        except ValueError:
            return None
        return None if math.isnan(number) else number
    if key.kind == "natural":
        return [int(part) if i % 2 else part for i, part in enumerate(re.split(rb"([0-9]+)", data))]
    return data


def compare(keys, a: SDBlock, b: SDBlock) -> int:
    for key in keys:
        x, y = value(a, key), value(b, key)
        if x is None or y is None:
            if (x is None) != (y is None):
                return (1 if x is None else -1) * (1 if key.missing == "last" else -1)
            continue
        if x != y:
            return (1 if x > y else -1) * (-1 if key.descending else 1)
    return 0


def reference(sources, keys, group=None, per_group=None, top=None):
    """(written, aside) as lists of blocks."""
    blocks = [b for source in sources for b in source]
    blocks = [b for b in blocks if not any(k.missing == "drop" and value(b, k) is None for k in keys)]
    ordered = sorted(blocks, key=functools.cmp_to_key(functools.partial(compare, keys)))
    kept, aside, seen = [], [], {}
    for b in ordered:
        name = b.title if group is TITLE else b.get(named(b, group)) if group else None
        seen[name] = seen.get(name, 0) + 1
        (kept if name is None or seen[name] <= (per_group or 1) else aside).append(b)
    position = {id(b): i for i, b in enumerate(blocks)}
    return kept[:top], sorted(aside, key=lambda b: position[id(b)])


def sdf(blocks) -> bytes:
    out = io.BytesIO()
    write_sdf(out, blocks)
    return out.getvalue()


# Properties ------------------------------------------------------------------

records = st.fixed_dictionaries({}, optional={
    "score": st.sampled_from(SCORES), "ID": st.sampled_from(IDS), "name": st.sampled_from(NAMES)})
files = st.lists(st.lists(st.tuples(st.sampled_from(["L1", "L2", "L3", "Ω"]), records).map(lambda t: block(*t)),
                          max_size=12).map(b"".join), min_size=1, max_size=4)
sort_keys = st.lists(st.builds(SortKey, name=st.sampled_from(["score", "ID", "name", TITLE]),
                               kind=st.sampled_from(["text", "number", "natural"]), descending=st.booleans(),
                               missing=st.sampled_from(["last", "first", "drop"])), max_size=3)
FORMS = ["plain", "gzip", "bgzf", "file object"]


def as_source(tmp_path, data: bytes, form: str, number: int, text: bool):
    """A source of `data`: a path (str when `text`) or a file object."""
    path = tmp_path / f"in{number}.sdf"
    if form == "file object":
        path.write_bytes(data)
        return open(path, encoding="utf-8", newline="") if text else open(path, "rb")
    if form == "plain":
        path.write_bytes(data)
    else:
        path = path.with_suffix(".sdf.gz")
        with open(path, "wb") as raw:
            if form == "gzip":
                raw.write(gzip.compress(data))
            else:
                with _bgzf.BgzfWriter(raw) as out:
                    out.write(data)
    return str(path) if text else os.fsencode(path)


def label(source) -> bytes:
    return b"-" if hasattr(source, "read") else os.fsencode(source)


@pytest.mark.filterwarnings("ignore::molbrook._sort.MissingRecordWarning")  # keys drawn that no block has
@settings(max_examples=60, deadline=None)
@given(data=files, keys=sort_keys, forms=st.lists(st.sampled_from(FORMS), min_size=4, max_size=4),
       grouping=st.sampled_from([None, "title", "ID"]), per_group=st.integers(1, 2),
       top=st.none() | st.integers(1, 5), memory=st.sampled_from([1, 300, "1MiB"]), text=st.booleans(),
       provenance=st.booleans())
def test_sorts_as_the_reference(tmp_path_factory, data, keys, forms, grouping, per_group, top, memory, text,
                                provenance):
    tmp_path = tmp_path_factory.mktemp("sort")
    sources = [as_source(tmp_path, d, forms[i], i, text) for i, d in enumerate(data)]
    grouped = {"group": TITLE if grouping == "title" else grouping} if grouping else {}
    if grouped:
        grouped["per_group"] = per_group
    out, aside = tmp_path / "out.sdf", tmp_path / "aside.sdf"
    try:
        summary = sort_sdf(sources, out, by=keys, top=top, duplicates=aside, memory=memory, tmpdir=tmp_path,
                           provenance="src" if provenance else None, **grouped)
    finally:
        for source in sources:
            if hasattr(source, "close"):
                source.close()
    parsed = [list(SDBlock.from_sdf(d)) for d in data]
    for source, blocks in zip(sources, parsed) if provenance else ():
        for i, b in enumerate(blocks):
            b.set_record(b"src", label(source) + b":%d" % i)
    kept, dropped = reference(parsed, keys, grouped.get("group"), per_group if grouped else None, top)
    assert out.read_bytes() == sdf(kept)
    assert aside.read_bytes() == sdf(dropped)
    assert (summary.blocks_in, summary.blocks_out, summary.duplicates) == (
        sum(map(len, parsed)), len(kept), len(dropped))
    assert sorted(os.listdir(tmp_path)) == sorted(["aside.sdf", "out.sdf", *(os.path.basename(os.fsdecode(
        s.name if hasattr(s, "read") else s)) for s in sources)])


@pytest.mark.parametrize("kind, values, expected", [
    ("number", SCORES, ["-inf", "-1e3", "0", "-0", "2.5", " 7 ", "1E+2", "1_000", "inf", "nan", "", "text"]),
    ("natural", ["ID-010", "ID-9", "ID-10", "ID-1"], ["ID-1", "ID-9", "ID-010", "ID-10"]),
    ("text", ["élan", "Zeta", "apple", "Äpfel"], ["Zeta", "apple", "Äpfel", "élan"]),
])
def test_kinds_order_values_so(tmp_path, kind, values, expected):
    path = tmp_path / "in.sdf"
    path.write_bytes(b"".join(block(v, {"v": v}) for v in values))
    sort_sdf(str(path), tmp_path / "out.sdf", by=[SortKey("v", kind=kind)])
    assert [b.get("v") for b in parse_sdf(str(tmp_path / "out.sdf"))] == expected


def as_float(value):
    try:
        return float(value)
    except ValueError:
        return None


@pytest.mark.parametrize("text", [True, False])
def test_number_keys_read_a_value_as_float_reads_it(tmp_path, text):
    """Of str sources Unicode digits and white space, as float() of a str;
    of bytes sources ASCII only, as float() of bytes."""
    values = ["x", "١٣", "12\xa0", "\u20037\u3000", "１０", "9", "-\u0665", "1_1"]
    path = tmp_path / "in.sdf"
    path.write_bytes(b"".join(block(v, {"v": v}) for v in values))
    source = str(path) if text else os.fsencode(path)
    sort_sdf(source, tmp_path / "out.sdf", by=[SortKey("v", kind="number")])
    read = [as_float(v if text else v.encode()) for v in values]
    expected = sorted(range(len(values)), key=lambda i: (read[i] is None, read[i] or 0))
    assert [b.title for b in parse_sdf(str(tmp_path / "out.sdf"))] == [values[i] for i in expected]


@pytest.mark.parametrize("corpus_file", corpus_params())
def test_corpus_files_sort_by_title_as_the_reference(tmp_path, corpus_file):
    keys = [SortKey(TITLE, kind="natural", descending=True)]
    expected = list(parse_sdf(os.fsencode(corpus_file)))
    refused = []
    for i, b in enumerate(expected):
        try:
            b.set_record(b"from", os.fsencode(corpus_file) + b":%d" % i)
        except ValueError:  # no M  END line: records there would not read back
            refused.append(i)
    for memory in ("256MiB", 4096):
        if refused:
            with pytest.raises(ValueError, match=f"{corpus_file}:{refused[0]}"):
                sort_sdf(os.fsencode(corpus_file), tmp_path / "out.sdf", by=keys, memory=memory, provenance="from",
                         tmpdir=tmp_path)
            assert os.listdir(tmp_path) == []
            continue
        summary = sort_sdf(os.fsencode(corpus_file), tmp_path / "out.sdf", by=keys, memory=memory,
                           provenance="from", tmpdir=tmp_path)
        assert (tmp_path / "out.sdf").read_bytes() == sdf(reference([expected], keys)[0])
        assert summary.spilled_runs == (0 if memory == "256MiB" else summary.spilled_runs) and len(
            os.listdir(tmp_path)) == 1


def test_piped_compressed_and_text_sources_mix_as_one_stream(tmp_path):
    parts = [b"".join(block(f"T{n}", {"s": str(n * k % 7)}) for k in range(1, 30)) for n in range(1, 4)]
    (tmp_path / "a.sdf").write_bytes(parts[0])
    (tmp_path / "b.sdf.gz").write_bytes(gzip.compress(parts[1]))
    read = []
    with fifo_with(tmp_path, parts[2]) as fifo:
        sort_sdf([str(tmp_path / "a.sdf"), str(tmp_path / "b.sdf.gz"), str(fifo)], tmp_path / "out.sdf.gz",
                 by=[SortKey("s", kind="number", descending=True)], memory=500, provenance="src", tmpdir=tmp_path,
                 progress=read.append)
    assert sum(read) == sum(map(len, parts))
    written = list(parse_sdf(str(tmp_path / "out.sdf.gz")))
    assert [float(b["s"]) for b in written] == sorted((float(b["s"]) for b in written), reverse=True)
    assert written[0]["src"] in {f"{tmp_path / 'a.sdf'}:{i}" for i in range(30)} | {f"{fifo}:{i}" for i in range(30)}
    assert sorted(os.listdir(tmp_path)) == ["a.sdf", "b.sdf.gz", "fifo", "out.sdf.gz"]


@pytest.mark.parametrize("arguments, error", [
    ({"by": [{"name": "a", "kind": "numeric"}]}, ValueError),
    ({"by": [{"name": "a", "missing": "never"}]}, ValueError),
    ({"per_group": 1}, ValueError),
    ({"group": "a", "per_group": 0}, ValueError),
    ({"top": 0}, ValueError),
    ({"memory": "12 parsecs"}, ValueError),
    ({"memory": -1}, ValueError),
    ({"by": [{}]}, ValueError),
    ({"by": [b"a"]}, TypeError),  # bytes names for str sources
    ({"sources_too": True}, TypeError),
])
def test_argument_errors_come_before_any_write(tmp_path, arguments, error):
    source = tmp_path / "in.sdf"
    source.write_bytes(block("t", {"a": "1"}))
    sources = [str(source), os.fsencode(source)] if arguments.pop("sources_too", False) else str(source)
    with pytest.raises(error):
        if "by" in arguments:
            arguments["by"] = [SortKey(**key) if isinstance(key, dict) else key for key in arguments["by"]]
        sort_sdf(sources, tmp_path / "out.sdf", tmpdir=tmp_path, **arguments)
    assert os.listdir(tmp_path) == ["in.sdf"]


@pytest.mark.parametrize("memory", ["1MiB", 1])  # read back from the mapping, or at offsets
def test_text_that_does_not_decode_fails_naming_its_block(tmp_path, memory):
    source = tmp_path / "in.sdf"
    source.write_bytes(block("a", {"s": "2"}) + block("b", {"s": "1"}).replace(b"b", b"b\xff", 1))
    with pytest.raises(UnicodeDecodeError) as raised:
        sort_sdf(str(source), tmp_path / "out.sdf", by=["s"], memory=memory)
    assert "Writing block 0 (from 0), the SDBlock titled 'b\ufffd'" in raised.value.__notes__[0]
    assert os.listdir(tmp_path) == ["in.sdf"]


def test_a_bgzf_source_is_read_back_through_an_index_and_a_stale_one_is_left_alone(tmp_path):
    path = tmp_path / "in.sdf.gz"
    data = [b"".join(block(f"T{k}", {"s": str((k * n) % 11)}) for k in range(300)) for n in (3, 5)]
    for version in data:  # the index beside the file describes the first version only
        with open(path, "wb") as raw, _bgzf.BgzfWriter(raw) as out:
            out.write(version)
        if version is data[0]:
            index_sdf(str(path)).close()
    stale = (tmp_path / "in.sdf.gz.mbi").read_bytes()
    sort_sdf(str(path), tmp_path / "out.sdf", by=[SortKey("s", kind="number")], memory=1, tmpdir=tmp_path)
    assert (tmp_path / "out.sdf").read_bytes() == sdf(reference([list(SDBlock.from_sdf(data[1]))],
                                                                [SortKey("s", kind="number")])[0])
    assert (tmp_path / "in.sdf.gz.mbi").read_bytes() == stale


@pytest.mark.parametrize("memory", ["1MiB", 1])  # read back from the mapping, or at offsets
@pytest.mark.parametrize("change", ["rewritten", "cut short"])
@pytest.mark.parametrize("key", ["s", "k"])  # blocks apart, or in file order (read back together)
def test_a_source_that_changes_while_sorted_fails(tmp_path, memory, change, key):
    source = tmp_path / "in.sdf"
    data = b"".join(block(f"T{k}", {"s": str(k % 7), "k": f"{k:05}"}) for k in range(2000))  # pages past a cut
    source.write_bytes(data)

    def rewrite(_):  # once it is read: no $$$$ line of it ends one, or its mapping reaches past its end
        with open(source, "r+b") as file:
            if change == "cut short":
                file.truncate(len(data) // 3)
            else:
                file.write(data.replace(b"$$$$\n", b"$$$$\r"))
    with pytest.raises(ValueError, match="changed while it was sorted"):
        sort_sdf(str(source), tmp_path / "out.sdf", by=[key], memory=memory, progress=rewrite)
    assert os.listdir(tmp_path) == ["in.sdf"]


def five_sources(tmp_path, malformed_third=False):
    names = []
    for n in range(5):
        data = b"".join(block(f"T{n}", {"s": str(k)}) for k in range(200))
        if malformed_third and n == 2:
            data += b"bad\n\n\nM  END\n> no name\nx\n\n$$$$\n"
        (tmp_path / f"in{n}.sdf").write_bytes(data)
        names.append(str(tmp_path / f"in{n}.sdf"))
    return names


def test_a_malformed_block_in_the_third_source_leaves_nothing(tmp_path):
    runs = tmp_path / "runs"
    runs.mkdir()
    with pytest.raises(MalformedRecordError) as raised:
        sort_sdf(five_sources(tmp_path, malformed_third=True), tmp_path / "out.sdf", by=["s"], memory=2000,
                 tmpdir=runs)
    assert any("in2.sdf" in note for note in raised.value.__notes__)
    assert not (tmp_path / "out.sdf").exists() and os.listdir(runs) == []


SORT_SCRIPT = AS_FROM_A_SHELL + """
import sys, resource, signal
from molbrook import sort_sdf
if sys.argv[1] == "fsize":
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (30_000, 30_000))
sort_sdf(sys.argv[3:], sys.argv[2], by=["s"], memory=1 if sys.argv[1] == "tiny" else 2_000,
         tmpdir=sys.argv[2] + ".runs")
"""


@posix_only
def test_a_full_disk_leaves_nothing(tmp_path):
    runs = tmp_path / "out.sdf.runs"
    runs.mkdir()
    done = subprocess.run([sys.executable, "-c", SORT_SCRIPT, "fsize", tmp_path / "out.sdf",
                           *five_sources(tmp_path)], capture_output=True)
    assert done.returncode == 1 and b"File too large" in done.stderr
    assert not (tmp_path / "out.sdf").exists() and os.listdir(runs) == []


@posix_only
def test_ctrl_c_between_reads_of_a_pipe_leaves_nothing(tmp_path):
    """SIGINT taken while the sort works between two reads of a pipe ends it
    before the next read, which would wait for good on a writer that stays."""
    runs = tmp_path / "out.sdf.runs"
    runs.mkdir()
    os.mkfifo(tmp_path / "pipe")
    first = five_sources(tmp_path)[0]
    with subprocess.Popen([sys.executable, "-c", SORT_SCRIPT, "tiny", tmp_path / "out.sdf", first, tmp_path / "pipe"],
                          stderr=subprocess.PIPE) as process, open(tmp_path / "pipe", "wb") as pipe:
        # Each block a run of its own: the sort is busy for a while on what the pipe holds.
        pipe.write(b"".join(block("t", {"s": str(k)}) for k in range(600)))
        pipe.flush()
        deadline = time.monotonic() + 60
        while sum(len(files) for _, _, files in os.walk(runs)) < 300 and time.monotonic() < deadline:
            time.sleep(0.001)
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=30) != 0 and b"KeyboardInterrupt" in process.stderr.read()
    assert not (tmp_path / "out.sdf").exists() and os.listdir(runs) == []


@posix_only
def test_checking_a_named_pipe_leaves_it_to_the_one_read(tmp_path):
    """An open to check the pipe would take its writer's one reader, and the
    real read would wait for good: the check must not open it."""
    os.mkfifo(tmp_path / "fifo")
    checker = threading.Thread(target=Source(str(tmp_path / "fifo")).check_readable, daemon=True)
    checker.start()
    checker.join(10)
    if checker.is_alive():  # waiting in open for a writer: give it one
        os.close(os.open(tmp_path / "fifo", os.O_WRONLY | os.O_NONBLOCK))
    assert not checker.is_alive()


@posix_only
@pytest.mark.parametrize("command", [["sort", "-k", "s:n"], ["uniq", "--key", "s"], ["cat"], ["top", "-n", "3"]])
def test_commands_read_a_named_pipe(tmp_path, command):
    data = b"".join(block(f"T{k}", {"s": str(k % 5)}) for k in range(20))
    with fifo_with(tmp_path, data) as fifo:
        done = subprocess.run([sys.executable, "-m", "molbrook", *command, "-q", str(fifo)], capture_output=True,
                              timeout=60)
    assert done.returncode == 0 and done.stdout.count(b"$$$$") == {"uniq": 5, "top": 3}.get(command[0], 20)


def cli(*args) -> tuple[int, str]:
    done = subprocess.run([sys.executable, "-m", "molbrook", *map(str, args)], capture_output=True, timeout=120)
    return done.returncode, done.stderr.decode()


@pytest.mark.parametrize("alias", ["same path", "symbolic link", "hard link"])
@pytest.mark.parametrize("via", ["library", "sort", "uniq"])
def test_duplicates_written_over_the_output_are_refused_before_reading(tmp_path, alias, via):
    out = tmp_path / "out.sdf"
    out.write_bytes(b"before")
    dups = {"same path": os.path.join(tmp_path, ".", "out.sdf"), "symbolic link": tmp_path / "link", "hard link": tmp_path / "hard"}
    if alias == "symbolic link":
        dups[alias].symlink_to(out)
    elif alias == "hard link":
        os.link(out, dups[alias])
    missing = tmp_path / "missing.sdf"  # read first, it would fail otherwise
    if via == "library":
        with pytest.raises(ValueError, match="same file"):
            sort_sdf(str(missing), out, group="s", duplicates=dups[alias])
    else:
        status, said = cli(via, "--key" if via == "uniq" else "--group", "s", "--dups", dups[alias], "-o", out, missing)
        assert status == 2 and said.count("\n") == 1 and "--dups" in said
    assert out.read_bytes() == b"before"


def big_source(path, count=2500):
    """Blocks of s = k % 97 (block 0 sorts first), well over both ends a stamp hashes."""
    data = b"".join(block(f"T{k:05}", {"s": str(k % 97)}) for k in range(count))
    path.write_bytes(data)
    return data


@pytest.mark.parametrize("memory", ["1MiB", 1])  # read back from the mapping, or at offsets
@pytest.mark.parametrize("edit", ["in a block", "at the head, time kept", "at block ends, time kept"])
def test_a_source_edited_in_place_while_sorted_fails(tmp_path, memory, edit):
    source = tmp_path / "in.sdf"
    data = big_source(source)
    before = os.stat(source)
    middle = len(data) // 2

    def rewrite(_):  # same size, once the keys are read
        if edit == "in a block":
            changed = data[:middle] + data[middle:].replace(b"T0", b"X0")
        elif edit == "at the head, time kept":
            changed = data.replace(b"T00001", b"X00001")
        else:  # ends of blocks that are not written (top=1), away from both ends of the file
            changed = data[:70_000] + data[70_000:-70_000].replace(b"\n$$$$\n", b"\n$$$X\n") + data[-70_000:]
        with open(source, "r+b") as file:
            file.write(changed)
        if "time kept" in edit:
            os.utime(source, ns=(before.st_atime_ns, before.st_mtime_ns))
    with pytest.raises(ValueError, match="changed while it was sorted"):
        sort_sdf(str(source), tmp_path / "out.sdf", by=[SortKey("s", kind="number")], top=1, memory=memory,
                 progress=rewrite)
    assert os.listdir(tmp_path) == ["in.sdf"]


@pytest.mark.parametrize("args", [["sort", "-k", "MWW:n"], ["top", "-n", "1", "-k", "mw"], ["uniq", "--key", "IDD"],
                                  ["sort", "-k", "MW", "--group", "IDD"]])
def test_a_key_record_that_no_block_has_is_said_and_nothing_is_written(tmp_path, args):
    (tmp_path / "in.sdf").write_bytes(b"".join(block(f"T{k}", {"ID": str(k), "MW": str(k % 3)}) for k in range(9)))
    status, said = cli(*args, tmp_path / "in.sdf", "-o", tmp_path / "out.sdf")
    name = args[-1].split(":")[0]
    assert status == 2 and said == (f"molbrook {args[0]}: no block has a record named {name!r} (names seen: ID, MW; "
                                    f"did you mean {'MW' if name.upper().startswith('M') else 'ID'!r}?)\n")
    assert not (tmp_path / "out.sdf").exists()


def test_the_library_warns_of_a_key_record_no_block_has_and_still_sorts(tmp_path):
    (tmp_path / "in.sdf").write_bytes(block("b", {"ID": "1"}) + block("a", {"ID": "2"}))
    with pytest.warns(MissingRecordWarning) as warned:
        summary = sort_sdf(str(tmp_path / "in.sdf"), tmp_path / "out.sdf", by=["MWW", SortKey(TITLE), "ID"])
    assert [(w.message.name, w.message.seen) for w in warned] == [("MWW", ["ID"])] and summary.blocks_out == 2
    assert [b.title for b in parse_sdf(str(tmp_path / "out.sdf"))] == ["a", "b"]


NOFILE_SCRIPT = """
import resource, sys
from molbrook import sort_sdf
resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))
summary = sort_sdf(sys.argv[2:], sys.argv[1], by=["s"], memory=1000, tmpdir=sys.argv[1] + ".runs")
print(summary.blocks_out, summary.spilled_runs)
"""


@posix_only
def test_hundreds_of_sources_sort_within_a_small_limit_of_open_files(tmp_path):
    names = []
    for n in range(300):
        (tmp_path / f"in{n}.sdf").write_bytes(b"".join(block(f"T{n}", {"s": f"{(n * 7 + k) % 1000:03}"})
                                                        for k in range(10)))
        names.append(tmp_path / f"in{n}.sdf")
    (tmp_path / "out.sdf.runs").mkdir()
    done = subprocess.run([sys.executable, "-c", NOFILE_SCRIPT, tmp_path / "out.sdf", *names], capture_output=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr.decode()
    written, runs = map(int, done.stdout.split())
    assert written == 3000 and runs > 64
    keys = [b["s"] for b in parse_sdf(str(tmp_path / "out.sdf"))]
    assert keys == sorted(keys) and len(keys) == 3000
