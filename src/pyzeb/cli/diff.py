"""`zeb diff A B`: what differs between two arrays and their headers."""
from __future__ import annotations

import argparse
from typing import TYPE_CHECKING, Any, TextIO

import pyzeb

from ._common import (EXIT_FAILED, EXIT_OK, EXIT_USAGE, Failure, UsageError, cause, command, kind, load, name,
                      regular, shape_text, shown)

if TYPE_CHECKING:
    import numpy as np

CHUNK = 1 << 20    # elements compared at a time
MAX_KEYS = 10      # metadata keys listed per kind of difference

HELP = (
    "compare two files: shape, dtype, header text, metadata and data",
    """Compares two arrays and their headers, as fitsdiff does for FITS files:
the shape, the dtype, the header text, the metadata, and the data (where the
shapes agree): how many elements differ, and the largest difference with its
index and both values.  Integers are compared exactly; where either array is
of floating point, two values are equal when |a - b| <= atol + rtol * |b|
(--rtol and --atol, default 0), NaN equals NaN, and an infinity equals the
same infinity.  How the data are stored (raw or crunch, slice) is not
compared.  A and B are F0, .npy or FITS files (FITS needs astropy).

Exit status: 0 no differences, 1 differences, 2 a usage error or a file that
cannot be read (as diff and cmp).  -q prints nothing.""",
    "zeb diff night1/frame.f0 night2/frame.f0 --rtol 1e-6")


def add_parser(sub: Any) -> None:
    p = command(sub, "diff", *HELP, run)
    p.add_argument("a", metavar="A", help="a file: .f0, .npy or .fits")
    p.add_argument("b", metavar="B", help="the file to compare it with")
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
        a = pyzeb.read(path) if h.compressed else pyzeb.memmap(path)
        return a, h.text, dict(getattr(h, "metadata", None) or {})
    except (OSError, ValueError) as exc:
        raise Failure(f"{name(path)}: {cause(exc, path)}") from None


def metadata_lines(ma: dict[str, Any], mb: dict[str, Any], a: str, b: str) -> list[str]:
    def listed(keys: list[str]) -> str:
        more = f" and {len(keys) - MAX_KEYS} more" if len(keys) > MAX_KEYS else ""
        return ", ".join(shown(str(k)) for k in keys[:MAX_KEYS]) + more
    lines = []
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


def run(args: argparse.Namespace, out: TextIO) -> int:
    import numpy as np
    if not (args.rtol >= 0 and args.atol >= 0):
        raise UsageError("--rtol and --atol must not be negative")
    x, tx, mx = opened(args.a)
    y, ty, my = opened(args.b)
    na, nb = name(args.a), name(args.b)
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
            raise Failure(f"{na}, {nb}: {cause(exc, args.a)}") from None
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
    if args.quiet:
        return EXIT_FAILED if lines else EXIT_OK
    if not lines:
        print(f"{na} and {nb}: no differences{tolerance}", file=out)
        return EXIT_OK
    print(f"{na} and {nb} differ:", file=out)
    for line in lines:
        print(f"  {line}", file=out)
    return EXIT_FAILED

