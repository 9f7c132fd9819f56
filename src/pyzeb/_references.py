"""Virtual Zarr references: F0 files shown to Zarr as one array, read in place.

The references are a kerchunk-style JSON object (version 1) holding Zarr
format 2 metadata and, for each file, one chunk that is the whole file:
``[url, 0, size]``.  The chunks are decoded by the ``pyzeb.crunch`` codec
configured with the files' dtype, which reads any F0 file of that dtype.
"""
from __future__ import annotations

import json
import os
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np

from . import _remote
from ._api import Header, _format_error, read_header

_VERSION = 1
_FETCHERS = 16  # headers of remote files fetched at once


def default_dims(ndim: int) -> list[str]:
    """Dimension names for an array of `ndim` axes: ``x``; ``y, x``;
    ``z, y, x``; beyond three ``dim_0, dim_1, ...``."""
    if ndim <= 3:
        return ["z", "y", "x"][3 - ndim:]
    return [f"dim_{i}" for i in range(ndim)]


def _check_dims(dims: Sequence[str] | None, ndim: int, default: list[str]) -> list[str]:
    if dims is None:
        return default
    if isinstance(dims, str) or not all(isinstance(d, str) for d in dims):
        raise TypeError("dims must be a sequence of str, one name for each axis")
    names = list(dims)
    if len(names) != ndim or len(set(names)) != ndim:
        raise ValueError(f"dims must name each of the {ndim} axes once, not {names}")
    return names


def _describe(path: str, storage_options: dict[str, Any] | None) -> tuple[str, Header, int]:
    """The chunk's URL, the headers and the size in bytes of one file."""
    if _remote.is_url(path):
        local = _remote.local_path(path, storage_options)
        if local is None:
            header = read_header(path, storage_options=storage_options)
            return path, header, _remote.UrlRanges(path, storage_options).size
        path = local
    elif storage_options is not None:
        raise TypeError("storage_options apply to URLs only")
    header = read_header(path)
    return os.path.abspath(path), header, os.stat(path).st_size


def _protocol(url: str) -> str | None:
    """The file system of a chunk's URL (None: the local one)."""
    for sep in ("::", "://"):
        if sep in url:
            return url.split(sep, 1)[0]
    return None


def _attrs(header: Header) -> dict[str, Any]:
    return {"header_text": header.text, **header.metadata}


def references(paths: str | os.PathLike[str] | Sequence[str | os.PathLike[str]], *, name: str = "data",
               dims: Sequence[str] | None = None,
               storage_options: dict[str, Any] | None = None) -> dict[str, Any]:
    """Kerchunk-style references (version 1, Zarr format 2) that show F0
    files to Zarr as one array, read in place.

    `paths` is one path or fsspec URL (the array is that file's) or a
    sequence of them, all of the same shape and dtype (the array has a
    leading axis of files, named ``file``).  Each file is one chunk, read
    whole from where it lies and decoded by the ``pyzeb.crunch`` codec
    (pyzeb must be installed where the references are opened); only the
    headers are read here.  The array is named `name` in a group, with
    `dims` as its dimension names for xarray (default ``y, x``, ``z, y, x``
    or ``dim_0...``, after ``file``) and the files' header texts and
    metadata as its attributes (for a stack: ``header_text``, a list, and
    ``metadata``, a list of dicts, one each a file).

    Raises :class:`FormatError` naming the first file whose shape or dtype
    differs from the first file's, or that is not an F0 file.

    >>> refs = pyzeb.references(["night/001.f0", "night/002.f0"])
    >>> fs = fsspec.filesystem("reference", fo=refs)
    >>> zarr.open_group(fs.get_mapper(), mode="r", zarr_format=2)["data"].shape
    (2, 512, 512)
    """
    single = isinstance(paths, (str, os.PathLike))
    if single:
        items = [os.fspath(paths)]  # type: ignore[arg-type]
    elif isinstance(paths, (bytes, bytearray)) or not isinstance(paths, Sequence):
        raise TypeError(f"paths must be a path, a URL or a sequence of them, not {type(paths).__name__}")
    else:
        items = [os.fspath(p) for p in paths]
    if not items:
        raise ValueError("references need at least one file")
    if not isinstance(name, str) or not name or "/" in name or name.startswith("."):
        raise ValueError(f"name must be a plain Zarr array name, not {name!r}")
    if any(_remote.is_url(p) for p in items) and len(items) > 1:
        # a request or two for each file: many at once, not one after another
        with ThreadPoolExecutor(min(_FETCHERS, len(items))) as pool:
            described = pool.map(_describe, items, [storage_options] * len(items))
    else:
        described = map(_describe, items, [storage_options] * len(items))
    chunks: list[tuple[str, int]] = []
    headers: list[Header] = []
    for path, (url, header, size) in zip(items, described):
        # fsspec's reference file system reaches every chunk through the
        # file system of the first one: files elsewhere would not be found
        if chunks and _protocol(url) != _protocol(chunks[0][0]):
            raise ValueError(f"{path}: the files must all be on one file system, and {items[0]} is "
                             f"{'local' if _protocol(chunks[0][0]) is None else 'at ' + _protocol(chunks[0][0])}")
        if headers and (header.shape, header.dtype) != (headers[0].shape, headers[0].dtype):
            raise _format_error(path, f"holds an array of shape {header.shape} and dtype {header.dtype}, "
                                f"where {items[0]} holds shape {headers[0].shape} and dtype {headers[0].dtype}")
        chunks.append((url, size))
        headers.append(header)
    first = headers[0]
    shape = first.shape if single else (len(items), *first.shape)
    file_dims = default_dims(len(first.shape))
    names = _check_dims(dims, len(shape), file_dims if single else ["file", *file_dims])
    if 0 in shape:
        raise ValueError(f"{items[0]}: an array of shape {first.shape} has no elements to show to Zarr")
    dtype = first.dtype.newbyteorder("<").str if first.dtype.itemsize > 1 else first.dtype.str
    zarray = {"zarr_format": 2, "shape": list(shape), "chunks": [1] * (not single) + list(first.shape),
              "dtype": dtype, "compressor": {"id": "pyzeb.crunch", "dtype": dtype}, "filters": None,
              "fill_value": None, "order": "C", "dimension_separator": "."}
    if single:
        attrs = _attrs(first)
    else:
        attrs = {"header_text": [h.text for h in headers]}
        if any(h.metadata for h in headers):
            attrs["metadata"] = [h.metadata for h in headers]
    attrs["_ARRAY_DIMENSIONS"] = names
    refs: dict[str, Any] = {".zgroup": json.dumps({"zarr_format": 2}), ".zattrs": json.dumps({}),
                            f"{name}/.zarray": json.dumps(zarray), f"{name}/.zattrs": json.dumps(attrs)}
    zeros = ".".join(["0"] * len(first.shape))
    for i, (url, size) in enumerate(chunks):
        key = (zeros or "0") if single else ".".join(filter(None, [str(i), zeros]))
        refs[f"{name}/{key}"] = [url, 0, size]
    return {"version": _VERSION, "refs": refs}
