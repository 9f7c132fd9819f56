"""Files read by byte ranges: fsspec URLs (object stores, web servers,
memory) and seekable file objects.  The headers come first, then only the
bytes the part being read needs (from the seek index of a compressed file)."""
from __future__ import annotations

import errno
import os
import re
import threading
from collections.abc import Callable
from typing import Any

from . import _core

# Every header block a file can have, and a compressed file's stream header.
HEAD_BYTES = 16 * 512 + 14

_URL = re.compile(r"[A-Za-z][A-Za-z0-9+.-]+(://|::)")


def is_url(file: object) -> bool:
    """True for a str that names a file through fsspec (``s3://...``,
    ``simplecache::https://...``); bytes and os.PathLike are local paths."""
    return isinstance(file, str) and _URL.match(file) is not None


def fsspec() -> Any:
    try:
        import fsspec
    except ImportError:
        raise ImportError("reading URLs needs fsspec: pip install 'pyzeb[remote]'") from None
    return fsspec


def local_path(url: str, storage_options: dict[str, Any] | None) -> str | None:
    """The local path a URL names (``file://...``), read as any path, else None."""
    if not url.startswith("file://"):
        return None
    fs, path = fsspec().core.url_to_fs(url, **(storage_options or {}))
    return path if type(fs).__name__ == "LocalFileSystem" else None


# What in fsspec's info of a file tells its present contents from earlier
# ones at the same place (size aside).
_STAMP_KEYS = ("ETag", "etag", "Last-Modified", "LastModified", "last_modified", "mtime", "created", "updated",
               "VersionId", "generation", "md5Hash", "Content-MD5", "ino")


def _stamp(info: dict[str, Any]) -> tuple[Any, ...]:
    return (info.get("size"),) + tuple(str(info[k]) for k in _STAMP_KEYS if info.get(k) is not None)


class Ranges:
    """A file read by byte ranges: `name`, `size`, fetch() and stamp()."""

    name: str

    @property
    def size(self) -> int:
        raise NotImplementedError

    def fetch(self, start: int, end: int) -> bytes:
        """Bytes [start, end) of the file (fewer only where it ends first)."""
        raise NotImplementedError

    def stamp(self) -> object:
        """What tells the file's present contents from earlier ones."""
        raise NotImplementedError


class UrlRanges(Ranges):
    """A file that fsspec reaches by a URL, each range one request
    (``cat_file`` with start and end: no read-ahead cache fetches more)."""

    def __init__(self, url: str, storage_options: dict[str, Any] | None) -> None:
        self.name, self.options = url, storage_options
        self._fs: Any = None
        self._size: int | None = None

    def _connect(self) -> tuple[Any, str]:
        if self._fs is None:
            self._fs, self._path = fsspec().core.url_to_fs(self.name, **(self.options or {}))
        return self._fs, self._path

    def _info(self) -> dict[str, Any]:
        fs, path = self._connect()
        try:
            fs.invalidate_cache(path)
        except (AttributeError, NotImplementedError):
            pass
        info = fs.info(path)
        if info.get("type") == "directory":
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), self.name)
        return info

    @property
    def size(self) -> int:
        if self._size is None:
            size = self._info().get("size")
            if not isinstance(size, int) or size < 0:
                raise OSError(errno.EIO, f"{self.name}: the server does not say the file's size")
            self._size = size
        return self._size

    def fetch(self, start: int, end: int) -> bytes:
        if end <= start:
            return b""
        fs, path = self._connect()
        data = fs.cat_file(path, start=start, end=end)
        want = end - start
        if len(data) > want:
            # a server that ignored the range and sent the whole file
            if self._size is not None and len(data) != self._size:
                raise OSError(errno.EIO, f"{self.name}: asked for {want} bytes at {start}, "
                                         f"the server sent {len(data)}")
            data = data[start:end]
        if len(data) < want and (self._size is None or start + len(data) < min(end, self._size)):
            if self._size is not None:
                raise OSError(errno.EIO, f"{self.name}: asked for {want} bytes at {start}, "
                                         f"the server sent {len(data)}")
        return bytes(data)

    def stamp(self) -> object:
        return _stamp(self._info())

    def __getstate__(self) -> dict[str, Any]:
        return {"name": self.name, "options": self.options, "_fs": None, "_size": self._size}


class FileRanges(Ranges):
    """A seekable binary file object, the file taken to begin where it was
    positioned; reads of it from several threads take turns."""

    def __init__(self, file: Any, name: str, read_bytes: Callable[[Any, int], bytes]) -> None:
        self.file, self.name, self.read_bytes = file, name, read_bytes
        self.base = file.tell()
        try:
            end = file.seek(0, os.SEEK_END)
            end = end if isinstance(end, int) else file.tell()
        except BaseException:
            file.seek(self.base)  # as it was, for a read from where it stands
            raise
        self._size = max(0, end - self.base)
        self.lock = threading.Lock()

    @property
    def size(self) -> int:
        return self._size

    def fetch(self, start: int, end: int) -> bytes:
        if end <= start:
            return b""
        with self.lock:
            self.file.seek(self.base + start)
            return self.read_bytes(self.file, end - start)

    def stamp(self) -> object:
        try:
            st = os.fstat(self.file.fileno())
            return st.st_size, st.st_mtime_ns, st.st_ino, st.st_dev
        except (AttributeError, OSError, ValueError):  # no descriptor behind it
            return None

    def __getstate__(self) -> dict[str, Any]:
        raise TypeError(f"cannot pickle an F0 file read from a {type(self.file).__name__} object; "
                        "open it by path or URL to send it to other processes")


def seekable(file: object) -> bool:
    try:
        check = getattr(file, "seekable", None)
        return bool(check()) if callable(check) else callable(getattr(file, "seek", None))
    except (OSError, ValueError):
        return False


def head(r: Ranges) -> bytes:
    """The bytes of every header of the file (fewer where it ends)."""
    return r.fetch(0, min(r.size, HEAD_BYTES))


def read_header(r: Ranges, flags: int) -> _core.Info:
    # A URL's headers need no size first: a short answer is a short file.
    data = r.fetch(0, HEAD_BYTES) if isinstance(r, UrlRanges) and r._size is None else head(r)
    return _core.read_header_memory(data, r.name, flags)


def open_reader(r: Ranges, flags: int, rows: Callable[[_core.Info], tuple[int, int]] | None = None,
                heads: bytes | None = None) -> _core.Reader:
    """A reader of the file over the bytes a read needs: the headers
    (`heads`, where they were fetched already), then for rows None all the
    rest, else the bytes of elements [first, first + count) that rows(info)
    gives (read them with read_into(buffer, threads, first, count))."""
    size = r.size
    heads = head(r) if heads is None else heads
    if rows is None:
        return _core.open_span(heads, r.fetch(len(heads), size), len(heads), size, r.name, flags)
    with _core.open_span(heads, b"", 0, size, r.name, flags) as probe:
        at, length = probe.extent(*rows(probe.info))
    start, end = max(at, len(heads)), min(at + length, size)
    return _core.open_span(heads, r.fetch(start, end), start, size, r.name, flags)
