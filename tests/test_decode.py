"""Crunch decoders: classic (unchecked), bounded and core entry points."""
import contextlib
import ctypes as C

import numpy as np
import pytest

from clib import buf, lib, libc
from f0build import BitWriter, plain_body, put_code, run_body

# compression type -> (classic decoder, element dtype, width in bits, largest slice)
TYPES = {
    1: ("zebdecrunch8", np.uint8, 8, 17),
    0: ("zebdecrunch", np.int16, 16, 17),
    4: ("zebdecrunch32", np.int32, 32, 32),
    3: ("zebdecrunchrun8", np.uint8, 8, 17),
    2: ("zebdecrunchrun", np.int16, 16, 17),
}
PLAIN, RUN = (1, 0, 4), (3, 2)
OK, BAD_BITS, BAD_LOOP, BODY_END, BAD_SLICE, BAD_BLOCK_SIZE = 0, -17, -18, -19, -20, -21
ENTRIES = ("classic", "bounded", "core")
GUARD = 4  # elements past the array that must stay untouched
BAD_SEQ = "DECRUNCH -- bad bit sequence, cannot continue"
BODY_END_MSG = "DECRUNCH -- unexpected end of compressed data, cannot continue\n"


class Info(C.Structure):
    _fields_ = ([(n, C.c_int32) for n in ("status", "compression_type", "slice", "block_size")]
                + [(n, C.c_int64) for n in ("elements", "byte_index", "bit_index", "element", "block",
                                            "nc", "in_", "used")])


lib.zeb_decode_report.argtypes, lib.zeb_decode_report.restype = [C.c_void_p], None
libc.malloc.argtypes, libc.malloc.restype = [C.c_size_t], C.c_void_p


@contextlib.contextmanager
def exact(data):
    """A malloc'd copy of `data` of exactly its length, so that a sanitizer
    build catches any read past it."""
    p = libc.malloc(max(len(data), 1))
    C.memmove(p, bytes(data), len(data))
    try:
        yield p
    finally:
        libc.free(p)


def values(ctype, vals):
    """Python ints reduced to the type's element width, as its dtype."""
    return np.array(vals, dtype=np.int64).astype(TYPES[ctype][1])


def decode(entry, ctype, body, slice_, bs, nb, *, spare=b"\0\0\0\0", room=None):
    """Runs one entry point on an output array of `room` (default nb * bs)
    elements plus GUARD, every byte 0xA5.  Returns (result, array, info)."""
    name, dtype = TYPES[ctype][:2]
    n = max(bs, 0) * max(nb, 0) if room is None else room
    out = np.full((n + GUARD) * np.dtype(dtype).itemsize, 0xA5, np.uint8).view(dtype)
    info = Info()
    if entry == "classic":
        with exact(body + spare) as p:
            r = getattr(lib, name)(p, out.ctypes.data, slice_, bs, nb, 1)
    else:
        with exact(body) as p:
            if entry == "bounded":
                r = getattr(lib, name + "_bounded")(p, len(body), out.ctypes.data, slice_, bs, nb, 1)
            else:
                r = lib.zeb_decode(ctype, p, len(body), out.ctypes.data, n, slice_, bs, nb, C.byref(info))
    return r, out, info


def untouched(out, start=0):
    return bool((out[start:].view(np.uint8) == 0xA5).all())


def ok(entry, r):
    return r == (OK if entry == "core" else 1)


def fail(entry, r, status, info):
    return (r, info.status) == (status, status) if entry == "core" else r == -1


def codes_body(ctype, first, diffs, slice_):
    """A plain block: `first`, then one code per difference (as the encoder
    would write it, but any difference, so that values can wrap)."""
    width = TYPES[ctype][2]
    w = BitWriter()
    w.put(first % (1 << width), width)
    for d in diffs:
        put_code(w, d, slice_, width + 1)
    return w.tobytes()


# ---- known streams ---------------------------------------------------------------

