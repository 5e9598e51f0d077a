"""Outputs made whole or not at all, by the command and the library alike:
on a full disk, past the file size limit, on signals, and over links, pipes
and devices."""

from __future__ import annotations

import bz2
import contextlib
import errno
import gzip
import lzma
import os
import signal
import stat
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from conftest import posix_only
from molbrook import merge_records

pytestmark = posix_only

ENV = dict(os.environ, PYTHONDONTWRITEBYTECODE="1", PYTHONPATH=os.pathsep.join(
    os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p))
# About 200 KB that compresses to about half: every output outgrows the limits.
DATA = "".join(f"m{i}\n\n\nM  END\n> <V>\n{os.urandom(48).hex()}\n\n$$$$\n" for i in range(1500)).encode()
COMPRESS = {".sdf": bytes, ".sdf.gz": gzip.compress, ".sdf.bz2": bz2.compress, ".sdf.xz": lzma.compress,
            ".sdf.zst": lambda data: pytest.importorskip("zstandard").compress(data)}
CLI = [sys.executable, "-m", "molbrook"]
LIBRARY = [sys.executable, "-c"]
# Each case: its command, given the input and the output path, and the
# input's kind; "-i" rewrites the input itself.
CASES = {
    **{f"-o {kind}": (lambda i, o: [*CLI, "set", "A=1", i, "-o", o], ".sdf", kind) for kind in COMPRESS},
    **{f"-o {kind}": (lambda i, o: [*CLI, "cut", "-f", "V", i, "-o", o], ".sdf", kind)
       for kind in (".csv", ".tsv", ".jsonl", ".parquet")},
    **{f"-i {kind}": (lambda i, o: [*CLI, "set", "A=1", i, "-i"], kind, None) for kind in COMPRESS},
    "merge_records": (lambda i, o: [*LIBRARY, f"import molbrook; molbrook.merge_records({i!r}, "
                                              f"{{'ID': ['m1'], 'X': [1]}}, {o!r}, key='ID', on_title=True)"],
                      ".sdf", ".sdf"),
    "write_sdf": (lambda i, o: [*LIBRARY, f"import molbrook; molbrook.write_sdf({o!r}, molbrook.parse_sdf({i!r}))"],
                  ".sdf", ".sdf"),
    "sdf_writer": (lambda i, o: [*LIBRARY, f"import molbrook\nwith molbrook.sdf_writer({o!r}) as w:\n"
                                           f"    for b in molbrook.parse_sdf({i!r}): w.write(b)"], ".sdf", ".sdf"),
}


def file_size_limit():
    import resource

    resource.setrlimit(resource.RLIMIT_FSIZE, (48 << 10, 48 << 10))
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)


@contextlib.contextmanager
def nearly_full_disk(folder: Path):
    """A 1 MiB tmpfs at `folder`; `fill()` leaves 16 KiB of it free."""
    folder.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", folder], capture_output=True).returncode:
        pytest.skip("mounting a tmpfs is not permitted here")

    def fill():
        with open(folder / "filler", "wb", buffering=0) as filler, contextlib.suppress(OSError):
            while filler.write(b"\0" * 4096):
                pass
        os.truncate(folder / "filler", os.path.getsize(folder / "filler") - (16 << 10))
    try:
        yield fill
    finally:
        subprocess.run(["umount", folder], check=True)


@pytest.mark.parametrize("limit", ["file size", "full disk"])
@pytest.mark.parametrize("case", CASES)
def test_outputs_fail_whole_and_name_the_users_path(tmp_path, case, limit):
    command, kind, out_kind = CASES[case]
    with contextlib.ExitStack() as stack:
        folder = tmp_path / "disk"
        fill = stack.enter_context(nearly_full_disk(folder)) if limit == "full disk" else None
        folder.mkdir(exist_ok=True)
        source = folder / f"in{kind}"
        source.write_bytes(COMPRESS[kind](DATA))
        dest = folder / f"out{out_kind}" if out_kind else source
        if out_kind:
            dest.write_bytes(b"old\n")
        before = {path.name: path.read_bytes() for path in folder.iterdir()}
        if fill:
            fill()
        done = subprocess.run(command(str(source), str(dest)), env=ENV, capture_output=True,
                              preexec_fn=None if fill else file_size_limit)
        code = errno.ENOSPC if fill else errno.EFBIG
        if case.startswith("-"):
            assert (done.returncode, done.stderr.decode()) == (2, f"molbrook: {dest}: {os.strerror(code)}\n")
        else:
            assert f"[Errno {code}] {os.strerror(code)}: '{dest}'" in done.stderr.decode().splitlines()[-1]
        if case not in ("write_sdf", "sdf_writer"):  # which write into the path they are given
            assert {path.name: path.read_bytes() for path in folder.iterdir() if path.name != "filler"} == before


