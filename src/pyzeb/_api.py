"""Reading and writing F0 files: whole arrays, headers only, memory maps, bytes, checksums."""
from __future__ import annotations

import errno
import io
import json
import os
import sys
from dataclasses import dataclass, field
from typing import Any, Literal, Protocol, Union

import numpy as np

from . import _core
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
_STORABLE = "int8, int16, int32, int64, uint8, uint16, uint32, uint64, bool, float32 or float64"
_MAX_BYTES = 2**31 - 1
_MAX_DIMS = 16
_MAX_TEXT = 255
_MAX_SLICE = 32
_TRUNCATED = -11  # the status of raw data that end early

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
    return _TRUE_DTYPES[info[15]] if info[15] else _DTYPES[info[0]]


def _header(info: _core.Info, name: str) -> Header:
    (_type, dims, compressed, big_endian, blocks, offset, size, ctype, slice_, text, _nbytes,
     _state, _version, checksum, unchecked, _true, metadata) = info
    meta: Any = {}
    if metadata:
        # the record passed its own check, so these are the bytes written
        try:
            meta = json.loads(metadata)
        except ValueError:
            meta = None
        if not isinstance(meta, dict):
            raise _format_error(name, "the metadata in the header record are not a JSON object")
    # Positional, in field order: a third faster than keywords, which counts
    # when listing thousands of files.
    return Header(dims[::-1], _dtype(info), text.decode("utf-8", "surrogateescape"), compressed != 0,
                  ctype, slice_, ">" if big_endian else "<", blocks, offset, size, meta, checksum != 0,
                  unchecked != 0)


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
        shape, dtype = tuple(reversed(info[1])), _dtype(info)
        if expect is not None and (shape, dtype) != expect[:2]:
            raise _format_error(name, f"holds an array of shape {shape} and dtype {dtype}, {expect[2]} "
                                f"shape {expect[0]} and dtype {expect[1]}")
        if index is None:
            out = np.empty(shape, dtype)
            reader.read_into(out, threads)
        else:
            lo, hi, take, drop = _part(index, shape)
            row = int(np.prod(shape[1:], dtype=np.int64))
            out = np.empty((() if drop else (hi - lo,)) + shape[1:], dtype)
            reader.read_into(out, threads, lo * row, (hi - lo) * row)
            if take is not None:
                out = out[take].copy()
    if out.dtype == np.bool_ and out.size and out.view(np.uint8).max() > 1:
        raise _format_error(name, "bool data hold bytes other than 0 and 1")
    return out


def read(file: PathLike | Readable, index: Index | None = None, *, verify: bool = True,
         threads: int | None = None) -> np.ndarray:
    """Reads an F0 file and returns its array, or the part `index` takes of it.

    `file` is a path (str, bytes or os.PathLike) or a binary file object
    (anything with ``.read()``, such as what ``open(..., "rb")`` or fsspec
    return).  The array has the file's dimensions in NumPy order, native byte
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
    end.  (A file object is read whole, and the part decoded.)  The data's
    checksum covers all of the data, so a part is checked against the
    header's checksum and the stream's structure only: read the whole file,
    or run ``zeb verify``, to check every byte.

    >>> a = pyzeb.read("frame.f0")
    >>> a.shape, a.dtype
    ((3, 4), dtype('int16'))
    >>> pyzeb.read("cube.f0", 10).shape  # one plane of a (20, 64, 64) cube
    (64, 64)
    """
    path, name = _path(file)
    return _read_array(_open(file, path, name, verify), name, _threads(threads), index)


def _open(file: PathLike | Readable, path: bytes | None, name: str, verify: bool) -> _core.Reader:
    if path is not None:
        return _core.open(path, name, _flags(verify))
    return _core.open_memory(_read_bytes(_readable(file)), name, _flags(verify))


def _read_expecting(file: PathLike | Readable, index: Index | None, shape: tuple[int, ...], dtype: np.dtype,
                    what: str) -> np.ndarray:
    """read(file, index), for a file that must hold an array of this shape and dtype."""
    path, name = _path(file)
    return _read_array(_open(file, path, name, True), name, 0, index, (shape, dtype, what))


def decode(buffer: bytes | bytearray | memoryview, index: Index | None = None, *, verify: bool = True,
           threads: int | None = None) -> np.ndarray:
    """Reads the array of an F0 file image held in memory (any bytes-like
    object), or the part `index` takes of it, verifying its checksums and
    using its seek index as :func:`read` does.

    >>> pyzeb.decode(pyzeb.encode(np.arange(3, dtype=np.int32)))
    array([0, 1, 2], dtype=int32)
    """
    return _read_array(_core.open_memory(buffer, "<buffer>", _flags(verify)), "<buffer>", _threads(threads), index)


def read_header(file: PathLike | Readable, *, verify: bool = True) -> Header:
    """Reads only the headers of an F0 file (its data are not read).

    For a compressed file this includes the 14-byte stream header.  A file
    object is read up to the end of its headers.  The checksum of the header
    is verified where the file has one (``verify=False``: not).

    >>> pyzeb.read_header("frame.f0").shape
    (3, 4)
    """
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