KNOWN = [
    # (type, body, slice, block_size, nblocks, elements)
    (0, "6400 1F50 0000 0040 9501 FBFF 0C00 0000 3026 0000 0000 80A8 FD01", 2, 4, 2,
     [100, 103, 90, 900, -5, -5, 300, -300]),
    (2, "6400 FD00 0002 1F10 FC01 00 0700 046D 0500 0000 F41E 00FA 0000", 2, 12, 2,
     [100] * 5 + [103, 90, 91, 92, 93, 94, 95, 7, 8, 9, 10] + [1000] * 8),
    (3, "0A82 0100 FF01 00", 3, 130, 1, list(range(10, 140))),
    # run-length: K = 0, then K = 128 (129 differences of 2)
    (2, "0700 0080 0200", 0, 130, 1, list(range(7, 267, 2))),
    (3, "0700 8002 00", 0, 130, 1, list(range(7, 267, 2))),
    # run-length: a literal code of 32 zeros and a 1 is h = 16
    (2, "0700 0100 0000 0001", 0, 2, 1, [7, 23]),
    (3, "0701 0000 0000 01", 0, 2, 1, [7, 23]),
]


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("ctype,body,slice_,bs,nb,expect", KNOWN)
def test_known_streams(entry, ctype, body, slice_, bs, nb, expect, cio):
    body = bytes.fromhex(body)
    r, out, info = decode(entry, ctype, body, slice_, bs, nb, spare=b"\xff" * 4)
    assert ok(entry, r) and info.used == (len(body) if entry == "core" else 0)
    assert out[:bs * nb].tolist() == values(ctype, expect).tolist()
    assert untouched(out, bs * nb) and cio().err == ""


def test_reference_builder_matches_known_stream():
    blocks = [[100, 103, 90, 900], [-5, -5, 300, -300]]
    assert plain_body(blocks, 2, 0).hex().upper() == KNOWN[0][1].replace(" ", "")


# ---- zero count window, escape, even/odd rule ---------------------------------

# (k zero-difference codes before, so that the count starts at bit k of its
# byte; z zeros; expected high part, None for a bad sequence)
WINDOW = [(0, 39, -20), (0, 40, None), (7, 32, 16), (7, 33, None), (3, 36, 18), (3, 37, None),
          (0, 30, 15), (0, 32, 16), (0, 33, -17), (0, 31, "esc"), (7, 31, "esc")]


@pytest.mark.parametrize("entry", ("classic", "bounded"))
@pytest.mark.parametrize("ctype", PLAIN)
@pytest.mark.parametrize("k,z,h", WINDOW)
def test_zero_count_window(entry, ctype, k, z, h, cio):
    width = TYPES[ctype][2]
    w = BitWriter()
    w.put(7, width)
    w.put((1 << k) - 1, k)  # k codes of difference 0 (slice 0: a single 1 bit)
    w.put(0 if h is None else 1 << z, z + (h is not None))
    if h == "esc":
        w.put(-1000 % (1 << (width + 1)), width + 1)
    body = w.tobytes() + bytes(8)
    r, out, _ = decode(entry, ctype, body, 0, k + 2, 1)
    err = cio().err
    if h is None:
        assert r == -1 and out[:k + 1].tolist() == [7] * (k + 1) and untouched(out, k + 1)
        detail = f"\ni = {width // 8}, r1 = {width + k}, ix= {k + 1}, iy = 0\n"
        assert err == BAD_SEQ + ("" if ctype == 1 else detail)
    else:
        assert r == 1 and err == ""
        assert out[:k + 2].tolist() == values(ctype, [7] * (k + 1) + [7 + (-1000 if h == "esc" else h)]).tolist()


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("ctype", (0, 4))
def test_bad_sequence_detail(entry, ctype, cio):
    # block_size 3, slice 3, two codes of 4 bits per block: block 1 starts at
    # byte 3 (16-bit) and its element 2 begins its zero count at bit 47.
    width = TYPES[ctype][2]
    w = BitWriter()
    for first, diffs in ((100, (1, 2)), (200, (3,))):
        w.align()
        w.put(first, width)
        for d in diffs:
            put_code(w, d, 3, width + 1)
    w.put(5, 3)  # the low part of element 2, then only zeros
    r, out, info = decode(entry, ctype, w.tobytes() + bytes(8), 3, 3, 2)
    assert fail(entry, r, BAD_BITS, info)
    assert out[:5].tolist() == [100, 101, 103, 200, 203] and untouched(out, 5)
    byte, bit = (5, 47) if width == 16 else (9, 79)
    if entry == "core":
        assert cio().err == ""
        assert (info.elements, info.byte_index, info.bit_index, info.element, info.block) == (5, byte, bit, 2, 1)
        lib.zeb_decode_report(C.byref(info))
    assert cio().err == f"{BAD_SEQ}\ni = {byte}, r1 = {bit}, ix= 2, iy = 1\n"


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("ctype,body,detail", [(2, "070001", "i = 3, r1 = 24"), (3, "0701", "i = 2, r1 = 16")])
def test_run_bad_sequence(entry, ctype, body, detail, cio):
    r, out, info = decode(entry, ctype, bytes.fromhex(body) + bytes(8), 0, 2, 1)
    assert fail(entry, r, BAD_BITS, info) and out[0] == 7 and untouched(out, 1)
    if entry != "core":
        assert cio().err == f"{BAD_SEQ}\n{detail}, iy = 0\n"


