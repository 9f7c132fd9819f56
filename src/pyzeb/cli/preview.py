"""`zeb preview`: quick-look PNGs of frames, in bounded memory.

The plane shown is read alone where the file allows (raw F0 data and .npy
files are mapped), reduced to at most --max-size pixels on its long side by
block means while it is converted to float32, band by band, and only then
scaled: the peak is about the plane itself plus the small image.
"""
from __future__ import annotations

import argparse
import os
import warnings
from pathlib import Path
from typing import TYPE_CHECKING, Any, TextIO

import pyzeb

from ._common import (EXIT_OK, Failure, UsageError, atomic, cause, command, load_npy, many, name, need, outputs,
                      plural, regular, shape_text, walk, walking)

if TYPE_CHECKING:
    import numpy as np

BAND = 1 << 18       # elements converted to float64 at a time
SAMPLE = 1 << 20     # values at most that the interval is computed from
STRETCHES = ("linear", "log", "sqrt", "asinh")

HELP = (
    "write quick-look PNGs of frames",
    """Writes a quick-look PNG of a 2-D array, or of one plane of a larger one
(the last two dimensions are the image; --plane counts the planes over all
leading dimensions).  Row 0 is at the bottom (--origin lower, as ds9 shows
images), or at the top with --origin upper.  Frames larger than --max-size
pixels on their long side are reduced by block means (NaN left out).

Values are mapped to grey levels between an interval, percentiles of the
finite values (--percentiles, default 1 99) or astropy's zscale
(--interval zscale), on a stretch: linear (the default), log, sqrt or asinh.
NaN shows in its own colour, --nan-color (a name or #rrggbb; default black,
which in greyscale is also the colour of the lowest values); infinities and
values beyond float32 count as the largest and smallest float32.  Greyscale, or in a matplotlib colour map with --cmap.

One file: -o OUT.png.  Several files (or a directory): -o DIR, each PNG named
as its file (DIR is created if needed); a progress bar shows on a terminal.
Prints the path of each PNG.  Inputs are F0 files or NumPy .npy files.
Needs Pillow (pip install 'pyzeb[cli]'); --interval zscale and the
stretches other than linear need astropy (pip install 'pyzeb[fits]');
--cmap needs matplotlib.""",
    "zeb preview data/sample.f0 -o sample.png --stretch asinh --interval zscale --cmap viridis")


def add_parser(sub: Any) -> None:
    p = command(sub, "preview", *HELP, run)
    walking(p, "F0 (or .npy) files, and directories to search for *.f0")
    p.add_argument("-o", "--output", required=True, metavar="OUT",
                   help="the PNG file to write (OUT.png), or for several files the directory to write into")
    p.add_argument("--plane", type=int, default=0, metavar="N",
                   help="plane of an array of 3 or more dimensions (default 0; negative counts from the end)")
    p.add_argument("--percentiles", type=float, nargs=2, default=(1.0, 99.0), metavar=("LO", "HI"),
                   help="values at these percentiles become black and white (default: 1 99)")
    p.add_argument("--interval", choices=("percentile", "zscale"), default="percentile",
                   help="the values shown black and white: --percentiles (the default) or zscale")
    p.add_argument("--stretch", choices=STRETCHES, default="linear",
                   help="how values between the two map to grey levels (default linear)")
    p.add_argument("--log", dest="stretch", action="store_const", const="log", help="the same as --stretch log")
    p.add_argument("--max-size", type=int, default=2048, metavar="N",
                   help="reduce frames to at most N pixels on their long side (default 2048; 0: full size)")
    p.add_argument("--origin", choices=("lower", "upper"), default="lower",
                   help="row 0 at the bottom (lower, the default, as ds9) or at the top (upper)")
    p.add_argument("--cmap", metavar="NAME", help="a matplotlib colour map, e.g. viridis, gray, inferno")
    p.add_argument("--nan-color", default="black", metavar="COLOR",
                   help="the colour of NaN: a name or #rrggbb (default black)")


