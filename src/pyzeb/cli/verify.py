"""`zeb verify`: read files completely and report damaged ones, and the
temporary files of interrupted writes."""
from __future__ import annotations

import argparse
import os
import time
import warnings
from typing import Any, TextIO

import pyzeb

from ._common import (EXIT_FAILED, EXIT_OK, FINDING, Lines, cause, command, human, leftover_size, name, plural,
                      report, walk, walking)

TEMPORARY_MIN_AGE = 600  # seconds: a younger temporary file may belong to a write in progress

HELP = (
    "read files completely and report damaged ones",
    f"""Reads every file completely and prints a line for each: "sound, checksum
verified" for a file whose checksums match; "sound as far as decoding tells"
for one without a checksum (older files, checksum=False; damage inside their
data can go unnoticed: `zeb checksum` adds one) or whose data were changed in
place; "damaged" with its cause (a checksum mismatch among them).  Then a
summary line "N files checked, N sound (N verified by checksum, N without
checksum (decoded only)), N damaged"; with -q, the lines of sound files
without a warning are left out.  Exit status 0 only when every file is
sound.  With standard error on a terminal and more than a few files, a
progress bar shows there (when tqdm is installed).

Temporary files left by interrupted writes in the directories searched
(".NAME.<12 hex digits>.tmp", beside the file that was being written) are
listed with the space they take and counted in the summary;
--remove-temporary removes those unchanged for {TEMPORARY_MIN_AGE // 60} minutes (a younger one may
belong to a write in progress and is kept).

{FINDING}""",
    "zeb verify -r archive/ --remove-temporary")


def add_parser(sub: Any) -> None:
    p = command(sub, "verify", *HELP, run)
    walking(p)
    p.add_argument("-q", "--quiet", action="store_true",
                   help="print only damaged files, warnings, temporary files and the summary, not a line per sound file")
    p.add_argument("--remove-temporary", action="store_true",
                   help=f"remove temporary files of interrupted writes (unchanged for {TEMPORARY_MIN_AGE // 60} "
                        "minutes) found in the directories searched")


VERIFIED, DECODED, CHANGED, DAMAGED = "verified", "decoded", "changed", "damaged"
VERDICTS = {VERIFIED: "sound, checksum verified", DECODED: "sound as far as decoding tells: no checksum",
            CHANGED: "sound as far as decoding tells: data changed in place, checksum not renewed"}


def check(path: str) -> tuple[str, str | None]:
    """Reads a whole file: (VERIFIED, DECODED, CHANGED or DAMAGED, cause of
    damage or warning text)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", pyzeb.FormatWarning)
        try:
            h = pyzeb.read_header(path)
            pyzeb.read(path)
        except (OSError, ValueError, MemoryError) as exc:
            return DAMAGED, cause(exc, path)
    notes = {str(w.message) for w in caught if issubclass(w.category, pyzeb.FormatWarning)}
    state = (CHANGED if h.data_changed else VERIFIED) if h.checksum else DECODED
    return state, "; ".join(cause(Exception(n), path) for n in sorted(notes)) or None


def temporary(path: str, remove: bool, now: float) -> str:
    """What is said of (and done with) a leftover temporary file."""
    size = leftover_size(path)
    age = now - os.lstat(path).st_mtime
    what = f"{name(path)}: temporary file of an interrupted write, {human(size)} on disk"
    if not remove:
        return what
    if age < TEMPORARY_MIN_AGE:
        return f"{what}, kept: changed {age:.0f} s ago, a write may be in progress"
    os.unlink(path)
    return f"{what}, removed"


def run(args: argparse.Namespace, out: TextIO) -> int:
    errors: list[str] = []
    leftovers: list[str] = []
    files = list(walk(args, errors, leftovers))
    lines = Lines(len(files), out)
    counts = dict.fromkeys((VERIFIED, DECODED, CHANGED, DAMAGED), 0)
    try:
        for path in files:
            state, note = check(path)
            counts[state] += 1
            if state == DAMAGED:
                lines.say(f"{name(path)}: damaged: {note}")
            elif not args.quiet or note:
                lines.say(f"{name(path)}: {VERDICTS[state]}" + (f", with a warning: {note}" if note else ""))
            lines.step()
    finally:
        lines.close()
    now = time.time()
    for path in leftovers:
        try:
            print(temporary(path, args.remove_temporary, now), file=out)
        except OSError as exc:
            errors.append(path)
            report(args, f"{name(path)}: {cause(exc, path)}")
    n, damaged = len(files), counts[DAMAGED]
    detail = f"{counts[VERIFIED]} verified by checksum, {counts[DECODED]} without checksum (decoded only)"
    if counts[CHANGED]:
        detail += f", {counts[CHANGED]} changed in place (decoded only)"
    summary = f"{plural(n, 'file')} checked, {n - damaged} sound ({detail}), {damaged} damaged"
    if leftovers:
        summary += f", {plural(len(leftovers), 'temporary file')} of interrupted writes"
    print(summary, file=out)
    return EXIT_FAILED if damaged or errors else EXIT_OK
