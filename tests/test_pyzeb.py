"""The pyzeb package: round trips, header-only reads, memory maps, errors, atomic writes, threads."""
import errno
import io
import os
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import _pyzeb
import pyzeb
from f0build import f0_file, stream_header
from platforms import posix_only

DTYPES = ["i1", "i2", "i4", "i8", "f4", "f8", "u1", "u2", "u4", "u8", "?"]
SHAPES = [(), (7,), (3, 5), (2, 3, 4), (1,) * 15 + (3,), (0, 4)]


def sample(dtype, shape, seed=0):
    rng = np.random.default_rng(seed)
    dt = np.dtype(dtype)
    if dt.kind == "f":
        return (rng.standard_normal(shape) * 100).astype(dt)
    if dt.kind == "b":
        return rng.integers(0, 2, size=shape).astype(dt)
    if dt.kind == "u":  # the whole range, the values that are negative as signed included
        return rng.integers(0, np.iinfo(dt).max, size=shape, dtype=dt.newbyteorder("="), endpoint=True).astype(dt)
    lim = min(np.iinfo(dt).max, 1000)
    return rng.integers(-lim, lim, size=shape).astype(dt)


@pytest.mark.parametrize("compress", [True, False, 3])
@pytest.mark.parametrize("shape", SHAPES, ids=str)
@pytest.mark.parametrize("order", "<>")
@pytest.mark.parametrize("dtype", DTYPES)
def test_round_trip(tmp_path, dtype, order, shape, compress):
    a = sample(order + dtype, shape)
    p = tmp_path / "a.f0"
    metadata = {"shape": list(shape)} if compress is True else None
    pyzeb.write(p, a, compress=compress, header="round trip", metadata=metadata)
    b = pyzeb.read(p)
    assert b.shape == shape and b.dtype == np.dtype(dtype) and b.dtype.isnative
    assert b.flags.owndata and b.flags.c_contiguous
    assert np.array_equal(a, b)
    assert pyzeb.encode(a, compress=compress, header="round trip", metadata=metadata) == p.read_bytes()
    assert np.array_equal(pyzeb.decode(p.read_bytes()), a)
    h = pyzeb.read_header(p)
    assert (h.dtype, h.metadata, h.checksum) == (b.dtype, metadata or {}, True)
    with open(p, "rb") as f:
        assert np.array_equal(pyzeb.read(f), a)
    if not h.compressed and a.size:
        assert pyzeb.memmap(p).dtype == b.dtype and np.array_equal(pyzeb.memmap(p), a)
    # the compatibility reader takes every file pyzeb writes: the same bits, as the signed type
    fz = _pyzeb.fzread(str(p))["data"].reshape(shape)
    assert fz.dtype.kind in "if" and np.array_equal(fz.view(b.dtype), a)


def test_views_and_any_layout_store_the_values(tmp_path):
    a = np.arange(60, dtype=">i4").reshape(3, 4, 5)[:, ::2, ::-1].transpose(2, 0, 1)
    pyzeb.write(tmp_path / "v.f0", a)
    assert np.array_equal(pyzeb.read(tmp_path / "v.f0"), a)


@pytest.mark.parametrize("data,compress", [
    (np.arange(4096, dtype=np.int16).reshape(64, 64), True),
    (np.zeros((32, 8), np.int8), 2),
    (sample("i4", (16, 16)), False),
    (sample("f8", (5, 5)), True),
])
def test_header_only_read_matches_the_file(tmp_path, data, compress):
    p = tmp_path / "h.f0"
    pyzeb.write(p, data, compress=compress, header="h\u00e9")
    h = pyzeb.read_header(p)
    size = p.stat().st_size
    assert (h.shape, h.dtype, h.text, h.header_blocks, h.data_offset) == (data.shape, data.dtype, "h\u00e9", 2, 1024)
    assert (h.data_size, h.byteorder, h.checksum, h.metadata) == (size - 1024, "<", True, {})
    assert h.compressed == (h.data_size < data.nbytes) and (h.slice is None) == (not h.compressed)
    if compress is not True and h.compressed:
        assert h.slice == compress
    assert h == pyzeb.read_header(io.BytesIO(p.read_bytes())) == pyzeb.read_header(os.fsencode(p))


