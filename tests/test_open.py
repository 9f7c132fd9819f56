"""Reading in two steps: zeb_open / zeb_open_memory, then zeb_read_data, against zeb_read."""
import ctypes as C
import os
import subprocess
import sys

import numpy as np
import pytest

from clib import Info, Report, lib
from f0build import SYNCH_REVERSED, f0_file, f0_header, plain_body, run_body
from test_read_compressed import ramp, stream_file


class Image(C.Structure):
    _fields_ = [("data", C.c_void_p), ("data_size", C.c_int64), ("dims", C.c_int32 * 16), ("dim_count", C.c_int32),
                ("type", C.c_int32), ("compressed", C.c_int32), ("reversed", C.c_int32),
                ("header_text", C.c_char * 257), ("header_ok", C.c_int32)]


lib.zeb_read.argtypes, lib.zeb_read.restype = [C.c_char_p, C.c_void_p, C.c_void_p, C.c_int32], C.c_int32
lib.zeb_read_memory.argtypes = [C.c_void_p, C.c_int64, C.c_void_p, C.c_void_p, C.c_int32]
lib.zeb_read_memory.restype = C.c_int32


def events(rep):
    """Everything a report holds, comparable with ==."""
    return [(e.code, e.status, e.a, e.b, bytes(e.decode)) for e in rep.events[:rep.count]]


def read_whole(path=None, content=None):
    img, rep = Image(), Report()
    if path is not None:
        st = lib.zeb_read(path.encode(), C.byref(img), C.byref(rep), 1)
    else:
        st = lib.zeb_read_memory(content, len(content), C.byref(img), C.byref(rep), 1)
    data = C.string_at(img.data, img.data_size) if st == 0 else None
    lib.zeb_free(img.data)
    return st, events(rep), data


def read_two_steps(path=None, content=None, header_only=False):
    reader, info, rep = C.c_void_p(), Info(), Report()
    where = None if header_only else C.byref(reader)
    if path is not None:
        st = lib.zeb_open(path.encode(), where, C.byref(info), C.byref(rep), None)
    else:
        st = lib.zeb_open_memory(content, len(content), where, C.byref(info), C.byref(rep))
    data, opened = None, st
    if st == 0 and not header_only:
        buf = C.create_string_buffer(max(info.nbytes, 1))
        st = lib.zeb_read_data(reader, buf, info.nbytes, C.byref(rep))
        data = buf.raw[:info.nbytes] if st == 0 else None
        lib.zeb_close(reader)
    return st, events(rep), data, info, opened


ONE = np.arange(24, dtype="<i2")
CASES = {
    "raw": f0_file(1, [4, 6], ONE.tobytes()),
    "raw swapped, 3 header blocks": f0_file(1, [4, 6], ONE.byteswap().tobytes(), synch=SYNCH_REVERSED,
                                            header_blocks=3),
    "compressed": stream_file(0, ramp(0, 60), 12),
    "compressed run-length 8-bit": stream_file(3, ramp(3, 60), 12),
    "short header": f0_header(1, [1])[:511],
    "bad synch": b"\x01\x02\x03\x04" + bytes(600),
    "17 header blocks": f0_file(1, [4], bytes(8), header_blocks=17),
    "17 dimensions": f0_file(1, [1] * 16, b"", dim_count=17),
    "negative dimension": f0_file(1, [4, -3], b""),
    "too large": f0_file(1, [32768, 32768], b""),
    "unknown type": f0_file(6, [2], bytes(16)),
    "truncated raw": f0_file(1, [10], bytes(13)),
    "short stream header": stream_file(0, ramp(0, 24), 12)[:522],
    "stream size below 14": stream_file(0, ramp(0, 24), 12, stream_size=13),
    "short body": stream_file(0, ramp(0, 240), 12, slice_=5)[:-7],
    "huge claim": stream_file(0, ramp(0, 24), 12, dims=[32768, 32767], nblocks=32767),
    "block count corrected": stream_file(0, ramp(0, 36), 12, nblocks=4, dims=[12, 3]),
    "width mismatch": stream_file(0, ramp(0, 24), 12, datyp=0),
    "unknown compression": stream_file(0, ramp(0, 24), 12)[:525] + b"\x07" + stream_file(0, ramp(0, 24), 12)[526:],
    "bad bits": stream_file(0, [7, 8, 9], 3, body=plain_body([[7, 8, 9]], 3, 0)[:2] + bytes(8)),
    "bad loop": stream_file(2, [7, 7, 7], 3, body=run_body([[7, 7, 7, 7, 7, 7]], 0, 2)),
    "incomplete": stream_file(0, ramp(0, 24), 12, dims=[12, 3]),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_two_steps_give_what_a_strict_read_gives(tmp_path, name):
    p = tmp_path / "f.f0"
    p.write_bytes(CASES[name])
    whole = read_whole(str(p))
    assert whole == read_whole(content=CASES[name])
    assert read_two_steps(str(p))[:3] == whole
    assert read_two_steps(content=CASES[name])[:3] == whole
    # a header-only open refuses what an open for reading refuses, but for
    # data that end early (it does not look at the data)
    opened = read_two_steps(str(p))[4]
    header_only = read_two_steps(str(p), header_only=True)[0]
    assert opened in (0, whole[0])
    assert header_only == opened or (header_only == 0 and opened in (-11, -14))


def test_info_of_a_raw_and_a_compressed_file(tmp_path):
    p = tmp_path / "r.f0"
    p.write_bytes(CASES["raw swapped, 3 header blocks"])
    info = read_two_steps(str(p), header_only=True)[3]
    assert (info.type, info.dim_count, list(info.dims[:2]), info.compressed, info.big_endian) == (1, 2, [4, 6], 0, 1)
    assert (info.header_blocks, info.count, info.nbytes, info.data_offset, info.data_size) == (3, 24, 48, 1536, 48)
    c = CASES["compressed"]
    info = read_two_steps(content=c, header_only=True)[3]
    s = info.stream
    assert (info.compressed, info.big_endian, info.data_offset, info.data_size) == (1, 0, 512, len(c) - 512)
    assert (s.stream_size, s.nblocks, s.block_size, s.slice, s.compression_type) == (len(c) - 512, 5, 12, 3, 0)


def test_open_reports_errno(tmp_path):
    err, rep = C.c_int32(-1), Report()
    assert lib.zeb_open(str(tmp_path / "none").encode(), None, None, C.byref(rep), C.byref(err)) == -1
    assert err.value == 2 and rep.count == 1


def test_read_data_refuses_a_small_buffer_and_a_second_call():
    reader, info = C.c_void_p(), Info()
    c = CASES["raw"]
    assert lib.zeb_open_memory(c, len(c), C.byref(reader), C.byref(info), None) == 0
    buf = C.create_string_buffer(48)
    assert lib.zeb_read_data(reader, buf, 47, None) == -27
    assert lib.zeb_read_data(reader, buf, 48, None) == 0 and buf.raw == ONE.tobytes()
    assert lib.zeb_read_data(reader, buf, 48, None) == -27
    lib.zeb_close(reader)