def slowly(*args: str) -> list[str]:
    """The command on a slow disk: it spends seconds writing."""
    return [sys.executable, "-c", "import os, sys, time\nwrite = os.write\n"
            "os.write = lambda fd, data: time.sleep(0.5) or write(fd, data)\n"
            "from molbrook.cli.main import main\nsys.exit(main())", *args]


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGKILL])
def test_a_signal_during_an_in_place_edit_leaves_the_input_intact(tmp_path, signum):
    source = tmp_path / "in.sdf"
    source.write_bytes(DATA)
    with subprocess.Popen(slowly("set", "A=1", source, "-i"), env=ENV, stderr=subprocess.PIPE) as process:
        deadline = time.monotonic() + 30
        while not any(path.stat().st_size for path in tmp_path.glob(".in.sdf.*.part")):
            assert time.monotonic() < deadline and process.poll() is None
            time.sleep(0.01)
        process.send_signal(signum)
        assert process.wait() == (-signum if signum == signal.SIGKILL else 128 + signum)
        assert process.stderr.read() == b""
    assert source.read_bytes() == DATA
    left = sorted(path.name for path in tmp_path.iterdir())
    assert left[-1] == "in.sdf" and len(left) == (2 if signum == signal.SIGKILL else 1)


@pytest.mark.parametrize("node", ["fifo", "device", "link to a fifo"])
def test_in_place_edits_only_regular_files(tmp_path, node):
    target = tmp_path / "node"
    if node == "device":
        try:
            os.mknod(target, stat.S_IFCHR | 0o666, os.makedev(1, 3))  # as /dev/null
        except PermissionError:
            pytest.skip("making a device node needs root")
    else:
        os.mkfifo(target)
    path = tmp_path / "link" if node.startswith("link") else target
    if path != target:
        path.symlink_to(target)
    done = subprocess.run([*CLI, "set", "A=1", path, "-i"], env=ENV, capture_output=True, timeout=60)
    assert (done.returncode, done.stderr) == (2, f"molbrook: {path}: not a regular file: --in-place "
                                                 "edits regular files only\n".encode())
    assert stat.S_IFMT(target.lstat().st_mode) == (stat.S_IFCHR if node == "device" else stat.S_IFIFO)


@pytest.mark.parametrize("dest", ["fifo", "device", "link", "new file", "old file"])
def test_merge_records_replaces_regular_files_only(tmp_path, dest):
    source, path = tmp_path / "in.sdf", tmp_path / "dest"
    source.write_bytes(DATA)
    node = tmp_path / "target" if dest == "link" else path
    read: list[bytes] = []
    if dest == "fifo":
        os.mkfifo(node)
        reader = threading.Thread(target=lambda: read.append(node.read_bytes()), daemon=True)
        reader.start()
    elif dest == "device":
        try:
            os.mknod(node, stat.S_IFCHR | 0o666, os.makedev(1, 3))  # as /dev/null
        except PermissionError:
            pytest.skip("making a device node needs root")
    elif dest != "new file":
        node.write_bytes(b"old")
        node.chmod(0o604)
        if os.geteuid() == 0:
            os.chown(node, 12345, 23456)
    if dest == "link":
        path.symlink_to(node)
    before = os.lstat(path) if dest != "new file" else None
    old_umask = os.umask(0o027)
    try:
        merge_records(str(source), {"ID": ["m1"], "X": [1]}, path, key="ID", on_title=True)
    finally:
        os.umask(old_umask)
    after = os.lstat(path)
    if dest == "fifo":
        reader.join(60)  # for ever, had the pipe been replaced
        assert len(read[0]) > len(DATA)
    if dest in ("fifo", "device", "link"):  # written into, or through
        assert os.path.samestat(after, before) and after.st_mode == before.st_mode
    if dest in ("old file", "link"):
        replaced = node.stat()
        owner = (12345, 23456) if os.geteuid() == 0 else (os.geteuid(), replaced.st_gid)
        assert (replaced.st_mode & 0o7777, replaced.st_uid, replaced.st_gid) == (0o604, *owner)
        assert len(node.read_bytes()) > len(DATA)
    if dest == "new file":
        assert after.st_mode & 0o777 == 0o640  # as open() makes it under the umask
    assert sorted(os.listdir(tmp_path)) == sorted({"in.sdf", "dest", node.name})


def test_standard_output_by_name_is_appended_to(tmp_path):
    out = tmp_path / "out.sdf"
    out.write_bytes(b"kept\n")
    with open(out, "ab") as stdout:
        done = subprocess.run([*CLI, "head", "-n", "1", "-", "-o", "/dev/stdout"], input=DATA, stdout=stdout, env=ENV)
    assert done.returncode == 0 and out.read_bytes() == b"kept\n" + DATA[:DATA.index(b"$$$$\n") + 5]


@pytest.mark.parametrize("run", ["command", "library"])
def test_a_missing_folder_is_named_as_given(tmp_path, run):
    (tmp_path / "in.sdf").write_bytes(DATA)
    dest = tmp_path / "missing" / "out.sdf"
    if run == "command":
        done = subprocess.run([*CLI, "set", "A=1", tmp_path / "in.sdf", "-o", dest], env=ENV, capture_output=True)
        assert done.stderr.decode() == f"molbrook: {dest}: No such file or directory\n"
    else:
        with pytest.raises(FileNotFoundError) as error:
            merge_records(str(tmp_path / "in.sdf"), {"ID": []}, str(dest), key="ID")
        assert (error.value.filename, error.value.filename2) == (str(dest), None)
