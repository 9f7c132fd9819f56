"""The header record's sections that the C library keeps as bytes: deflated
metadata and quantization.  docs/format.md gives their bytes."""
from __future__ import annotations

import struct
import zlib
from dataclasses import dataclass

DEFLATED = 5      # metadata deflated with zlib
QUANTIZATION = 6  # how quantized floats are restored
_HEAD = struct.Struct("<HHI")          # type, flags, body size
_DEFLATED = struct.Struct("<III")      # flags, method (1: zlib), bytes of the JSON
_QUANT = struct.Struct("<IIQdddiiii")  # flags, method, seed, scale, zero, q, NaN, -inf, +inf codes, reserved
ZLIB = 1
DEFLATED_HEAD = _HEAD.size + _DEFLATED.size  # bytes of a deflated section before the zlib stream
SUBTRACTIVE_DITHER = 1
# Plain JSON up to this many bytes, readable by every pyzeb version; above
# it the metadata are deflated, leaving room for the seek index.
DEFLATE_ABOVE = 4096
MAX_METADATA = 1 << 24  # the most JSON bytes a deflated section may claim


class SectionError(ValueError):
    """A kept section that does not make sense."""


@dataclass(frozen=True)
class Quantization:
    seed: int
    scale: float
    zero: float
    q: float
    nan: int = -2**31
    neg_inf: int = -2**31 + 1
    pos_inf: int = 2**31 - 1


def section(kind: int, body: bytes) -> bytes:
    return _HEAD.pack(kind, 0, len(body)) + body


def deflated(metadata: bytes) -> bytes:
    """The deflated metadata section of the JSON bytes."""
    return section(DEFLATED, _DEFLATED.pack(0, ZLIB, len(metadata)) + zlib.compress(metadata, 9))


def quantization(p: Quantization) -> bytes:
    return section(QUANTIZATION, _QUANT.pack(0, SUBTRACTIVE_DITHER, p.seed, p.scale, p.zero, p.q,
                                             p.nan, p.neg_inf, p.pos_inf, 0))


def split(sections: bytes) -> dict[int, bytes]:
    """The bodies of whole sections by type (the C library checked their
    heads and that each type is there at most once)."""
    out: dict[int, bytes] = {}
    at = 0
    while at + _HEAD.size <= len(sections):
        kind, _flags, n = _HEAD.unpack_from(sections, at)
        out[kind] = sections[at + _HEAD.size:at + _HEAD.size + n]
        at += _HEAD.size + n
    return out


def inflate(body: bytes) -> bytes:
    """The JSON bytes of a deflated metadata section's body."""
    if len(body) < _DEFLATED.size:
        raise SectionError("the deflated metadata section is too short")
    _flags, method, size = _DEFLATED.unpack_from(body)
    if method != ZLIB:
        raise SectionError(f"the deflated metadata use an unknown method ({method})")
    if size > MAX_METADATA:
        raise SectionError(f"the deflated metadata claim {size} bytes, more than {MAX_METADATA}")
    d = zlib.decompressobj()
    try:
        data = d.decompress(body[_DEFLATED.size:], size + 1)
    except zlib.error:
        raise SectionError("the deflated metadata do not inflate") from None
    if len(data) != size or not d.eof:
        raise SectionError("the deflated metadata do not inflate to the size they claim")
    return data


def read_quantization(body: bytes) -> Quantization:
    if len(body) < _QUANT.size:
        raise SectionError("the quantization section is too short")
    _flags, method, seed, scale, zero, q, nan, neg, pos, _ = _QUANT.unpack_from(body)
    if method != SUBTRACTIVE_DITHER:
        raise SectionError(f"the quantization uses an unknown method ({method})")
    if not (scale > 0 and scale < float("inf")) or zero != zero or abs(zero) == float("inf"):
        raise SectionError("the quantization's scale or zero point is not a positive finite number")
    return Quantization(seed, scale, zero, q, nan, neg, pos)
