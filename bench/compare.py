#!/usr/bin/env python3
"""molbrook against floors and peers, side by side in one run on one file.

Usage: python bench/compare.py [--size 500M] [--repeat 5] [--rss-size 1G] [--plot]

Builds (or reuses) bench/data/big-SIZE.sdf and its CRLF twin with the
corpus's make_big.py, then times, best of --repeat with the files in the
page cache:

  floors     the file mapped and its b"\\n$$$$" counted with mmap.find (one
             Python call per block, as iteration makes one); the file read
             in 1 MiB chunks; the file copied by shutil.copyfileobj, and
             copied then synced to disk (what a path output named to the
             library pays on top: every job that writes a file, the round
             trip too, writes into an open file or standard output)
  peers      a plain Python reader that splits blocks and parses records
             into a dict by hand; RDKit's ForwardSDMolSupplier with
             sanitize=False, removeHs=False, strictParsing=False and with
             its defaults, reading GetPropsAsDict() per molecule
  molbrook   borrowed, owned and str-path iteration, to_dict() and get(name)
             per block, the str path on the CRLF file, and
             write_sdf(parse_sdf(...)) with and without borrow, and
             write_sdf of a path (written directly, unsynced); a 100 MB
             file with lone-CR line ends against its LF original, both
             through a str path
  scale      read_table with workers=1 and 2; read_table(workers=1) on a
             file of blocks with records (make_big.py --records-only, the
             dense file) against the floor of its b"\n>" headers counted
             natively over the mapped file (molbrook._testcore);
             molbrook.dask.read_sdf(...)
             .compute() with the threads scheduler against read_table(...,
             workers=2).to_pandas(); parse_sdf of copies made once by gzip -6,
             bzip2, xz and zstd (bench/data/packed) against reading each
             through its Python module alone in 1 MiB chunks, gzip with isal
             and with the stdlib
  tables     write_table of read_table(block=...) and of molblocks, titles
             and records against write_sdf(parse_sdf(...)) and RDKit's
             PandasTools.WriteSDF; the byte-exact Parquet form's size
             against the file under gzip -6
  lint       molbrook.lint with workers=1 and 2; lint_fix of a copy with a fix
             in every block (lint_jobs.py) against the round trip of that copy
  sort       sort_sdf by a numeric record in memory, spilling (16MiB), top=100
             and best per title over the file cut into 50; against the round
             trip, `molbrook filter`, RDKit read-sort-write and sorted() on
             molbrook blocks (sort_jobs.py); the peak RSS of the spilling sort
  depict     SDBlock.depict() to SVG on one thread against RDKit's
             MolFromMolBlock(sanitize=False) and MolDraw2DSVG, on the file's
             first 10,000 blocks (depict_jobs.py)
  threads    a per-block Python loop (one record read and tested as a
             float) over SDIndex.ranges(2) on one thread and on two, and
             read_table(workers=2) in a fresh interpreter with the GIL
             (ft_jobs.py; run compare.py with a free-threaded interpreter)
  command    `molbrook filter --where 'NAME>NUM'` (a numeric record and its
             median), `molbrook set` and `molbrook cut -o x.parquet` into a
             file, each a fresh process (command_jobs.py); cut against
             scan_table to Parquet in Python (pyarrow; without it both are
             skipped)
  remote     parse_sdf of the file as an object on a local S3-compatible
             server (moto, through s3fs) against fsspec's cat of it; Dask
             read_sdf of it on two threads against one (remote_jobs.py)

Every job first makes one untimed pass that computes its checksum (blocks,
records or hits, total value length); readers that disagree are marked,
and the run fails when the plain reader and molbrook disagree. The timed
passes only make the results. RDKit is optional: without it its jobs are
skipped. --rss-size streams a file of that size in a fresh process and
reports its peak resident-size growth; --plot draws the table as a bar
chart (matplotlib) into docs/throughput.png.
"""

from __future__ import annotations

import argparse
import filecmp
import importlib.util
import mmap
import os
import shutil
import sys
from collections import Counter, deque
from dataclasses import dataclass
from functools import partial
from pathlib import Path
from typing import Callable, Iterable

