"""FITS images to F0 arrays and metadata, and back.

A FITS header's keywords travel in the F0 file's metadata as
``{"fits": [[keyword, value, comment], ...]}``, in their order, COMMENT,
HISTORY and blank commentary cards included (their text as the value, the
comment ""); values are JSON strings, numbers, booleans or null (a keyword
without a value), a complex value the list ``[real, imaginary]``.  What
describes the stored array rather than what it means (SIMPLE, BITPIX,
NAXISn, EXTEND, XTENSION, PCOUNT, GCOUNT, the checksums and the keywords of
tile compression) is left out: the F0 file and the FITS writer state that
themselves.  Metadata other than "fits" travel in the keyword F0META, as a
JSON string; the F0 header text in F0TEXT (the command handles that one).

Integer images keep their stored integers: BSCALE, BZERO and BLANK stay
cards of "fits" and are written back as they were, so the physical values
are ``BZERO + BSCALE * stored``.  The unsigned conventions (BZERO 2^15,
2^31 or 2^63 with BSCALE 1, and BZERO -128 for signed bytes) become the
unsigned (or int8) dtype instead, their two cards left out.

An image extension keeps the primary header too, under "fits_primary", and
is written back as an extension behind that primary header.  With INHERIT =
T the primary's cards are also appended to "fits" (those the extension does
not set itself, as FITS readers merge them); "fits_inherited" counts them,
so that the extension is written back with its own cards only.
"""
from __future__ import annotations

import io
import json
import os
import re
import warnings
from typing import Any

import numpy as np

TEXT_KEY = "F0TEXT"   # the F0 header text
META_KEY = "F0META"   # F0 metadata other than the FITS keywords, as JSON
CARDS = "fits"        # the metadata entry of the FITS keywords
PRIMARY = "fits_primary"      # the primary header of an extension's file
INHERITED = "fits_inherited"  # cards at the end of "fits" taken from the primary (INHERIT = T)
EXTENSIONS = (".fits", ".fit", ".fts", ".fz")  # with an optional .gz after .fits, .fit, .fts
SCALING = ("BSCALE", "BZERO")

_STRUCTURAL = re.compile(
    r"(SIMPLE|BITPIX|NAXIS\d*|EXTEND|XTENSION|PCOUNT|GCOUNT|CHECKSUM|DATASUM|END|THEAP|TFIELDS"
    r"|T(TYPE|FORM|UNIT)\d+|ZIMAGE|ZSIMPLE|ZTENSION|ZEXTEND|ZBLOCKED|ZPCOUNT|ZGCOUNT|ZCMPTYPE|ZBITPIX|ZNAXIS\d*"
    r"|ZTILE\d+|ZNAME\d+|ZVAL\d+|ZMASKCMP|ZQUANTIZ|ZDITHER0|ZHECKSUM|ZDATASUM|ZBLANK|ZSCALE|ZZERO)")
_OWN = (TEXT_KEY, META_KEY)
# Offsets of the unsigned conventions by BITPIX, and of signed bytes.
_OFFSETS = {8: -128, 16: 2**15, 32: 2**31, 64: 2**63}
_PLACEHOLDER = "F0PH{:04d}"  # stands in for a scaling card until the stored integers are written


def structural(keyword: str) -> bool:
    return _STRUCTURAL.fullmatch(keyword) is not None


def _value(value: Any) -> Any:
    if isinstance(value, complex):
        return [value.real, value.imag]
    if isinstance(value, (str, bool, int, float)) or value is None:
        return value
    return None  # astropy's Undefined: a keyword without a value


def _cards(header: Any, scaling: bool = False) -> list[list[Any]]:
    return [[c.keyword, _value(c.value), c.comment] for c in header.cards
            if c.keyword not in _OWN and not structural(c.keyword) and (scaling or c.keyword not in SCALING)]


def header_metadata(header: Any, keywords: bool = True, scaling: bool = False) -> dict[str, Any]:
    """The F0 metadata a FITS header gives: its keywords (unless `keywords`
    is false; BSCALE and BZERO only with `scaling`) and what F0META holds."""
    metadata: dict[str, Any] = {}
    meta = header.get(META_KEY)
    if isinstance(meta, str):
        try:
            stored = json.loads(meta)
        except ValueError:
            stored = None
        if isinstance(stored, dict):
            metadata.update(stored)
    if keywords:
        cards = _cards(header, scaling)
        if cards:
            metadata[CARDS] = cards
    return metadata


