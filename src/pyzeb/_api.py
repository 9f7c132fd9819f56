"""Reading and writing F0 files: whole arrays, headers only, memory maps, bytes, checksums."""
from __future__ import annotations

import errno
import io
import json
import os
import re
import sys
from dataclasses import dataclass, field
from typing import Any, Literal, Protocol, Union

import numpy as np

from . import _core, _floats, _remote, _sections
from ._core import FormatError, FormatWarning

FormatError.__module__ = FormatWarning.__module__ = "pyzeb"

# NumPy dtype of each F0 type code (native byte order).
_DTYPES = tuple(np.dtype(t) for t in (np.int8, np.int16, np.int32, np.float32, np.float64, np.int64))
_TYPE_CODES = {(dt.kind, dt.itemsize): code for code, dt in enumerate(_DTYPES)}
# True dtypes the header record names, by their code there: each is stored
# as the signed type of the same width, bits unchanged (bool as int8 0/1).
_TRUE_DTYPES = {code: np.dtype(t) for code, t in
                ((1, np.uint8), (2, np.uint16), (3, np.uint32), (4, np.uint64), (5, np.bool_))}
_TRUE_CODES = {(dt.kind, dt.itemsize): code for code, dt in _TRUE_DTYPES.items()}
# True dtypes of floats stored as integer values (whole numbers, or
# quantized), by their code there; the reader converts the values back.
_VALUE_DTYPES = {code: np.dtype(t) for code, t in
                 ((6, np.float32), (7, np.float32), (8, np.float32), (9, np.float64), (10, np.float64),
                  (11, np.float64), (12, np.float32), (13, np.float64))}
_WHOLE_CODES = {(f, i): code for code, f, i in
                ((6, 4, 1), (7, 4, 2), (8, 4, 4), (9, 8, 1), (10, 8, 2), (11, 8, 4))}
_QUANTIZED_CODES = {4: 12, 8: 13}
_RECORD_MAX = 7680  # bytes of the header record
_RECORD_BASE = 24 + 8 + 24  # preamble and checksums section
_STORABLE = "int8, int16, int32, int64, uint8, uint16, uint32, uint64, bool, float32 or float64"
_MAX_BYTES = 2**31 - 1
_MAX_DIMS = 16
_MAX_TEXT = 255
_MAX_SLICE = 32
_MAX_SLICE_16 = 17  # the widest slice of the 16-bit streams
_TRUNCATED = -11  # the status of raw data that end early
# Metadata nest at most this deep: deeper JSON would exhaust the recursion
# of the parser, or of whatever walks the values later, on some Pythons.
_MAX_NESTING = 512
_JSON_STRING = re.compile(rb'"(?:[^"\\]|\\.)*"', re.DOTALL)

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class Readable(Protocol):
    def read(self, size: int = -1, /) -> bytes: ...


class Writable(Protocol):
    def write(self, data: bytes, /) -> object: ...


@dataclass(frozen=True, slots=True)
class Header:
    """What an F0 file's headers say, read by :func:`read_header` without the data.

    >>> h = pyzeb.read_header("frame.f0")  # 3 x 4 int16, stored raw: no stream is smaller
    >>> h.shape, h.dtype, h.compressed, h.slice
    ((3, 4), dtype('int16'), False, None)
    """

    shape: tuple[int, ...]
    """NumPy shape: the file's dimensions, slowest first."""
    dtype: np.dtype
    """Element type, in native byte order (as :func:`read` returns it)."""
    text: str
    """Header text up to its first zero byte, UTF-8 with ``surrogateescape``."""
    compressed: bool
    """True when the data are one crunch stream."""
    compression_type: int | None
    """Crunch stream type of a compressed file as stored (0-4 in a sound file), else None."""
    slice: int | None
    """Slice of a compressed file's stream, else None."""
    byteorder: Literal["<", ">"]
    """Byte order of the raw data on disk (``"<"`` for compressed files)."""
    header_blocks: int
    """512-byte header blocks before the data, at least 1."""
    data_offset: int
    """Bytes from the start of the file to the data."""
    data_size: int
    """Bytes of data on disk (the whole stream for a compressed file)."""
    metadata: dict[str, Any] = field(hash=False)
    """The metadata stored with :func:`write` (a dict of JSON values), ``{}`` when none."""
    checksum: bool
    """True when the file carries CRC-32C checksums of its header and data
    (pyzeb's header record), which :func:`read` verifies."""
    data_changed: bool
    """True when the data were changed in place (``memmap(mode="r+")``) after
    the checksum was computed: reads then verify the header but not the data,
    until ``zeb checksum`` (:func:`add_checksum`) renews it."""
    stored_dtype: np.dtype | None = None
    """The integer type that holds the values of a float array (whole
    numbers stored exactly, or quantized), else None.  Readers that do not
    know pyzeb's header record see these integers."""
    quantization_step: float | None = None
    """The step of a quantized float array (``write(..., quantize=q)``): each
    value read is within half of it of the value written.  None: exact."""

    @property
    def nbytes(self) -> int:
        """Bytes of the array in memory."""
        return int(np.prod(self.shape, dtype=np.int64)) * self.dtype.itemsize


