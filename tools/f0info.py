"""Prints what an F0 file holds: header text, shape, dtype and a summary of the values.

usage: python tools/f0info.py [FILE ...]   (default: the bundled data/sample.f0)
"""
import pathlib
import sys

import numpy as np

import _pyzeb

SAMPLE = pathlib.Path(__file__).resolve().parent.parent / "data" / "sample.f0"


def describe(path):
    result = _pyzeb.fzread(str(path))
    data, header = result["data"], result["header"]
    print(f"file:    {path}")
    print(f"header:  {header['header'].rstrip()!r}")
    print(f"shape:   {data.shape}  (file dimensions, fastest first: {header['dims']})")
    print(f"dtype:   {data.dtype}  ({header['size']} bytes)")
    if data.size:
        values = data.astype(np.float64)
        print(f"values:  min {values.min():g}  max {values.max():g}  "
              f"mean {values.mean():.6g}  std {values.std():.6g}")
        print(f"first:   {np.array2string(data.ravel()[:8], separator=', ')}")
    else:
        print("values:  (none)")


def main(argv):
    paths = argv or [SAMPLE]
    status = 0
    for i, path in enumerate(paths):
        if i:
            print()
        try:
            describe(path)
        except (ValueError, OSError, UnicodeDecodeError) as exc:
            print(f"{path}: {exc}", file=sys.stderr)
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
