"""The `zeb` command: list, show, check, checksum, convert, recompress and preview F0 files.

Run as ``zeb`` (the console script) or ``python -m pyzeb``; ``zeb --help`` and
``zeb COMMAND --help`` describe everything.  Everything here goes through the
public pyzeb API.  The command prints its output on standard output, errors as
one line each on standard error, and never a traceback.
"""
from __future__ import annotations

import argparse
import io
import json
import os
import signal
import sys
import warnings
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any, NoReturn, TextIO

import numpy as np

import pyzeb

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2
TEXT_WIDTH = 40          # header text shown by `zeb info`
PROGRESS_MIN_FILES = 8   # `zeb verify` shows a progress bar from this many files on
STREAMS = {0: "plain", 1: "plain", 2: "run-length", 3: "run-length", 4: "plain"}  # by compression type
FITS_KEY = "F0TEXT"      # FITS keyword that carries the F0 header text
# Lossless widenings for arrays an F0 file cannot hold as they are.
WIDEN = {np.dtype(np.float16): np.float32}
FORMATS = {".f0": "f0", ".npy": "npy", ".fits": "fits", ".fit": "fits", ".fts": "fits", ".fz": "fits"}
EXTRA = {"astropy": "fits", "PIL": "cli"}


class Failure(Exception):
    """A failure reported as one line "zeb CMD: message" with exit status 1."""


class UsageError(Exception):
    """A bad argument found after parsing: "zeb CMD: error: message", exit status 2."""


# ---- output helpers ---------------------------------------------------------

def shown(text: str) -> str:
    """Header text made printable on one line: control characters and bytes
    that are not UTF-8 appear as escapes."""
    raw = text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii") for c in raw)


def cause(exc: BaseException, name: str) -> str:
    """The reason in an exception's message, without the file name it may start with."""
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    msg = str(exc) or type(exc).__name__
    for prefix in (f"{name}: ", f"'{name}': "):
        if msg.startswith(prefix):
            return msg[len(prefix):]
    return msg


def need(module: str, what: str) -> Any:
    """Imports an optional dependency or fails with what to install."""
    import importlib
    try:
        return importlib.import_module(module)
    except ImportError:
        top = module.split(".")[0]
        package = {"PIL": "Pillow"}.get(top, top)
        extra = EXTRA.get(top)
        raise Failure(f"{what} needs {package}: pip install " + (f"'pyzeb[{extra}]'" if extra else package)) from None


