"""`zeb diff A B`: what differs between two arrays and their headers."""
from __future__ import annotations

import argparse
import os
from typing import TYPE_CHECKING, Any, TextIO

import pyzeb

from ._common import (EXIT_FAILED, EXIT_OK, EXIT_USAGE, FORMATS, Failure, UsageError, cause, command, is_fits,
                      kind, load, name, regular, report, shape_text, shown)

if TYPE_CHECKING:
    import numpy as np

CHUNK = 1 << 20    # elements compared at a time
MAX_KEYS = 10      # metadata keys listed per kind of difference
CARD_KEYS = ("fits", "fits_primary")  # metadata entries of FITS cards, compared keyword by keyword
COMMENTARY = ("COMMENT", "HISTORY", "")

HELP = (
    "compare two files: shape, dtype, header text, metadata and data",
    """Compares two arrays and their headers, as fitsdiff does for FITS files:
the shape, the dtype, the header text, the metadata, and the data (where the
shapes agree): how many elements differ, and the largest difference with its
index and both values.  Integers are compared exactly; where either array is
of floating point, two values are equal when |a - b| <= atol + rtol * |b|
(--rtol and --atol, default 0), NaN equals NaN, and an infinity equals the
same infinity.  How the data are stored (raw or crunch, slice) is not
compared.  A and B are F0, .npy or FITS files (FITS needs astropy).  FITS
keywords kept in the metadata are compared one by one: each keyword that
differs is one line.

With two directories, the files of the formats above below them are paired
by their path relative to each; files on one side only are listed, and each
pair that differs is shown as above.

Exit status: 0 no differences, 1 differences (or files on one side only), 2
a usage error or a file that cannot be read (as diff and cmp).  -q prints
nothing.""",
    "zeb diff night1/frame.f0 night2/frame.f0 --rtol 1e-6")


def add_parser(sub: Any) -> None:
    p = command(sub, "diff", *HELP, run)
    p.add_argument("a", metavar="A", help="a file: .f0, .npy or .fits, or a directory")
    p.add_argument("b", metavar="B", help="the file (or directory) to compare it with")
    p.add_argument("--rtol", type=float, default=0.0, metavar="R",
                   help="relative tolerance for floating-point data (default 0)")
    p.add_argument("--atol", type=float, default=0.0, metavar="A",
                   help="absolute tolerance for floating-point data (default 0)")
    p.add_argument("-q", "--quiet", action="store_true", help="print nothing; the exit status says it")
    p.set_defaults(trouble=EXIT_USAGE)


def opened(path: str) -> tuple[np.ndarray, str, dict[str, Any]]:
    """(array, header text, metadata) of a file; raw F0 data are mapped."""
    regular(path)
    fmt = kind(path, "file")
    try:
        if fmt != "f0":
            return load(path, fmt)
        h = pyzeb.read_header(path)
        a = pyzeb.read(path) if h.compressed or h.stored_dtype is not None else pyzeb.memmap(path)
        return a, h.text, dict(getattr(h, "metadata", None) or {})
    except (OSError, ValueError) as exc:
        raise Failure(f"{name(path)}: {cause(exc, path)}") from None


def listed(keys: list[str]) -> str:
    more = f" and {len(keys) - MAX_KEYS} more" if len(keys) > MAX_KEYS else ""
    return ", ".join(shown(str(k)) for k in keys[:MAX_KEYS]) + more


def cards(value: Any) -> dict[str, Any] | None:
    """FITS cards by keyword (value and comment; commentary cards as the
    list of their texts), or None where `value` is no list of cards."""
    if not isinstance(value, list) or not all(isinstance(c, list) and len(c) == 3 and isinstance(c[0], str)
                                              for c in value):
        return None
    out: dict[str, Any] = {}
    for key, v, comment in value:
        if key in COMMENTARY:
            out.setdefault(key, []).append(v)
        else:
            out.setdefault(key, (v, comment))
    return out


