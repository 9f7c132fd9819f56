"""Files that pyzeb and zeb.hpp write for each other, one per dtype.

    cross.py write DIR   pyzeb writes DIR/py-<dtype>.f0
    test_zeb_hpp WORK --cross DIR
                         zeb.hpp reads them and writes DIR/cpp-<dtype>.f0
    cross.py check DIR   pyzeb reads those: the same dtype, values, header
                         text and metadata, and the same bytes as its own

Prints a line per difference and exits 1 when there is one.  The values,
texts and metadata are made the same way in test_zeb_hpp.cpp.
"""
import sys

import numpy as np

import pyzeb

DTYPES = ("int8", "int16", "int32", "int64", "float32", "float64", "uint8", "uint16", "uint32", "uint64", "bool")


def values(name: str) -> np.ndarray:
    dt, i = np.dtype(name), np.arange(150)
    if dt.kind == "b":
        v = i % 3 == 0
    elif dt.kind == "f":
        v = (i * 0.37 - 20).astype(dt)
        v[1], v[2] = np.nan, -np.inf
    else:
        v = (i % 40 * 3).astype(dt)
        v[0], v[-1] = np.iinfo(dt).min, np.iinfo(dt).max
    return v.reshape(3, 50)


def metadata(name: str) -> dict:
    return {"dtype": name, "note": "\u00e9t\u00e9", "list": [1, 2.5, None, True]}


def main(step: str, folder: str) -> int:
    faults = []
    for name in DTYPES:
        ours = f"{folder}/py-{name}.f0"
        if step == "write":
            pyzeb.write(ours, values(name), header=f"made for {name}", metadata=metadata(name))
            continue
        theirs = f"{folder}/cpp-{name}.f0"
        h, a = pyzeb.read_header(theirs), pyzeb.read(theirs)
        if (h.dtype, h.text, h.metadata, h.checksum) != (np.dtype(name), f"made for {name}", metadata(name), True):
            faults.append(f"{theirs}: header {h.dtype} {h.text!r} {h.metadata!r}")
        if a.dtype != np.dtype(name) or a.tobytes() != values(name).tobytes():
            faults.append(f"{theirs}: values of dtype {a.dtype} differ")
        with open(ours, "rb") as f, open(theirs, "rb") as g:
            if f.read() != g.read():
                faults.append(f"{theirs}: bytes differ from {ours}")
    for line in faults:
        print(line)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
