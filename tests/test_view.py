"""`molbrook view`, started as users start it: its JSON interface over HTTP,
and its page in headless Chromium driven by Selenium."""

from __future__ import annotations

import http.client
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path
from typing import NamedTuple
from urllib.parse import urlencode, urlsplit

import pytest

from conftest import CLI_FROM_A_SHELL, CORPUS, UNDER_ASAN
from molbrook import parse_sdf

ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(
    os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p))
ENERGY = "r_mmffld_Potential_Energy-OPLS_2005"  # a number on every block of cdk2.sdf
SCRIPT, MARKUP = "<script>alert(1)</script>", '"><img src=x onerror=alert(1)>'
HOSTILE = f"""{SCRIPT}
  hostile

  2  1  0  0  0  0            999 V2000
    0.0000    0.0000    0.0000 C   0  0  0  0  0  0  0  0  0  0  0  0
    1.5000    0.0000    0.0000 O   0  0  0  0  0  0  0  0  0  0  0  0
  1  2  1  0
M  END
> <id>
{SCRIPT}

> <{MARKUP}>
{MARKUP}

$$$$
second
  hostile

  0  0  0  0  0  0            999 V2000
M  END
> <id>
K-2

$$$$
""".encode()


class Served(NamedTuple):
    folder: Path
    port: int
    token: str

    def get(self, path: str, token: bool = True, **params: object) -> tuple[int, dict[str, str], bytes]:
        query = urlencode({**params, **({"token": self.token} if token else {})}, doseq=True)
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            connection.request("GET", f"{path}?{query}" if query else path)
            response = connection.getresponse()
            return response.status, dict(response.getheaders()), response.read()
        finally:
            connection.close()

    def page(self, **params: object) -> dict:
        status, _, body = self.get("/api/blocks", **params)
        assert status == 200, body
        return json.loads(body)


def molbrook(*args: object, **options) -> subprocess.Popen:
    return subprocess.Popen([*CLI_FROM_A_SHELL, *map(str, args)], env=ENV, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, **options)


def take(folder: Path, name: str, *ordinals: int) -> bytes:
    with molbrook("take", name, *ordinals, cwd=folder) as process:
        out, _ = process.communicate()
    assert process.returncode == 0
    return out


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    source = CORPUS / "rdkit-data" / "cdk2.sdf"
    if not source.exists():
        pytest.skip(f"no corpus file {source}")
    folder = tmp_path_factory.mktemp("view")
    shutil.copy(source, folder / "cdk2.sdf")
    (folder / "hostile.sdf").write_bytes(HOSTILE)
    (folder.parent / "outside.sdf").write_bytes(source.read_bytes())
    (folder / "link.sdf").symlink_to(folder.parent / "outside.sdf")
    with molbrook("view", "--no-browser", "--key", "id", "cdk2.sdf", "hostile.sdf", cwd=folder) as process:
        url = urlsplit(process.stdout.readline().decode().strip())
        assert url.hostname == "127.0.0.1" and url.query.startswith("token=")
        yield Served(folder, url.port, url.query[len("token="):])
        process.terminate()
        assert process.wait(timeout=10) == 0


@pytest.fixture(scope="module")
def cdk2(served):
    return list(parse_sdf(os.fsencode(served.folder / "cdk2.sdf")))


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_runs_until_stopped_then_exits_0(served, signum):
    with molbrook("view", "--no-browser", "cdk2.sdf", cwd=served.folder) as process:
        assert process.stdout.readline().startswith(b"http://127.0.0.1:")
        process.send_signal(signum)
        assert process.wait(timeout=10) == 0
        assert b"Traceback" not in process.stderr.read()


def test_what_cannot_be_served_is_said(served):
    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        for args, message in [(["nosuch.sdf"], b"molbrook: nosuch.sdf: No such file"),
                              (["cdk2.sdf", "cdk2.sdf"], b"a file is given twice"),
                              (["--port", busy.getsockname()[1], "cdk2.sdf"], b"Address already in use")]:
            with molbrook("view", "--no-browser", *args, cwd=served.folder) as process:
                out, err = process.communicate(timeout=30)
            assert (process.returncode, out) == (2, b"") and message in err


