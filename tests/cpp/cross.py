"""Files that pyzeb and zeb.hpp write for each other, one per dtype.

    cross.py write DIR   pyzeb writes DIR/py-<dtype>.f0
    test_zeb_hpp WORK --cross DIR
                         zeb.hpp reads them and writes DIR/cpp-<dtype>.f0
    cross.py check DIR   pyzeb reads those: the same dtype, values, header
                         text and metadata, and the same bytes as its own

Prints a line per difference and exits 1 when there is one.  The values,
texts and metadata are made the same way in test_zeb_hpp.cpp.

The kinds of file zeb.hpp only reads (floats stored as whole numbers or
quantized, deflated metadata) go the other way only: `write` also writes
DIR/py-<kind>.f0 for each of KINDS and their names in DIR/kinds.txt; the
test program writes what it read of each (values, the rows from the second
on, header fields, metadata) to DIR/cpp-<kind>.<build>.*, where <build> is
"plain" or "zlib" (built with ZEB_HPP_WITH_ZLIB); `check DIR BUILD...`
compares those with what pyzeb.read and pyzeb.read_header give.
"""
import json
import sys
import zlib

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


def _noisy(shape: tuple[int, ...], dtype: str, seed: int, level: float = 1.0, offset: float = 0.0) -> np.ndarray:
    rng = np.random.default_rng(seed)
    a = offset + level * (rng.normal(size=shape) + np.linspace(0, 50, shape[-1]))
    return a.astype(dtype)


def _special(a: np.ndarray) -> np.ndarray:
    flat = a.reshape(-1)
    flat[3], flat[7], flat[-2] = np.nan, np.inf, -np.inf
    return a


def _wide(dtype: str) -> np.ndarray:
    """Floats across nearly their whole range: the step is set by the range,
    and values near the ends restore beyond the largest float unless kept
    within it."""
    big = np.finfo(dtype).max
    a = ((np.linspace(-0.999, 0.999, 400) + np.random.default_rng(5).normal(size=400) / 1000) * big).astype(dtype)
    a[0], a[-1] = -big, big
    return a.reshape(8, 50)


_BIG_METADATA = {"cards": [{"key": f"K{i:04d}", "value": i * 0.5, "comment": "\u00e9t\u00e9 \u2192"} for i in range(200)]}

# name: (array, write options, stored dtype expected, quantized)
KINDS = {
    "whole-float32-int8": (np.arange(-128, 128, dtype=np.float32).reshape(4, 64), {}, "int8", False),
    "whole-float32-int16": (np.linspace(-32768, 32767, 300).round().astype(np.float32).reshape(3, 100), {}, "int16", False),
    "whole-float32-int32": (np.array([-2**31, 2**31 - 128, 16777217 - 1, -5, 0, 2**24 + 2] * 10, np.float32).reshape(6, 10),
                            {}, "int32", False),
    "whole-float64-int8": (np.arange(127, -129, -1, dtype=np.float64).reshape(2, 128), {}, "int8", False),
    "whole-float64-int16": (np.arange(-30000, 30000, 200, dtype=np.float64).reshape(3, -1), {}, "int16", False),
    "whole-float64-int32": (np.array([-2**31, 2**31 - 1, 123456789, -1, 0, 65536] * 7, np.float64).reshape(7, 6),
                            {}, "int32", False),
    "quantized-float32": (_special(_noisy((20, 64), "float32", 1)), {"quantize": 4}, "int32", True),
    "quantized-float64-cube": (_special(_noisy((4, 10, 33), "float64", 2, 3.0, -1e4)), {"quantize": 1}, "int32", True),
    "quantized-float32-raw": (_special(_noisy((5, 40), "float32", 3, 0.01)), {"quantize": 2, "compress": False},
                              "int32", True),
    "quantized-float32-wide": (_wide("float32"), {"quantize": 16}, "int32", True),
    "quantized-float64-wide": (_wide("float64"), {"quantize": 16}, "int32", True),
    "quantized-float64-tiny": (_noisy((6, 30), "float64", 4, 1e-310), {"quantize": 8}, "int32", True),
    "quantized-float64-metadata": (_special(_noisy((3, 70), "float64", 6)), {"quantize": 0.5, "metadata": _BIG_METADATA},
                                   "int32", True),
    "metadata-deflated": (np.arange(120, dtype=np.int16).reshape(3, 40), {"metadata": _BIG_METADATA}, None, False),
}


def write_kinds(folder: str) -> None:
    for name, (a, options, stored, quantized) in KINDS.items():
        path = f"{folder}/py-{name}.f0"
        pyzeb.write(path, a, header=name, **options)
        h = pyzeb.read_header(path)
        # the file must be of the kind it stands for, or the check below checks nothing new
        if str(h.stored_dtype) != str(stored) or (h.quantization_step is not None) != quantized:
            raise SystemExit(f"{path}: stored as {h.stored_dtype}, step {h.quantization_step}")
    with open(f"{folder}/kinds.txt", "w") as f:
        f.write("".join(f"{name}\n" for name in KINDS))


def _fields(path: str) -> dict[str, str]:
    with open(path) as f:
        return dict(line.rstrip("\n").split(" ", 1) for line in f)


def _read(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def check_kinds(folder: str, builds: list[str]) -> list[str]:
    faults = []
    for name in KINDS:
        path = f"{folder}/py-{name}.f0"
        h, a = pyzeb.read_header(path), pyzeb.read(path)
        deflated = len(json.dumps(h.metadata, separators=(",", ":"), ensure_ascii=False).encode()) > 4096
        for build in builds:
            out = f"{folder}/cpp-{name}.{build}"
            fields = _fields(f"{out}.header")
            want = {"dtype": str(h.dtype), "stored": str(h.stored_dtype or h.dtype),
                    "shape": ",".join(map(str, h.shape))}
            if float(fields.get("step", "nan")) != (h.quantization_step or 0.0):
                faults.append(f"{out}: step {fields.get('step')}, pyzeb: {h.quantization_step}")
            for key, value in want.items():
                if fields.get(key) != value:
                    faults.append(f"{out}: {key} {fields.get(key)}, pyzeb: {value}")
            if _read(f"{out}.values") != a.tobytes():
                faults.append(f"{out}: values differ from pyzeb.read's")
            if _read(f"{out}.rows") != a[1:].tobytes():
                faults.append(f"{out}: the rows from the second on differ from pyzeb.read's")
            meta, packed = _read(f"{out}.metadata"), _read(f"{out}.deflated")
            if deflated and build == "plain":
                if meta or int(fields.get("deflated_size", -1)) != len(zlib.decompress(packed)) or \
                        json.loads(zlib.decompress(packed)) != h.metadata:
                    faults.append(f"{out}: the deflated metadata given are not pyzeb's")
            elif packed or (json.loads(meta) if meta else {}) != h.metadata:
                faults.append(f"{out}: metadata {meta[:60]!r}..., deflated {len(packed)} bytes, not pyzeb's")
    return faults


def main(step: str, folder: str, *builds: str) -> int:
    faults = []
    if step == "write":
        write_kinds(folder)
    else:
        faults += check_kinds(folder, list(builds) or ["plain"])
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