def test_big_endian_file_header_and_memmap(tmp_path):
    a = np.arange(12, dtype=">i2").reshape(3, 4)
    p = tmp_path / "be.f0"
    p.write_bytes(f0_file(1, [4, 3], a.tobytes(), flags=0x80, header_blocks=2))
    h = pyzeb.read_header(p)
    assert (h.byteorder, h.header_blocks, h.data_offset, h.dtype) == (">", 2, 1024, np.dtype("i2"))
    m = pyzeb.memmap(p)
    assert m.dtype == np.dtype(">i2") and np.array_equal(m, a) and np.array_equal(pyzeb.read(p), a)


def test_memmap_modes(tmp_path):
    p = tmp_path / "m.f0"
    pyzeb.write(p, np.zeros((4, 6), np.float32), compress=False)
    m = pyzeb.memmap(p, mode="r+")
    m[1, 2] = 5
    m.flush()
    del m
    assert pyzeb.read(p)[1, 2] == 5
    c = pyzeb.memmap(p, mode="c")
    c[0, 0] = 7
    assert pyzeb.read(p)[0, 0] == 0
    with pytest.raises(ValueError):
        pyzeb.memmap(p, mode="w+")
    pyzeb.write(p, np.zeros((64, 64), np.int16))
    with pytest.raises(pyzeb.FormatError, match="pyzeb.read"):
        pyzeb.memmap(p)


def damaged(path):
    body = bytes([0xFF]) * 2 + bytes(40)
    path.write_bytes(f0_file(1, [8, 2], stream_header(14 + len(body), 2, 8, 3, 0) + body, flags=1))


@pytest.mark.parametrize("make,call,exc", [
    (None, pyzeb.read, FileNotFoundError),
    (None, pyzeb.read_header, FileNotFoundError),
    (lambda p: p.mkdir(), pyzeb.read, IsADirectoryError),
    (lambda p: p.write_bytes(b"not an F0 file" * 50), pyzeb.read, pyzeb.FormatError),
    (lambda p: p.write_bytes(b"short"), pyzeb.read_header, pyzeb.FormatError),
    (lambda p: p.write_bytes(f0_file(1, [100], bytes(50))), pyzeb.read, pyzeb.FormatError),
    (lambda p: p.write_bytes(f0_file(1, [100], bytes(50))), lambda p: pyzeb.memmap(p), pyzeb.FormatError),
    (damaged, pyzeb.read, pyzeb.FormatError),
    (lambda p: p.write_bytes(f0_file(9, [4], bytes(4))), pyzeb.read, pyzeb.FormatError),
])
def test_read_errors(tmp_path, make, call, exc):
    p = tmp_path / "x.f0"
    if make:
        make(p)
    with pytest.raises(exc) as info:
        call(p)
    assert info.value.filename == str(p)
    if issubclass(exc, OSError):
        assert info.value.errno in (errno.ENOENT, errno.EISDIR)
    assert isinstance(info.value, ValueError) == (exc is pyzeb.FormatError)


@pytest.mark.parametrize("array,kw,exc,match", [
    (np.zeros(3, np.uint16), {"checksum": False}, ValueError, "uint16 is stored as int16.*checksum=False"),
    (np.zeros(3, bool), {"checksum": False}, ValueError, "bool is stored as int8"),
    (np.zeros(3, np.int8), {"checksum": False, "metadata": {"a": 1}}, ValueError, "metadata.*checksum=False"),
    (np.zeros(3, np.float16), {}, TypeError, "float16.*int64, uint8, uint16, uint32, uint64, bool, float32"),
    (np.zeros(3, complex), {}, TypeError, "complex"),
    (np.array(["a"]), {}, TypeError, "<U1"),
    (np.zeros((1,) * 17, np.int8), {}, ValueError, "17 dimensions"),
    (np.broadcast_to(np.int8(0), (2**31,)), {}, ValueError, "axis 0"),
    (np.broadcast_to(np.int16(0), (2**30, 2)), {}, ValueError, "bytes"),
    (np.zeros(3, np.int8), {"header": "x" * 256}, ValueError, "256 bytes"),
    (np.zeros(3, np.int8), {"header": "\u00e9" * 128}, ValueError, "256 bytes"),
    (np.zeros(3, np.int8), {"compress": 33}, ValueError, "slice"),
    (np.zeros(3, np.int8), {"threads": 0}, ValueError, "threads"),
])
def test_write_refusals_touch_nothing(tmp_path, array, kw, exc, match):
    p = tmp_path / "r.f0"
    with pytest.raises(exc, match=match):
        pyzeb.write(p, array, **kw)
    assert not p.exists()