@pytest.mark.parametrize("path", ["/", "/static/view.js", "/api/info", "/api/block?file=cdk2.sdf&ordinal=0",
                                  "/no/such/thing"])
def test_every_request_needs_the_token(served, path):
    assert served.get(path, token=False)[0] == 403
    assert served.get(path + ("&" if "?" in path else "?") + "token=wrong", token=False)[0] == 403


def test_the_token_may_come_as_a_header(served):
    connection = http.client.HTTPConnection("127.0.0.1", served.port, timeout=30)
    connection.request("GET", "/api/info", headers={"X-Molbrook-Token": served.token})
    assert connection.getresponse().status == 200
    connection.close()


@pytest.mark.parametrize("path, params", [
    ("/static/../_server.py", {}),
    ("/static/%2e%2e/%2e%2e/cli/view.py", {}),
    ("/static/", {}),
    ("/../../etc/passwd", {}),
    ("/api/block", {"file": "../view0/cdk2.sdf", "ordinal": 0}),
    ("/api/block", {"file": "/etc/passwd", "ordinal": 0}),
    ("/api/block", {"file": "link.sdf", "ordinal": 0}),  # a link out of the given files
    ("/api/download", {"file": ".", "ordinals": "0"}),
    ("/api/block", {"file": "cdk2.sdf", "ordinal": 47}),
])
def test_nothing_outside_the_given_files(served, path, params):
    assert served.get(path, **params)[0] == 404


def test_an_absolute_path_is_not_a_given_name(served):
    assert served.get("/api/block", file=str(served.folder / "cdk2.sdf"), ordinal=0)[0] == 404


def test_block_and_download_are_byte_for_byte_as_take(served):
    status, headers, body = served.get("/api/download", file="cdk2.sdf", ordinals="1,5,9")
    assert status == 200 and "attachment" in headers["Content-Disposition"]
    assert body == take(served.folder, "cdk2.sdf", 1, 5, 9)
    assert served.get("/api/block", file="cdk2.sdf", ordinal=5)[2] == take(served.folder, "cdk2.sdf", 5)


def test_info_lists_files_counts_and_names(served):
    files = json.loads(served.get("/api/info")[2])["files"]
    assert [(f["name"], f["blocks"], f["key"]) for f in files] == [("cdk2.sdf", 47, "id"), ("hostile.sdf", 2, "id")]
    assert ENERGY in files[0]["names"] and MARKUP in files[1]["names"]


def energy(block) -> float:
    return float(block.get(ENERGY.encode()))


@pytest.mark.parametrize("query, expected", [
    ({}, lambda bs: range(len(bs))),
    ({"sort": f"{ENERGY}:n"}, lambda bs: sorted(range(len(bs)), key=lambda i: energy(bs[i]))),
    ({"sort": f"{ENERGY}:nr"}, lambda bs: sorted(range(len(bs)), key=lambda i: -energy(bs[i]))),
    ({"where": "Cluster=1"}, lambda bs: [i for i, b in enumerate(bs) if b.get(b"Cluster") == b"1"]),
    ({"where": ["Cluster<3", f"{ENERGY}<-100"], "sort": "@title:r"},
     lambda bs: sorted((i for i, b in enumerate(bs) if float(b[b"Cluster"]) < 3 and energy(b) < -100),
                       key=lambda i: bs[i].title, reverse=True)),
    ({"q": "ZINC03814457"}, lambda bs: [0]),
    ({"q": "no such key"}, lambda bs: []),
])
def test_pages_in_the_order_asked(served, cdk2, query, expected):
    wanted = list(expected(cdk2))
    pages = [served.page(file="cdk2.sdf", start=start, count=20, **query) for start in (0, 20, 40)]
    assert all(page["total"] == len(wanted) for page in pages)
    assert [block["ordinal"] for page in pages for block in page["blocks"]] == wanted
    first = pages[0]["blocks"][:1]
    assert all(b["title"] == cdk2[b["ordinal"]].title.decode() and b["svg"].startswith("<svg") for b in first)


