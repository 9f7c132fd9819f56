"""`zeb references`: virtual Zarr references that show F0 files as one array."""
from __future__ import annotations

import argparse
import copy
import json
from typing import Any, TextIO

import pyzeb

from ._common import EXIT_FAILED, EXIT_OK, FINDING, Failure, UsageError, atomic, command, name, shape_text, walk

HELP = (
    "write Zarr references that show F0 files as one array, read in place",
    f"""Writes kerchunk-style references (version 1 JSON, Zarr format 2) that show
the F0 files as one Zarr array named "data" with a leading axis of files
(in the order given; a directory's files in sorted order), each file one
chunk read whole from where it lies and decoded by pyzeb's Zarr codec.
zarr, xarray (engine "zarr") and other Zarr tools open them through fsspec's
reference file system, without copying the files; pyzeb must be installed
where they are opened.  The files must all have one shape and dtype: the
first that differs is named and nothing is written.  URLs (https://...,
s3://...) are taken as they are, through fsspec.

The output is written atomically (a failure leaves any earlier file as it was).

{FINDING}""",
    "zeb references night/ -o night.json")


def add_parser(sub: Any) -> None:
    p = command(sub, "references", *HELP, run)
    p.add_argument("paths", nargs="+", metavar="PATH", help="F0 files, URLs, and directories to search for *.f0")
    p.add_argument("-r", "--recursive", action="store_true", help="search directories' subdirectories too")
    p.add_argument("-o", "--output", required=True, metavar="FILE", help="the references' JSON file")
    p.add_argument("--dims", metavar="NAMES",
                   help="comma-separated dimension names, the file axis first (default: file,y,x)")


def run(args: argparse.Namespace, out: TextIO) -> int:
    from pyzeb._remote import is_url
    dims = None if args.dims is None else [d.strip() for d in args.dims.split(",")]
    errors: list[str] = []
    files: list[str] = []
    for path in args.paths:
        if is_url(path):
            files.append(path)
        else:
            one = copy.copy(args)
            one.paths = [path]
            files.extend(walk(one, errors))
    if errors:
        return EXIT_FAILED
    try:
        refs = pyzeb.references(files, dims=dims)
    except ValueError as exc:
        if "dims" in str(exc):
            raise UsageError(f"--dims: {exc}") from None
        raise Failure(str(exc)) from None
    except (OSError, TypeError) as exc:
        raise Failure(str(exc)) from None
    text = json.dumps(refs, indent=1).encode()
    atomic(args.output, lambda f: f.write(text + b"\n"))
    shape = json.loads(refs["refs"]["data/.zarray"])["shape"]
    print(f"{name(args.output)}: {len(files)} file{'s' * (len(files) != 1)} as one array of shape "
          f"{shape_text(shape)}", file=out)
    return EXIT_OK
