"""Writing F0 files: the writers' bytes, the compressed fall-backs, fzwrite and round trips."""
import ctypes as C
import os
import re
import struct

import numpy as np
import pytest

import _pyzeb
from clib import buf, lib
from f0build import f0_header, plain_body, stream_header
from platforms import linux_only, posix_only


def c_dims(dims):
    return (C.c_int32 * max(len(dims), 1))(*dims)


def fzwrite_c(path, data, dims, text, typ, slice_=None):
    arr = np.ascontiguousarray(data)
    args = (arr.ctypes.data, str(path).encode(), c_dims(dims), len(dims), text, typ)
    return lib.zeb_fzwrite(*args) if slice_ is None else lib.zeb_fcwrite(*args, slice_)


def test_raw_writer_worked_example(tmp_path):
    p = tmp_path / "a.f0"
    data = np.array([1, -2, 300, 4, 5, -32768], "<i2")
    assert fzwrite_c(p, data, [3, 2], b"abc", 1) == 0
    assert p.read_bytes() == f0_header(1, [3, 2], text="abc", data_size=12) + data.tobytes()


@pytest.mark.parametrize("text,field", [
    (None, bytes(256)), (b"t" * 300, b"t" * 255 + b"\0"), (b"u" * 255, b"u" * 255 + b"\0"), (b"", bytes(256))])
def test_header_text_field(tmp_path, text, field):
    p = tmp_path / "t.f0"
    assert fzwrite_c(p, np.zeros(1, "i1"), [1], text, 0) == 0
    assert p.read_bytes()[256:512] == field


def test_zero_dimensions_write_one_element(tmp_path):
    p = tmp_path / "z.f0"
    assert fzwrite_c(p, np.array([7.5]), [], b"", 4) == 0
    raw = p.read_bytes()
    assert len(raw) == 520 and struct.unpack("<i", raw[10:14])[0] == 8 and raw[8] == 0


@pytest.mark.parametrize("data,stdout,stderr", [
    (np.full(8, 1000, "<i2"), "limit (24) too small in crunch\n",
     "zeb_fcwrite: warning: not enough space allocated (24 bytes) for compressed array, trying uncompressed!\n"),
    # 9 elements pass the limit test but the fourth code already starts beyond limit - 24
    (np.full(9, 1000, "<i2"), "",
     "zeb_fcwrite: warning: not enough space allocated (27 bytes) for compressed array, trying uncompressed!\n"),
    # differences of +-240 take 20 and 21 bits: larger than raw, yet within one and a half times it
    (np.tile(np.array([0, 240], "<i2"), 50), "",
     "zeb_fcwrite: warning: compressed data (270 bytes) larger than raw data (200 bytes), "
     "writing uncompressed!\n"),
])
def test_compressed_writer_falls_back_to_raw(tmp_path, cio, data, stdout, stderr):
    p = tmp_path / "f.f0"
    n = data.size
    assert fzwrite_c(p, data, [n], b"x", 1, 5) == 0
    out = cio()
    assert (out.out, out.err) == (stdout, stderr)
    assert p.read_bytes() == f0_header(1, [n], text="x", data_size=2 * n) + data.tobytes()
    if n == 100:
        assert 14 + len(plain_body([[int(v) for v in data]], 5, 0)) == 270


@pytest.mark.parametrize("dtype,typ,ctype", [("<i1", 0, 1), ("<i2", 1, 0), ("<i4", 2, 4), ("<f4", 3, 4)])
def test_compressed_file_layout(tmp_path, dtype, typ, ctype):
    p = tmp_path / "c.f0"
    ints = np.arange(600) % 50 + (0x3F800000 if dtype == "<f4" else 0)  # float32: neighbouring bit patterns
    data = ints.astype("<i" + dtype[-1]).view(dtype).reshape(20, 30)
    assert fzwrite_c(p, data, [30, 20], b"", typ, 5) == 0
    raw = p.read_bytes()
    size = struct.unpack("<i", raw[10:14])[0]
    assert raw[4] == 1 and raw[7] == typ and len(raw) == 512 + size
    assert raw[512:526][4:] == stream_header(size, 20, 30, 5, ctype)[4:]
    assert struct.unpack("<i", raw[512:516])[0] == size < data.nbytes
    np.testing.assert_array_equal(_pyzeb.fzread(str(p))["data"], data)


