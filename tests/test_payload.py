"""zeb_prepare and zeb_write_payload: the file's bytes, then the file, in place or atomically."""
import ctypes as C
import os
import stat

import numpy as np
import pytest

import _pyzeb
from clib import Payload, Report, lib
from f0build import f0_header
from platforms import posix_only
from test_write import c_dims, fzwrite_c

RAW, AUTO = -1, -2
EV_W_OPEN, EV_W_WRITE, EV_W_BAD_ARGUMENT, EV_W_ENCODE = 23, 24, 26, 28
E_OPEN, E_WRITE, E_BAD_ARGUMENT, E_BAD_SLICE = -2, -25, -27, -20
DTYPES = {0: "<i1", 1: "<i2", 2: "<i4", 3: "<f4", 4: "<f8", 5: "<i8"}


def prepare(data, typ, dims, text=b"", mode=RAW, report=None):
    arr = np.ascontiguousarray(data)
    pl = Payload()
    st = lib.zeb_prepare(arr.ctypes.data, typ, c_dims(dims), len(dims), text, len(text), mode, 1, C.byref(pl),
                         C.byref(report) if report is not None else None)
    return st, pl, arr


def smooth(typ, shape=(20, 30)):
    v = (np.arange(np.prod(shape)) % 50).reshape(shape)
    return (v + 0x3F800000).astype("<i4").view("<f4") if typ == 3 else v.astype(DTYPES[typ])


def test_raw_payload_points_at_the_array():
    data = np.arange(6, dtype="<i2")
    st, pl, arr = prepare(data, 1, [3, 2], b"a\0b", RAW)
    assert st == 0 and pl.data == arr.ctypes.data and not pl.stream and pl.size == 12
    assert bytes(pl.header) == f0_header(1, [3, 2], text=b"a\0b", data_size=12)  # text stored as given
    lib.zeb_payload_free(C.byref(pl))


@pytest.mark.parametrize("typ", [0, 1, 2, 3])
def test_slice_mode_is_the_classic_compressed_file_and_auto_round_trips(tmp_path, typ):
    data = smooth(typ)
    p = tmp_path / "c.f0"
    assert fzwrite_c(p, data, [30, 20], b"hi", typ, 3) == 0
    st, pl, _ = prepare(data, typ, [30, 20], b"hi", 3)
    assert st == 0 and pl.stream and pl.file_bytes() == p.read_bytes()
    lib.zeb_payload_free(C.byref(pl))
    st, pl, _ = prepare(data, typ, [30, 20], b"", AUTO)
    assert st == 0 and pl.stream and pl.size < data.nbytes
    assert lib.zeb_write_payload(str(p).encode(), C.byref(pl), 1, None, None) == 0
    lib.zeb_payload_free(C.byref(pl))
    assert _pyzeb.fzread(str(p))["data"].tobytes() == data.tobytes()


@pytest.mark.parametrize("typ,data,dims,mode", [
    (1, np.random.default_rng(0).integers(-30000, 30000, 600).astype("<i2"), [30, 20], 5),  # noise: not smaller
    (1, np.ones(5, "<i2"), [], AUTO),             # no rows to cut into blocks
    (1, np.ones(1, "<i2"), [0, 5], 5),
    (4, np.arange(600.0), [30, 20], AUTO),        # 64-bit types have no stream
    (5, np.arange(600, dtype="<i8"), [30, 20], 7),
])
def test_raw_where_no_stream_pays(typ, data, dims, mode):
    st, pl, arr = prepare(data, typ, dims, b"", mode)
    n = int(np.prod(dims)) if dims else 1
    assert st == 0 and not pl.stream and pl.size == n * arr.itemsize and bytes(pl.header)[4] == 0


