"""What every `zeb` command shares: failures, how names are printed, the
sub-parsers' common parts, finding F0 files in the paths given, reading the
formats the command knows, and writing output files safely.

Nothing here imports NumPy at module level: the command answers --help (and
Ctrl-C while it starts) before NumPy is loaded."""
from __future__ import annotations

import argparse
import base64
import os
import re
import secrets
import stat
import sys
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import IO, TYPE_CHECKING, Any, TextIO

import pyzeb

if TYPE_CHECKING:
    import numpy as np

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2
PROGRESS_MIN_FILES = 8   # a progress bar from this many files on
EXTRA = {"astropy": "fits", "PIL": "cli"}
F0_SUFFIX = ".f0"        # matched case-insensitively
# Temporary files of interrupted atomic writes: ".<name>.<12 hex digits>.tmp"
# beside the target (the library's writer and the command's own outputs).
TEMPORARY = re.compile(r"\..+\.[0-9a-f]{12}\.tmp", re.S)
NAME_MAX = 255           # bytes of one directory entry
SPECIAL = ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"), (stat.S_ISCHR, "a character device"),
           (stat.S_ISBLK, "a block device"))
FITS_KEY = "F0TEXT"      # FITS keyword that carries the F0 header text
FORMATS = {".f0": "f0", ".npy": "npy", ".fits": "fits", ".fit": "fits", ".fts": "fits", ".fz": "fits"}


class Failure(Exception):
    """A failure reported as one line "zeb CMD: message" with exit status 1."""


class UsageError(Exception):
    """A bad argument found after parsing: "zeb CMD: error: message", exit status 2."""


# ---- the sub-parsers ----------------------------------------------------------

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


