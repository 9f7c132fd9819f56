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
from importlib import metadata as _metadata

from ._api import Header, add_checksum, decode, encode, memmap, read, read_header, write
from ._core import FormatError, FormatWarning

FormatError.__module__ = FormatWarning.__module__ = __name__

try:
    __version__: str = _metadata.version("pyzeb")
except _metadata.PackageNotFoundError:  # running from a build tree
    __version__ = "0+unknown"

__all__ = ["FormatError", "FormatWarning", "Header", "add_checksum", "decode", "encode", "memmap", "read",
           "read_header", "read_stack", "write", "__version__"]


def __getattr__(name: str) -> object:
    # read_stack lives in its own module, imported on first use, so that
    # importing pyzeb does not import dask
    if name == "read_stack":
        from ._stack import read_stack
        globals()["read_stack"] = read_stack
        return read_stack
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | {"read_stack"})