# ---- run-length bad loops ---------------------------------------------------

LOOPS = [
    # (first-element body, rest, block_size, nblocks, stored, nc, iy, in)
    ("07", "051F", 3, 1, [7, 7, 7], -3, 0, 6),      # 5 literal codes for 2 differences
    ("07", "FD0100", 3, 1, [7, 8, 9], -2, 0, 5),    # a run of 4 for 2
    ("07", "FF0100|07|040F", 3, 2, [7, 8, 9, 7, 7, 7], -2, 1, 8),  # in counts over all blocks
    ("07", "", 0, 1, [], -1, 0, 1),                 # block_size below 1: nothing stored
    ("07", "", -4, 3, [], -5, 0, 1),
]


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("ctype", RUN)
@pytest.mark.parametrize("first,rest,bs,nb,stored,nc,iy,in_", LOOPS)
def test_bad_loop(entry, ctype, first, rest, bs, nb, stored, nc, iy, in_, cio):
    pad = "00" if ctype == 2 else ""  # high byte of a 16-bit first element
    body = bytes.fromhex((first + pad + rest).replace("|07|", "07" + pad))
    r, out, info = decode(entry, ctype, body, 0, bs, nb)
    assert fail(entry, r, BAD_LOOP, info)
    assert out[:len(stored)].tolist() == stored and untouched(out, len(stored))
    if entry == "core":
        assert (info.nc, info.block, info.in_) == (nc, iy, in_) and cio().err == ""
    else:
        name = "decrunchrun8" if ctype == 3 else "decrunchrun"
        assert cio().err == f"bad loop in {name}, nc={nc}, iy={iy}, in= {in_}\n"


# ---- wrap-around and one-element blocks ---------------------------------------

