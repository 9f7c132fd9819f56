"""pyzeb.open: an F0 file as a read-only array object whose indexing reads
only the rows along the first axis that an index needs."""
from __future__ import annotations

import os
import threading
import zlib
from typing import Any

import numpy as np

from . import _core, _remote
from ._api import (Header, PathLike, Readable, _elements, _flags, _format_error, _header, _path, _read_array,
                   _read_bytes, _readable, _threads)

# A step along the first axis that passes over at least this many bytes
# between the rows it takes reads those rows one by one, not the run
# between the first and the last.
_GAP_BYTES = 1 << 20


def task_threads(threads: int | None, in_task: bool | None = None) -> int:
    """The decode threads of a read: `threads`, or for None one thread in
    a task (`in_task`; None: any thread but the main one, such as Dask's
    threads, a dask.distributed worker's or a thread pool's, which already
    run reads in parallel) and all cores (0) on the main thread."""
    if threads is not None:
        return _threads(threads)
    if in_task is None:
        in_task = threading.current_thread() is not threading.main_thread()
    return 1 if in_task else 0


def _replaced(name: str) -> _core.FormatError:
    return _format_error(name, "the file was replaced or changed since it was opened")


class _Local:
    """A file on the local file system, opened again for each read and
    checked against what it was when the array was made."""

    def __init__(self, path: bytes, name: str, flags: int) -> None:
        # absolute: a worker of a cluster, or this process after a chdir, opens the same file
        self.path, self.name = os.path.abspath(path), name
        self.info = _core.read_header(path, name, flags)
        self.identity = self._identity()

    def _identity(self) -> tuple[int, ...]:
        st = os.stat(self.path)
        return st.st_size, st.st_mtime_ns, st.st_ino, st.st_dev

    def rows(self, index: object, threads: int, flags: int) -> np.ndarray:
        reader = _core.open(self.path, self.name, flags)
        if reader.info != self.info:
            reader.close()
            raise _replaced(self.name)
        try:
            out = _read_array(reader, self.name, threads, index)
        except _core.FormatError as exc:
            if not self._same():
                raise _replaced(self.name) from exc  # the cause of the damage the read found
            raise
        # Checked after the read: a file replaced before the read above
        # opened it shows here, so no other file's values are handed out.
        if not self._same():
            raise _replaced(self.name)
        return out

    def _same(self) -> bool:
        try:
            return self._identity() == self.identity
        except OSError:
            return False

    def __getstate__(self) -> dict[str, Any]:
        return {"path": self.path, "name": self.name, "info": self.info, "identity": self.identity}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)


class _Ranged:
    """A URL or a seekable file object, read by byte ranges: its headers
    once, when the array is made, then for each read the bytes of the rows
    it needs, and afterwards what tells whether the file is still the one
    opened: its header blocks again where they hold checksums (the data's
    among them), else its stamp (size, ETag, modification time: a web
    server's are in whole seconds)."""

    def __init__(self, ranges: _remote.Ranges, flags: int) -> None:
        self.ranges, self.name = ranges, ranges.name
        self.heads = _remote.head(ranges)
        self.info = _core.read_header_memory(self.heads, self.name, flags)
        self.checked = bool(self.info[13]) and not self.info[14]
        self.identity = zlib.crc32(self.heads) if self.checked else ranges.stamp()

    def _same(self) -> bool:
        if self.checked:
            blocks = self.info[5]  # the data's offset: the header blocks end there
            return self.ranges.fetch(0, blocks) == self.heads[:blocks]
        return self.ranges.stamp() == self.identity

    def rows(self, index: object, threads: int, flags: int) -> np.ndarray:
        try:
            reader = _remote.open_reader(self.ranges, flags, _elements(index, self.name), self.heads)
            if reader.info != self.info:
                reader.close()
                raise _replaced(self.name)
            out = _read_array(reader, self.name, threads, index)
        except (_core.FormatError, OSError) as exc:
            if not self._same():
                raise _replaced(self.name) from exc
            raise
        if not self._same():
            raise _replaced(self.name)
        return out


