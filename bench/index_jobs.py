"""The index jobs of compare.py: building the index beside a file (with and
without a key), opening it again, single reads by key and ordinal, and
writing BGZF against plain gzip."""

from __future__ import annotations

import gzip
import importlib.util
import random
import statistics
import time
from functools import partial
from pathlib import Path
from typing import Any, Callable

from common import Checksum
from scale_jobs import CHUNK, gzip_copy

from molbrook import _bgzf, index_sdf

# Single reads per timed run: the time of one is the run's over this.
CALLS = 1000


def sidecar(path: Path) -> Path:
    return path.with_name(path.name + ".mbi")


def build(path: Path, key: str | None = None) -> int:
    with index_sdf(str(path), key=key) as idx:
        return len(idx)


def random_gets(path: Path, key: str, keys: list[str]) -> int:
    """CALLS lookups of random keys of the file; the blocks found."""
    with index_sdf(str(path), key=key) as idx:
        return sum(idx.get(k) is not None for k in keys)


def random_items(path: Path, ordinals: list[int]) -> int:
    with index_sdf(str(path)) as idx:
        return sum(1 for i in ordinals if idx[i] is not None)


def median_call(path: Path, key: str | None, call: Callable[[Any, Any], Any], arguments: list[Any]) -> float:
    """CALLS times the median of CALLS separate calls on an index opened
    beforehand: the time that one pass of them stands for."""
    with index_sdf(str(path), key=key) as idx:
        times = []
        for argument in arguments:
            start = time.perf_counter()
            call(idx, argument)
            times.append(time.perf_counter() - start)
    return statistics.median(times) * len(arguments)


def write_gzip(source: Path, dest: Path, writer: Callable[[Any], Any]) -> None:
    with open(source, "rb") as data, open(dest, "wb") as raw:
        out = writer(raw)
        while chunk := data.read(CHUNK):
            out.write(chunk)
        out.close()


def plain_gzip(raw: Any) -> Any:
    """The gzip writer of the library BGZF uses, at the level it uses."""
    zlib = _bgzf._zlib()
    if zlib.__name__.startswith("isal"):
        from isal import igzip

        return igzip.GzipFile(fileobj=raw, mode="wb", compresslevel=_bgzf._default_level(zlib))
    return gzip.GzipFile(fileobj=raw, mode="wb", compresslevel=_bgzf._default_level(zlib))


def jobs(job: Callable[..., Any], lf: Path, out: Path, name: str) -> list[Any]:
    """The jobs, made with compare.py's Job class."""
    rng = random.Random(5)
    build(lf, name)  # the index the lookups use, with every table kept
    with index_sdf(str(lf), key=name) as idx:
        keys = [str(k) for k in rng.sample(idx.keys(), min(CALLS, len(idx.keys())))]
        ordinals = [rng.randrange(len(idx)) for _ in range(CALLS)]
    packed = gzip_copy(lf)
    build(packed)
    remove = partial(sidecar(lf).unlink, missing_ok=True)
    made = [
        job("index_build", "molbrook: index_sdf(), sidecar written", "molbrook", lf, partial(build, lf),
            lambda: Checksum(build(lf)), setup=remove, agrees_with="floor"),
        job("index_build_key", f"molbrook: index_sdf(key={name!r})", "molbrook", lf, partial(build, lf, name),
            lambda: Checksum(build(lf, name)), setup=remove, agrees_with="floor"),
        job("index_open", "molbrook: index_sdf(), fresh sidecar", "molbrook", lf, partial(build, lf, name),
            lambda: Checksum(build(lf, name)), setup=partial(build, lf, name), agrees_with="floor"),
        job("index_get", f"molbrook: {CALLS} x median idx.get(random key)", "molbrook", lf,
            partial(random_gets, lf, name, keys), lambda: Checksum(random_gets(lf, name, keys)),
            self_timed=partial(median_call, lf, name, lambda idx, k: idx.get(k), keys)),
        job("index_item", f"molbrook: {CALLS} x median idx[random i]", "molbrook", lf, partial(random_items, lf, ordinals),
            lambda: Checksum(random_items(lf, ordinals)),
            self_timed=partial(median_call, lf, None, lambda idx, i: idx[i], ordinals)),
        job("index_item_bgzf", f"molbrook: {CALLS} x median idx[random i], BGZF", "molbrook", packed,
            partial(random_items, packed, ordinals), lambda: Checksum(random_items(packed, ordinals)),
            self_timed=partial(median_call, packed, None, lambda idx, i: idx[i], ordinals)),
        job("bgzf_write", "molbrook: write BGZF", "molbrook", lf,
            partial(write_gzip, lf, out, _bgzf.BgzfWriter), setup=partial(out.unlink, missing_ok=True)),
        job("gzip_write", "floor: write plain gzip, same library and level", "floor", lf,
            partial(write_gzip, lf, out, plain_gzip), setup=partial(out.unlink, missing_ok=True)),
    ]
    return made


# (job, reference, minimum ratio of their throughputs on the same file).
# The lookups count CALLS times the median of CALLS separate calls. A
# lookup may take 1/5,000 of a get() pass, so CALLS of them 1/5; an item
# of the BGZF copy 1/500 of a parse pass of it, so CALLS of them 2 passes;
# opening a sidecar 5 % of building it.
TARGETS = [
    ("index_build", "borrowed", 0.5),
    ("index_build_key", "get", 0.8),
    ("index_open", "index_build_key", 20),
    ("index_get", "get", 5000 / CALLS),
    ("index_item", "get", 5000 / CALLS),
    ("index_item_bgzf", "gzip_parse_isal" if importlib.util.find_spec("isal") else "gzip_parse_stdlib", 500 / CALLS),
    ("bgzf_write", "gzip_write", 0.8),
]