def card_lines(what: str, ca: dict[str, Any], cb: dict[str, Any], a: str, b: str) -> list[str]:
    lines = []
    changed = [k for k in ca if k in cb and ca[k] != cb[k]]
    for k in changed:
        va, vb = ca[k], cb[k]
        if k not in COMMENTARY and va[0] == vb[0]:
            lines.append(f"{what} {shown(k)}: comment {shown(repr(va[1]))} and {shown(repr(vb[1]))}")
        elif k in COMMENTARY:
            lines.append(f"{what} {shown(k or 'blank')} cards: {len(va)} and {len(vb)}, not the same text")
        else:
            lines.append(f"{what} {shown(k)}: {shown(repr(va[0]))} and {shown(repr(vb[0]))}")
    for only, there in (([k for k in ca if k not in cb], a), ([k for k in cb if k not in ca], b)):
        if only:
            lines.append(f"{what}s only in {there}: {listed(only)}")
    return lines


def metadata_lines(ma: dict[str, Any], mb: dict[str, Any], a: str, b: str) -> list[str]:
    lines = []
    for key in CARD_KEYS:
        ca, cb = cards(ma.get(key)), cards(mb.get(key))
        if ca is not None and cb is not None:
            lines += card_lines("keyword" if key == "fits" else "primary keyword", ca, cb, a, b)
            ma, mb = {k: v for k, v in ma.items() if k != key}, {k: v for k, v in mb.items() if k != key}
    changed = sorted(k for k in ma.keys() & mb.keys() if ma[k] != mb[k])
    for k in changed[:MAX_KEYS]:
        lines.append(f"metadata {shown(str(k))}: {shown(repr(ma[k]))} and {shown(repr(mb[k]))}")
    if len(changed) > MAX_KEYS:
        lines.append(f"metadata: {len(changed) - MAX_KEYS} more keys differ")
    for only, there in ((sorted(ma.keys() - mb.keys()), a), (sorted(mb.keys() - ma.keys()), b)):
        if only:
            lines.append(f"metadata only in {there}: {listed(only)}")
    return lines


def compare(x: np.ndarray, y: np.ndarray, rtol: float, atol: float) -> tuple[int, int, int | None, float]:
    """(elements that differ, of those where just one is NaN, flat index of
    the largest difference, that difference), chunk by chunk."""
    import numpy as np
    fx, fy = x.reshape(-1), y.reshape(-1)
    floats = x.dtype.kind == "f" or y.dtype.kind == "f"
    count = nan_only = 0
    where, largest = None, -1.0
    for i in range(0, fx.size, CHUNK):
        a = np.asarray(fx[i:i + CHUNK], dtype=np.float64 if floats else None)
        b = np.asarray(fy[i:i + CHUNK], dtype=np.float64 if floats else None)
        with np.errstate(all="ignore"):
            if floats:
                nan_a, nan_b = np.isnan(a), np.isnan(b)
                diff = np.abs(a - b)
                same = (a == b) | (nan_a & nan_b) | (diff <= atol + rtol * np.abs(b))
                nan_only += int(np.count_nonzero(nan_a != nan_b))
            else:
                same = a == b
                diff = np.abs(a.astype(np.float64) - b.astype(np.float64))
        bad = np.flatnonzero(~same)
        if not bad.size:
            continue
        count += bad.size
        d = np.where(np.isnan(diff[bad]), -1.0, diff[bad])
        k = int(np.argmax(d))
        if d[k] > largest:
            largest, where = float(d[k]), i + int(bad[k])
    return count, nan_only, where, largest


def value(v: Any) -> str:
    return str(v.item()) if hasattr(v, "item") else str(v)


def comparable(filename: str) -> bool:
    return os.path.splitext(filename)[1].lower() in FORMATS or is_fits(filename)


def files_below(top: str) -> dict[str, str]:
    """The files of the formats zeb reads below `top`, by relative path."""
    found = {}
    for root, dirs, files in os.walk(top):
        dirs.sort()
        for f in sorted(files):
            if comparable(f):
                full = os.path.join(root, f)
                found[os.path.relpath(full, top)] = full
    return found