def _number(header: Any, key: str, default: float) -> float:
    v = header.get(key, default)
    return float(v) if isinstance(v, (int, float)) and not isinstance(v, bool) else float("nan")


def stored_array(hdu: Any) -> tuple[np.ndarray, bool]:
    """The array of an image HDU opened with ``do_not_scale_image_data``, as
    F0 keeps it, and whether its BSCALE/BZERO cards must stay with it (the
    values are scaled).  Integers stay as stored, but for the unsigned
    conventions, which give the unsigned dtype (int8 for BITPIX 8)."""
    data = np.asarray(hdu.data)
    a = data.astype(data.dtype.newbyteorder("="), copy=True)
    h = hdu.header
    if not any(k in h for k in SCALING):
        return a, False
    if a.dtype.kind not in "iu":
        # scaled floats (rare): their physical values, as FITS readers give them
        scaled_values = _number(h, "BZERO", 0.0) + _number(h, "BSCALE", 1.0) * a.astype(np.float64)
        return scaled_values.astype(a.dtype), False
    bits = a.dtype.itemsize * 8
    if _number(h, "BSCALE", 1.0) == 1.0 and h.get("BZERO", 0) == _OFFSETS.get(bits):
        flip = np.array(1 << (bits - 1), dtype=f"u{a.dtype.itemsize}")
        return (a.view(f"u{a.dtype.itemsize}") ^ flip).view("i1" if bits == 8 else f"u{a.dtype.itemsize}"), False
    return a, True


def scaled(metadata: dict[str, Any]) -> dict[str, float] | None:
    """BSCALE, BZERO and BLANK among the "fits" cards of F0 metadata (None
    when neither BSCALE nor BZERO is there): the file holds the stored
    integers of a scaled FITS image."""
    cards = metadata.get(CARDS)
    found: dict[str, float] = {}
    for card in cards if isinstance(cards, list) else []:
        if isinstance(card, list) and len(card) == 3 and card[0] in (*SCALING, "BLANK") \
                and isinstance(card[1], (int, float)) and not isinstance(card[1], bool):
            found.setdefault(card[0], card[1])
    return found if any(k in found for k in SCALING) else None


def physical(array: np.ndarray, metadata: dict[str, Any]) -> np.ndarray:
    """The physical values of stored FITS integers, ``BZERO + BSCALE *
    stored`` in float64 with NaN where the stored value is BLANK; the array
    as it is where the metadata name no scaling."""
    s = scaled(metadata)
    if s is None or array.dtype.kind not in "iu":
        return array
    out = s.get("BZERO", 0.0) + s.get("BSCALE", 1.0) * array.astype(np.float64)
    if "BLANK" in s:
        out[array == s["BLANK"]] = np.nan
    return out


# ---- FITS files: which HDUs hold what ------------------------------------------------------

def _kind(hdu: Any) -> str:
    return type(hdu).__name__


def _has_image(hdu: Any) -> bool:
    return bool(hdu.is_image) and hdu.header.get("NAXIS", hdu.header.get("ZNAXIS", 0)) > 0 and hdu.size > 0


def hdu_label(hdus: Any, i: int) -> str:
    name = hdus[i].header.get("EXTNAME")
    ver = hdus[i].header.get("EXTVER")
    label = f"HDU {i} ({_kind(hdus[i])}"
    if isinstance(name, str) and name:
        label += f", EXTNAME {name}" + (f" EXTVER {ver}" if ver is not None else "")
    return label + ")"


def images(hdus: Any) -> list[int]:
    """Indexes of the HDUs that hold image data."""
    return [i for i, h in enumerate(hdus) if _has_image(h)]


def left_out(hdus: Any, taken: list[int]) -> list[str]:
    """One line for each HDU whose content the F0 files of `taken` do not
    hold: tables, other images, a primary array that is empty while nothing
    else is converted from it."""
    lines = []
    for i, h in enumerate(hdus):
        if i in taken:
            continue
        if _has_image(h):
            lines.append(f"{hdu_label(hdus, i)}: an image not converted")
        elif not h.is_image:
            lines.append(f"{hdu_label(hdus, i)}: a table, which F0 files cannot hold")
        elif i > 0 or not taken:
            lines.append(f"{hdu_label(hdus, i)}: an image HDU without data")
    return lines


