"""`zeb checksum`: add checksums to existing files without re-encoding them."""
from __future__ import annotations

import argparse
from typing import Any, TextIO

import pyzeb

from ._common import EXIT_FAILED, EXIT_OK, FINDING, cause, command, name, plural, report, walk, walking

HELP = (
    "add checksums to existing files without re-encoding them",
    f"""Gives each F0 file CRC-32C checksums of its header and of its data as stored,
in pyzeb's header record, without re-encoding the data: files without one
get one, files whose data were changed in place (a memory map written to) get
it renewed, files whose checksums are present and match are left as they
are.  A compressed stream is decoded first, so that damage is never sealed
in.  A renewal rewrites only the header blocks of the record, in place; a
file that gets its first checksum is replaced atomically.  Either way it
keeps its metadata, permissions and modification time, and is changed only
if it did not change meanwhile (other writers of pyzeb wait for it).  Left
as they are, with the reason: damaged files (exit status 1), files with
header blocks of another program or with bytes after their data (which would
be lost), files with a header record of a newer version, and files that
would have to be replaced but have other hard links (the other names would
keep the old file) unless --break-links.

{FINDING}""",
    "zeb checksum -r archive/ && zeb verify -r archive/")


def add_parser(sub: Any) -> None:
    p = command(sub, "checksum", *HELP, run)
    walking(p)
    p.add_argument("--break-links", action="store_true",
                   help="replace files with other hard links too (this name gets the new file)")


CHECKSUM_DONE = {"added": "checksum added", "renewed": "checksum renewed",
                 "kept": "checksum present and verified, kept",
                 "linked": "kept: it has other hard links, which would keep the file without checksum "
                           "(--break-links replaces it anyway)"}


def run(args: argparse.Namespace, out: TextIO) -> int:
    errors: list[str] = []
    done = dict.fromkeys(CHECKSUM_DONE, 0)
    failed = 0
    for path in walk(args, errors):
        try:
            action = pyzeb.add_checksum(path, break_links=args.break_links)
        except (OSError, ValueError) as exc:
            report(args, f"{name(path)}: left as it is: {cause(exc, path)}")
            failed += 1
            continue
        done[action] += 1
        print(f"{name(path)}: {CHECKSUM_DONE[action]}", file=out)
    n = sum(done.values()) + failed
    linked = f", {done['linked']} left for their hard links" if done["linked"] else ""
    print(f"{plural(n, 'file')}: {plural(done['added'], 'checksum')} added, {done['renewed']} renewed, "
          f"{done['kept']} kept{linked}, {failed} failed", file=out)
    return EXIT_FAILED if failed or errors else EXIT_OK
