"""Shared fixtures: the real SD files of the corpus, when present, and a named pipe."""

import contextlib
import importlib
import os
import signal
import threading
import time
from pathlib import Path

import pytest
from hypothesis import settings

# Real SD files that nobody on this project wrote; absent from a user's clone.
CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"
CORPUS_FILES = sorted(
    p for p in CORPUS.rglob("*") if p.is_file() and p.suffix.lower() in {".sdf", ".sd", ".mol"}
) if CORPUS.is_dir() else []


# Named pipes, POSIX signals and /dev exist on Linux and macOS; /proc on
# Linux only.
HAS_FIFOS = hasattr(os, "mkfifo")
posix_only = pytest.mark.skipif(not HAS_FIFOS, reason="needs named pipes, POSIX signals and /dev")
proc_only = pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")


def corpus_params():
    """pytest params for every corpus file, or one skipped param without a corpus."""
    if not CORPUS_FILES:
        return [pytest.param(None, marks=pytest.mark.skip(reason=f"no corpus at {CORPUS}"))]
    return [pytest.param(p, id=str(p.relative_to(CORPUS))) for p in CORPUS_FILES]


def zstd_module():
    """The zstd module molbrook uses here (Python 3.14's compression.zstd,
    else the zstandard package), or a skip without either."""
    for name in ("compression.zstd", "zstandard"):
        try:
            return importlib.import_module(name)
        except ImportError:
            pass
    pytest.skip("no zstd module")


# Sanitizer runs (tools/test-sanitized): every property still runs, with
# fewer examples by default and no deadline, as instrumented code is slow.
settings.register_profile("sanitize", max_examples=25, deadline=None)


@contextlib.contextmanager
def fifo_with(directory, data: bytes, name="fifo"):
    """A named pipe in `directory` that a thread fills with `data`."""
    path = directory / name
    os.mkfifo(path)

    def feed():
        with contextlib.suppress(BrokenPipeError), open(path, "wb") as pipe:
            pipe.write(data)

    thread = threading.Thread(target=feed)
    thread.start()
    try:
        yield path
    finally:
        # If the reader never opened it, the writer still waits for one.
        releaser = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        thread.join()
        os.close(releaser)


def wait_blocked(native_id, timeout=60):
    """Returns once thread `native_id` of this process sleeps in the kernel
    on something other than a lock, as in open(2) or read(2) of a pipe."""
    wchan = Path(f"/proc/self/task/{native_id}/wchan")
    deadline = time.monotonic() + timeout
    while (where := wchan.read_text()) in ("", "0") or "futex" in where:
        if time.monotonic() > deadline:
            raise TimeoutError(f"thread {native_id} never blocked (wchan {where!r})")
        time.sleep(0.001)


@contextlib.contextmanager
def signal_handler(handler):
    """SIGALRM goes to `handler` while in the block."""
    previous = signal.signal(signal.SIGALRM, handler)
    try:
        yield
    finally:
        signal.signal(signal.SIGALRM, previous)


def signal_main_when_blocked():
    """Sends SIGALRM to the main thread once it is blocked in a system call."""
    main = threading.main_thread()
    wait_blocked(main.native_id)
    signal.pthread_kill(main.ident, signal.SIGALRM)