def command(sub: Any, cmd: str, summary: str, text: str, example: str,
            run: Callable[[argparse.Namespace, TextIO], int]) -> argparse.ArgumentParser:
    """The sub-parser of `cmd` in `sub` (the parser's sub-parsers), running `run`."""
    p: argparse.ArgumentParser = sub.add_parser(cmd, help=summary, description=text, epilog=f"example:\n  {example}",
                                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.set_defaults(run=run)
    return p


def walking(p: argparse.ArgumentParser, what: str = "F0 files, and directories to search for *.f0") -> None:
    """The PATH... and -r arguments of the commands that search directories."""
    p.add_argument("paths", nargs="+", metavar="PATH", help=what)
    p.add_argument("-r", "--recursive", action="store_true", help="search directories' subdirectories too")


# ---- printing names and texts -------------------------------------------------

def shown(text: str) -> str:
    """Header text made printable on one line: control characters and bytes
    that are not UTF-8 appear as escapes."""
    raw = text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii") for c in raw)


def name(path: str | os.PathLike[str]) -> str:
    """A file name as printed in text output.

    A name of printable characters (that does not begin with "$'") prints as
    it is.  Any other name prints in the shell's ANSI-C quotes: $'...' with
    \\n, \\t, \\\\, \\' and \\xHH for other control characters and for bytes
    that are not UTF-8, so that no name can break a line or pass for
    another, and a shell reads the quoted form back as the same name."""
    s = os.fspath(path)
    if s.isprintable() and not s.startswith("$'"):
        return s
    raw = s.encode("utf-8", "surrogateescape")
    text = raw.decode("utf-8", "surrogateescape")
    out = []
    for c in text:
        if 0xDC80 <= ord(c) <= 0xDCFF:           # a byte that is not UTF-8
            out.append(f"\\x{ord(c) - 0xDC00:02x}")
        elif c in "\\'":
            out.append("\\" + c)
        elif c in "\n\t\r":
            out.append({"\n": "\\n", "\t": "\\t", "\r": "\\r"}[c])
        elif c.isprintable():
            out.append(c)
        elif ord(c) < 0x100:
            out.append(f"\\x{ord(c):02x}")
        else:
            out.append(f"\\u{ord(c):04x}" if ord(c) < 0x10000 else f"\\U{ord(c):08x}")
    return "$'" + "".join(out) + "'"


def json_name(path: str, key: str = "file") -> dict[str, str]:
    """A file name for a JSON object, always valid UTF-8: `key` holds the
    name, with U+FFFD for each byte that is not UTF-8; where there are such
    bytes, `key`_bytes holds the exact name as base64 of its bytes."""
    raw = os.fsencode(path)
    try:
        return {key: raw.decode("utf-8")}
    except UnicodeDecodeError:
        return {key: raw.decode("utf-8", "replace"), f"{key}_bytes": base64.b64encode(raw).decode("ascii")}


def cause(exc: BaseException, path: str) -> str:
    """The reason in an exception's message, without the file name it may start with."""
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    msg = str(exc) or type(exc).__name__
    for prefix in (f"{path}: ", f"'{path}': "):
        if msg.startswith(prefix):
            return msg[len(prefix):]
    return msg


def report(args: argparse.Namespace, line: str) -> None:
    print(f"zeb {args.command}: {line}", file=sys.stderr, flush=True)


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


def plural(n: int, word: str) -> str:
    """"1 file", "2 files": a count and its noun."""
    return f"{n} {word}{'s' * (n != 1)}"


def human(n: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if abs(n) < 1024 or unit == "GiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    return f"{n:.1f} TiB"  # pragma: no cover


def shape_text(shape: tuple[int, ...] | list[int]) -> str:
    """A NumPy shape as NumPy prints it: "(480, 640)" is 480 rows of 640."""
    return str(tuple(shape))


def progress(count: int) -> Any:
    """A tqdm progress bar on standard error when that is a terminal and there
    are enough items to be worth one (and tqdm is installed)."""
    if count < PROGRESS_MIN_FILES or not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=count, file=sys.stderr, unit="file", leave=False)


class Lines:
    """Prints lines on standard output around a progress bar (or without one)."""

    def __init__(self, count: int, out: IO[str]) -> None:
        self.bar, self.out = progress(count), out

    def say(self, line: str, err: bool = False) -> None:
        if self.bar is not None:
            self.bar.clear()
        print(line, file=sys.stderr if err else self.out, flush=True)
        if self.bar is not None:
            self.bar.refresh()

    def step(self) -> None:
        if self.bar is not None:
            self.bar.update()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


# ---- finding files ----------------------------------------------------------

def special(mode: int) -> str | None:
    """What a file that is neither regular nor a directory is ("a FIFO"), else None."""
    for test, what in SPECIAL:
        if test(mode):
            return what
    return None


def regular(path: str) -> os.stat_result:
    """The status of a regular file, found without opening it (opening a FIFO
    would block), or a Failure saying what it is instead."""
    try:
        st = os.stat(path)
    except OSError as exc:
        raise Failure(f"{name(path)}: {exc.strerror}") from None
    if stat.S_ISDIR(st.st_mode):
        raise Failure(f"{name(path)}: Is a directory")
    if not stat.S_ISREG(st.st_mode):
        raise Failure(f"{name(path)}: not a regular file but {special(st.st_mode) or 'something else'}")
    return st


def is_f0(filename: str) -> bool:
    return filename.lower().endswith(F0_SUFFIX)


def has_f0_below(path: str, match: Callable[[str], bool] = is_f0) -> bool:
    """Whether any directory below `path` holds an F0 file (one `match` takes; stops at the first)."""
    for _root, _dirs, files in os.walk(path):
        if any(match(f) for f in files):
            return True
    return False


def is_fits(filename: str) -> bool:
    from .._fits import is_fits_name
    return is_fits_name(filename)


def walk(args: argparse.Namespace, errors: list[str], leftovers: list[str] | None = None,
         match: Callable[[str], bool] = is_f0, what: str = "F0 files") -> Iterator[str]:
    """The regular files named, and the F0 files (*.f0, any case; those
    `match` takes, `what` in messages) in the directories named (their subdirectories too with --recursive), in sorted
    order.  Named paths that are missing or not regular files are reported
    at once and collected in `errors`, and so is a directory without F0 files
    whose subdirectories hold some (without --recursive), and finding no F0
    file at all.  FIFOs, sockets and devices named *.f0 in a directory are
    skipped with a note.  Temporary files of interrupted writes are collected
    in `leftovers` when a list is given."""
    def failed(line: str) -> None:
        errors.append(line)
        report(args, line)

    found = 0
    for path in args.paths:
        try:
            st = os.stat(path)
        except OSError as exc:
            failed(f"{name(path)}: {exc.strerror}")
            continue
        if stat.S_ISREG(st.st_mode):
            found += 1
            yield path
        elif not stat.S_ISDIR(st.st_mode):
            failed(f"{name(path)}: not a regular file but {special(st.st_mode) or 'something else'}; skipped")
        else:
            before = found
            subdirs = 0
            for root, dirs, files in _directory(path, getattr(args, "recursive", False), failed):
                subdirs += len(dirs)
                for f in files:
                    full = os.path.join(root, f)
                    if leftovers is not None and TEMPORARY.fullmatch(f):
                        leftovers.append(full)
                    if not match(f):
                        continue
                    try:
                        mode = os.stat(full).st_mode
                    except OSError as exc:
                        failed(f"{name(full)}: {exc.strerror}")
                        continue
                    if stat.S_ISREG(mode):
                        found += 1
                        yield full
                    elif not stat.S_ISDIR(mode):
                        report(args, f"{name(full)}: skipped: {special(mode) or 'not a regular file'}")
            if found == before and subdirs and not getattr(args, "recursive", False) \
                    and has_f0_below(path, match):
                failed(f"{name(path)}: no {what} here; {subdirs} subdirector{'ies' if subdirs != 1 else 'y'}, "
                       "use -r")
    if not found and not errors:
        failed(f"no {what} found in " + ", ".join(name(p) for p in args.paths))


def _directory(path: str, recursive: bool,
               failed: Callable[[str], None]) -> Iterator[tuple[str, list[str], list[str]]]:
    """(directory, subdirectory names, other names) of `path`, and of every
    directory below it when `recursive`, sorted, without following links to
    directories."""
    if recursive:
        for root, dirs, files in os.walk(path, onerror=lambda e: failed(f"{name(e.filename)}: {e.strerror}")):
            dirs.sort()
            yield root, dirs, sorted(files)
        return
    try:
        with os.scandir(path) as it:
            entries = list(it)
    except OSError as exc:
        failed(f"{name(path)}: {exc.strerror}")
        return
    dirs = sorted(e.name for e in entries if _is_dir(e))
    yield path, dirs, sorted(e.name for e in entries if e.name not in dirs)


def _is_dir(entry: os.DirEntry[str]) -> bool:
    try:
        return entry.is_dir(follow_symlinks=False)
    except OSError:
        return False


def leftover_size(path: str) -> int:
    """Bytes a file takes on disk (its allocated blocks where the system says)."""
    st = os.lstat(path)
    blocks = getattr(st, "st_blocks", None)
    return blocks * 512 if blocks is not None else st.st_size


# ---- many files in, many files out ------------------------------------------

def outputs(args: argparse.Namespace, inputs: list[str], suffix: str) -> list[tuple[str, str]]:
    """(input, output) pairs for many files: each output in -o DIR, named as
    its input with `suffix`; files found under a directory given keep their
    place below it.  Two inputs that would write the same output are refused."""
    pairs = []
    for path in inputs:
        rel = Path(os.path.basename(path))
        for top in args.paths:
            if os.path.isdir(top) and below(path, top):
                rel = Path(os.path.relpath(path, top))
                break
        # a FITS name loses its whole extension: x.fits.fz gives x.f0
        out = rel.parent / (fits_stem(rel.name) + suffix) if is_fits(rel.name) else rel.with_suffix(suffix)
        pairs.append((path, str(Path(args.output) / out)))
    seen: dict[str, str] = {}
    for src, dst in pairs:
        if dst in seen:
            raise UsageError(f"{name(seen[dst])} and {name(src)} would both be written to {name(dst)}")
        seen[dst] = src
    return pairs


def below(path: str, top: str) -> bool:
    """Whether `path` lies in the directory `top` (or below it)."""
    try:
        return os.path.commonpath([os.path.abspath(top), os.path.abspath(path)]) == os.path.abspath(top)
    except ValueError:  # on another drive
        return False


def many(args: argparse.Namespace, out: TextIO, pairs: list[tuple[str, str]], errors: list[str],
         one: Any, done: str | None = None) -> int:
    """Runs `one(src, dst)` on each pair, with a progress bar on a terminal,
    printing the line it returns (if any); failures are reported and the
    rest go on.  With `done` ("converted"), closes with a summary line:
    "N files: N converted, N failed"."""
    lines = Lines(len(pairs), out)
    failed = bool(errors)
    failures = 0
    try:
        for src, dst in pairs:
            try:
                os.makedirs(os.path.dirname(dst) or ".", exist_ok=True)
                if os.path.exists(dst) and os.path.samefile(src, dst):
                    raise Failure(f"{name(src)}: would be written over itself")
                line = one(src, dst)
                if line:
                    lines.say(line)
            except Failure as exc:
                failed, failures = True, failures + 1
                lines.say(f"zeb {args.command}: {exc}", err=True)
            except OSError as exc:
                failed, failures = True, failures + 1
                lines.say(f"zeb {args.command}: {name(exc.filename or dst)}: {cause(exc, dst)}", err=True)
            lines.step()
    finally:
        lines.close()
    if done is not None and pairs:
        summary = f"{plural(len(pairs), 'file')}: {len(pairs) - failures} {done}, {failures} failed"
        if errors:
            summary += f", {plural(len(errors), 'input path')} with errors"
        print(summary, file=out)
    return EXIT_FAILED if failed else EXIT_OK


# ---- writing output files ---------------------------------------------------

def temporary_name(target: Path) -> Path:
    """A new temporary name beside `target`: ".<name>.<12 hex digits>.tmp",
    the name shortened so that the whole stays within 255 bytes."""
    whole = os.fsencode(target.name)
    raw = whole[:NAME_MAX - 1 - 1 - 12 - 4]
    try:  # a UTF-8 name is cut between characters
        whole.decode("utf-8")
        base = raw.decode("utf-8", "ignore")
    except UnicodeDecodeError:
        base = os.fsdecode(raw)
    return target.with_name(f".{base}.{secrets.token_hex(6)}.tmp")


def atomic(out: str, save: Callable[[IO[bytes]], object]) -> None:
    """Writes `out` through a new temporary file beside it: `save` writes the
    contents into the open file, which is flushed to disk and renamed over
    `out` (keeping the permission bits of a file it replaces); the directory
    is flushed too.  On any failure the temporary file is removed and `out`
    is as it was.  A symbolic link stays: the file it leads to is replaced."""
    target = Path(os.path.realpath(out)) if os.path.islink(out) else Path(out)
    try:
        old = os.stat(target)
    except FileNotFoundError:
        old = None
    if old is not None and not stat.S_ISREG(old.st_mode):
        what = "a directory" if stat.S_ISDIR(old.st_mode) else special(old.st_mode) or "not a regular file"
        raise Failure(f"{name(out)}: cannot be replaced: it is {what}")
    for _ in range(100):
        tmp = temporary_name(target)
        try:
            fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o666)
            break
        except FileExistsError:
            continue
    else:  # pragma: no cover - 100 random names taken
        raise Failure(f"{name(out)}: no free temporary name beside it")
    try:
        with os.fdopen(fd, "wb") as f:
            save(f)
            f.flush()
            os.fsync(f.fileno())
        if old is not None:
            os.chmod(tmp, stat.S_IMODE(old.st_mode))
        os.replace(tmp, target)
    except BaseException:
        tmp.unlink(missing_ok=True)
        raise
    sync_directory(target.parent)