@pytest.mark.parametrize("typ", [4, 5])
def test_compressed_writer_unsupported_type(tmp_path, cio, typ):
    p = tmp_path / "u.f0"
    assert fzwrite_c(p, np.zeros(4), [4], b"", typ, 5) == -1
    assert p.exists() and p.stat().st_size == 0
    assert cio().err == "zeb_fcwrite: warning: FCWRITE: unsupported variable type.\n"


@pytest.mark.parametrize("dims", [[], [0, 5]])
def test_compressed_writer_without_blocks_writes_raw(tmp_path, cio, dims):
    p = tmp_path / "r.f0"
    n = int(np.prod(dims)) if dims else 1
    assert fzwrite_c(p, np.ones(max(n, 1), "<i2"), dims, b"", 1, 5) == 0
    raw = p.read_bytes()
    assert raw[4] == 0 and len(raw) == 512 + 2 * n and cio().err == ""


@pytest.mark.parametrize("dims,dim_count", [([1] * 17, 17), ([4, -1], 2), ([65536, 32768], 2)])
def test_writers_refuse_what_a_file_cannot_hold(tmp_path, cio, dims, dim_count):
    p = tmp_path / "bad.f0"
    data = np.zeros(4, "<i2")
    arr = (C.c_int32 * len(dims))(*dims)
    assert lib.zeb_fzwrite(data.ctypes.data, str(p).encode(), arr, dim_count, None, 1) == -1
    assert lib.zeb_fcwrite(data.ctypes.data, str(p).encode(), arr, dim_count, None, 1, 5) == -1
    assert not p.exists() and "cannot write file" in cio().err

@linux_only

def test_writers_report_system_errors(tmp_path, cio):
    data = np.zeros(1000, "<i2")
    missing = tmp_path / "no" / "such.f0"
    for fn in (lambda p: fzwrite_c(p, data, [1000], b"", 1), lambda p: fzwrite_c(p, data, [1000], b"", 1, 5)):
        assert fn(missing) == -1
        assert f'could not open file "{missing}" for writing: No such file or directory!' in cio().err
        assert fn("/dev/full") == -1
        assert 'could not write file "/dev/full": No space left on device!' in cio().err


# ---- fzwrite -------------------------------------------------------------------

def roundtrip(tmp_path, array, *args):
    p = str(tmp_path / "rt.f0")
    assert _pyzeb.fzwrite(p, array, *args) == 1
    return _pyzeb.fzread(p)


@pytest.mark.parametrize("compress", [1, 0])
@pytest.mark.parametrize("shape", [(2, 3, 4), (1, 1), (17,), (64, 33), (3, 1, 200)])
@pytest.mark.parametrize("dtype", ["i1", "i2", "f4"])
def test_round_trip_random(tmp_path, dtype, shape, compress):
    rng = np.random.default_rng(hash((dtype, shape)) % 2**32)
    if dtype == "f4":
        a = rng.standard_normal(shape).astype("f4")
    else:
        info = np.iinfo(dtype)
        a = rng.integers(info.min, info.max, shape, endpoint=True).astype(dtype)
        if a.size > 4:
            a.flat[:4] = [info.min, info.max, info.min, 0]
    r = roundtrip(tmp_path, a, compress)
    assert r["data"].dtype == a.dtype and r["data"].shape == a.shape
    assert r["data"].tobytes() == a.tobytes()