def _key(key: object, ndim: int) -> list[object]:
    """The index as a list of ints, slices and Nones with one entry per
    axis (Nones aside), as NumPy's basic indexing reads it."""
    items = list(key) if isinstance(key, tuple) else [key]
    ellipses = sum(k is Ellipsis for k in items)
    if ellipses > 1:
        raise IndexError("an index can only have a single ellipsis ('...')")
    out: list[object] = []
    for k in items:
        if k is None or k is Ellipsis or isinstance(k, slice):
            out.append(k)
        elif isinstance(k, (int, np.integer)) and not isinstance(k, (bool, np.bool_)):
            out.append(int(k))
        else:
            raise IndexError(f"only integers, slices, Ellipsis and None index an F0Array, not "
                             f"{type(k).__name__} (read the array with np.asarray for other indexes)")
    real = sum(k is not None and k is not Ellipsis for k in out)
    if real > ndim:
        raise IndexError(f"too many indices for array: array is {ndim}-dimensional, but {real} were indexed")
    fill = [slice(None)] * (ndim - real)
    if ellipses:
        at = next(i for i, k in enumerate(out) if k is Ellipsis)
        return out[:at] + fill + out[at + 1:]
    return out + fill


class F0Array:
    """An F0 file as a read-only array: the headers are read when it is
    made, the data only where it is indexed.

    Made by :func:`pyzeb.open`.  It has ``shape``, ``dtype``, ``ndim``,
    ``size``, ``nbytes``, ``len()`` and ``header`` (the :class:`Header`);
    ``a[index]`` takes any NumPy basic index (ints, slices with any step,
    ``...``, ``None``, a tuple of them over any axes) and returns what NumPy
    would return for the whole array, reading only the rows along the first
    axis that the index needs (see :func:`pyzeb.read`'s `index`);
    ``np.asarray(a)`` reads all of it, its checksum verified.  Each read
    opens the file again, so an F0Array holds no open file, is safe to use
    from several threads and pickles (with what the file was when it was
    opened: a read of a file replaced or changed since then raises
    :class:`FormatError`, never gives that file's values).  This is the
    object that ``dask.array.from_array``, xarray and napari take.
    """

    __slots__ = ("_source", "_name", "_flags", "_threads", "_header")

    def __init__(self, source: Any, name: str, flags: int, threads: int | None) -> None:
        self._source, self._name, self._flags, self._threads = source, name, flags, threads
        self._header = _header(source.info, name)

    # -- what it is --------------------------------------------------------
    @property
    def header(self) -> Header:
        """The file's headers (:func:`pyzeb.read_header`)."""
        return self._header

    @property
    def shape(self) -> tuple[int, ...]:
        return self._header.shape

    @property
    def dtype(self) -> np.dtype:
        return self._header.dtype

    @property
    def ndim(self) -> int:
        return len(self._header.shape)

    @property
    def size(self) -> int:
        return int(np.prod(self._header.shape, dtype=np.int64))

    @property
    def nbytes(self) -> int:
        return self._header.nbytes

    def __len__(self) -> int:
        if not self.shape:
            raise TypeError("len() of unsized object")
        return self.shape[0]

    def __repr__(self) -> str:
        return f"<pyzeb.F0Array {self._name!r} shape={self.shape} dtype={self.dtype}>"

    # -- reading -----------------------------------------------------------
    def _rows(self, index: object) -> np.ndarray:
        """read(file, index) of the file as it was opened."""
        return self._source.rows(index, task_threads(self._threads), self._flags)

    def __getitem__(self, key: object) -> Any:
        items = _key(key, self.ndim)
        if not self.shape:
            return self._rows(None)[tuple(items)]
        p = next(i for i, k in enumerate(items) if k is not None)
        first, n = items[p], self.shape[0]
        if isinstance(first, int):
            i = first + n if first < 0 else first
            if not 0 <= i < n:
                raise IndexError(f"index {first} is out of bounds for axis 0 with size {n}")
            block, items[p] = self._rows(slice(i, i + 1)), 0
        else:
            r = range(n)[first]  # type: ignore[index]
            row = self.nbytes // n if n else 0
            if len(r) > 1 and (abs(r.step) - 1) * row >= _GAP_BYTES:
                # far apart: each row on its own, in the order taken
                block = np.stack([self._rows(slice(j, j + 1))[0] for j in r])
                items[p] = slice(None)
            elif not r:
                block, items[p] = self._rows(slice(0, 0)), slice(None)
            else:
                lo, hi = min(r[0], r[-1]), max(r[0], r[-1]) + 1
                block = self._rows(slice(lo, hi))
                items[p] = slice(None, None, r.step)
        out = block[tuple(items)]
        if isinstance(out, np.ndarray) and out.base is not None and out.nbytes < block.nbytes:
            out = out.copy()  # free the rows it does not take
        return out

    def __array__(self, dtype: Any = None, copy: bool | None = None) -> np.ndarray:
        if copy is False:
            raise ValueError("an F0Array is read from its file: it cannot be made an array without a copy")
        a = self._rows(None)
        return a if dtype is None else a.astype(dtype, copy=False)

    # -- pickling and Dask's names -------------------------------------------
    def __getstate__(self) -> tuple[Any, ...]:
        return self._source, self._name, self._flags, self._threads

    def __setstate__(self, state: tuple[Any, ...]) -> None:
        F0Array.__init__(self, *state)

    def __dask_tokenize__(self) -> object:
        src = self._source
        return ("pyzeb.F0Array", self._name, getattr(src, "identity", id(src)), src.info, self._flags)