def sync_directory(directory: Path) -> None:
    """Flushes a directory's entries to disk, where the system allows it."""
    try:
        fd = os.open(directory, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


# ---- reading the formats the command knows ------------------------------------

def fits_stem(filename: str) -> str:
    from .._fits import fits_stem as stem
    return stem(filename)


def kind(path: str, option: str) -> str:
    ext = Path(path).suffix.lower()
    if ext == ".gz" and is_fits(path):
        if option == "OUT":
            raise UsageError(f"OUT {name(path)}: gzip-compressed FITS is read, not written: name it .fits")
        return "fits"
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


def fits_images(hdus: Any, path: str, hdu: str | None, every: bool = False) -> list[int]:
    """The image HDUs to convert: the one `hdu` names (an index, EXTNAME or
    EXTNAME,EXTVER), every one (`every`), else the only one: never one chosen
    silently among several (the failure lists them)."""
    from .._fits import find_hdu, images
    found = images(hdus)
    if hdu is not None:
        try:
            i = find_hdu(hdus, hdu)
        except LookupError as exc:
            raise Failure(f"{name(path)}: {exc}") from None
        if i not in found:
            raise Failure(f"{name(path)}: HDU {hdu} holds no image data")
        return [i]
    if not found:
        raise Failure(f"{name(path)}: no image data in any HDU")
    if len(found) > 1 and not every:
        raise Failure(f"{name(path)}: HDUs {', '.join(map(str, found))} all hold images: choose one with --hdu, "
                      "or convert each with --all-hdus")
    return found


def fits_text_of(header: Any, fallback: str) -> str:
    """The header text an image HDU gives: its F0TEXT, else one made from its
    OBJECT and DATE-OBS, else `fallback`."""
    from .._fits import header_text
    text = header.get(FITS_KEY)
    return text_from_fits(text) if isinstance(text, str) else header_text(header, fallback)


def load(path: str, fmt: str, hdu: str | None = None,
         keywords: bool = True) -> tuple[np.ndarray, str, dict[str, Any]]:
    """The array in a file, its header text (empty where the format has none)
    and metadata (a FITS file's keywords among them; integers as stored)."""
    regular(path)
    if fmt == "f0":
        h = pyzeb.read_header(path)
        return pyzeb.read(path), h.text, h.metadata
    if fmt == "npy":
        return load_npy(path), "", {}
    need("astropy.io.fits", "FITS conversion")
    from .._fits import image_metadata, open_fits
    with open_fits(path) as hdus:
        i = fits_images(hdus, path, hdu)[0]
        a, metadata = image_metadata(hdus, i, keywords)
        return a, fits_text_of(hdus[i].header, fits_stem(path)), metadata


def load_npy(path: str, mmap: bool = False) -> np.ndarray:
    """The array of a .npy file (memory-mapped with `mmap`); an .npz archive
    or any other file named .npy is refused by name."""
    import numpy as np
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