def test_round_trip_float_bit_patterns(tmp_path):
    bits = np.array([0x7FC00001, 0xFFC12345, 0x7F800001, 0x80000000, 0x00000001, 0x7F7FFFFF] * 20, "<u4")
    for compress in (1, 0):
        r = roundtrip(tmp_path, bits.view("<f4").reshape(10, 12), compress)
        assert r["data"].view("<u4").tobytes() == bits.tobytes()
    d = np.array([np.nan, -0.0, np.inf, 5e-324], "f8")
    d[0] = np.frombuffer(struct.pack("<Q", 0x7FF8000000000123), "f8")[0]
    assert roundtrip(tmp_path, d, 0)["data"].tobytes() == d.tobytes()


def test_smooth_int16_compresses(tmp_path):
    y, x = np.mgrid[0:256, 0:256]
    a = (1000 + 3 * x + 2 * y + np.random.default_rng(1).integers(-20, 20, (256, 256))).astype("i2")
    p = str(tmp_path / "s.f0")
    _pyzeb.fzwrite(p, a)
    assert os.path.getsize(p) < a.nbytes / 1.5
    np.testing.assert_array_equal(_pyzeb.fzread(p)["data"], a)


def test_views_and_byte_order_are_written_as_values(tmp_path):
    base = np.arange(60, dtype="i2").reshape(6, 10)
    for view in (base.T, base[::2, 1::3], base.astype(">i2"), base.astype(">f4").T):
        r = roundtrip(tmp_path, view)
        np.testing.assert_array_equal(r["data"], view)
        assert r["data"].shape == view.shape


def test_default_header_and_trace(tmp_path, monkeypatch, cio):
    monkeypatch.chdir(tmp_path)
    a = np.zeros((2, 3, 4), "i2")
    assert _pyzeb.fzwrite("x.f0", a) == 1
    r = _pyzeb.fzread("x.f0")
    assert re.fullmatch(r"#x\.f0 {38} compress=1 date=\d\d:\d\d:\d\d\.\d{3}\n", r["header"]["header"])
    assert len(r["header"]["header"]) == 73 and r["header"]["dims"] == (4, 3)
    _pyzeb.fzwrite("é.f0", a)  # the name is padded to 42 bytes, not characters
    assert len(_pyzeb.fzread("é.f0")["header"]["header"].encode()) == 73
    for c in (0, 2, -1):
        _pyzeb.fzwrite("y.f0", a, c)
        assert f" compress={c} date=" in _pyzeb.fzread("y.f0")["header"]["header"]
        assert (tmp_path / "y.f0").read_bytes()[4] == 0  # raw
    cio()
    _pyzeb.fzwrite("z.f0", a, 1, "hello", 1)
    assert cio().out == (
        "pyzeb_fzwrite(): Header: 'hello'\npyzeb_fzwrite(): Found type PyArray_INT16\n"
        "pyzeb_fzwrite(): pyarray datatype is 3, zeb datatype is 1\npyzeb_fzwrite(): Dimensions:  4 3 2\n"
        "pyzeb_fzwrite(): Total is 3-dimensional\npyzeb_fzwrite(): Compress: 1\n")


@pytest.mark.parametrize("array,compress,exc,message", [
    (np.zeros(3, "f8"), 1, RuntimeError, "In pyzeb_fzwrite: datatype requested cannot be compressed."),
    (np.zeros(3, "i4"), 0, ValueError, "In pyzeb_fzwrite: datatype cannot be stored as ZEB file."),
    (np.zeros(3, "i8"), 0, ValueError, "In pyzeb_fzwrite: datatype cannot be stored as ZEB file."),
    (np.zeros(3, "u1"), 0, ValueError, "In pyzeb_fzwrite: datatype cannot be stored as ZEB file."),
    (np.zeros(3, "?"), 0, ValueError, "In pyzeb_fzwrite: datatype cannot be stored as ZEB file."),
    (np.zeros((1,) * 17, "i1"), 0, ValueError, "In pyzeb_fzwrite: array has 17 dimensions, at most 16"),
    (np.lib.stride_tricks.as_strided(np.zeros(1, "i1"), (2**31,), (0,)), 0, ValueError,
     "In pyzeb_fzwrite: axis 0 has 2147483648 elements"),
    (np.lib.stride_tricks.as_strided(np.zeros(1, "i2"), (2**30, 2), (0, 0)), 1, ValueError,
     "In pyzeb_fzwrite: array data larger than 2147483647 bytes"),
])
def test_refusals_write_nothing(tmp_path, array, compress, exc, message):
    p = tmp_path / "n.f0"
    with pytest.raises(exc, match=re.escape(message)):
        _pyzeb.fzwrite(str(p), array, compress)
    assert not p.exists()


