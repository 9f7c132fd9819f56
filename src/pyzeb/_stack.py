"""F0 files as lazy Dask arrays: a stack of files (one chunk per file, or
several along each file's first axis), or one large file in chunks; and an
array written back as a stack of files, each by the task that computes it."""
from __future__ import annotations

import errno
import glob
import os
import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from . import _remote
from ._api import Header, PathLike, _read_expecting, _threads, read_header
from ._lazy import task_threads

if TYPE_CHECKING:
    import dask.array


def _header_of(path: str, storage_options: dict[str, Any] | None) -> Header:
    return read_header(path, storage_options=storage_options if _remote.is_url(path) else None)


def _version(path: str, storage_options: dict[str, Any] | None) -> object:
    """What tells this file's present contents from earlier ones at the same
    path: size, modification time and inode of a local file, what its file
    system says of a URL (size, ETag, modification time...)."""
    try:
        if _remote.is_url(path):
            local = _remote.local_path(path, storage_options)
            if local is None:
                return _remote.UrlRanges(path, storage_options).stamp()
            path = local
        st = os.stat(path)
    except OSError:
        return None  # its task raises when it runs, as it always did
    return st.st_size, st.st_mtime_ns, st.st_ino, st.st_dev


def _read_block(path: str, part: tuple[int, int] | None, shape: tuple[int, ...], dtype: str,
                storage_options: dict[str, Any] | None, what: str, stacked: bool,
                threads: int | None = None) -> np.ndarray:
    """Rows [lo, hi) = `part` of one file's array along its first axis (None:
    all of it), with a new first axis where the file is one of a stack.  The
    file must hold an array of this shape and dtype (else FormatError, with
    `what` they are).  A URL is read by byte ranges: its headers and the
    bytes of the part.  `threads`: the decode threads (None: one, as in
    any Dask task).  A plain module function of strings and tuples: it
    pickles, so a distributed worker runs it."""
    index = None if part is None else slice(*part)
    options = storage_options if _remote.is_url(path) else None
    a = _read_expecting(path, index, shape, np.dtype(dtype), what, task_threads(threads, True), options)
    return a[np.newaxis] if stacked else a


