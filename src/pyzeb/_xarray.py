"""The xarray backend ``engine="pyzeb"``: an F0 file as a Dataset with one
lazily loaded data variable."""
from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from typing import Any

import numpy as np

try:
    from xarray import Dataset, Variable
    from xarray.backends import BackendArray, BackendEntrypoint
    from xarray.core import indexing
except ImportError:
    raise ImportError("pyzeb's xarray backend needs xarray: pip install 'pyzeb[xarray]'") from None

from ._lazy import F0Array
from ._lazy import open as open_f0
from ._references import _check_dims, default_dims
from ._remote import is_url

_SYNCH = (b"\xaa\xaa\x55\x55", b"\x55\x55\xaa\xaa")
_EXTENSIONS = (".f0",)


def _looks_like_f0(head: bytes) -> bool:
    """True for the first 9 bytes of an F0 header: the synch pattern, at most
    16 header blocks, a known type code and at most 16 dimensions."""
    return len(head) >= 9 and head[:4] in _SYNCH and head[6] <= 16 and head[7] <= 5 and head[8] <= 16


class F0BackendArray(BackendArray):  # type: ignore[misc]
    """An :class:`pyzeb.F0Array` as xarray's lazily indexed array: each
    index reads only the rows along the first axis it needs."""

    def __init__(self, array: F0Array) -> None:
        self.array = array
        self.shape = array.shape
        self.dtype = array.dtype

    def __getitem__(self, key: indexing.ExplicitIndexer) -> np.ndarray:
        return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.BASIC,
                                                  self._read)

    def _read(self, key: tuple[Any, ...]) -> np.ndarray:
        return np.asarray(self.array[key])


class F0BackendEntrypoint(BackendEntrypoint):  # type: ignore[misc]
    """Opens F0 files with ``xr.open_dataset(path_or_url, engine="pyzeb")``.

    The Dataset holds one variable (`name`, default ``"data"``) with the
    file's shape and true dtype (unsigned and bool included), loaded lazily:
    an index, or a Dask chunk with ``chunks=``, reads only the rows along
    the file's first axis that it needs.  Its dimensions are ``y, x`` for a
    frame, ``z, y, x`` for a cube, ``dim_0...`` beyond (`dims` names them
    otherwise); its attributes are the header text (``header_text``) and the
    metadata stored with the file (a metadata key ``header_text`` takes the
    place of the text).  `verify` and `storage_options` (for URLs) are as
    for :func:`pyzeb.open`.
    """

    open_dataset_parameters = ("filename_or_obj", "drop_variables", "name", "dims", "verify", "storage_options")
    description = "Open F0 files (.f0) with pyzeb"
    url = "https://pyzeb.readthedocs.io/en/latest/guide/xarray-napari.html"

    def open_dataset(self, filename_or_obj: Any, *, drop_variables: str | Iterable[str] | None = None,
                     name: str = "data", dims: Sequence[str] | None = None, verify: bool = True,
                     storage_options: dict[str, Any] | None = None) -> Dataset:
        if isinstance(filename_or_obj, os.PathLike):
            filename_or_obj = os.fspath(filename_or_obj)
        array = open_f0(filename_or_obj, verify=verify, storage_options=storage_options)
        names = _check_dims(dims, array.ndim, default_dims(array.ndim))
        header = array.header
        attrs = {"header_text": header.text, **header.metadata}
        data = indexing.LazilyIndexedArray(F0BackendArray(array))
        drop = {drop_variables} if isinstance(drop_variables, str) else set(drop_variables or ())
        variables = {} if name in drop else {name: Variable(names, data, attrs)}
        return Dataset(variables)

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        if isinstance(filename_or_obj, (str, os.PathLike)):
            path = os.fspath(filename_or_obj)
            if not isinstance(path, str):
                return False
            if is_url(path):
                return path.split("?", 1)[0].lower().endswith(_EXTENSIONS)
            if path.lower().endswith(_EXTENSIONS):
                return True
            try:
                with open(path, "rb") as f:
                    return _looks_like_f0(f.read(9))
            except OSError:
                return False
        read, seek, tell = (getattr(filename_or_obj, a, None) for a in ("read", "seek", "tell"))
        if callable(read) and callable(seek) and callable(tell):
            try:
                at = tell()
                seek(0)
                head = read(9)
                seek(at)
            except (OSError, ValueError):
                return False
            return isinstance(head, bytes) and _looks_like_f0(head)
        return False
