"""Threaded encoding: the same result and bytes as the one-thread encoder
(the tests run with ZEB_PARALLEL_MIN_BYTES=0, see conftest.py)."""
import ctypes as C

import numpy as np
import pytest

from clib import lib
from test_encode import CODERS, datasets, noisy_frame

CANARY, SPARE = 0xA5, 32


def run(fn, ctype, arr, slice_, bs, nb, limit, *extra, big=0):
    out = C.create_string_buffer(bytes([CANARY]) * (max(limit, 0) + SPARE), max(limit, 0) + SPARE)
    r = fn(ctype, out, arr.ctypes.data, slice_, bs, nb, limit, big, *extra)
    return r, out.raw


def inputs(ctype):
    dtype = CODERS[ctype][1]
    frame = noisy_frame(dtype, (24, 96))
    cases = [(name, arr, bs) for name, arr, bs in datasets(ctype) if len(arr) // bs >= 2]
    return cases + [("frame", frame, 96), ("frame, short rows", frame, 5), ("frame, one-element rows", frame[:50], 1)]


@pytest.mark.parametrize("ctype", CODERS)
@pytest.mark.parametrize("slice_", [0, 5, 17])
def test_same_as_one_thread(ctype, slice_):
    dtype = CODERS[ctype][1]
    for name, arr, bs in inputs(ctype):
        nb = len(arr) // bs
        arr = np.ascontiguousarray(arr[:nb * bs], dtype=dtype)
        bound = lib.zeb_compress_bound(ctype, slice_, bs, nb)
        size = lib.zeb_encode(ctype, C.create_string_buffer(bound), arr.ctypes.data, slice_, bs, nb, bound, 0)
        assert size > 0
        # generous, exactly around the stream's end (where joining pieces is
        # not enough to know the outcome), tight and too small
        for limit in (bound, 24, 25, size // 2, size - 1, size, size + 3, size + 8, size + 9):
            one = run(lib.zeb_encode, ctype, arr, slice_, bs, nb, limit)
            for threads in (2, 5):
                got = run(lib.zeb_encode_threads, ctype, arr, slice_, bs, nb, limit, threads)
                assert got[0] == one[0], (name, limit, threads)
                assert got[1][:max(got[0], 0)] == one[1][:max(one[0], 0)], (name, limit, threads)
                assert got[1][max(limit, 0):] == bytes([CANARY]) * SPARE, (name, limit, threads)


def test_big_endian_header_and_argument_statuses():
    arr = noisy_frame(np.int16, (8, 64))
    for big in (0, 1):
        one = run(lib.zeb_encode, 0, arr, 5, 64, 8, 4000, big=big)
        assert run(lib.zeb_encode_threads, 0, arr, 5, 64, 8, 4000, 2, big=big)[1][:one[0]] == one[1][:one[0]]
    for args in [(9, 5, 64, 8), (0, 18, 64, 8), (0, 5, 0, 8), (2, -1, 64, 8)]:
        ctype, slice_, bs, nb = args
        assert (run(lib.zeb_encode_threads, ctype, arr, slice_, bs, nb, 4000, 2)[0]
                == run(lib.zeb_encode, ctype, arr, slice_, bs, nb, 4000)[0] < 0)
    assert lib.zeb_encode_threads(0, None, arr.ctypes.data, 5, 64, 8, 4000, 0, 2) == -27
