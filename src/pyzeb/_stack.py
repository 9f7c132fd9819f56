"""Stacks of F0 files as one lazy Dask array, one chunk per file."""
from __future__ import annotations

import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from ._api import Header, PathLike, read, read_header
from ._core import FormatError

if TYPE_CHECKING:
    import dask.array


def _is_url(path: str) -> bool:
    return "://" in path or "::" in path


def _fsspec() -> Any:
    try:
        import fsspec
    except ImportError:
        raise ImportError("reading URLs needs fsspec: pip install 'pyzeb[dask]'") from None
    return fsspec


def _open_url(path: str, storage_options: dict[str, Any] | None) -> Any:
    return _fsspec().open(path, "rb", **(storage_options or {}))


def _header_of(path: str, storage_options: dict[str, Any] | None) -> Header:
    if _is_url(path):
        with _open_url(path, storage_options) as f:
            return read_header(f)
    return read_header(path)


def _version(path: str, storage_options: dict[str, Any] | None) -> object:
    """What tells this file's present contents from earlier ones at the same
    path: size, modification time and inode of a local file, fsspec's key
    (built from what its file system knows: size, time, ETag...) for a URL."""
    try:
        if _is_url(path):
            fs, inner = _fsspec().core.url_to_fs(path, **(storage_options or {}))
            return fs.ukey(inner)
        st = os.stat(path)
    except OSError:
        return None  # its task raises when it runs, as it always did
    return st.st_size, st.st_mtime_ns, st.st_ino, st.st_dev


def _read_block(path: str, shape: tuple[int, ...], dtype: str,
                storage_options: dict[str, Any] | None) -> np.ndarray:
    """One file as a block of the stack (shape (1, *shape)).  A plain module
    function of strings and tuples: it pickles, so a distributed worker runs it."""
    if _is_url(path):
        with _open_url(path, storage_options) as f:
            a = read(f)
    else:
        a = read(path)
    if a.shape != shape or a.dtype != np.dtype(dtype):
        err = FormatError(f"{path}: holds an array of shape {a.shape} and dtype {a.dtype}, "
                          f"the stack's files have shape {shape} and dtype {np.dtype(dtype)}")
        err.filename = path
        raise err
    return a[np.newaxis]


def read_stack(paths: Sequence[PathLike], *, storage_options: dict[str, Any] | None = None) -> dask.array.Array:
    """A lazy Dask array of F0 files stacked along a new first axis.

    The result has shape ``(len(paths), *shape)`` and one chunk per file;
    `shape` and dtype come from the first file's header (of the others only
    their size and modification time are looked up now, which name the tasks,
    so that a cluster never serves a rewritten file's earlier frame).  A file whose array differs fails when its chunk is computed, with
    :class:`FormatError` naming it.  Each task opens, reads and closes its own
    file, and the graph holds only plain functions and strings, so it runs on
    Dask's threads and on a dask.distributed cluster whose workers see the
    same paths.  Paths may be fsspec URLs (``s3://...``, ``file://...``) when
    fsspec is installed; `storage_options` go to ``fsspec.open``.

    >>> stack = pyzeb.read_stack(sorted(glob.glob("night/*.f0")))
    >>> stack.mean(axis=0).compute()
    """
    try:
        import dask.array as da
        from dask.base import tokenize
    except ImportError:
        raise ImportError("pyzeb.read_stack needs dask: pip install 'pyzeb[dask]'") from None
    if isinstance(paths, (str, bytes, os.PathLike)):
        raise TypeError("read_stack takes a sequence of paths; for one file pass [path]")
    names = [p if isinstance(p, str) else os.fsdecode(os.fspath(p)) for p in paths]
    if not names:
        raise ValueError("read_stack needs at least one path")
    h = _header_of(names[0], storage_options)
    shape, dtype = h.shape, h.dtype
    # The task names change with the files' contents, so that a cluster
    # holding results of an earlier graph recomputes a rewritten file.
    versions = [_version(p, storage_options) for p in names]
    name = "pyzeb-read-stack-" + tokenize(names, versions, shape, dtype.str, storage_options)
    zeros = (0,) * len(shape)
    graph = {(name, i, *zeros): (_read_block, path, shape, dtype.str, storage_options)
             for i, path in enumerate(names)}
    chunks = ((1,) * len(names),) + tuple((n,) for n in shape)
    return da.Array(graph, name, chunks, dtype=dtype)  # type: ignore[no-untyped-call]