def _format_error(name: str, cause: str) -> FormatError:
    err = FormatError(f"{name}: {cause}")
    err.filename = name
    return err


def _dtype(info: _core.Info) -> np.dtype:
    """The array's dtype: the true one the record names, else the stored type's."""
    code = info[15]
    if code in _VALUE_DTYPES:
        return _VALUE_DTYPES[code]
    return _TRUE_DTYPES[code] if code else _DTYPES[info[0]]


def _buffer_dtype(info: _core.Info) -> np.dtype:
    """The dtype the file layer reads the data into: the true one where the
    bits are those of the true dtype, else the stored type's."""
    return _TRUE_DTYPES.get(info[15]) or _DTYPES[info[0]]


def _quantization(info: _core.Info, name: str) -> _sections.Quantization | None:
    """The quantization of a quantized array (None for any other)."""
    if info[15] not in _QUANTIZED_CODES.values():
        return None
    body = _sections.split(info[17]).get(_sections.QUANTIZATION)
    try:
        if body is None:
            raise _sections.SectionError("the quantized array has no quantization section")
        return _sections.read_quantization(body)
    except _sections.SectionError as exc:
        raise _format_error(name, f"the header record is damaged: {exc}") from None


def _values(out: np.ndarray, info: _core.Info, name: str, first: int = 0) -> np.ndarray:
    """The array read as stored, as its true dtype: floats from the integers
    that hold them (`first`: the flat index of its first element)."""
    dtype = _dtype(info)
    if out.dtype == dtype:
        return out
    p = _quantization(info, name)
    return out.astype(dtype) if p is None else _floats.restore(out, p, dtype, first)


def _metadata_bytes(info: _core.Info, name: str) -> bytes | None:
    """The metadata's JSON bytes: plain, or inflated from their section."""
    body = _sections.split(info[17]).get(_sections.DEFLATED)
    if body is None:
        return info[16]
    if info[16] is not None:
        raise _format_error(name, "the header record is damaged: it holds metadata both plain and deflated")
    try:
        return _sections.inflate(body)
    except _sections.SectionError as exc:
        raise _format_error(name, f"the header record is damaged: {exc}") from None


def _nesting(text: bytes) -> int:
    """How deep the arrays and objects of the JSON text nest."""
    if text.count(b"[") + text.count(b"{") <= _MAX_NESTING:
        return 0  # too few brackets to nest too deeply: no need to look
    b = np.frombuffer(_JSON_STRING.sub(b"", text), np.uint8)
    steps = np.isin(b, (0x5B, 0x7B)).astype(np.int32) - np.isin(b, (0x5D, 0x7D))
    return int(np.cumsum(steps).max(initial=0))


def _header(info: _core.Info, name: str) -> Header:
    (_type, dims, compressed, big_endian, blocks, offset, size, ctype, slice_, text, _nbytes,
     _state, _version, checksum, unchecked, true, _metadata, _kept) = info
    metadata = _metadata_bytes(info, name)
    meta: Any = {}
    if metadata:
        if _nesting(metadata) > _MAX_NESTING:
            raise _format_error(name, f"the metadata in the header record are nested more than {_MAX_NESTING} "
                                      "deep (nested too deeply to be read)")
        # the record passed its own check, so these are the bytes written
        try:
            meta = json.loads(metadata)
        except ValueError:
            meta = None
        except RecursionError:
            raise _format_error(name, "the metadata in the header record are nested too deeply to be read") \
                from None
        if not isinstance(meta, dict):
            raise _format_error(name, "the metadata in the header record are not a JSON object")
    # Positional, in field order: a third faster than keywords, which counts
    # when listing thousands of files.
    q = _quantization(info, name)
    return Header(dims[::-1], _dtype(info), text.decode("utf-8", "surrogateescape"), compressed != 0,
                  ctype, slice_, ">" if big_endian else "<", blocks, offset, size, meta, checksum != 0,
                  unchecked != 0, _DTYPES[_type] if true in _VALUE_DTYPES else None, q.scale if q else None)


def _path(file: object) -> tuple[bytes | None, str]:
    """The file system path of `file` (None for a file object) and its name for messages."""
    if isinstance(file, (str, bytes, os.PathLike)):
        path = os.fspath(file)
        return os.fsencode(path), os.fsdecode(path)
    name = getattr(file, "name", None)
    return None, name if isinstance(name, str) else f"<{type(file).__name__}>"


def _readable(file: object) -> Readable:
    if not callable(getattr(file, "read", None)):
        raise TypeError(f"expected a path or a binary file object, not {type(file).__name__}")
    return file  # type: ignore[return-value]


def _chunk(file: Readable, size: int) -> bytes:
    data = file.read(size)
    if data is None:
        # a raw file object in non-blocking mode with nothing to give now
        raise BlockingIOError(errno.EAGAIN, "the file object is non-blocking and had no data ready; "
                              "read from a blocking one")
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"file object returned {type(data).__name__}, not bytes: open it in binary mode")
    return data