import command_jobs
import depict_jobs
import ft_jobs
import index_jobs
import common
import lint_jobs
import remote_jobs
import scale_jobs
import sort_jobs
import spark_jobs
import table_jobs
from common import Checksum
from molbrook import parse_sdf, write_sdf

CHUNK = 1 << 20
COMPRESSED = {".gz", ".bz2", ".xz", ".zst"}
CHART = common.HERE.parent / "docs" / "throughput.png"


# Jobs ----------------------------------------------------------------------


@dataclass
class Job:
    key: str
    label: str
    group: str  # "floor", "peer", "molbrook" or "command"
    file: Path
    run: Callable[[], object]  # the timed work
    checksum: Callable[[], Checksum] | None = None  # an untimed pass
    setup: Callable[[], object] | None = None  # before each timed run, untimed
    agrees_with: str | None = None  # the job whose checksum this one must match
    must_agree: bool = True  # False: a disagreement is only shown
    # Times its own work instead of being timed whole (single calls whose
    # median counts); returns the seconds that stand for one run.
    self_timed: Callable[[], float] | None = None


def streamed(key, label, group, file, results: Callable[[Path], Iterable], summarize=common.count_blocks,
             **options) -> Job:
    """A job that makes one result per block, each dropped once made."""
    return Job(key, label, group, file, lambda: deque(results(file), maxlen=0),
               lambda: summarize(results(file)), **options)


def mmap_count(path: Path) -> int:
    """The blocks of a file: its line ends followed by $$$$."""
    needle = b"\r$$$$" if file_kind(path) == "CR" else b"\n$$$$"
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as data:
        count, at = 0, data.find(needle)
        while at >= 0:
            count += 1
            at = data.find(needle, at + 1)
    return count


def read_chunks(path: Path) -> None:
    buffer = bytearray(CHUNK)
    with open(path, "rb", buffering=0) as f:
        while f.readinto(buffer):
            pass


def copy_file(source: Path, dest: Path, synced: bool = False) -> None:
    with open(source, "rb") as src, open(dest, "wb") as dst:
        shutil.copyfileobj(src, dst, CHUNK)
        if synced:
            dst.flush()
            os.fsync(dst.fileno())


def round_trip_checksum(source: Path, dest: Path, write: Callable[..., int] = common.write_sdf_into) -> Checksum:
    written = common.round_trip(source, dest, write)
    if not filecmp.cmp(source, dest, shallow=False):
        raise SystemExit(f"write_sdf(parse_sdf({source.name})) did not give the file back")
    return Checksum(written)


def rdkit_dicts(path: Path, options: dict) -> Iterable[dict | None]:
    """GetPropsAsDict() of each molecule, None where RDKit gives none. The
    values stay str (autoConvertStrings=False), as the other readers give
    them: the checksums compare, and RDKit is spared the conversions."""
    from rdkit import Chem

    with open(path, "rb") as f:
        for mol in Chem.ForwardSDMolSupplier(f, **options):
            yield None if mol is None else mol.GetPropsAsDict(autoConvertStrings=False)


def rdkit_available() -> bool:
    try:
        from rdkit import RDLogger
    except ImportError:
        return False
    RDLogger.DisableLog("rdApp.*")  # one warning per molecule it rejects
    return True


def most_common_name(path: Path, blocks: int = 5000) -> str:
    names = Counter()
    for i, block in enumerate(parse_sdf(str(path))):
        names.update(block.names())
        if i == blocks:
            break
    return names.most_common(1)[0][0]


