"""Floats stored as integers: exactly, where every value is a whole number
that a narrower integer type holds, or quantized, where asked for.

Quantization follows FITS tile compression: the scale is the noise of the
array (estimated from second differences along its rows) divided by the
quantize level q, a reproducible dither in [0, 1) drawn for each element
from a stored seed is added before rounding and taken off again when the
values are restored, so that the error is at most half the scale and not
correlated with the values.  NaN and the infinities keep integers of their
own.
"""
from __future__ import annotations

import os

import numpy as np

from ._sections import Quantization

_INTS = (np.dtype(np.int8), np.dtype(np.int16), np.dtype(np.int32))
_PROBE = 4096   # elements looked at before the whole array is
_CHUNK = 1 << 20  # elements of dither drawn at once
_GOLDEN = np.uint64(0x9E3779B97F4A7C15)
_M1 = np.uint64(0xBF58476D1CE4E5B9)
_M2 = np.uint64(0x94D049BB133111EB)
# 0.6052697 = 1 / (0.6745 * sqrt(6)): the median absolute value of
# 2x[i] - x[i-2] - x[i+2] is that many times the noise for Gaussian noise.
_NOISE3 = 0.6052697
_LIMIT = 2**31 - 4  # the most a quantized value may be away from zero (room for the dither and the codes)


def _whole(a: np.ndarray, info: np.iinfo) -> bool:
    with np.errstate(invalid="ignore"):
        if not np.isfinite(a).all() or (np.rint(a) != a).any():
            return False
        # compared as float64: as float32, 2^31 - 1 would round up to 2^31 and let 2^31 pass
        if a.size and (np.float64(a.min()) < info.min or np.float64(a.max()) > info.max):
            return False
    zeros = a == 0
    return not (zeros.any() and np.signbit(a[zeros]).any())  # -0.0 would come back as 0.0


def integer_type(a: np.ndarray) -> np.dtype | None:
    """The narrowest of int8, int16, int32 that holds every value of the
    float array `a` exactly (whole numbers, no NaN, infinity or -0.0), else None."""
    if a.dtype.kind != "f" or a.size == 0:
        return None
    flat = a.reshape(-1)
    if not _whole(flat[:_PROBE], np.iinfo(np.int32)) or not _whole(flat, np.iinfo(np.int32)):
        return None
    lo, hi = np.float64(flat.min()), np.float64(flat.max())
    for t in _INTS:
        info = np.iinfo(t)
        if info.min <= lo and hi <= info.max:
            return t
    return None  # pragma: no cover - int32 holds them, checked above


def dither(seed: int, first: int, count: int) -> np.ndarray:
    """Dither values in [0, 1) of elements first to first + count - 1 (flat,
    C order): the top 53 bits of SplitMix64 of seed + (i + 1) * 0x9E3779B97F4A7C15."""
    with np.errstate(over="ignore"):
        z = np.uint64(seed) + (np.arange(first + 1, first + count + 1, dtype=np.uint64) * _GOLDEN)
        z = (z ^ (z >> np.uint64(30))) * _M1
        z = (z ^ (z >> np.uint64(27))) * _M2
        z ^= z >> np.uint64(31)
    return (z >> np.uint64(11)).astype(np.float64) * 2.0**-53


def noise(a: np.ndarray) -> float:
    """The noise of the finite values of `a`, from the second differences
    two elements apart along its rows (its last axis), or along the whole
    array where rows are shorter than 5: 0 where it cannot be told."""
    rows = a.reshape(-1, a.shape[-1]) if a.ndim and a.shape[-1] >= 5 else a.reshape(1, -1)
    if rows.shape[1] < 5:
        return 0.0
    x = rows.astype(np.float64, copy=False)
    with np.errstate(invalid="ignore", over="ignore"):
        d = np.abs(2 * x[:, 2:-2] - x[:, :-4] - x[:, 4:]).reshape(-1)
    d = d[np.isfinite(d)]
    return float(_NOISE3 * np.median(d)) if d.size else 0.0


def quantize(a: np.ndarray, q: float, seed: int | None = None) -> tuple[np.ndarray, Quantization] | None:
    """The int32 array and parameters of the quantized float array `a`, or
    None where its noise cannot be told (constant, too small): then it is
    stored exactly."""
    if not (isinstance(q, (int, float, np.floating, np.integer)) and not isinstance(q, bool) and 0 < q < np.inf):
        raise ValueError(f"quantize must be a positive number (the noise over the quantization step), not {q!r}")
    x = a.reshape(-1)
    finite = np.isfinite(x)
    if not finite.any():
        return None
    sigma = noise(a)
    if not sigma > 0:
        return None
    lo, hi = float(x[finite].min()), float(x[finite].max())
    zero = lo / 2 + hi / 2
    scale = max(sigma / float(q), (hi / 2 - lo / 2) / _LIMIT)
    if seed is None:
        seed = int.from_bytes(os.urandom(8), "little")
    p = Quantization(seed=int(seed) & (2**64 - 1), scale=scale, zero=zero, q=float(q))
    out = np.empty(x.shape, np.int32)
    for at in range(0, x.size, _CHUNK):
        part = x[at:at + _CHUNK].astype(np.float64)
        with np.errstate(invalid="ignore", over="ignore"):
            v = np.floor((part - zero) / scale + dither(p.seed, at, part.size))
            v = np.where(np.isfinite(part), v, 0)
        o = v.astype(np.int32)
        o[np.isnan(part)] = p.nan
        o[part == -np.inf] = p.neg_inf
        o[part == np.inf] = p.pos_inf
        out[at:at + _CHUNK] = o
    return out.reshape(a.shape), p


def restore(stored: np.ndarray, p: Quantization, dtype: np.dtype, first: int = 0) -> np.ndarray:
    """The floats of quantized integers `stored`, whose first element is
    element `first` of the whole array (flat, C order)."""
    x = stored.reshape(-1)
    out = np.empty(x.shape, dtype)
    for at in range(0, x.size, _CHUNK):
        s = x[at:at + _CHUNK]
        v = (s.astype(np.float64) - dither(p.seed, first + at, s.size) + 0.5) * p.scale + p.zero
        v[s == p.nan] = np.nan
        v[s == p.neg_inf] = -np.inf
        v[s == p.pos_inf] = np.inf
        out[at:at + _CHUNK] = v
    return out.reshape(stored.shape)
