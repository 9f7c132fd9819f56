"""`zeb info`: one line per file from its headers only."""
from __future__ import annotations

import argparse
import json
import os
import re
from typing import Any, TextIO

import pyzeb

from ._common import (EXIT_FAILED, EXIT_OK, FINDING, NAMES, cause, command, json_name, name, report, shape_text,
                      shown, walk, walking)

TEXT_WIDTH = 40          # header text shown by `zeb info`
STREAMS = {0: "plain", 1: "plain", 2: "run-length", 3: "run-length", 4: "plain"}  # by compression type

HELP = (
    "one line per file from its headers only",
    f"""Prints one line per F0 file, from its headers only (the data are not read):
name, shape, dtype, how the data are stored (raw and its byte order, or the
crunch stream's type and slice), size on disk, compression ratio (array bytes
over stored data bytes), whether the file carries a checksum ("checksum",
"no checksum", or "checksum (data changed in place)" after a memory map was
written to) and the start of the header text.  A float array stored as
integers says so ("stored as int16": whole numbers, exact), and
"quantized" with its step where it was stored lossily (zeb convert
--quantize); stored FITS integers with BSCALE/BZERO say "scaled" and how the
physical values follow from the stored ones.

--json prints one JSON object per line instead, always valid UTF-8: "file"
the name (with U+FFFD for bytes that are not UTF-8, and then also
"file_bytes", the exact name's bytes in base64), "shape" the NumPy shape
(slowest axis first), "dims" the file's dimensions (fastest first, as the
header stores them), "dtype", the header fields, sizes in bytes, "text"
(bytes that are not UTF-8 as \\xHH escapes), "checksum", "data_changed",
"metadata", "stored_dtype" and "quantization_step" (null unless the floats
are stored as integers, quantized) and "scaled" (BSCALE, BZERO and BLANK,
or null).

{FINDING}

{NAMES}""",
    "zeb info data/ --json | head -3")


def add_parser(sub: Any) -> None:
    p = command(sub, "info", *HELP, run)
    walking(p)
    p.add_argument("--json", action="store_true",
                   help="one JSON object per file (all header fields, sizes in bytes) instead of a line")


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
        "stored_dtype": h.stored_dtype.name if h.stored_dtype is not None else None,
        "quantization_step": h.quantization_step, "scaled": scaled(h.metadata),
    }


def scaled(metadata: dict[str, Any]) -> dict[str, float] | None:
    from .._fits import scaled as fits_scaled
    return fits_scaled(metadata)


def stored_words(d: dict[str, Any]) -> str:
    """How the values are stored where read does not return them as they lie."""
    words = ""
    if d["quantization_step"] is not None:
        words += f"  quantized (step {d['quantization_step']:.4g}, stored as {d['stored_dtype']})"
    elif d["stored_dtype"] is not None:
        words += f"  whole numbers stored as {d['stored_dtype']}"
    s = d["scaled"]
    if s is not None:
        words += f"  scaled: physical = {s.get('BZERO', 0.0)} + {s.get('BSCALE', 1.0)} x stored"
        if "BLANK" in s:
            words += f", BLANK {s['BLANK']}"
    return words


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
    return f'{name(d["file"])}  {shape_text(d["shape"])} {d["dtype"]}  {how}  {d["file_size"]} bytes  {ratio}  ' \
        f'{checksum_word(d)}{stored_words(d)}  "{text}"'


# Lone surrogates (which JSON text may hold as \uD800 escapes) have no UTF-8.
_SURROGATE = re.compile("[\ud800-\udfff]")


def json_line(d: dict[str, Any]) -> str:
    """One JSON object, valid UTF-8 whatever bytes the name and text hold and
    whatever the metadata hold (lone surrogates stay \\uXXXX escapes)."""
    row = json_name(d["file"]) | {k: v for k, v in d.items() if k != "file"}
    if isinstance(row.get("text"), str):
        row["text"] = row["text"].encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    # A surrogate can only stand inside a string of the JSON text: its escape is the same string.
    return _SURROGATE.sub(lambda m: f"\\u{ord(m.group()):04x}", json.dumps(row, ensure_ascii=False))


def run(args: argparse.Namespace, out: TextIO) -> int:
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