def jobs(lf: Path, crlf: Path, dense: Path, lines: tuple[Path, Path], out: Path, name: str,
         with_rdkit: bool) -> list[Job]:
    """The jobs; `dense` is a file of blocks with records, `lines` a 100 MB
    LF file and its lone-CR copy."""
    remove_out = partial(out.unlink, missing_ok=True)
    floors = [
        Job("floor", 'floor: mmap + count b"\\n$$$$"', "floor", lf, partial(mmap_count, lf),
            lambda: Checksum(mmap_count(lf))),
        Job("read", "floor: read in 1 MiB chunks", "floor", lf, partial(read_chunks, lf)),
        Job("copy", "floor: shutil.copyfileobj, 1 MiB", "floor", lf, partial(copy_file, lf, out), setup=remove_out),
        Job("copy_synced", "floor: shutil.copyfileobj, 1 MiB, then fsync", "floor", lf,
            partial(copy_file, lf, out, synced=True), setup=remove_out),
    ]
    peers = [
        streamed("plain_dict", "plain Python: dict per block", "peer", lf,
                 lambda p: map(common.plain_to_dict, common.plain_blocks(p)), common.dict_checksum,
                 agrees_with="to_dict"),
        streamed("plain_get", "plain Python: get(name)", "peer", lf,
                 lambda p: map(partial(common.plain_get, name=name), common.plain_blocks(p)),
                 common.value_checksum, agrees_with="get"),
    ]
    if with_rdkit:
        raw = {"sanitize": False, "removeHs": False, "strictParsing": False}
        peers += [
            streamed("rdkit_raw", "RDKit, sanitize=False: GetPropsAsDict()", "peer", lf,
                     partial(rdkit_dicts, options=raw), common.dict_checksum, agrees_with="to_dict",
                     must_agree=False),
            streamed("rdkit", "RDKit, defaults: GetPropsAsDict()", "peer", lf,
                     partial(rdkit_dicts, options={}), common.dict_checksum, agrees_with="to_dict",
                     must_agree=False),
        ]
    ours = [
        streamed("borrowed", "molbrook: borrowed iteration", "molbrook", lf,
                 lambda p: parse_sdf(os.fsencode(p), borrow=True), agrees_with="floor"),
        streamed("owned", "molbrook: owned iteration", "molbrook", lf,
                 lambda p: parse_sdf(os.fsencode(p)), agrees_with="floor"),
        streamed("str", "molbrook: str path iteration", "molbrook", lf,
                 lambda p: parse_sdf(str(p)), agrees_with="floor"),
        streamed("to_dict", "molbrook: to_dict()", "molbrook", lf,
                 lambda p: (block.to_dict() for block in parse_sdf(str(p))), common.dict_checksum),
        streamed("get", "molbrook: get(name)", "molbrook", lf,
                 lambda p: (block.get(name) for block in parse_sdf(str(p))), common.value_checksum),
        Job("round_trip", "molbrook: write_sdf(parse_sdf(...))", "molbrook", lf,
            partial(common.round_trip, lf, out), partial(round_trip_checksum, lf, out), setup=remove_out,
            agrees_with="floor"),
        Job("round_trip_borrowed", "molbrook: write_sdf(parse_sdf(..., borrow=True))", "molbrook", lf,
            partial(common.round_trip, lf, out, borrow=True), partial(round_trip_checksum, lf, out),
            setup=remove_out, agrees_with="floor"),
        Job("round_trip_path", "molbrook: write_sdf(path, parse_sdf(...))", "molbrook", lf,
            partial(common.round_trip, lf, out, write_sdf), partial(round_trip_checksum, lf, out, write_sdf),
            setup=remove_out, agrees_with="floor"),
        streamed("crlf_bytes", "molbrook: bytes path, CRLF file", "molbrook", crlf,
                 lambda p: parse_sdf(os.fsencode(p))),
        streamed("crlf_str", "molbrook: str path, CRLF file", "molbrook", crlf,
                 lambda p: parse_sdf(str(p)), agrees_with="crlf_bytes"),
        streamed("lf_str_100", "molbrook: str path, 100 MB LF file", "molbrook", lines[0],
                 lambda p: parse_sdf(str(p)), common.text_checksum),
        streamed("cr_str_100", "molbrook: str path, 100 MB lone-CR file", "molbrook", lines[1],
                 lambda p: parse_sdf(str(p)), common.text_checksum, agrees_with="lf_str_100"),
    ]
    return (floors + peers + ours + table_jobs.jobs(Job, lf, out, with_rdkit)
            + scale_jobs.jobs(Job, streamed, lf, dense)
            + lint_jobs.jobs(Job, streamed, lf, out) + command_jobs.jobs(Job, lf, out)
            + index_jobs.jobs(Job, lf, out, name) + sort_jobs.jobs(Job, lf, out, with_rdkit)
            + depict_jobs.jobs(Job, lf, with_rdkit) + remote_jobs.jobs(Job, lf) + spark_jobs.jobs(Job, lf)
            + ft_jobs.jobs(Job, lf, name))