def test_search_finds_by_key_as_well_as_title(served):
    assert [b["ordinal"] for b in served.page(file="hostile.sdf", q="K-2")["blocks"]] == [1]
    assert [b["ordinal"] for b in served.page(file="hostile.sdf", q="second")["blocks"]] == [1]


@pytest.mark.parametrize("params, message", [
    ({"sort": "Energy:n"}, "no block has a record named 'Energy'"),
    ({"sort": "Cluster:x"}, "the flags after ':'"),
    ({"where": "Cluster<big"}, "not a number"),
    ({"count": "many"}, "count must be a whole number"),
])
def test_bad_queries_say_why(served, params, message):
    status, _, body = served.get("/api/blocks", file="cdk2.sdf", **params)
    assert status == 400 and message in json.loads(body)["error"]


def test_markup_in_values_is_data(served):
    status, headers, body = served.get("/api/blocks", file="hostile.sdf")
    assert status == 200 and headers["Content-Type"] == "application/json"
    assert headers["X-Content-Type-Options"] == "nosniff"
    assert "script-src 'self';" in headers["Content-Security-Policy"] and "unsafe" not in headers["Content-Security-Policy"]
    block = json.loads(body)["blocks"][0]
    assert block["title"] == SCRIPT and block["records"] == [["id", SCRIPT], [MARKUP, MARKUP]]


# The page in a real browser.

def browser_missing() -> str | None:
    missing = [name for name in ("chromium", "chromedriver") if shutil.which(name) is None]
    if missing:
        return f"{' and '.join(missing)} not installed (.ci/browser-deps installs them)"
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "selenium not installed (the test extra)"
    return None


@pytest.fixture(scope="module")
def browser(served, tmp_path_factory):
    # Chromium does not start with the sanitizer runtime preloaded into it.
    reason = "Chromium under a preloaded AddressSanitizer" if UNDER_ASAN else browser_missing()
    if reason:
        pytest.skip(reason)
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    downloads = tmp_path_factory.mktemp("downloads")
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1000"):
        options.add_argument(argument)
    options.add_experimental_option("prefs", {"download.default_directory": str(downloads),
                                              "download.prompt_for_download": False})
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(options=options, service=Service(shutil.which("chromedriver")))
    driver.downloads = downloads
    yield driver
    driver.quit()


class Page:
    """The page as a user sees it, waiting for each load to end."""

    def __init__(self, driver, served: Served, file: str = "cdk2.sdf") -> None:
        from selenium.webdriver.common.by import By
        from selenium.webdriver.support.ui import Select

        self.driver, self.by = driver, By
        driver.get(f"http://127.0.0.1:{served.port}/?token={served.token}")
        self.settle()
        if file != "cdk2.sdf":
            Select(self.find("#file")).select_by_value(file)
            self.settle()

    def find(self, selector: str, every: bool = False):
        return (self.driver.find_elements if every else self.driver.find_element)(self.by.CSS_SELECTOR, selector)

    def settle(self) -> None:
        from selenium.webdriver.support.ui import WebDriverWait

        WebDriverWait(self.driver, 30).until(
            lambda d: d.execute_script("return document.readyState === 'complete' && !document.body.dataset.busy"
                                       " && (document.querySelector('#page').textContent !== '')"))

    def act(self, selector: str, keys: str | None = None) -> None:
        from selenium.webdriver.common.keys import Keys

        element = self.find(selector)
        if keys is None:
            element.click()
        else:
            element.clear()
            element.send_keys(keys + Keys.ENTER)
        time.sleep(0.05)  # the load starts on the event
        self.settle()

    def ordinals(self, selector: str = ".card") -> list[int]:
        return [int(e.get_attribute("data-ordinal")) for e in self.find(selector, every=True)]

    def text(self, selector: str) -> str:
        return self.find(selector).get_property("textContent")


def test_grid_pages_through_the_file(served, cdk2, browser):
    page = Page(browser, served)
    cards = page.find(".card", every=True)
    assert page.ordinals() == list(range(24))
    assert [c.find_element(page.by.CSS_SELECTOR, ".title").text for c in cards] == [b.title.decode() for b in cdk2[:24]]
    assert all(c.find_elements(page.by.TAG_NAME, "svg") for c in cards)
    artifacts = Path(os.environ.get("MOLBROOK_ARTIFACTS", Path(__file__).resolve().parents[1] / "build" / "artifacts"))
    artifacts.mkdir(parents=True, exist_ok=True)
    browser.save_screenshot(str(artifacts / "view-grid.png"))
    page.act("#next")
    assert page.ordinals() == list(range(24, 47)) and page.find("#next").get_property("disabled")


