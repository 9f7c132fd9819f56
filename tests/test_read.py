"""Reading raw F0 files: the header check, byte order, the reader's outputs and fzread."""
import ctypes as C
import gc
import os
import struct

import numpy as np
import pytest

import _pyzeb
from clib import lib, libc
from f0build import SYNCH, SYNCH_REVERSED, f0_file, f0_header
from platforms import linux_only

DTYPES = {0: "<i1", 1: "<i2", 2: "<i4", 3: "<f4", 4: "<f8", 5: "<i8"}


@pytest.fixture
def write(tmp_path):
    def write(content, name="t.f0"):
        p = tmp_path / name
        p.write_bytes(content)
        return str(p)
    return write


def sample_values(datyp, n):
    rng = np.random.default_rng(datyp)
    if datyp in (3, 4):
        return (rng.standard_normal(n) * 1e3).astype(DTYPES[datyp])
    info = np.iinfo(np.dtype(DTYPES[datyp]))
    return rng.integers(info.min, info.max, n, endpoint=True).astype(DTYPES[datyp])


def test_worked_example_layout(write):
    data = np.arange(6, dtype="<i2") * 257
    raw = (bytes.fromhex("AAAA5555 00000101 0200 0C000000 0000") + bytes(176)
           + struct.pack("<ii", 3, 2) + bytes(56) + b"abc" + bytes(253) + data.tobytes())
    assert len(raw) == 524 and raw[:512] == f0_header(1, [3, 2], text="abc", data_size=12)
    r = _pyzeb.fzread(write(raw))
    assert r["header"] == {"size": 12, "dims": (3, 2), "header": "abc"}
    np.testing.assert_array_equal(r["data"], data.reshape(2, 3))


@pytest.mark.parametrize("datyp", range(6))
@pytest.mark.parametrize("synch,flags,swapped", [
    (SYNCH, 0, False), (SYNCH_REVERSED, 0x80, False), (SYNCH_REVERSED, 0, True), (SYNCH, 0x80, True)])
def test_every_type_in_both_byte_orders(write, cio, datyp, synch, flags, swapped):
    values = sample_values(datyp, 24).reshape(2, 3, 4)
    stored = values.byteswap() if swapped else values
    r = _pyzeb.fzread(write(f0_file(datyp, [4, 3, 2], stored.tobytes(), synch=synch, flags=flags)))
    assert r["data"].dtype == np.dtype(DTYPES[datyp]).newbyteorder("=")
    assert r["data"].tobytes() == values.tobytes()  # bit for bit, NaNs included
    assert r["header"]["size"] == 24 * values.itemsize and r["header"]["dims"] == (4, 3)
    reversed_warning = "ck_synch_hd: warning: reversed F0 synch pattern\n"
    assert cio().err == (reversed_warning if synch == SYNCH_REVERSED else "")


@pytest.mark.parametrize("element,synch,flags,value", [
    (b"\x01\x02", SYNCH, 0, 513), (b"\x01\x02", SYNCH_REVERSED, 0, 258),
    (b"\x01\x02", SYNCH_REVERSED, 0x80, 513), (b"\x01\x02", SYNCH, 0x80, 258)])
def test_swap_rule_on_one_element(write, element, synch, flags, value):
    assert _pyzeb.fzread(write(f0_file(1, [1], element, synch=synch, flags=flags)))["data"][0] == value


@pytest.mark.parametrize("blocks,ok", [(0, True), (1, True), (3, True), (16, True), (17, False)])
def test_header_blocks(write, cio, blocks, ok):
    values = np.arange(5, dtype="<i2")
    path = write(f0_file(1, [5], values.tobytes(), header_blocks=blocks))
    if ok:
        np.testing.assert_array_equal(_pyzeb.fzread(path)["data"], values)
        assert cio().err == ""
    else:
        with pytest.raises(ValueError, match="data returned is NULL"):
            _pyzeb.fzread(path)
        assert cio().err == ("ck_synch_hd: error: cannot handle header more than 16 blocks!\n"
                             "zeb_fzread: error: ck_sync_hd error!\n")


@pytest.mark.parametrize("content,message", [
    (f0_header(1, [1])[:511], "error in fzread while reading header\n"),
    (b"\x01\x02\x03\x04" + bytes(600),
     "ck_synch_hd: error: file does not have the F0 synch pattern (found 0x4030201 instead)\n"),
])
def test_refused_headers(write, cio, content, message):
    with pytest.raises(ValueError, match=r"^In pyzeb_fzread: could not read zeb file, data returned is NULL\.$"):
        _pyzeb.fzread(write(content))
    assert cio().err == message + "zeb_fzread: error: ck_sync_hd error!\n"


