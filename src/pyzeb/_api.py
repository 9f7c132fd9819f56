"""Reading and writing F0 files: whole arrays, headers only, memory maps, bytes."""
from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Literal, Protocol, Union

import numpy as np

from . import _core
from ._core import FormatError, FormatWarning

FormatError.__module__ = FormatWarning.__module__ = "pyzeb"

# NumPy dtype of each F0 type code (native byte order).
_DTYPES = tuple(np.dtype(t) for t in (np.int8, np.int16, np.int32, np.float32, np.float64, np.int64))
_TYPE_CODES = {(dt.kind, dt.itemsize): code for code, dt in enumerate(_DTYPES)}
_STORABLE = "int8, int16, int32, int64, float32 or float64"
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

    >>> h = pyzeb.read_header("frame.f0")
    >>> h.shape, h.dtype, h.compressed, h.slice
    ((3, 4), dtype('int16'), True, 0)
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

    @property
    def nbytes(self) -> int:
        """Bytes of the array in memory."""
        return int(np.prod(self.shape, dtype=np.int64)) * self.dtype.itemsize


def _format_error(name: str, cause: str) -> FormatError:
    err = FormatError(f"{name}: {cause}")
    err.filename = name
    return err


def _header(info: _core.Info) -> Header:
    type_code, dims, compressed, big_endian, blocks, offset, size, ctype, slice_, text, _nbytes = info
    # Positional, in field order: a third faster than keywords, which counts
    # when listing thousands of files.
    return Header(dims[::-1], _DTYPES[type_code], text.decode("utf-8", "surrogateescape"), compressed != 0,
                  ctype, slice_, ">" if big_endian else "<", blocks, offset, size)


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


def _read_bytes(file: Readable, size: int = -1) -> bytes:
    data = file.read(size)
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"file object returned {type(data).__name__}, not bytes: open it in binary mode")
    return data


def _read_array(reader: _core.Reader) -> np.ndarray:
    with reader:
        type_code, dims = reader.info[:2]
        out = np.empty(tuple(reversed(dims)), _DTYPES[type_code])
        reader.read_into(out)
    return out


def read(file: PathLike | Readable) -> np.ndarray:
    """Reads a whole F0 file and returns its array.

    `file` is a path (str, bytes or os.PathLike) or a binary file object
    (anything with ``.read()``, such as what ``open(..., "rb")`` or fsspec
    return).  The array has the file's dimensions in NumPy order, native byte
    order, and owns its memory.  Raises OSError (with errno and filename) when
    the file cannot be opened or read, and :class:`FormatError` when it is
    not an F0 file or cannot be read completely and exactly.

    >>> a = pyzeb.read("frame.f0")
    >>> a.shape, a.dtype
    ((3, 4), dtype('int16'))
    """
    path, name = _path(file)
    if path is not None:
        return _read_array(_core.open(path, name))
    return _read_array(_core.open_memory(_read_bytes(_readable(file)), name))


def decode(buffer: bytes | bytearray | memoryview) -> np.ndarray:
    """Reads the array of a whole F0 file image held in memory (any bytes-like object).

    >>> pyzeb.decode(pyzeb.encode(np.arange(3, dtype=np.int32)))
    array([0, 1, 2], dtype=int32)
    """
    return _read_array(_core.open_memory(buffer, "<buffer>"))


def read_header(file: PathLike | Readable) -> Header:
    """Reads only the headers of an F0 file (its data are not read).

    For a compressed file this includes the 14-byte stream header.  A file
    object is read up to the end of its headers.

    >>> pyzeb.read_header("frame.f0").shape
    (3, 4)
    """
    path, name = _path(file)
    if path is not None:
        return _header(_core.read_header(path, name))
    f = _readable(file)
    head = _read_bytes(f, 512)
    more = 0
    if len(head) == 512:
        blocks = min(max(head[6], 1), 16)
        more = 512 * (blocks - 1) + (14 if head[4] & 1 else 0)
    if more:
        head = bytes(head) + _read_bytes(f, more)
    return _header(_core.read_header_memory(head, name))


