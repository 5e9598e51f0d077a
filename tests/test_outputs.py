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

from conftest import AS_FROM_A_SHELL, UNDER_ASAN, posix_only, zstd_module
from molbrook import TITLE, merge_records

pytestmark = posix_only

ENV = dict(os.environ, PYTHONDONTWRITEBYTECODE="1", PYTHONPATH=os.pathsep.join(
    os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p))
# About 200 KB that compresses to about half: every output outgrows the limits.
DATA = "".join(f"m{i}\n\n\nM  END\n> <V>\n{os.urandom(48).hex()}\n\n$$$$\n" for i in range(1500)).encode()
COMPRESS = {".sdf": bytes, ".sdf.gz": gzip.compress, ".sdf.bz2": bz2.compress, ".sdf.xz": lzma.compress,
            ".sdf.zst": lambda data: zstd_module().compress(data)}
CLI = [sys.executable, "-m", "molbrook"]
LIBRARY = [sys.executable, "-c"]
# Each case: its command, given the input and the output path, and the
# input's kind; "-i" rewrites the input itself.
CASES = {
    **{f"-o {kind}": (lambda i, o: [*CLI, "set", "-f", "A=1", i, "-o", o], ".sdf", kind) for kind in COMPRESS},
    **{f"-o {kind}": (lambda i, o: [*CLI, "cut", "-f", "V", i, "-o", o], ".sdf", kind)
       for kind in (".csv", ".tsv", ".jsonl", ".parquet")},
    **{f"-i {kind}": (lambda i, o: [*CLI, "set", "-f", "A=1", i, "-i"], kind, None) for kind in COMPRESS},
    "merge_records": (lambda i, o: [*LIBRARY, f"import molbrook; molbrook.merge_records({i!r}, "
                                              f"{{'ID': ['m1'], 'X': [1]}}, {o!r}, key=molbrook.TITLE, title='ID')"],
                      ".sdf", ".sdf"),
    "write_table": (lambda i, o: [*LIBRARY, f"import molbrook; molbrook.write_table(molbrook.read_table({i!r}), {o!r})"],
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


@pytest.fixture(params=["file size", "full disk"])
def cramped(request, tmp_path):
    """A folder, a way to run a command that can write little there (under a
    file size limit, or on a tmpfs filled but for 16 KiB just before), and
    the error that the command meets."""
    folder = tmp_path / "disk"
    folder.mkdir()
    if request.param == "file size":
        yield folder, lambda argv: subprocess.run(argv, env=ENV, capture_output=True, preexec_fn=file_size_limit), \
            errno.EFBIG
        return
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", folder], capture_output=True).returncode:
        pytest.skip("mounting a tmpfs is not permitted here")

    def run(argv):
        with open(folder / "filler", "wb", buffering=0) as filler, contextlib.suppress(OSError):
            while filler.write(b"\0" * 4096):
                pass
        os.truncate(folder / "filler", os.path.getsize(folder / "filler") - (16 << 10))
        return subprocess.run(argv, env=ENV, capture_output=True)
    try:
        yield folder, run, errno.ENOSPC
    finally:
        subprocess.run(["umount", folder], check=True)


@pytest.mark.parametrize("case", CASES)
def test_outputs_fail_whole_and_name_the_users_path(cramped, case):
    folder, run, code = cramped
    command, kind, out_kind = CASES[case]
    if out_kind == ".parquet" and UNDER_ASAN:
        pytest.skip("pyarrow's C++ exceptions abort under a preloaded AddressSanitizer")
    if ".sdf.zst" in (kind, out_kind):
        zstd_module()  # a skip, naming why, where there is none to read or write it
    source = folder / f"in{kind}"
    source.write_bytes(COMPRESS[kind](DATA))
    dest = folder / f"out{out_kind}" if out_kind else source
    if out_kind:
        dest.write_bytes(b"old\n")
    before = {path.name: path.read_bytes() for path in folder.iterdir()}
    done = run(command(str(source), str(dest)))
    if case.startswith("-"):
        assert (done.returncode, done.stderr.decode()) == (2, f"molbrook: {dest}: {os.strerror(code)}\n")
    else:
        assert f"[Errno {code}] {os.strerror(code)}: '{dest}'" in done.stderr.decode().splitlines()[-1]
    if case not in ("write_sdf", "sdf_writer"):  # which write into the path they are given
        assert {path.name: path.read_bytes() for path in folder.iterdir() if path.name != "filler"} == before


def slowly(*args: str) -> list[str]:
    """The command on a slow disk: it spends seconds writing."""
    return [sys.executable, "-c", AS_FROM_A_SHELL + "import os, sys, time\nwrite = os.write\n"
            "os.write = lambda fd, data: time.sleep(0.5) or write(fd, data)\n"
            "from molbrook.cli.main import main\nsys.exit(main())", *args]


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGKILL])
def test_a_signal_during_an_in_place_edit_leaves_the_input_intact(tmp_path, signum):
    source = tmp_path / "in.sdf"
    source.write_bytes(DATA)
    with subprocess.Popen(slowly("set", "-f", "A=1", source, "-i"), env=ENV, stderr=subprocess.PIPE) as process:
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


