"""A Zarr codec that stores each chunk as a crunch-compressed F0 image.

``pyzeb.codecs.Crunch`` works with both Zarr formats:

- format 3 (Zarr's default): as the array-to-bytes codec, registered through
  Zarr's ``zarr.codecs`` entry point under the name ``"pyzeb.crunch"``;
- format 2: as the compressor, a numcodecs codec with the id
  ``"pyzeb.crunch"``, registered through numcodecs' entry point.

So a store written with it opens by name on any machine where pyzeb is
installed:

>>> import zarr
>>> from pyzeb.codecs import Crunch
>>> z = zarr.create_array("frames.zarr", shape=(64, 1024, 1024), chunks=(1, 1024, 1024),
...                       dtype="int16", serializer=Crunch())
>>> z2 = zarr.create_array("frames2.zarr", shape=(64, 1024, 1024), chunks=(1, 1024, 1024),
...                        dtype="int16", compressors=Crunch(), zarr_format=2)

Each encoded chunk is a whole F0 file image (the 512-byte header, then the
data as the smallest crunch stream, or raw where no stream is smaller), with
the chunk's shape as the file's dimensions and, as header text, the NumPy
dtype string of the chunk (such as ``<u2``).  Unsigned integers and bool are
stored as the signed type of the same width (a lossless reinterpretation of
the bits; bool as int8 0/1) and come back as the type they were, in their
byte order.  float64 and int64 chunks are stored raw (no crunch stream takes
64-bit elements).

``Crunch(dtype=...)`` reads whole F0 files as chunks, whatever their header
text (the dtype comes from the file's own headers and must be the one
named): this is how :func:`pyzeb.references` shows existing files to Zarr.
"""
from __future__ import annotations

import asyncio
import io
import re
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

try:
    from numcodecs.compat import ensure_contiguous_ndarray_like, ensure_ndarray_like, ndarray_copy
except ImportError:
    raise ImportError("pyzeb.codecs needs numcodecs: pip install 'pyzeb[zarr]'") from None
try:
    from zarr.abc.codec import ArrayBytesCodec
    from zarr.core.common import parse_named_configuration
except ImportError:
    raise ImportError("pyzeb.codecs needs zarr: pip install 'pyzeb[zarr]'") from None

from ._api import decode, encode, read_header
from ._core import FormatError

if TYPE_CHECKING:
    from zarr.core.array_spec import ArraySpec
    from zarr.core.buffer import Buffer, NDBuffer

CODEC_ID = "pyzeb.crunch"
_ACCEPTED = "int8-int64, uint8-uint64, float32, float64 and bool"
_MAX_DIMS = 16
_HEAD_MAX = 16 * 512 + 14
# The dtype strings a chunk's header text may hold: read without evaluating anything.
_DTYPE_TEXT = re.compile(r"[<>|=]?(?:[iu][1248]|f[48]|b1)")


def _signed(dt: np.dtype) -> np.dtype:
    """The storable type of the same width and byte order as `dt`."""
    order = ">" if dt.byteorder == ">" else "<"
    if dt.fields is None and not dt.subdtype:
        if dt.kind in "iub" and dt.itemsize in (1, 2, 4, 8):
            return np.dtype(f"{order}i{dt.itemsize}")
        if dt.kind == "f" and dt.itemsize in (4, 8):
            return np.dtype(f"{order}f{dt.itemsize}")
    raise TypeError(f"the pyzeb.crunch codec stores {_ACCEPTED}, not {dt}")


def _encode_array(a: np.ndarray, slice_: int | None, checksum: bool, quantize: float | None = None) -> bytes:
    """The F0 image of the C-contiguous array `a`, its dtype in the header text."""
    if a.ndim > _MAX_DIMS:
        a = a.reshape(-1, *a.shape[1 - _MAX_DIMS:])
    if quantize is not None and a.dtype.kind == "f":
        return encode(a, compress=True if slice_ is None else slice_, header=a.dtype.str, quantize=quantize)
    return encode(a.view(_signed(a.dtype)), compress=True if slice_ is None else slice_, header=a.dtype.str,
                  checksum=checksum)


