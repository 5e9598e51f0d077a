"""molbrook.dask.read_sdf: partitions of byte ranges and compressed files
give the frame read_table gives, on the synchronous scheduler and on a
cluster of worker processes."""

import gzip
import os
import subprocess
import sys
import time
from contextlib import nullcontext
from itertools import chain

import dask
import dask.dataframe as dd
import pandas as pd
import pytest

import molbrook.dask
from molbrook import _bgzf, parse_sdf, read_table

MOL = "t{}\n  prog\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n"


def write_files(tmp_path):
    """Two plain files, a gzip one and a BGZF one whose record names first
    appear in different files; a CRLF file among them."""
    paths = []
    for number, (ending, packed) in enumerate([("\n", False), ("\r\n", False), ("\n", True), ("\n", "bgzf")]):
        text = "".join(MOL.format(i) + f"> <A>\n{i}\n\n> <F{number}>\n{i}.5\n\n$$$$\n" for i in range(40))
        data = text.replace("\n", ending).encode()
        path = tmp_path / f"part{number}.sdf"
        with open(path, "wb") as raw, _bgzf.BgzfWriter(raw) if packed == "bgzf" else nullcontext(raw) as out:
            out.write(gzip.compress(data) if packed is True else data)
        paths.append(path)
    return paths


def expected(paths, kind=str, **options):
    blocks = chain.from_iterable(parse_sdf(kind(path)) for path in paths)
    return molbrook.dask._frame(read_table(blocks, **options))


def computed(frame, **compute):
    return frame.compute(**compute).reset_index(drop=True)


@pytest.mark.parametrize("kind", [str, bytes])
@pytest.mark.parametrize("options", [{}, {"title": "t", "types": {"A": int, "F1": float}}, {"names": ["F2", "A"]}])
def test_partitions_give_the_frame_of_read_table(tmp_path, kind, options):
    paths = write_files(tmp_path)
    frame = molbrook.dask.read_sdf(kind(tmp_path / "part*.sdf"), blocksize=700, **options)
    assert frame.npartitions > 15  # the plain and BGZF files cut, the gzip file whole
    pd.testing.assert_frame_equal(computed(frame, scheduler="sync"), expected(paths, kind, **options))


def test_selected_columns_reach_the_reader(tmp_path, monkeypatch):
    paths = write_files(tmp_path)
    asked = []
    real = molbrook.dask._read_part

    def recorded(part, names, title, types, columns=None):
        asked.append(columns)
        return real(part, names, title, types, columns)

    monkeypatch.setattr(molbrook.dask, "_read_part", recorded)
    frame = molbrook.dask.read_sdf([str(path) for path in paths], title="t", blocksize=2000)
    got = computed(frame[["F1", "t"]], scheduler="sync")
    pd.testing.assert_frame_equal(got, expected(paths, title="t")[["F1", "t"]])
    assert asked and all(sorted(columns) == ["F1", "t"] for columns in asked)


def test_local_cluster_of_processes(tmp_path):
    distributed = pytest.importorskip("distributed")
    paths = write_files(tmp_path)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            distributed.Client(cluster):
        frame = molbrook.dask.read_sdf(str(tmp_path / "part*.sdf"), title="t", blocksize=1000)
        pd.testing.assert_frame_equal(computed(frame), expected(paths, title="t"))


@pytest.mark.parametrize(
    "paths, error, message",
    [
        ("missing*.sdf", FileNotFoundError, "no file matches"),
        ([], ValueError, "at least one path"),
        (["a.sdf", b"b.sdf"], TypeError, "one kind"),
    ],
)
def test_bad_paths(tmp_path, monkeypatch, paths, error, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "a.sdf").write_text("t\n$$$$\n")
    (tmp_path / "b.sdf").write_text("t\n$$$$\n")
    with pytest.raises(error, match=message):
        molbrook.dask.read_sdf(paths)


def test_dask_is_imported_only_when_asked_for(monkeypatch):
    done = subprocess.run([sys.executable, "-c", "import sys, molbrook; print('dask' in sys.modules)"],
                          capture_output=True, text=True, check=True)
    assert done.stdout.strip() == "False"
    monkeypatch.setitem(sys.modules, "dask", None)
    with pytest.raises(ImportError, match=r"molbrook\[dask\]"):
        molbrook.dask.read_sdf("x.sdf")



def test_a_failed_to_sdf_waits_for_the_other_writes_and_removes_their_files(tmp_path, monkeypatch):
    real = molbrook.dask.write_table

    def slow_but_the_first(part, path, **options):
        if not path.endswith("0.sdf"):
            time.sleep(0.3)  # still writing when the first has failed
        return real(part, path, **options)

    monkeypatch.setattr(molbrook.dask, "write_table", slow_but_the_first)
    (tmp_path / "out-0.sdf").write_text("from before\n")  # its write fails, so it stays as it was
    values = ["a\n\nb"] + [f"v{i}" for i in range(1, 8)]  # a blank line in a value cannot be written
    frame = dd.from_pandas(pd.DataFrame({"V": values}), npartitions=8)
    with dask.config.set(scheduler="threads", num_workers=4), pytest.raises(ValueError):
        molbrook.dask.to_sdf(frame, str(tmp_path / "out-*.sdf"))
    time.sleep(0.6)  # time for writes left running to end
    assert os.listdir(tmp_path) == ["out-0.sdf"] and (tmp_path / "out-0.sdf").read_text() == "from before\n"
