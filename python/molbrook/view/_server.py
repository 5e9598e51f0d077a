"""The HTTP side of `molbrook view`: the standard library's threaded
server, answering only requests that carry its token, with the page and
its assets from this package's static/ folder and the JSON interface
under /api/."""

from __future__ import annotations

import secrets
import socket
import sys
import traceback
from collections.abc import Iterable, Mapping
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from urllib.parse import parse_qs, unquote, urlsplit

from molbrook.view import _api
from molbrook.view._api import Answer
from molbrook.view._files import ViewedFile

TOKEN_HEADER = "X-Molbrook-Token"
_TOKEN_MARK = b"__TOKEN__"  # where the page names its assets, replaced by the token
_TYPES = {
    ".html": "text/html; charset=utf-8",
    ".css": "text/css; charset=utf-8",
    ".js": "text/javascript; charset=utf-8",
}
# Scripts and styles only from the server, never inline: a value that got
# into the page as markup still could not run.
_HEADERS = (
    (
        "Content-Security-Policy",
        "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
        "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'",
    ),
    ("X-Content-Type-Options", "nosniff"),
    ("Referrer-Policy", "no-referrer"),
    ("Cache-Control", "no-store"),
)


def static_files(folder: Path) -> dict[str, tuple[bytes, str]]:
    """The page's assets by name: the regular files of `folder` (no links,
    no subfolders), read once."""
    return {
        path.name: (path.read_bytes(), _TYPES.get(path.suffix, "application/octet-stream"))
        for path in folder.iterdir()
        if path.is_file() and not path.is_symlink()
    }


class ViewServer(ThreadingHTTPServer):
    """Serves `files` (by the names they were given as) to requests that
    carry `token`.

    >>> server = ViewServer(("127.0.0.1", 0), {f.name: f for f in files})
    >>> server.url("127.0.0.1")
    'http://127.0.0.1:40123/?token=...'
    """

    daemon_threads = True  # a request still running does not hold up Ctrl-C

    def __init__(self, address: tuple[str, int], files: Mapping[str, ViewedFile], token: str | None = None) -> None:
        self.address_family = socket.AF_INET6 if ":" in address[0] else socket.AF_INET
        super().__init__(address, _Handler)
        self.files = files
        self.token = token or secrets.token_urlsafe(24)
        self.assets = static_files(Path(__file__).with_name("static"))

    def url(self, host: str) -> str:
        shown = f"[{host}]" if ":" in host else host
        return f"http://{shown}:{self.server_address[1]}/?token={self.token}"


class _Handler(BaseHTTPRequestHandler):
    server: ViewServer
    server_version = "molbrook-view"
    protocol_version = "HTTP/1.1"

    def do_GET(self) -> None:
        try:
            self._send(self._answer())
        except (BrokenPipeError, ConnectionResetError):
            pass  # the browser went away
        except Exception:  # a fault of ours: said to the browser and on standard error, the server goes on
            traceback.print_exc(file=sys.stderr)
            self._send(_api.as_json({"error": "internal error: see the server's output"}, 500))

    def _answer(self) -> Answer:
        url = urlsplit(self.path)
        params = parse_qs(url.query, keep_blank_values=True)
        if not self._authorized(params.pop("token", [])):
            return _api.as_json({"error": "a token is needed: open the URL that molbrook view printed"}, 403)
        path = unquote(url.path)
        if path == "/":
            page, kind = self.server.assets["index.html"]
            return Answer(200, kind, page.replace(_TOKEN_MARK, self.server.token.encode("ascii")))
        if path.startswith("/api/"):
            return _api.answer(self.server.files, path[len("/api/") :], params)
        asset = self.server.assets.get(path[len("/static/") :]) if path.startswith("/static/") else None
        if asset is None:
            return _api.as_json({"error": "not found"}, 404)
        return Answer(200, asset[1], asset[0])

    def _authorized(self, given: Iterable[str]) -> bool:
        header = self.headers.get(TOKEN_HEADER)
        offered = [*given, *([header] if header is not None else [])]
        return any(secrets.compare_digest(value.encode(), self.server.token.encode()) for value in offered)

    def _send(self, answer: Answer) -> None:
        self.send_response(answer.status)
        for name, value in (*_HEADERS, *answer.headers):
            self.send_header(name, value)
        self.send_header("Content-Type", answer.content_type)
        self.send_header("Content-Length", str(len(answer.body)))
        self.end_headers()
        self.wfile.write(answer.body)

    def log_message(self, format: str, *args: object) -> None:
        """Quiet: a line per request would bury the URL, and would print the token."""
