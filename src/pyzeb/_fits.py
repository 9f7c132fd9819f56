"""FITS headers in F0 metadata and back, for `zeb convert`.

A FITS header's keywords travel in the F0 file's metadata as
``{"fits": [[keyword, value, comment], ...]}``, in their order, COMMENT,
HISTORY and blank commentary cards included (their text as the value, the
comment ""); values are JSON strings, numbers, booleans or null (a keyword
without a value), a complex value the list ``[real, imaginary]``.  What
describes the stored array rather than what it means (SIMPLE, BITPIX,
NAXISn, EXTEND, XTENSION, PCOUNT, GCOUNT, BSCALE, BZERO, the checksums and
the keywords of tile compression) is left out: the F0 file and the FITS
writer state that themselves.  Metadata other than "fits" travel in the
keyword F0META, as a JSON string; the F0 header text in F0TEXT (the command
handles that one).
"""
from __future__ import annotations

import json
import re
from typing import Any

TEXT_KEY = "F0TEXT"   # the F0 header text
META_KEY = "F0META"   # F0 metadata other than the FITS keywords, as JSON
CARDS = "fits"        # the metadata entry of the FITS keywords

_STRUCTURAL = re.compile(
    r"(SIMPLE|BITPIX|NAXIS\d*|EXTEND|XTENSION|PCOUNT|GCOUNT|BSCALE|BZERO|CHECKSUM|DATASUM|END|THEAP|TFIELDS"
    r"|T(TYPE|FORM|UNIT)\d+|ZIMAGE|ZSIMPLE|ZTENSION|ZEXTEND|ZBLOCKED|ZPCOUNT|ZGCOUNT|ZCMPTYPE|ZBITPIX|ZNAXIS\d*"
    r"|ZTILE\d+|ZNAME\d+|ZVAL\d+|ZMASKCMP|ZQUANTIZ|ZDITHER0|ZHECKSUM|ZDATASUM|ZBLANK|ZSCALE|ZZERO)")
_OWN = (TEXT_KEY, META_KEY)


def structural(keyword: str) -> bool:
    return _STRUCTURAL.fullmatch(keyword) is not None


def _value(value: Any) -> Any:
    if isinstance(value, complex):
        return [value.real, value.imag]
    if isinstance(value, (str, bool, int, float)) or value is None:
        return value
    return None  # astropy's Undefined: a keyword without a value


def header_metadata(header: Any, keywords: bool = True) -> dict[str, Any]:
    """The F0 metadata a FITS header gives: its keywords (unless `keywords`
    is false) and what F0META holds."""
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
        cards = [[c.keyword, _value(c.value), c.comment] for c in header.cards
                 if c.keyword not in _OWN and not structural(c.keyword)]
        if cards:
            metadata[CARDS] = cards
    return metadata


def _card_value(value: Any) -> Any:
    if isinstance(value, list) and len(value) == 2 and all(isinstance(v, (int, float)) for v in value):
        return complex(value[0], value[1])
    return value


def add_metadata(header: Any, metadata: dict[str, Any]) -> None:
    """Writes F0 metadata into a FITS header: the keywords of "fits" in their
    order, the rest as JSON in F0META."""
    cards = metadata.get(CARDS)
    for card in cards if isinstance(cards, list) else []:
        if not (isinstance(card, list) and len(card) == 3 and isinstance(card[0], str)) \
                or structural(card[0]) or card[0] in _OWN:
            continue
        key, value, comment = card
        if key == "COMMENT":
            header.add_comment(str(value))
        elif key == "HISTORY":
            header.add_history(str(value))
        elif key == "":
            header.add_blank(str(value))
        else:
            header.append((key, _card_value(value), comment if isinstance(comment, str) else ""), end=True)
    rest = {k: v for k, v in metadata.items() if k != CARDS}
    if rest:
        header[META_KEY] = (json.dumps(rest, ensure_ascii=True, separators=(",", ":")), "F0 metadata, JSON")
