"""Floats stored as integers (whole numbers exactly, or quantized), deflated
metadata and the record sections behind them, hostile ones included."""
import io
import os
import struct
import zlib

import numpy as np
import pytest

import _pyzeb
import pyzeb
from pyzeb import _core, _sections


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("lo,hi,stored", [(-128, 127, np.int8), (-300, 20000, np.int16),
                                          (-5, 2**24, np.int32), (-2**31, 2**31 - 1, None)])
def test_whole_numbers_stored_as_the_narrowest_integer(tmp_path, dtype, lo, hi, stored):
    a = np.random.default_rng(0).integers(lo, hi, (40, 50), endpoint=True).astype(dtype)
    a[0, :2] = lo, hi
    if stored is None and dtype == np.float64:
        stored = np.int32  # float64 holds 2^31 - 1; as float32 it rounds up to 2^31, beyond int32
    p = tmp_path / "w.f0"
    pyzeb.write(p, a)
    h = pyzeb.read_header(p)
    assert (h.dtype, h.stored_dtype, h.quantization_step) == (np.dtype(dtype), stored and np.dtype(stored), None)
    if stored is None:
        assert pyzeb.read(p).tobytes() == a.tobytes()
        return
    back = pyzeb.read(p)
    assert back.dtype == dtype and back.tobytes() == a.tobytes()
    assert pyzeb.read(p, slice(7, 9)).tobytes() == a[7:9].tobytes()
    assert np.array_equal(_pyzeb.fzread(str(p))["data"], a.astype(stored))  # legacy readers: the integers


def test_whole_numbers_stored_raw_are_read_not_mapped(tmp_path, capsys):
    from pyzeb import cli
    a = np.random.default_rng(5).integers(-2**31, 2**31, (64, 64)).astype(np.float64)  # no stream is smaller
    p = tmp_path / "r.f0"
    pyzeb.write(p, a)
    h = pyzeb.read_header(p)
    assert not h.compressed and h.stored_dtype == np.int32
    with pytest.raises(pyzeb.FormatError, match="stored as int32 and cannot be mapped"):
        pyzeb.memmap(p)
    assert cli.main(["diff", str(p), str(p)]) == 0 and cli.main(["stats", str(p)]) == 0


@pytest.mark.parametrize("odd", [-0.0, np.nan, np.inf, 0.5, 2.0**31])
def test_floats_that_are_not_small_whole_numbers_stay_floats(odd):
    a = np.arange(5000, dtype=np.float64)
    a[4321] = odd
    data = pyzeb.encode(a)
    assert pyzeb.read_header(io.BytesIO(data)).stored_dtype is None
    assert pyzeb.decode(data).tobytes() == a.tobytes()
    # and raw data are never converted
    assert pyzeb.read_header(io.BytesIO(pyzeb.encode(a[:4000], compress=False))).stored_dtype is None


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("slice_,stored", [(0, np.int8), (32, np.int8), (17, np.int16), (18, np.int32),
                                           (32, np.int32)])
def test_whole_numbers_take_every_slice_a_float_array_takes(dtype, slice_, stored):
    # a slice beyond what 16-bit streams carry widens the integers rather than failing
    a = np.arange(-100, 100 if stored == np.int8 else 900, dtype=dtype).reshape(-1, 10)
    data = pyzeb.encode(a, compress=slice_)
    h = pyzeb.read_header(io.BytesIO(data))
    assert h.stored_dtype == stored and h.slice in (None, slice_)  # None: the stream did not pay, raw
    assert pyzeb.decode(data).tobytes() == a.tobytes()


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_quantized_within_half_a_step(tmp_path, dtype):
    rng = np.random.default_rng(1)
    a = (500 + rng.normal(0, 8, (64, 80))).astype(dtype)
    a[3, 3], a[4, 4], a[5, 5] = np.nan, np.inf, -np.inf
    p = tmp_path / "q.f0"
    pyzeb.write(p, a, quantize=4)
    h = pyzeb.read_header(p)
    assert h.stored_dtype == np.int32 and 8 / 4 * 0.8 < h.quantization_step < 8 / 4 * 1.2
    back = pyzeb.read(p)
    assert back.dtype == dtype
    ok = np.isfinite(a)
    err = np.abs(back[ok].astype(np.float64) - a[ok])  # half a step, and the result's rounding to the dtype
    assert (err <= h.quantization_step / 2 * (1 + 1e-6) + np.abs(a[ok]) * np.finfo(dtype).eps).all()
    assert np.array_equal(back[~ok], a[~ok], equal_nan=True)
    assert np.array_equal(pyzeb.read(p, slice(10, 20, 3)), back[10:20:3])  # the dither follows the position
    lazy = pyzeb.open(p)
    assert lazy.dtype == dtype and np.array_equal(lazy[30:33, 5:9], back[30:33, 5:9])
    assert _pyzeb.fzread(str(p))["data"].dtype == np.int32
    # a checksum renewed after the data were marked as changed keeps the quantization
    with open(p, "r+b") as f:
        _core.mark_unchecked(f.fileno(), str(p))
    assert pyzeb.add_checksum(p) == "renewed"
    assert np.array_equal(pyzeb.read(p), back, equal_nan=True)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_quantized_extremes_read_finite(dtype):
    # half a step beyond the largest value must not read as an infinity
    big = np.finfo(dtype).max
    a = (np.linspace(-0.999, 0.999, 400) + np.random.default_rng(2).normal(size=400) / 2000) * big
    a = a.astype(dtype)
    a[0], a[-1], a[7] = -big, big, np.inf
    data = pyzeb.encode(a, quantize=16)
    back, step = pyzeb.decode(data), pyzeb.read_header(io.BytesIO(data)).quantization_step
    ok = np.isfinite(a)
    assert np.isfinite(back[ok]).all() and back[7] == np.inf
    # within half a step, plus the rounding of the result to the dtype (at most eps x the value;
    # the seed of the dither is new on every write, so every bound is met, not only this one's)
    err = np.abs(back[ok].astype(np.float64) - a[ok])
    assert (err <= 0.5 * step * (1 + 1e-6) + np.abs(a[ok]) * np.finfo(dtype).eps).all()


