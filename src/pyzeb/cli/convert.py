"""`zeb convert`: arrays between F0, NumPy .npy and FITS files."""
from __future__ import annotations

import argparse
import os
from typing import TYPE_CHECKING, Any, TextIO

import pyzeb

from ._common import (EXIT_OK, Failure, UsageError, atomic, cause, command, fits_images, fits_stem, fits_text,
                      fits_text_of, is_f0, is_fits, kind, load, many, name, need, outputs, report, shape_text,
                      walk, walking)

if TYPE_CHECKING:
    import numpy as np

# Lossless widenings (by dtype name) for arrays an F0 file cannot hold as they are.
WIDEN = {"float16": "float32"}
SUFFIX = {"f0": ".f0", "npy": ".npy", "fits": ".fits"}

HELP = (
    "convert between F0, NumPy .npy and FITS",
    """Converts arrays between formats: "zeb convert IN OUT" one file, the formats
following the extensions; "zeb convert IN... --to FORMAT -o DIR" many files
in one go, each written into DIR under its own name with the new extension
(files found in a directory given keep their place below it in DIR, which
is created if needed), closing with a line "N files: N converted, N failed";
a progress bar shows on a terminal.

Formats: .f0, .npy, or .fits/.fit/.fts (FITS needs astropy:
pip install 'pyzeb[fits]'; tile-compressed .fits.fz and gzip-compressed
.fits.gz are read too).  Output names drop the whole FITS extension
(x.fits.fz gives x.f0).  FITS output is an image HDU with the F0 header
text in the keyword F0TEXT (printable ASCII as is, other bytes as backslash
escapes) and CHECKSUM/DATASUM cards (fitscheck verifies them).

FITS input takes the only HDU with image data, the one --hdu names (an
index, 0 being the primary, or an EXTNAME, with ",EXTVER" where several
share it), or with --all-hdus every image HDU, each to NAME-hduN.  A file
holding what the F0 files would not keep (tables, other images, an empty
primary array) is refused with one line for each such HDU, unless
--allow-loss is given (the images are converted, one line for each part
left out).  Integer images keep their stored integers: BSCALE, BZERO and
BLANK stay keywords (zeb info says "scaled"; physical = BZERO + BSCALE x
stored); the unsigned conventions become unsigned dtypes.  FITS keywords
travel in the F0 file's metadata as {"fits": [[keyword, value, comment],
...]} in their order, COMMENT and HISTORY included, except those that
describe the stored array (SIMPLE, BITPIX, NAXISn, EXTEND, XTENSION,
PCOUNT, GCOUNT, CHECKSUM, DATASUM, tile compression); an extension keeps
the primary header too ("fits_primary"), and with INHERIT = T also gets
its cards, as FITS readers merge them.  F0 to FITS writes them back as
they were, and any other metadata as JSON in the keyword F0META.  Large
headers are stored deflated; one that still does not fit in an F0 header
fails: --no-keywords leaves them out.  The header text is kept from F0
and FITS input (F0TEXT, else OBJECT and DATE-OBS, else the file name)
unless --header is given.

Float arrays of whole numbers are stored exactly as the smallest integer
type that holds them; --quantize Q stores floats quantized (lossy: the
noise / Q is the step, each value within half a step; zeb info says
"quantized").  Unsigned and bool arrays are stored as they are (bool as
uint8 0 and 1 in FITS, which has no bool images); float16 is widened to
float32; others (complex numbers) are refused, one line each.  Each output
is written to a temporary file, flushed to disk (not with --no-sync, for
scratch files) and renamed over any file of that name.""",
    "zeb convert frame.f0 frame.fits && zeb convert night/*.f0 --to fits -o fits/")


