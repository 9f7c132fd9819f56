"""Crunch encoders: exact stream bytes, room and limit handling, arguments."""
import ctypes as C
import mmap
import struct

import numpy as np
import pytest

from clib import lib, libc
from f0build import plain_body, put_code, run_body, stream_header, BitWriter
from platforms import posix_only

# compression type -> (classic encoder, element dtype, largest slice taken)
CODERS = {
    1: ("zebcrunch8", np.uint8, 9),
    0: ("zebcrunch", np.int16, 17),
    4: ("zebcrunch32", np.int32, 32),
    3: ("zebcrunchrun8", np.uint8, 17),
    2: ("zebcrunchrun", np.int16, 17),
}
NAMES = {1: "crunch8", 0: "crunch", 4: "crunch32", 3: "crunchrun8", 2: "crunchrun"}
RUN_TYPES = (2, 3)
ZEB_E_UNKNOWN_COMPRESSION, ZEB_E_BAD_SLICE, ZEB_E_BAD_BLOCK_SIZE = -15, -20, -21
ZEB_E_LIMIT_TOO_SMALL, ZEB_E_NO_ROOM, ZEB_E_BAD_ARGUMENT = -23, -24, -27
CANARY = 0xA5
SPARE = 48


def encode(ctype, arr, slice_, block_size, nblocks, limit, *, fill=CANARY, big=0, core=False):
    """Runs an encoder on a buffer of limit + SPARE bytes all set to `fill`.

    Returns the result and the whole buffer (stream and the bytes past limit)."""
    name, dtype, _ = CODERS[ctype]
    data = np.ascontiguousarray(arr, dtype=dtype)
    out = C.create_string_buffer(bytes([fill]) * (max(limit, 0) + SPARE), max(limit, 0) + SPARE)
    args = (out, data.ctypes.data, slice_, block_size, nblocks, limit, big)
    r = lib.zeb_encode(ctype, *args) if core else getattr(lib, name)(*args)
    return r, out.raw


def reference(ctype, arr, slice_, block_size, nblocks, starts=None):
    """The stream that the independent builder makes for the same input."""
    vals = [int(v) for v in np.asarray(arr, dtype=CODERS[ctype][1])]
    blocks = [vals[b * block_size:(b + 1) * block_size] for b in range(max(nblocks, 0))]
    stored = min(slice_, 8) if ctype == 1 else slice_
    body = (run_body if ctype in RUN_TYPES else plain_body)(blocks, stored, ctype, starts)
    return stream_header(14 + len(body), nblocks, block_size, stored & 0xFF, ctype) + body


