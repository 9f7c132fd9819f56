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
WIDTH_OF = {0: "i1", 1: "<i2", 2: "<i4"}
lib.zeb_prepare.argtypes = [C.c_void_p, C.c_int32, C.c_void_p, C.c_int32, C.c_char_p, C.c_int32, C.c_int32,
                            C.c_int32, C.c_void_p, C.c_void_p]
lib.zeb_payload_add_record.argtypes = [C.c_void_p, C.c_int32, C.c_char_p, C.c_int64, C.c_void_p]


def stream(ct, data, slice_, block_size):
    out = np.zeros(4096, np.uint8)
    n = lib.zeb_encode(ct, out.ctypes.data, data.ctypes.data, slice_, block_size, data.size // block_size, 4096, 0)
    assert n > 0
    return out[:n].tobytes()


class Payload(C.Structure):
    _fields_ = [("header", C.c_uint8 * 512), ("data", C.c_void_p), ("size", C.c_int64), ("stream", C.c_void_p),
                ("record", C.c_void_p), ("record_size", C.c_int64), ("expect", C.c_int64 * 4),
                ("seek_index", C.c_void_p)]


def with_record(data, typ, mode, dtype, metadata):
    """A file with pyzeb's header record, made by the library itself; byte 5 of
    the header asks the fuzz target to reseal the record after mutation."""
    dims = (C.c_int32 * 2)(*data.shape[::-1])
    pl = Payload()
    assert lib.zeb_prepare(C.c_void_p(data.ctypes.data), typ, dims, 2, b"seed", 4, mode, 1, C.byref(pl), None) == 0
    pl.header[5] = 0x80
    assert lib.zeb_payload_add_record(C.byref(pl), dtype, metadata, len(metadata), None) == 0
    blob = bytes(pl.header) + C.string_at(pl.record, pl.record_size) + C.string_at(pl.data, pl.size)
    lib.zeb_payload_free(C.byref(pl))
    return blob


def main():
    rng = np.random.default_rng(7)
    seeds = {"fuzz_decode": [], "fuzz_read": [], "fuzz_roundtrip": [], "fuzz_index": [], "fuzz_lanes": []}
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
    walk = (np.cumsum(rng.integers(-9, 10, 96)) + 40).reshape(4, 24)
    for typ, dt, dtype, mode in ((0, "u1", 1, -2), (1, "<u2", 2, -1), (1, "<i2", 0, 5), (2, "<i4", 3, -2)):
        meta = b'{"OBJECT": "M 31", "EXPTIME": 30.5}' if typ != 2 else b""
        seeds["fuzz_read"].append(with_record(walk.astype(dt).view(WIDTH_OF[typ]), typ, mode, dtype, meta))
    # fuzz_index: type and coding, rows - 2, row length - 1, spacing - 1, noise,
    # seed, then index edits (entry, what, amount) of each kind.
    for kind, rows, cols, every, noise in ((1, 198, 15, 0, 9), (0, 120, 7, 2, 3), (2, 80, 23, 4, 200),
                                           (17, 150, 11, 1, 1), (5, 198, 3, 0, 40)):
        base = bytes([kind, rows, cols, every, noise, 7])
        seeds["fuzz_index"].append(base)
        seeds["fuzz_index"].append(base + bytes([70, 2, 40]))  # a run of entries a block early
        seeds["fuzz_index"].append(base + bytes([3, 0, 1, 9, 1, 1, 12, 3, 200]))
    # fuzz_lanes: type, slice, row length - 1, spacing - 1, extra rows, then
    # a byte a step of the walk (small steps, spikes, repeats), then edits.
    for ct, slice_, cols, every in ((1, 5, 39, 0), (0, 5, 15, 1), (2, 11, 7, 2), (0, 0, 12, 0), (1, 17, 33, 1)):
        steps = bytes(rng.integers(0, 256, 3000).astype(np.uint8))
        seeds["fuzz_lanes"].append(bytes([ct, slice_, cols, every, 3]) + steps)
        seeds["fuzz_lanes"].append(bytes([ct, slice_, cols, every, 3]) + bytes(rng.integers(0, 64, 3000).astype(np.uint8))
                                   + bytes([1, 5, 7, 2, 40, 3]))
    for target, items in seeds.items():
        d = ROOT / target
        d.mkdir(parents=True, exist_ok=True)
        for i, blob in enumerate(items):
            (d / f"seed-{i:02d}").write_bytes(blob)
        print(f"{target}: {len(items)} seeds in {d}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