@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("ctype,first,diffs,slice_", [
    (1, 250, [10, 0, -20], 5), (1, 5, [-10, 255, -255], 2),
    (0, 32767, [1, -1, -65535], 5), (0, -32768, [65535, -1], 3),
    (4, 2**31 - 1, [1, -(2**32 - 1), 2**32 - 1], 5), (4, 0, [-1, 2**31, 7], 32),
])
def test_plain_wraps(entry, ctype, first, diffs, slice_):
    r, out, _ = decode(entry, ctype, codes_body(ctype, first, diffs, slice_), slice_, len(diffs) + 1, 1)
    assert ok(entry, r)
    assert out[:len(diffs) + 1].tolist() == values(ctype, np.cumsum([first] + diffs)).tolist()


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("ctype,body,expect", [
    (3, "FA FF 0A 00", [250, 4, 14]),
    (2, "FF7F FF 0100", [32767, -32768, -32767]),
    (2, "0080 FF FFFF", [-32768, 32767, 32766]),
])
def test_run_wraps(entry, ctype, body, expect):
    r, out, _ = decode(entry, ctype, bytes.fromhex(body), 0, 3, 1)
    assert ok(entry, r) and out[:3].tolist() == values(ctype, expect).tolist()


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("ctype", TYPES)
def test_one_element_blocks(entry, ctype):
    vals = values(ctype, [1, -2, 300, -40000, 2**31 - 1])
    # each block: the element, and for run-length types a byte without meaning
    body = b"".join(v.tobytes() + (b"\xee" if ctype in RUN else b"") for v in vals)
    if ctype in RUN:
        body = body[:-1]  # the last skipped byte is not needed
    r, out, _ = decode(entry, ctype, body, 5, 1, 5)
    assert ok(entry, r) and out[:5].tolist() == vals.tolist() and untouched(out, 5)


# ---- round trips against the reference builder ----------------------------------

def sample(ctype, seed):
    """240 elements: a walk, noise, a constant, a long ramp and extremes."""
    dtype = TYPES[ctype][1]
    lo, hi = np.iinfo(dtype).min, np.iinfo(dtype).max
    rng = np.random.default_rng(seed)
    parts = [np.cumsum(rng.integers(-60, 61, 40)) + int(rng.integers(lo, hi)),
             rng.integers(lo, hi, 30, endpoint=True), np.full(20, hi),
             np.arange(140) * 3 + lo, np.tile([lo, hi], 5)]
    return np.concatenate(parts).astype(np.int64).astype(dtype)


@pytest.mark.parametrize("ctype,slice_", [(t, s) for t in TYPES for s in range(TYPES[t][3] + 1)])
def test_round_trip(ctype, slice_, cio):
    arr = sample(ctype, 1000 * ctype + slice_)
    bs = (240, 1, 2, 24, 5)[slice_ % 5]
    nb = arr.size // bs
    blocks = [[int(v) for v in arr[b * bs:(b + 1) * bs]] for b in range(nb)]
    body = (run_body if ctype in RUN else plain_body)(blocks, slice_, ctype)
    rng = np.random.default_rng(slice_)
    for entry in ENTRIES:
        spare = rng.integers(0, 256, 4, dtype=np.uint8).tobytes()  # must not matter
        r, out, _ = decode(entry, ctype, body, slice_, bs, nb, spare=spare)
        assert ok(entry, r) and np.array_equal(out[:arr.size], arr) and untouched(out, arr.size)
    assert cio().err == ""


@pytest.mark.parametrize("ctype", TYPES)
def test_core_skips_stores_past_capacity(ctype):
    arr = sample(ctype, 7)
    blocks = [arr[b * 24:(b + 1) * 24].tolist() for b in range(10)]
    body = (run_body if ctype in RUN else plain_body)(blocks, 4, ctype)
    r, out, info = decode("core", ctype, body, 4, 24, 10, room=100)
    assert r == OK and info.elements == 240
    assert np.array_equal(out[:100], arr[:100]) and untouched(out, 100)


# ---- faults: bad parameters, ends of bodies, garbage ----------------------------

@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("ctype", TYPES)
def test_bad_slice_refused(entry, ctype, cio):
    top = TYPES[ctype][3]
    for slice_ in (-1, top + 1, 255):
        r, out, info = decode(entry, ctype, bytes(64), slice_, 4, 2)
        assert fail(entry, r, BAD_SLICE, info) and untouched(out)
        if entry != "core":
            assert cio().err == f"DECRUNCH -- slice {slice_} not supported (0 to {top}), cannot continue\n"
    # nothing to decode: nothing to refuse
    assert ok(entry, decode(entry, ctype, b"", 99, 4, 0)[0]) and cio().err == ""


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("ctype", PLAIN)
def test_plain_bad_block_size_refused(entry, ctype, cio):
    for bs in (0, -3):
        r, out, info = decode(entry, ctype, bytes(64), 5, bs, 2)
        assert fail(entry, r, BAD_BLOCK_SIZE, info) and untouched(out)
        if entry != "core":
            assert cio().err == f"DECRUNCH -- bad block size {bs}, cannot continue\n"


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("ctype", TYPES)
def test_no_blocks(entry, ctype, cio):
    for nb in (0, -1):
        r, out, info = decode(entry, ctype, b"", 5, 8, nb, room=0)
        assert ok(entry, r) and untouched(out) and info.elements == 0
    assert cio().err == ""