def smallest_limit(ctype, arr, slice_, block_size, nblocks):
    """The smallest limit that works: every byte of the stream lies below it,
    and every code starts in a body byte not beyond limit - 24."""
    starts = []
    size = len(reference(ctype, arr, slice_, block_size, nblocks, starts))
    return max(25, size, 24 + max(starts, default=0) // 8)


def datasets(ctype):
    """Varied inputs of the type's width: (name, elements, block_size)."""
    dtype = CODERS[ctype][1]
    info = np.iinfo(dtype)
    rng = np.random.default_rng(1000 + ctype)
    n = 160
    walk = np.cumsum(rng.integers(-40, 41, n)) + (128 if dtype == np.uint8 else 0)
    stretches = np.concatenate([np.full(k, rng.integers(-3, 4)) for k in (1, 2, 3, 4, 5, 3, 130, 2, 4, 1, 6)])
    sets = [
        ("walk", walk % 256 if dtype == np.uint8 else walk, 40),
        ("constant", np.full(n, info.max // 3), 40),
        ("ramp", np.arange(n) * 3 - 200, 80),
        ("noise", rng.integers(info.min, int(info.max) + 1, n, dtype=np.int64), 32),
        ("extremes", np.resize([info.min, info.max, info.max, info.min, 0, info.max], n), 16),
        ("stretches", np.cumsum(stretches) % 256 if dtype == np.uint8 else np.cumsum(stretches), 161),
        ("one-element blocks", rng.integers(info.min, int(info.max) + 1, 7, dtype=np.int64), 1),
        ("two-element blocks", rng.integers(info.min, int(info.max) + 1, 12, dtype=np.int64), 2),
    ]
    if dtype == np.uint8:
        sets.append(("wrap 254->0", np.arange(0, 200, 2) % 256 + 250, 100))
    return [(name, np.asarray(a).astype(dtype), bs) for name, a, bs in sets]


def all_slices():
    return [(ct, s) for ct, (_, _, top) in CODERS.items() for s in range(top + 1)]


# ---- worked examples ------------------------------------------------------

PLAIN_EXAMPLE = bytes.fromhex(
    "28000000 02000000 04000000 02 00"
    "6400 1F50 0000 0040 9501"
    "FBFF 0C00 0000 3026 0000 0000 80A8 FD01")
RUN_EXAMPLE_1 = bytes.fromhex(
    "27000000 02000000 0C000000 02 02"
    "6400 FD0000 02 1F10 FC0100"
    "0700 04 6D05000000F41E00 FA0000")
RUN_EXAMPLE_2 = bytes.fromhex("15000000 01000000 82000000 03 03 0A 820100 FF0100")
EX_PLAIN = ([100, 103, 90, 900, -5, -5, 300, -300], 2, 4, 2)
EX_RUN_1 = ([100] * 5 + [103, 90, 91, 92, 93, 94, 95, 7, 8, 9, 10] + [1000] * 8, 2, 12, 2)
EX_RUN_2 = (list(range(10, 140)), 3, 130, 1)


@pytest.mark.parametrize("ctype, example, expected, first_ok", [
    (0, EX_PLAIN, PLAIN_EXAMPLE, 42),
    (2, EX_RUN_1, RUN_EXAMPLE_1, 39),
    (3, EX_RUN_2, RUN_EXAMPLE_2, 25),
])
def test_worked_examples_and_their_limits(cio, ctype, example, expected, first_ok):
    arr, slice_, bs, nb = example
    assert reference(ctype, arr, slice_, bs, nb) == expected
    for limit in range(25, first_ok + 20):
        r, out = encode(ctype, arr, slice_, bs, nb, limit)
        if limit >= first_ok:
            assert (r, out[:r]) == (len(expected), expected), limit
        else:
            assert r == -1, limit
        assert out[limit:] == bytes([CANARY]) * SPARE
    assert cio().out == ""


@pytest.mark.parametrize("ctype", CODERS)
def test_limit_24_or_less_prints_and_leaves_stream_alone(cio, ctype):
    for limit in (24, 1, 0, -5):
        r, out = encode(ctype, [1, 2, 3, 4], 5, 4, 1, limit)
        assert r == -1 and out == bytes([CANARY]) * (max(limit, 0) + SPARE)
        assert cio().out == f"limit ({limit}) too small in {NAMES[ctype]}\n"
    # 25 passes that test: a header-only stream fits, a code does not
    assert encode(ctype, [1], 5, 1, 0, 25)[0] == 14
    assert encode(ctype, np.resize([7, 100], 10), 5, 10, 1, 25)[0] == -1
    assert cio().out == ""


@pytest.mark.parametrize("ctype", CODERS)
def test_no_blocks_gives_the_header_alone(ctype):
    for nb in (0, -3):
        r, out = encode(ctype, [], 5, 77, nb, 100)
        assert (r, out[:14]) == (14, stream_header(14, nb, 77, 5, ctype))


# ---- every coder against the reference builder ----------------------------

@pytest.mark.parametrize("ctype, slice_", all_slices())
def test_matches_reference_builder(ctype, slice_):
    for name, arr, bs in datasets(ctype):
        nb = len(arr) // bs
        expected = reference(ctype, arr, slice_, bs, nb)
        r, out = encode(ctype, arr, slice_, bs, nb, len(expected) + 200)
        assert (r, out[:r]) == (len(expected), expected), name


@pytest.mark.parametrize("ctype, values, slice_, expected_codes", [
    # 32-bit extremes: d = -(2^32 - 1), low part 1, escape payload 2^32 + 1
    (4, [2**31 - 1, -2**31], 5, [(1, 5), (1 << 31, 32), (2**32 + 1, 33)]),
    # 8-bit elements are unsigned: 200 -> 7 is -193 (low part 31, h = -7, y = 13)
    (1, [200, 7], 5, [(31, 5), (1 << 13, 14)]),
    # 254 -> 0 is -254: with slice 4 an escape, with slice 5 a plain code
    (3, [254, 0], 4, [(2, 4), (1 << 31, 32), (-254 % 512, 9)]),
    (3, [254, 0], 5, [(2, 5), (1 << 15, 16)]),
    # slice 5 thresholds: 511 plain (y = 30), 512 escape, -480 plain, -481 escape
    (0, [0, 511], 5, [(31, 5), (1 << 30, 31)]),
    (0, [0, 512], 5, [(0, 5), (1 << 31, 32), (512, 17)]),
    (0, [0, -480], 5, [(0, 5), (1 << 29, 30)]),
    (0, [0, -481], 5, [(31, 5), (1 << 31, 32), (-481 % 2**17, 17)]),
])
def test_single_codes(ctype, values, slice_, expected_codes):
    w = BitWriter()
    for value, width in expected_codes:
        w.put(value, width)
    nbytes = {1: 1, 3: 1, 0: 2, 4: 4}[ctype]
    first = (values[0] % (1 << 8 * nbytes)).to_bytes(nbytes, "little")
    count = b"\x01" if ctype in RUN_TYPES else b""
    r, out = encode(ctype, values, slice_, 2, 1, 100)
    assert out[14:r] == first + count + w.tobytes()


@pytest.mark.parametrize("ctype", RUN_TYPES)
@pytest.mark.parametrize("length, counts", [
    (3, None), (4, [253]), (128, [129]), (129, [130, 255]), (130, [129, 255]),
    (256, [129, 129]), (257, [129, 130, 255]),
])
def test_run_pieces(ctype, length, counts):
    # 16-bit: difference -1 throughout; 8-bit: -1 for short runs, else 0
    step = -1 if ctype == 2 or length < 200 else 0
    start = 300 if ctype == 2 else 255
    arr = [start + step * k for k in range(length + 1)]
    r, out = encode(ctype, arr, 3, length + 1, 1, 400)
    body = out[14 + (1 if ctype == 3 else 2):r]
    if counts is None:
        assert body[0] == 3  # one literal segment of three codes
    else:
        assert body == b"".join(bytes([k, step & 0xFF, step & 0xFF]) for k in counts)


@pytest.mark.parametrize("ctype", RUN_TYPES)
def test_128_literals_split_127_plus_1(ctype):
    arr = np.resize([0, 1, 3, 0, 2, 1], 129)  # no four equal neighbouring differences
    r, out = encode(ctype, arr, 2, 129, 1, 1000)
    assert out[:r] == reference(ctype, arr, 2, 129, 1)
    first = 1 if ctype == 3 else 2
    assert out[14 + first] == 127
    w = BitWriter()
    for d in np.diff(arr.astype(int))[:127]:
        put_code(w, int(d), 2, 17 if ctype == 2 else 9)
    second = 14 + first + 1 + len(w.tobytes())
    assert out[second] == 1 and r == second + 1 + 1  # one 3-bit code in one byte
    # the room test of the 128th code comes after its count byte is reserved
    needed = smallest_limit(ctype, arr, 2, 129, 1)
    assert needed == r + 9
    assert encode(ctype, arr, 2, 129, 1, needed - 1)[0] == -1
    assert encode(ctype, arr, 2, 129, 1, needed)[0] == r


# ---- limits, buffer contents, byte order ----------------------------------

@pytest.mark.parametrize("ctype", CODERS)
def test_tight_limits_give_the_stream_or_fail_cleanly(ctype):
    for name, arr, bs in datasets(ctype):
        slice_ = 5
        nb = len(arr) // bs
        expected = reference(ctype, arr, slice_, bs, nb)
        size = len(expected)
        needed = smallest_limit(ctype, arr, slice_, bs, nb)
        bound = lib.zeb_compress_bound(ctype, slice_, bs, nb)
        assert needed <= bound < 2**31
        for limit in list(range(max(25, size - 40), size + 30)) + [bound]:
            r, out = encode(ctype, arr, slice_, bs, nb, limit)
            assert out[limit:] == bytes([CANARY]) * SPARE, (name, limit)
            if limit < needed:
                assert r == -1, (name, limit)
            else:
                assert (r, out[:r]) == (size, expected), (name, limit)


@pytest.mark.parametrize("ctype", CODERS)
def test_without_room_test_fits_exactly(ctype):
    """One-element blocks, and run-length blocks of runs only, need no room
    test: they fit as soon as their bytes do."""
    cases = [(np.arange(9) * 7, 1, 9)]
    if ctype in RUN_TYPES:
        cases.append((np.arange(40) % 10, 10, 4))  # each block one run of 9
    for arr, bs, nb in cases:
        size = len(reference(ctype, arr, 5, bs, nb))
        for limit in range(25, size + 5):
            r, out = encode(ctype, arr, 5, bs, nb, limit)
            assert r == (size if limit >= size else -1)
            assert out[limit:] == bytes([CANARY]) * SPARE


def test_wide_32_bit_code_beyond_limit_fails():
    """A 32-bit escape with slice 32 takes up to 13 bytes, more than the room
    test leaves; it must fail instead of writing past the limit."""
    arr = [0, 2**31 - 1, -2**31, 2**31 - 1, -2**31]
    size = len(reference(4, arr, 32, 5, 1))
    seen = set()
    for limit in range(25, size + 12):
        r, out = encode(4, arr, 32, 5, 1, limit)
        assert r in (-1, size) and out[limit:] == bytes([CANARY]) * SPARE
        seen.add(r)
    assert seen == {-1, size}


@pytest.mark.parametrize("ctype", CODERS)
def test_result_independent_of_buffer_contents(ctype):
    for name, arr, bs in datasets(ctype):
        nb = len(arr) // bs
        a = encode(ctype, arr, 3, bs, nb, 2000, fill=0x00)
        b = encode(ctype, arr, 3, bs, nb, 2000, fill=0xFF)
        assert a[0] > 0 and a[1][:a[0]] == b[1][:b[0]], name


@pytest.mark.parametrize("ctype", CODERS)
def test_big_endian_flag_reverses_header_fields(ctype):
    arr = np.arange(300) * 5 % 97
    little = encode(ctype, arr, 5, 100, 3, 3000)
    big = encode(ctype, arr, 5, 100, 3, 3000, big=1)
    assert big[0] == little[0]
    swapped = b"".join(little[1][k:k + 4][::-1] for k in (0, 4, 8))
    assert big[1][:big[0]] == swapped + little[1][12:little[0]]

@posix_only

def test_reads_no_element_past_the_array():
    """Elements are placed right before an inaccessible page."""
    page = mmap.PAGESIZE
    area = mmap.mmap(-1, 2 * page)
    base = C.addressof(C.c_char.from_buffer(area))
    libc.mprotect.argtypes = [C.c_void_p, C.c_size_t, C.c_int]
    assert libc.mprotect(base + page, page, 0) == 0
    try:
        for ctype, (name, dtype, _) in CODERS.items():
            for arr in (np.zeros(64, dtype), np.arange(64).astype(dtype)):
                for bs in (1, 2, 5, 8, 64):
                    nb = len(arr) // bs
                    used = arr[:nb * bs]
                    at = base + page - used.nbytes
                    C.memmove(at, used.ctypes.data, used.nbytes)
                    out = C.create_string_buffer(4000)
                    r = getattr(lib, name)(out, at, 4, bs, nb, 4000, 0)
                    assert out.raw[:r] == reference(ctype, used, 4, bs, nb)
    finally:
        libc.mprotect(base + page, page, 3)
        del area


# ---- arguments ------------------------------------------------------------

@pytest.mark.parametrize("ctype, slice_, block_size, nblocks, message", [
    (1, -1, 4, 1, "slice (-1) not supported in crunch8\n"),
    (0, 18, 4, 1, "slice (18) not supported in crunch\n"),
    (4, 33, 4, 1, "slice (33) not supported in crunch32\n"),
    (3, 18, 4, 1, "slice (18) not supported in crunchrun8\n"),
    (2, -7, 4, 0, "slice (-7) not supported in crunchrun\n"),
    (0, 5, 0, 1, "block_size below 1 in crunch\n"),
    (2, 5, -4, 2, "block_size below 1 in crunchrun\n"),
    (4, 5, 0, 3, "block_size below 1 in crunch32\n"),
])
def test_bad_arguments(cio, ctype, slice_, block_size, nblocks, message):
    r, out = encode(ctype, [1, 2, 3, 4], slice_, block_size, nblocks, 100)
    assert r == -1 and out == bytes([CANARY]) * (100 + SPARE)
    assert cio().out == message
    status = ZEB_E_BAD_SLICE if "slice" in message else ZEB_E_BAD_BLOCK_SIZE
    assert encode(ctype, [1, 2, 3, 4], slice_, block_size, nblocks, 100, core=True)[0] == status
    assert lib.zeb_compress_bound(ctype, slice_, block_size, nblocks) == -1
    assert cio().out == ""


def test_crunch8_clamps_slice_to_8():
    arr = np.arange(0, 240, 7).astype(np.uint8)
    r8, s8 = encode(1, arr, 8, 35, 1, 500)
    for big_slice in (9, 200, 2**31 - 1):
        r, s = encode(1, arr, big_slice, 35, 1, 500)
        assert (r, s[:r]) == (r8, s8[:r8]) and s[12] == 8


@pytest.mark.parametrize("ctype", [1, 3])
@pytest.mark.parametrize("slice_", range(13))
def test_8bit_core_streams_decode_with_their_header_slice(ctype, slice_):
    """Whatever slice the core coders take for 8-bit data, the stream's own
    header names the one it was coded with, and that one decodes it."""
    rng = np.random.default_rng(slice_)
    for bs in (1, 2, 3, 40):
        arr = rng.integers(0, 256, bs * 4).astype(np.uint8)
        if bs == 2:
            arr[:2] = 0, 37
        bound = lib.zeb_compress_bound(ctype, slice_, bs, 4)
        one = encode(ctype, arr, slice_, bs, 4, bound, core=True)
        threaded = encode_threads(ctype, arr, slice_, bs, 4, bound)
        r, out = one
        assert r > 0 and threaded[0] == r and threaded[1][:r] == out[:r]
        _, hnb, hbs, hslice, hct = struct.unpack("<iiiBB", out[:14])
        assert (hnb, hbs, hslice, hct) == (4, bs, min(slice_, 8) if ctype == 1 else slice_, ctype)
        if ctype == 1 and bs == 2 and slice_ >= 8:
            assert out[14:17] == bytes.fromhex("002501")  # coded exactly as with slice 8
        back = np.zeros_like(arr)
        assert lib.zeb_decode(hct, out[14:r], r - 14, back.ctypes.data, back.size, hslice, hbs, hnb, None) == 0
        assert np.array_equal(back, arr), bs


def encode_threads(ctype, arr, slice_, block_size, nblocks, limit):
    out = C.create_string_buffer(limit)
    r = lib.zeb_encode_threads(ctype, out, arr.ctypes.data, slice_, block_size, nblocks, limit, 0, 2)
    return r, out.raw


def test_block_size_zero_without_blocks_is_header_only():
    for ctype in CODERS:
        assert encode(ctype, [], 5, 0, 0, 30)[0] == 14


def test_core_statuses_print_nothing(cio):
    assert encode(0, [1, 2], 5, 2, 1, 24, core=True)[0] == ZEB_E_LIMIT_TOO_SMALL
    assert encode(0, np.arange(40) * 1000, 5, 40, 1, 30, core=True)[0] == ZEB_E_NO_ROOM
    assert lib.zeb_encode(9, C.create_string_buffer(64), None, 5, 1, 0, 64, 0) == ZEB_E_UNKNOWN_COMPRESSION
    assert lib.zeb_compress_bound(9, 5, 1, 1) == -1
    assert lib.zeb_encode(0, None, None, 5, 4, 1, 64, 0) == ZEB_E_BAD_ARGUMENT
    assert lib.zebcrunch(C.create_string_buffer(64), None, 5, 4, 1, 64, 0) == -1
    assert cio().out == ""


def test_compress_bound_covers_worst_case_and_refuses_overflow():
    for ctype, (_, dtype, top) in CODERS.items():
        info = np.iinfo(dtype)
        worst = np.resize([info.min, info.max], 1000).astype(dtype)
        for slice_, bs in ((0, 1000), (top, 1000), (5, 1), (5, 2), (5, 129)):
            nb = 1000 // bs
            bound = lib.zeb_compress_bound(ctype, slice_, bs, nb)
            assert encode(ctype, worst, slice_, bs, nb, bound)[0] > 0
        assert lib.zeb_compress_bound(ctype, 5, 0, 0) == 25
        assert lib.zeb_compress_bound(ctype, 5, 2**31 - 1, 2**31 - 1) == -1


# ---- round trip through the decoders --------------------------------------

def noisy_frame(dtype, shape=(24, 96)):
    """Smooth structure with Poisson noise of a few tens of counts."""
    rng = np.random.default_rng(7)
    y, x = np.mgrid[0:shape[0], 0:shape[1]]
    level = 120 if dtype == np.uint8 else 900
    smooth = level + 0.4 * level * np.sin(x / 17.0) * np.cos(y / 9.0)
    return rng.poisson(smooth).astype(np.int64).clip(0, 255 if dtype == np.uint8 else None).astype(dtype).ravel()


@pytest.mark.parametrize("ctype, slice_", all_slices())
def test_round_trip_through_decoder(ctype, slice_):
    dtype = CODERS[ctype][1]
    for name, arr, bs in datasets(ctype) + [("frame", noisy_frame(dtype), 96)]:
        nb = len(arr) // bs
        used = arr[:nb * bs]
        r, out = encode(ctype, used, slice_, bs, nb, lib.zeb_compress_bound(ctype, slice_, bs, nb))
        _, hnb, hbs, hslice, hct = struct.unpack("<iiiBB", out[:14])
        back = np.zeros(nb * bs, dtype)
        status = lib.zeb_decode(hct, out[14:r], r - 14, back.ctypes.data, back.size, hslice, hbs, hnb, None)
        assert status == 0 and np.array_equal(back, used), name