def add_parser(sub: Any) -> None:
    p = command(sub, "convert", *HELP, run)
    walking(p, "IN OUT (one file), or IN... with --to and -o: files (.f0, .npy, .fits) and directories "
               "to search for *.f0 (with --to f0: for FITS files)")
    p.add_argument("--to", choices=sorted(SUFFIX), help="many files: the format to write (with -o DIR)")
    p.add_argument("-o", "--output", metavar="DIR", help="many files: the directory to write into")
    g = p.add_mutually_exclusive_group()
    g.add_argument("--compress", dest="compress", action="store_true", default=None,
                   help="F0 output: the smallest crunch stream, or raw where none is smaller (the default)")
    g.add_argument("--no-compress", dest="compress", action="store_false", help="F0 output: raw data")
    p.add_argument("--slice", type=positive_slice, metavar="N",
                   help="F0 output: the plain crunch stream of slice N (0-32) instead of the automatic choice")
    p.add_argument("--header", metavar="TEXT",
                   help="header text of F0 or FITS output (at most 255 bytes of UTF-8; default: the input's)")
    p.add_argument("--hdu", metavar="N|EXTNAME[,EXTVER]",
                   help="FITS input: the HDU to convert, by index (0 is the primary) or EXTNAME "
                        "(default: the only one with an image)")
    p.add_argument("--all-hdus", action="store_true",
                   help="FITS input: every image HDU, each to its own file NAME-hduN")
    p.add_argument("--allow-loss", action="store_true",
                   help="FITS input: convert the images even where tables or other HDUs are left out "
                        "(one line for each)")
    p.add_argument("--quantize", type=quantize_level, metavar="Q",
                   help="F0 output: store floats quantized, lossy, with the noise / Q as step "
                        "(4 keeps the error well below the noise)")
    p.add_argument("--no-sync", dest="sync", action="store_false",
                   help="F0 output: do not flush to disk before the rename (scratch files: still whole "
                        "or absent, but not durable across a crash)")
    p.add_argument("--no-keywords", dest="keywords", action="store_false",
                   help="FITS input: leave the FITS keywords out of the F0 file's metadata")