def human(n: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if abs(n) < 1024 or unit == "GiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    return f"{n:.1f} TiB"  # pragma: no cover


# ---- finding files ----------------------------------------------------------

def walk(args: argparse.Namespace, errors: list[str]) -> Iterator[str]:
    """The files named, and the *.f0 files in the directories named (their
    subdirectories too with --recursive), in sorted order.  Paths that cannot
    be listed are reported at once and collected in `errors`."""
    def failed(line: str) -> None:
        errors.append(line)
        report(args, line)

    for path in args.paths:
        if os.path.isdir(path):
            if args.recursive:
                for root, dirs, files in os.walk(path, onerror=lambda e: failed(f"{e.filename}: {e.strerror}")):
                    dirs.sort()
                    yield from (os.path.join(root, f) for f in sorted(files) if f.endswith(".f0"))
            else:
                try:
                    names = sorted(os.listdir(path))
                except OSError as exc:
                    failed(f"{path}: {exc.strerror}")
                    continue
                yield from (os.path.join(path, f) for f in names
                            if f.endswith(".f0") and not os.path.isdir(os.path.join(path, f)))
        elif os.path.exists(path):
            yield path
        else:
            failed(f"{path}: No such file or directory")


# ---- info -------------------------------------------------------------------

def describe(path: str) -> dict[str, Any]:
    h = pyzeb.read_header(path)
    size = os.stat(path).st_size
    return {
        "file": path, "shape": list(h.shape), "dtype": h.dtype.name, "compressed": h.compressed,
        "compression_type": h.compression_type, "slice": h.slice, "byteorder": h.byteorder,
        "header_blocks": h.header_blocks, "data_offset": h.data_offset, "data_size": h.data_size,
        "file_size": size, "nbytes": h.nbytes,
        "ratio": round(h.nbytes / h.data_size, 3) if h.data_size else None, "text": h.text,
        "checksum": h.checksum, "data_changed": h.data_changed, "metadata": h.metadata,
    }


def checksum_word(d: dict[str, Any]) -> str:
    if not d["checksum"]:
        return "no checksum"
    return "checksum (data changed in place)" if d["data_changed"] else "checksum"


def info_line(d: dict[str, Any]) -> str:
    shape = "x".join(map(str, d["shape"])) or "scalar"
    how = f"crunch type {d['compression_type']} ({STREAMS.get(d['compression_type'], '?')}) slice {d['slice']}" \
        if d["compressed"] else \
        f"raw {'big' if d['byteorder'] == '>' else 'little'}-endian"
    ratio = f"ratio {d['ratio']:.2f}" if d["ratio"] is not None else "ratio -"
    text = shown(d["text"])
    if len(text) > TEXT_WIDTH:
        text = text[:TEXT_WIDTH - 3] + "..."
    return f'{d["file"]}  {shape} {d["dtype"]}  {how}  {d["file_size"]} bytes  {ratio}  {checksum_word(d)}  "{text}"'


def cmd_info(args: argparse.Namespace, out: TextIO) -> int:
    errors: list[str] = []
    status = EXIT_OK
    for path in walk(args, errors):
        try:
            d = describe(path)
        except (OSError, ValueError) as exc:
            report(args, f"{path}: {cause(exc, path)}")
            status = EXIT_FAILED
            continue
        if args.json:
            d["text"] = d["text"].encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
            print(json.dumps(d, ensure_ascii=False), file=out)
        else:
            print(info_line(d), file=out)
    return EXIT_FAILED if errors else status


# ---- header -----------------------------------------------------------------

def cmd_header(args: argparse.Namespace, out: TextIO) -> int:
    try:
        text = pyzeb.read_header(args.file).text
    except (OSError, ValueError) as exc:
        raise Failure(f"{args.file}: {cause(exc, args.file)}") from None
    if hasattr(out, "buffer"):  # the exact bytes, whatever the terminal's encoding
        out.flush()
        out.buffer.write(text.encode("utf-8", "surrogateescape") + b"\n")
    else:
        print(text, file=out)
    return EXIT_OK


# ---- verify -----------------------------------------------------------------

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


def progress(items: list[str]) -> Any:
    """A tqdm progress bar on standard error when that is a terminal and the
    list is long enough to be worth one (and tqdm is installed)."""
    if len(items) < PROGRESS_MIN_FILES or not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=len(items), file=sys.stderr, unit="file", leave=False)


def cmd_verify(args: argparse.Namespace, out: TextIO) -> int:
    errors: list[str] = []
    files = list(walk(args, errors))
    bar = progress(files)

    def say(line: str) -> None:
        if bar is not None:
            bar.clear()
        print(line, file=out, flush=bar is not None)
        if bar is not None:
            bar.refresh()

    counts = dict.fromkeys((VERIFIED, DECODED, CHANGED, DAMAGED), 0)
    try:
        for path in files:
            state, note = check(path)
            counts[state] += 1
            if state == DAMAGED:
                say(f"{path}: damaged: {note}")
            else:
                say(f"{path}: {VERDICTS[state]}" + (f", with a warning: {note}" if note else ""))
            if bar is not None:
                bar.update()
    finally:
        if bar is not None:
            bar.close()
    n, damaged = len(files), counts[DAMAGED]
    detail = f"{counts[VERIFIED]} verified by checksum, {counts[DECODED]} without checksum (decoded only)"
    if counts[CHANGED]:
        detail += f", {counts[CHANGED]} changed in place (decoded only)"
    print(f"{n} file{'s' * (n != 1)} checked, {n - damaged} sound ({detail}), {damaged} damaged", file=out)
    return EXIT_FAILED if damaged or errors else EXIT_OK


# ---- checksum -----------------------------------------------------------------

CHECKSUM_DONE = {"added": "checksum added", "renewed": "checksum renewed",
                 "kept": "checksum present and verified, kept"}


def cmd_checksum(args: argparse.Namespace, out: TextIO) -> int:
    errors: list[str] = []
    done = dict.fromkeys(CHECKSUM_DONE, 0)
    failed = 0
    for path in walk(args, errors):
        try:
            action = pyzeb.add_checksum(path)
        except (OSError, ValueError) as exc:
            report(args, f"{path}: left as it is: {cause(exc, path)}")
            failed += 1
            continue
        done[action] += 1
        print(f"{path}: {CHECKSUM_DONE[action]}", file=out)
    n = sum(done.values()) + failed
    print(f"{n} file{'s' * (n != 1)}: {done['added']} checksums added, {done['renewed']} renewed, "
          f"{done['kept']} kept, {failed} failed", file=out)
    return EXIT_FAILED if failed or errors else EXIT_OK


