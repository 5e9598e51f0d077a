"""Every shared object at once, for a bounded time: threads sharing one
iterator, one block being edited and read, one writer, one index, one
TableScan and sorts. Without the interpreter lock (PYTHON_GIL=0 on a
free-threaded build) the threads run truly at once; with it they switch
as often as it allows. No crash, no block lost or duplicated, and only
the documented RuntimeErrors of a borrow conflict."""

import os
import subprocess
import sys
import sysconfig
import threading
import time

import pytest

import sdf_reference as ref
from molbrook import TITLE, index_sdf, parse_sdf, scan_table, sort_sdf
from molbrook import _testcore
from molbrook.native import SDBlock, parse_sdf_range, sdf_writer

# The refusals of an object in use elsewhere (each message goes on to name the object).
BORROW_CONFLICTS = ("Already borrowed: ", "Already mutably borrowed: ", "SDBlock records changed during iteration")
WITHOUT_GIL = not getattr(sys, "_is_gil_enabled", lambda: True)()


def seconds(request):
    """About 10 s without the interpreter lock, a cheap run with it; the
    slow tier runs a minute."""
    if request.node.get_closest_marker("slow"):
        return 60.0
    return 10.0 if WITHOUT_GIL else 2.0


def conflict(error):
    return isinstance(error, RuntimeError) and str(error).startswith(BORROW_CONFLICTS)


def sdf_file(tmp_path, blocks):
    data = b"".join(b"block %05d\n  prog\n\nM  END\n> <N>\n%d\n\n> <PAD>\n%s\n\n$$$$\n" % (i, i, b"p" * (i % 97))
                    for i in range(blocks))
    path = tmp_path / "many.sdf"
    path.write_bytes(data)
    return path, [block for block, _ in ref.split(data)]


def retried(call):
    """The call's result, retried while a borrow conflicts."""
    while True:
        try:
            return call()
        except RuntimeError as error:
            if not conflict(error):
                raise


class Stress:
    """Runs actors on threads until a deadline; keeps the first failure."""

    def __init__(self, duration):
        self.deadline = time.monotonic() + duration
        self.failures = []
        self.threads = []

    def running(self):
        return time.monotonic() < self.deadline and not self.failures

    def start(self, actor, *args):
        def guarded():
            try:
                actor(*args)
            except BaseException as error:  # reported on the main thread
                self.failures.append(error)

        thread = threading.Thread(target=guarded)
        self.threads.append(thread)
        thread.start()

    def join(self):
        for thread in self.threads:
            thread.join()
        if self.failures:
            raise self.failures[0]


def shared_iterators(stress, path, expected, takers):
    """Rounds of `takers` threads draining one iterator: each block once."""
    while stress.running():
        blocks = parse_sdf(os.fsencode(path), borrow=True)
        taken = [[] for _ in range(takers)]

        def take(mine):
            while True:
                try:
                    mine.append(bytes(next(blocks)))
                except StopIteration:
                    return
                except RuntimeError as error:
                    assert conflict(error), error

        threads = [threading.Thread(target=take, args=(mine,)) for mine in taken]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert sorted(block for mine in taken for block in mine) == expected
        for mine in taken:  # each thread sees the file's order
            assert mine == sorted(mine)


def edit_block(stress, block):
    step = 0
    while stress.running():
        step += 1
        try:
            block.title = b"title %d" % step
            block[b"S"] = b"%d" % step
            block.append_record(b"T", b"t")
            block.remove_record(b"T")
        except RuntimeError as error:
            assert conflict(error), error


def read_block(stress, block):
    while stress.running():
        try:
            data = bytes(block)
            assert data.startswith(b"title") and data.endswith(b"$$$$\n")
            assert block.get(b"A") == b"1" and block[b"S"].isdigit()
            assert [name for name, _ in block.iter_records()][:2] == [b"A", b"S"]
        except RuntimeError as error:
            assert conflict(error), error


def write_blocks(stress, writer, blocks, written):
    for block in blocks:
        if not stress.running():
            return
        retried(lambda: writer.write(block))
        written.append(bytes(block))


def read_index(stress, index, path, expected):
    known = set(expected)
    step = 0
    while stress.running():
        step += 1
        ordinal = step * 7919 % len(expected)
        assert bytes(index[ordinal]) == expected[ordinal]
        assert bytes(index.get(b"block %05d" % ordinal)) == expected[ordinal]
        start, end = index.ranges(2)[step % 2]
        assert bytes(next(parse_sdf_range(path, start, end, borrow=True))) in known


def share_scan(stress, scan, rows):
    while stress.running():
        try:
            batch = next(scan)
        except StopIteration:
            return
        except RuntimeError as error:
            assert conflict(error), error
            continue
        rows.extend(batch.to_pydict()["N"])


def sort_repeatedly(stress, path, tmp_path, expected):
    dest = tmp_path / f"sorted-{threading.get_ident()}.sdf"
    while stress.running():
        sort_sdf(os.fsencode(path), dest, by=[b"N"])
        assert sorted(block for block, _ in ref.split(dest.read_bytes())) == expected


@pytest.mark.parametrize("tier", [pytest.param("everyday"), pytest.param("slow", marks=pytest.mark.slow)])
def test_shared_objects_under_threads(tmp_path, request, tier):
    path, expected = sdf_file(tmp_path, blocks=4000)
    expected = sorted(expected)
    stress = Stress(seconds(request))
    if not WITHOUT_GIL:
        interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)
        request.addfinalizer(lambda: sys.setswitchinterval(interval))

    block = SDBlock(b"title 0\nM  END\n> <A>\n1\n\n> <S>\n0\n\n$$$$\n")
    out = tmp_path / "out.sdf"
    writer = sdf_writer(out)
    written = [[], []]
    index = index_sdf(os.fsencode(path), key=TITLE, sidecar=False)
    scan = scan_table(path, ["N"], workers=2, batch_rows=50)
    rows = []

    stress.start(shared_iterators, stress, path, expected, 6)
    stress.start(edit_block, stress, block)
    stress.start(read_block, stress, block)
    for half, mine in enumerate(written):
        stress.start(write_blocks, stress, writer, [SDBlock(data) for data in expected[half::2]] * 4, mine)
    for _ in range(2):
        stress.start(read_index, stress, index, os.fsencode(path), expected)
    stress.start(share_scan, stress, scan, rows)
    stress.start(share_scan, stress, scan, rows)
    stress.start(sort_repeatedly, stress, path, tmp_path, expected)
    stress.join()

    writer.close()
    assert sorted(block for block, _ in ref.split(out.read_bytes())) == sorted(written[0] + written[1])
    assert len(rows) == len(set(rows))  # no batch handed out twice
    if len(rows) < len(expected):  # the deadline came first: what was read is a prefix in each thread's order
        assert set(rows) <= {str(i) for i in range(len(expected))}
    else:
        assert sorted(rows, key=int) == [str(i) for i in range(len(expected))]


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded CPython")
def test_importing_molbrook_leaves_the_gil_off():
    # Left to the interpreter (PYTHON_GIL=0 would hide it): a module not
    # declaring itself safe without the lock turns it on, with a warning.
    script = ("import importlib.util, sys\nimport molbrook, molbrook.native\n"
              f"spec = importlib.util.spec_from_file_location('molbrook._testcore', {_testcore.__file__!r})\n"
              "spec.loader.exec_module(importlib.util.module_from_spec(spec))\nprint(sys._is_gil_enabled())")
    env = {name: value for name, value in os.environ.items() if name != "PYTHON_GIL"}
    done = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c", script], env=env,
                          capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout, done.stderr) == (0, "False\n", "")