def quantize_level(value: str) -> float:
    try:
        q = float(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number: {value!r}") from None
    if not 0 < q < float("inf"):
        raise argparse.ArgumentTypeError(f"quantize level {value} must be a positive number")
    return q


def positive_slice(value: str) -> int:
    n = int(value)
    if not 0 <= n <= 32:
        raise argparse.ArgumentTypeError(f"slice {n} out of range: 0 to 32")
    return n


def storable(a: np.ndarray) -> np.ndarray:
    """The array widened losslessly where an F0 file cannot hold its type."""
    wider = WIDEN.get(a.dtype.name)
    return a.astype(wider) if wider else a


def fits_storable(a: np.ndarray, path: str) -> None:
    """Refuses what a FITS image cannot hold, before anything is written."""
    if a.ndim == 0 or 0 in a.shape:
        raise Failure(f"{name(path)}: a FITS image cannot hold an array of shape {shape_text(a.shape)}")
    if not (a.dtype.kind in "iub" and a.dtype.itemsize <= 8 or a.dtype.kind == "f" and a.dtype.itemsize in (4, 8)):
        raise Failure(f"{name(path)}: a FITS image cannot hold {a.dtype.name} data "
                      "(integers of 8 to 64 bits and float32/float64 only)")


def save(path: str, fmt: str, a: np.ndarray, text: str, compress: bool | int,
         metadata: dict[str, Any] | None = None, quantize: float | None = None, sync: bool = True,
         source: str = "") -> None:
    if fmt == "f0":
        options: dict[str, Any] = {} if sync else {"sync": False}
        pyzeb.write(path, storable(a), compress=compress, header=text, metadata=metadata, quantize=quantize,
                    **options)
    elif fmt == "npy":
        import numpy as np
        atomic(path, lambda f: np.save(f, a, allow_pickle=False))
    else:
        need("astropy.io.fits", "FITS conversion")
        fits_storable(a, path)
        from .._fits import header_text, write_fits
        # A text made from the keywords (or the file name) at conversion is
        # not written back: the FITS file comes back as it was.
        made = header_text(pyzeb.fits_header(metadata or {}), fits_stem(source or path))
        value = fits_text(text) if text and text != made else None
        atomic(path, lambda f: write_fits(f, a, value, metadata or {}))


def write_one(src: str, dst: str, fmt_in: str, a: np.ndarray, text: str, metadata: dict[str, Any],
              args: argparse.Namespace, compress: bool | int) -> None:
    if args.header is not None:
        text = args.header
    try:
        save(dst, kind(dst, "OUT"), a, text, compress, metadata, args.quantize, args.sync, src)
    except ValueError as exc:
        if fmt_in == "fits" and str(exc).startswith("metadata too large"):
            raise Failure(f"{name(dst)}: the FITS keywords of {name(src)} do not fit in an F0 header "
                          f"({exc}); convert with --no-keywords to leave them out") from None
        raise Failure(f"{name(dst)}: {cause(exc, dst)}") from None
    except (OSError, TypeError) as exc:
        raise Failure(f"{name(dst)}: {cause(exc, dst)}") from None


def convert_fits(src: str, dst: str, args: argparse.Namespace, compress: bool | int) -> None:
    """A FITS file to one file, or with --all-hdus to one file per image HDU."""
    need("astropy.io.fits", "FITS conversion")
    from .._fits import image_metadata, left_out, open_fits
    try:
        with open_fits(src) as hdus:
            taken = fits_images(hdus, src, args.hdu, args.all_hdus)
            lost = left_out(hdus, taken)
            if lost and not args.allow_loss:
                for line in lost:
                    report(args, f"{name(src)}: {line}")
                raise Failure(f"{name(src)}: not converted: {len(lost)} HDU{'s' if len(lost) > 1 else ''} "
                              "would be left out (--allow-loss converts the images alone)")
            for line in lost:
                report(args, f"{name(src)}: left out: {line}")
            stem = os.path.join(os.path.dirname(dst), fits_stem(dst))
            ext = dst[len(stem):]
            for i in taken:
                a, metadata = image_metadata(hdus, i, args.keywords)
                out = f"{stem}-hdu{i}{ext}" if args.all_hdus else dst
                text = fits_text_of(hdus[i].header, fits_stem(out))
                write_one(src, out, "fits", a, text, metadata, args, compress)
    except (OSError, ValueError) as exc:
        raise Failure(f"{name(src)}: {cause(exc, src)}") from None


def convert_one(src: str, dst: str, args: argparse.Namespace, compress: bool | int) -> None:
    fmt_in = kind(src, "IN")
    if fmt_in == "fits":
        convert_fits(src, dst, args, compress)
        return
    try:
        a, text, metadata = load(src, fmt_in)
    except (OSError, ValueError) as exc:
        raise Failure(f"{name(src)}: {cause(exc, src)}") from None
    write_one(src, dst, fmt_in, a, text, metadata, args, compress)


def run(args: argparse.Namespace, out: TextIO) -> int:
    if args.to is None:
        if args.output is not None or len(args.paths) != 2:
            raise UsageError("convert IN OUT, or convert IN... --to FORMAT -o DIR")
        src, dst = args.paths
        if kind(src, "IN") != "fits" and (args.hdu is not None or not args.keywords or args.all_hdus
                                          or args.allow_loss):
            raise UsageError("--hdu, --all-hdus, --allow-loss and --no-keywords apply to FITS input only")
        fmt_out = kind(dst, "OUT")
    else:
        if args.output is None:
            raise UsageError("--to needs -o DIR, the directory to write into")
        fmt_out = args.to
    if fmt_out != "f0" and (args.slice is not None or args.compress is not None or args.quantize is not None
                            or not args.sync):
        raise UsageError("--compress, --no-compress, --slice, --quantize and --no-sync apply to F0 output only")
    if args.hdu is not None and args.all_hdus:
        raise UsageError("--hdu and --all-hdus contradict each other")
    if fmt_out == "npy" and args.header is not None:
        raise UsageError("--header: a .npy file has no header text")
    if args.slice is not None and args.compress is False:
        raise UsageError("--slice and --no-compress contradict each other")
    compress = args.slice if args.slice is not None else args.compress is not False
    if args.to is None:
        convert_one(src, dst, args, compress)
        return EXIT_OK
    if os.path.exists(args.output) and not os.path.isdir(args.output):
        raise UsageError(f"-o {name(args.output)}: not a directory")
    errors: list[str] = []
    if fmt_out == "f0":  # directories are searched for FITS files
        inputs = list(walk(args, errors, match=is_fits, what="FITS files"))
    else:
        inputs = list(walk(args, errors, match=is_f0))
    for path in inputs:
        kind(path, "IN")
    pairs = outputs(args, inputs, SUFFIX[fmt_out])
    return many(args, out, pairs, errors, lambda src, dst: convert_one(src, dst, args, compress), done="converted")
