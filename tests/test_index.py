"""index_sdf and SDIndex: random access equal to reading the file through,
for plain and BGZF files, str and bytes paths, with the sidecar built,
reused, extended or rebuilt as the file changes."""

import gzip
from itertools import accumulate
import os
import random
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import time
from unittest import mock

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import UNDER_ASAN, corpus_params, fifo_with, posix_only
from molbrook import TITLE, MalformedRecordError, SDBlock, _bgzf, index_sdf, parse_sdf, parse_sdf_range

# Pieces dense in what moves block ends and keys: $$$$ lines after LF, CR
# or CRLF, records named ID of one or two lines, and titles.
PIECES = [b"$$$$", b"\n", b"\r", b"\r\n", b"x", b"\n$$$$\n", b"> <ID>\n", b"> <ID>\r\n", b"A\n", b"B\r\n",
          b"t\n", b"> <X>\n", b"$$$$\r\n"]
sd_files = st.lists(st.sampled_from(PIECES), max_size=50).map(b"".join)
KEYS = [None, "ID", "title"]


def key_of(block, key):
    return block.title if key == "title" else block.get(key if isinstance(block.title, str) else key.encode())


def index(path, key, **options):
    return index_sdf(path, key=TITLE if key == "title" else key, **options)


def write_bgzf(path, data, member_data):
    with open(path, "wb") as raw, mock.patch.object(_bgzf, "_MEMBER_DATA", member_data):
        with _bgzf.BgzfWriter(raw) as out:
            out.write(data)


def check_index(idx, path, data, key):
    """Every answer of `idx` against one pass of parse_sdf over `path`."""
    expected = list(parse_sdf(path))
    assert len(idx) == len(expected)
    assert list(idx) == expected
    # Single reads of every block of a small file, of some of a large one.
    sample = sorted(random.Random(0).sample(range(len(expected)), min(len(expected), 200)))
    assert [idx[i - len(expected)] for i in sample] == [expected[i] for i in sample]
    picks = [i % len(expected) for i in (2, 0, -1, 2)] if expected else []
    assert idx[1::2] == expected[1::2] and idx.take(picks) == [expected[i] for i in picks]
    spans = [idx.span(i) for i in range(len(expected))]
    assert [start for start, _ in spans] + [len(data)] == list(accumulate((n for _, n in spans), initial=0))
    text = isinstance(path, str)
    for i in sample:
        piece = data[spans[i][0] : sum(spans[i])]
        assert list(SDBlock.from_sdf(piece.decode() if text else piece)) == [expected[i]]
    if key is None:
        with pytest.raises(TypeError, match="no keys"):
            idx.get("x" if text else b"x")
        return
    by_key = {}
    for i, block in enumerate(expected):
        if (found := key_of(block, key)) is not None:
            by_key.setdefault(found, []).append(i)
    assert idx.keys() == list(by_key)
    for k in [*list(by_key)[:200], "missing" if text else b"missing"]:
        ordinals = by_key.get(k, [])
        assert idx.ordinals(k) == ordinals
        assert idx.get_all(k) == [expected[i] for i in ordinals]
        assert idx.get(k, "none") == (expected[ordinals[0]] if ordinals else "none")
        assert (k in idx) == bool(ordinals)


def check_file(directory, data, key, bgzf_members=None):
    """Index the file as written and as read back from its sidecar, by str
    and bytes path in turn (a file with a lone CR splits differently)."""
    path = directory / ("data.sdf.gz" if bgzf_members else "data.sdf")
    if bgzf_members:
        write_bgzf(path, data, bgzf_members)
    else:
        path.write_bytes(data)
    for as_path in (str, os.fsencode):
        target = as_path(path)
        try:
            [key_of(block, key) for block in parse_sdf(target)] if key else None
        except MalformedRecordError:
            with pytest.raises(MalformedRecordError):
                index(target, key, sidecar=False)
            continue
        for sidecar in (False, True, True):
            with index(target, key, sidecar=sidecar) as idx:
                check_index(idx, target, data, key)


@settings(max_examples=100, deadline=None)
@given(data=sd_files, key=st.sampled_from(KEYS), members=st.sampled_from([None, 3, 64]))
def test_index_equals_reading_through(tmp_path_factory, data, key, members):
    check_file(tmp_path_factory.mktemp("index"), data, key, members)


@pytest.mark.parametrize("path", corpus_params())
def test_corpus_files(tmp_path, path):
    data = path.read_bytes()
    check_file(tmp_path, data, "title")
    check_file(tmp_path, data, "title", bgzf_members=0xFF00)


def numbered_file(blocks, pad=900):
    """Blocks of about a kilobyte, each with an ID record."""
    return b"".join(b"mol%d\n%s\nM  END\n> <ID>\nID%d\n\n$$$$\n" % (i, b"x" * pad, i) for i in range(blocks))