def _threads(threads: int | None) -> int:
    if threads is None:
        return 0
    if isinstance(threads, bool) or not isinstance(threads, (int, np.integer)) or threads < 1:
        raise ValueError(f"threads must be a positive number or None, not {threads!r}")
    return int(threads)


_Arguments = tuple[np.ndarray, int, tuple[int, ...], bytes, int, int, bool, int, "bytes | None"]


def _arguments(array: object, compress: bool | int, header: str | bytes, threads: int | None,
               checksum: bool, metadata: object) -> _Arguments:
    a, code, true = _storable(array)
    meta = _metadata(metadata)
    record = bool(checksum)
    if not record and true:
        raise ValueError(f"an array of dtype {_TRUE_DTYPES[true]} is stored as "
                         f"{_DTYPES[code]} with its true dtype in pyzeb's header record, "
                         "which checksum=False leaves out")
    if not record and meta is not None:
        raise ValueError("metadata are stored in pyzeb's header record, which checksum=False leaves out")
    return a, code, a.shape[::-1], _text(header), _mode(compress), _threads(threads), record, true, meta


def encode(array: object, *, compress: bool | int = True, header: str | bytes = "",
           threads: int | None = None, checksum: bool = True, metadata: dict[str, Any] | None = None) -> bytes:
    """The bytes of the F0 file of `array`, as :func:`write` would store them.

    >>> data = pyzeb.encode(np.zeros((64, 64), np.int16), header="flat")
    >>> len(data) < 64 * 64 * 2
    True
    """
    return _core.encode(*_arguments(array, compress, header, threads, checksum, metadata))


def write(file: PathLike | Writable, array: object, *, compress: bool | int = True, header: str | bytes = "",
          threads: int | None = None, checksum: bool = True, metadata: dict[str, Any] | None = None,
          if_unchanged: os.stat_result | None = None) -> None:
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
    are refused, NumPy scalars stored as numbers; a ValueError when it does
    not fit in the header, about 7.5 kB) and the true dtype of unsigned and
    bool arrays, which are stored as the signed type of the same width (bool
    as int8 0/1; older readers see those signed values, bits unchanged).
    ``checksum=False`` writes the classic single-block file, byte for byte
    what earlier versions wrote; it refuses metadata and unsigned or bool
    arrays, whose dtype would be lost.

    A path is written atomically: through a temporary file in the same
    directory, flushed to disk and renamed over the target (keeping the
    replaced file's permissions), so a failure leaves any earlier file
    untouched; `if_unchanged`, the ``os.stat`` of the file to be replaced,
    makes the write fail with OSError, the file untouched, when the path no
    longer holds that file (same device, inode, size and modification time)
    just before the rename.  Devices, pipes and paths such as /dev/stdout are
    written in place.  A binary file object (anything with ``.write()``)
    receives the file's bytes, all of them (see the count its write()
    returns) or an OSError.

    >>> pyzeb.write("frame.f0", np.arange(12, dtype=np.uint16).reshape(3, 4), header="dark frame",
    ...             metadata={"exptime": 30.0, "filter": "R"})
    """
    args = _arguments(array, compress, header, threads, checksum, metadata)
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
    a, code, dims, text, mode, nthreads, record, true, meta = args
    _core.write(path, name, a, code, dims, text, mode, nthreads, True, record, true, meta, expect)


_ACTIONS = {_core.CHECKSUM_KEPT: "kept", _core.CHECKSUM_ADDED: "added", _core.CHECKSUM_RENEWED: "renewed"}


def add_checksum(file: PathLike) -> Literal["kept", "added", "renewed"]:
    """Gives an existing F0 file checksums of its header and data as stored,
    without re-encoding them.

    Returns "added" for a file that had none, "renewed" for one whose data
    were changed in place (``memmap(mode="r+")``), "kept" for one whose
    checksums are present and valid (the file is not rewritten).  A
    compressed stream is decoded first, so that a damaged one is never given
    a checksum.  The file is rewritten atomically, keeping its metadata,
    dtype and permissions, and only if it did not change meanwhile.  Raises
    :class:`FormatError`, the file untouched, for a file that is damaged
    (its checksum does not match), has extra header blocks of another
    program, bytes after its data or a header record of a newer version;
    OSError as :func:`write` does.

    >>> pyzeb.add_checksum("old.f0")
    'added'
    """
    path, name = _path(file)
    if path is None:
        raise TypeError(f"add_checksum needs a path, not {type(file).__name__}")
    return _ACTIONS[_core.checksum_file(path, name, 0)]  # type: ignore[return-value]


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
    the checksum of the data as they are then.

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
        if os.fstat(f.fileno()).st_size < h.data_offset + h.nbytes:
            raise _format_error(name, _core.status_text(_TRUNCATED))
        if mode == "r+" and h.checksum:
            _core.mark_unchecked(f.fileno(), name)
        return np.memmap(f, dtype=h.dtype.newbyteorder(h.byteorder), mode=mode, offset=h.data_offset,
                         shape=h.shape)
