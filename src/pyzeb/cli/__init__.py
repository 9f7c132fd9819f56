"""The `zeb` command: list, show, check, checksum, convert, compare, recompress and preview F0 files,
and write Zarr references to them.

Run as ``zeb`` (the console script) or ``python -m pyzeb``; ``zeb --help`` and
``zeb COMMAND --help`` describe everything.  Everything here goes through the
public pyzeb API.  The command prints its output on standard output, errors as
one line each on standard error, and never a traceback.

Each command lives in a module of its own that adds its sub-parser
(``add_parser``) and runs it (``run``); what they share is in `_common`.  This
module only assembles the parser and runs the command.  No module here imports
NumPy at module level, so --help and Ctrl-C are answered before it loads.
"""
from __future__ import annotations

import argparse
import io
import os
import signal
import sys
import threading
import warnings
from collections.abc import Sequence
from typing import NoReturn

import pyzeb

from . import checksum, convert, diff, header, info, preview, recompress, references, stats, verify
from ._common import EXIT_FAILED, EXIT_USAGE, Failure, UsageError, report

# in the order --help lists them
COMMANDS = (info, header, checksum, verify, convert, recompress, diff, stats, preview, references)


class Parser(argparse.ArgumentParser):
    """Reports a usage error as one line, exit status 2."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def build_parser() -> Parser:
    parser = Parser(
        prog="zeb", formatter_class=argparse.RawDescriptionHelpFormatter,
        description="List, check, checksum, convert, compare, recompress and preview F0 array files, "
                    "and write Zarr references to them.",
        epilog="Run 'zeb COMMAND --help' for each command's options.\n\n"
               "example:\n  zeb info data/\n  zeb verify -r archive/ && zeb preview data/sample.f0 -o sample.png\n\n"
               "Shapes are NumPy shapes, slowest axis first: (480, 640) is 480 rows of 640.\n"
               "exit status: 0 success, 1 failure (a missing or damaged file), 2 usage error\n"
               "(zeb diff: 0 same, 1 different, 2 usage error or a file that cannot be read);\n"
               "130 interrupted (Ctrl-C).")
    parser.add_argument("--version", action="version", version=f"zeb (pyzeb) {pyzeb.__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)
    for module in COMMANDS:
        module.add_parser(sub)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with `argv` (default: the process's arguments) and
    returns its exit status; the console script exits with it."""
    handler = signal.getsignal(signal.SIGINT)
    if getattr(handler, "__qualname__", "") == "_stop_quietly" and threading.current_thread() is threading.main_thread():
        # the console script's start-up handler: from here on Ctrl-C raises
        # KeyboardInterrupt, so that what is being written is cleaned up
        signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        return _main(argv)
    except KeyboardInterrupt:
        print("zeb: interrupted", file=sys.stderr)
        return 128 + signal.SIGINT


def _main(argv: Sequence[str] | None) -> int:
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(errors="surrogateescape")  # header texts print as the bytes they are
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.error("a command is required")
    out = sys.stdout
    try:
        with warnings.catch_warnings():
            # a warning no command has taken up (a header record of a newer
            # version, say) is one line too, never Python's two
            warnings.showwarning = lambda message, *_, **__: report(args, f"warning: {message}")
            status: int = args.run(args, out)
        out.flush()
        return status
    except UsageError as exc:
        print(f"zeb {args.command}: error: {exc} (see 'zeb {args.command} --help')", file=sys.stderr)
        return EXIT_USAGE
    except Failure as exc:
        report(args, str(exc))
        return getattr(args, "trouble", EXIT_FAILED)
    except BrokenPipeError:
        # the reader went away (`zeb info dir | head -1`): stop quietly, and
        # point stdout at /dev/null so that the interpreter's final flush is silent
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILED
    except MemoryError:
        report(args, "out of memory")
        return getattr(args, "trouble", EXIT_FAILED)
    except Exception as exc:  # anything else still ends in one line, not a traceback
        report(args, f"{type(exc).__name__}: {exc}")
        return getattr(args, "trouble", EXIT_FAILED)
