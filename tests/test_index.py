"""The seek index: block offsets recorded while encoding, decoding in the
index's pieces on several threads, and indexes that lie (the tests run with
ZEB_PARALLEL_MIN_BYTES=0, so small arrays take the threaded paths too)."""
import ctypes as C
import json
import struct

import numpy as np
import pytest

import pyzeb
from clib import DecodeInfo, lib
from pyzeb import _core
from test_encode import CODERS, noisy_frame

BAD_INDEX = -35
SHAPES = [(40, 96), (33, 7), (17, 1), (64, 300), (300, 16)]  # rows x row length: blocks are rows


def encode_indexed(ctype, arr, bs, every, threads):
    nb = arr.size // bs
    bound = lib.zeb_compress_bound(ctype, 5, bs, nb)
    out = C.create_string_buffer(bound)
    offsets = (C.c_int64 * max(1, (nb - 1) // every))()
    n = lib.zeb_encode_indexed(ctype, out, arr.ctypes.data, 5, bs, nb, bound, threads, every, offsets)
    assert n > 0
    return out.raw[:n], list(offsets[:(nb - 1) // every])


def decode(ctype, body, arr_like, bs, every, offsets, threads=2, count=None):
    nb = arr_like.size // bs
    out = np.full_like(arr_like, 0x5A)
    offs = (C.c_int64 * max(1, len(offsets)))(*offsets)
    info = DecodeInfo()
    st = lib.zeb_decode_indexed(ctype, body, len(body), out.ctypes.data, out.size, 5, bs, nb, every, offs,
                                len(offsets) if count is None else count, threads, C.byref(info))
    return st, out, info


def case(ctype, shape):
    dtype = CODERS[ctype][1]
    rows, bs = shape
    return np.ascontiguousarray(np.resize(noisy_frame(dtype, (max(rows, 24), max(bs, 96))), rows * bs)), bs


@pytest.mark.parametrize("ctype", CODERS)
@pytest.mark.parametrize("shape", SHAPES)
def test_pieces_match_the_serial_coder_and_decoder(ctype, shape):
    arr, bs = case(ctype, shape)
    nb = arr.size // bs
    bound = lib.zeb_compress_bound(ctype, 5, bs, nb)
    ref = C.create_string_buffer(bound)
    size = lib.zeb_encode(ctype, ref, arr.ctypes.data, 5, bs, nb, bound, 0)
    for every in sorted({1, 3, max(1, nb // 4), nb}):
        for threads in (1, 2, 3):
            stream, offsets = encode_indexed(ctype, arr, bs, every, threads)
            assert stream == ref.raw[:size]
            body = stream[14:]
            # each offset is where a serial decoding of the blocks before it ends
            for i, off in enumerate(offsets):
                info = DecodeInfo()
                blocks = (i + 1) * every
                scratch = np.empty(blocks * bs, arr.dtype)
                assert lib.zeb_decode(ctype, body, len(body), scratch.ctypes.data, scratch.size, 5, bs, blocks,
                                      C.byref(info)) == 0
                assert info.used == off
            st, out, info = decode(ctype, body, arr, bs, every, offsets, threads)
            assert st == 0 and np.array_equal(out, arr)
            assert info.elements == arr.size


def lies(offsets, body_len):
    """Indexes that do not describe the stream: (name, offsets, count)."""
    o = list(offsets)
    yield "count one short", o[:-1], None
    yield "count one long", o + [body_len - 1], None
    yield "first at zero", [0] + o[1:], None
    yield "beyond the body", o[:-1] + [body_len + 5], None
    yield "at the body's end", o[:-1] + [body_len], None
    if len(o) >= 2:
        yield "out of order", [o[1], o[0]] + o[2:], None
        yield "repeated", [o[0], o[0]] + o[2:], None
    for i in {0, len(o) // 2, len(o) - 1}:
        for d in (-3, -1, 1, 2, 7):
            if 0 < o[i] + d < body_len:
                yield f"entry {i} moved by {d}", o[:i] + [o[i] + d] + o[i + 1:], None
    yield "all shifted", [x + 1 for x in o], None


@pytest.mark.parametrize("ctype", CODERS)
def test_indexes_that_lie_are_refused(ctype):
    arr, bs = case(ctype, (40, 96))
    nb = arr.size // bs
    every = 4
    stream, offsets = encode_indexed(ctype, arr, bs, every, 2)
    body = stream[14:]
    for name, offs, count in lies(offsets, len(body)):
        for threads in (1, 2):
            st, out, _ = decode(ctype, body, arr, bs, every, offs, threads, count)
            assert st < 0, name
    # a wrong spacing, and a truncated body
    assert decode(ctype, body, arr, bs, every + 1, offsets)[0] == BAD_INDEX
    for cut in (1, len(body) // 3, len(body) - offsets[-1]):
        st, _, info = decode(ctype, body[:-cut], arr, bs, every, [o for o in offsets if o < len(body) - cut])
        assert st < 0
    assert nb > every


@pytest.mark.parametrize("ctype", CODERS)
def test_failures_match_the_serial_decoder(ctype):
    """A damaged body fails where, and as, the serial decoder fails."""
    arr, bs = case(ctype, (40, 96))
    stream, offsets = encode_indexed(ctype, arr, bs, 5, 1)
    body = bytearray(stream[14:])
    rng = np.random.default_rng(ctype)
    nb = arr.size // bs
    for at in rng.integers(0, len(body), 40):
        bad = bytearray(body)
        bad[at] ^= 0xFF
        bad = bytes(bad)
        ref = DecodeInfo()
        scratch = np.empty_like(arr)
        st_ref = lib.zeb_decode(ctype, bad, len(bad), scratch.ctypes.data, scratch.size, 5, bs, nb, C.byref(ref))
        st, out, info = decode(ctype, bad, arr, bs, 5, offsets)
        if st == 0:  # the damage decodes to other values, with every piece ending in place
            assert st_ref == 0 and np.array_equal(out, scratch)
        elif st != BAD_INDEX:
            assert (st, info.block, info.byte_index, info.elements) == (st_ref, ref.block, ref.byte_index,
                                                                        ref.elements)


# ---- files ------------------------------------------------------------------

def sections(image):
    """{type: (offset of the body in the file, body)} of a file's record."""
    rec = image[512:512 * image[6]]
    begin, length = struct.unpack_from("<HI", rec, 10)
    out, at = {}, begin
    while at < length:
        t, _, n = struct.unpack_from("<HHI", rec, at)
        out[t] = (512 + at + 8, rec[at + 8:at + 8 + n])
        at += 8 + n
    return out


def reseal(image):
    """The record's own CRC renewed after its bytes were changed."""
    b = bytearray(image)
    length = struct.unpack_from("<I", b, 512 + 12)[0]
    b[512 + 20:512 + 24] = bytes(4)
    b[512 + 20:512 + 24] = struct.pack("<I", lib.zeb_crc32c(0, bytes(b[512:512 + length]), length))
    return bytes(b)


def frame(dtype, shape=(512, 1024)):
    return noisy_frame(np.dtype(dtype).type, shape).reshape(shape)


@pytest.mark.parametrize("dtype", [np.int16, np.uint8, np.int32, np.float32, np.uint16])
def test_files_get_an_index_and_read_the_same_on_any_thread_count(dtype):
    a = frame(dtype)
    image = pyzeb.encode(a)
    every, count = struct.unpack_from("<4I", sections(image)[4][1])[1:3]
    assert count >= 2 and count * every < a.shape[0] <= (count + 1) * every
    for threads in (None, 1, 2, 5):
        assert np.array_equal(pyzeb.decode(image, threads=threads), a)


def test_small_and_unindexed_files_read_as_before(tmp_path):
    small = frame(np.int16, (8, 64))
    assert 4 not in sections(pyzeb.encode(small))  # below one index step
    a = frame(np.int16)
    plain = pyzeb.encode(a, checksum=False)  # no record: the classic file
    assert plain[6] == 1 and np.array_equal(pyzeb.decode(plain, threads=2), a)
    path = tmp_path / "a.f0"
    pyzeb.write(path, a, threads=2)
    assert np.array_equal(pyzeb.read(path, threads=2), a)
    with pytest.raises(ValueError):
        pyzeb.read(path, threads=0)


def plain_metadata(a, meta):
    """The F0 image of int16 `a` with `meta` as one plain metadata section
    (pyzeb.encode would deflate metadata this large)."""
    text = json.dumps(meta, separators=(",", ":")).encode()
    return _core.encode(a, 1, a.shape[::-1], b"", _core.COMPRESS_AUTO, 0, True, 0, text)


def test_large_metadata_thin_the_index():
    a = frame(np.int16)
    full = struct.unpack_from("<4I", sections(pyzeb.encode(a))[4][1])
    meta = {"notes": "x" * 7569}  # leaves room for 2 entries
    image = plain_metadata(a, meta)
    s = sections(image)
    thin = struct.unpack_from("<4I", s[4][1])
    assert json.loads(s[3][1]) == meta
    assert thin[2] == 2 < full[2] and thin[1] % full[1] == 0 and len(s[4][1]) == 16 + 4 * thin[2]
    assert np.array_equal(pyzeb.decode(image, threads=2), a)
    too_much = {"notes": "x" * (int(lib.zeb_record_metadata_max(0)) - 14)}
    image = plain_metadata(a, too_much)
    assert 4 not in sections(image) and np.array_equal(pyzeb.decode(image), a)


@pytest.mark.parametrize("verify", [True, False])
def test_a_lying_index_in_a_file_raises_format_error(verify):
    a = frame(np.int16)
    image = pyzeb.encode(a)
    at, body = sections(image)[4]
    entry = at + 16 + 4  # the second offset
    off = struct.unpack_from("<I", image, entry)[0]
    for value in (off + 1, off - 1, 0, 2**31, struct.unpack_from("<I", image, entry + 4)[0]):
        bad = bytearray(image)
        struct.pack_into("<I", bad, entry, value)
        for threads in (1, 2):
            with pytest.raises(pyzeb.FormatError, match="seek index"):
                pyzeb.decode(reseal(bad), verify=verify, threads=threads)
    # unsealed, the record is damaged: refused when verifying
    bad = bytearray(image)
    struct.pack_into("<I", bad, entry, off + 1)
    if verify:
        with pytest.raises(pyzeb.FormatError):
            pyzeb.decode(bytes(bad))
    # a section that cannot hold its entries damages the record
    bad = bytearray(image)
    struct.pack_into("<I", bad, at + 8, len(body))
    with pytest.raises(pyzeb.FormatError):
        pyzeb.decode(reseal(bad), verify=True)


def test_truncated_indexed_files_are_refused(tmp_path):
    a = frame(np.int16)
    image = pyzeb.encode(a)
    path = tmp_path / "t.f0"
    for cut in (1, 1000, len(image) // 2):
        path.write_bytes(image[:-cut])
        for threads in (1, 2):
            with pytest.raises(pyzeb.FormatError):
                pyzeb.read(path, threads=threads)
            with pytest.raises(pyzeb.FormatError):
                pyzeb.read(path, verify=False, threads=threads)


@pytest.mark.parametrize("lie", [False, True])
def test_checksum_renewal_keeps_a_sound_index(tmp_path, lie):
    import os
    a = frame(np.int16)
    image = pyzeb.encode(a)
    at, body = sections(image)[4]
    if lie:
        bad = bytearray(image)
        struct.pack_into("<I", bad, at + 16, struct.unpack_from("<I", image, at + 16)[0] + 1)
        image = reseal(bad)
    path = tmp_path / "r.f0"
    path.write_bytes(image)
    fd = os.open(path, os.O_RDWR)
    try:
        assert lib.zeb_mark_unchecked(fd, None, None) == 0
    finally:
        os.close(fd)
    action = C.c_int32()
    assert lib.zeb_checksum_file(bytes(path), 0, C.byref(action), None, None) == 0 and action.value == 2
    renewed = path.read_bytes()
    assert (4 in sections(renewed)) == (not lie)
    if not lie:
        assert sections(renewed)[4][1] == body
    assert np.array_equal(pyzeb.read(path, threads=2), a)
