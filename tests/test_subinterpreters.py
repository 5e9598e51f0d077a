"""molbrook in several interpreters at once: each imports the package,
reads a corpus file and writes it back through an Arrow stream, from a
thread of its own (under a lock of its own where the interpreter module
creates them so, 3.12 on), getting what the main interpreter gets,
through classes of its own.

The interpreters run in a child process, which must exit cleanly: a class
or an object shared between interpreters shows as a crash at the latest
when they are destroyed."""

import importlib.util
import json
import os
import subprocess
import sys

import pytest

import molbrook
from conftest import CORPUS


def interpreter_module():
    """The name of this Python's interpreter module, newest first, or None."""
    for name in ("concurrent.interpreters", "_interpreters", "_xxsubinterpreters"):
        if importlib.util.find_spec(name) is not None:
            return name
    return None


API = interpreter_module()
pytestmark = pytest.mark.skipif(API is None, reason="this Python has no interpreter module")

SOURCE = CORPUS / "rdkit-data" / "bzr.sdf"
COUNT = 3

# What an interpreter reports of the file, and the identities of its classes.
IMPORT = """
import sys
sys.path[:0] = [PACKAGE]
import molbrook
"""

READ = r"""
import io, json, os, zlib, molbrook
from molbrook import native

def rewritten():
    # write_table consumes the scan's Arrow stream, whose callbacks must
    # run in this interpreter. (One thread: 3.12's isolated interpreters
    # crash at exit after a thread pool of their own, with or without us.)
    out = io.BytesIO()
    molbrook.write_table(molbrook.scan_table(SOURCE, block="block", workers=1), out, block="block")
    return zlib.crc32(out.getvalue())

blocks = list(molbrook.parse_sdf(SOURCE))
with molbrook.index_sdf(SOURCE, sidecar=False) as index:
    titles = [block.title for block in index]
report = json.dumps({
    "count": len(blocks),
    "checksum": sum(len(str(block)) for block in blocks),
    "index": titles == [block.title for block in blocks],
    "rows": molbrook.read_table(SOURCE).num_rows,
    "rewritten": rewritten(),
    "classes": [id(type(blocks[0])), id(type(index)), id(native.MalformedRecordError)],
})
# One write, which no other interpreter's cuts in two.
os.write(1, (report + "\n").encode())
"""

# Imports molbrook in COUNT interpreters, runs READ in them, each from a
# thread of its own at once, then in the main interpreter, and destroys
# them at the end. The imports run on the main thread: on 3.11 an
# interpreter whose threading module was first imported on another thread
# hangs when destroyed.
CHILD = """
import threading
if API == "concurrent.interpreters":
    from concurrent import interpreters
    created = [interpreters.create() for _ in range(COUNT)]
    run = lambda interpreter, code: interpreter.exec(code)
    destroy = lambda interpreter: interpreter.close()
else:
    interpreters = __import__(API)
    created = [interpreters.create() for _ in range(COUNT)]
    def run(interpreter, code):
        failed = interpreters.run_string(interpreter, code)  # 3.13 returns the failure
        if failed is not None:
            raise RuntimeError(failed)
    destroy = interpreters.destroy
for interpreter in created:
    run(interpreter, IMPORT)
errors = []
def work(interpreter):
    try:
        run(interpreter, READ)
    except BaseException as error:
        errors.append(error)
threads = [threading.Thread(target=work, args=(interpreter,)) for interpreter in created]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
exec(IMPORT)
exec(READ)
for interpreter in created:
    destroy(interpreter)
assert not errors, errors
"""


def test_interpreters_read_apart_with_classes_of_their_own():
    # The molbrook under test: the installed one, or a development tree's.
    package = os.path.dirname(os.path.dirname(molbrook.__file__))
    imports = IMPORT.replace("PACKAGE", repr(package))
    read = READ.replace("SOURCE", repr(str(SOURCE)))
    child = f"API = {API!r}\nCOUNT = {COUNT}\nIMPORT = {imports!r}\nREAD = {read!r}\n{CHILD}\n"
    done = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    reports = [json.loads(line) for line in done.stdout.splitlines()]
    assert len(reports) == COUNT + 1
    classes = [identity for report in reports for identity in report.pop("classes")]
    main = reports[-1]
    assert main["count"] > 100 and main["index"] and main["rows"] == main["count"]
    assert reports == [main] * len(reports)
    # No class is shared: each interpreter has its own SDBlock, SDIndex and
    # exception classes, all alive until the end.
    assert len(set(classes)) == len(classes)