def _read_bytes(file: Readable, size: int = -1) -> bytes:
    """`size` bytes of `file` (all up to its end for -1), fewer only where it ends.

    A raw file object (an unbuffered pipe, a socket) may hand out fewer bytes
    than asked for at each call: it is read again until the bytes are there
    or it reports its end."""
    if size < 0:
        return bytes(_chunk(file, -1))
    data = _chunk(file, size)
    if len(data) >= size or not data:
        return bytes(data)
    parts = [bytes(data)]
    got = len(data)
    while got < size:
        more = _chunk(file, size - got)
        if not more:
            break
        parts.append(bytes(more))
        got += len(more)
    return b"".join(parts)


def _write_all(file: Writable, data: bytes) -> None:
    """Writes all of `data` to a binary file object, honouring the count its write() returns.

    A raw file object may take only part of what it is given: the rest is
    written again until all of it is taken.  ``None`` from a raw file object
    (io.RawIOBase) means it is non-blocking and took nothing: BlockingIOError
    (its ``characters_written`` says how many bytes went out before).  Other
    objects that return None, as many hand-written writers do, are taken to
    have written everything.  A count of 0 or one that makes no sense raises
    OSError rather than leave a short file."""
    view = memoryview(data)
    done = 0
    while done < len(view):
        n = file.write(view[done:])
        if n is None:
            if isinstance(file, io.RawIOBase):
                raise BlockingIOError(errno.EAGAIN, "the file object is non-blocking and took no more bytes; "
                                      "the F0 file written to it is incomplete", done)
            return
        if isinstance(n, bool) or not isinstance(n, int) or not 0 < n <= len(view) - done:
            raise OSError(errno.EIO, f"the file object's write() returned {n!r} for {len(view) - done} bytes; "
                          f"the F0 file written to it is incomplete")
        done += n


def _flags(verify: bool) -> int:
    return 0 if verify else _core.OPEN_NO_VERIFY


Index = Union[int, slice]
"""A part of a file's array along its first axis: one plane (int) or a run of them (slice)."""


def _part(index: object, shape: tuple[int, ...]) -> tuple[int, int, slice | None, bool]:
    """The rows [lo, hi) along the first axis that `index` takes, what to
    take of those (None: all of them) and whether the axis goes (an int)."""
    if not shape:
        raise IndexError("a 0-dimensional array has no first axis to take a part of")
    n = shape[0]
    if isinstance(index, slice):
        r = range(n)[index]
        if len(r) == 0 or r.step == 1:
            return (r.start, r.stop, None, False) if len(r) else (0, 0, None, False)
        lo, hi = min(r[0], r[-1]), max(r[0], r[-1]) + 1
        return lo, hi, slice(r[0] - lo, None, r.step), False
    if isinstance(index, (bool, np.bool_)) or not isinstance(index, (int, np.integer)):
        raise TypeError(f"index must be an int or a slice along the first axis, not {type(index).__name__}")
    i = int(index) + n if index < 0 else int(index)
    if not 0 <= i < n:
        raise IndexError(f"index {index} is out of bounds for the first axis, of size {n}")
    return i, i + 1, None, True


def _read_array(reader: _core.Reader, name: str, threads: int = 1, index: object = None,
                expect: tuple[tuple[int, ...], np.dtype, str] | None = None) -> np.ndarray:
    """Reads the reader's array, or the part `index` takes of it.  `expect`:
    the shape and dtype the file must have (else FormatError with the third
    item, what they are, in its message), checked before the data are read."""
    with reader:
        info = reader.info
        shape, dtype = _expected(info, name, expect)
        _quantization(info, name)  # a damaged section fails before the data are read
        if index is None:
            out = np.empty(shape, _buffer_dtype(info))
            reader.read_into(out, threads)
            out = _values(out, info, name)
        else:
            lo, hi, take, drop = _part(index, shape)
            row = int(np.prod(shape[1:], dtype=np.int64))
            out = np.empty((() if drop else (hi - lo,)) + shape[1:], _buffer_dtype(info))
            reader.read_into(out, threads, lo * row, (hi - lo) * row)
            out = _values(out, info, name, lo * row)
            if take is not None:
                out = out[take].copy()
    if out.dtype == np.bool_ and out.size and out.view(np.uint8).max() > 1:
        raise _format_error(name, "bool data hold bytes other than 0 and 1")
    return out


def _expected(info: _core.Info, name: str,
              expect: tuple[tuple[int, ...], np.dtype, str] | None) -> tuple[tuple[int, ...], np.dtype]:
    """The shape and dtype of the file's array; FormatError where they are
    not those `expect` gives."""
    shape, dtype = tuple(reversed(info[1])), _dtype(info)
    if expect is not None and (shape, dtype) != expect[:2]:
        raise _format_error(name, f"holds an array of shape {shape} and dtype {dtype}, {expect[2]} "
                            f"shape {expect[0]} and dtype {expect[1]}")
    return shape, dtype


