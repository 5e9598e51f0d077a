"""Shared fixtures: the real SD files of the corpus, a named pipe,
and molbrook._testcore, built for the tests when the package lacks it."""

import contextlib
import importlib.abc
import importlib.util
import os
import shutil
import signal
import subprocess
import sys
import sysconfig
import threading
import time
from pathlib import Path

import pytest
from hypothesis import settings

REPOSITORY = Path(__file__).resolve().parents[1]

# Real SD files that nobody on this project wrote, public test data of
# open-source projects (tests/corpus/MANIFEST.md gives each one's origin and
# licence), carried with the tests so that a clone skips nothing for want of data.
CORPUS = REPOSITORY / "tests" / "corpus"
CORPUS_FILES = sorted(p for p in CORPUS.rglob("*") if p.is_file() and p.suffix.lower() in {".sdf", ".sd", ".mol"})


# molbrook._testcore holds the core's primitives that tests call directly.
# It is never installed: tools/dev-build builds it in place, and for an
# installed package the session builds it first, with this interpreter's
# headers, into build/testcore-<tag>, showing the compiler's progress.
TESTCORE_BUILD = REPOSITORY / "build" / f"testcore-{sysconfig.get_config_var('SOABI') or sys.implementation.cache_tag}"


def build_testcore(show=lambda line: None) -> Path:
    """Builds molbrook._testcore into TESTCORE_BUILD; `show` is given each
    progress line of the build."""
    tools = os.pathsep.join([os.path.dirname(sys.executable), os.environ.get("PATH", "")])
    cmake = shutil.which("cmake", path=tools)
    if cmake is None or not (REPOSITORY / "CMakeLists.txt").is_file():
        raise ImportError("building molbrook._testcore for the tests needs CMake and the molbrook sources")
    configure = [cmake, "-S", REPOSITORY, "-B", TESTCORE_BUILD, f"-DPython_EXECUTABLE={sys.executable}",
                 "-DMOLBROOK_TESTCORE=ON", "-DCMAKE_BUILD_TYPE=Release"]
    ninja = shutil.which("ninja", path=tools)
    if ninja is not None and os.name != "nt" and not (TESTCORE_BUILD / "CMakeCache.txt").exists():
        configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
    for command in (configure, [cmake, "--build", TESTCORE_BUILD, "--target", "_testcore", "--config", "Release"]):
        output = []
        with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True) as process:
            for line in process.stdout:
                output.append(line)
                if line.startswith("["):  # ninja's and make's "[k/n] what" lines
                    show(line.rstrip())
        if process.returncode != 0:
            raise ImportError("building molbrook._testcore failed:\n" + "".join(output[-80:]))
    return next(TESTCORE_BUILD.rglob("_testcore" + sysconfig.get_config_var("EXT_SUFFIX")))


def installed_testcore() -> bool:
    import molbrook

    return any(Path(molbrook.__file__).parent.glob("_testcore*" + sysconfig.get_config_var("EXT_SUFFIX")))


def pytest_sessionstart(session):
    """Builds molbrook._testcore before the tests are collected, where the
    package lacks it, saying so: the first build takes a minute or two."""
    if installed_testcore():
        return
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    started = time.monotonic()
    reporter.write_line(f"building molbrook._testcore for the tests in {TESTCORE_BUILD} ...")
    TestcoreFinder.built = build_testcore(lambda line: reporter.rewrite(line[:100], erase=True))
    reporter.rewrite(f"built molbrook._testcore in {time.monotonic() - started:.0f} s", erase=True)
    reporter.write_line("")


class TestcoreFinder(importlib.abc.MetaPathFinder):
    """Finds molbrook._testcore, built before the session or on first import,
    when no other finder does."""

    built: Path | None = None

    def find_spec(self, fullname, path=None, target=None):
        if fullname != "molbrook._testcore":
            return None
        if TestcoreFinder.built is None:
            TestcoreFinder.built = build_testcore()
        return importlib.util.spec_from_file_location(fullname, TestcoreFinder.built)


sys.meta_path.append(TestcoreFinder())


# Named pipes, POSIX signals and /dev exist on Linux and macOS; /proc on
# Linux only.
HAS_FIFOS = hasattr(os, "mkfifo")
posix_only = pytest.mark.skipif(not HAS_FIFOS, reason="needs named pipes, POSIX signals and /dev")
proc_only = pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")


def corpus_params():
    """pytest params for every corpus file, named by its place in the corpus."""
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
# The free-threaded lane (.ci/test-freethreaded): every example, no
# deadline, as CPython 3.13's free-threaded build runs without its
# specializing interpreter and the lane shares the machine with others.
settings.register_profile("free-threaded", deadline=None)
# pyarrow under a preloaded AddressSanitizer: its C++ exceptions abort, and
# a Parquet buffer read from a pipe may outlive the interpreter (reported
# as a leak that is pyarrow's alone).
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

# A suite run under nohup or as a background job inherits SIGHUP or SIGINT
# ignored, and a command keeps an ignored signal ignored (Python installs
# no KeyboardInterrupt then): code for `python -c` that starts a child with
# the dispositions of an interactive shell.
AS_FROM_A_SHELL = (
    "import signal\nsignal.signal(signal.SIGHUP, signal.SIG_DFL)\n"
    "signal.signal(signal.SIGTERM, signal.SIG_DFL)\n"
    "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
)
# The command line, so started.
CLI_FROM_A_SHELL = [sys.executable, "-c", AS_FROM_A_SHELL + "import sys\nfrom molbrook.cli.main import main\nsys.exit(main())"]


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
