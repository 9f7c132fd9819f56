"""pyzeb's checksums and metadata through the package: damage raises, the
classic file with checksum=False, metadata in and out, newer records, memory
maps written to, and checksums added to existing files."""
import io
import os
import struct
import warnings
from pathlib import Path

import numpy as np
import pytest

import _pyzeb
import pyzeb
from clib import lib
from platforms import posix_only


def sample(dtype, shape=(5, 9)):
    v = np.random.default_rng(4).integers(-60, 60, shape).cumsum(axis=1)
    return v.astype(dtype)


def flipped(image, start, stop):
    """Every single-bit flip of bytes start..stop-1 of image."""
    b = bytearray(image)
    for i in range(start, stop):
        for bit in range(8):
            b[i] ^= 1 << bit
            yield i, bytes(b)
            b[i] ^= 1 << bit


@pytest.mark.filterwarnings("ignore::pyzeb.FormatWarning")  # damaged stream headers may warn first
@pytest.mark.parametrize("dtype,compress", [("i1", True), ("i2", False), ("i2", 3), ("u2", True), ("i4", True),
                                            ("f4", False), ("f8", False), ("?", False)])
def test_every_bit_flip_of_the_header_or_the_data_raises(dtype, compress):
    image = pyzeb.encode(sample(dtype), compress=compress, metadata={"k": 1})
    h = pyzeb.read_header(io.BytesIO(image))
    assert h.checksum and h.header_blocks == 2
    for start, stop in ((0, 512), (h.data_offset, len(image))):
        for i, bad in flipped(image, start, stop):
            with pytest.raises(pyzeb.FormatError) as info:
                pyzeb.decode(bad)
            if i >= h.data_offset + 14 * h.compressed or 16 <= i < 192:  # where no other check looks first
                assert str(info.value) == "<buffer>: checksum mismatch: the file is damaged", i


@pytest.mark.parametrize("compress", [False, True])
def test_a_damaged_file_is_named_and_read_unverified_on_request(tmp_path, compress):
    a = sample("i2", (40, 50))
    p = tmp_path / "d.f0"
    pyzeb.write(p, a, compress=compress)
    image = bytearray(p.read_bytes())
    image[-30] ^= 0x04
    p.write_bytes(image)
    with pytest.raises(pyzeb.FormatError, match=f"^{p}: checksum mismatch: the file is damaged$") as info:
        pyzeb.read(p)
    assert info.value.filename == str(p)
    with open(p, "rb") as f, pytest.raises(pyzeb.FormatError, match="checksum mismatch"):
        pyzeb.read(f)
    if not compress:  # unverified: the stored values, the damaged one included
        assert np.count_nonzero(pyzeb.read(p, verify=False) != a) == 1


@pytest.mark.parametrize("dtype,compress", [("i1", False), ("i1", True), ("i2", False), ("i2", 5), ("f4", False),
                                            ("f8", False)])
def test_checksum_false_writes_the_classic_file_byte_for_byte(tmp_path, dtype, compress):
    a = sample(dtype, (6, 40))
    p = str(tmp_path / "classic.f0")
    _pyzeb.fzwrite(p, a, int(compress is not False), "classic")
    classic = Path(p).read_bytes()
    assert pyzeb.encode(a, compress=compress, header="classic", checksum=False) == classic
    # with checksums: the same header (but its block count), the record, the same data
    new = pyzeb.encode(a, compress=compress, header="classic")
    assert new[:6] + new[7:512] == classic[:6] + classic[7:512] and (new[6], classic[6]) == (2, 1)
    assert new[1024:] == classic[512:]
    h = pyzeb.read_header(p)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert (h.checksum, h.metadata, h.data_changed) == (False, {}, False)
        assert np.array_equal(pyzeb.read(p), a)


@pytest.mark.parametrize("metadata,stored", [
    ({"exptime": 30.5, "object": "M31 \u00e9\u4e2d", "n": 2**70, "flags": [True, None, [1, {"a": -2}]]}, None),
    ({"gain": np.float32(1.5), "binning": np.int64(2), "dark": np.bool_(False)}, {"gain": 1.5, "binning": 2,
                                                                                  "dark": False}),
    ({}, {}),
    (None, {}),
])
def test_metadata_round_trip(tmp_path, metadata, stored):
    p = tmp_path / "m.f0"
    pyzeb.write(p, sample("i2"), metadata=metadata)
    h = pyzeb.read_header(p)
    assert h.metadata == (metadata if stored is None else stored)
    assert pyzeb.read_header(io.BytesIO(p.read_bytes())).metadata == h.metadata
    assert np.array_equal(_pyzeb.fzread(str(p))["data"], sample("i2"))  # classic readers skip the record