def small_stream(ctype):
    vals = [5, 5, 5, 5, 5, 6, 200, 9, 8, 8, 8, 8, 8, 100, 101, 102, 103, 104, 30, 31]
    blocks = [vals[:10], vals[10:]]
    build = run_body if ctype in RUN else plain_body
    return build(blocks, 2, ctype), values(ctype, vals), len(build(blocks[:1], 2, ctype))


@pytest.mark.parametrize("ctype", TYPES)
def test_every_truncation(ctype, cio):
    body, expect, block1 = small_stream(ctype)
    for n in range(len(body) + 1):
        r, out, info = decode("core", ctype, body[:n], 2, 10, 2)
        assert r in (OK, BODY_END) and info.status == r
        # used: the body bytes of the blocks decoded whole, or where the failing block starts
        assert info.used == (len(body) if r == OK else 0 if info.block == 0 else block1)
        assert np.array_equal(out[:info.elements], expect[:info.elements]) and untouched(out, info.elements)
        if r == OK:
            assert np.array_equal(out[:20], expect)
    assert r == OK  # the whole body, with no spare bytes after it
    assert cio().err == ""


@pytest.mark.parametrize("ctype,n,detail", [
    (0, 13, "i = 12, r1 = 101, ix= 2, iy = 1"),   # the zero count runs into the end
    (0, 25, "i = 19, r1 = 152, ix= 3, iy = 1"),   # an escape payload does
    (0, 11, "i = 10, r1 = 80, ix= 0, iy = 1"),    # a block's first element does
    (2, 12, "i = 11, r1 = 88, iy = 1"),
])
def test_body_end_message(ctype, n, detail, cio):
    body = bytes.fromhex(KNOWN[0 if ctype == 0 else 1][1])
    r, out, _ = decode("bounded", ctype, body[:n], 2, 4 if ctype == 0 else 12, 2)
    assert r == -1 and cio().err == BODY_END_MSG + detail + "\n"


@pytest.mark.parametrize("ctype", TYPES)
def test_garbage_bodies(ctype):
    """Random bodies and parameters: the bounded decoders read only the body,
    write only the array, and agree with the classic procedure wherever
    that stays inside the body and its 4 spare bytes."""
    rng = np.random.default_rng(ctype)
    top = TYPES[ctype][3]
    for _ in range(300):
        body = rng.integers(0, 256, int(rng.integers(0, 40)), dtype=np.uint8)
        body[rng.random(body.size) < 0.4] = 0  # long zero counts
        body = body.tobytes()
        args = (int(rng.integers(0, top + 1)), int(rng.integers(1, 12)), int(rng.integers(1, 5)))
        r, out, info = decode("core", ctype, body, *args)
        assert r in (OK, BAD_BITS, BAD_LOOP, BODY_END) and untouched(out, args[1] * args[2])
        if r != BODY_END:
            r2, out2, _ = decode("classic", ctype, body, *args, spare=b"\xff" * 4)
            assert (r2 == 1) == (r == OK) and np.array_equal(out, out2)


def test_core_arguments():
    info = Info()
    assert lib.zeb_decode(5, buf(b"\0"), 1, None, 0, 5, 4, 1, C.byref(info)) == -15
    assert lib.zeb_decode(0, buf(b"\0"), -1, None, 0, 5, 4, 1, None) == -27
    assert lib.zeb_decode(0, None, 8, None, 0, 5, 4, 1, None) == -27