# ---- convert ----------------------------------------------------------------

def kind(path: str, option: str) -> str:
    ext = Path(path).suffix.lower()
    if ext not in FORMATS:
        raise UsageError(f"{option} {path!r}: unknown extension {ext or '(none)'!r}: use .f0, .npy or .fits")
    if ext == ".fz" and option == "OUT":
        raise UsageError(f"OUT {path!r}: tile-compressed FITS is read, not written: name it .fits")
    return FORMATS[ext]


def fits_text(value: str) -> str:
    """Header text as a FITS string value: printable ASCII as it is, anything
    else (and the backslash) as Python escapes, so that it comes back exactly."""
    raw = value.encode("utf-8", "surrogateescape")
    return raw.decode("latin-1").encode("unicode_escape").decode("ascii")


def text_from_fits(value: str) -> str:
    raw = value.encode("ascii", "backslashreplace").decode("unicode_escape").encode("latin-1", "replace")
    return raw.decode("utf-8", "surrogateescape")


def image_hdu(hdus: Any, path: str, hdu: int | None) -> Any:
    """The HDU --hdu names, else the only image HDU with data; several of
    them without --hdu is a usage error that lists them."""
    if hdu is not None:
        if not 0 <= hdu < len(hdus):
            raise UsageError(f"--hdu {hdu}: {path} has HDUs 0 to {len(hdus) - 1}")
        if not hdus[hdu].is_image or hdus[hdu].data is None or hdus[hdu].data.ndim == 0:
            raise Failure(f"{path}: HDU {hdu} holds no image data")
        return hdus[hdu]
    images = [i for i, h in enumerate(hdus) if h.is_image and h.data is not None and h.data.ndim > 0]
    if not images:
        raise Failure(f"{path}: no image data in any HDU")
    if len(images) > 1:
        raise UsageError(f"IN {path!r}: HDUs {', '.join(map(str, images))} all hold images: choose one with --hdu N")
    return hdus[images[0]]


def load(path: str, fmt: str, hdu: int | None = None,
         keywords: bool = True) -> tuple[np.ndarray, str, dict[str, Any]]:
    """The array in a file, its header text (empty where the format has none)
    and metadata (a FITS file's keywords among them)."""
    if fmt == "f0":
        h = pyzeb.read_header(path)
        return pyzeb.read(path), h.text, h.metadata
    if fmt == "npy":
        return np.load(path, allow_pickle=False), "", {}
    fits = need("astropy.io.fits", "FITS conversion")
    from ._fits import header_metadata
    with fits.open(path, memmap=False) as hdus:
        image = image_hdu(hdus, path, hdu)
        text = image.header.get(FITS_KEY, "")
        return (np.array(image.data), text_from_fits(text) if isinstance(text, str) else "",
                header_metadata(image.header, keywords))


def storable(a: np.ndarray) -> np.ndarray:
    """The array widened losslessly where an F0 file cannot hold its type."""
    dt = a.dtype.newbyteorder("=")
    if dt in WIDEN:
        return a.astype(WIDEN[dt])
    return a


def atomic(out: str, save: Callable[[str], object]) -> None:
    """Writes through a temporary file beside `out`, renamed over it when complete."""
    target = Path(out)
    tmp = target.with_name(f".{target.name}.zeb-{os.getpid()}.tmp{target.suffix}")
    try:
        save(str(tmp))
        os.replace(tmp, target)
    finally:
        tmp.unlink(missing_ok=True)