def _decode_image(data: np.ndarray, want: np.dtype | None = None) -> np.ndarray:
    """The array of the F0 image `data` (uint8) in the dtype its header text
    names; given `want`, the image may instead be any F0 file whose own dtype
    is `want`, whatever its text, and other dtypes are refused."""
    a = decode(data)
    if want is not None and a.dtype == want.newbyteorder("="):
        return a.astype(want, copy=False)
    text = read_header(io.BytesIO(bytes(data[:_HEAD_MAX]))).text
    dtype = np.dtype(text) if _DTYPE_TEXT.fullmatch(text) else None
    if want is not None and (dtype is None or dtype.newbyteorder("=") != want.newbyteorder("=")):
        raise FormatError(f"pyzeb.crunch chunk: the file holds {a.dtype}, where the array holds {want}")
    if dtype is None:
        raise FormatError(f"pyzeb.crunch chunk: the header text {text[:40]!r} is not one of the dtypes "
                          f"this codec stores ({_ACCEPTED})")
    # The data come back as the type the record names (uint16 for a chunk of
    # uint16) or, without one, as the signed type they are stored as: either
    # agrees with the header text's type once both are taken as stored.
    if _signed(dtype).newbyteorder("=") != _signed(a.dtype).newbyteorder("="):
        raise FormatError(f"pyzeb.crunch chunk: the header text names {dtype}, but the data are {a.dtype}")
    a = a.view(dtype.newbyteorder("="))
    if dtype.kind == "b" and a.size and a.view(np.uint8).max() > 1:
        raise FormatError("pyzeb.crunch chunk: bool data hold bytes other than 0 and 1")
    return a.astype(dtype if want is None else want, copy=False)


@dataclass(frozen=True)
class Crunch(ArrayBytesCodec):  # type: ignore[misc]
    """Stores each chunk with :func:`pyzeb.encode` (the smallest crunch
    stream, or the plain stream of a fixed `slice` from 0 to 32) and reads it
    with :func:`pyzeb.decode`.  Each chunk carries pyzeb's checksums of its
    header and data (one more 512-byte header block), which reads verify;
    ``checksum=False`` leaves them out, for small chunks where the block
    counts (a 64 x 64 int16 tile is about 6% smaller).  `quantize` (a
    positive number q, lossy, off by default) quantizes float chunks as
    :func:`pyzeb.write` does, each chunk with its own step (its noise / q);
    they need the checksums' record, which holds how to restore them.

    `dtype` (a NumPy dtype string, such as ``"<u2"``) also reads chunks that
    are F0 files written by anything, whatever their header text: each must
    hold that dtype (its own, or the one its text names as this codec
    writes it); any other raises :class:`pyzeb.FormatError`.

    A numcodecs codec, Zarr format 2's compressor (``compressors=Crunch()``):
    ``encode(buf)`` gives the chunk's bytes, ``decode(buf, out=None)`` a
    one-dimensional array of the chunk's dtype, its elements in the order of
    the buffer that was encoded (C or Fortran), as numcodecs' compressors
    give them.  Given to a format 3 array (``serializer=Crunch()``), Zarr
    turns it into its :class:`CrunchFormat3` counterpart, which stores the
    same chunks.
    """

    slice: int | None = None
    checksum: bool = True
    dtype: str | None = None
    quantize: float | None = None

    codec_id = CODEC_ID

    def __init__(self, slice: int | None = None, checksum: bool = True, dtype: Any = None,
                 quantize: float | None = None) -> None:
        if slice is not None and (isinstance(slice, bool) or not isinstance(slice, (int, np.integer))
                                  or not 0 <= slice <= 32):
            raise ValueError(f"slice must be None or 0 to 32, not {slice!r}")
        if not isinstance(checksum, (bool, np.bool_)):
            raise ValueError(f"checksum must be True or False, not {checksum!r}")
        object.__setattr__(self, "slice", None if slice is None else int(slice))
        object.__setattr__(self, "checksum", bool(checksum))
        if dtype is not None:
            try:
                dt = np.dtype(dtype)
            except TypeError:
                raise ValueError(f"dtype must be a NumPy dtype, not {dtype!r}") from None
            _signed(dt)
            dtype = dt.str
        object.__setattr__(self, "dtype", dtype)
        if quantize is not None:
            if isinstance(quantize, bool) or not isinstance(quantize, (int, float, np.integer, np.floating)) \
                    or not 0 < quantize < float("inf"):
                raise ValueError(f"quantize must be None or a positive number, not {quantize!r}")
            if not checksum:
                raise ValueError("quantize needs checksum=True: the record holds how to restore the values")
            quantize = float(quantize)
        object.__setattr__(self, "quantize", quantize)

    def __repr__(self) -> str:
        return (f"Crunch(slice={self.slice!r}{'' if self.checksum else ', checksum=False'}"
                f"{'' if self.dtype is None else f', dtype={self.dtype!r}'}"
                f"{'' if self.quantize is None else f', quantize={self.quantize!r}'})")

    def _want(self) -> np.dtype | None:
        return None if self.dtype is None else np.dtype(self.dtype)

    def _encode(self, a: np.ndarray) -> bytes:
        want = self._want()
        if want is not None and a.dtype.newbyteorder("=") != want.newbyteorder("="):
            raise TypeError(f"this pyzeb.crunch codec stores {want}, not {a.dtype}")
        return _encode_array(a, self.slice, self.checksum, self.quantize)

    def _options(self) -> dict[str, Any]:
        """The configuration that differs from the defaults (none: the codec's name alone)."""
        options: dict[str, Any] = {}
        if self.slice is not None:
            options["slice"] = self.slice
        if not self.checksum:
            options["checksum"] = False
        if self.dtype is not None:
            options["dtype"] = self.dtype
        if self.quantize is not None:
            options["quantize"] = self.quantize
        return options

    def get_config(self) -> dict[str, Any]:
        return {"id": CODEC_ID, **self._options()}

    @classmethod
    def from_config(cls, config: dict[str, Any]) -> Crunch:
        return Crunch(**config)

    def encode(self, buf: Any) -> bytes:  # type: ignore[override]
        a = ensure_contiguous_ndarray_like(ensure_ndarray_like(buf), flatten=False)
        if not a.flags.c_contiguous:  # F order: the same bytes, read as the reversed shape
            a = a.T
        a = np.asarray(a)
        want = self._want()
        if want is not None and a.dtype == np.uint8 and a.nbytes % want.itemsize == 0:
            a = a.reshape(-1).view(want)  # a plain byte buffer holds elements of the codec's dtype
        return self._encode(a)

    def decode(self, buf: Any, out: Any = None) -> Any:  # type: ignore[override]
        a = _decode_image(ensure_contiguous_ndarray_like(buf).view(np.uint8), self._want())
        return ndarray_copy(a.reshape(-1), out)

    # Zarr: in a format 2 array's metadata this codec is its numcodecs
    # configuration; a format 3 array takes the format 3 codec instead.

    def to_dict(self) -> dict[str, Any]:
        return self.get_config()

    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> CrunchFormat3:
        _, config = parse_named_configuration(data, CODEC_ID, require_configuration=False)
        return CrunchFormat3(**(config or {}))

    def evolve_from_array_spec(self, array_spec: ArraySpec) -> CrunchFormat3:
        return CrunchFormat3(self.slice, self.checksum, self.dtype, self.quantize)

    def compute_encoded_size(self, input_byte_length: int, chunk_spec: ArraySpec) -> int:
        raise NotImplementedError  # the stream's size depends on the data