# (job, reference, minimum ratio of their throughputs on the same file)
TARGETS = [
    ("borrowed", "floor", 1.0),
    ("owned", "floor", 0.7),
    ("str", "floor", 0.5),
    ("to_dict", "plain_dict", 12),
    ("to_dict", "rdkit_raw", 100),
    ("get", "plain_get", 20),
    ("crlf_str", "crlf_bytes", 0.5),
    ("cr_str_100", "lf_str_100", 0.5),
    ("round_trip", "copy", 0.5),
    ("round_trip_borrowed", "copy", 0.5),
    *table_jobs.TARGETS,
    *scale_jobs.TARGETS,
    *lint_jobs.TARGETS,
    *command_jobs.TARGETS,
    *index_jobs.TARGETS,
    *sort_jobs.TARGETS,
    *depict_jobs.TARGETS,
    *remote_jobs.TARGETS,
    *spark_jobs.TARGETS,
    *ft_jobs.TARGETS,
]
RSS_LIMIT = 64 * 2**20


# Running and reporting -----------------------------------------------------


@dataclass
class Result:
    job: Job
    seconds: float
    runs: int
    checksum: Checksum | None
    agrees: bool | None = None  # None: nothing to compare with

    @property
    def mb_per_s(self) -> float:
        return self.job.file.stat().st_size / self.seconds / 1e6


def measure(selected: list[Job], repeat: int, budget: float) -> dict[str, Result]:
    results: dict[str, Result] = {}
    for job in selected:
        print(f"  {job.label}", end="", flush=True, file=sys.stderr)
        checksum = job.checksum() if job.checksum else None
        if job.self_timed:
            seconds, runs = min(job.self_timed() for _ in range(repeat)), repeat
        else:
            seconds, runs = common.best_seconds(job.run, repeat, budget, job.setup)
        results[job.key] = Result(job, seconds, runs, checksum)
        common.release_memory()
        print(f": {seconds:.3f} s", file=sys.stderr)
    for result in results.values():
        reference = results.get(result.job.agrees_with)
        if reference and result.checksum and reference.checksum:
            result.agrees = result.checksum == reference.checksum
    return results


def file_kind(path: Path) -> str:
    return "CRLF" if path.stem.endswith("-crlf") else "CR" if path.stem.endswith("-cr") else "LF"


def print_table(results: dict[str, Result], blocks: dict[Path, int]) -> None:
    print("| job | file | runs | seconds | MB/s | blocks/s | checksum: blocks, records, value length |")
    print("|---|---|---:|---:|---:|---:|---|")
    for result in results.values():
        job = result.job
        checksum = "-" if result.checksum is None else f"{result.checksum}{' ≠' if result.agrees is False else ''}"
        print(f"| {job.label} | {file_kind(job.file)} | {result.runs} | {result.seconds:.3f} "
              f"| {result.mb_per_s:,.0f} | {blocks[job.file] / result.seconds:,.0f} | {checksum} |")


