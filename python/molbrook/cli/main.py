"""The `molbrook` command: finds the command, parses its arguments (options
anywhere among them), runs it, and turns failures into one-line messages and
the shell's usual exit statuses."""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import sys
import threading
import traceback
from collections.abc import Iterator, Sequence

from molbrook.cli import cut, depict, edit, from_table, index, lint, merge, select, sort, split, stats, view
from molbrook.cli.errors import FileError, UsageError, closest
from molbrook.cli.options import Command, Parser
from molbrook.native import __version__

COMMANDS: dict[str, Command] = {
    command.name: command
    for command in (
        stats.COMMAND,
        select.HEAD,
        select.FILTER,
        select.CAT,
        cut.COMMAND,
        edit.SET,
        edit.RM,
        edit.RENAME,
        merge.COMMAND,
        split.COMMAND,
        sort.SORT,
        sort.TOP,
        sort.UNIQ,
        index.INDEX,
        index.GET,
        index.TAKE,
        index.SAMPLE,
        from_table.COMMAND,
        lint.COMMAND,
        depict.COMMAND,
        view.COMMAND,
    )
}

FAILED = 2
INTERRUPTED = 128 + signal.SIGINT
# What the shell reports for a process killed by SIGPIPE; Windows has none.
CLOSED_PIPE = 128 + signal.SIGPIPE if hasattr(signal, "SIGPIPE") else 1
# Signals that end the command as Ctrl-C does; Windows has no SIGHUP.
ENDING = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP") if hasattr(signal, name))


class Terminated(BaseException):
    """An ending signal, raised where the command is, so that it unwinds as
    on Ctrl-C: temporary files removed, a file edited in place as it was."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


def terminate(signum: int, frame: object) -> None:
    for ending in ENDING:  # one is enough: the rest would cut the unwinding short
        signal.signal(ending, signal.SIG_IGN)
    raise Terminated(signum)


@contextlib.contextmanager
def ending_signals_raise() -> Iterator[None]:
    """In the block, the ending signals raise Terminated where they would
    have ended the process at once; one that is ignored (as under nohup)
    stays ignored."""
    previous = {}
    if threading.current_thread() is threading.main_thread():
        for signum in ENDING:
            if signal.getsignal(signum) == signal.SIG_DFL:
                previous[signum] = signal.signal(signum, terminate)
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def top_parser() -> Parser:
    listing = "\n".join(f"  {name:<8} {command.summary}" for name, command in COMMANDS.items())
    parser = Parser(
        prog="molbrook",
        description="Stream SD files block by block.",
        epilog=f"commands:\n{listing}\n\n'molbrook COMMAND --help' tells more; for example:\n"
        "  molbrook filter --where 'MW<300' library.sdf -o small.sdf",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"molbrook {__version__}")
    parser.add_argument("command", metavar="COMMAND", choices=list(COMMANDS), help="one of the commands below")
    return parser


def command_at(argv: Sequence[str]) -> int:
    """Where the command's name is: the first argument that is not an option."""
    return next((i for i, arg in enumerate(argv) if not arg.startswith("-")), len(argv))


def parse(argv: Sequence[str]) -> tuple[Command, argparse.Namespace]:
    """The command and its arguments, options intermixed with the rest; the
    command's options (-q, --debug) may also come before its name."""
    at = command_at(argv)
    before = argv[:at]
    if at == len(argv) or any(arg in ("-h", "--help", "--version") for arg in before):
        top_parser().parse_args(before)  # help, the version, or what is missing
    if argv[at] not in COMMANDS:
        close = closest(argv[at], COMMANDS)
        hint = f" (did you mean {close!r}?)" if close is not None else ""
        raise UsageError(f"no command {argv[at]!r}{hint}: see molbrook --help")
    command = COMMANDS[argv[at]]
    rest = [*before, *argv[at + 1 :]]
    parser = command.parser()
    # After "--" every argument is positional; argparse's intermixed parsing
    # mishandles that before Python 3.12, so options go first there.
    return command, parser.parse_args(rest) if "--" in rest else parser.parse_intermixed_args(rest)


def main(argv: Sequence[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    debug = "--debug" in argv
    at = command_at(argv)
    prefix = f"molbrook {argv[at]}" if at < len(argv) and argv[at] in COMMANDS else "molbrook"
    try:
        with ending_signals_raise():
            command, args = parse(argv)
            args.command_name = command.name
            return command.run(args)
    except UsageError as error:
        return fail(f"{prefix}: {error}", debug)
    except FileError as error:
        return fail(f"molbrook: {error.label}: {error.message}", debug)
    except BrokenPipeError:
        return closed_pipe()
    except KeyboardInterrupt:
        if debug:
            traceback.print_exc()
        return INTERRUPTED
    except Terminated as ended:
        if debug:
            traceback.print_exc()
        return 128 + ended.signum
    except Exception as error:  # a failure nobody foresaw: still one line, unless --debug
        return fail(f"{prefix}: {describe(error)}", debug)


def describe(error: Exception) -> str:
    if isinstance(error, OSError) and error.strerror:
        return f"{os.fsdecode(error.filename)}: {error.strerror}" if error.filename else error.strerror
    return f"{type(error).__name__}: {error}"


def fail(message: str, debug: bool) -> int:
    if debug:
        traceback.print_exc()
    print(message, file=sys.stderr)
    return FAILED


def closed_pipe() -> int:
    """Whoever read standard output has gone: stop quietly, with the status a
    process killed by SIGPIPE has. Standard output goes to /dev/null, so that
    flushing it at exit raises nothing more."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)
    return CLOSED_PIPE
