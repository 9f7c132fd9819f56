"""`zeb header`: files' header texts."""
from __future__ import annotations

import argparse
import os
from typing import Any, TextIO

import pyzeb

from ._common import EXIT_FAILED, EXIT_OK, FINDING, Failure, cause, command, name, regular, report, shown, walk, walking

HELP = (
    "print files' header texts",
    f"""Prints the header text of an F0 file exactly as stored (bytes that are not
UTF-8 included), followed by a newline.  With several files (or a
directory), each text follows a line "# NAME", one file after another
separated by a blank line, and is printed on one line with control
characters and bytes that are not UTF-8 as escapes.

{FINDING}""",
    "zeb header data/sample.f0; zeb header data/*.f0")


def add_parser(sub: Any) -> None:
    walking(command(sub, "header", *HELP, run))


def run(args: argparse.Namespace, out: TextIO) -> int:
    if len(args.paths) == 1 and not os.path.isdir(args.paths[0]):
        path = args.paths[0]
        regular(path)
        try:
            text = pyzeb.read_header(path).text
        except (OSError, ValueError) as exc:
            raise Failure(f"{name(path)}: {cause(exc, path)}") from None
        if hasattr(out, "buffer"):  # the exact bytes, whatever the terminal's encoding
            out.flush()
            out.buffer.write(text.encode("utf-8", "surrogateescape") + b"\n")
        else:
            print(text, file=out)
        return EXIT_OK
    errors: list[str] = []
    status = EXIT_OK
    first = True
    for path in walk(args, errors):
        try:
            text = pyzeb.read_header(path).text
        except (OSError, ValueError) as exc:
            report(args, f"{name(path)}: {cause(exc, path)}")
            status = EXIT_FAILED
            continue
        print(f"{'' if first else chr(10)}# {name(path)}\n{shown(text)}", file=out)
        first = False
    return EXIT_FAILED if errors else status
