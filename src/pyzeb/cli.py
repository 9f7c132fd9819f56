"""The `zeb` command: list, show, check, checksum, convert, compare, recompress and preview F0 files.

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
import re
import signal
import stat
import sys
import threading
import time
import warnings
from collections.abc import Sequence
from pathlib import Path
from typing import Any, NoReturn, TextIO

import numpy as np

import pyzeb

from ._cli_common import (EXIT_FAILED, EXIT_OK, EXIT_USAGE, PROGRESS_MIN_FILES, Failure, Lines, UsageError,
                          atomic, cause, human, json_name, leftover_size, many, name, need, outputs, regular,
                          report, shape_text, shown, walk)
# the commands in their own modules, found by name as cmd_<command> like those below
from ._cli_diff import cmd_diff  # noqa: F401
from ._cli_preview import cmd_preview  # noqa: F401
from ._cli_stats import cmd_stats  # noqa: F401


TEXT_WIDTH = 40          # header text shown by `zeb info`
STREAMS = {0: "plain", 1: "plain", 2: "run-length", 3: "run-length", 4: "plain"}  # by compression type
FITS_KEY = "F0TEXT"      # FITS keyword that carries the F0 header text
# Lossless widenings for arrays an F0 file cannot hold as they are.
WIDEN = {np.dtype(np.float16): np.float32}
FORMATS = {".f0": "f0", ".npy": "npy", ".fits": "fits", ".fit": "fits", ".fts": "fits", ".fz": "fits"}
SUFFIX = {"f0": ".f0", "npy": ".npy", "fits": ".fits"}
TEMPORARY_MIN_AGE = 600  # seconds: a younger temporary file may belong to a write in progress


# ---- info -------------------------------------------------------------------

def describe(path: str) -> dict[str, Any]:
    h = pyzeb.read_header(path)
    size = os.stat(path).st_size
    return {
        "file": path, "shape": list(h.shape), "dims": list(h.shape[::-1]), "dtype": h.dtype.name,
        "compressed": h.compressed, "compression_type": h.compression_type, "slice": h.slice,
        "byteorder": h.byteorder, "header_blocks": h.header_blocks, "data_offset": h.data_offset,
        "data_size": h.data_size, "file_size": size, "nbytes": h.nbytes,
        "ratio": round(h.nbytes / h.data_size, 3) if h.data_size else None, "text": h.text,
        "checksum": h.checksum, "data_changed": h.data_changed, "metadata": h.metadata,
    }


def checksum_word(d: dict[str, Any]) -> str:
    if not d["checksum"]:
        return "no checksum"
    return "checksum (data changed in place)" if d["data_changed"] else "checksum"


def info_line(d: dict[str, Any]) -> str:
    how = f"crunch type {d['compression_type']} ({STREAMS.get(d['compression_type'], '?')}) slice {d['slice']}" \
        if d["compressed"] else \
        f"raw {'big' if d['byteorder'] == '>' else 'little'}-endian"
    ratio = f"ratio {d['ratio']:.2f}" if d["ratio"] is not None else "ratio -"
    text = shown(d["text"])
    if len(text) > TEXT_WIDTH:
        text = text[:TEXT_WIDTH - 3] + "..."
    return f'{name(d["file"])}  {shape_text(d["shape"])} {d["dtype"]}  {how}  {d["file_size"]} bytes  {ratio}  {checksum_word(d)}  "{text}"'


def json_line(d: dict[str, Any]) -> str:
    """One JSON object, valid UTF-8 whatever bytes the name and text hold."""
    row = json_name(d["file"]) | {k: v for k, v in d.items() if k != "file"}
    if isinstance(row.get("text"), str):
        row["text"] = row["text"].encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    return json.dumps(row, ensure_ascii=False)


def cmd_info(args: argparse.Namespace, out: TextIO) -> int:
    errors: list[str] = []
    status = EXIT_OK
    for path in walk(args, errors):
        try:
            d = describe(path)
        except (OSError, ValueError) as exc:
            report(args, f"{name(path)}: {cause(exc, path)}")
            status = EXIT_FAILED
            continue
        print(json_line(d) if args.json else info_line(d), file=out)
    return EXIT_FAILED if errors else status


# ---- header -----------------------------------------------------------------

def cmd_header(args: argparse.Namespace, out: TextIO) -> int:
    if len(args.paths) == 1 and not os.path.isdir(args.paths[0]):
        path = args.paths[0]
        regular(path)
        try:
            text = pyzeb.read_header(path).text
        except (OSError, ValueError) as exc:
            raise Failure(f"{name(path)}: {cause(exc, path)}") from None
        if hasattr(out, "buffer"):  # the exact bytes, whatever the terminal's encoding
            out.flush()
            out.buffer.write(text.encode("utf-8", "surrogateescape") + b"\n")
        else:
            print(text, file=out)
        return EXIT_OK
    errors: list[str] = []
    status = EXIT_OK
    first = True
    for path in walk(args, errors):
        try:
            text = pyzeb.read_header(path).text
        except (OSError, ValueError) as exc:
            report(args, f"{name(path)}: {cause(exc, path)}")
            status = EXIT_FAILED
            continue
        print(f"{'' if first else chr(10)}# {name(path)}\n{shown(text)}", file=out)
        first = False
    return EXIT_FAILED if errors else status


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


def cmd_verify(args: argparse.Namespace, out: TextIO) -> int:
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
            else:
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
    summary = f"{n} file{'s' * (n != 1)} checked, {n - damaged} sound ({detail}), {damaged} damaged"
    if leftovers:
        summary += f", {len(leftovers)} temporary file{'s' * (len(leftovers) != 1)} of interrupted writes"
    print(summary, file=out)
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
            report(args, f"{name(path)}: left as it is: {cause(exc, path)}")
            failed += 1
            continue
        done[action] += 1
        print(f"{name(path)}: {CHECKSUM_DONE[action]}", file=out)
    n = sum(done.values()) + failed
    print(f"{n} file{'s' * (n != 1)}: {done['added']} checksums added, {done['renewed']} renewed, "
          f"{done['kept']} kept, {failed} failed", file=out)
    return EXIT_FAILED if failed or errors else EXIT_OK


# ---- convert ----------------------------------------------------------------

def kind(path: str, option: str) -> str:
    ext = Path(path).suffix.lower()
    if ext not in FORMATS:
        raise UsageError(f"{option} {name(path)}: unknown extension {ext or '(none)'!r}: use .f0, .npy or .fits")
    if ext == ".fz" and option == "OUT":
        raise UsageError(f"OUT {name(path)}: tile-compressed FITS is read, not written: name it .fits")
    return FORMATS[ext]


def fits_text(value: str) -> str:
    """Header text as a FITS string value: printable ASCII as it is, anything
    else (the backslash and trailing spaces too) as Python escapes, so that it
    comes back exactly."""
    raw = value.encode("utf-8", "surrogateescape")
    escaped = raw.decode("latin-1").encode("unicode_escape").decode("ascii")
    kept = escaped.rstrip(" ")  # FITS drops trailing spaces from string values: keep them as escapes
    return kept + "\\x20" * (len(escaped) - len(kept))


FITS_ESCAPE = re.compile(r"\\(\\|x[0-9a-fA-F]{2}|[ntr])")


def text_from_fits(value: str) -> str:
    """The header text back from `fits_text`'s form.  Only the escapes it
    writes are read (\\\\, \\xHH, \\t, \\n, \\r); any other backslash is a
    backslash, so a text written by other tools ("C:\\data\\x") stays as it is."""
    def byte(m: re.Match[str]) -> str:
        e = m.group(1)
        return {"\\": "\\", "n": "\n", "t": "\t", "r": "\r"}.get(e) or chr(int(e[1:], 16))
    raw = FITS_ESCAPE.sub(byte, value).encode("latin-1", "replace")
    return raw.decode("utf-8", "surrogateescape")


def image_hdu(hdus: Any, path: str, hdu: int | None) -> Any:
    """The HDU --hdu names, else the only image HDU with data: never one
    chosen silently among several (the failure lists them)."""
    if hdu is not None:
        if not 0 <= hdu < len(hdus):
            raise Failure(f"{name(path)}: no HDU {hdu}: it has HDUs 0 to {len(hdus) - 1}")
        if not hdus[hdu].is_image or hdus[hdu].data is None or hdus[hdu].data.ndim == 0:
            raise Failure(f"{name(path)}: HDU {hdu} holds no image data")
        return hdus[hdu]
    images = [i for i, h in enumerate(hdus) if h.is_image and h.data is not None and h.data.ndim > 0]
    if not images:
        raise Failure(f"{name(path)}: no image data in any HDU")
    if len(images) > 1:
        raise Failure(f"{name(path)}: HDUs {', '.join(map(str, images))} all hold images: choose one with --hdu N")
    return hdus[images[0]]


def load(path: str, fmt: str, hdu: int | None = None,
         keywords: bool = True) -> tuple[np.ndarray, str, dict[str, Any]]:
    """The array in a file, its header text (empty where the format has none)
    and metadata (a FITS file's keywords among them)."""
    regular(path)
    if fmt == "f0":
        h = pyzeb.read_header(path)
        return pyzeb.read(path), h.text, h.metadata
    if fmt == "npy":
        return load_npy(path), "", {}
    fits = need("astropy.io.fits", "FITS conversion")
    from ._fits import header_metadata
    with fits.open(path, memmap=False) as hdus:
        image = image_hdu(hdus, path, hdu)
        text = image.header.get(FITS_KEY, "")
        return (np.array(image.data), text_from_fits(text) if isinstance(text, str) else "",
                header_metadata(image.header, keywords))


def load_npy(path: str, mmap: bool = False) -> np.ndarray:
    """The array of a .npy file (memory-mapped with `mmap`); an .npz archive
    or any other file named .npy is refused by name."""
    with open(path, "rb") as f:
        magic = f.read(6)
    if magic.startswith(b"PK\x03\x04"):
        raise Failure(f"{name(path)}: an .npz archive of arrays, not a .npy file: extract one array first")
    if magic != b"\x93NUMPY":
        raise Failure(f"{name(path)}: not a NumPy .npy file")
    a = np.load(path, allow_pickle=False, mmap_mode="r" if mmap else None)
    if not isinstance(a, np.ndarray):  # pragma: no cover - the magic says it is one
        raise Failure(f"{name(path)}: not a NumPy .npy file")
    return a


def storable(a: np.ndarray) -> np.ndarray:
    """The array widened losslessly where an F0 file cannot hold its type."""
    dt = a.dtype.newbyteorder("=")
    if dt in WIDEN:
        return a.astype(WIDEN[dt])
    return a


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
        atomic(path, lambda f: np.save(f, a, allow_pickle=False))
    else:
        fits = need("astropy.io.fits", "FITS conversion")
        fits_storable(a, path)
        hdu = fits.PrimaryHDU(a.astype(np.uint8) if a.dtype.kind == "b" else a)
        from ._fits import add_metadata
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


def cmd_convert(args: argparse.Namespace, out: TextIO) -> int:
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
    return many(args, out, pairs, errors, lambda src, dst: convert_one(src, dst, args, compress))


# ---- recompress -------------------------------------------------------------

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
        return before, before, f"kept: the {before - h.data_offset - h.data_size} bytes after its data would be lost"
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
    links = f" (the file's {st.st_nlink - 1} other name{'s' * (st.st_nlink > 2)} keep the old one)" \
        if st.st_nlink > 1 else ""
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


def cmd_recompress(args: argparse.Namespace, out: TextIO) -> int:
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
    print(f"{total} file{'s' * (total != 1)}, {changed} {'to rewrite' if args.dry_run else 'rewritten'}, "
          f"{verb} {space.saved} bytes ({human(space.saved)})", file=out)
    return EXIT_FAILED if errors else status


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


def percent(value: str) -> float:
    v = float(value)
    if not 0 <= v <= 100:
        raise argparse.ArgumentTypeError(f"{value} is not a percentage from 0 to 100")
    return v


NAMES = """Names in the output: a name of printable characters prints as it is; any
other (with a newline, another control character or bytes that are not
UTF-8) prints in the shell's quotes $'...' with \\n, \\t, \\\\, \\' and \\xHH
escapes.  Shapes are NumPy shapes, slowest axis first: "(480, 640)" is 480
rows of 640 columns, as pyzeb.read_header(...).shape says."""

FINDING = """Directories are searched for *.f0 files (any case: .F0 too; -r searches
their subdirectories); a directory whose F0 files are all in subdirectories
fails with a hint to use -r, and finding no F0 file at all fails.  FIFOs,
sockets and devices are never opened: named ones fail, ones met in a
directory are skipped with a note."""

HELP = {
    "info": ("one line per file from its headers only",
             f"""Prints one line per F0 file, from its headers only (the data are not read):
name, shape, dtype, how the data are stored (raw and its byte order, or the
crunch stream's type and slice), size on disk, compression ratio (array bytes
over stored data bytes), whether the file carries a checksum ("checksum",
"no checksum", or "checksum (data changed in place)" after a memory map was
written to) and the start of the header text.

--json prints one JSON object per line instead, always valid UTF-8: "file"
the name (with U+FFFD for bytes that are not UTF-8, and then also
"file_bytes", the exact name's bytes in base64), "shape" the NumPy shape
(slowest axis first), "dims" the file's dimensions (fastest first, as the
header stores them), "dtype", the header fields, sizes in bytes, "text"
(bytes that are not UTF-8 as \\xHH escapes), "checksum", "data_changed" and
"metadata".

{FINDING}

{NAMES}""",
             "zeb info data/ --json | head -3"),
    "header": ("print files' header texts",
               f"""Prints the header text of an F0 file exactly as stored (bytes that are not
UTF-8 included), followed by a newline.  With several files (or a
directory), each text follows a line "# NAME", one file after another
separated by a blank line, and is printed on one line with control
characters and bytes that are not UTF-8 as escapes.

{FINDING}""",
               "zeb header data/sample.f0; zeb header data/*.f0"),
    "verify": ("read files completely and report damaged ones",
               f"""Reads every file completely and prints a line for each: "sound, checksum
verified" for a file whose checksums match; "sound as far as decoding tells"
for one without a checksum (older files, checksum=False; damage inside their
data can go unnoticed: `zeb checksum` adds one) or whose data were changed in
place; "damaged" with its cause (a checksum mismatch among them).  Then a
summary line "N files checked, N sound (N verified by checksum, N without
checksum (decoded only)), N damaged".  Exit status 0 only when every file is
sound.  With standard error on a terminal and more than a few files, a
progress bar shows there (when tqdm is installed).

Temporary files left by interrupted writes in the directories searched
(".NAME.<12 hex digits>.tmp", beside the file that was being written) are
listed with the space they take and counted in the summary;
--remove-temporary removes those unchanged for {TEMPORARY_MIN_AGE // 60} minutes (a younger one may
belong to a write in progress and is kept).

{FINDING}""",
               "zeb verify -r archive/ --remove-temporary"),
    "checksum": ("add checksums to existing files without re-encoding them",
                 f"""Gives each F0 file CRC-32C checksums of its header and of its data as stored,
in pyzeb's header record, without re-encoding the data: files without one
get one, files whose data were changed in place (a memory map written to) get
it renewed, files whose checksums are present and match are left as they
are.  A compressed stream is decoded first, so that damage is never sealed
in.  Each file is rewritten atomically, keeping its metadata and permissions,
and only if it did not change meanwhile.  Left as they are, with the reason:
damaged files (exit status 1), files with header blocks of another program or
with bytes after their data (which would be lost) and files with a header
record of a newer version.

{FINDING}""",
                 "zeb checksum -r archive/ && zeb verify -r archive/"),
    "convert": ("convert between F0, NumPy .npy and FITS",
                """Converts arrays between formats: "zeb convert IN OUT" one file, the formats
following the extensions; "zeb convert IN... --to FORMAT -o DIR" many files
in one go, each written into DIR under its own name with the new extension
(files found in a directory given keep their place below it in DIR, which
is created if needed); a progress bar shows on a terminal.

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
                "zeb convert frame.f0 frame.fits && zeb convert night/*.f0 --to fits -o fits/"),
    "recompress": ("rewrite F0 files with the smallest stream",
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
                   "zeb recompress --dry-run -r archive/"),
}


def build_parser() -> Parser:
    from ._cli_diff import HELP_DIFF, add_diff_arguments
    from ._cli_preview import HELP_PREVIEW, add_preview_arguments
    from ._cli_stats import HELP_STATS, add_stats_arguments
    helps = HELP | {"diff": HELP_DIFF, "stats": HELP_STATS, "preview": HELP_PREVIEW}
    parser = Parser(
        prog="zeb", formatter_class=argparse.RawDescriptionHelpFormatter,
        description="List, check, checksum, convert, compare, recompress and preview F0 array files.",
        epilog="Run 'zeb COMMAND --help' for each command's options.\n\n"
               "example:\n  zeb info data/\n  zeb verify -r archive/ && zeb preview data/sample.f0 -o sample.png\n\n"
               "Shapes are NumPy shapes, slowest axis first: (480, 640) is 480 rows of 640.\n"
               "exit status: 0 success, 1 failure (a missing or damaged file), 2 usage error\n"
               "(zeb diff: 0 same, 1 different, 2 usage error or a file that cannot be read);\n"
               "130 interrupted (Ctrl-C).")
    parser.add_argument("--version", action="version", version=f"zeb (pyzeb) {pyzeb.__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)

    def command(cmd: str) -> argparse.ArgumentParser:
        summary, text, example = helps[cmd]
        p = sub.add_parser(cmd, help=summary, description=text, epilog=f"example:\n  {example}",
                           formatter_class=argparse.RawDescriptionHelpFormatter)
        p.set_defaults(run=globals()[f"cmd_{cmd}"])
        return p

    def walking(p: argparse.ArgumentParser, what: str = "F0 files, and directories to search for *.f0") -> None:
        p.add_argument("paths", nargs="+", metavar="PATH", help=what)
        p.add_argument("-r", "--recursive", action="store_true", help="search directories' subdirectories too")

    p = command("info")
    walking(p)
    p.add_argument("--json", action="store_true",
                   help="one JSON object per file (all header fields, sizes in bytes) instead of a line")
    walking(command("header"))
    walking(command("checksum"))
    p = command("verify")
    walking(p)
    p.add_argument("--remove-temporary", action="store_true",
                   help=f"remove temporary files of interrupted writes (unchanged for {TEMPORARY_MIN_AGE // 60} "
                        "minutes) found in the directories searched")
    p = command("convert")
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
    p = command("recompress")
    walking(p)
    p.add_argument("-n", "--dry-run", action="store_true", help="only report what would be saved; write nothing")
    p.add_argument("--min-saving", type=percent, default=1.0, metavar="PERCENT",
                   help="rewrite only files that shrink by at least this much (default 1)")
    p.add_argument("--break-links", action="store_true",
                   help="rewrite files with other hard links too (this name gets the new file)")
    add_diff_arguments(command("diff"))
    p = command("stats")
    walking(p)
    add_stats_arguments(p)
    p = command("preview")
    walking(p, "F0 (or .npy) files, and directories to search for *.f0")
    add_preview_arguments(p)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with `argv` (default: the process's arguments) and
    returns its exit status; the console script exits with it."""
    handler = signal.getsignal(signal.SIGINT)
    if getattr(handler, "__qualname__", "") == "_stop_quietly" and threading.current_thread() is threading.main_thread():
        # the console script's start-up handler: from here on Ctrl-C raises
        # KeyboardInterrupt, so that what is being written is cleaned up
        signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        return _main(argv)
    except KeyboardInterrupt:
        print("zeb: interrupted", file=sys.stderr)
        return 128 + signal.SIGINT


def _main(argv: Sequence[str] | None) -> int:
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(errors="surrogateescape")  # header texts print as the bytes they are
    parser = build_parser()
    args = parser.parse_args(argv)
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
        return getattr(args, "trouble", EXIT_FAILED)
    except BrokenPipeError:
        # the reader went away (`zeb info dir | head -1`): stop quietly, and
        # point stdout at /dev/null so that the interpreter's final flush is silent
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILED
    except MemoryError:
        report(args, "out of memory")
        return getattr(args, "trouble", EXIT_FAILED)
    except Exception as exc:  # anything else still ends in one line, not a traceback
        report(args, f"{type(exc).__name__}: {exc}")
        return getattr(args, "trouble", EXIT_FAILED)
