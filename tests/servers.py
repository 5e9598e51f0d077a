"""Servers on 127.0.0.1 for the remote tests: an HTTP server of objects held
in memory that honours Range and If-Match (or, asked to, ignores Range, or
drops the connection part way), and an S3-compatible one (moto); both count the
requests they answer and the body bytes they send."""

from __future__ import annotations

import hashlib
import re
import socket
import threading
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

_RANGE = re.compile(r"bytes=(\d+)-(\d*)")


@dataclass
class Request:
    method: str
    path: str
    range: str | None
    sent: int = 0


@dataclass
class Counts:
    requests: list[Request] = field(default_factory=list)
    lock: threading.Lock = field(default_factory=threading.Lock)

    def add(self, request: Request) -> Request:
        with self.lock:
            self.requests.append(request)
        return request

    def clear(self) -> None:
        with self.lock:
            self.requests.clear()

    def gets(self, path: str | None = None) -> list[Request]:
        """GETs (of `path` only: a stream closed by an earlier reader may
        still finish its last request)."""
        return [r for r in self.requests if r.method == "GET" and path in (None, r.path)]

    def heads(self, path: str | None = None) -> list[Request]:
        return [r for r in self.requests if r.method == "HEAD" and path in (None, r.path)]

    def sent(self) -> int:
        return sum(r.sent for r in self.requests)


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


class HttpServer:
    """Objects by path; `ranges=False` answers every GET whole (200);
    `weak=True` gives weak ETags;
    `drop_after` cuts each body after that many bytes; `after_get` is
    called once each GET's answer is made, before its body is sent (so
    that the next request sees what it did)."""

    def __init__(self) -> None:
        self.objects: dict[str, bytes] = {}
        self.counts = Counts()
        self.ranges = True
        self.weak = False
        self.drop_after: int | None = None
        self.after_get: Any = None
        server = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args: Any) -> None:
                pass

            def do_HEAD(self) -> None:
                server._answer(self, head=True)

            def do_GET(self) -> None:
                server._answer(self, head=False)

        self._httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._httpd.daemon_threads = True
        self.url = f"http://127.0.0.1:{self._httpd.server_address[1]}"
        threading.Thread(target=self._httpd.serve_forever, daemon=True).start()

    def _answer(self, handler: BaseHTTPRequestHandler, head: bool) -> None:
        wanted = handler.headers.get("Range")
        record = self.counts.add(Request(handler.command, handler.path, wanted))
        data = self.objects.get(handler.path.split("?")[0])
        if data is None:
            handler.send_response(404)
            handler.send_header("Content-Length", "0")
            handler.end_headers()
            return
        etag = ("W/" if self.weak else "") + '"' + hashlib.md5(data).hexdigest() + '"'
        if_match = handler.headers.get("If-Match")
        if if_match is not None and (self.weak or if_match != etag):  # If-Match compares strong ETags
            handler.send_response(412)
            handler.send_header("Content-Length", "0")
            handler.end_headers()
            return
        status, body = 200, data
        match = _RANGE.fullmatch(wanted or "")
        if match and self.ranges and not head:
            start = int(match.group(1))
            end = min(int(match.group(2)) + 1 if match.group(2) else len(data), len(data))
            status, body = 206, data[start:end]
            handler.send_response(status)
            handler.send_header("Content-Range", f"bytes {start}-{end - 1}/{len(data)}")
        else:
            handler.send_response(status)
        handler.send_header("Content-Length", str(len(body)))
        handler.send_header("ETag", etag)
        handler.send_header("Accept-Ranges", "bytes" if self.ranges else "none")
        handler.end_headers()
        if head:
            return
        # Counted before it is sent: the client may check the counts as
        # soon as it has the body.
        if self.drop_after is not None and len(body) > self.drop_after:
            record.sent = self.drop_after
            handler.wfile.write(body[:self.drop_after])
            handler.close_connection = True
            handler.wfile.flush()
            handler.connection.shutdown(socket.SHUT_RDWR)
            return
        if self.after_get is not None:
            self.after_get()
        record.sent = len(body)
        handler.wfile.write(body)

    def stop(self) -> None:
        self._httpd.shutdown()
        self._httpd.server_close()


class S3Server:
    """moto's S3 on a free port, its WSGI app wrapped to count requests;
    `after_get` is called once each GET's answer is made, before it is
    sent (so that the next request sees what it did)."""

    def __init__(self) -> None:
        from moto.moto_server.werkzeug_app import DomainDispatcherApplication, MotoRequestHandler, create_backend_app
        from werkzeug.serving import make_server

        self.counts = Counts()
        self.after_get: Any = None
        app = DomainDispatcherApplication(create_backend_app)
        self._server = make_server("127.0.0.1", free_port(), self._counting(app), True,
                                   request_handler=MotoRequestHandler)
        self.endpoint = f"http://127.0.0.1:{self._server.server_address[1]}"
        threading.Thread(target=self._server.serve_forever, daemon=True).start()

    def _counting(self, app: Any) -> Any:
        def counted(environ: dict[str, Any], start_response: Any) -> Any:
            record = self.counts.add(Request(environ["REQUEST_METHOD"], environ.get("PATH_INFO", ""),
                                             environ.get("HTTP_RANGE")))
            body = list(app(environ, start_response))
            record.sent = sum(len(chunk) for chunk in body)
            if record.method == "GET" and self.after_get is not None:
                self.after_get()
            yield from body
        return counted

    def make_bucket(self, name: str) -> None:
        import boto3

        boto3.client("s3", endpoint_url=self.endpoint, aws_access_key_id="testing", aws_secret_access_key="testing",
                     region_name="us-east-1").create_bucket(Bucket=name)

    def options(self) -> dict[str, Any]:
        return {"key": "testing", "secret": "testing", "client_kwargs": {"endpoint_url": self.endpoint,
                                                                         "region_name": "us-east-1"}}

    def stop(self) -> None:
        self._server.shutdown()
