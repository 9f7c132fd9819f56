"""Writes small valid inputs into fuzz/corpus/<target>/ as starting points for fuzzing."""
import ctypes as C
import pathlib
import struct
import sys
import tempfile

import numpy as np

import _pyzeb

ROOT = pathlib.Path(__file__).resolve().parent.parent / "fuzz" / "corpus"
lib = C.CDLL(_pyzeb.__file__)
lib.zeb_encode.argtypes = [C.c_int32, C.c_void_p, C.c_void_p] + [C.c_int32] * 5
WIDTH = {0: "<i2", 1: "u1", 2: "<i2", 3: "u1", 4: "<i4"}


def stream(ct, data, slice_, block_size):
    out = np.zeros(4096, np.uint8)
    n = lib.zeb_encode(ct, out.ctypes.data, data.ctypes.data, slice_, block_size, data.size // block_size, 4096, 0)
    assert n > 0
    return out[:n].tobytes()


def main():
    rng = np.random.default_rng(7)
    seeds = {"fuzz_decode": [], "fuzz_read": [], "fuzz_roundtrip": []}
    for ct, dt in WIDTH.items():
        for slice_ in (0, 3, 5):
            data = (np.cumsum(rng.integers(-20, 21, 48)) + 60).astype(dt)
            if ct in (2, 3):
                data[10:30] = data[10]
            s = stream(ct, data, slice_, 12)
            seeds["fuzz_decode"].append(bytes([ct, slice_]) + struct.pack("<ii", 12, 4) + s[14:])
            datyp = {1: 0, 3: 0, 0: 1, 2: 1, 4: 2}[ct]
            head = bytearray(512)
            head[0:4], head[4], head[6], head[7], head[8] = b"\xaa\xaa\x55\x55", 1, 1, datyp, 2
            head[10:14] = struct.pack("<i", len(s))
            head[192:200] = struct.pack("<ii", 12, 4)
            seeds["fuzz_read"].append(bytes(head) + s)
            seeds["fuzz_roundtrip"].append(bytes([ct, slice_, 11, 200]) + data.tobytes())
    with tempfile.TemporaryDirectory() as tmp:
        for dt in ("i1", "i2", "f4", "f8"):
            p = f"{tmp}/x.f0"
            _pyzeb.fzwrite(p, np.arange(24, dtype=dt).reshape(2, 3, 4), 0, "raw")
            seeds["fuzz_read"].append(pathlib.Path(p).read_bytes())
    for target, items in seeds.items():
        d = ROOT / target
        d.mkdir(parents=True, exist_ok=True)
        for i, blob in enumerate(items):
            (d / f"seed-{i:02d}").write_bytes(blob)
        print(f"{target}: {len(items)} seeds in {d}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