# init=False: the checks of Crunch.__init__, not a generated constructor
# that would take any configuration, also for codecs built from zarr.json.
@dataclass(frozen=True, repr=False, init=False)
class CrunchFormat3(Crunch):
    """:class:`Crunch` as a Zarr format 3 array-to-bytes codec, named
    ``"pyzeb.crunch"`` in the array's metadata: the chunk (in C order) is
    stored as an F0 image, and read back as the array's dtype and chunk
    shape."""

    is_fixed_size = False

    # Zarr's batched calls, not numcodecs' single-buffer ones.
    encode = ArrayBytesCodec.encode  # type: ignore[assignment]
    decode = ArrayBytesCodec.decode  # type: ignore[assignment]

    def to_dict(self) -> dict[str, Any]:
        options = self._options()
        return {"name": CODEC_ID, "configuration": options} if options else {"name": CODEC_ID}

    def evolve_from_array_spec(self, array_spec: ArraySpec) -> CrunchFormat3:
        return self

    def validate(self, *, shape: tuple[int, ...], dtype: Any, chunk_grid: Any) -> None:
        native = dtype.to_native_dtype()
        _signed(native)
        want = self._want()
        if want is not None and native.newbyteorder("=") != want.newbyteorder("="):
            raise TypeError(f"this pyzeb.crunch codec stores {want}, not {native}")

    def _encode_sync(self, chunk_array: NDBuffer, chunk_spec: ArraySpec) -> Buffer | None:
        a = np.ascontiguousarray(chunk_array.as_numpy_array())
        return chunk_spec.prototype.buffer.from_bytes(self._encode(a))

    def _decode_sync(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> NDBuffer:
        a = _decode_image(chunk_bytes.as_numpy_array().view(np.uint8), self._want())
        dtype = chunk_spec.dtype.to_native_dtype()
        if a.dtype.newbyteorder("=") != dtype.newbyteorder("=") or a.size != int(np.prod(chunk_spec.shape)):
            raise FormatError(f"pyzeb.crunch chunk: {a.dtype} {a.shape} where the array holds "
                              f"{dtype} {chunk_spec.shape}")
        a = a.astype(dtype, copy=False).reshape(chunk_spec.shape)
        return chunk_spec.prototype.nd_buffer.from_numpy_array(a)

    async def _encode_single(self, chunk_array: NDBuffer, chunk_spec: ArraySpec) -> Buffer | None:
        return await asyncio.to_thread(self._encode_sync, chunk_array, chunk_spec)

    async def _decode_single(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> NDBuffer:
        return await asyncio.to_thread(self._decode_sync, chunk_bytes, chunk_spec)