@pytest.mark.parametrize("node", ["fifo", "device", "link"])
def test_in_place_edits_only_regular_files(tmp_path, node):
    path = tmp_path / "node"
    make_node(tmp_path / "fifo", "fifo") if node == "link" else make_node(path, node)
    if node == "link":
        path.symlink_to(tmp_path / "fifo")
    done = subprocess.run([*CLI, "set", "-f", "A=1", path, "-i"], env=ENV, capture_output=True, timeout=60)
    assert (done.returncode, done.stderr) == (2, f"molbrook: {path}: not a regular file: --in-place "
                                                 "edits regular files only\n".encode())
    assert stat.S_IFMT(path.lstat().st_mode) == {"fifo": stat.S_IFIFO, "device": stat.S_IFCHR}.get(node, stat.S_IFLNK)


def make_node(path: Path, kind: str) -> None:
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "device":
        try:
            os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 3))  # as /dev/null
        except PermissionError:
            pytest.skip("making a device node needs root")
    else:
        path.write_bytes(b"old")
        path.chmod(0o604)
        if os.geteuid() == 0:
            os.chown(path, 12345, 23456)


@pytest.mark.parametrize("dest", ["fifo", "device", "link", "old file", "new file"])
def test_merge_records_replaces_regular_files_only(tmp_path, dest):
    (tmp_path / "in.sdf").write_bytes(DATA)
    path, node = tmp_path / "dest", tmp_path / ("target" if dest == "link" else "dest")
    if dest != "new file":
        make_node(node, dest)
    if dest == "link":
        path.symlink_to(node)
    read: list[bytes] = []
    reader = threading.Thread(target=lambda: read.append(node.read_bytes()), daemon=True)
    if dest == "fifo":
        reader.start()
    before, old_umask = os.lstat(path) if dest != "new file" else None, os.umask(0o027)
    try:
        merge_records(str(tmp_path / "in.sdf"), {"ID": ["m1"], "X": [1]}, path, key=TITLE, title="ID")
    finally:
        os.umask(old_umask)
    after, written = os.lstat(path), node.stat()
    if dest in ("fifo", "device", "link"):  # written into, or through
        assert os.path.samestat(after, before) and after.st_mode == before.st_mode
    if dest in ("link", "old file"):
        owner = (12345, 23456) if os.geteuid() == 0 else (os.geteuid(), written.st_gid)
        assert (written.st_mode & 0o7777, written.st_uid, written.st_gid) == (0o604, *owner)
    if dest == "new file":
        assert written.st_mode & 0o777 == 0o640  # as open() makes it under the umask
    if dest == "fifo":
        reader.join(60)  # for ever, had the pipe been replaced
    assert len(read[0] if dest == "fifo" else node.read_bytes()) > len(DATA) or dest == "device"
    assert sorted(os.listdir(tmp_path)) == sorted({"in.sdf", "dest", node.name})


def test_standard_output_by_name_is_appended_to(tmp_path):
    out = tmp_path / "out.sdf"
    out.write_bytes(b"kept\n")
    with open(out, "ab") as stdout:
        done = subprocess.run([*CLI, "head", "-n", "1", "-", "-o", "/dev/stdout"], input=DATA, stdout=stdout, env=ENV)
    assert done.returncode == 0 and out.read_bytes() == b"kept\n" + DATA[:DATA.index(b"$$$$\n") + 5]


def test_a_missing_folder_is_named_as_given(tmp_path):
    (tmp_path / "in.sdf").write_bytes(DATA)
    dest = tmp_path / "missing" / "out.sdf"
    done = subprocess.run([*CLI, "set", "-f", "A=1", tmp_path / "in.sdf", "-o", dest], env=ENV, capture_output=True)
    assert done.stderr.decode() == f"molbrook: {dest}: No such file or directory\n"


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_a_signal_the_moment_the_temporary_file_is_made_leaves_nothing(tmp_path, signum):
    # The signal is sent from inside os.open, once the system has made the
    # file and before Python holds its descriptor.
    source = tmp_path / "in.sdf"
    source.write_bytes(DATA)
    hooked = (AS_FROM_A_SHELL + "import os, sys\nopen_ = os.open\n"
              "def hooked(path, *args):\n    fd = open_(path, *args)\n"
              f"    if str(path).endswith('.part'): os.kill(os.getpid(), {int(signum)})\n    return fd\n"
              "os.open = hooked\nfrom molbrook.cli.main import main\nsys.exit(main())")
    done = subprocess.run([sys.executable, "-c", hooked, "set", "-f", "A=1", source, "-i"], env=ENV,
                          capture_output=True)
    assert (done.returncode, done.stderr) == (128 + signum, b"")
    assert os.listdir(tmp_path) == ["in.sdf"] and source.read_bytes() == DATA


@pytest.mark.parametrize("make", [os.mkdir, lambda path: None], ids=["a folder", "a missing folder"])
def test_an_output_error_names_the_path_once(tmp_path, make):
    from molbrook._output import atomic_destination

    dest = tmp_path / "missing" / "out.sdf" if make is not os.mkdir else tmp_path / "out.sdf"
    make(dest)
    with pytest.raises(OSError) as caught, atomic_destination(str(dest)) as out:
        out.write(b"x")
    assert str(caught.value).endswith(f": {str(dest)!r}") and caught.value.filename2 is None