def find_hdu(hdus: Any, which: str) -> int:
    """The index of the HDU `which` names: a number, an EXTNAME or EXTNAME,EXTVER
    (case-insensitive, as FITS compares them).  Raises LookupError."""
    if re.fullmatch(r"\d+", which.strip()):
        i = int(which)
        if i >= len(hdus):
            raise LookupError(f"no HDU {i}: it has HDUs 0 to {len(hdus) - 1}")
        return i
    name, _, ver = which.partition(",")
    want = name.strip().upper()
    found = [i for i, h in enumerate(hdus)
             if str(h.header.get("EXTNAME", "")).strip().upper() == want
             and (not ver.strip() or str(h.header.get("EXTVER", 1)) == ver.strip())]
    if not found:
        raise LookupError(f"no HDU with EXTNAME {which}")
    if len(found) > 1:
        raise LookupError(f"HDUs {', '.join(map(str, found))} all have EXTNAME {name.strip()}: "
                          f"add the EXTVER, as {name.strip()},N, or give the index")
    return found[0]


def image_metadata(hdus: Any, i: int, keywords: bool = True) -> tuple[np.ndarray, dict[str, Any]]:
    """The array of image HDU `i` as F0 keeps it and its metadata (see the
    module's description), from a file opened with ``do_not_scale_image_data``."""
    hdu = hdus[i]
    a, scaling = stored_array(hdu)
    metadata = header_metadata(hdu.header, keywords, scaling)
    if keywords and i > 0:
        primary = _cards(hdus[0].header)
        if primary:
            metadata[PRIMARY] = primary
        if hdu.header.get("INHERIT") is True:
            own = {c[0] for c in metadata.get(CARDS, [])}
            inherited = [c for c in primary if c[0] not in own and c[0] not in ("COMMENT", "HISTORY", "")]
            if inherited:
                metadata[CARDS] = metadata.get(CARDS, []) + inherited
                metadata[INHERITED] = len(inherited)
    return a, metadata


def header_text(header: Any, fallback: str) -> str:
    """A header text from OBJECT and DATE-OBS, else `fallback`."""
    parts = [str(header.get(k)).strip() for k in ("OBJECT", "DATE-OBS")
             if isinstance(header.get(k), str) and str(header.get(k)).strip()]
    return " ".join(parts) if parts else fallback


def open_fits(path: str) -> Any:
    """Opens a FITS file (gzip-compressed too: astropy tells by its bytes)
    with the stored integers as they are."""
    from astropy.io import fits
    return fits.open(path, memmap=False, do_not_scale_image_data=True, uint=False)


def is_fits_name(path: str) -> bool:
    p = path.lower()
    return p.endswith(EXTENSIONS) or p.endswith(tuple(e + ".gz" for e in EXTENSIONS[:3]))


def fits_stem(path: str) -> str:
    """The file name without its FITS extension (x.fits.fz and x.fits.gz give x)."""
    base = os.path.basename(path)
    low = base.lower()
    for ext in sorted((e + s for e in EXTENSIONS for s in ("", ".gz", ".fz")), key=len, reverse=True):
        if low.endswith(ext) and len(base) > len(ext):
            return base[:-len(ext)]
    return os.path.splitext(base)[0]


# ---- back to FITS ---------------------------------------------------------------------------

def _card_value(value: Any) -> Any:
    if isinstance(value, list) and len(value) == 2 and all(isinstance(v, (int, float)) for v in value):
        return complex(value[0], value[1])
    return value


def _append_cards(header: Any, cards: Any, scaling: dict[str, tuple[str, Any, str]] | None = None) -> None:
    for card in cards if isinstance(cards, list) else []:
        if not (isinstance(card, list) and len(card) == 3 and isinstance(card[0], str)) \
                or structural(card[0]) or card[0] in _OWN:
            continue
        key, value, comment = card
        comment = comment if isinstance(comment, str) else ""
        if key in SCALING:
            if scaling is not None and isinstance(value, (int, float)) and not isinstance(value, bool):
                # written under a stand-in name: astropy would scale the data by it
                stand_in = _PLACEHOLDER.format(len(scaling))
                scaling[stand_in] = (key, value, comment)
                header.append((stand_in, value, comment), end=True)
        else:
            _add_card(header, key, value, comment)


def _add_card(header: Any, key: str, value: Any, comment: str) -> None:
    """One stored card appended to an astropy Header; commentary cards by their own calls."""
    if key == "COMMENT":
        header.add_comment(str(value))
    elif key == "HISTORY":
        header.add_history(str(value))
    elif key == "":
        header.add_blank(str(value))
    else:
        header.append((key, _card_value(value), comment), end=True)