def same_size_edit(data, at):
    """The ID record after `at` one byte longer and the next one shorter."""
    first = data.index(b"> <ID>\nID", at) + 7
    second = data.index(b"> <ID>\nID", first) + 7
    data = data[:first] + b"X" + data[first:]
    return data[: second + 1] + data[second + 2 :]


def restore_time(path, before):
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))


# Each change leaves the index answering right.
CHANGES = {
    "touch": lambda p, d: os.utime(p, ns=(1, p.stat().st_mtime_ns + 10**9)),
    "append a block": lambda p, d: p.write_bytes(d + b"new\n\n\nM  END\n> <ID>\nNEW\n\n$$$$\n"),
    "append half a block": lambda p, d: p.write_bytes(d + b"new\n\n\nM  END\n> <ID>\nNE"),
    "truncate": lambda p, d: p.write_bytes(d[: len(d) // 2 + 7]),
    "edit the first 64 KiB, time restored": lambda p, d: (s := p.stat(), p.write_bytes(same_size_edit(d, 0)), restore_time(p, s)),
    "edit the last 64 KiB, time restored": lambda p, d: (s := p.stat(), p.write_bytes(same_size_edit(d, len(d) - 5000)), restore_time(p, s)),
    "edit the middle": lambda p, d: p.write_bytes(same_size_edit(d, len(d) // 2)),
    "another file of the same size": lambda p, d: p.write_bytes(numbered_file(len(d) // 1000, pad=len(d) // (len(d) // 1000) - 40).ljust(len(d), b"\n")[: len(d)]),
    "damaged sidecar": lambda p, d: (m := p.with_suffix(".sdf.mbi"), m.write_bytes(m.read_bytes()[:200] + b"\xff" + m.read_bytes()[201:])),
    "truncated sidecar": lambda p, d: (m := p.with_suffix(".sdf.mbi"), m.write_bytes(m.read_bytes()[:-9])),
    "foreign sidecar": lambda p, d: p.with_suffix(".sdf.mbi").write_bytes(os.urandom(4096)),
    "sidecar of another version": lambda p, d: (m := p.with_suffix(".sdf.mbi"), m.write_bytes(m.read_bytes()[:8] + b"\x02" + m.read_bytes()[9:])),
}


@pytest.mark.parametrize("change", CHANGES)
@pytest.mark.parametrize("bgzf", [False, True], ids=["plain", "bgzf"])
def test_changed_files_and_sidecars(tmp_path, change, bgzf):
    path = tmp_path / "data.sdf"
    data = numbered_file(300)
    path.write_bytes(data)
    index_sdf(path, key="ID").close()
    CHANGES[change](path, data)
    if bgzf:  # the same changes, made to the decompressed data
        plain = path.read_bytes()
        stat = path.stat()
        write_bgzf(path, plain, 0xFF00)
        if "time restored" in change:
            restore_time(path, stat)
    with index_sdf(path, key="ID") as idx:
        check_index(idx, str(path), gzip.decompress(path.read_bytes()) if bgzf else path.read_bytes(), "ID")


def test_appending_scans_only_the_appended_bytes(tmp_path):
    # A same-size edit in the middle, its time restored, is the one change
    # an index cannot see; appending then keeps the old key of that block,
    # which a rescan of the whole file would have dropped.
    path = tmp_path / "data.sdf"
    data = numbered_file(300)
    path.write_bytes(data)
    index_sdf(path, key="ID").close()
    before = path.stat()
    path.write_bytes(data.replace(b"ID150\n", b"ID999\n"))
    restore_time(path, before)
    with open(path, "ab") as out:
        out.write(b"new\n\n\nM  END\n> <ID>\nNEW\n\n$$$$\n")
    with index_sdf(path, key="ID") as idx:
        assert idx.ordinals("ID150") == [150] and "ID999" not in idx
        assert idx.get("NEW") == list(parse_sdf(str(path)))[-1]


def test_an_unwritable_sidecar_warns_and_serves_from_memory(tmp_path):
    path = tmp_path / "data.sdf"
    path.write_bytes(numbered_file(3))
    with pytest.warns(RuntimeWarning, match="held in memory"):
        idx = index_sdf(path, key="ID", sidecar=tmp_path / "data.sdf" / "no" / "index.mbi")
    assert idx.get("ID2") == list(parse_sdf(str(path)))[2]


@pytest.mark.parametrize("content, message", [
    (gzip.compress(b"t\n$$$$\n"), "plain gzip.*molbrook cat FILE -o OUT.sdf.gz"),
    (b"BZh91AY&SY" + bytes(40), "bzip2-compressed"),
])
def test_files_that_cannot_be_read_at_offsets(tmp_path, content, message):
    path = tmp_path / "data.sdf.gz"
    path.write_bytes(content)
    with pytest.raises(ValueError, match=message):
        index_sdf(path)
    with pytest.raises(ValueError, match="directory"):
        index_sdf(tmp_path)


@posix_only
def test_a_pipe_is_refused(tmp_path):
    with fifo_with(tmp_path, b"t\n$$$$\n") as fifo, pytest.raises(ValueError, match="not a regular file"):
        index_sdf(fifo)


def test_index_arguments_and_closing(tmp_path):
    path = tmp_path / "data.sdf"
    path.write_bytes(numbered_file(4))
    with pytest.raises(ValueError, match="not both"), pytest.warns(DeprecationWarning):
        index_sdf(path, key="ID", on_title=True)
    idx = index_sdf(os.fsencode(path), key=b"ID")
    with pytest.raises(TypeError, match="must be bytes"):
        idx.get("ID1")
    with pytest.raises(IndexError):
        idx[4]
    starts = [idx.span(i)[0] for i in range(4)] + [path.stat().st_size]
    assert idx.ranges(3) == list(zip(starts[:2] + starts[3:4], starts[2:]))[:0] + [(0, starts[2]), (starts[2], starts[3]), (starts[3], starts[4])]
    with idx:
        pass
    with pytest.raises(ValueError, match="closed"):
        len(idx)


@given(cuts=st.integers(1, 40))
@settings(max_examples=20, deadline=None)
def test_ranges_cover_the_file_on_block_starts(tmp_path_factory, cuts):
    path = tmp_path_factory.mktemp("ranges") / "data.sdf"
    path.write_bytes(numbered_file(37, pad=random.randrange(2000)))
    with index_sdf(path, sidecar=False) as idx:
        ranges = idx.ranges(cuts)
        starts = {idx.span(i)[0] for i in range(len(idx))}
        assert len(ranges) <= cuts and all(start in starts for start, _ in ranges)
        assert [b for span in ranges for b in parse_sdf_range(str(path), *span)] == list(idx)


def test_bgzf_reads_alike_everywhere(tmp_path):
    data = numbered_file(200) + b"\xe9t\xe9\r\n$$$$"
    path = tmp_path / "data.sdf.gz"
    from molbrook import merge_records  # written through the same writer as every .gz output

    write_bgzf(path, data, 0xFF00)
    Bio = pytest.importorskip("Bio.bgzf")
    with Bio.BgzfReader(str(path), "rb") as reader:
        assert reader.read(len(data) + 1) == data
    assert gzip.decompress(path.read_bytes()) == data
    if shutil.which("gzip"):
        assert subprocess.run(["gzip", "-dc", str(path)], capture_output=True, check=True).stdout == data
    with index_sdf(path, sidecar=False) as idx:
        assert idx.ranges(4) and list(idx) == list(parse_sdf(str(path)))
    del merge_records


def test_threads_share_an_index(tmp_path):
    path = tmp_path / "data.sdf"
    path.write_bytes(numbered_file(500, pad=200))
    expected = list(parse_sdf(str(path)))
    failures = []
    with index_sdf(path, key="ID") as idx:
        def read(seed):
            rng = random.Random(seed)
            for _ in range(300):
                i = rng.randrange(len(expected))
                if idx[i] != expected[i] or idx.get(f"ID{i}") != expected[i]:
                    failures.append(i)

        threads = [threading.Thread(target=read, args=(seed,)) for seed in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    assert failures == []


def test_bgzf_padding_after_the_end_reads_as_the_readers_read_it(tmp_path):
    path = tmp_path / "data.sdf.gz"
    write_bgzf(path, numbered_file(40), 0xFF00)
    with open(path, "ab") as out:
        out.write(bytes(700))
    with index_sdf(path, key="ID", sidecar=False) as idx:
        assert list(idx) == list(parse_sdf(str(path)))
    end = path.stat().st_size
    with open(path, "ab") as out:
        out.write(b"x")
    with pytest.raises(ValueError, match=f"not a BGZF member at offset {end}"):
        index_sdf(path, sidecar=False)


# Python, run in a folder holding lib.sdf.gz (BGZF, indexed by key, its
# sidecar kept) and the functions above, printing what it finds.
SETUP = """
    import os, sys
    from molbrook import index_sdf, parse_sdf
    sys.path.insert(0, {tests!r})
    from test_index import numbered_file, write_bgzf
    write_bgzf("lib.sdf.gz", numbered_file(300), 0xFF00)
    index_sdf("lib.sdf.gz", key="ID").close()
"""
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(
    os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p))

# What reading gives when a file grows or shrinks under an index or a
# reader: a mapping of a file that shrinks kills the process with SIGBUS,
# so only the plain reader maps the data (as the README says).
FILES_CHANGED = {
    "BGZF members appended after indexing": ("""
        write_bgzf("more.sdf.gz", numbered_file(400)[len(numbered_file(300)):], 0xFF00)
        with open("lib.sdf.gz", "ab") as out:
            out.write(open("more.sdf.gz", "rb").read())
        for _ in range(2):  # extending, then reusing the extended sidecar
            with index_sdf("lib.sdf.gz", key="ID") as idx:
                print(len(idx), list(idx) == list(parse_sdf("lib.sdf.gz")), idx.get("ID399") == idx[-1])
    """, 0, "400 True True\n400 True True\n"),
    "the sidecar truncated under an open index": ("""
        with index_sdf("lib.sdf.gz", key="ID") as idx:
            os.truncate("lib.sdf.gz.mbi", 0)
            print(idx[-1].title, idx.get("ID7").title)
    """, 0, "mol299 mol7\n"),
    "the data truncated under an open index": ("""
        with index_sdf("lib.sdf.gz", key="ID") as idx:
            os.truncate("lib.sdf.gz", os.path.getsize("lib.sdf.gz") // 2)
            try:
                idx[-1]
            except ValueError as error:
                print(error)
    """, 0, "'lib.sdf.gz' changed since it was indexed: index it again\n"),
    "the data truncated under parse_sdf": ("""
        open("lib.sdf", "wb").write(numbered_file(3000))
        blocks = parse_sdf("lib.sdf")
        next(blocks)
        os.truncate("lib.sdf", 4096)
        print(sum(1 for _ in blocks))
    """, -signal.SIGBUS, ""),
}


@posix_only
@pytest.mark.parametrize("change", FILES_CHANGED)
def test_files_changed_under_readers(tmp_path, change):
    code, status, output = FILES_CHANGED[change]
    if status < 0 and UNDER_ASAN:
        pytest.skip("the sanitizer reports the signal instead of dying of it")
    script = textwrap.dedent(SETUP.format(tests=os.path.dirname(__file__))) + textwrap.dedent(code)
    done = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, env=ENV, capture_output=True, text=True,
                          timeout=120, check=False)
    assert (done.returncode, done.stdout) == (status, output), done.stderr


# Sidecars that must be neither read nor replaced.
ODD_SIDECARS = {
    "a named pipe": (lambda data, sidecar: os.mkfifo(sidecar), "not a regular file"),
    "a symbolic link to the data": (lambda data, sidecar: os.symlink(data.name, sidecar), "the data file itself"),
    "a hard link to the data": (lambda data, sidecar: os.link(data, sidecar), "the data file itself"),
}


@posix_only
@pytest.mark.parametrize("odd", ODD_SIDECARS)
def test_odd_sidecars_are_left_alone(tmp_path, odd):
    make, reason = ODD_SIDECARS[odd]
    data = tmp_path / "lib.sdf"
    data.write_bytes(numbered_file(5))
    make(data, tmp_path / "lib.sdf.mbi")
    before = os.lstat(tmp_path / "lib.sdf.mbi")
    done = subprocess.run([sys.executable, "-m", "molbrook", "index", "lib.sdf"], cwd=tmp_path, env=ENV,
                          capture_output=True, text=True, timeout=60, check=False)
    assert (done.returncode, done.stdout) == (0, "lib.sdf: 5 blocks\n")
    assert f"(it is {reason}); it is held in memory only" in done.stderr
    assert data.read_bytes() == numbered_file(5)
    after = os.lstat(tmp_path / "lib.sdf.mbi")
    assert (after.st_ino, after.st_mode) == (before.st_ino, before.st_mode)


def test_closing_waits_for_reads_on_other_threads(tmp_path):
    path = tmp_path / "data.sdf.gz"
    write_bgzf(path, numbered_file(300), 0xFF00)  # reads that run Python code, inflating
    idx = index_sdf(path, sidecar=False)
    reading, errors = threading.Event(), []

    def read():
        # Reads until the close refuses one: stopping at a flag set after
        # close() returned could end the loop before its next read.
        deadline = time.monotonic() + 60
        try:
            while time.monotonic() < deadline:
                reading.set()
                idx[:]
        except ValueError as error:
            errors.append(str(error))

    reader = threading.Thread(target=read)
    reader.start()
    reading.wait()
    try:
        idx.close()
    finally:
        reader.join()
    assert errors == ["I/O operation on a closed SDIndex"]
    # Code that a read runs cannot wait for that read to end.
    idx = index_sdf(path, sidecar=False)
    with pytest.raises(RuntimeError, match="reentrant call inside <molbrook.native.SDIndex"):
        idx.take(idx.close() for _ in range(1))
    assert len(idx[:3]) == 3