def save(path: str, fmt: str, a: np.ndarray, text: str, compress: bool | int,
         metadata: dict[str, Any] | None = None) -> None:
    if fmt == "f0":
        pyzeb.write(path, storable(a), compress=compress, header=text, metadata=metadata)
    elif fmt == "npy":
        atomic(path, lambda tmp: np.save(tmp, a, allow_pickle=False))
    else:
        fits = need("astropy.io.fits", "FITS conversion")
        if a.ndim == 0 or 0 in a.shape:
            raise Failure(f"{path}: a FITS image cannot hold an array of shape {a.shape}")
        from ._fits import add_metadata
        hdu = fits.PrimaryHDU(a.view(np.uint8) if a.dtype == np.bool_ else a)  # FITS has no bool images: 0 and 1
        if text:
            hdu.header[FITS_KEY] = (fits_text(text), "F0 header text")
        with warnings.catch_warnings():
            # keywords longer than 8 characters become HIERARCH cards, as they were
            warnings.simplefilter("ignore", fits.verify.VerifyWarning)
            add_metadata(hdu.header, metadata or {})
        # CHECKSUM and DATASUM, which fitscheck verifies
        atomic(path, lambda tmp: hdu.writeto(tmp, overwrite=True, checksum=True))


def cmd_convert(args: argparse.Namespace, out: TextIO) -> int:
    src, dst = kind(args.input, "IN"), kind(args.output, "OUT")
    if dst != "f0" and (args.slice is not None or args.compress is not None):
        raise UsageError("--compress, --no-compress and --slice apply to F0 output only")
    if dst == "npy" and args.header is not None:
        raise UsageError("--header: a .npy file has no header text")
    if args.slice is not None and args.compress is False:
        raise UsageError("--slice and --no-compress contradict each other")
    if src != "fits" and (args.hdu is not None or not args.keywords):
        raise UsageError("--hdu and --no-keywords apply to FITS input only")
    compress = args.slice if args.slice is not None else args.compress is not False
    try:
        a, text, metadata = load(args.input, src, args.hdu, args.keywords)
    except (OSError, ValueError) as exc:
        raise Failure(f"{args.input}: {cause(exc, args.input)}") from None
    if args.header is not None:
        text = args.header
    try:
        save(args.output, dst, a, text, compress, metadata)
    except ValueError as exc:
        if src == "fits" and str(exc).startswith("metadata too large"):
            raise Failure(f"{args.output}: the FITS keywords of {args.input} do not fit in an F0 header "
                          f"({exc}); convert with --no-keywords to leave them out") from None
        raise Failure(f"{args.output}: {cause(exc, args.output)}") from None
    except (OSError, TypeError) as exc:
        raise Failure(f"{args.output}: {cause(exc, args.output)}") from None
    return EXIT_OK


# ---- recompress -------------------------------------------------------------

def recompress(path: str, dry_run: bool) -> tuple[int, int, str]:
    """(bytes before, bytes after, what was done) for one file."""
    st = os.stat(path)  # the file as read: it is replaced only if it is still this one
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", pyzeb.FormatWarning)
        h = pyzeb.read_header(path)
    before = st.st_size
    if h.header_blocks > 1 and not h.checksum:
        return before, before, f"kept: its {h.header_blocks - 1} extra header blocks would be lost"
    if any(issubclass(w.category, pyzeb.FormatWarning) for w in caught):
        return before, before, "kept: its header record is of a newer version, whose content would be lost"
    if before > h.data_offset + h.data_size:
        return before, before, f"kept: the {before - h.data_offset - h.data_size} bytes after its data would be lost"
    a = pyzeb.read(path)
    text, metadata = h.text, h.metadata
    data = pyzeb.encode(a, compress=True, header=text, metadata=metadata)
    back = pyzeb.decode(data)
    if back.dtype != a.dtype or back.shape != a.shape or \
            not np.array_equal(back.reshape(-1).view(np.uint8), a.reshape(-1).view(np.uint8)):
        raise Failure(f"{path}: the recompressed data did not read back equal; the file is untouched")
    if len(data) >= before:
        return before, before, "kept: already as small"
    if dry_run:
        return before, len(data), "would be rewritten"
    target = os.path.realpath(path)  # a symbolic link keeps pointing at the rewritten file
    mode = os.stat(target).st_mode & 0o7777
    # the new file replaces the old one by rename: a umask that keeps no more
    # than the old permission bits means it is never more open than the old file
    umask = os.umask(0o777 & ~mode)
    try:
        pyzeb.write(target, a, compress=True, header=text, metadata=metadata, if_unchanged=st)
    finally:
        os.umask(umask)
    os.chmod(target, mode)
    return before, os.stat(target).st_size, "rewritten"


