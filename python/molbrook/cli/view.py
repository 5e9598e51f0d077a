"""`molbrook view`: the given SD files in the browser, served on this
machine until Ctrl-C or SIGTERM."""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import sys
import time
import webbrowser
from collections.abc import Iterator

from molbrook._index import SUFFIX
from molbrook._types import TITLE
from molbrook.cli.errors import UsageError, no_record_named, warn
from molbrook.cli.index import open_index
from molbrook.cli.options import Command, Parser
from molbrook.native import SDIndex

# Signals that stop the server as Ctrl-C does; Windows has no SIGHUP.
_STOPPING = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP") if hasattr(signal, name))


def configure(parser: Parser) -> None:
    parser.add_argument(
        "files",
        nargs="+",
        metavar="FILE",
        help="the SD files: plain, or BGZF (as molbrook writes .gz files); only these are served",
    )
    parser.add_argument(
        "-k",
        "--key",
        metavar="NAME",
        help="the search box finds blocks by the value of record NAME too (always by title)",
    )
    parser.add_argument(
        "--host", default="127.0.0.1", help="the address to listen on (default 127.0.0.1: this machine only)"
    )
    parser.add_argument("--port", type=int, default=0, help="the port (default: a free one)")
    parser.add_argument("--no-browser", action="store_true", help="print the URL without opening a browser")


def run(args: argparse.Namespace) -> int:
    from molbrook.view import ViewedFile, ViewServer  # here, for a quicker start of the other commands

    if len(set(args.files)) < len(args.files):
        raise UsageError("a file is given twice")
    files = {}
    try:
        for name in args.files:
            titles, keyed = indexes(name, args)
            files[name] = ViewedFile(name, os.fsencode(name), titles, keyed, args.key)
        try:
            server = ViewServer((args.host, args.port), files)
        except OSError as error:
            raise UsageError(f"cannot listen on {args.host} port {args.port}: {error.strerror or error}") from None
        # Ctrl-C from the moment the URL is out ends the command as asked.
        with server, stop_on_signals(), contextlib.suppress(KeyboardInterrupt):
            url = server.url(args.host)
            print(url, flush=True)
            if not args.no_browser:
                webbrowser.open(url)
            server.serve_forever()
    finally:
        for viewed in files.values():
            viewed.close()
    return 0


def indexes(name: str, args: argparse.Namespace) -> tuple[SDIndex[bytes], SDIndex[bytes] | None]:
    """The file's index by title and, with --key, by that record; a line on
    standard error while one is built."""
    stale = index_is_stale(name)
    if stale and not args.quiet:
        print(f"molbrook view: indexing {name} ...", file=sys.stderr, flush=True)
    started = time.monotonic()
    keyed = open_index(name, argparse.Namespace(key=args.key)) if args.key is not None else None
    titles = open_index(name, argparse.Namespace(key=TITLE))
    if stale and not args.quiet:
        print(
            f"molbrook view: {name}: {len(titles):,} blocks indexed in {time.monotonic() - started:.1f} s",
            file=sys.stderr,
            flush=True,
        )
    if keyed is not None and not keyed.keys():
        from molbrook.view._files import names_seen

        warn("view", f"{name}: " + no_record_named(args.key, names_seen(titles)))
    return titles, keyed


def index_is_stale(name: str) -> bool:
    """Whether the index beside the file is missing or older than the file
    (False for a file that cannot be read: opening it says why)."""
    try:
        changed = os.stat(name).st_mtime_ns
    except OSError:
        return False
    try:
        return os.stat(name + SUFFIX).st_mtime_ns < changed
    except OSError:
        return True


@contextlib.contextmanager
def stop_on_signals() -> Iterator[None]:
    """In the block, SIGTERM and SIGHUP stop the server as Ctrl-C does (the
    command then ends with status 0); one that is ignored stays ignored."""

    def stop(signum: int, frame: object) -> None:
        raise KeyboardInterrupt

    previous = {
        signum: signal.signal(signum, stop) for signum in _STOPPING if signal.getsignal(signum) is not signal.SIG_IGN
    }
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


COMMAND = Command(
    "view",
    "the files in the browser: a grid and a table of their blocks, paged, sorted, filtered",
    "molbrook view --key ID library.sdf",
    configure,
    run,
    "Serves on 127.0.0.1 and prints the URL, with its token, on the first line of standard output. "
    "Runs until Ctrl-C or SIGTERM.",
)
