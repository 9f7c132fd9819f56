"""Indexed decoding with bands of blocks side by side in vector lanes: the
same elements, statuses and failure records as the scalar decoder, for every
plain stream type, slices on both sides of what the lanes take, escapes, long
zero counts, lying indexes and damaged bodies.  The scalar side runs in a
child process with ZEB_DECODE_LANES=0."""
import ctypes as C
import hashlib
import json
import os
import struct
import subprocess
import sys

import numpy as np
import pytest

from clib import DecodeInfo, lib

DTYPES = {1: np.uint8, 0: np.int16, 4: np.int32}
SLICES = {1: (0, 2, 5, 8), 0: (0, 1, 5, 9, 13, 17), 4: (0, 5, 11, 16, 20, 24)}
# rows x row length (a block is a row), blocks per index entry
SHAPES = [((64, 1), 2), ((70, 5), 2), ((99, 13), 3), ((64, 64), 1), ((40, 200), 1), ((300, 16), 9)]


def frame(ctype, shape, seed):
    """Noise on a slope, with spikes (escapes), flat stretches and, in the
    32-bit case, jumps across the whole range."""
    dtype = DTYPES[ctype]
    info = np.iinfo(dtype)
    rng = np.random.default_rng(seed)
    a = rng.normal(info.max // 2 if ctype == 1 else 1000, 6, shape) + np.arange(shape[1]) % 40
    a.flat[rng.integers(0, a.size, a.size // 50)] += rng.integers(-30000, 30000, a.size // 50)
    a[shape[0] // 3] = 7
    if ctype == 4:
        a.flat[rng.integers(0, a.size, a.size // 40)] = rng.integers(info.min, info.max, a.size // 40)
    return np.clip(a, info.min, info.max).astype(dtype)


def encode(ctype, arr, slice_, every):
    bs = arr.shape[1]
    nb = arr.size // bs
    bound = lib.zeb_compress_bound(ctype, slice_, bs, nb)
    out = C.create_string_buffer(bound)
    offsets = (C.c_int64 * max(1, (nb - 1) // every))()
    n = lib.zeb_encode_indexed(ctype, out, arr.ctypes.data, slice_, bs, nb, bound, 1, every, offsets)
    assert n > 0
    return out.raw[14:n], out.raw[12], list(offsets[:(nb - 1) // every])


def decode(ctype, body, shape, slice_, every, offsets, threads):
    out = np.zeros(shape, DTYPES[ctype])
    info = DecodeInfo()
    offs = (C.c_int64 * max(1, len(offsets)))(*offsets)
    st = lib.zeb_decode_indexed(ctype, body, len(body), out.ctypes.data, out.size, slice_, shape[1], shape[0],
                                every, offs, len(offsets), threads, C.byref(info))
    return st, out, info


def lies(body, offsets, nb, every):
    """Indexes and bodies that do not match, each with a name."""
    yield "true", body, offsets
    for i in (0, len(offsets) // 2, len(offsets) - 1):
        for d in (-1, 1):
            o = list(offsets)
            o[i] += d
            yield f"entry {i} {d:+d}", body, o
    # every entry names the block before its own
    yield "entries a block early", body, [0] + offsets[:-1] if every == 1 else offsets[:1] + offsets[:-1]
    for at in (len(body) // 3, len(body) - 3):
        b = bytearray(body)
        b[at] ^= 0x10
        yield f"bit flipped at {at}", bytes(b), offsets
        b = bytearray(body)
        b[at:at + 6] = bytes(6)
        yield f"zeros at {at}", bytes(b), offsets
    yield "cut short", body[:-5], [o for o in offsets if o < len(body) - 5]


def outcomes():
    """What each case decodes to: status, failure record and a digest of the
    elements (where the decoding succeeded)."""
    got = {}
    for ctype, slices in SLICES.items():
        for (shape, every) in SHAPES:
            arr = frame(ctype, shape, shape[0] + ctype)
            for slice_ in slices:
                body, hslice, offsets = encode(ctype, arr, slice_, every)
                for name, b, o in lies(body, offsets, shape[0], every):
                    for threads in (1, 2):
                        st, out, info = decode(ctype, b, shape, hslice, every, o, threads)
                        if name == "true":
                            assert st == 0 and np.array_equal(out, arr), (ctype, shape, slice_)
                        fields = [getattr(info, f) for f, _ in DecodeInfo._fields_]
                        digest = hashlib.sha1(out.tobytes()).hexdigest() if st == 0 else None
                        got[f"{ctype} {shape} {slice_} {name} {threads}"] = [st, fields, digest]
    return got


def test_lanes_decode_as_the_scalar_decoder():
    here = outcomes()
    env = dict(os.environ, ZEB_DECODE_LANES="0")
    code = "import json, test_lanes; print(json.dumps(test_lanes.outcomes()))"
    child = subprocess.run([sys.executable, "-c", code], cwd=os.path.dirname(__file__), env=env,
                           capture_output=True, text=True, check=True)
    scalar = json.loads(child.stdout)
    assert here.keys() == scalar.keys()
    differ = [k for k in here if here[k] != scalar[k]]
    assert not differ, (len(differ), differ[:3], [(here[k], scalar[k]) for k in differ[:3]])
    assert sum(v[0] != 0 for v in here.values()) > len(here) // 3  # the lies were noticed


@pytest.mark.parametrize("ctype", DTYPES)
def test_a_sky_frame_decodes_whole_in_bands(ctype):
    # Big enough for pieces of 16 entries, with a short last entry.
    arr = frame(ctype, (1000, 512), 3)
    body, hslice, offsets = encode(ctype, arr, 5, 7)
    for threads in (1, 2):
        st, out, info = decode(ctype, body, arr.shape, hslice, 7, offsets, threads)
        assert (st, info.used, info.elements) == (0, len(body), arr.size)
        assert np.array_equal(out, arr)