def cmd_recompress(args: argparse.Namespace, out: TextIO) -> int:
    errors: list[str] = []
    status = EXIT_OK
    total = saved = changed = 0
    for path in walk(args, errors):
        total += 1
        try:
            before, after, what = recompress(path, args.dry_run)
        except Failure as exc:
            report(args, str(exc))
            status = EXIT_FAILED
            continue
        except (OSError, ValueError) as exc:
            report(args, f"{path}: {cause(exc, path)}")
            status = EXIT_FAILED
            continue
        changed += after < before
        saved += before - after
        print(f"{path}: {before} -> {after} bytes, {what}", file=out)
    verb = "would save" if args.dry_run else "saved"
    print(f"{total} file{'s' * (total != 1)}, {changed} {'to rewrite' if args.dry_run else 'rewritten'}, "
          f"{verb} {saved} bytes ({human(saved)})", file=out)
    return EXIT_FAILED if errors else status


# ---- preview ----------------------------------------------------------------

def plane(a: np.ndarray, n: int, name: str) -> np.ndarray:
    if a.ndim < 2:
        raise Failure(f"{name}: a preview needs an array of at least 2 dimensions, this one has shape {a.shape}")
    planes = a.reshape(-1, *a.shape[-2:])
    if not -len(planes) <= n < len(planes):
        raise Failure(f"{name}: plane {n} out of range: the file has {len(planes)} plane(s) of {a.shape[-2:]}")
    frame: np.ndarray = planes[n]
    return frame


def scaled(p: np.ndarray, lo_pct: float, hi_pct: float, log: bool) -> np.ndarray:
    """Values in [0, 1]: linear between the two percentiles of the finite
    values, optionally on a logarithmic stretch; NaN and infinities become 0."""
    v = p.astype(np.float64)
    finite = np.isfinite(v)
    if not finite.any():
        return np.zeros(v.shape)
    lo, hi = np.percentile(v[finite], [lo_pct, hi_pct])
    t: np.ndarray = np.clip((v - lo) / (hi - lo), 0, 1) if hi > lo else (v > lo).astype(np.float64)
    if log:
        t = np.log1p(1000 * t) / np.log1p(1000)
    t[~finite] = 0
    return t


def cmd_preview(args: argparse.Namespace, out: TextIO) -> int:
    lo, hi = args.percentiles
    if not 0 <= lo < hi <= 100:
        raise UsageError(f"--percentiles {lo:g} {hi:g}: need 0 <= LO < HI <= 100")
    if Path(args.output).suffix.lower() != ".png":
        raise UsageError(f"-o {args.output!r}: the preview is a PNG file, name it *.png")
    image = need("PIL.Image", "preview")
    lut = None
    if args.cmap:
        mpl = need("matplotlib", "--cmap")
        try:
            cmap = mpl.colormaps[args.cmap]
        except KeyError:
            raise UsageError(f"--cmap {args.cmap!r}: not one of matplotlib's colour maps") from None
        lut = (cmap(np.linspace(0, 1, 256))[:, :3] * 255 + 0.5).astype(np.uint8)
    try:
        # raw data are mapped, so that only the plane shown is read from a large cube
        a = pyzeb.read(args.file) if pyzeb.read_header(args.file).compressed else pyzeb.memmap(args.file)
        frame = np.array(plane(a, args.plane, args.file))
    except (OSError, ValueError) as exc:
        raise Failure(f"{args.file}: {cause(exc, args.file)}") from None
    levels = (scaled(frame, lo, hi, args.log) * 255 + 0.5).astype(np.uint8)
    picture = image.fromarray(lut[levels], "RGB") if lut is not None else image.fromarray(levels, "L")
    try:
        atomic(args.output, lambda tmp: picture.save(tmp, format="PNG"))
    except OSError as exc:
        raise Failure(f"{args.output}: {cause(exc, args.output)}") from None
    print(args.output, file=out)
    return EXIT_OK


# ---- the parser ---------------------------------------------------------------

class Parser(argparse.ArgumentParser):
    """Reports a usage error as one line, exit status 2."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def positive_slice(value: str) -> int:
    n = int(value)
    if not 0 <= n <= 32:
        raise argparse.ArgumentTypeError(f"slice {n} out of range: 0 to 32")
    return n


HELP = {
    "info": ("one line per file from its headers only",
             """Prints one line per F0 file, from its headers only (the data are not read):
