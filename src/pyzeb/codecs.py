"""A numcodecs codec that stores each chunk as a crunch-compressed F0 image.

``pyzeb.codecs.Crunch`` has the codec id ``"pyzeb.crunch"`` and is registered
through numcodecs' entry point, so Zarr opens a store written with it by id
on any machine where pyzeb is installed:

>>> import zarr
>>> from pyzeb.codecs import Crunch
>>> z = zarr.create_array("frames.zarr", shape=(64, 1024, 1024), chunks=(1, 1024, 1024),
...                       dtype="int16", compressors=Crunch(), zarr_format=2)

Each encoded chunk is a whole F0 file image (the 512-byte header, then the
data as the smallest crunch stream, or raw where no stream is smaller), with
the chunk's shape as the file's dimensions and, as header text, the NumPy
dtype string of the chunk (such as ``<u2``).  Unsigned integers are stored as
the signed type of the same width (a lossless reinterpretation of the bits)
and come back as the type they were, in their byte order.
"""
from __future__ import annotations

import io
from typing import Any

import numpy as np

try:
    from numcodecs.abc import Codec
    from numcodecs.compat import ensure_contiguous_ndarray_like, ensure_ndarray_like, ndarray_copy
except ImportError:
    raise ImportError("pyzeb.codecs needs numcodecs: pip install 'pyzeb[zarr]'") from None

from ._api import decode, encode, read_header

_SIGNED = {"u": "i", "i": "i", "f": "f"}
_ACCEPTED = "int8-int64, uint8-uint64 and float32"
_MAX_DIMS = 16
_HEAD_MAX = 16 * 512 + 14


def _signed(dt: np.dtype) -> np.dtype:
    """The storable type of the same width and byte order as `dt`."""
    if dt.kind in "iu" or (dt.kind == "f" and dt.itemsize == 4):
        return np.dtype(f"{'>' if dt.byteorder == '>' else '<'}{_SIGNED[dt.kind]}{dt.itemsize}")
    raise TypeError(f"the pyzeb.crunch codec stores {_ACCEPTED}, not {dt}")


class Crunch(Codec):  # type: ignore[misc]
    """Stores each chunk with :func:`pyzeb.encode` (the smallest crunch
    stream, or the plain stream of a fixed `slice` from 0 to 32) and reads it
    with :func:`pyzeb.decode`."""

    codec_id = "pyzeb.crunch"

    def __init__(self, slice: int | None = None) -> None:
        if slice is not None and (isinstance(slice, bool) or not isinstance(slice, (int, np.integer))
                                  or not 0 <= slice <= 32):
            raise ValueError(f"slice must be None or 0 to 32, not {slice!r}")
        self.slice = None if slice is None else int(slice)

    def get_config(self) -> dict[str, Any]:
        config: dict[str, Any] = {"id": self.codec_id}
        if self.slice is not None:
            config["slice"] = self.slice
        return config

    def __repr__(self) -> str:
        return f"Crunch(slice={self.slice!r})"

    def encode(self, buf: Any) -> bytes:
        a = ensure_contiguous_ndarray_like(ensure_ndarray_like(buf), flatten=False)
        dtype = a.dtype
        signed = _signed(dtype)
        if not a.flags.c_contiguous:  # F order: the same bytes, read as the reversed shape
            a = a.T
        if a.ndim > _MAX_DIMS:
            a = a.reshape(-1, *a.shape[1 - _MAX_DIMS:])
        compress = True if self.slice is None else self.slice
        return encode(np.asarray(a).view(signed), compress=compress, header=dtype.str)

    def decode(self, buf: Any, out: Any = None) -> Any:
        data = ensure_contiguous_ndarray_like(buf).view(np.uint8)
        a = decode(data)
        # the chunk's own dtype, from the header text (at most 16 header blocks and the stream header)
        text = read_header(io.BytesIO(bytes(data[:_HEAD_MAX]))).text
        try:
            dtype = np.dtype(text)
        except (TypeError, ValueError):
            dtype = a.dtype
        if dtype.kind in "iuf" and dtype.itemsize == a.dtype.itemsize:
            a = a.view(dtype.newbyteorder("=")).astype(dtype, copy=False)
        return ndarray_copy(a, out)