def test_quantize_falls_back_or_refuses():
    flat = np.full((20, 20), 3.25, np.float32)  # no noise to tell: stored exactly
    h = pyzeb.read_header(io.BytesIO(pyzeb.encode(flat, quantize=4)))
    assert h.quantization_step is None and pyzeb.decode(pyzeb.encode(flat, quantize=4)).tobytes() == flat.tobytes()
    ints = np.arange(100, dtype=np.int16)
    assert pyzeb.decode(pyzeb.encode(ints, quantize=4)).dtype == np.int16
    for bad in (0, -1, float("nan"), True, "4"):
        with pytest.raises(ValueError, match="quantize must be a positive number"):
            pyzeb.encode(np.random.default_rng(0).normal(size=(10, 10)), quantize=bad)
    with pytest.raises(ValueError, match="checksum=False leaves out"):
        pyzeb.encode(flat, quantize=4, checksum=False)


def test_zarr_codec_quantize(tmp_path):
    zarr = pytest.importorskip("zarr")
    from pyzeb.codecs import Crunch
    a = np.random.default_rng(2).normal(100, 5, (32, 48)).astype(np.float32)
    z = zarr.create_array(tmp_path / "q.zarr", shape=a.shape, chunks=(16, 48), dtype="float32",
                          serializer=Crunch(quantize=4))
    z[...] = a
    back = zarr.open_array(tmp_path / "q.zarr")[...]
    assert back.dtype == np.float32 and 0 < np.max(np.abs(back - a)) < 5 / 4
    assert repr(Crunch(quantize=4)) == "Crunch(slice=None, quantize=4.0)"
    with pytest.raises(ValueError):
        Crunch(quantize=4, checksum=False)


def test_sync_false_still_writes_the_whole_file(tmp_path):
    a = np.arange(1000, dtype=np.int32)
    pyzeb.write(tmp_path / "s.f0", a, sync=False)
    assert np.array_equal(pyzeb.read(tmp_path / "s.f0"), a)


def image(sections, metadata=None, dtype=0):
    a = np.arange(12, dtype=np.int32)
    return _core.encode(a, 2, (12,), b"", _core.COMPRESS_RAW, 1, True, dtype, metadata, sections)


def deflated(raw, claimed=None, method=1, stream=None):
    body = struct.pack("<III", 0, method, len(raw) if claimed is None else claimed)
    return _sections.section(5, body + (zlib.compress(raw) if stream is None else stream))


QUANT = struct.Struct("<IIQdddiiii")


@pytest.mark.parametrize("sections,metadata,dtype,match", [
    (deflated(b'{"a":1}', claimed=6), None, 0, "do not inflate to the size they claim"),
    (deflated(b'{"a":1}', claimed=2**30), None, 0, "claim"),
    (deflated(b'{"a":1}', method=2), None, 0, "unknown method"),
    (deflated(b"", stream=b"not zlib"), None, 0, "do not inflate"),
    (deflated(b'{"a":1}'), b'{"b":2}', 0, "both plain and deflated"),
    (deflated(b'[1]'), None, 0, "not a JSON object"),
    (b"", None, 12, "no quantization section"),
    (_sections.section(6, QUANT.pack(0, 1, 0, 0.0, 0.0, 4.0, 0, 1, 2, 0)), None, 12, "scale"),
    (_sections.section(6, QUANT.pack(0, 9, 0, 1.0, 0.0, 4.0, 0, 1, 2, 0)), None, 12, "unknown method"),
    (_sections.section(6, b"short"), None, 12, "too short"),
])
def test_damaged_kept_sections_refused(sections, metadata, dtype, match):
    data = image(sections, metadata, dtype)
    with pytest.raises(pyzeb.FormatError, match=match):
        pyzeb.read_header(io.BytesIO(data))
    if dtype:
        with pytest.raises(pyzeb.FormatError, match=match):
            pyzeb.decode(data)


@pytest.mark.parametrize("sections", [b"\x07\x00\x00\x00\x00\x00\x00\x00",  # not a kept type
                                      deflated(b"{}") + deflated(b"{}"),     # twice
                                      deflated(b"{}")[:-1]])                  # not whole
def test_writer_takes_only_whole_kept_sections(sections):
    with pytest.raises(ValueError, match="argument out of range"):
        image(sections)


def test_deflated_metadata_round_trip_and_older_readers(tmp_path):
    md = {"fits": [[f"K{i}", i, "c" * 20] for i in range(500)]}
    pyzeb.write(tmp_path / "m.f0", np.zeros(3, np.int8), metadata=md)
    assert pyzeb.read_header(tmp_path / "m.f0").metadata == md
    assert os.path.getsize(tmp_path / "m.f0") < 512 * 16
    assert _pyzeb.fzread(str(tmp_path / "m.f0"))["data"].shape == (3,)