def print_targets(results: dict[str, Result], rss: int | None, parquet_rss: int | None,
                  parquet_ratio: float | None, sort_rss: int | None = None) -> None:
    print("\n| target | measured | wanted | |")
    print("|---|---:|---:|---|")
    for key, reference, minimum in TARGETS:
        if key not in results:
            continue
        if reference not in results:
            print(f"| {key} / {reference} | - | >= {minimum:g}x | not run |")
            continue
        ratio = results[key].mb_per_s / results[reference].mb_per_s
        print(f"| {results[key].job.label} / {results[reference].job.label} | {ratio:,.2f}x | >= {minimum:g}x "
              f"| {'met' if ratio >= minimum else 'MISSED'} |")
    if rss is not None:
        print(f"| peak RSS growth streaming without borrow | {rss / 2**20:.1f} MiB | < {RSS_LIMIT // 2**20} MiB "
              f"| {'met' if rss < RSS_LIMIT else 'MISSED'} |")
    if parquet_rss is not None:
        limit = table_jobs.PARQUET_RSS_LIMIT
        print(f"| peak RSS growth, scan_table of three names to Parquet | {parquet_rss / 2**20:.1f} MiB "
              f"| < {limit // 2**20} MiB | {'met' if parquet_rss < limit else 'MISSED'} |")
    if sort_rss is not None:
        limit = sort_jobs.SPILL_RSS_LIMIT
        print(f"| peak RSS growth, sort_sdf with memory={sort_jobs.SPILL_MEMORY} | {sort_rss / 2**20:.1f} MiB "
              f"| < {limit // 2**20} MiB | {'met' if sort_rss < limit else 'MISSED'} |")
    if parquet_ratio is not None:
        limit = table_jobs.PARQUET_SIZE_LIMIT
        print(f"| Parquet (zstd) of read_table(block=...) / the file under gzip -6, byte-exact back "
              f"| {parquet_ratio:.2f}x | <= {limit:g}x | {'met' if parquet_ratio <= limit else 'MISSED'} |")


