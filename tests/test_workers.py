"""read_table and scan_table on several threads: the same table as one
thread, row and column order and errors included."""

import gzip
import os
import threading

import pyarrow as pa
import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import corpus_params
from molbrook import MalformedRecordError, _bgzf, _parallel, _table, _testcore, read_table, scan_table

MOL = "t{}\n  prog\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n"


@pytest.fixture
def small_ranges(monkeypatch):
    """Ranges of a few hundred bytes, so that small files are cut too; the
    ranges read are counted."""
    monkeypatch.setattr(_parallel, "MIN_PIECE", 300)
    monkeypatch.setattr(_parallel, "MAX_PIECE", 2000)
    read = []
    real = _table._read_piece

    def counted(piece, *args):
        read.append(piece)
        return real(piece, *args)

    monkeypatch.setattr(_table, "_read_piece", counted)
    return read


def sample(tmp_path, blocks=60, bad_at=None, bgzf=False):
    """Blocks whose record names first appear at different places, so that
    the column order depends on reading all of them in order."""
    text = ""
    for i in range(blocks):
        records = [(f"N{i % 7}", str(i)), ("ALL", f"{i}.5")] + [(f"LATE{i}", "x")] * (i % 20 == 19)
        body = "".join(f"> <{name}>\n{value}\n\n" for name, value in records)
        text += MOL.format(i) + (body if i != bad_at else "> broken\n1\n\n") + "$$$$\n"
    path = tmp_path / ("sample.sdf.gz" if bgzf else "sample.sdf")
    with _bgzf.BgzfWriter(open(path, "wb")) if bgzf else open(path, "wb") as out:
        out.write(text.encode())
    return path


def arrow_of_scan(scan):
    return pa.Table.from_batches(list(pa.RecordBatchReader.from_stream(scan)))


@pytest.mark.parametrize("bgzf", [False, True], ids=["plain", "bgzf"])
@pytest.mark.parametrize("kind", [str, bytes])
@pytest.mark.parametrize("options", [{}, {"title": "t", "types": {"ALL": float}}, {"names": ["ALL", "N3", "NONE"]},
                                     {"molblock": "m", "block": "b", "names": ["ALL"]}])
def test_threads_give_the_table_of_one_thread(tmp_path, small_ranges, kind, options, bgzf):
    path = kind(sample(tmp_path, bgzf=bgzf))
    one = pa.table(read_table(path, workers=1, **options))
    assert not small_ranges
    for workers in (2, 3):
        assert pa.table(read_table(path, workers=workers, **options)).equals(one)
        assert arrow_of_scan(scan_table(path, workers=workers, batch_rows=7, **options)).equals(one)
        rows = [row for batch in scan_table(path, workers=workers, batch_rows=7, **options)
                for row in pa.table(batch).to_pylist()]
        assert rows == one.to_pylist()
    assert len(set(small_ranges)) > 5
    # A BGZF file is cut by an index built in memory: nothing is written beside it.
    assert os.listdir(tmp_path) == [os.path.basename(os.fsdecode(path))]


@pytest.mark.parametrize("path", corpus_params())
def test_corpus_files(path, small_ranges, monkeypatch):
    monkeypatch.setattr(_parallel, "MIN_PIECE", 20_000)
    monkeypatch.setattr(_parallel, "MAX_PIECE", 200_000)
    for source in (str(path), bytes(path)):
        try:
            one = pa.table(read_table(source, workers=1, title="t"))
        except (MalformedRecordError, UnicodeDecodeError) as error:
            with pytest.raises(type(error)):
                read_table(source, workers=2, title="t")
            continue
        assert pa.table(read_table(source, workers=2, title="t")).equals(one)


def test_errors_are_those_of_one_thread(tmp_path, small_ranges):
    path = str(sample(tmp_path, bad_at=41))
    raised = []
    for read in (lambda w: read_table(path, workers=w), lambda w: list(scan_table(path, workers=w, batch_rows=5))):
        for workers in (1, 3):
            with pytest.raises(MalformedRecordError) as error:
                read(workers)
            raised.append((str(error.value), error.value.__notes__))
    assert all(error == raised[0] for error in raised) and "block 41 (from 0)" in raised[0][1][0]