@pytest.mark.parametrize("typ,dims,text,mode,status,event", [
    (1, [1] * 17, b"", RAW, E_BAD_ARGUMENT, (EV_W_BAD_ARGUMENT, 1)),
    (1, [4, -1], b"", RAW, E_BAD_ARGUMENT, (EV_W_BAD_ARGUMENT, 2)),
    (1, [65536, 32768], b"", RAW, E_BAD_ARGUMENT, (EV_W_BAD_ARGUMENT, 3)),
    (6, [4], b"", RAW, E_BAD_ARGUMENT, (EV_W_BAD_ARGUMENT, 4)),
    (1, [4], b"t" * 256, RAW, E_BAD_ARGUMENT, (EV_W_BAD_ARGUMENT, 5)),
    (1, [4], b"", -3, E_BAD_ARGUMENT, (EV_W_BAD_ARGUMENT, 6)),
    (1, [4], b"", 40, E_BAD_SLICE, (EV_W_ENCODE, 0)),  # refused even where the data would go raw
])
def test_refusals(typ, dims, text, mode, status, event):
    rep = Report()
    st, pl, _ = prepare(np.zeros(4, "<i2"), typ, dims, text, mode, rep)
    assert st == status and rep.count == 1 and not pl.stream
    e = rep.events[0]
    assert (e.code, e.status) == (event[0], status) and (event[0] != EV_W_BAD_ARGUMENT or e.a == event[1])


def write_payload(path, data, flags, mode=5):
    st, pl, _ = prepare(data, 1, [data.size], b"x", mode)
    assert st == 0
    rep, err = Report(), C.c_int32(-1)
    st = lib.zeb_write_payload(str(path).encode(), C.byref(pl), flags, C.byref(rep), C.byref(err))
    lib.zeb_payload_free(C.byref(pl))
    return st, rep, err.value


@pytest.mark.parametrize("flags", [0, 1])
def test_write_payload_replaces_a_file(tmp_path, flags):
    p = tmp_path / "f.f0"
    p.write_bytes(b"old contents that are longer than the new file" * 100)
    data = np.arange(100, dtype="<i2")
    st, rep, err = write_payload(p, data, flags)
    assert (st, rep.count, err) == (0, 0, 0)
    st, pl, _ = prepare(data, 1, [100], b"x", 5)
    assert p.read_bytes() == pl.file_bytes() and os.listdir(tmp_path) == ["f.f0"]
    lib.zeb_payload_free(C.byref(pl))

@posix_only

def test_atomic_write_keeps_permissions_of_a_new_file(tmp_path):
    old = os.umask(0o027)
    try:
        assert write_payload(tmp_path / "n.f0", np.arange(10, dtype="<i2"), 1)[0] == 0
    finally:
        os.umask(old)
    assert (tmp_path / "n.f0").stat().st_mode & 0o777 == 0o640


@pytest.mark.parametrize("flags", [0, 1])
def test_write_payload_failures(tmp_path, flags):
    st, rep, err = write_payload(tmp_path / "no" / "f.f0", np.arange(10, dtype="<i2"), flags)
    assert (st, err, rep.codes()) == (E_OPEN, 2, [(EV_W_OPEN, E_OPEN)]) and rep.events[0].a == 2


def test_atomic_write_on_a_full_filesystem_leaves_the_old_file(small_tmpfs):
    p = small_tmpfs / "f.f0"
    p.write_bytes(b"old")
    noise = np.random.default_rng(0).integers(-30000, 30000, 200_000).astype("<i2")
    st, rep, err = write_payload(p, noise, 1, RAW)
    assert (st, err, rep.codes()) == (E_WRITE, 28, [(EV_W_WRITE, E_WRITE)])
    assert p.read_bytes() == b"old" and os.listdir(small_tmpfs) == ["f.f0"]
    # in place, the file is lost, as a direct write loses it
    assert write_payload(p, noise, 0, RAW)[0] == E_WRITE and p.read_bytes() != b"old"

@posix_only

def test_atomic_write_keeps_links_and_devices(tmp_path):
    real = tmp_path / "real.f0"
    real.write_bytes(b"old")
    link = tmp_path / "link.f0"
    link.symlink_to(real)
    assert write_payload(link, np.arange(10, dtype="<i2"), 1)[0] == 0
    assert link.is_symlink() and real.stat().st_size > 512 and sorted(os.listdir(tmp_path)) == ["link.f0", "real.f0"]
    null = tmp_path / "null"
    try:
        os.mknod(null, 0o666 | stat.S_IFCHR, os.makedev(1, 3))  # a /dev/null of our own
    except OSError:
        return
    assert write_payload(null, np.arange(10, dtype="<i2"), 1)[0] == 0  # written to, not replaced
    assert stat.S_ISCHR(os.stat(null).st_mode)
