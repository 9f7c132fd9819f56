"""`zeb recompress`: rewrite F0 files in place with the smallest stream."""
from __future__ import annotations

import argparse
import os
import stat
import warnings
from typing import Any, TextIO

import pyzeb

from ._common import EXIT_FAILED, EXIT_OK, Failure, cause, command, human, name, plural, report, walk, walking

HELP = (
    "rewrite F0 files with the smallest stream",
    """Rewrites each F0 file in place with the automatically chosen smallest
encoding (a crunch stream or raw data), keeping its header text, metadata
and checksums, when that saves at least --min-saving percent of the file.
Each new encoding is decoded and compared with the data before it replaces
the file (atomically, only if the file is still the one that was read,
keeping the file's permission bits, owner where permitted, and modification
and access times).  Files with header blocks of another program, a header
record of a newer version or bytes after their data are kept, as those would
be lost, and so are files with other hard links (the other names would
keep the old file, so nothing would be freed) unless --break-links.  A file
named twice (or through a symbolic link) is done once.  Prints the bytes per
file and, in total, the bytes really freed.""",
    "zeb recompress --dry-run -r archive/")


def add_parser(sub: Any) -> None:
    p = command(sub, "recompress", *HELP, run)
    walking(p)
    p.add_argument("-n", "--dry-run", action="store_true", help="only report what would be saved; write nothing")
    p.add_argument("--min-saving", type=percent, default=1.0, metavar="PERCENT",
                   help="rewrite only files that shrink by at least this much (default 1)")
    p.add_argument("--break-links", action="store_true",
                   help="rewrite files with other hard links too (this name gets the new file)")


def percent(value: str) -> float:
    v = float(value)
    if not 0 <= v <= 100:
        raise argparse.ArgumentTypeError(f"{value} is not a percentage from 0 to 100")
    return v


class Space:
    """Bytes really freed: a file with other hard links frees its space only
    once every one of its names has been rewritten (in this run)."""

    def __init__(self) -> None:
        self.names_left: dict[tuple[int, int], int] = {}
        self.saved = 0

    def rewritten(self, st: os.stat_result, after: int) -> None:
        key = (st.st_dev, st.st_ino)
        left = self.names_left.get(key, st.st_nlink) - 1
        self.names_left[key] = left
        self.saved -= after
        if left == 0:
            self.saved += st.st_size


def recompress(path: str, args: argparse.Namespace, seen: dict[str, str],
               space: Space) -> tuple[int, int, str]:
    """(bytes before, bytes after, what was done) for one file."""
    target = os.path.realpath(path)  # a symbolic link keeps pointing at the rewritten file
    st = os.stat(target)
    before = st.st_size
    if target in seen:
        return before, before, f"kept: the same file as {name(seen[target])}"
    seen[target] = path
    if st.st_nlink > 1 and not args.break_links:
        return before, before, (f"kept: it has {st.st_nlink} hard links, and rewriting one name frees nothing "
                                "(--break-links rewrites it anyway)")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", pyzeb.FormatWarning)
        h = pyzeb.read_header(target)
    if h.header_blocks > 1 and not h.checksum:
        return before, before, f"kept: its {h.header_blocks - 1} extra header blocks would be lost"
    if any(issubclass(w.category, pyzeb.FormatWarning) for w in caught):
        return before, before, "kept: its header record is of a newer version, whose content would be lost"
    if before > h.data_offset + h.data_size:
        return before, before, f"kept: the {plural(before - h.data_offset - h.data_size, 'byte')} after its data would be lost"
    import numpy as np
    a = pyzeb.read(target)
    text, metadata = h.text, h.metadata
    data = pyzeb.encode(a, compress=True, header=text, metadata=metadata)
    back = pyzeb.decode(data)
    if back.dtype != a.dtype or back.shape != a.shape or \
            not np.array_equal(back.reshape(-1).view(np.uint8), a.reshape(-1).view(np.uint8)):
        raise Failure(f"{name(path)}: the recompressed data did not read back equal; the file is untouched")
    after = len(data)
    if after >= before:
        return before, before, "kept: already as small"
    if 100 * (before - after) < args.min_saving * before:
        return before, before, f"kept: would save only {100 * (before - after) / before:.2f}%"
    space.rewritten(st, after)
    others = st.st_nlink - 1
    links = f" (the file's {plural(others, 'other name')} {'keeps' if others == 1 else 'keep'} the old one)" \
        if others else ""
    if args.dry_run:
        return before, after, "would be rewritten" + links
    mode = stat.S_IMODE(st.st_mode)
    # the new file replaces the old one by rename: a umask that keeps no more
    # than the old permission bits means it is never more open than the old file
    umask = os.umask(0o777 & ~mode)
    try:  # only if the file is still the one read
        pyzeb.write(target, a, compress=True, header=text, metadata=metadata, if_unchanged=st)
    finally:
        os.umask(umask)
    try:  # the owner too where permitted (run as root); then the mode, which chown may clear
        os.chown(target, st.st_uid, st.st_gid)
    except (OSError, AttributeError):
        pass
    os.chmod(target, mode)
    os.utime(target, ns=(st.st_atime_ns, st.st_mtime_ns))
    return before, os.stat(target).st_size, "rewritten" + links


def run(args: argparse.Namespace, out: TextIO) -> int:
    errors: list[str] = []
    status = EXIT_OK
    total = changed = 0
    seen: dict[str, str] = {}  # real path -> the name it was first met by
    space = Space()
    for path in walk(args, errors):
        total += 1
        try:
            before, after, what = recompress(path, args, seen, space)
        except Failure as exc:
            report(args, str(exc))
            status = EXIT_FAILED
            continue
        except (OSError, ValueError) as exc:
            report(args, f"{name(path)}: {cause(exc, path)}")
            status = EXIT_FAILED
            continue
        changed += after < before
        print(f"{name(path)}: {before} -> {after} bytes, {what}", file=out)
    verb = "would free" if args.dry_run else "freed"
    print(f"{plural(total, 'file')}, {changed} {'to rewrite' if args.dry_run else 'rewritten'}, "
          f"{verb} {plural(space.saved, 'byte')} ({human(space.saved)})", file=out)
    return EXIT_FAILED if errors else status
