"""Paths read through a mapping: which files are mapped, batches, borrowed
and copied blocks, their lifetime and page release."""

import gc
import os

import pytest
from conftest import posix_only

from molbrook import _testcore
from molbrook.native import SDBlock, parse_sdf

MiB = 1 << 20


def batches(path, universal=False, borrow=False):
    return _testcore.mapped_batches(os.fsencode(path), universal, borrow)


@posix_only
def test_which_files_are_mapped(tmp_path):
    (tmp_path / "empty.sdf").write_bytes(b"")
    (tmp_path / "one.sdf").write_bytes(b"t\n$$$$\n")
    os.mkfifo(tmp_path / "pipe")
    assert batches(tmp_path / "one.sdf") == [([(b"t\n$$$$\n", 2, False)], 0)]
    assert batches(tmp_path / "empty.sdf") is None
    assert batches("/dev/null") is None
    pipe = os.open(tmp_path / "pipe", os.O_RDWR)  # so that opening it does not wait
    try:
        assert batches(tmp_path / "pipe") is None
    finally:
        os.close(pipe)


@pytest.mark.parametrize("data, universal, blocks", [
    # Bare $$$$ lines are borrowed, in either line-ending style.
    (b"a\n$$$$\nb\r\n$$$$\r\n$$$$\n", False,
     [(b"a\n$$$$\n", 2, True), (b"b\r\n$$$$\r\n", 3, True), (b"$$$$\n", 0, True)]),
    # Trailing text, a missing $$$$ line or line ending: copied, completed.
    (b"a\n$$$$ x\nb\n$$$$\nc\n$$$$", False,
     [(b"a\n$$$$\n", 2, False), (b"b\n$$$$\n", 2, True), (b"c\n$$$$\n", 2, False)]),
    (b"a\n$$$$\nrest\n", False, [(b"a\n$$$$\n", 2, True), (b"rest\n$$$$\n", 5, False)]),
    (b"a\n$$$$\n\n", False, [(b"a\n$$$$\n", 2, True), (b"\n$$$$\n", 1, False)]),
    # A text path translates: a block holding any CR is copied.
    (b"a\r\n$$$$\r\nb\n$$$$\nc\rd\r$$$$\r", True,
     [(b"a\n$$$$\n", 2, False), (b"b\n$$$$\n", 2, True), (b"c\nd\n$$$$\n", 2, False)]),
    (b"a\n$$$$ x\r\n$$$$\r", True, [(b"a\n$$$$\n", 2, False), (b"$$$$\n", 0, False)]),
    # A CR starts a line only for text paths.
    (b"a\nb\r$$$$\n", False, [(b"a\nb\r$$$$\n$$$$\n", 2, False)]),
    (b"a\nb\r$$$$\n", True, [(b"a\nb\n$$$$\n", 2, False)]),
])
def test_borrowed_and_copied_blocks(tmp_path, data, universal, blocks):
    path = tmp_path / "input.sdf"
    path.write_bytes(data)
    ((found, _),) = batches(path, universal, borrow=True)
    assert found == blocks
    ((copied, _),) = batches(path, universal, borrow=False)
    assert copied == [(data, title_end, False) for data, title_end, _ in blocks]


@pytest.mark.parametrize("end", ["close", "free the iterator", "unlink the file"])
def test_borrowed_blocks_outlive(tmp_path, end):
    path = tmp_path / "two.sdf"
    path.write_bytes(b"a\n$$$$\nb\n$$$$\n")
    blocks = parse_sdf(os.fsencode(path), borrow=True)
    first = next(blocks)
    if end == "close":
        blocks.close()
    elif end == "free the iterator":
        del blocks
        gc.collect()
    else:
        os.unlink(path)
    assert first == SDBlock(b"a\n$$$$\n")


def test_pages_are_released_behind_the_reading_position(tmp_path):
    block = b"t\n" + b"x" * 4090 + b"\n$$$$\n"  # 4 KiB
    path = tmp_path / "large.sdf"
    path.write_bytes(block * 1024)  # 4 MiB
    found = batches(path, borrow=True)
    released = [point for _, point in found]
    assert released == sorted(released)
    assert all(point % 65536 == 0 for point in released)
    offsets = [len(block) * sum(len(b) for b, _ in found[: i + 1]) for i in range(len(found))]
    assert all(point <= max(0, offset - MiB) for point, offset in zip(released, offsets))
    assert released[-1] >= 2 * MiB
    assert all(data == block for blocks, _ in found for data, _, _ in blocks)
    # Borrowed blocks read released pages back from the file.
    assert all(bytes(b) == block for b in parse_sdf(os.fsencode(path), borrow=True))