def _elements(index: object, name: str, expect: tuple[tuple[int, ...], np.dtype, str] | None = None) -> Any:
    """For a ranged read of the part `index` takes: a function of the
    file's info that gives its elements (first, count); None for all."""
    if index is None:
        return None

    def elements(info: _core.Info) -> tuple[int, int]:
        shape, _ = _expected(info, name, expect)
        lo, hi, _, _ = _part(index, shape)
        row = int(np.prod(shape[1:], dtype=np.int64))
        return lo * row, (hi - lo) * row
    return elements


def _reader(file: PathLike | Readable, index: object, verify: bool, storage_options: dict[str, Any] | None,
            expect: tuple[tuple[int, ...], np.dtype, str] | None = None) -> tuple[_core.Reader, str]:
    """A reader of what read(file, index) reads, and the file's name: a
    path opened by the file layer; a URL, or a seekable file object read
    for a part, by ranges; other file objects read whole."""
    if _remote.is_url(file):
        local = _remote.local_path(file, storage_options)  # type: ignore[arg-type]
        if local is None:
            ranges = _remote.UrlRanges(file, storage_options)  # type: ignore[arg-type]
            return _remote.open_reader(ranges, _flags(verify), _elements(index, file, expect)), file  # type: ignore
        file = local
    elif storage_options is not None:
        raise TypeError("storage_options apply to URLs only")
    path, name = _path(file)
    if path is None and index is not None and _remote.seekable(file):
        try:
            ranges = _remote.FileRanges(file, name, _read_bytes)
        except (OSError, ValueError):
            ranges = None  # it cannot tell its size (a compressed stream, say): read it whole
        if ranges is not None:
            return _remote.open_reader(ranges, _flags(verify), _elements(index, name, expect)), name
    return _open(file, path, name, verify), name


def read(file: PathLike | Readable, index: Index | None = None, *, verify: bool = True,
         threads: int | None = None, storage_options: dict[str, Any] | None = None) -> np.ndarray:
    """Reads an F0 file and returns its array, or the part `index` takes of it.

    `file` is a path (str, bytes or os.PathLike), a URL that fsspec
    opens (``s3://...``, ``https://...``, ``memory://...``, with
    `storage_options` for its file system; needs ``pip install
    "pyzeb[remote]"``) or a binary file object (anything with ``.read()``,
    such as what ``open(..., "rb")`` or fsspec return).  The array has the file's dimensions in NumPy order, native byte
    order, and owns its memory, in the dtype that was written (unsigned and
    bool arrays included).  Raises OSError (with errno and filename) when the
    file cannot be opened or read, and :class:`FormatError` when it is not an
    F0 file or cannot be read completely and exactly.

    A file with checksums (what :func:`write` stores by default) is verified
    as it is read: any damage to its header or data raises
    :class:`FormatError` ("checksum mismatch: the file is damaged");
    ``verify=False`` skips the checks (and reads a file whose header record
    is damaged as its stored type).  A file without checksums is decoded
    exactly as stored, but damage inside a compressed stream can then go
    unnoticed.

    A compressed file written by pyzeb carries a seek index: it is decoded in
    pieces on up to `threads` threads (None: one per core), with the same
    result; an index that does not match the data raises :class:`FormatError`.

    `index` reads part of the array along its first axis, as ``a[index]``
    would take it: an int (one plane of a cube, one row of a frame; the
    axis goes) or a slice (a run of them).  Only that part is read from a
    path: raw data from their place in the file; a compressed file with a
    seek index from the indexed block before the part to the one after it;
    a compressed file without one is decoded from its start up to the part's
    end.  A URL or a seekable file object is read by byte ranges: its
    headers, then only the bytes the part needs (a compressed file without
    a seek index: its whole stream); other file objects are read whole, and
    the part decoded.  The data's
    checksum covers all of the data, so a part is checked against the
    header's checksum and the stream's structure only: read the whole file,
    or run ``zeb verify``, to check every byte.  A whole read also checks
    every seek-index entry; a part read proves only that the entry it starts
    from begins *a* block, so an index whose entries all name the wrong
    blocks can give other rows, where a whole read or ``zeb verify``
    refuses the file.

    >>> a = pyzeb.read("frame.f0")
    >>> a.shape, a.dtype
    ((3, 4), dtype('int16'))
    >>> pyzeb.read("cube.f0", 10).shape  # one plane of a (20, 64, 64) cube
    (64, 64)
    """
    nthreads = _threads(threads)
    reader, name = _reader(file, index, verify, storage_options)
    return _read_array(reader, name, nthreads, index)


def _open(file: PathLike | Readable, path: bytes | None, name: str, verify: bool) -> _core.Reader:
    if path is not None:
        return _core.open(path, name, _flags(verify))
    return _core.open_memory(_read_bytes(_readable(file)), name, _flags(verify))