def plane(path: str, n: int) -> np.ndarray:
    """Plane `n` of the array in `path`, read alone where the file allows."""
    regular(path)
    if Path(path).suffix.lower() == ".npy":
        a = load_npy(path, mmap=True)
    else:
        # raw data are mapped, so that only the plane shown is read from a large cube
        h = pyzeb.read_header(path)
        a = pyzeb.read(path) if h.compressed or h.stored_dtype is not None else pyzeb.memmap(path)
    if a.ndim < 2:
        raise Failure(f"{name(path)}: a preview needs an array of at least 2 dimensions, "
                      f"this one has shape {shape_text(a.shape)}")
    if a.size == 0:
        raise Failure(f"{name(path)}: nothing to show: the array has shape {shape_text(a.shape)}")
    planes = a.reshape(-1, *a.shape[-2:])
    if not -len(planes) <= n < len(planes):
        raise Failure(f"{name(path)}: plane {n} out of range: the file has {plural(len(planes), 'plane')} "
                      f"of {shape_text(a.shape[-2:])}")
    frame: np.ndarray = planes[n]
    return frame


def reduced(frame: np.ndarray, factor: int) -> np.ndarray:
    """The frame as float32, each `factor` x `factor` block as the mean of its
    values that are not NaN (NaN where there are none), converted band by
    band; values beyond float32's range (infinities too) are clipped to it."""
    import numpy as np
    f32_max = float(np.finfo(np.float32).max)
    h, w = frame.shape
    img = np.empty((-(-h // factor), -(-w // factor)), np.float32)
    rows = max(1, BAND // (w * factor)) * factor
    cols = np.arange(0, w, factor)
    for r0 in range(0, h, rows):
        band = np.array(frame[r0:r0 + rows], dtype=np.float64)
        np.clip(band, -f32_max, f32_max, out=band)
        out = img[r0 // factor:(r0 + band.shape[0] + factor - 1) // factor]
        if factor == 1:
            out[...] = band
            continue
        starts = np.arange(0, band.shape[0], factor)
        missing = np.isnan(band)
        if missing.any():
            band[missing] = 0
            present = (~missing).astype(np.float64)
            count = np.add.reduceat(np.add.reduceat(present, cols, axis=1), starts, axis=0)
        else:  # the number of values in each block
            count = np.outer(np.diff(starts, append=band.shape[0]), np.diff(cols, append=w)).astype(np.float64)
        del missing
        total = np.add.reduceat(np.add.reduceat(band, cols, axis=1), starts, axis=0)
        with np.errstate(invalid="ignore"):
            out[...] = total / count
    return img


def limits(img: np.ndarray, args: argparse.Namespace, viz: Any) -> tuple[float, float] | None:
    """The values shown black and white, from at most SAMPLE evenly spaced
    values (None when there is no finite value)."""
    import numpy as np
    flat = img.reshape(-1)
    sample = flat[::max(1, flat.size // SAMPLE)]
    sample = sample[np.isfinite(sample)].astype(np.float64)
    if not sample.size:
        return None
    if args.interval == "zscale":
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")
            lo, hi = viz.ZScaleInterval().get_limits(sample)
    else:
        lo, hi = np.percentile(sample, args.percentiles)
    return float(lo), float(hi)


def scaled(img: np.ndarray, args: argparse.Namespace, viz: Any) -> np.ndarray:
    """Grey levels 0-255 of the float32 image, scaled in place."""
    import numpy as np
    lim = limits(img, args, viz)
    if lim is None:
        return np.zeros(img.shape, np.uint8)
    lo, hi = lim
    rows = max(1, BAND // max(1, img.shape[1]))
    for r0 in range(0, img.shape[0], rows):
        band = img[r0:r0 + rows].astype(np.float64)
        if hi > lo:
            band -= lo
            band /= hi - lo
        else:
            band = np.where(np.isnan(band), np.nan, (band > lo).astype(np.float64))
        np.clip(band, 0, 1, out=band)
        img[r0:r0 + rows] = band
    if args.stretch != "linear":
        stretch = {"log": viz.LogStretch, "sqrt": viz.SqrtStretch, "asinh": viz.AsinhStretch}[args.stretch]()
        with np.errstate(all="ignore"):
            stretch(img, clip=True, out=img)
    img[np.isnan(img)] = 0
    img *= 255
    img += 0.5
    return img.astype(np.uint8)


def picture(path: str, args: argparse.Namespace, viz: Any, lut: np.ndarray | None, image: Any,
            nan_rgb: tuple[int, int, int] = (0, 0, 0)) -> Any:
    import numpy as np
    frame = plane(path, args.plane)
    factor = max(1, -(-max(frame.shape) // args.max_size)) if args.max_size else 1
    small = reduced(frame, factor)
    del frame
    nan = np.isnan(small)
    levels = scaled(small, args, viz)
    if args.origin == "lower":
        levels, nan = np.ascontiguousarray(levels[::-1]), nan[::-1]
    if lut is None and (nan_rgb == (0, 0, 0) or not nan.any()):
        return image.fromarray(levels, "L")  # NaN is 0: black
    rgb = lut[levels] if lut is not None else np.repeat(levels[..., None], 3, axis=-1)
    rgb[nan] = nan_rgb  # never the colour map's lowest colour
    return image.fromarray(np.ascontiguousarray(rgb), "RGB")


def run(args: argparse.Namespace, out: TextIO) -> int:
    import numpy as np
    lo, hi = args.percentiles
    if not 0 <= lo < hi <= 100:
        raise UsageError(f"--percentiles {lo:g} {hi:g}: need 0 <= LO < HI <= 100")
    if args.max_size < 0:
        raise UsageError(f"--max-size {args.max_size}: need 0 (full size) or a positive number of pixels")
    one = len(args.paths) == 1 and not os.path.isdir(args.paths[0])
    to_file = Path(args.output).suffix.lower() == ".png" and not os.path.isdir(args.output)
    if to_file and not one:
        raise UsageError(f"-o {name(args.output)}: several files need a directory to write into")
    if one and not to_file and not os.path.isdir(args.output) and Path(args.output).suffix:
        raise UsageError(f"-o {name(args.output)}: the preview is a PNG file, name it *.png")
    image = need("PIL.Image", "preview")
    viz = None
    if args.stretch != "linear" or args.interval == "zscale":
        what = f"--stretch {args.stretch}" if args.stretch != "linear" else "--interval zscale"
        viz = need("astropy.visualization", what)
    lut = None
    if args.cmap:
        mpl = need("matplotlib", "--cmap")
        try:
            cmap = mpl.colormaps[args.cmap]
        except KeyError:
            raise UsageError(f"--cmap {args.cmap!r}: not one of matplotlib's colour maps") from None
        lut = (cmap(np.linspace(0, 1, 256))[:, :3] * 255 + 0.5).astype(np.uint8)
    from PIL import ImageColor
    try:
        nan_rgb = tuple(ImageColor.getrgb(args.nan_color)[:3])
    except ValueError:
        raise UsageError(f"--nan-color {args.nan_color!r}: not a colour name or #rrggbb") from None

    def write(src: str, dst: str) -> str:
        try:
            pic = picture(src, args, viz, lut, image, nan_rgb)
        except (OSError, ValueError) as exc:
            raise Failure(f"{name(src)}: {cause(exc, src)}") from None
        try:
            atomic(dst, lambda f: pic.save(f, format="PNG"))
        except OSError as exc:
            raise Failure(f"{name(dst)}: {cause(exc, dst)}") from None
        return name(dst)

    if to_file:
        print(write(args.paths[0], args.output), file=out)
        return EXIT_OK
    errors: list[str] = []
    pairs = outputs(args, list(walk(args, errors)), ".png")
    return many(args, out, pairs, errors, write)
