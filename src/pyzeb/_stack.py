"""F0 files as lazy Dask arrays: a stack of files (one chunk per file, or
several along each file's first axis), or one large file in chunks."""
from __future__ import annotations

import errno
import glob
import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from ._api import Header, PathLike, _read_expecting, read_header

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


def _read_block(path: str, part: tuple[int, int] | None, shape: tuple[int, ...], dtype: str,
                storage_options: dict[str, Any] | None, what: str, stacked: bool) -> np.ndarray:
    """Rows [lo, hi) = `part` of one file's array along its first axis (None:
    all of it), with a new first axis where the file is one of a stack.  The
    file must hold an array of this shape and dtype (else FormatError, with
    `what` they are).  A plain module function of strings and tuples: it
    pickles, so a distributed worker runs it."""
    index = None if part is None else slice(*part)
    expect = (shape, np.dtype(dtype), what)
    if _is_url(path):
        with _open_url(path, storage_options) as f:
            a = _read_expecting(f, index, *expect)
    else:
        a = _read_expecting(path, index, *expect)
    return a[np.newaxis] if stacked else a


def _expand_glob(pattern: str, storage_options: dict[str, Any] | None) -> list[str]:
    """The files a glob pattern (*, ?, [...], ** for any depth) names, in
    sorted order; URLs are matched through fsspec's file system."""
    if _is_url(pattern):
        fs, inner = _fsspec().core.url_to_fs(pattern, **(storage_options or {}))
        found = [fs.unstrip_protocol(p) for p in fs.glob(inner)]
    else:
        found = glob.glob(pattern, recursive=True)
    if not found:
        raise FileNotFoundError(errno.ENOENT, "no files match the pattern", pattern)
    return sorted(found)


def _import_dask(what: str) -> Any:
    try:
        import dask.array as da
    except ImportError:
        raise ImportError(f"pyzeb.{what} needs dask: pip install 'pyzeb[dask]'") from None
    return da


def _rows_per_chunk(chunks: object) -> int:
    if isinstance(chunks, bool) or not isinstance(chunks, (int, np.integer)) or chunks < 1:
        raise ValueError(f"chunks must be a positive number of rows along the first axis, not {chunks!r}")
    return int(chunks)


def read_stack(paths: Sequence[PathLike] | str, *, chunks: int | None = None,
               storage_options: dict[str, Any] | None = None) -> dask.array.Array:
    """A lazy Dask array of F0 files stacked along a new first axis.

    `paths` is a sequence of paths, or one string with a glob pattern
    (``"night/*.f0"``, ``"s3://bucket/run/**/*.f0"``) that stands for the
    files it matches in sorted order (FileNotFoundError when none does).
    The result has shape ``(len(paths), *shape)``; `shape` and dtype come
    from the first file's header (of the others only their size and
    modification time are looked up now, which name the tasks, so that a
    cluster never serves a rewritten file's earlier frame).  Each file is one
    chunk, or, with `chunks`, chunks of that many rows along the file's own
    first axis (the planes of a stack of cubes, say), each read without
    reading the rest of the file (see :func:`pyzeb.read`'s `index`).  A file
    whose array differs fails when one of its chunks is computed, with
    :class:`FormatError` naming it.  Each task opens, reads and closes its
    own file, and the graph holds only plain functions and strings, so it
    runs on Dask's threads and on a dask.distributed cluster whose workers see
    the same paths.  Paths may be fsspec URLs (``s3://...``, ``file://...``)
    when fsspec is installed; `storage_options` go to ``fsspec.open``.

    >>> stack = pyzeb.read_stack("night/*.f0")  # three 64 x 64 frames
    >>> stack.shape, stack.mean(axis=0).compute().shape
    ((3, 64, 64), (64, 64))
    """
    da = _import_dask("read_stack")
    if isinstance(paths, str) and any(c in paths for c in "*?["):
        paths = _expand_glob(paths, storage_options)
    elif isinstance(paths, (str, bytes, os.PathLike)):
        raise TypeError("read_stack takes a sequence of paths or a glob pattern; for one file pass [path]")
    names = [p if isinstance(p, str) else os.fsdecode(os.fspath(p)) for p in paths]
    if not names:
        raise ValueError("read_stack needs at least one path")
    step = None if chunks is None else _rows_per_chunk(chunks)
    h = _header_of(names[0], storage_options)
    return _graph(da, "pyzeb-read-stack-", names, h, step, storage_options, "the stack's files have", True)