def test_missing_and_unopenable_files(tmp_path, cio):
    missing = str(tmp_path / "nope.f0")
    with pytest.raises(ValueError, match="data returned is NULL"):
        _pyzeb.fzread(missing)
    assert cio().err == f'zeb_fzread: error: file "{missing}" not found.\n'
    # A directory opens but cannot be read: the header comes up short.
    with pytest.raises(ValueError, match="data returned is NULL"):
        _pyzeb.fzread(str(tmp_path))
    assert "error in fzread while reading header" in cio().err


@pytest.mark.parametrize("dims,shape,pair", [
    ([4, 3, 2], (2, 3, 4), (4, 3)), ([7], (7,), (7, 1)), ([], (), (1, 1)), ([5, 0], (0, 5), (5, 0))])
def test_shapes_and_dims_pair(write, dims, shape, pair):
    n = int(np.prod(dims)) if dims else 1
    values = np.arange(n, dtype="<i4")
    r = _pyzeb.fzread(write(f0_file(2, dims, values.tobytes())))
    assert r["data"].shape == shape and r["header"]["dims"] == pair
    np.testing.assert_array_equal(r["data"].ravel(), values)


@pytest.mark.parametrize("dims,dim_count,message", [
    ([1] * 16, 17, 'has 17 dimensions, at most 16 are supported!'),
    ([4, -3], 2, 'has a negative dimension (-3)!'),
    ([32768, 32768], 2, 'too large (2147483648 bytes, at most 2147483647)!'),
    ([2**31 - 1, 2**31 - 1, 2**31 - 1, 2**31 - 1, 2**31 - 1], 5, 'too large'),
])
def test_refused_layouts(write, cio, dims, dim_count, message):
    """Counts that would wrap, negative sizes and oversized data are refused, not read."""
    path = write(f0_file(1, dims, b"", dim_count=dim_count))
    with pytest.raises(ValueError, match="data returned is NULL"):
        _pyzeb.fzread(path)
    assert message in cio().err
    type_out = C.c_int32(-1)
    out = [C.POINTER(C.c_int32)(), C.c_int32(-1), C.c_char_p(), type_out, C.c_int32(-1)]
    assert lib.zeb_fzread(path.encode(), C.byref(out[0]), C.byref(out[1]), C.byref(out[2]),
                          C.byref(out[3]), C.byref(out[4])) is None
    assert type_out.value == -1 and out[1].value == -1  # no output written
    assert message in cio().err


def test_unknown_type_code(write, cio):
    path = write(f0_file(6, [2], b"\x00" * 16))
    with pytest.raises(ValueError, match=r"^In pyzeb_fzread: datatype of zeb file unknown/unsupported\.$"):
        _pyzeb.fzread(path)
    assert "unknown data type 6" in cio().err
    r = read_c(path)
    assert r["data"] is not None and r["type"] == 6 and r["size"] == 0


def test_truncated_raw_data(write, cio):
    values = np.arange(10, dtype="<i2")
    path = write(f0_file(1, [10], values.tobytes()[:13]))
    with pytest.raises(ValueError, match=r"^In pyzeb_fzread: could not read zeb file, file ends before its data are complete\.$"):
        _pyzeb.fzread(path)
    assert cio().err == "error: unexpected end of file\n"
    # The C reader keeps its contract: a full-size buffer, zero-filled past the end.
    r = read_c(path, count=10)
    assert r["size"] == 20 and cio().err == "error: unexpected end of file\n"
    np.testing.assert_array_equal(r["values"], list(range(7)) + [0, 0, 0])


def read_c(path, count=0):
    """zeb_fzread through ctypes; frees what it hands out."""
    dims, ndim, text, typ, size = C.POINTER(C.c_int32)(), C.c_int32(-1), C.c_char_p(), C.c_int32(-1), C.c_int32(-1)
    data = lib.zeb_fzread(path.encode(), C.byref(dims), C.byref(ndim), C.byref(text), C.byref(typ), C.byref(size))
    out = {"data": data, "type": typ.value, "size": size.value, "ndim": ndim.value}
    if data:
        out["values"] = np.ctypeslib.as_array(C.cast(data, C.POINTER(C.c_int16)), (count,)).copy() if count else None
        out["dims"] = [dims[i] for i in range(ndim.value)]
        out["text"] = text.value
        for p in (data, dims, C.cast(text, C.c_void_p)):
            lib.zeb_free(p)
    return out