name, shape, dtype, how the data are stored (raw and its byte order, or the
crunch stream's type and slice), size on disk, compression ratio (array bytes
over stored data bytes), whether the file carries a checksum ("checksum",
"no checksum", or "checksum (data changed in place)" after a memory map was
written to) and the start of the header text.  With --json the metadata too.
Directories are searched for *.f0 files.""",
             "zeb info data/ --json | head -3"),
    "header": ("print a file's header text",
               "Prints the header text of an F0 file exactly as stored (bytes that are not\n"
               "UTF-8 included), followed by a newline.",
               "zeb header data/sample.f0"),
    "verify": ("read files completely and report damaged ones",
               """Reads every file completely and prints a line for each: "sound, checksum
verified" for a file whose checksums match; "sound as far as decoding tells"
for one without a checksum (older files, checksum=False; damage inside their
data can go unnoticed: `zeb checksum` adds one) or whose data were changed in
place; "damaged" with its cause (a checksum mismatch among them).  Then a
summary line "N files checked, N sound (N verified by checksum, N without
checksum (decoded only)), N damaged".  Exit status 0 only when every file is
sound.  Directories are searched for *.f0 files.  With standard error on a
terminal and more than a few files, a progress bar shows there (when tqdm is
installed).""",
               "zeb verify -r archive/"),
    "checksum": ("add checksums to existing files without re-encoding them",
                 """Gives each F0 file CRC-32C checksums of its header and of its data as stored,
in pyzeb's header record, without re-encoding the data: files without one
get one, files whose data were changed in place (a memory map written to) get
it renewed, files whose checksums are present and match are left as they
are.  A compressed stream is decoded first, so that damage is never sealed
in.  Each file is rewritten atomically, keeping its metadata and permissions,
and only if it did not change meanwhile.  Left as they are, with the reason:
damaged files (exit status 1), files with header blocks of another program or
with bytes after their data (which would be lost) and files with a header
record of a newer version.  Directories are searched for *.f0 files.""",
                 "zeb checksum -r archive/ && zeb verify -r archive/"),
    "convert": ("convert between F0, NumPy .npy and FITS",
                """Converts one array between formats; the format follows each file's
extension: .f0, .npy, or .fits/.fit/.fts (FITS needs astropy:
pip install 'pyzeb[fits]').  FITS output is a primary image HDU with the F0
header text in the keyword F0TEXT (printable ASCII as is, other bytes as
backslash escapes) and CHECKSUM/DATASUM cards (fitscheck verifies them).
FITS input (also tile-compressed .fits.fz) takes the only HDU with image data,
or the one --hdu N names (0 is the primary HDU; a file with several image
HDUs needs --hdu).  FITS keywords travel in the F0 file's metadata as
{"fits": [[keyword, value, comment], ...]} in their order, COMMENT and HISTORY
included, except those that describe the stored array (SIMPLE, BITPIX,
NAXISn, EXTEND, XTENSION, PCOUNT, GCOUNT, BSCALE, BZERO, CHECKSUM, DATASUM,
tile compression); F0 to FITS writes them back, and any other metadata as
JSON in the keyword F0META.  Keywords that do not fit in an F0 header (about
7.5 kB of metadata) make the conversion fail: --no-keywords leaves them out.
Unsigned and bool arrays are stored as they are (bool as uint8 0 and 1 in
FITS, which has no bool images); float16 is widened to float32; other types
are refused.  The header text is kept from F0 and FITS
input unless --header is given.  OUT is replaced if it exists, atomically.""",
                "zeb convert frame.f0 frame.fits && zeb convert frame.fits copy.f0 --slice 4"),
    "recompress": ("rewrite F0 files with the smallest stream",
                   """Rewrites each F0 file in place with the automatically chosen smallest
encoding (a crunch stream or raw data), keeping its header text, when that is
smaller than the file, with its metadata and checksums.  Each new encoding is
decoded and compared with the data before it replaces the file (atomically,
keeping the file's permission bits, and only if the file is still the one
that was read).  Files with header blocks of another program, a header record
of a newer version or bytes after their data are kept, as those would be
lost.  Prints the bytes saved per file and in total.""",
                   "zeb recompress --dry-run -r archive/"),
    "preview": ("write a quick-look PNG of a frame",
                """Writes a quick-look PNG of a 2-D array, or of one plane of a larger one