def _read_expecting(file: PathLike | Readable, index: Index | None, shape: tuple[int, ...], dtype: np.dtype,
                    what: str, threads: int = 0, storage_options: dict[str, Any] | None = None) -> np.ndarray:
    """read(file, index), for a file that must hold an array of this shape and dtype."""
    expect = (shape, dtype, what)
    reader, name = _reader(file, index, True, storage_options, expect)
    return _read_array(reader, name, threads, index, expect)


def decode(buffer: bytes | bytearray | memoryview, index: Index | None = None, *, verify: bool = True,
           threads: int | None = None) -> np.ndarray:
    """Reads the array of an F0 file image held in memory (any bytes-like
    object), or the part `index` takes of it, verifying its checksums and
    using its seek index as :func:`read` does.

    >>> pyzeb.decode(pyzeb.encode(np.arange(3, dtype=np.int32)))
    array([0, 1, 2], dtype=int32)
    """
    return _read_array(_core.open_memory(buffer, "<buffer>", _flags(verify)), "<buffer>", _threads(threads), index)


def read_header(file: PathLike | Readable, *, verify: bool = True,
                storage_options: dict[str, Any] | None = None) -> Header:
    """Reads only the headers of an F0 file (its data are not read).

    For a compressed file this includes the 14-byte stream header.  A file
    object is read up to the end of its headers, a URL (as for :func:`read`)
    for its first 8 KiB.  The checksum of the header is verified where the
    file has one (``verify=False``: not).

    >>> pyzeb.read_header("frame.f0").shape
    (3, 4)
    """
    if _remote.is_url(file):
        local = _remote.local_path(file, storage_options)  # type: ignore[arg-type]
        if local is None:
            info = _remote.read_header(_remote.UrlRanges(file, storage_options), _flags(verify))  # type: ignore
            return _header(info, file)  # type: ignore[arg-type]
        file = local
    elif storage_options is not None:
        raise TypeError("storage_options apply to URLs only")
    path, name = _path(file)
    if path is not None:
        return _header(_core.read_header(path, name, _flags(verify)), name)
    return _header(_core.read_header_memory(_head_bytes(_readable(file)), name, _flags(verify)), name)


def _head_bytes(f: Readable) -> bytes:
    """The bytes of every header of a file object: the first block, the further
    blocks and a compressed file's stream header (fewer where the file ends)."""
    head = _read_bytes(f, 512)
    if len(head) < 512:
        return head
    blocks = min(max(head[6], 1), 16)
    more = 512 * (blocks - 1) + (14 if head[4] & 1 else 0)
    return head + _read_bytes(f, more) if more else head


def _storable(array: object) -> tuple[np.ndarray, int, int]:
    """The array as stored (C order, aligned, native byte order), its F0 type
    code and the code of its true dtype in the header record (0: none).

    Refuses, before any copy, what an F0 file cannot hold.  Unsigned and bool
    arrays are stored as the signed type of the same width, bits unchanged."""
    a = np.asarray(array)
    dt = a.dtype
    plain = dt.fields is None and not dt.subdtype
    code = _TYPE_CODES.get((dt.kind, dt.itemsize)) if plain else None
    true = _TRUE_CODES.get((dt.kind, dt.itemsize), 0) if plain and code is None else 0
    if true:
        code = _TYPE_CODES[("i", dt.itemsize)]
    if code is None:
        raise TypeError(f"cannot store an array of dtype {dt}: F0 files hold {_STORABLE}")
    if a.ndim > _MAX_DIMS:
        raise ValueError(f"array has {a.ndim} dimensions, at most {_MAX_DIMS} can be stored")
    for axis, n in enumerate(a.shape):
        if n > _MAX_BYTES:
            raise ValueError(f"axis {axis} has {n} elements, at most {_MAX_BYTES} can be stored")
    if a.size * dt.itemsize > _MAX_BYTES:
        raise ValueError(f"array data of {a.size * dt.itemsize} bytes, at most {_MAX_BYTES} can be stored")
    if true:
        return np.require(a, _TRUE_DTYPES[true], ["C", "A"]).view(_DTYPES[code]), code, true
    return np.require(a, _DTYPES[code], ["C", "A"]), code, 0


def _json_scalar(value: object) -> object:
    if isinstance(value, (np.bool_, np.integer, np.floating)):
        return value.item()  # NumPy scalars as the Python numbers they hold
    raise TypeError(f"{type(value).__name__} is not a JSON value")


def _metadata(metadata: object) -> bytes | None:
    """The metadata as stored: compact UTF-8 JSON, or None for no metadata section.

    Refuses what would not read back equal: keys that are not str, tuples,
    NaN and infinities (not JSON), strings that are not Unicode."""
    if metadata is None:
        return None
    if not isinstance(metadata, dict):
        raise ValueError(f"metadata must be a dict of JSON values, not {type(metadata).__name__}")
    if not metadata:
        return None
    try:
        text = json.dumps(metadata, ensure_ascii=False, allow_nan=False, separators=(",", ":"),
                          default=_json_scalar)
        data = text.encode("utf-8")
    except (TypeError, ValueError, RecursionError) as exc:
        raise ValueError(f"metadata must be a dict of JSON values: {exc}") from None
    if _nesting(data) > _MAX_NESTING:
        raise ValueError(f"metadata must be a dict of JSON values nested at most {_MAX_NESTING} deep")
    if json.loads(text) != metadata:
        raise ValueError("metadata must be a dict of JSON values: str keys, lists rather than tuples "
                         "(they would not read back equal)")
    return data