def _storable(array: object) -> tuple[np.ndarray, int]:
    """The array as stored (C order, aligned, native byte order) and its F0 type code.

    Refuses, before any copy, what an F0 file cannot hold."""
    a = np.asarray(array)
    dt = a.dtype
    code = _TYPE_CODES.get((dt.kind, dt.itemsize)) if dt.fields is None and not dt.subdtype else None
    if code is None:
        raise TypeError(f"cannot store an array of dtype {dt}: F0 files hold {_STORABLE}")
    if a.ndim > _MAX_DIMS:
        raise ValueError(f"array has {a.ndim} dimensions, at most {_MAX_DIMS} can be stored")
    for axis, n in enumerate(a.shape):
        if n > _MAX_BYTES:
            raise ValueError(f"axis {axis} has {n} elements, at most {_MAX_BYTES} can be stored")
    if a.size * dt.itemsize > _MAX_BYTES:
        raise ValueError(f"array data of {a.size * dt.itemsize} bytes, at most {_MAX_BYTES} can be stored")
    return np.require(a, _DTYPES[code], ["C", "A"]), code


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


def _arguments(array: object, compress: bool | int, header: str | bytes,
               threads: int | None) -> tuple[np.ndarray, int, tuple[int, ...], bytes, int, int]:
    a, code = _storable(array)
    return a, code, a.shape[::-1], _text(header), _mode(compress), _threads(threads)


def encode(array: object, *, compress: bool | int = True, header: str | bytes = "",
           threads: int | None = None) -> bytes:
    """The bytes of the F0 file of `array`, as :func:`write` would store them.

    >>> data = pyzeb.encode(np.zeros((64, 64), np.int16), header="flat")
    >>> len(data) < 64 * 64 * 2
    True
    """
    a, code, dims, text, mode, nthreads = _arguments(array, compress, header, threads)
    return _core.encode(a, code, dims, text, mode, nthreads)


def write(file: PathLike | Writable, array: object, *, compress: bool | int = True, header: str | bytes = "",
          threads: int | None = None) -> None:
    """Writes `array` as an F0 file.

    `array` is anything ``numpy.asarray`` accepts, of dtype int8, int16,
    int32, int64, float32 or float64 (any byte order and memory layout).
    `compress`: True stores the smallest crunch stream for this array (or raw
    data where no stream is smaller; 64-bit types are always raw), False
    stores raw data, an int stores the plain stream of that slice.  `header`
    is a text of at most 255 bytes in UTF-8 (or bytes).  `threads` caps the
    threads used for encoding (None: all cores, for arrays where that pays).

    A path is written atomically: through a temporary file in the same
    directory, flushed to disk and renamed over the target, so a failure
    leaves any earlier file untouched.  A binary file object (anything with
    ``.write()``) receives the file's bytes.

    >>> pyzeb.write("frame.f0", np.arange(12, dtype=np.int16).reshape(3, 4), header="dark frame")
    """
    a, code, dims, text, mode, nthreads = _arguments(array, compress, header, threads)
    path, name = _path(file)
    if path is None:
        if not callable(getattr(file, "write", None)):
            raise TypeError(f"expected a path or a binary file object, not {type(file).__name__}")
        file.write(_core.encode(a, code, dims, text, mode, nthreads))  # type: ignore[union-attr]
        return
    # Atomic for regular files; the file layer writes devices and pipes in place.
    _core.write(path, name, a, code, dims, text, mode, nthreads, True)


def memmap(file: PathLike, mode: Literal["r", "r+", "c"] = "r") -> np.memmap:
    """Maps the data of a raw F0 file into memory without reading them.

    The map has the file's shape and the byte order of its data on disk.
    Modes as for ``numpy.memmap``: "r" read-only, "r+" writes go to the file,
    "c" copy-on-write.  A compressed file raises :class:`FormatError`: read it
    with :func:`read`.

    >>> cube = pyzeb.memmap("cube.f0")
    >>> plane = np.array(cube[10])
    """
    if mode not in ("r", "r+", "c"):
        raise ValueError(f'mode must be "r", "r+" or "c", not {mode!r}')
    path, name = _path(file)
    if path is None:
        raise TypeError(f"memmap needs a path, not {type(file).__name__}")
    h = read_header(path)
    if h.compressed:
        raise _format_error(name, "the data are compressed and cannot be mapped; read them with pyzeb.read")
    if os.stat(path).st_size < h.data_offset + h.nbytes:
        raise _format_error(name, _core.status_text(_TRUNCATED))
    return np.memmap(path, dtype=h.dtype.newbyteorder(h.byteorder), mode=mode, offset=h.data_offset,
                     shape=h.shape)