def plot(results: dict[str, Result], title: str, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter

    plt.rcParams["text.parse_math"] = False  # the labels hold "$$$$"
    colours = {"floor": "#9e9e9e", "peer": "#e08a3c", "molbrook": "#2f6db5", "command": "#5aa05a"}
    rows = list(results.values())[::-1]  # the table's order, top down
    fig, ax = plt.subplots(figsize=(9, 0.4 * len(rows) + 1.9))
    bars = ax.barh([r.job.label for r in rows], [r.mb_per_s for r in rows],
                   color=[colours[r.job.group] for r in rows])
    ax.bar_label(bars, labels=[f"{r.mb_per_s:,.0f}" for r in rows], padding=3, fontsize=8)
    ax.set_xscale("log")
    ax.xaxis.set_major_formatter(FuncFormatter(lambda x, _: f"{x:,.0f}"))
    ax.set_xlabel("MB/s, log scale (best of the runs; higher is better)")
    ax.set_title(title, fontsize=9)
    ax.tick_params(axis="y", labelsize=8)
    ax.margins(x=0.12)
    ax.legend(handles=[plt.Rectangle((0, 0), 1, 1, color=c) for c in colours.values()], labels=list(colours),
              loc="upper center", bbox_to_anchor=(0.5, -0.14), ncol=4, fontsize=8, frameon=False)
    fig.tight_layout()
    path.parent.mkdir(exist_ok=True)
    fig.savefig(path, dpi=110)
    print(f"\nchart: {path}")


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                 epilog="jobs: floor read copy copy_synced plain_dict plain_get rdkit_raw rdkit borrowed owned str "
                                        "to_dict get round_trip round_trip_borrowed round_trip_path crlf_bytes crlf_str pandas_dicts rdkit_frame "
                                        "table_arrow table_pandas keyed_round_trip merge table_1 table_2 table_pandas_2 "
                                        "headers_floor table_1_dense table_2_dense dask_threads dask_1_thread "
                                        "gzip_isal gzip_parse_isal gzip_stdlib gzip_parse_stdlib bzip2 bzip2_parse xz xz_parse "
                                        "zstd zstd_parse "
                                        "lint lint_2 lint_fix lint_fix_round_trip "
                                        "cli_filter cli_set scan_parquet cli_cut index_build index_build_key index_open index_get index_item "
                                        "index_item_bgzf bgzf_write gzip_write write_blocks write_parts rdkit_write sort_number sort_spill "
                                        "sort_top python_sort sort_best_per_title parts_round_trip rdkit_sort depict rdkit_depict "
                                        "ft_loop_1 ft_loop_2 ft_table_gil, "
                                        "parquet_size for the byte-exact Parquet check, rss and sort_rss for the memory runs")
    ap.add_argument("--size", default="500M", help="size of the generated files (make_big.py syntax: 500M, 2G)")
    ap.add_argument("--records-only", action="store_true", help="generate them from the blocks that hold records")
    ap.add_argument("--corpus", type=Path, default=common.CORPUS, help="folder of make_big.py and the real files")
    ap.add_argument("--repeat", type=int, default=5, help="runs per job; the best counts")
    ap.add_argument("--budget", type=float, default=30.0, help="seconds after which a job starts no further run")
    ap.add_argument("--name", help="record name for get (default: the most common one)")
    ap.add_argument("--only", help="comma-separated jobs to run (default: all)")
    ap.add_argument("--rss-size", default="1G", help="file size for the memory run (with --only: when it names rss); "
                                                      "0 skips it")
    ap.add_argument("--plot", action="store_true", help="draw the table into docs/throughput.png")
    args = ap.parse_args(argv)
    if args.plot and importlib.util.find_spec("matplotlib") is None:
        ap.error("--plot needs matplotlib (pip install '.[bench]')")

    lf = common.build_file(args.size, records_only=args.records_only, corpus=args.corpus)
    crlf = common.build_file(args.size, crlf=True, records_only=args.records_only, corpus=args.corpus)
    dense = common.build_file(args.size, records_only=True, corpus=args.corpus)
    plain_100 = common.build_file("100M", corpus=args.corpus)
    lines = (plain_100, common.lone_cr_copy(plain_100))
    blocks = {path: mmap_count(path) for path in (lf, crlf, *lines)}  # which also brings them into the page cache
    out = common.DATA / "round-trip.sdf"
    name = args.name or most_common_name(lf)
    with_rdkit = rdkit_available()
    selected = jobs(lf, crlf, dense, lines, out, name, with_rdkit)
    if args.only:
        selected = [job for job in selected if job.key in args.only.split(",")]
    for job in selected:  # a compressed copy holds the LF file's blocks
        blocks.setdefault(job.file, blocks[lf] if job.file.suffix in COMPRESSED else mmap_count(job.file))

    title = f"{lf.name}: {lf.stat().st_size / 1e6:,.0f} MB, {blocks[lf]:,} blocks"
    print(f"{title}; {crlf.name}: {crlf.stat().st_size / 1e6:,.0f} MB, {blocks[crlf]:,} blocks; get({name!r})")
    print(f"{common.machine()}; {common.load()} at the start")
    if not with_rdkit:
        print("RDKit is not installed: its jobs are skipped (pip install '.[bench]').")
    results = measure(selected, args.repeat, args.budget)
    out.unlink(missing_ok=True)
    command_jobs.remove_outputs(out)
    parquet_ratio = None
    if not args.only or "parquet_size" in args.only.split(","):
        parquet_ratio = table_jobs.parquet_size_ratio(lf)
    rss = parquet_rss = None
    if args.rss_size != "0" and (not args.only or "rss" in args.only.split(",")):
        rss_file = common.build_file(args.rss_size, corpus=args.corpus)
        rss = common.peak_rss_growth(rss_file)
        parquet_rss = table_jobs.parquet_rss_growth(rss_file)
    sort_rss = None
    if not args.only or "sort_rss" in args.only.split(","):
        sort_rss = sort_jobs.spill_rss_growth(lf, out)
    print(f"best of {args.repeat} runs (fewer past {args.budget:g} s); {common.load()} at the end\n")

    print_table(results, blocks)
    print_targets(results, rss, parquet_rss, parquet_ratio, sort_rss)
    if rss is not None:
        print(f"\nPeak RSS growth: big-{args.rss_size}.sdf streamed with parse_sdf, without borrow, "
              "and three of its names streamed to Parquet with scan_table, each in a fresh process.")
    if args.plot:
        plot(results, f"{title}\n{common.machine()}", CHART)

    disagreeing = [r.job.label for r in results.values() if r.agrees is False and r.job.must_agree]
    if disagreeing:
        print(f"\nchecksums disagree: {', '.join(disagreeing)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