def test_sources_read_on_one_thread(tmp_path, small_ranges):
    path = sample(tmp_path)
    packed = tmp_path / "sample.sdf.gz"
    packed.write_bytes(gzip.compress(path.read_bytes()))
    with open(path) as file:
        tables = [read_table(packed, workers=2), read_table(file, workers=2), read_table(path, workers=1)]
    assert not small_ranges
    assert all(table.to_pydict() == tables[0].to_pydict() for table in tables)


@given(st.integers(0, 1 << 40), st.integers(1, 64))
def test_pieces_come_in_whole_rounds_of_the_threads(size, workers):
    """No thread is left reading a last piece alone while the others wait
    (500 MB on two threads once made nine pieces)."""
    ranges = _parallel.byte_ranges(size, _parallel.piece_size(size, workers))
    assert ranges[0][0] == 0 and ranges[-1][1] == size
    assert all(end == start for (_, end), (start, _) in zip(ranges, ranges[1:]))
    if size >= workers * _parallel.MIN_PIECE:
        assert len(ranges) % workers == 0
    if len(ranges) > 1:
        assert all(_parallel.MIN_PIECE <= end - start <= _parallel.MAX_PIECE for start, end in ranges)


@pytest.mark.parametrize("workers", [0, -1, True, 1.5, "2"])
def test_bad_worker_counts(tmp_path, workers):
    path = sample(tmp_path, blocks=1)
    for call in (read_table, scan_table):
        with pytest.raises(ValueError, match="workers"):
            call(path, workers=workers)


def test_closing_a_scan_part_way(tmp_path, small_ranges):
    path = sample(tmp_path, blocks=200)
    with scan_table(path, workers=2, batch_rows=3) as scan:
        first = next(scan)
    assert first.num_rows == 3
    assert len(small_ranges) < 20  # read ahead a few ranges only


def test_names_shown_alike_are_read_on_one_thread(tmp_path, small_ranges):
    # Two bytes names that show as one column name cannot be joined by
    # name: the file is read again on one thread.
    blocks = [MOL.format(i) + ("> <caf\\xe9>\n1\n\n" if i < 30 else "> <caf\xe9>\n2\n\n") + "$$$$\n"
              for i in range(60)]
    path = tmp_path / "alike.sdf"
    path.write_bytes("".join(blocks).encode("latin-1"))
    one = pa.table(read_table(bytes(path), workers=1))
    assert one.column_names == ["caf\\xe9", "caf\\xe9"]
    assert pa.table(read_table(bytes(path), workers=2)).equals(one)
    assert small_ranges


@pytest.mark.parametrize("workers", [1, 2])
def test_a_scan_iterated_from_several_threads_raises_and_loses_no_rows(tmp_path, small_ranges, workers):
    path = sample(tmp_path, blocks=600)
    scan = scan_table(path, ["ALL"], workers=workers, batch_rows=3)
    rows, errors = [], []

    def iterate():
        while True:
            try:
                batch = next(scan)
            except StopIteration:
                return
            except RuntimeError as error:
                errors.append(str(error))
                continue
            rows.extend(batch.to_pydict()["ALL"])

    threads = [threading.Thread(target=iterate) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert sorted(rows) == sorted(f"{i}.5" for i in range(600))
    assert all(error.startswith("Already borrowed: the table reader") for error in errors)


@given(st.lists(st.one_of(st.none(), st.binary(max_size=40)), max_size=30), st.data())
def test_a_columns_type_does_not_depend_on_its_batches(cells, data):
    cuts = sorted(data.draw(st.lists(st.integers(0, len(cells)), max_size=5)))
    chunks = [cells[start:end] for start, end in zip([0, *cuts], [*cuts, len(cells)])]
    limit = data.draw(st.integers(0, 300))
    large = sum(len(cell) for cell in cells if cell is not None) > limit
    assert _testcore.large_column([cells], limit, False) is large
    assert _testcore.large_column(chunks, limit, False) is large  # one thread's batches
    assert _testcore.large_column(chunks, limit, True) is large  # tables of ranges, joined