def _expand_glob(pattern: str, storage_options: dict[str, Any] | None) -> list[str]:
    """The files a glob pattern (*, ?, [...], ** for any depth) names, in
    sorted order; URLs are matched through fsspec's file system."""
    if _remote.is_url(pattern):
        fs, inner = _remote.fsspec().core.url_to_fs(pattern, **(storage_options or {}))
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
               storage_options: dict[str, Any] | None = None, threads: int | None = None) -> dask.array.Array:
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
    the same paths.  Paths may be fsspec URLs (``s3://...``, ``https://...``)
    when fsspec is installed, read by byte ranges (the headers, then the
    bytes of each chunk); `storage_options` go to their file system.

    `threads` caps the decode threads of each task: None (the default)
    decodes on one thread in each task, since Dask already runs tasks in
    parallel (on as many threads as cores, or a cluster's workers).

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
    if threads is not None:
        _threads(threads)
    h = _header_of(names[0], storage_options)
    return _graph(da, "pyzeb-read-stack-", names, h, step, storage_options, "the stack's files have", True,
                  threads)


def read_dask(file: PathLike, *, chunks: int | None = None,
              storage_options: dict[str, Any] | None = None, threads: int | None = None) -> dask.array.Array:
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
    URL, as for :func:`read_stack`: each task then fetches the file's
    headers and the bytes of its own rows only.  `threads` as for
    :func:`read_stack`: one decode thread per task by default.

    >>> cube = pyzeb.read_dask("cube.f0", chunks=16)  # a (20, 64, 64) cube
    >>> cube.chunks[0], cube.mean(axis=0).compute().shape
    ((16, 4), (64, 64))
    """
    da = _import_dask("read_dask")
    if not isinstance(file, (str, bytes, os.PathLike)):
        raise TypeError(f"read_dask needs a path or URL, not {type(file).__name__}")
    name = file if isinstance(file, str) else os.fsdecode(os.fspath(file))
    if threads is not None:
        _threads(threads)
    h = _header_of(name, storage_options)
    if not h.shape:
        raise ValueError(f"{name}: a 0-dimensional array has no first axis to chunk")
    if chunks is None:  # about 128 MiB a chunk, Dask's usual size
        step = max(1, (128 << 20) // max(1, h.nbytes // max(1, h.shape[0])))
    else:
        step = _rows_per_chunk(chunks)
    return _graph(da, "pyzeb-read-dask-", [name], h, step, storage_options, "when the Dask array was made it had",
                  False, threads)


def _graph(da: Any, prefix: str, names: list[str], h: Header, step: int | None,
           storage_options: dict[str, Any] | None, what: str, stacked: bool,
           threads: int | None) -> dask.array.Array:
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
             (_read_block, path, part, shape, dtype.str, storage_options, what, stacked, threads)
             for i, path in enumerate(names) for j, part in enumerate(parts)}
    chunk_spec = ((rows,) if shape else ()) + tuple((n,) for n in rest)
    if stacked:
        chunk_spec = ((1,) * len(names),) + chunk_spec
    return da.Array(graph, name, chunk_spec, dtype=dtype)  # type: ignore[no-untyped-call]


def _paths(pattern: str, lo: int, hi: int) -> list[str]:
    return [pattern.format(i) for i in range(lo, hi)]


def _write_planes(block: Any, pattern: str, lo: int, options: dict[str, Any], in_task: bool = True) -> list[str]:
    """Writes planes lo, lo + 1... of the file stack from `block` (the rows
    [lo, lo + len(block)) of the array), each to its own file, atomically;
    returns their paths.  A plain module function: a distributed worker runs
    it on the block it computed."""
    from ._api import write
    block = np.asarray(block)
    opts = dict(options)
    opts["threads"] = task_threads(opts.get("threads"), in_task)
    if opts["threads"] == 0:
        del opts["threads"]  # all cores
    paths = _paths(pattern, lo, lo + len(block))
    for path, plane in zip(paths, block):
        parent = os.path.dirname(path)
        if parent:
            os.makedirs(parent, exist_ok=True)
        write(path, plane, **opts)
    return paths


def write_stack(array: Any, pattern: str, **write_options: Any) -> list[str]:
    """Writes each plane of `array` along its first axis to a file of its
    own: plane i to ``pattern.format(i)`` (say ``"night/frame-{:04d}.f0"``;
    missing directories are made), with :func:`pyzeb.write`'s options.
    Returns the paths, in order.

    A Dask array is written without gathering it: each chunk along the
    first axis is one task that computes its planes and writes their files,
    on Dask's current scheduler (threads, or the dask.distributed cluster of
    the active client, whose workers must see the same paths).  Each file is
    written atomically, so a task that fails leaves no partial file (the
    files of the tasks that succeeded stay), and write_stack raises its
    error.  Inside a task each file is coded on one thread unless `threads`
    is given.  Other arrays (NumPy, or anything ``numpy.asarray`` takes) are
    written plane by plane here.

    >>> pyzeb.write_stack(cube, "night/frame-{:04d}.f0", metadata={"telescope": "T1"})
    ['night/frame-0000.f0', 'night/frame-0001.f0', ...]
    """
    if not isinstance(pattern, str):
        raise TypeError(f"pattern must be a format string such as 'frame-{{:04d}}.f0', not {type(pattern).__name__}")
    try:
        distinct = pattern.format(0) != pattern.format(1)
    except (IndexError, KeyError, ValueError) as exc:
        raise ValueError(f"pattern {pattern!r} must take the plane's number, as in 'frame-{{:04d}}.f0': {exc}") \
            from None
    if not distinct:
        raise ValueError(f"pattern {pattern!r} gives every plane the same path: put the plane's number in it, "
                         "as in 'frame-{:04d}.f0'")
    if "threads" in write_options and write_options["threads"] is not None:
        _threads(write_options["threads"])
    dask_array = sys.modules.get("dask.array")
    if dask_array is None or not isinstance(array, dask_array.Array):
        a = np.asarray(array)
        if a.ndim < 1:
            raise ValueError("write_stack needs an array of at least one dimension, to write along its first axis")
        return _write_planes(a, pattern, 0, write_options, False)
    if array.ndim < 1:
        raise ValueError("write_stack needs an array of at least one dimension, to write along its first axis")
    import dask
    # Whole planes in each task: the other axes in one chunk each.
    d = array.rechunk({axis: -1 for axis in range(1, array.ndim)}) if array.ndim > 1 else array
    starts = np.concatenate([[0], np.cumsum(d.chunks[0])]).astype(int)
    blocks = d.to_delayed().reshape(-1)
    write = dask.delayed(_write_planes, pure=False)
    tasks = [write(block, pattern, int(starts[i]), dict(write_options))
             for i, block in enumerate(blocks) if d.chunks[0][i]]
    return [p for paths in _compute_all(dask, tasks) for p in paths]


def _compute_all(dask: Any, tasks: list[Any]) -> tuple[Any, ...]:
    """dask.compute(*tasks) on the current scheduler, returning or raising
    only once every task has ended: a failure does not leave other tasks
    still writing their files after the call returned."""
    get = dask.base.get_scheduler(collections=tasks)
    client = getattr(get, "__self__", None)
    if type(client).__name__ == "Client" and type(client).__module__.startswith("distributed"):
        import distributed
        futures = client.compute(tasks)
        distributed.wait(futures)
        return tuple(client.gather(futures))
    if get is getattr(sys.modules.get("dask.threaded"), "get", None):
        from concurrent.futures import ThreadPoolExecutor
        workers = dask.config.get("num_workers", None) or os.cpu_count() or 1
        with ThreadPoolExecutor(workers) as pool:  # leaving it waits for the tasks it runs
            return dask.compute(*tasks, scheduler="threads", pool=pool)
    return dask.compute(*tasks)