def add_metadata(header: Any, metadata: dict[str, Any],
                 scaling: dict[str, tuple[str, Any, str]] | None = None) -> None:
    """Writes F0 metadata into a FITS header: the keywords of "fits" in their
    order (those inherited from the primary left out), the rest as JSON in
    F0META.  BSCALE and BZERO are written only with `scaling`, under stand-in
    names it maps to the real cards."""
    cards = metadata.get(CARDS)
    inherited = metadata.get(INHERITED)
    if isinstance(cards, list) and isinstance(inherited, int) and 0 < inherited <= len(cards) \
            and isinstance(metadata.get(PRIMARY), list):
        cards = cards[:-inherited]
    _append_cards(header, cards, scaling)
    rest = {k: v for k, v in metadata.items() if k not in (CARDS, PRIMARY, INHERITED)}
    if rest:
        header[META_KEY] = (json.dumps(rest, ensure_ascii=True, separators=(",", ":")), "F0 metadata, JSON")


def write_fits(f: Any, a: np.ndarray, text: str | None, metadata: dict[str, Any]) -> None:
    """Writes `a` as a FITS file to the binary file object `f`, with CHECKSUM
    and DATASUM: a primary image, or behind the primary header that
    "fits_primary" holds an image extension.  `text` is the F0TEXT value
    (None: none).  Stored integers of a scaled image are written as they are,
    with their BSCALE and BZERO."""
    from astropy.io import fits
    data = a.astype(np.uint8) if a.dtype.kind == "b" else a
    scaling: dict[str, tuple[str, Any, str]] | None = {} if data.dtype.kind in "iu" and \
        data.dtype in (np.dtype(np.uint8), np.dtype(np.int16), np.dtype(np.int32), np.dtype(np.int64)) else None
    primary = metadata.get(PRIMARY)
    # a long text leaves no room for the comment, keywords longer than 8
    # characters become HIERARCH cards (as they were): no matter
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", fits.verify.VerifyWarning)
        if isinstance(primary, list):
            head = fits.PrimaryHDU()
            _append_cards(head.header, primary)
            image: Any = fits.ImageHDU(data)
            hdus = fits.HDUList([head, image])
        else:
            image = fits.PrimaryHDU(data)
            hdus = fits.HDUList([image])
        if text is not None:
            image.header[TEXT_KEY] = (text, "F0 header text")
        add_metadata(image.header, metadata, scaling)
        if not scaling:
            hdus.writeto(f, checksum=True)
            return
        # The stored integers with their scaling cards: written once under
        # stand-in names, then reopened unscaled and given their real names.
        first = io.BytesIO()
        hdus.writeto(first)
        first.seek(0)
        with fits.open(first, do_not_scale_image_data=True) as again:
            h = again[-1].header
            for stand_in, (key, _value, _comment) in scaling.items():
                h.rename_keyword(stand_in, key, force=True)
            again.writeto(f, checksum=True)


def fits_header(source: Any) -> Any:
    """The FITS cards an F0 file stores, as an ``astropy.io.fits.Header``.

    `source` is an F0 file (a path or a binary file object), a
    :class:`pyzeb.Header` or its metadata dict.  The cards come back as they
    were converted (HIERARCH keywords and long strings included), BSCALE,
    BZERO and BLANK among them; an extension's inherited primary cards are
    there too.  Needs astropy (``pip install 'pyzeb[fits]'``).

    >>> h = pyzeb.fits_header("frame.f0")   # doctest: +SKIP
    >>> h["OBJECT"]                         # doctest: +SKIP
    'M31'
    """
    try:
        from astropy.io import fits
    except ImportError:
        raise ImportError("pyzeb.fits_header needs astropy: pip install 'pyzeb[fits]'") from None
    if isinstance(source, dict):
        metadata = source
    else:
        metadata = getattr(source, "metadata", None)
        if not isinstance(metadata, dict):
            from ._api import read_header
            metadata = read_header(source).metadata
    header = fits.Header()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", fits.verify.VerifyWarning)
        for card in metadata.get(CARDS) or []:
            if not (isinstance(card, list) and len(card) == 3 and isinstance(card[0], str)):
                continue
            key, value, comment = card
            _add_card(header, key, value, comment if isinstance(comment, str) else "")
    return header