def test_zeb_fzread_outputs(write):
    path = write(f0_file(1, [3, 2], np.arange(6, dtype="<i2").tobytes(), text="hello"))
    r = read_c(path, count=6)
    assert (r["type"], r["size"], r["ndim"], r["dims"], r["text"]) == (1, 12, 2, [3, 2], b"hello")
    assert list(r["values"]) == list(range(6))


def test_zeb_fzhead(write, tmp_path, cio):
    text = b"x" * 256  # no terminating zero inside the field
    path = write(f0_file(1, [1], b"\0\0", text=text))
    p = lib.zeb_fzhead(path.encode())
    assert C.string_at(p) == b"x" * 256
    lib.zeb_free(p)
    assert lib.zeb_fzhead(str(tmp_path / "none").encode()) is None
    assert cio().err == f'zeb_fzhead: error: file "{tmp_path / "none"}" not found.\n'
    assert lib.zeb_fzhead(write(b"junk" * 200, "junk.f0").encode()) is None
    assert "zeb_fzhead" not in cio().err  # only the header check's own message


def test_header_text_is_cut_at_the_field_and_decoded(write):
    r = _pyzeb.fzread(write(f0_file(0, [1], b"\x05", text="é" * 200)))
    assert r["header"]["header"] == "é" * 128  # 256 bytes, the field's whole width
    with pytest.raises(UnicodeDecodeError):
        _pyzeb.fzread(write(f0_file(0, [1], b"\x05", text=b"\xff\xfe")))


def test_debug_trace(write, cio):
    path = write(f0_file(1, [4, 3], bytes(24)))
    _pyzeb.fzread(path, 1)
    assert cio().out == ("pyzeb_fzread(): Reading in ZEB file\npyzeb_fzread(): Dimensions: 4 3 \n"
                         "pyzeb_fzread(): Datasize: 24\npyzeb_fzread(): Read 24 bytes, 2 dimensions\n")
    for quiet in (0, 2):
        _pyzeb.fzread(path, quiet)
        assert cio().out == ""


def test_arguments():
    with pytest.raises(TypeError):
        _pyzeb.fzread(filename="x")
    with pytest.raises(TypeError):
        _pyzeb.fzread(b"x")
    with pytest.raises(ValueError):
        _pyzeb.fzread("a\0b")
    assert _pyzeb.fzread.__doc__ == "Load an ZEB F0 file."


@linux_only
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer keeps freed memory in quarantine")
def test_array_owns_its_buffer_and_frees_it(write):
    values = np.arange(4 << 20, dtype="<i4")  # 16 MiB
    path = write(f0_file(2, [values.size], values.tobytes()))
    a = _pyzeb.fzread(path)["data"]
    assert a.flags.owndata and a.flags.c_contiguous and a.flags.aligned and a.flags.writeable
    a[0] = 5
    del a

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    for _ in range(3):
        _pyzeb.fzread(path)
    gc.collect()
    before = rss()
    for _ in range(25):
        assert _pyzeb.fzread(path)["data"][-1] == values[-1]
    gc.collect()
    assert rss() - before < 3 * values.nbytes  # 25 reads of 16 MiB, no growth


def test_ck_synch_hd_and_byte_swaps(write):
    libc.fopen.restype, libc.fopen.argtypes = C.c_void_p, [C.c_char_p, C.c_char_p]
    libc.ftell.restype, libc.ftell.argtypes = C.c_long, [C.c_void_p]
    libc.fclose.argtypes = [C.c_void_p]
    head = f0_header(1, [256, 0x01020304, 9], dim_count=2, header_blocks=3, synch=SYNCH_REVERSED)
    path = write(head + bytes(1024) + b"data")
    record = C.create_string_buffer(512)
    f = libc.fopen(path.encode(), b"rb")
    assert lib.ck_synch_hd(f, record, 1) == 0  # a big-endian host reads 55 55 AA AA as the pattern
    assert libc.ftell(f) == 1536
    libc.fclose(f)
    dims = struct.unpack("<3i", record.raw[192:204])
    assert dims == (0x00010000, 0x04030201, 9)  # the dim_count used entries only
    for fn, raw, out in [(lib.bswapi16, "1234", "3412"), (lib.bswapi32, "01020304", "04030201"),
                         (lib.bswapi64, "0102030405060708", "0807060504030201")]:
        b = C.create_string_buffer(bytes.fromhex(raw * 2), len(raw))
        fn(b, 2)
        assert b.raw.hex() == out * 2
        for count in (0, -1):
            fn(b, count)
            assert b.raw.hex() == out * 2