def test_write_errors_are_os_errors(tmp_path):
    with pytest.raises(FileNotFoundError) as info:
        pyzeb.write(tmp_path / "missing" / "a.f0", np.zeros(3, np.int8))
    assert info.value.filename == str(tmp_path / "missing" / "a.f0")
    with pytest.raises(IsADirectoryError):
        pyzeb.write(tmp_path, np.zeros(3, np.int8))


def test_failed_write_keeps_the_earlier_file(small_tmpfs):
    p = small_tmpfs / "keep.f0"
    pyzeb.write(p, np.arange(100, dtype=np.int16), header="earlier")
    before = p.read_bytes()
    noise = np.random.default_rng(1).integers(-30000, 30000, 200_000).astype(np.int16)
    with pytest.raises(OSError) as info:
        pyzeb.write(p, noise)
    assert info.value.errno == errno.ENOSPC
    assert p.read_bytes() == before and os.listdir(small_tmpfs) == ["keep.f0"]

@posix_only

def test_new_file_permissions_follow_the_umask(tmp_path):
    old = os.umask(0o027)
    try:
        pyzeb.write(tmp_path / "p.f0", np.zeros(2, np.int8))
    finally:
        os.umask(old)
    assert (tmp_path / "p.f0").stat().st_mode & 0o777 == 0o640


def frames():
    rng = np.random.default_rng(7)
    y, x = np.mgrid[0:128, 0:96]
    smooth = 1000 + 300 * np.sin(x / 17) * np.cos(y / 23)
    sparse = np.zeros((128, 96), np.int16)
    sparse[rng.integers(0, 128, 40), rng.integers(0, 96, 40)] = rng.integers(1, 500, 40)
    return {
        "noise16": rng.poisson(smooth).astype(np.int16),
        "lownoise8": (rng.poisson(3, (128, 96)) + 20).astype(np.int8),
        "sparse16": sparse,
        "wide32": (rng.poisson(smooth * 50) + 10**6).astype(np.int32),
        "float32": (smooth + rng.standard_normal(smooth.shape)).astype(np.float32),
        "constant8": np.full((64, 64), 3, np.int8),
        "white16": rng.integers(-32768, 32767, (64, 64)).astype(np.int16),
    }


@pytest.mark.parametrize("name", list(frames()))
def test_automatic_choice_is_never_larger_than_slice_5_or_raw(tmp_path, name):
    a = frames()[name]
    best = len(pyzeb.encode(a))
    assert best <= len(pyzeb.encode(a, compress=5)) and best <= len(pyzeb.encode(a, compress=False))
    pyzeb.write(tmp_path / "a.f0", a)
    assert np.array_equal(pyzeb.read(tmp_path / "a.f0"), a)
    assert np.array_equal(_pyzeb.fzread(str(tmp_path / "a.f0"))["data"], a)


def test_threaded_reads_equal_serial_reads(tmp_path):
    paths = []
    for i in range(24):
        paths.append(tmp_path / f"{i}.f0")
        pyzeb.write(paths[-1], sample("i2", (64, 80), seed=i) + 3000)
    serial = [pyzeb.read(p) for p in paths]
    with ThreadPoolExecutor(4) as pool:
        threaded = list(pool.map(pyzeb.read, paths))
    assert all(np.array_equal(s, t) for s, t in zip(serial, threaded))


def test_non_utf8_text_survives_a_round_trip(tmp_path):
    p = tmp_path / "t.f0"
    p.write_bytes(f0_file(0, [2], b"\x01\x02", text=b"caf\xe9"))
    h = pyzeb.read_header(p)
    assert h.text == "caf\udce9"
    pyzeb.write(p, pyzeb.read(p), header=h.text)
    assert p.read_bytes()[256:261] == b"caf\xe9\0"


def test_warnings_not_prints(tmp_path, capfd):
    # a stream claiming more blocks than the array holds: read, with a warning
    body = bytes([0, 0]) + bytes(8)
    p = tmp_path / "w.f0"
    p.write_bytes(f0_file(1, [1, 1], stream_header(14 + len(body), 3, 1, 0, 0) + body, flags=1))
    with pytest.warns(pyzeb.FormatWarning, match="blocks"):
        pyzeb.read(p)
    bad = tmp_path / "bad.f0"
    bad.write_bytes(b"x" * 600)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for call in (pyzeb.read, pyzeb.read_header, lambda q: pyzeb.write(q, np.zeros(2, np.int16))):
            call(p)
        with pytest.raises(pyzeb.FormatError):
            pyzeb.read(bad)
    assert capfd.readouterr() == ("", "")
