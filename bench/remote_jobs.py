"""The remote jobs of compare.py: the benchmark file as an object on an
S3-compatible server on 127.0.0.1 (moto's server mode, through s3fs),
parse_sdf of its URL against fsspec's `cat` of the same object, and
molbrook.dask.read_sdf of it on two threads against one. Without moto and
s3fs the jobs are skipped."""

from __future__ import annotations

import atexit
import contextlib
import importlib.util
import socket
import subprocess
import sys
import time
from collections import deque
from functools import partial
from pathlib import Path
from typing import Any, Callable

from common import Checksum, count_blocks

from molbrook import parse_sdf

# (job, reference, minimum ratio of their throughputs on the same object)
TARGETS = [
    ("remote_parse", "remote_cat", 0.5),
    ("remote_dask_2", "remote_dask_1", 1.3),
]
BUCKET = "bench"


def _server() -> dict[str, Any]:
    """Starts moto's S3 in a process of its own (so that it takes no share
    of the reader's interpreter lock) on a free port of 127.0.0.1, stopped
    at exit; the s3fs options that reach it."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    server = subprocess.Popen([sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(port)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    atexit.register(server.terminate)
    deadline = time.monotonic() + 30
    while True:
        with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), timeout=1):
            break
        if time.monotonic() > deadline:
            raise RuntimeError("moto's server did not start")
        time.sleep(0.2)
    return {"key": "bench", "secret": "bench",
            "client_kwargs": {"endpoint_url": f"http://127.0.0.1:{port}", "region_name": "us-east-1"}}


def _dask_rows(url: str, options: dict[str, Any], workers: int) -> int:
    """read_sdf of the object in its default partitions, the pass that finds
    its names included, on `workers` threads."""
    import dask

    from molbrook import dask as molbrook_dask

    with dask.config.set(scheduler="threads", num_workers=workers):
        return len(molbrook_dask.read_sdf(url, storage_options=options).compute())


def jobs(job: Callable[..., Any], lf: Path) -> list[Any]:
    """The jobs, made with compare.py's Job class; none without moto and s3fs."""
    if not all(importlib.util.find_spec(name) for name in ("moto", "s3fs", "fsspec")):
        return []
    import fsspec

    options = _server()
    fs = fsspec.filesystem("s3", **options)
    fs.call_s3("create_bucket", Bucket=BUCKET)
    url = f"s3://{BUCKET}/{lf.name}"
    fs.put_file(str(lf), url)
    blocks = partial(parse_sdf, url, storage_options=options)
    return [
        job("remote_cat", "floor: fsspec cat of the object (S3 on 127.0.0.1)", "floor", lf,
            partial(fs.cat_file, url)),
        job("remote_parse", "molbrook: parse_sdf(s3 URL) iteration", "molbrook", lf,
            lambda: deque(blocks(), maxlen=0), lambda: count_blocks(blocks()), agrees_with="floor"),
        job("remote_dask_1", "molbrook: dask read_sdf(s3 URL), 1 thread", "molbrook", lf,
            partial(_dask_rows, url, options, 1), lambda: Checksum(_dask_rows(url, options, 1))),
        job("remote_dask_2", "molbrook: dask read_sdf(s3 URL), 2 threads", "molbrook", lf,
            partial(_dask_rows, url, options, 2), lambda: Checksum(_dask_rows(url, options, 2)),
            agrees_with="remote_dask_1"),
    ]
