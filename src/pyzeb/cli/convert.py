"""`zeb convert`: arrays between F0, NumPy .npy and FITS files."""
from __future__ import annotations

import argparse
import os
import warnings
from typing import TYPE_CHECKING, Any, TextIO

import pyzeb

from ._common import (EXIT_OK, FITS_KEY, Failure, UsageError, atomic, cause, command, fits_text, kind, load, many,
                      name, need, outputs, shape_text, walk, walking)

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
pip install 'pyzeb[fits]'; tile-compressed .fits.fz is read too).  FITS
output is a primary image HDU with the F0 header text in the keyword F0TEXT
(printable ASCII as is, other bytes as backslash escapes) and CHECKSUM/DATASUM
cards (fitscheck verifies them).  FITS input takes the only HDU with image
data, or the one --hdu N names (0 is the primary HDU; a file with several
image HDUs needs --hdu, none is chosen silently).  FITS keywords travel in the
F0 file's metadata as {"fits": [[keyword, value, comment], ...]} in their
order, COMMENT and HISTORY included, except those that describe the stored
array (SIMPLE, BITPIX, NAXISn, EXTEND, XTENSION, PCOUNT, GCOUNT, BSCALE,
BZERO, CHECKSUM, DATASUM, tile compression); F0 to FITS writes them back, and
any other metadata as JSON in the keyword F0META.  Keywords that do not fit in
an F0 header (about 7.5 kB of metadata) make the conversion fail:
--no-keywords leaves them out.  Unsigned and bool arrays are stored as they
are (bool as uint8 0 and 1 in FITS, which has no bool images); float16 is
widened to float32; others (complex numbers) are refused, one line each.  The header text is kept from
F0 and FITS input unless --header is given.  Each output is written to a
temporary file, flushed to disk and renamed over any file of that name.""",
    "zeb convert frame.f0 frame.fits && zeb convert night/*.f0 --to fits -o fits/")


def add_parser(sub: Any) -> None:
    p = command(sub, "convert", *HELP, run)
    walking(p, "IN OUT (one file), or IN... with --to and -o: files (.f0, .npy, .fits) and directories "
               "to search for *.f0")
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
    p.add_argument("--hdu", type=int, metavar="N",
                   help="FITS input: the HDU to convert (0 is the primary; default: the only one with an image)")
    p.add_argument("--no-keywords", dest="keywords", action="store_false",
                   help="FITS input: leave the FITS keywords out of the F0 file's metadata")


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
         metadata: dict[str, Any] | None = None) -> None:
    if fmt == "f0":
        pyzeb.write(path, storable(a), compress=compress, header=text, metadata=metadata)
    elif fmt == "npy":
        import numpy as np
        atomic(path, lambda f: np.save(f, a, allow_pickle=False))
    else:
        fits = need("astropy.io.fits", "FITS conversion")
        fits_storable(a, path)
        hdu = fits.PrimaryHDU(a.astype("uint8") if a.dtype.kind == "b" else a)
        from .._fits import add_metadata
        # a long text leaves no room for the comment, keywords longer than 8
        # characters become HIERARCH cards (as they were): no matter
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", fits.verify.VerifyWarning)
            if text:
                hdu.header[FITS_KEY] = (fits_text(text), "F0 header text")
            add_metadata(hdu.header, metadata or {})
            # CHECKSUM and DATASUM, which fitscheck verifies
            atomic(path, lambda f: hdu.writeto(f, checksum=True))


def convert_one(src: str, dst: str, args: argparse.Namespace, compress: bool | int) -> None:
    fmt_in, fmt_out = kind(src, "IN"), kind(dst, "OUT")
    try:
        a, text, metadata = load(src, fmt_in, args.hdu, args.keywords)
    except (OSError, ValueError) as exc:
        raise Failure(f"{name(src)}: {cause(exc, src)}") from None
    if args.header is not None:
        text = args.header
    try:
        save(dst, fmt_out, a, text, compress, metadata)
    except ValueError as exc:
        if fmt_in == "fits" and str(exc).startswith("metadata too large"):
            raise Failure(f"{name(dst)}: the FITS keywords of {name(src)} do not fit in an F0 header "
                          f"({exc}); convert with --no-keywords to leave them out") from None
        raise Failure(f"{name(dst)}: {cause(exc, dst)}") from None
    except (OSError, TypeError) as exc:
        raise Failure(f"{name(dst)}: {cause(exc, dst)}") from None


def run(args: argparse.Namespace, out: TextIO) -> int:
    if args.to is None:
        if args.output is not None or len(args.paths) != 2:
            raise UsageError("convert IN OUT, or convert IN... --to FORMAT -o DIR")
        src, dst = args.paths
        if kind(src, "IN") != "fits" and (args.hdu is not None or not args.keywords):
            raise UsageError("--hdu and --no-keywords apply to FITS input only")
        fmt_out = kind(dst, "OUT")
    else:
        if args.output is None:
            raise UsageError("--to needs -o DIR, the directory to write into")
        fmt_out = args.to
    if fmt_out != "f0" and (args.slice is not None or args.compress is not None):
        raise UsageError("--compress, --no-compress and --slice apply to F0 output only")
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
    inputs = list(walk(args, errors))
    for path in inputs:
        kind(path, "IN")
    pairs = outputs(args, inputs, SUFFIX[fmt_out])
    return many(args, out, pairs, errors, lambda src, dst: convert_one(src, dst, args, compress), done="converted")