def read_dask(file: PathLike, *, chunks: int | None = None,
              storage_options: dict[str, Any] | None = None) -> dask.array.Array:
    """One F0 file as a lazy Dask array, in chunks of `chunks` rows along its
    first axis (None: about 128 MiB each).

    Each chunk is a task that reads only its own rows (see
    :func:`pyzeb.read`'s `index`), so a cube larger than any worker's memory
    computes on a cluster without any worker reading all of it; a compressed
    file written by pyzeb is read from its seek index, one without an index
    is decoded from its start by each task.  The graph holds only plain
    functions and strings, and its task names change when the file does.
    A file replaced by one of another shape or dtype fails with
    :class:`FormatError` when a chunk is computed.  `file` may be an fsspec
    URL, as for :func:`read_stack` (each task then reads the object whole).

    >>> cube = pyzeb.read_dask("cube.f0", chunks=16)  # a (20, 64, 64) cube
    >>> cube.chunks[0], cube.mean(axis=0).compute().shape
    ((16, 4), (64, 64))
    """
    da = _import_dask("read_dask")
    if not isinstance(file, (str, bytes, os.PathLike)):
        raise TypeError(f"read_dask needs a path or URL, not {type(file).__name__}")
    name = file if isinstance(file, str) else os.fsdecode(os.fspath(file))
    h = _header_of(name, storage_options)
    if not h.shape:
        raise ValueError(f"{name}: a 0-dimensional array has no first axis to chunk")
    if chunks is None:  # about 128 MiB a chunk, Dask's usual size
        step = max(1, (128 << 20) // max(1, h.nbytes // max(1, h.shape[0])))
    else:
        step = _rows_per_chunk(chunks)
    return _graph(da, "pyzeb-read-dask-", [name], h, step, storage_options, "when the Dask array was made it had",
                  False)


def _graph(da: Any, prefix: str, names: list[str], h: Header, step: int | None,
           storage_options: dict[str, Any] | None, what: str, stacked: bool) -> dask.array.Array:
    """The Dask array of the files `names`, each of h's shape and dtype, in
    chunks of `step` rows along each file's first axis (None: whole files)."""
    from dask.base import tokenize
    shape, dtype = h.shape, h.dtype
    rest = shape[1:]
    parts: list[tuple[int, int] | None] = [None]  # whole files
    rows = shape[:1]
    if shape and step is not None and step < shape[0]:
        parts = [(lo, min(lo + step, shape[0])) for lo in range(0, shape[0], step)]
        rows = tuple(hi - lo for lo, hi in parts)
    # The task names change with the files' contents, so that a cluster
    # holding results of an earlier graph recomputes a rewritten file.
    versions = [_version(p, storage_options) for p in names]
    name = prefix + tokenize(names, versions, shape, dtype.str, rows, storage_options)
    zeros = (0,) * len(rest)
    graph = {(name, *((i,) if stacked else ()), *((j,) if shape else ()), *zeros):
             (_read_block, path, part, shape, dtype.str, storage_options, what, stacked)
             for i, path in enumerate(names) for j, part in enumerate(parts)}
    chunk_spec = ((rows,) if shape else ()) + tuple((n,) for n in rest)
    if stacked:
        chunk_spec = ((1,) * len(names),) + chunk_spec
    return da.Array(graph, name, chunk_spec, dtype=dtype)  # type: ignore[no-untyped-call]