def test_argument_errors(tmp_path):
    p = str(tmp_path / "a.f0")
    a = np.zeros(3, "i2")
    for args in [(p, a, 1, None), (p, [1, 2]), (p,), (p, a, 1, "h", 0, 9), (b"x", a)]:
        with pytest.raises(TypeError):
            _pyzeb.fzwrite(*args)
    with pytest.raises(TypeError):
        _pyzeb.fzwrite(p, array=a)
    assert _pyzeb.fzwrite(p, np.array(5, "i2")) == 1
    r = _pyzeb.fzread(p)
    assert r["data"].shape == () and r["data"] == 5

@linux_only

def test_write_failures_raise_oserror(tmp_path):
    a = np.arange(5000, dtype="i2")
    missing = str(tmp_path / "missing" / "f.f0")
    for compress in (1, 0):
        with pytest.raises(FileNotFoundError, match=r"In pyzeb_fzwrite:") as e:
            _pyzeb.fzwrite(missing, a, compress)
        assert e.value.filename == missing and e.value.errno == 2
        with pytest.raises(OSError, match="No space left on device") as e:
            _pyzeb.fzwrite("/dev/full", a, compress)
        assert e.value.errno == 28 and e.value.strerror.startswith("In pyzeb_fzwrite:")


def test_full_filesystem_raises(small_tmpfs):
    a = np.random.default_rng(0).integers(-30000, 30000, 200_000).astype("i2")
    with pytest.raises(OSError, match="No space left on device"):
        _pyzeb.fzwrite(str(small_tmpfs / "big.f0"), a, 0)


@posix_only
@pytest.mark.skipif(os.name == "posix" and os.geteuid() == 0, reason="root may write into a read-only directory")
def test_read_only_directory_raises(tmp_path):
    d = tmp_path / "ro"
    d.mkdir()
    d.chmod(0o555)
    with pytest.raises(PermissionError):
        _pyzeb.fzwrite(str(d / "f.f0"), np.zeros(3, "i2"))


def test_compressed_writer_with_a_slice_the_coder_refuses_writes_raw(tmp_path, cio):
    p = tmp_path / "s.f0"
    data = np.arange(100, dtype="<i2")
    assert fzwrite_c(p, data, [100], b"", 1, 40) == 0
    assert cio().out == "slice (40) not supported in crunch\n"
    assert p.read_bytes() == f0_header(1, [100], data_size=200) + data.tobytes()


@pytest.mark.parametrize("text,kept", [
    ("a" * 254 + "é", "a" * 254),          # 2-byte character across the 255-byte boundary
    ("a" * 253 + "€x", "a" * 253),         # 3-byte character
    ("a" * 252 + "\U0001F600", "a" * 252),  # 4-byte character
    ("é" * 200, "é" * 127),
    ("a" * 250 + "€", "a" * 250 + "€"),    # fits whole: stored as it is
    ("b" * 300, "b" * 255),
])
def test_fzwrite_cuts_header_text_between_characters(tmp_path, text, kept):
    p = tmp_path / "h.f0"
    assert _pyzeb.fzwrite(str(p), np.zeros(4, np.int16), 1, text) == 1
    assert _pyzeb.fzread(str(p))["header"]["header"] == kept