@pytest.mark.parametrize("metadata,match", [
    ([1, 2], "must be a dict of JSON values, not list"),
    ({"x": float("nan")}, "JSON values"),
    ({"x": float("inf")}, "JSON values"),
    ({"x": (1, 2)}, "read back equal"),
    ({1: "one"}, "read back equal"),
    ({"x": object()}, "object is not a JSON value"),
    ({"x": np.zeros(2)}, "ndarray is not a JSON value"),
    ({"x": "\udce9"}, "JSON values"),
    # deflated above 4 kB: only what still does not fit is refused
    ({"x": np.random.default_rng(0).bytes(9000).hex()},
     r"^metadata too large: 18008 bytes, \d+ deflated, and at most 7604 deflated bytes fit in the header$"),
])
def test_metadata_refusals_touch_nothing(tmp_path, metadata, match):
    p = tmp_path / "r.f0"
    with pytest.raises(ValueError, match=match):
        pyzeb.write(p, sample("i2"), metadata=metadata)
    assert not p.exists()


def resealed(image, version, section):
    """image with its record made a newer version holding one section more."""
    b = bytearray(image)
    length = struct.unpack_from("<I", b, 512 + 12)[0]
    rec = bytearray(b[512:512 + length]) + section
    struct.pack_into("<HHI", rec, 8, version, 24, len(rec))
    struct.pack_into("<I", rec, 20, 0)
    struct.pack_into("<I", rec, 20, lib.zeb_crc32c(0, bytes(rec), len(rec)))
    b[512:512 + len(rec)] = rec
    return bytes(b)


def test_a_newer_record_warns_what_was_not_checked(tmp_path):
    a = sample("i2")
    p = tmp_path / "newer.f0"
    p.write_bytes(resealed(pyzeb.encode(a, metadata={"k": "v"}), 7, struct.pack("<HHI", 40, 0, 4) + b"seek"))
    for call in (pyzeb.read, pyzeb.read_header):
        with pytest.warns(pyzeb.FormatWarning, match=f"^{p}: the header record is of version 7 .* 1 section.*"
                                                     r"type 40\) were not checked"):
            call(p)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert np.array_equal(pyzeb.read(p), a) and pyzeb.read_header(p).metadata == {"k": "v"}


def test_memmap_written_to_is_never_reported_damaged(tmp_path):
    a = sample("u2", (30, 40))
    p = tmp_path / "m.f0"
    pyzeb.write(p, a, compress=False, metadata={"k": 1})
    r = pyzeb.memmap(p)  # reading maps leave the file as it is
    del r
    assert not pyzeb.read_header(p).data_changed
    m = pyzeb.memmap(p, mode="r+")
    assert m.dtype == np.uint16 and pyzeb.read_header(p).data_changed
    m[3, 4] = 65000
    m.flush()
    del m
    a[3, 4] = 65000
    assert np.array_equal(pyzeb.read(p), a)
    h = pyzeb.read_header(p)
    assert (h.checksum, h.data_changed, h.metadata, h.dtype) == (True, True, {"k": 1}, np.uint16)
    assert pyzeb.add_checksum(p) == "renewed"
    assert not pyzeb.read_header(p).data_changed and pyzeb.add_checksum(p) == "kept"
    image = bytearray(p.read_bytes())
    image[-1] ^= 1  # the data are checked again
    p.write_bytes(image)
    with pytest.raises(pyzeb.FormatError, match="checksum mismatch"):
        pyzeb.read(p)

@posix_only

def test_add_checksum(tmp_path):
    a = sample("i2", (20, 30))
    p = tmp_path / "old.f0"
    pyzeb.write(p, a, checksum=False)
    os.chmod(p, 0o600)
    assert pyzeb.add_checksum(p) == "added" and pyzeb.read_header(p).checksum
    assert os.stat(p).st_mode & 0o777 == 0o600 and np.array_equal(pyzeb.read(p), a)
    assert pyzeb.add_checksum(os.fsencode(p)) == "kept"
    # refused, the file untouched: bytes after the data, damaged data
    for name, image in (("trailing.f0", pyzeb.encode(a, checksum=False) + b"notes"),
                        ("damaged.f0", pyzeb.encode(a)[:-1] + b"\x7f")):
        q = tmp_path / name
        q.write_bytes(image)
        with pytest.raises(pyzeb.FormatError) as info:
            pyzeb.add_checksum(q)
        assert info.value.filename == str(q) and q.read_bytes() == image
    with pytest.raises(FileNotFoundError):
        pyzeb.add_checksum(tmp_path / "missing.f0")


def test_write_if_unchanged_refuses_a_replaced_file(tmp_path):
    p = tmp_path / "w.f0"
    pyzeb.write(p, sample("i2"))
    st = os.stat(p)
    pyzeb.write(p, sample("i4"))  # someone else's rewrite
    before = p.read_bytes()
    with pytest.raises(OSError, match="changed while it was being rewritten"):
        pyzeb.write(p, sample("i1"), if_unchanged=st)
    assert p.read_bytes() == before
    pyzeb.write(p, sample("i1"), if_unchanged=os.stat(p))
    assert pyzeb.read(p).dtype == np.int8


def test_bool_data_other_than_0_and_1_are_refused():
    image = bytearray(pyzeb.encode(np.array([True, False, True])))
    image[-2] = 2
    with pytest.raises(pyzeb.FormatError, match="checksum mismatch"):
        pyzeb.decode(bytes(image))
    with pytest.raises(pyzeb.FormatError, match="^<buffer>: bool data hold bytes other than 0 and 1$"):
        pyzeb.decode(bytes(image), verify=False)