def open(file: PathLike | Readable, *, verify: bool = True, storage_options: dict[str, Any] | None = None,
         threads: int | None = None) -> F0Array:
    """Opens an F0 file as a read-only lazy array (:class:`F0Array`): its
    headers are read now (and verified, ``verify=False``: not), its data
    where it is indexed.

    `file` is a path, a URL that fsspec opens (``s3://...``,
    ``https://...``, ``memory://...``, with `storage_options` for its file
    system) or a seekable binary file object.  A URL or file object is read
    by byte ranges: its headers now, then for each index only the bytes of
    the rows it needs; after each read its header blocks (which hold the
    checksum of its data, where it has one) or else its size and stamp
    (ETag, modification time) are fetched again, so that a file replaced
    meanwhile raises :class:`FormatError`.  An array over a file object
    does not pickle.

    `threads` caps the decode threads of each read: None (the default)
    decodes on all cores on the main thread and on one thread in any other
    (Dask's threads for ``dask.array.from_array``, a dask.distributed
    worker's, a thread pool's), where reads already run in parallel.

    >>> a = pyzeb.open("cube.f0")
    >>> a.shape, a.dtype
    ((100, 512, 512), dtype('int16'))
    >>> a[10, 100:200, ::4].shape  # reads plane 10 only
    (100, 128)
    """
    if threads is not None:
        _threads(threads)
    flags = _flags(verify)
    source: Any
    if _remote.is_url(file):
        local = _remote.local_path(file, storage_options)  # type: ignore[arg-type]
        if local is None:
            source = _Ranged(_remote.UrlRanges(file, storage_options), flags)  # type: ignore[arg-type]
            return F0Array(source, source.name, flags, threads)
        file = local
    elif storage_options is not None:
        raise TypeError("storage_options apply to URLs only")
    path, name = _path(file)
    if path is not None:
        source = _Local(path, name, flags)
    else:
        if not callable(getattr(_readable(file), "seek", None)) or not _remote.seekable(file):
            raise TypeError("pyzeb.open needs a seekable file object (or a path or URL)")
        source = _Ranged(_remote.FileRanges(file, name, _read_bytes), flags)
    return F0Array(source, name, flags, threads)
