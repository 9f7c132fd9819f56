"""`zeb stats`: summary statistics and a noise estimate per file, in bounded memory."""
from __future__ import annotations

import argparse
import json
import math
import warnings
from pathlib import Path
from typing import TYPE_CHECKING, Any, TextIO

import pyzeb

from ._common import (EXIT_FAILED, EXIT_OK, Failure, cause, command, json_name, load_npy, name, regular, report,
                      shape_text, walk, walking)

if TYPE_CHECKING:
    import numpy as np

BAND = 1 << 20          # elements taken at a time
NOISE3 = 0.6052697      # 1.482602 / sqrt(6): turns the median of |2x[i] - x[i-2] - x[i+2]| into a sigma

HELP = (
    "minimum, maximum, mean, standard deviation, median and noise per file",
    """Prints, per file, the count of finite values and of others (NaN and
infinities, left out of everything else), the minimum, maximum, mean,
standard deviation (of the population), median, and a noise estimate, as
fpack -T does: the median over all rows of 0.6052697 x the median of
|2 x[i] - x[i-2] - x[i+2]| along the row (the third-order estimate of
Stoehr et al. 2007, "noise3" in fpack; rows shorter than 5 values give none).
Sums are taken in float64, a band of rows at a time, so memory stays about
the size of the file's array (raw files and .npy files are mapped); the
median of 8- and 16-bit data comes from a histogram, that of other types
from a copy of the values.  --json prints one JSON object per line (values
not defined, as for an empty array, are null).""",
    "zeb stats -r night/ --json")


def add_parser(sub: Any) -> None:
    p = command(sub, "stats", *HELP, run)
    walking(p)
    p.add_argument("--json", action="store_true", help="one JSON object per file instead of a line")


def array_of(path: str) -> np.ndarray:
    regular(path)
    if Path(path).suffix.lower() == ".npy":
        return load_npy(path, mmap=True)
    h = pyzeb.read_header(path)
    return pyzeb.read(path) if h.compressed or h.stored_dtype is not None else pyzeb.memmap(path)


def bands(a: np.ndarray) -> Any:
    """Bands of whole rows (2-D views) covering the array."""
    rows = a.reshape(-1, a.shape[-1]) if a.ndim >= 1 and a.size else a.reshape(1, -1)
    step = max(1, BAND // max(1, rows.shape[1]))
    for r0 in range(0, rows.shape[0], step):
        yield rows[r0:r0 + step]


def statistics(a: np.ndarray) -> dict[str, Any]:
    """Count, min, max, mean, std, median and noise of the finite values;
    sums beyond float64 come out infinite, without a warning."""
    import numpy as np
    with np.errstate(over="ignore", invalid="ignore"):
        return _statistics(a)


def _statistics(a: np.ndarray) -> dict[str, Any]:
    import numpy as np
    n = 0
    mean = m2 = 0.0
    lo = hi = None
    others = 0
    small = a.dtype.kind in "iu" and a.dtype.itemsize <= 2
    hist = np.zeros(1 << (8 * a.dtype.itemsize), np.int64) if small else None
    offset = -int(np.iinfo(a.dtype).min) if small else 0
    noise_rows: list[np.ndarray] = []
    exact = a.dtype.kind in "iu"
    for band in bands(a):
        v = np.asarray(band, dtype=np.float64)
        finite = np.isfinite(v)
        values = v[finite] if not finite.all() else v.reshape(-1)
        others += v.size - values.size
        if values.size:
            # integers compared as they are: 64-bit ones lose digits in float64
            bmin, bmax = (int(band.min()), int(band.max())) if exact else (values.min(), values.max())
            lo = bmin if lo is None else min(lo, bmin)
            hi = bmax if hi is None else max(hi, bmax)
            bn, bmean = values.size, float(values.mean())
            bm2 = float(np.square(values - bmean).sum())
            delta = bmean - mean
            total = n + bn
            mean += delta * bn / total
            m2 += bm2 + delta * delta * n * bn / total
            n = total
        if hist is not None:
            hist += np.bincount((np.asarray(band).astype(np.int64) + offset).reshape(-1), minlength=hist.size)
        if v.shape[1] >= 5:
            d = np.abs(2 * v[:, 2:-2] - v[:, :-4] - v[:, 4:])
            with warnings.catch_warnings(), np.errstate(all="ignore"):
                warnings.simplefilter("ignore", RuntimeWarning)
                noise_rows.append(np.nanmedian(np.where(np.isfinite(d), d, np.nan), axis=1))
    median = None
    if n and hist is not None:
        cum = np.cumsum(hist)
        lower, upper = (int(np.searchsorted(cum, k, side="right")) - offset for k in ((n - 1) // 2, n // 2))
        median = (lower + upper) / 2
    elif n:
        flat = np.asarray(a).reshape(-1)
        median = float(np.median(flat[np.isfinite(flat)] if others else flat))
    noise = None
    if noise_rows:
        rows = np.concatenate(noise_rows)
        rows = rows[np.isfinite(rows)]
        if rows.size:
            noise = NOISE3 * float(np.median(rows))
    return {"count": n, "nonfinite": others,
            "min": (int(lo) if exact else float(lo)) if lo is not None else None,
            "max": (int(hi) if exact else float(hi)) if hi is not None else None,
            "mean": mean if n else None, "std": math.sqrt(m2 / n) if n else None,
            "median": median, "noise": noise}


def text(v: Any) -> str:
    return "-" if v is None else str(v) if isinstance(v, int) else f"{v:.6g}"


def run(args: argparse.Namespace, out: TextIO) -> int:
    errors: list[str] = []
    status = EXIT_OK
    for path in walk(args, errors):
        try:
            a = array_of(path)
            s = statistics(a)
        except (OSError, ValueError) as exc:
            report(args, f"{name(path)}: {cause(exc, path)}")
            status = EXIT_FAILED
            continue
        except Failure as exc:
            report(args, str(exc))
            status = EXIT_FAILED
            continue
        if args.json:
            row = json_name(path) | {"shape": list(a.shape), "dtype": a.dtype.name} | s
            print(json.dumps(row, ensure_ascii=False), file=out)
        else:
            fields = "  ".join(f"{k} {text(s[k])}" for k in ("min", "max", "mean", "std", "median", "noise"))
            extra = f"  nonfinite {s['nonfinite']}" if s["nonfinite"] else ""
            print(f"{name(path)}  {shape_text(a.shape)} {a.dtype.name}  {fields}{extra}", file=out)
    return EXIT_FAILED if errors else status
