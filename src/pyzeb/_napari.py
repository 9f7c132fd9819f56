"""The napari reader of F0 files (the ``pyzeb`` plugin): a file opens as one
image layer, a folder of files (or several files opened as a stack) as one
stack, read lazily through Dask where the data are large."""
from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

from ._api import _format_error
from ._lazy import F0Array
from ._lazy import open as open_f0

# Files up to this size are read whole when opened; larger ones, and every
# stack, become Dask arrays read a chunk at a time as napari shows them.
_EAGER_BYTES = 64 << 20
_CHUNK_BYTES = 16 << 20
_SAMPLE_ROWS = 512

LayerData = tuple[Any, dict[str, Any], str]


def _is_f0(path: str) -> bool:
    return path.lower().endswith(".f0")


def _folder_files(folder: str) -> list[str]:
    return sorted(os.path.join(folder, n) for n in os.listdir(folder)
                  if _is_f0(n) and os.path.isfile(os.path.join(folder, n)))


def get_reader(path: str | Sequence[str]) -> Callable[..., list[LayerData]] | None:
    """The reader for `path` (a file, a folder holding F0 files, or a list of
    files to stack), or None where these are not F0 files."""
    paths = [path] if isinstance(path, str) else list(path)
    for p in paths:
        if os.path.isdir(p):
            if not _folder_files(p):
                return None
        elif not _is_f0(p):
            return None
    return read


def _dask() -> Any:
    try:
        import dask.array as da
    except ImportError:
        raise ImportError("pyzeb's napari reader needs dask: pip install 'pyzeb[napari]'") from None
    return da


def _lazy(a: F0Array) -> Any:
    """`a` as a Dask array in chunks of whole planes (rows of a frame) of
    about 16 MB, or read whole when it is small."""
    if a.nbytes <= _EAGER_BYTES or not a.shape:
        return np.asarray(a)
    row = max(a.nbytes // a.shape[0], 1)
    rows = max(1, min(a.shape[0], _CHUNK_BYTES // row))
    return _dask().from_array(a, chunks=(rows, *a.shape[1:]), asarray=True)


def _sample(a: F0Array) -> np.ndarray:
    """A part of `a` that shows its range of values: the middle plane of a
    cube, up to 512 rows spread over a frame."""
    if not a.size:
        return np.empty(0, a.dtype)
    if a.ndim >= 3:
        return np.asarray(a[a.shape[0] // 2])
    if a.ndim == 2 and a.shape[0] > _SAMPLE_ROWS:
        return np.asarray(a[::a.shape[0] // _SAMPLE_ROWS])
    return np.asarray(a[...])


def _contrast(sample: np.ndarray) -> tuple[float, float]:
    """Limits that clip the faintest and brightest 0.5% of the sample."""
    if sample.dtype == np.bool_:
        return 0.0, 1.0
    values = sample[np.isfinite(sample)] if sample.dtype.kind == "f" else sample
    if not values.size:
        return 0.0, 1.0
    lo, hi = (float(v) for v in np.percentile(values, [0.5, 99.5]))
    if not hi > lo:
        lo, hi = float(values.min()), float(values.max())
    return (lo, hi) if hi > lo else (lo, lo + 1.0)


def _open_all(paths: list[str]) -> list[F0Array]:
    arrays = [open_f0(p) for p in paths]
    first = arrays[0]
    for p, a in zip(paths[1:], arrays[1:]):
        if (a.shape, a.dtype) != (first.shape, first.dtype):
            raise _format_error(p, f"holds an array of shape {a.shape} and dtype {a.dtype}, where "
                                f"{paths[0]} holds shape {first.shape} and dtype {first.dtype}")
    return arrays


def _layer_name(path: str) -> str:
    return os.path.splitext(os.path.basename(os.path.normpath(path)))[0] or path


def read(path: str | Sequence[str], stack: bool = False) -> list[LayerData]:
    """The image layer of one F0 file, or one stacked layer for a folder of
    them or a list of files: header text and metadata in the layer's
    metadata, contrast limits from a sample of the data."""
    if isinstance(path, str) and not os.path.isdir(path):
        a = open_f0(path)
        meta = {"path": path, "header_text": a.header.text, "metadata": a.header.metadata}
        data = _lazy(a)
        kwargs = {"name": _layer_name(path), "metadata": meta, "contrast_limits": _contrast(_sample(a)),
                  "rgb": False}
        return [(data, kwargs, "image")]
    folders = [path] if isinstance(path, str) else list(path)
    files = [f for p in folders for f in (_folder_files(p) if os.path.isdir(p) else [p])]
    if not files:
        return []
    arrays = _open_all(files)
    da = _dask()
    chunks = [da.from_array(a, chunks=a.shape or (), asarray=True)[np.newaxis] for a in arrays]
    data = da.concatenate(chunks, axis=0)
    meta = {"paths": files, "header_text": [a.header.text for a in arrays],
            "metadata": [a.header.metadata for a in arrays]}
    sample = _sample(arrays[len(arrays) // 2])
    name = _layer_name(path) if isinstance(path, str) else _layer_name(files[0])
    kwargs = {"name": name, "metadata": meta, "contrast_limits": _contrast(sample), "rgb": False}
    return [(data, kwargs, "image")]
