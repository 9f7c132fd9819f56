"""Read and write F0 array files from NumPy.

An F0 file holds one n-dimensional array (up to 16 dimensions of int8, int16,
int32, int64, float32 or float64) behind a 512-byte header with a short free
text; the data follow raw or as one lossless "crunch" stream.  pyzeb also
stores, in spare header blocks every F0 reader skips, checksums that reads
verify, metadata (a dict of JSON values) and the dtype of unsigned and bool
arrays (stored as the signed type of the same width).

>>> import numpy as np, pyzeb
>>> pyzeb.write("frame.f0", np.arange(12, dtype=np.int16).reshape(3, 4), header="dark frame")
>>> pyzeb.read("frame.f0")
array([[ 0,  1,  2,  3],
       [ 4,  5,  6,  7],
       [ 8,  9, 10, 11]], dtype=int16)
>>> pyzeb.read_header("frame.f0").text
'dark frame'
"""
# Imported under a private name: the package's namespace holds its public names only.
from typing import TYPE_CHECKING as _TYPE_CHECKING

if _TYPE_CHECKING:
    from ._api import (FormatError, FormatWarning, Header, add_checksum, decode, encode, memmap, read,
                       read_header, write)
    from ._fits import fits_header
    from ._lazy import F0Array, open
    from ._references import references
    from ._stack import read_dask, read_stack, write_stack

    __version__: str

__all__ = ["F0Array", "FormatError", "FormatWarning", "Header", "add_checksum", "decode", "encode", "memmap",
           "open", "read", "read_dask", "read_header", "read_stack", "references", "write", "write_stack",
           "__version__"]
__all__ += ["fits_header"]

# Where each public name is defined.  Each is imported on first use, so that
# importing pyzeb costs next to nothing: the zeb command answers Ctrl-C and
# --help before NumPy is loaded, and nothing imports dask before read_stack or read_dask.
_HOME = {n: "_api" for n in __all__} | {"read_stack": "_stack", "read_dask": "_stack", "write_stack": "_stack"} \
    | {"open": "_lazy", "F0Array": "_lazy"} | {"references": "_references"}
_HOME["fits_header"] = "_fits"


def __getattr__(name: str) -> object:
    if name == "__version__":
        from importlib import metadata
        try:
            value: object = metadata.version("pyzeb")
        except metadata.PackageNotFoundError:  # running from a build tree
            value = "0+unknown"
    elif name in _HOME:
        import importlib
        value = getattr(importlib.import_module(f".{_HOME[name]}", __name__), name)
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(n for n in set(globals()) | set(__all__) if not n.startswith("_") or n.startswith("__"))