def run_folders(args: argparse.Namespace, out: TextIO) -> int:
    fa, fb = files_below(args.a), files_below(args.b)
    differ = unreadable = 0
    lines_out: list[str] = []
    for rel, there in ((sorted(fa.keys() - fb.keys()), args.a), (sorted(fb.keys() - fa.keys()), args.b)):
        for r in rel:
            lines_out.append(f"only in {name(there)}: {name(r)}")
    for rel in sorted(fa.keys() & fb.keys()):
        try:
            lines = differences(fa[rel], fb[rel], args)
        except Failure as exc:
            report(args, str(exc))
            unreadable += 1
            continue
        if lines:
            differ += 1
            lines_out.append(f"{name(fa[rel])} and {name(fb[rel])} differ:")
            lines_out += [f"  {line}" for line in lines]
    one_side = len(fa.keys() ^ fb.keys())
    if not args.quiet:
        for line in lines_out:
            print(line, file=out)
        print(f"{len(fa.keys() & fb.keys())} pairs compared: {differ} differ, {one_side} files on one side only"
              + (f", {unreadable} unreadable" if unreadable else ""), file=out)
    if unreadable:
        return EXIT_USAGE
    return EXIT_FAILED if differ or one_side else EXIT_OK


def run(args: argparse.Namespace, out: TextIO) -> int:
    if not (args.rtol >= 0 and args.atol >= 0):
        raise UsageError("--rtol and --atol must not be negative")
    if os.path.isdir(args.a) and os.path.isdir(args.b):
        return run_folders(args, out)
    if os.path.isdir(args.a) or os.path.isdir(args.b):
        raise UsageError("compare two files or two directories, not a file with a directory")
    lines = differences(args.a, args.b, args)
    na, nb = name(args.a), name(args.b)
    tolerance = f" beyond rtol {args.rtol:g}, atol {args.atol:g}" if args.rtol or args.atol else ""
    if args.quiet:
        return EXIT_FAILED if lines else EXIT_OK
    if not lines:
        print(f"{na} and {nb}: no differences{tolerance}", file=out)
        return EXIT_OK
    print(f"{na} and {nb} differ:", file=out)
    for line in lines:
        print(f"  {line}", file=out)
    return EXIT_FAILED


def differences(pa: str, pb: str, args: argparse.Namespace) -> list[str]:
    """The lines that say what differs between two files (none: nothing)."""
    import numpy as np
    x, tx, mx = opened(pa)
    y, ty, my = opened(pb)
    na, nb = name(pa), name(pb)
    lines = []
    if x.shape != y.shape:
        lines.append(f"shape: {shape_text(x.shape)} and {shape_text(y.shape)}")
    if x.dtype.newbyteorder("=") != y.dtype.newbyteorder("="):
        lines.append(f"dtype: {x.dtype.name} and {y.dtype.name}")
    if tx != ty:
        lines.append(f'header text: "{shown(tx)}" and "{shown(ty)}"')
    lines += metadata_lines(mx, my, na, nb)
    tolerance = f" beyond rtol {args.rtol:g}, atol {args.atol:g}" if args.rtol or args.atol else ""
    if x.shape != y.shape:
        lines.append("data: not compared, the shapes differ")
    else:
        try:
            count, nan_only, where, largest = compare(x, y, args.rtol, args.atol)
        except (OSError, ValueError) as exc:
            raise Failure(f"{na}, {nb}: {cause(exc, pa)}") from None
        if count:
            line = f"data: {count} of {x.size} elements differ{tolerance}"
            if where is not None and largest >= 0:
                at = np.unravel_index(where, x.shape) if x.ndim else ()
                vx, vy = x.reshape(-1)[where], y.reshape(-1)[where]
                big = abs(int(vx) - int(vy)) if x.dtype.kind in "iu" and y.dtype.kind in "iu" else f"{largest:.6g}"
                line += f"; largest difference {big} at {shape_text(tuple(int(i) for i in at))}: " \
                        f"{value(vx)} and {value(vy)}"
            if nan_only:
                line += f"; {nan_only} NaN against a number"
            lines.append(line)
    return lines