def test_table_sorts_by_a_numeric_record(served, cdk2, browser):
    page = Page(browser, served)
    page.act("#show-table")
    page.act(f'th[data-name="{ENERGY}"]')
    ascending = sorted(range(len(cdk2)), key=lambda i: energy(cdk2[i]))
    assert page.ordinals("#table tbody tr") == ascending[:24]
    page.act(f'th[data-name="{ENERGY}"]')
    assert page.ordinals("#table tbody tr") == ascending[::-1][:24]


def test_search_and_filter(served, cdk2, browser):
    page = Page(browser, served)
    page.act("input[type=search]", cdk2[7].get(b"id").decode())
    assert page.ordinals() == [7]
    page.act("input[type=search]", "")
    page.act("#filter", "Cluster=1")
    assert page.ordinals() == [i for i, b in enumerate(cdk2) if b.get(b"Cluster") == b"1"]


def test_detail_shows_the_exact_text(served, browser):
    page = Page(browser, served)
    page.find('.card[data-ordinal="3"] .title').click()
    expected = take(served.folder, "cdk2.sdf", 3).decode()
    from selenium.webdriver.support.ui import WebDriverWait

    WebDriverWait(browser, 10).until(lambda d: page.text("#detail-text") == expected)


def test_download_of_ticked_cards_is_take(served, browser):
    page = Page(browser, served)
    for ordinal in (5, 2):
        page.find(f'.card[data-ordinal="{ordinal}"] input.pick').click()
    assert page.text("#picked") == "2"
    page.act("#download")
    deadline = time.monotonic() + 20
    while not list(browser.downloads.glob("*.sdf")) and time.monotonic() < deadline:
        time.sleep(0.1)
    [saved] = browser.downloads.glob("*.sdf")
    assert saved.read_bytes() == take(served.folder, "cdk2.sdf", 2, 5)


def test_markup_in_a_file_runs_nothing(served, browser):
    from selenium.common.exceptions import NoAlertPresentException

    browser.get_log("browser")  # what earlier pages logged
    page = Page(browser, served, "hostile.sdf")
    assert page.text('.card[data-ordinal="0"] .title') == SCRIPT
    page.find("#shown summary").click()
    for box in page.find("#shown-names input", every=True):
        if not box.is_selected():
            box.click()
    assert [e.get_property("textContent") for e in page.find('.card[data-ordinal="0"] dd', every=True)] == [SCRIPT, MARKUP]
    page.act("#show-table")
    assert MARKUP in [e.get_property("textContent") for e in page.find("#table th", every=True)]
    page.find('#table tr[data-ordinal="0"]').click()
    time.sleep(0.3)
    assert MARKUP in page.text("#detail-text")
    assert not page.find("img", every=True) and not page.find("main script", every=True)
    with pytest.raises(NoAlertPresentException):
        browser.switch_to.alert.text
    assert [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE"] == []


def test_a_saved_grid_shows_every_card_and_runs_nothing(served, cdk2, browser, tmp_path):
    from selenium.common.exceptions import NoAlertPresentException

    from molbrook import grid

    shown = cdk2 + list(parse_sdf(os.fsencode(served.folder / "hostile.sdf")))
    path = tmp_path / "grid.html"
    grid(shown, names=[ENERGY, MARKUP]).save(path)
    browser.get_log("browser")  # what earlier pages logged
    browser.get(path.as_uri())
    cards = browser.find_elements("css selector", "[data-ordinal]")
    assert [int(c.get_attribute("data-ordinal")) for c in cards] == list(range(len(shown)))
    assert all(c.find_elements("tag name", "svg") for c in cards)
    assert SCRIPT in cards[-2].text and not browser.find_elements("tag name", "img")
    with pytest.raises(NoAlertPresentException):
        browser.switch_to.alert.text
    assert [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE"] == []