def _text(header: str | bytes) -> bytes:
    if isinstance(header, str):
        text = header.encode("utf-8", "surrogateescape")
    elif isinstance(header, (bytes, bytearray, memoryview)):
        text = bytes(header)
    else:
        raise TypeError(f"header must be str or bytes, not {type(header).__name__}")
    if len(text) > _MAX_TEXT:
        raise ValueError(f"header text is {len(text)} bytes long, at most {_MAX_TEXT} can be stored")
    if b"\0" in text:
        raise ValueError("header text must not contain a zero byte")
    return text


def _mode(compress: bool | int) -> int:
    if isinstance(compress, (bool, np.bool_)):
        return _core.COMPRESS_AUTO if compress else _core.COMPRESS_RAW
    if isinstance(compress, (int, np.integer)):
        if not 0 <= compress <= _MAX_SLICE:
            raise ValueError(f"slice {compress} out of range: 0 to {_MAX_SLICE}")
        return int(compress)
    raise TypeError(f"compress must be True, False or a slice number, not {type(compress).__name__}")


def _cores() -> int:
    """Processors this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def _threads(threads: int | None) -> int:
    """The thread count for the extension: 0 for None (one per core), more
    than the cores capped to the cores."""
    if threads is None:
        return 0
    if isinstance(threads, bool) or not isinstance(threads, (int, np.integer)) or threads < 1:
        raise ValueError(f"threads must be a positive number or None, not {threads!r}")
    return min(int(threads), _cores())


_Arguments = tuple[np.ndarray, int, tuple[int, ...], bytes, int, int, bool, int, "bytes | None", bytes]


def _as_integers(a: np.ndarray, compress: bool | int, quantize: float | None) -> tuple[np.ndarray, int, bytes]:
    """A float array as the integers that store it, the true dtype's code and
    the quantization section: quantized where asked for, exactly where its
    values are whole numbers and it is compressed; else (a, 0, b"")."""
    if a.dtype.kind != "f":
        return a, 0, b""
    if quantize is not None:
        q = _floats.quantize(a, quantize)
        if q is not None:
            return q[0], _QUANTIZED_CODES[a.dtype.itemsize], _sections.quantization(q[1])
    if compress is False:
        return a, 0, b""
    t = _floats.integer_type(a)
    if t is None:
        return a, 0, b""
    if t.itemsize == 2 and not isinstance(compress, (bool, np.bool_)) and compress > _MAX_SLICE_16:
        t = np.dtype(np.int32)  # 16-bit streams carry no wider slice; 32-bit ones do
    return a.astype(t), _WHOLE_CODES[(a.dtype.itemsize, t.itemsize)], b""


def _record_sections(meta: bytes | None, true: int, kept: bytes) -> tuple[bytes | None, bytes]:
    """Metadata above the threshold deflated into their own section; a
    ValueError, with the sizes, where they do not fit in the header."""
    if meta is None or len(meta) <= _sections.DEFLATE_ABOVE:
        return meta, kept
    section = _sections.deflated(meta)
    room = _RECORD_MAX - _RECORD_BASE - (12 if true else 0) - len(kept)
    if len(section) > room:
        head = _sections.DEFLATED_HEAD
        raise ValueError(f"metadata too large: {len(meta)} bytes, {len(section) - head} deflated, "
                         f"and at most {room - head} deflated bytes fit in the header")
    return None, kept + section


def _arguments(array: object, compress: bool | int, header: str | bytes, threads: int | None,
               checksum: bool, metadata: object, quantize: float | None = None) -> _Arguments:
    a, code, true = _storable(array)
    meta = _metadata(metadata)
    record = bool(checksum)
    if not record and true:
        raise ValueError(f"an array of dtype {_TRUE_DTYPES[true]} is stored as "
                         f"{_DTYPES[code]} with its true dtype in pyzeb's header record, "
                         "which checksum=False leaves out")
    if not record and meta is not None:
        raise ValueError("metadata are stored in pyzeb's header record, which checksum=False leaves out")
    if quantize is not None and not record:
        raise ValueError("quantized floats are restored from pyzeb's header record, which checksum=False leaves out")
    kept = b""
    if record:
        a, value_code, kept = _as_integers(a, compress, quantize)
        if value_code:
            code, true = _TYPE_CODES[("i", a.dtype.itemsize)], value_code
    meta, kept = _record_sections(meta, true, kept)
    return a, code, a.shape[::-1], _text(header), _mode(compress), _threads(threads), record, true, meta, kept


def encode(array: object, *, compress: bool | int = True, header: str | bytes = "",
           threads: int | None = None, checksum: bool = True, metadata: dict[str, Any] | None = None,
           quantize: float | None = None) -> bytes:
    """The bytes of the F0 file of `array`, as :func:`write` would store them.

    >>> data = pyzeb.encode(np.zeros((64, 64), np.int16), header="flat")
    >>> len(data) < 64 * 64 * 2
    True
    """
    return _core.encode(*_arguments(array, compress, header, threads, checksum, metadata, quantize))


def write(file: PathLike | Writable, array: object, *, compress: bool | int = True, header: str | bytes = "",
          threads: int | None = None, checksum: bool = True, metadata: dict[str, Any] | None = None,
          if_unchanged: os.stat_result | None = None, quantize: float | None = None, sync: bool = True) -> None:
    """Writes `array` as an F0 file.

    `array` is anything ``numpy.asarray`` accepts, of dtype int8, int16,
    int32, int64, float32, float64, uint8, uint16, uint32, uint64 or bool
    (any byte order and memory layout).  `compress`: True stores the smallest
    crunch stream for this array (or raw data where no stream is smaller;
    64-bit types are always raw), False stores raw data, an int stores the
    plain stream of that slice.  `header` is a text of at most 255 bytes in
    UTF-8 (or bytes).  `threads` caps the threads used for encoding (None:
    all cores, for arrays where that pays).

    `checksum` (default True) stores pyzeb's header record in the spare
    header blocks that every F0 reader skips: CRC-32C checksums of the header
    and of the data as stored, which :func:`read` verifies, the `metadata`
    (a dict of JSON values, stored as compact UTF-8 JSON; NaN and infinities
    are refused, NumPy scalars stored as numbers; above 4 kB deflated; a
    ValueError when it does not fit in the header, about 7.5 kB after
    deflating, some 25 kB of FITS keywords) and the true dtype of unsigned and
    bool arrays, which are stored as the signed type of the same width (bool
    as int8 0/1; older readers see those signed values, bits unchanged).
    ``checksum=False`` writes the classic single-block file, byte for byte
    what earlier versions wrote; it refuses metadata and unsigned or bool
    arrays, whose dtype would be lost.

    A path is written atomically: through a temporary file in the same
    directory, readable by its owner alone until it is complete, then given
    the replaced file's permissions, owner and group, flushed to disk and
    renamed over the target, so a failure leaves any earlier file untouched;
    `if_unchanged`, the ``os.stat`` of the file to be replaced, makes the
    write fail with OSError, the file untouched, when the path no longer
    holds that file (same device, inode, size and modification time) just
    before the rename.  The check and the rename happen under an exclusive
    lock on the lock file ``.NAME.lock`` beside the target (removed after),
    which every write of pyzeb, :func:`add_checksum`, ``zeb checksum`` and
    ``zeb recompress`` take: of two processes that read the same file and
    write it back with `if_unchanged`, one gets the OSError, and no update
    is lost.  A writer that takes no such lock (another program renaming
    over the file) is not excluded: its file may be replaced by a write
    that checked just before it, and so be lost.  Devices, pipes and paths such as /dev/stdout are
    written in place.  A binary file object (anything with ``.write()``)
    receives the file's bytes, all of them (see the count its write()
    returns) or an OSError.  ``sync=False``, for scratch files, renames the
    new file into place without flushing it to disk first: still whole or
    absent for every reader, much faster, but a power cut or system crash
    soon after may leave an empty or older file.

    `quantize` (a positive number q; off by default) stores a float array
    lossily as 32-bit integers: the step is the array's noise (estimated
    from its second differences along rows) divided by q, a dither drawn
    from a stored seed is added before rounding and taken off when read, so
    every value reads back within half a step (:attr:`Header.quantization_step`);
    NaN and infinities are kept.  An array whose noise cannot be told (a
    constant one) is stored exactly.  Without it, a compressed float array
    whose values are all whole numbers (no NaN, infinity or -0.0) that
    int8, int16 or int32 holds is stored exactly as the narrowest of those,
    and reads back bit for bit as the floats.  Both keep the float dtype in
    the header record; readers that do not know it see the integers.
    Metadata above 4 kB are stored deflated.

    >>> pyzeb.write("frame.f0", np.arange(12, dtype=np.uint16).reshape(3, 4), header="dark frame",
    ...             metadata={"exptime": 30.0, "filter": "R"})
    """
    args = _arguments(array, compress, header, threads, checksum, metadata, quantize)
    path, name = _path(file)
    if path is None:
        if not callable(getattr(file, "write", None)):
            raise TypeError(f"expected a path or a binary file object, not {type(file).__name__}")
        if if_unchanged is not None:
            raise TypeError("if_unchanged applies to paths only")
        _write_all(file, _core.encode(*args))  # type: ignore[arg-type]
        return
    expect = None
    if if_unchanged is not None:
        st = if_unchanged
        expect = (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)
    if path.startswith((b"/dev/", b"/proc/self/fd/")):
        # written in place through a descriptor that may be the process's own
        # standard output: what Python printed before goes out before the file
        for stream in (sys.stdout, sys.stderr):
            if stream is not None:
                stream.flush()
    # Atomic for regular files; the file layer writes devices and pipes in place.
    a, code, dims, text, mode, nthreads, record, true, meta, kept = args
    _core.write(path, name, a, code, dims, text, mode, nthreads, 1 if sync else 2, record, true, meta, expect, kept)


_ACTIONS = {_core.CHECKSUM_KEPT: "kept", _core.CHECKSUM_ADDED: "added", _core.CHECKSUM_RENEWED: "renewed",
            _core.CHECKSUM_LINKED: "linked"}


def add_checksum(file: PathLike, *, break_links: bool = False) -> Literal["kept", "added", "renewed", "linked"]:
    """Gives an existing F0 file checksums of its header and data as stored,
    without re-encoding them.

    Returns "added" for a file that had none, "renewed" for one whose data
    were changed in place (``memmap(mode="r+")``), "kept" for one whose
    checksums are present and valid (the file is not rewritten).  A
    compressed stream is decoded first, so that a damaged one is never given
    a checksum.  The file keeps its metadata, dtype, permissions and
    modification time, and is changed only if it did not change meanwhile.
    Raises :class:`FormatError`, the file untouched, for a file that is
    damaged (its checksum does not match), has extra header blocks of another
    program, bytes after its data or a header record of a newer version;
    OSError as :func:`write` does.

    A renewal rewrites only the header blocks of the record, in place and
    synced: a map of the file open meanwhile (``memmap``) stays the file's,
    and what is written through it afterwards reaches the file, but is not
    covered by the renewed checksum (reads then report the data damaged):
    close or flush the map first, or open it again with mode "r+", which
    marks the file changed once more.  Where the file must be replaced (it
    had no checksums, or its record needs more header blocks), that happens
    atomically through a temporary file, as :func:`write` replaces files: a
    map open meanwhile keeps the old file, and writes through it no longer
    reach the path.  A file with other hard links is then left alone and
    "linked" returned, since the replacement would give this name a file of
    its own (``break_links=True`` replaces it anyway); a renewal in place
    keeps the links.  The check that the file did not change and the
    replacement hold the lock that :func:`write` holds (see there).

    >>> pyzeb.add_checksum("old.f0")
    'added'
    """
    path, name = _path(file)
    if path is None:
        raise TypeError(f"add_checksum needs a path, not {type(file).__name__}")
    flags = _core.CHECKSUM_BREAK_LINKS if break_links else 0
    return _ACTIONS[_core.checksum_file(path, name, flags)]  # type: ignore[return-value]


def memmap(file: PathLike, mode: Literal["r", "r+", "c"] = "r") -> np.memmap:
    """Maps the data of a raw F0 file into memory without reading them.

    The map has the file's shape, dtype (unsigned and bool included) and the
    byte order of its data on disk.  Modes as for ``numpy.memmap``: "r"
    read-only, "r+" writes go to the file, "c" copy-on-write.  A compressed
    file raises :class:`FormatError`: read it with :func:`read`.  The header's
    checksum is verified, the data's is not (they are not read).

    With mode "r+" a file with checksums is first marked in its header record
    as changed in place (:attr:`Header.data_changed`), since its data
    checksum no longer holds once the map is written to: reads then verify
    its header only, until ``zeb checksum`` (:func:`add_checksum`) computes
    the checksum of the data as they are then.  The mark rewrites the
    record's header blocks in place and syncs them.

    The map is of the file as it is when mapped.  A renewal of its checksum
    by :func:`add_checksum` rewrites the record in place: the map stays
    valid, its writes reach the file (map again with "r+" to mark it changed
    once more).  A replacement of the path (:func:`write`, or a checksum
    that needs more header blocks) leaves the map on the old file: it no
    longer shows, nor writes to, what the path holds.

    >>> cube = pyzeb.memmap("cube.f0")
    >>> plane = np.array(cube[10])
    """
    if mode not in ("r", "r+", "c"):
        raise ValueError(f'mode must be "r", "r+" or "c", not {mode!r}')
    path, name = _path(file)
    if path is None:
        raise TypeError(f"memmap needs a path, not {type(file).__name__}")
    # One open: the headers, the size and the map all come from the same
    # file, even if the path is replaced meanwhile.
    with open(path, "r+b" if mode == "r+" else "rb") as f:
        h = _header(_core.read_header_memory(_head_bytes(f), name, 0), name)
        if h.compressed:
            raise _format_error(name, "the data are compressed and cannot be mapped; read them with pyzeb.read")
        if h.stored_dtype is not None:
            raise _format_error(name, f"the {h.dtype} values are stored as {h.stored_dtype} and cannot be "
                                "mapped; read them with pyzeb.read")
        if os.fstat(f.fileno()).st_size < h.data_offset + h.nbytes:
            raise _format_error(name, _core.status_text(_TRUNCATED))
        if mode == "r+" and h.checksum:
            _core.mark_unchecked(f.fileno(), name)
        return np.memmap(f, dtype=h.dtype.newbyteorder(h.byteorder), mode=mode, offset=h.data_offset,
                         shape=h.shape)