(the last two dimensions are the image; --plane counts the planes over all
leading dimensions, row 0 at the top).  Values are scaled linearly between two
percentiles of the finite values, optionally on a logarithmic stretch; NaN
shows black.  Greyscale, or in a matplotlib colour map with --cmap.  Needs
Pillow (pip install 'pyzeb[cli]'); --cmap needs matplotlib.  Prints the path
of the PNG.""",
                "zeb preview data/sample.f0 -o sample.png --log --cmap viridis"),
}


def build_parser() -> Parser:
    parser = Parser(
        prog="zeb", formatter_class=argparse.RawDescriptionHelpFormatter,
        description="List, check, checksum, convert, recompress and preview F0 array files.",
        epilog="Run 'zeb COMMAND --help' for each command's options.\n\n"
               "example:\n  zeb info data/\n  zeb verify -r archive/ && zeb preview data/sample.f0 -o sample.png\n\n"
               "exit status: 0 success, 1 failure (a missing or damaged file), 2 usage error.")
    parser.add_argument("--version", action="version", version=f"zeb (pyzeb) {pyzeb.__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)

    def command(name: str) -> argparse.ArgumentParser:
        summary, text, example = HELP[name]
        p = sub.add_parser(name, help=summary, description=text, epilog=f"example:\n  {example}",
                           formatter_class=argparse.RawDescriptionHelpFormatter)
        p.set_defaults(run=globals()[f"cmd_{name}"])
        return p

    def walking(p: argparse.ArgumentParser) -> None:
        p.add_argument("paths", nargs="+", metavar="PATH", help="F0 files, and directories to search for *.f0")
        p.add_argument("-r", "--recursive", action="store_true", help="search directories' subdirectories too")

    p = command("info")
    walking(p)
    p.add_argument("--json", action="store_true",
                   help="one JSON object per file (all header fields, sizes in bytes) instead of a line")
    p = command("header")
    p.add_argument("file", metavar="FILE", help="an F0 file")
    walking(command("verify"))
    walking(command("checksum"))
    p = command("convert")
    p.add_argument("input", metavar="IN", help="input file: .f0, .npy or .fits")
    p.add_argument("output", metavar="OUT", help="output file: .f0, .npy or .fits")
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
    p = command("recompress")
    walking(p)
    p.add_argument("-n", "--dry-run", action="store_true", help="only report what would be saved; write nothing")
    p = command("preview")
    p.add_argument("file", metavar="FILE", help="an F0 file")
    p.add_argument("-o", "--output", required=True, metavar="OUT.png", help="the PNG file to write")
    p.add_argument("--plane", type=int, default=0, metavar="N",
                   help="plane of an array of 3 or more dimensions (default 0; negative counts from the end)")
    p.add_argument("--percentiles", type=float, nargs=2, default=(1.0, 99.0), metavar=("LO", "HI"),
                   help="values at these percentiles become black and white (default: 1 99)")
    p.add_argument("--log", action="store_true", help="logarithmic stretch between the percentiles")
    p.add_argument("--cmap", metavar="NAME", help="a matplotlib colour map, e.g. viridis, gray, inferno")
    return parser


def report(args: argparse.Namespace, line: str) -> None:
    print(f"zeb {args.command}: {line}", file=sys.stderr, flush=True)


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with `argv` (default: the process's arguments) and
    returns its exit status; the console script exits with it."""
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(errors="surrogateescape")  # file names print as the bytes they are
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except KeyboardInterrupt:
        print("zeb: interrupted", file=sys.stderr)
        return 128 + signal.SIGINT
    if args.command is None:
        parser.error("a command is required")
    out = sys.stdout
    try:
        with warnings.catch_warnings():
            # a warning no command has taken up (a header record of a newer
            # version, say) is one line too, never Python's two
            warnings.showwarning = lambda message, *_, **__: report(args, f"warning: {message}")
            status: int = args.run(args, out)
        out.flush()
        return status
    except UsageError as exc:
        print(f"zeb {args.command}: error: {exc} (see 'zeb {args.command} --help')", file=sys.stderr)
        return EXIT_USAGE
    except Failure as exc:
        report(args, str(exc))
        return EXIT_FAILED
    except KeyboardInterrupt:
        print("zeb: interrupted", file=sys.stderr)
        return 128 + signal.SIGINT
    except BrokenPipeError:
        # the reader went away (`zeb info dir | head -1`): stop quietly, and
        # point stdout at /dev/null so that the interpreter's final flush is silent
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILED
    except MemoryError:
        report(args, "out of memory")
        return EXIT_FAILED
    except Exception as exc:  # anything else still ends in one line, not a traceback
        report(args, f"{type(exc).__name__}: {exc}")
        return EXIT_FAILED

