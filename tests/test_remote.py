"""SD files named by URL: read, indexed, ranged and written through fsspec,
against servers on 127.0.0.1 (tests/servers.py) and fsspec's memory store,
with the requests and bytes they serve counted."""

import dataclasses
import gzip
import re
import subprocess
import sys
from types import SimpleNamespace

import pytest

fsspec = pytest.importorskip("fsspec")
pytest.importorskip("aiohttp")

import molbrook
from molbrook import _partitions, _remote
from molbrook._parallel import MIN_PIECE, byte_ranges, piece_size
from conftest import CORPUS_FILES
from servers import HttpServer, S3Server

PIECE = _remote.PIECE
SPAN = 64 << 10


def big_sdf(size):
    """An SD file of about `size` bytes made of corpus blocks."""
    sample = b"".join(bytes(b) for b in molbrook.parse_sdf(str(CORPUS_FILES[0]).encode())) or b"t\n\n\nM  END\n$$$$\n"
    return sample * (size // len(sample) + 1)


@pytest.fixture(scope="module")
def http():
    server = HttpServer()
    yield server
    server.stop()


@pytest.fixture()
def served(http):
    """Puts bytes on the HTTP server; counts start afresh."""
    def put(name, data):
        http.objects["/" + name] = data
        http.counts.clear()
        return http.url + "/" + name
    http.ranges, http.weak, http.drop_after, http.after_get = True, False, None, None
    yield put
    http.ranges, http.weak, http.drop_after, http.after_get = True, False, None, None


@pytest.fixture(scope="module")
def s3():
    pytest.importorskip("s3fs")
    pytest.importorskip("moto")
    server = S3Server()
    fs = fsspec.filesystem("s3", **server.options())
    server.make_bucket("corpus")
    for path in CORPUS_FILES:
        fs.pipe(f"corpus/{path.parent.name}/{path.name}", path.read_bytes())
    yield server
    server.stop()


def in_memory(path, data=None):
    url = f"memory://corpus/{path.parent.name}/{path.name}"
    fsspec.filesystem("memory").pipe(url, path.read_bytes() if data is None else data)
    return url


def titles(blocks):
    return [(b.title, str(b)) for b in blocks]


@pytest.mark.parametrize("path", CORPUS_FILES, ids=lambda p: f"{p.parent.name}/{p.name}")
def test_corpus_reads_as_local(path, tmp_path):
    """Every corpus file, plain and as gzip (BGZF), reads as the local file:
    blocks, table, index lookups, and ranges cut from its index."""
    url = in_memory(path)
    local = list(molbrook.parse_sdf(str(path)))
    assert titles(molbrook.parse_sdf(url)) == titles(local)
    assert molbrook.read_table(url).to_pydict() == molbrook.read_table(str(path)).to_pydict()
    idx = molbrook.index_sdf(url, cache=tmp_path)
    assert len(idx) == len(local) and titles(idx[::7]) == titles(local[::7])
    ranged = [b for start, end in idx.ranges(3) for b in molbrook.parse_sdf_range(url, start, end)]
    assert titles(ranged) == titles(local)
    packed = tmp_path / "packed.sdf.gz"
    molbrook.write_sdf(str(packed), local)
    bgzf_url = in_memory(path, packed.read_bytes())
    assert titles(molbrook.parse_sdf(bgzf_url)) == titles(local)
    bgzf_index = molbrook.index_sdf(bgzf_url, cache=tmp_path)
    assert titles(bgzf_index.take(range(len(local))[::-3])) == titles(local[::-3])


def test_s3_reads_every_corpus_file_as_local(s3):
    options = s3.options()
    for path in CORPUS_FILES:
        url = f"s3://corpus/{path.parent.name}/{path.name}"
        assert titles(molbrook.parse_sdf(url, storage_options=options)) == titles(molbrook.parse_sdf(str(path)))


def test_whole_read_asks_in_pieces_and_reads_each_byte_once(served, http, tmp_path):
    data = big_sdf(2 * PIECE + 12345)
    url = served("big.sdf", data)
    (tmp_path / "big.sdf").write_bytes(data)
    assert titles(molbrook.parse_sdf(url)) == titles(molbrook.parse_sdf(str(tmp_path / "big.sdf")))
    sizes = [r.sent for r in http.counts.gets("/big.sdf")]
    assert len(sizes) == 2 and all(size >= PIECE for size in sizes) and sum(sizes) == len(data)


def test_index_reads_one_span_per_block_and_reopens_cheaply(store, tmp_path):
    data = big_sdf(300 << 10)
    url, counts, path = store.put("indexed.sdf", data), store.server.counts, store.path("indexed.sdf")
    built = molbrook.index_sdf(url, cache=tmp_path, storage_options=store.options)
    counts.clear()
    reopened = molbrook.index_sdf(url, cache=tmp_path, storage_options=store.options)
    gets = counts.gets(path)
    assert len(counts.heads(path)) <= 1 and len(gets) == 2 and all(r.sent <= SPAN for r in gets)
    middle = len(reopened) // 2
    expected = str(built[middle])
    counts.clear()
    assert str(reopened[middle]) == expected
    start, size = reopened.span(middle)
    assert [r.sent for r in counts.gets(path)] == [size]


def test_bgzf_block_costs_at_most_two_gets(served, http, tmp_path):
    local = tmp_path / "b.sdf.gz"
    molbrook.write_sdf(str(local), molbrook.SDBlock.from_sdf(big_sdf(600 << 10).decode("latin-1")))
    url = served("b.sdf.gz", local.read_bytes())
    idx = molbrook.index_sdf(url, cache=tmp_path)
    expected = molbrook.index_sdf(str(local), sidecar=False)
    for ordinal in (0, len(idx) // 2, len(idx) - 1):
        http.counts.clear()
        assert str(idx[ordinal]) == str(expected[ordinal])
        assert len(http.counts.gets("/b.sdf.gz")) <= 2


@pytest.mark.parametrize("cuts", [1, 3, 8])
def test_ranges_fetch_little_past_their_ends(served, http, tmp_path, cuts):
    data = big_sdf(1 << 20)
    url = served("ranged.sdf", data)
    ranges = molbrook.index_sdf(url, cache=tmp_path).ranges(cuts)
    http.counts.clear()
    read = [b for start, end in ranges for b in molbrook.parse_sdf_range(url, start, end)]
    assert titles(read) == titles(molbrook.parse_sdf(url))
    fetched = sum(r.sent for r in http.counts.gets("/ranged.sdf"))
    assert fetched <= len(data) * 1.01 + (1 << 20) * len(ranges)


def test_a_range_the_size_of_a_default_partition_costs_one_get(served, http, tmp_path):
    # Stores such as moto read the whole object for every ranged GET.
    data = big_sdf(48 << 20)
    url = served("partition.sdf", data)
    local = tmp_path / "partition.sdf"
    local.write_bytes(data)
    end = 40 << 20
    assert titles(molbrook.parse_sdf_range(url, 0, end)) == titles(molbrook.parse_sdf_range(str(local), 0, end))
    # The first 16 bytes tell the compression; then the range and one step past it.
    assert [r.sent for r in http.counts.gets("/partition.sdf")] == [16, end + _remote.FIRST_STEP]


def test_a_server_that_ignores_range_is_read_whole(served, http, tmp_path):
    data = big_sdf(200 << 10)
    url = served("norange.sdf", data)
    http.ranges = False
    local = tmp_path / "norange.sdf"
    local.write_bytes(data)
    assert titles(molbrook.parse_sdf(url)) == titles(molbrook.parse_sdf(str(local)))
    assert titles(molbrook.parse_sdf_range(url, 5000, 90000)) == titles(molbrook.parse_sdf_range(str(local), 5000, 90000))
    big = tmp_path / "big.sdf"
    big.write_bytes(big_sdf(3 * MIN_PIECE))
    url = served("norange-big.sdf", big.read_bytes())
    http.ranges = False
    assert molbrook.read_table(url, workers=2).to_pydict() == molbrook.read_table(str(big)).to_pydict()
    assert sum(r.sent for r in http.counts.gets("/norange-big.sdf")) == 2 * big.stat().st_size  # first KiB, then once


def test_faults_are_one_line_errors_naming_the_url(served, http):
    url = served("dropped.sdf", big_sdf(PIECE + 1000))
    http.drop_after = 100000
    with pytest.raises(OSError, match="dropped.sdf"):
        list(molbrook.parse_sdf(url))
    with pytest.raises(FileNotFoundError, match="missing.sdf"):
        molbrook.parse_sdf(http.url + "/missing.sdf")


def test_object_replaced_while_read_is_detected(served, http):
    url = served("replaced.sdf", big_sdf(2 * PIECE + 10))

    def replace():
        http.objects["/replaced.sdf"] = big_sdf(3 * PIECE)

    http.after_get = replace
    with pytest.raises(ValueError, match="replaced"):
        list(molbrook.parse_sdf(url))


def test_a_weak_etag_is_checked_by_info_not_by_if_match(served, http):
    """If-Match never matches a weak ETag: ranges read, replacement seen."""
    http.weak = True
    data = big_sdf(300 << 10)
    url = served("weak.sdf", data)
    assert titles(molbrook.parse_sdf_range(url, 0, len(data))) == titles(molbrook.parse_sdf(url))
    http.after_get = lambda: http.objects.update({"/weak.sdf": b"x" + data[1:]})
    with pytest.raises(ValueError, match="weak.sdf was replaced"):
        list(molbrook.parse_sdf_range(url, 0, len(data)))


def test_replaced_object_rebuilds_its_cached_index(served, http, tmp_path):
    url = served("changing.sdf", b"a\n\n\nM  END\n$$$$\n")
    assert [b.title for b in molbrook.index_sdf(url, cache=tmp_path)] == ["a"]
    served("changing.sdf", b"b\n\n\nM  END\n$$$$\nc\n\n\nM  END\n$$$$\n")
    assert [b.title for b in molbrook.index_sdf(url, cache=tmp_path)] == ["b", "c"]


def test_outputs_are_whole_or_absent(s3):
    options = s3.options()
    fs = fsspec.filesystem("s3", **options)
    table = {"ID": ["m1", "m2"]}
    assert molbrook.write_table(table, "s3://corpus/out.sdf.gz", title="ID", storage_options=options) == 2
    assert gzip.decompress(fs.cat("corpus/out.sdf.gz")).startswith(b"m1\n")

    def failing():
        yield {"ID": "x"}
        raise RuntimeError("the table failed")

    with pytest.raises(OSError, match="nobucket"):
        molbrook.write_table(table, "s3://nobucket/out.sdf", title="ID", storage_options=options)
    blocks = (b for b in molbrook.parse_sdf("s3://corpus/out.sdf.gz", storage_options=options) if 1 / 0)
    with pytest.raises(ZeroDivisionError):
        molbrook.sort_sdf(["s3://corpus/out.sdf.gz"], "s3://corpus/half.sdf", storage_options=options,
                          by=list(blocks))
    assert not fs.exists("corpus/half.sdf")


def test_sort_and_merge_read_and_write_urls():
    source = "memory://work/in.sdf"
    fsspec.filesystem("memory").pipe(source, b"b\n\n\nM  END\n$$$$\na\n\n\nM  END\n$$$$\n")
    molbrook.sort_sdf(source, "memory://work/sorted.sdf", by=molbrook.TITLE)
    assert [b.title for b in molbrook.parse_sdf("memory://work/sorted.sdf")] == ["a", "b"]
    molbrook.merge_records(source, {"T": ["a"], "X": ["1"]}, "memory://work/merged.sdf", key=molbrook.TITLE,
                           title="T")
    assert [b.get("X") for b in molbrook.parse_sdf("memory://work/merged.sdf")] == [None, "1"]


def test_cli_reads_a_url_and_says_a_missing_one_in_one_line(served, http):
    url = served("cli.sdf", b"a\n\n\nM  END\n> <X>\n1\n\n$$$$\n")
    done = subprocess.run([sys.executable, "-m", "molbrook", "stats", url], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    missing = subprocess.run([sys.executable, "-m", "molbrook", "stats", http.url + "/nothing.sdf"],
                             capture_output=True, text=True)
    assert missing.returncode == 2 and len(missing.stderr.strip().splitlines()) == 1
    assert "nothing.sdf" in missing.stderr


def test_url_rules():
    assert _remote.is_url("memory://x") and _remote.is_url("s3://b/k")
    assert not _remote.is_url("./s3://b/k") and not _remote.is_url(b"s3://b/k") and not _remote.is_url("file:///x")
    with pytest.raises(TypeError, match="storage_options"):
        molbrook.parse_sdf("local.sdf", storage_options={})


def test_dask_reads_urls_on_a_process_cluster(s3):
    distributed = pytest.importorskip("distributed")
    from molbrook import dask as molbrook_dask

    options = s3.options()
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            distributed.Client(cluster):
        for path in CORPUS_FILES[:3]:
            url = f"s3://corpus/{path.parent.name}/{path.name}"
            frame = molbrook_dask.read_sdf(url, storage_options=options, blocksize=4096).compute()
            expected = molbrook.read_table(str(path)).to_pandas()
            assert list(frame.columns) == list(expected.columns) and len(frame) == len(expected)


@pytest.mark.parametrize("path", CORPUS_FILES, ids=lambda p: f"{p.parent.name}/{p.name}")
def test_lint_and_fix_of_a_url_match_the_local_file(path, tmp_path):
    url = in_memory(path)
    assert list(molbrook.lint(url)) == [dataclasses.replace(f, path=url) for f in molbrook.lint(str(path))]
    fixed_url = f"memory://fixed/{path.parent.name}/{path.name}"
    fixed = tmp_path / "fixed.sdf"
    assert molbrook.lint_fix(url, fixed_url, unsafe=True) == molbrook.lint_fix(str(path), str(fixed), unsafe=True)
    assert fsspec.filesystem("memory").cat(fixed_url) == fixed.read_bytes()


def test_lint_fix_that_fails_part_way_leaves_no_object():
    whole = gzip.compress(big_sdf(300 << 10))
    source = "memory://work/truncated.sdf.gz"
    fsspec.filesystem("memory").pipe(source, whole[: len(whole) // 2])
    with pytest.raises(EOFError):
        molbrook.lint_fix(source, "memory://work/never.sdf")
    assert not fsspec.filesystem("memory").exists("memory://work/never.sdf")
    with pytest.raises(TypeError, match="storage_options"):
        list(molbrook.lint("local.sdf", storage_options={}))


@pytest.mark.parametrize("argv, expected", [
    (["sort", "-k", "@title", "memory://cli/in.sdf", "-o", "memory://cli/out.sdf"], ["a", "b"]),
    (["lint", "--fix", "--exit-zero", "memory://cli/in.sdf", "-o", "memory://cli/out.sdf.gz"], ["b", "a"]),
])
def test_cli_writes_a_url_given_as_output(argv, expected, capsys):
    from molbrook.cli.main import main

    fsspec.filesystem("memory").pipe("memory://cli/in.sdf", b"b\n\n\nM  END\n$$$$\na\n\n\nM  END\n$$$$\n")
    assert main(argv) == 0, capsys.readouterr().err
    assert [b.title for b in molbrook.parse_sdf(argv[-1])] == expected


@pytest.fixture(params=["http", "s3"])
def store(request, http):
    """An object store as the tests below use it: `put(name, data)` gives
    the URL, `path(name)` the path its server counts requests under."""
    if request.param == "http":
        def put(name, data):
            http.objects["/" + name] = data
            return f"{http.url}/{name}"
        server, options, prefix = http, None, "/"
    else:
        server = request.getfixturevalue("s3")
        options, prefix = server.options(), "/corpus/"
        fs = fsspec.filesystem("s3", **options)

        def put(name, data):
            fs.pipe(f"corpus/{name}", data)
            return f"s3://corpus/{name}"
    server.after_get = None
    yield SimpleNamespace(put=put, options=options, server=server, path=lambda name: prefix + name)
    server.after_get = None


def test_read_table_of_a_url_reads_its_byte_ranges_on_the_workers(store, tmp_path):
    data = big_sdf(5 * MIN_PIECE)
    local = tmp_path / "t.sdf"
    local.write_bytes(data)
    url = store.put("threads.sdf", data)
    store.server.counts.clear()
    table = molbrook.read_table(url, workers=2, storage_options=store.options)
    assert table.to_pydict() == molbrook.read_table(str(local), workers=1).to_pydict()
    gets = store.server.counts.gets(store.path("threads.sdf"))
    spans = byte_ranges(len(data), piece_size(len(data), 2))
    assert len(spans) >= 3 and len(gets) == 1 + len(spans)  # its first KiB, then a request per range
    assert sum(r.sent for r in gets) <= len(data) * 1.01 + (1 << 20) * len(spans)


def test_read_table_of_a_bgzf_url_reads_through_its_index(served, tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))
    local = tmp_path / "t.sdf.gz"
    molbrook.write_sdf(str(local), molbrook.SDBlock.from_sdf(big_sdf(3 * MIN_PIECE).decode("latin-1")))
    url = served("threads.sdf.gz", local.read_bytes())
    expected = molbrook.read_table(str(local), workers=1).to_pydict()
    assert molbrook.read_table(url, workers=2).to_pydict() == expected


def _range(url, options, cache):
    return lambda: list(molbrook.parse_sdf_range(url, 1000, 1 << 22, storage_options=options))


def _table(url, options, cache):
    return lambda: molbrook.read_table(url, workers=2, storage_options=options)


def _lookups(url, options, cache):
    idx = molbrook.index_sdf(url, cache=cache, storage_options=options)
    return lambda: [str(idx[i]) for i in (len(idx) // 3, 2 * len(idx) // 3)]


@pytest.mark.parametrize("reading", [_range, _table, _lookups])
def test_object_replaced_after_the_first_ranged_read_is_detected(store, tmp_path, reading):
    """Replaced after the first ranged GET, an object raises naming its URL
    on a later one (If-Match over HTTP, its info again over S3)."""
    data = big_sdf(3 * MIN_PIECE)
    url = store.put("replaced-ranges.sdf", data)
    read = reading(url, store.options, tmp_path)
    replaced = []

    def replace():
        if not replaced:
            replaced.append(store.put("replaced-ranges.sdf", b"x" + data[1:]))

    store.server.after_get = replace
    with pytest.raises(ValueError, match=re.escape(url) + " was replaced"):
        read()
    assert replaced


def _permission_denied(s3, monkeypatch):
    """Options of a user granted nothing, moto checking every request."""
    import boto3
    import moto.settings

    iam = boto3.client("iam", endpoint_url=s3.endpoint, aws_access_key_id="testing", aws_secret_access_key="testing",
                       region_name="us-east-1")
    if "nobody" not in [user["UserName"] for user in iam.list_users()["Users"]]:
        iam.create_user(UserName="nobody")
    key = iam.create_access_key(UserName="nobody")["AccessKey"]
    monkeypatch.setattr(moto.settings, "INITIAL_NO_AUTH_ACTION_COUNT", 0)
    return dict(s3.options(), key=key["AccessKeyId"], secret=key["SecretAccessKey"])


@pytest.mark.parametrize("url, kind, error", [
    ("s3://corpus/none.sdf", None, FileNotFoundError),
    ("s3://nobucket/x.sdf", None, FileNotFoundError),
    ("s3://corpus/" + CORPUS_FILES[0].parent.name + "/" + CORPUS_FILES[0].name, "denied", PermissionError),
    ("/none.sdf", "http", FileNotFoundError),
])
def test_missing_and_forbidden_objects_are_one_line_errors(s3, http, monkeypatch, url, kind, error):
    options = s3.options()
    if kind == "denied":
        options = _permission_denied(s3, monkeypatch)
    elif kind == "http":
        url, options = http.url + url, None
    for read in (lambda: list(molbrook.parse_sdf(url, storage_options=options)),
                 lambda: molbrook.read_table(url, workers=2, storage_options=options)):
        with pytest.raises(error) as raised:
            read()
        assert len(str(raised.value).splitlines()) == 1 and url in str(raised.value)


@pytest.mark.parametrize("kind", ["plain", "bgzf", "gzip"])
def test_partitions_of_an_object_replaced_since_it_was_cut_raise(store, tmp_path, monkeypatch, kind):
    """Each partition's read (a byte range, blocks of the BGZF index, the
    whole object) is of the object that was cut, or raises."""
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))
    data = big_sdf(300 << 10)
    if kind != "plain":
        packed = tmp_path / "p.sdf.gz"
        molbrook.write_sdf(str(packed), molbrook.SDBlock.from_sdf(data.decode("latin-1")))
        data = packed.read_bytes() if kind == "bgzf" else gzip.compress(data)
    url = store.put(f"cut.{kind}", data)
    parts = _partitions.partitions([url], 64 << 10, store.options)
    store.put(f"cut.{kind}", data + data)
    with pytest.raises(ValueError, match=re.escape(url) + " was replaced"):
        list(_partitions.blocks(parts[-1]))
