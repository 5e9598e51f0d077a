"""Several threads on one iterator, one block, one writer; reading a mapped
file while other threads allocate and edit; objects freed on another
thread. The only errors allowed are the documented RuntimeErrors (and
BufferError while a view is alive); no crash, no block lost, duplicated
or corrupted."""

import collections
import copy
import gc
import io
import os
import pickle
import sys
import threading

import pytest

import sdf_reference as ref
from molbrook.native import SDBlock, parse_sdf, sdf_writer

BORROWED = "Already borrowed"
MUTABLY_BORROWED = "Already mutably borrowed"
CHANGED = "SDBlock records changed during iteration"


@pytest.fixture(autouse=True)
def frequent_switches():
    """Threads switch as often as the interpreter allows."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def run_threads(count, target):
    """Runs `target(index)` on `count` threads; re-raises the first error."""
    errors = []

    def guarded(index):
        try:
            target(index)
        except BaseException as error:  # reported on the main thread
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        raise errors[0]


def sdf_file(tmp_path, blocks=3000):
    """A file of numbered blocks, several mapped batches long."""
    data = b"".join(b"block %d\n  prog\n\nM  END\n> <N>\n%d\n\n> <PAD>\n%s\n\n$$$$\n" % (i, i, b"p" * (i % 300))
                    for i in range(blocks))
    path = tmp_path / "many.sdf"
    path.write_bytes(data)
    return path, [block for block, _ in ref.split(data)]


def allowed(error, *messages):
    """`error` is a RuntimeError whose message starts with one of `messages`."""
    assert isinstance(error, RuntimeError) and str(error).startswith(messages), repr(error)


SOURCES = {
    "mapped": lambda path: parse_sdf(os.fsencode(path), borrow=True),
    "file object": lambda path: parse_sdf(open(path, "rb")),
    "text path": lambda path: parse_sdf(str(path)),
}


@pytest.mark.parametrize("source", SOURCES)
def test_threads_sharing_one_iterator(tmp_path, source):
    path, expected = sdf_file(tmp_path)
    blocks = SOURCES[source](path)
    taken = [[] for _ in range(4)]

    def take(index):
        while True:
            try:
                block = next(blocks)
            except StopIteration:
                return
            except RuntimeError as error:
                allowed(error, BORROWED)
                continue
            taken[index].append(block)

    run_threads(4, take)
    got = [block.__reduce__()[1][0] for mine in taken for block in mine]
    assert sorted(got) == sorted(expected)  # each block once, whole
    for mine in taken:  # and each thread saw them in file order
        numbers = [int(block.get("N" if source == "text path" else b"N")) for block in mine]
        assert numbers == sorted(numbers)


def test_threads_sharing_one_block():
    block = SDBlock(b"t\nM  END\n> <A>\n1\n\n$$$$\n")

    def refused(error):
        if isinstance(error, BufferError):
            assert str(error) == "Existing exports of data: SDBlock cannot be edited"
        else:
            allowed(error, BORROWED, MUTABLY_BORROWED, CHANGED)

    def work(index):
        name = b"T%d" % index
        for step in range(300):
            try:
                if index == 0:
                    for name_read, value in block.iter_records():
                        assert name_read.startswith((b"A", b"T")) and value
                elif index == 1:
                    block.title = b"title %d" % step
                    assert block.title.startswith(b"title") and block.get(b"A") is not None
                elif index == 2:
                    assert pickle.loads(pickle.dumps(block)) is not None
                    assert bytes(block).endswith(b"$$$$\n") and len(block) >= 1
                elif index == 3:
                    with memoryview(block) as view:
                        assert bytes(view).endswith(b"$$$$\n")
                else:
                    block.append_record(name, b"%d" % step)
                    block[name] = b"set"
                    block.remove_record(name)
            except (BufferError, RuntimeError) as error:
                refused(error)
        # A refused removal left the record: it goes once nothing holds the block.
        while index >= 4:
            try:
                block.remove_record(name)
                return
            except (BufferError, RuntimeError) as error:
                refused(error)

    run_threads(6, work)
    assert block.records() == [(b"A", b"1")]
    assert pickle.loads(pickle.dumps(block)) == block


@pytest.mark.parametrize("to_path", [True, False], ids=["path", "file object"])
def test_threads_sharing_one_writer(tmp_path, to_path):
    out = tmp_path / "out.sdf"
    stream = io.BytesIO()
    writer = sdf_writer(out if to_path else stream)
    # Large blocks, so that writes flush often (with the interpreter lock
    # released, for a path).
    blocks = [SDBlock(b"w%d\n%s\n> <N>\n%d\n\n$$$$\n" % (i, b"x" * 90000, i)) for i in range(40)]

    def write(index):
        for block in blocks[index::4]:
            while True:
                try:
                    writer.write(block)
                    break
                except RuntimeError as error:
                    allowed(error, BORROWED)

    run_threads(4, write)
    writer.close()
    data = out.read_bytes() if to_path else stream.getvalue()
    assert sorted(block for block, _ in ref.split(data)) == sorted(bytes(b) for b in blocks)


def test_reading_a_mapped_file_while_others_allocate_and_edit(tmp_path):
    path, expected = sdf_file(tmp_path, blocks=6000)
    handed = collections.deque()
    done = threading.Event()

    def read(_):
        try:
            for number, block in enumerate(parse_sdf(os.fsencode(path), borrow=True)):
                assert bytes(block) == expected[number]
                handed.append(block)
        finally:
            done.set()

    def edit(index):
        while not done.is_set() or handed:
            own = SDBlock(b"own %d\nM  END\n$$$$\n" % index)
            own.append_record(b"K", b"v" * 100)
            assert copy.copy(own) == own
            try:
                block = handed.popleft()
            except IndexError:
                continue
            number = int(block[b"N"])
            block[b"N"] = b"edited"  # copies a borrowed block out of the mapping
            assert block.title == b"block %d" % number and block[b"N"] == b"edited"

    run_threads(3, lambda index: read(index) if index == 0 else edit(index))


def test_iterators_and_writers_freed_on_another_thread(tmp_path):
    path, expected = sdf_file(tmp_path)
    fds = len(os.listdir("/proc/self/fd")) if os.path.isdir("/proc/self/fd") else None
    stream = io.BytesIO()
    out = tmp_path / "out.sdf"
    iterators = [parse_sdf(os.fsencode(path), borrow=True), parse_sdf(open(path, "rb")), parse_sdf(str(path)),
                 SDBlock.from_sdf(path.read_bytes())]
    kept = [next(blocks) for blocks in iterators]  # each iterator is open, mid-file
    writers = [sdf_writer(out), sdf_writer(stream)]
    for block in kept:
        writers[0].write(block)
        if isinstance(block.title, bytes):  # a file object takes one kind
            writers[1].write(block)

    def drop(_):
        objects = iterators + writers
        iterators.clear()
        writers.clear()
        del objects
        gc.collect()

    run_threads(1, drop)
    assert [block.__reduce__()[1][0] for block in kept] == [expected[0]] * 4
    assert out.read_bytes() == expected[0] * 4 and stream.getvalue() == expected[0] * 3
    if fds is not None:
        assert len(os.listdir("/proc/self/fd")) <= fds

