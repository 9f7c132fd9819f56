"""pyzeb's header record through the C interface: CRC-32C, verified reads,
damage of every kind, records of other versions, and keeping records up to date."""
import ctypes as C
import os
import struct
import subprocess
import sys

import numpy as np
import pytest

import _pyzeb
from clib import Info, Payload, RecordInfo, Report, lib
from platforms import linux_only, posix_only
from test_write import c_dims

RAW, AUTO = -1, -2
E_BAD_ARGUMENT, E_CHECKSUM, E_RECORD, E_METADATA_TOO_LARGE = -27, -28, -29, -30
E_FOREIGN_BLOCKS, E_TRAILING_BYTES, E_CHANGED, E_NEWER_RECORD = -31, -32, -33, -34
EV_CHECKSUM, EV_RECORD_DAMAGED, EV_RECORD_SKIPPED, EV_W_METADATA_TOO_LARGE = 32, 33, 34, 35
NO_VERIFY, WRITE_ATOMIC, WRITE_IF_UNCHANGED = 1, 1, 2
NONE, OK, DAMAGED = 0, 1, 2
UINT8, UINT16, UINT32, UINT64, BOOL = 1, 2, 3, 4, 5
F0_DTYPES = {0: "<i1", 1: "<i2", 2: "<i4", 3: "<f4", 4: "<f8", 5: "<i8"}


def crc(data, method=0, start=0):
    value = C.c_uint32(start)
    st = lib.zeb_crc32c_with(method, C.byref(value), bytes(data), len(data))
    return value.value if st == 0 else None


def build(arr, typ, mode=RAW, dtype=0, metadata=None, record=True):
    """The bytes of the file zeb_prepare (+ zeb_payload_add_record) makes of arr."""
    arr = np.ascontiguousarray(arr)
    dims = list(arr.shape[::-1])
    pl = Payload()
    assert lib.zeb_prepare(arr.ctypes.data, typ, c_dims(dims), len(dims), b"hdr", 3, mode, 1, C.byref(pl),
                           None) == 0
    try:
        if record:
            meta = -1 if metadata is None else len(metadata)
            assert lib.zeb_payload_add_record(C.byref(pl), dtype, metadata, meta, None) == 0
        return pl.file_bytes()
    finally:
        lib.zeb_payload_free(C.byref(pl))


def read(image, flags=0):
    """Opens and reads a file image: (status, data bytes or None, record info, report)."""
    buf = C.create_string_buffer(bytes(image), len(image))
    reader, info, rec, rep = C.c_void_p(), Info(), RecordInfo(), Report()
    st = lib.zeb_open_memory_ex(buf, len(image), flags, C.byref(reader), C.byref(info), C.byref(rec),
                                C.byref(rep))
    if st != 0:
        return st, None, rec, rep
    out = C.create_string_buffer(max(info.nbytes, 1))
    st = lib.zeb_read_data(reader, out, info.nbytes, C.byref(rep))
    lib.zeb_close(reader)
    return st, out.raw[:info.nbytes], rec, rep


def sample(typ, shape=(3, 7)):
    rng = np.random.default_rng(typ)
    v = rng.integers(-40, 40, size=shape).cumsum(axis=1)
    return v.astype(F0_DTYPES[typ]) if typ != 3 else (v * 0.25).astype("<f4")


# ---- CRC-32C ------------------------------------------------------------------

# Published check values: the CRC catalogue's "123456789" and RFC 3720's iSCSI vectors.
VECTORS = [(b"", 0), (b"123456789", 0xE3069283), (bytes(32), 0x8A9136AA), (b"\xff" * 32, 0x62A8AB43),
           (bytes(range(32)), 0x46DD794E), (bytes(range(31, -1, -1)), 0x113FDB5C)]
METHODS = [m for m in range(5) if crc(b"x", m) is not None]


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("data, expected", VECTORS)
def test_crc_vectors(method, data, expected):
    assert crc(data, method) == expected


def test_crc_methods_agree_on_lengths_alignments_and_chaining():
    assert METHODS[:2] == [0, 1] and lib.zeb_crc32c_method() in (1, 3, 4)
    rng = np.random.default_rng(7)
    blob = rng.integers(0, 256, 3 * 8192 * 3 + 999, dtype=np.uint8).tobytes()
    lengths = list(range(0, 200)) + [255, 256, 257, 767, 768, 3 * 8192 - 1, 3 * 8192, 3 * 8192 + 13, len(blob) - 8]
    for n in lengths:
        for off in (0, 1, 3, 7):
            piece = blob[off:off + n]
            want = crc(piece, 1)
            assert {crc(piece, m) for m in METHODS} == {want}, (n, off)
            cut = n // 3
            assert lib.zeb_crc32c(lib.zeb_crc32c(0, piece[:cut], cut), piece[cut:], n - cut) == want


# ---- writing and reading the record ------------------------------------------

@pytest.mark.parametrize("typ", range(6))
@pytest.mark.parametrize("mode", [RAW, AUTO])
def test_round_trip_with_metadata_and_classic_readers(tmp_path, typ, mode):
    arr = sample(typ)
    meta = '{"OBJECT": "M 31", "EXPTIME": 30.0, "note": "\u00e9t\u00e9"}'.encode()
    image = build(arr, typ, mode, metadata=meta)
    assert image[6] == 2 and image[512:520] == b"PYZEBREC"
    st, data, rec, rep = read(image)
    assert st == 0 and data == arr.tobytes() and rep.count == 0
    assert (rec.state, rec.version, rec.checksum, rec.data_unchecked, rec.dtype) == (OK, 1, 1, 0, 0)
    assert bytes(rec.metadata[:rec.metadata_size]) == meta and rec.has_metadata
    assert rec.header_crc == crc(image[:512]) and rec.data_crc == crc(image[1024:])
    path = tmp_path / "r.f0"
    path.write_bytes(image)
    classic = _pyzeb.fzread(str(path))  # legacy readers skip the record
    assert classic["data"].tobytes() == arr.tobytes()


@pytest.mark.parametrize("dtype, typ, values", [
    (UINT8, 0, np.array([0, 1, 200, 255], "<u1")), (BOOL, 0, np.array([0, 1, 1, 0], "<u1")),
    (UINT16, 1, np.array([0, 65535, 40000, 7], "<u2")), (UINT32, 2, np.array([0, 2**32 - 1, 3, 2**31], "<u4")),
    (UINT64, 5, np.array([0, 2**64 - 1, 5, 2**63], "<u8"))])
def test_true_dtype_stored_as_signed_bits(tmp_path, dtype, typ, values):
    signed = values.view(F0_DTYPES[typ])
    for mode in (RAW, AUTO):
        image = build(signed, typ, mode, dtype=dtype)
        st, data, rec, _ = read(image)
        assert st == 0 and rec.dtype == dtype and data == values.tobytes()
        (tmp_path / "u.f0").write_bytes(image)
        assert _pyzeb.fzread(str(tmp_path / "u.f0"))["data"].tobytes() == values.tobytes()
    other = {0: UINT16, 1: UINT8, 2: UINT64, 5: UINT32}[typ]
    arr = np.ascontiguousarray(signed)
    pl = Payload()
    assert lib.zeb_prepare(arr.ctypes.data, typ, c_dims([4]), 1, b"", 0, RAW, 1, C.byref(pl), None) == 0
    assert lib.zeb_payload_add_record(C.byref(pl), other, None, -1, None) == E_BAD_ARGUMENT
    assert lib.zeb_payload_add_record(C.byref(pl), dtype, None, -1, None) == 0
    assert lib.zeb_payload_add_record(C.byref(pl), dtype, None, -1, None) == E_BAD_ARGUMENT  # only once
    lib.zeb_payload_free(C.byref(pl))


def test_metadata_limit_and_header_size():
    arr = np.arange(6, dtype="<i2")
    for dtype in (0, UINT16):
        most = lib.zeb_record_metadata_max(dtype)
        image = build(arr, 1, dtype=dtype, metadata=b"x" * most)
        assert image[6] == 16 and len(image) == 16 * 512 + 12 and read(image)[0] == 0
        pl, rep = Payload(), Report()
        assert lib.zeb_prepare(arr.ctypes.data, 1, c_dims([6]), 1, b"", 0, RAW, 1, C.byref(pl), None) == 0
        st = lib.zeb_payload_add_record(C.byref(pl), dtype, b"x" * (most + 1), most + 1, C.byref(rep))
        assert st == E_METADATA_TOO_LARGE and pl.record_size == 0 and pl.header[6] == 1
        assert (rep.events[0].code, rep.events[0].a, rep.events[0].b) == (EV_W_METADATA_TOO_LARGE, most + 1, most)
        lib.zeb_payload_free(C.byref(pl))
    assert lib.zeb_record_metadata_max(UINT16) == lib.zeb_record_metadata_max(0) - 12
    assert len(build(arr, 1, metadata=b"")) == 1024 + 12  # small records take one block


# ---- damage --------------------------------------------------------------------

def flips(image, start, stop):
    """Every single-bit flip of image[start:stop]."""
    b = bytearray(image)
    for i in range(start, stop):
        for bit in range(8):
            b[i] ^= 1 << bit
            yield i, bit, bytes(b)
            b[i] ^= 1 << bit


@pytest.mark.parametrize("typ, mode", [(1, RAW), (1, AUTO), (0, AUTO), (3, RAW), (2, AUTO), (5, RAW)])
def test_every_bit_flip_in_header_and_data_is_refused(typ, mode):
    arr = sample(typ, (2, 9))
    image = build(arr, typ, mode, metadata=b'{"a": 1}')
    assert read(image)[0] == 0
    data_at = 512 * image[6]
    for where, stop in (("header", 512), ("data", len(image))):
        for i, bit, bad in flips(image, 0 if where == "header" else data_at, stop):
            st, _, _, rep = read(bad)
            assert st < 0, (where, i, bit)
            if where == "data" or i not in (0, 1, 2, 3, 6):  # synch and header_blocks have their own statuses
                assert st == E_CHECKSUM and rep.events[0].code == EV_CHECKSUM, (where, i, bit, st)
    # Unverified reads take the data as they are.
    for i, bit, bad in list(flips(image, data_at, len(image)))[::5] if mode == RAW else []:
        st, data, rec, _ = read(bad, NO_VERIFY)
        assert st == 0 and data == bad[data_at:] and rec.state == OK


def test_every_bit_flip_in_the_record_is_reported():
    image = build(sample(1), 1, AUTO, dtype=0, metadata=b'{"k": [1, 2, 3]}')
    length = struct.unpack_from("<I", image, 512 + 12)[0]
    faults = set()
    for i, bit, bad in flips(image, 512, 512 + length):
        st, _, rec, rep = read(bad)
        assert st == E_RECORD and rep.events[0].code == EV_RECORD_DAMAGED, (i, bit)
        faults.add(rep.events[0].a)
        st, data, rec, _ = read(bad, NO_VERIFY)  # unverified: the data, without the record
        assert st == 0 and rec.state == DAMAGED and data == sample(1).tobytes()
    assert faults == {1, 2, 3}  # magic, layout, CRC


def test_record_describing_other_data_and_misplaced_record():
    arr = sample(1)
    image = bytearray(build(arr, 1, RAW))
    # header_blocks cleared: the record's magic stands where data should begin.
    bad = bytearray(image)
    bad[6] = 1
    st, _, _, rep = read(bad)
    assert st == E_RECORD and rep.events[0].a == 5
    # a sound record that does not fit the file: another file's header and data
    other = build(sample(1, (3, 8)), 1, RAW)
    mixed = other[:512] + image[512:1024] + other[1024:]
    assert read(mixed)[0] in (E_CHECKSUM, E_RECORD)


def with_record(image, version=1, extra_sections=b"", patch=None):
    """image with its record rewritten: another version, further sections, resealed."""
    b = bytearray(image)
    length = struct.unpack_from("<I", b, 512 + 12)[0]
    rec = bytearray(b[512:512 + length]) + extra_sections
    struct.pack_into("<HHI", rec, 8, version, 24, len(rec))
    if patch:
        patch(rec)
    struct.pack_into("<I", rec, 20, 0)
    struct.pack_into("<I", rec, 20, crc(bytes(rec)))
    assert len(rec) <= 512 * (b[6] - 1)
    b[512:512 + len(rec)] = rec
    return bytes(b)


def test_newer_record_is_used_as_far_as_understood():
    arr = sample(1)
    image = build(arr, 1, AUTO, dtype=0, metadata=b"{}")
    newer = with_record(image, version=3, extra_sections=struct.pack("<HHI", 9, 0, 4) + b"seek")
    st, data, rec, rep = read(newer)
    assert st == 0 and data == arr.tobytes() and rec.version == 3
    assert (rec.skipped_count, rec.skipped_types[0]) == (1, 9)
    assert [(e.code, e.status, e.a, e.b) for e in rep.events[:rep.count]] == [(EV_RECORD_SKIPPED, 0, 3, 1)]
    # what it understands is still checked
    damaged = bytearray(newer)
    damaged[-1] ^= 0x10
    assert read(damaged)[0] == E_CHECKSUM
    # a true dtype of a later version is skipped too: the data read as stored
    u = build(arr.view("<u2"), 1, RAW, dtype=UINT16)
    later = with_record(u, patch=lambda r: struct.pack_into("<I", r, 24 + 8 + 24 + 8, 77))
    st, data, rec, rep = read(later)
    assert st == 0 and rec.dtype == 0 and rec.skipped_types[0] == 2 and rep.events[0].code == EV_RECORD_SKIPPED


def read_path(path, flags=0):
    reader, info, rep = C.c_void_p(), Info(), Report()
    st = lib.zeb_open_ex(str(path).encode(), flags, C.byref(reader), C.byref(info), None, C.byref(rep), None)
    if st != 0:
        return st
    out = C.create_string_buffer(max(info.nbytes, 1))
    st = lib.zeb_read_data(reader, out, info.nbytes, C.byref(rep))
    lib.zeb_close(reader)
    return st


@pytest.mark.parametrize("mode", [RAW, AUTO])
def test_files_read_in_pieces_check_every_piece(tmp_path, mode):
    """Large files: raw data checked piece by piece (on a second thread),
    streams window by window."""
    arr = np.random.default_rng(4).normal(1000, 300, (1200, 1100)).astype("<i2")
    image = build(arr, 1, mode)
    assert image[4] == (mode == AUTO) and len(image) > 1.5 * 2**20
    path = tmp_path / "big.f0"
    for at in (None, 1024 + 5, len(image) // 2, len(image) - 1):
        bad = bytearray(image)
        if at is not None:
            bad[at] ^= 0x40
        path.write_bytes(bad)
        assert read_path(path) == (0 if at is None else E_CHECKSUM), at
        assert read_path(path, NO_VERIFY) in ((0,) if mode == RAW or at is None else (0, -17, -18, -19, -22))


@pytest.mark.parametrize("blocks", [
    [bytes(512)], [b"\x01" * 512, bytes(512)], [b"PYZEB\x00\x00\x00" + bytes(504)], [b"pyzebrec" + bytes(504)]])
def test_foreign_spare_blocks_read_as_before(blocks):
    arr = sample(2)
    plain = build(arr, 2, AUTO, record=False)
    image = bytearray(plain[:512]) + b"".join(blocks) + plain[512:]
    image[6] = 1 + len(blocks)
    st, data, rec, rep = read(bytes(image))
    assert st == 0 and data == arr.tobytes() and rec.state == NONE and rep.count == 0


# ---- keeping records up to date -------------------------------------------------

def checksum_file(path, flags=0):
    action, rep = C.c_int32(-1), Report()
    st = lib.zeb_checksum_file(str(path).encode(), flags, C.byref(action), C.byref(rep), None)
    return st, action.value


def test_mark_unchecked_then_checksum_renews(tmp_path):
    arr = sample(1)
    path = tmp_path / "m.f0"
    path.write_bytes(build(arr, 1, RAW, dtype=UINT16, metadata=b'{"m": 1}'))
    fd = os.open(path, os.O_RDWR)
    try:
        assert lib.zeb_mark_unchecked(fd, None, None) == 0
        assert lib.zeb_mark_unchecked(fd, None, None) == 0  # already marked
    finally:
        os.close(fd)
    changed = bytearray(path.read_bytes())
    changed[-1] ^= 0x55  # the data changed in place, as through a memory map
    path.write_bytes(changed)
    st, data, rec, _ = read(changed)
    assert st == 0 and rec.data_unchecked == 1 and data == changed[1024:]
    head = bytearray(changed)
    head[300] ^= 1
    assert read(head)[0] == E_CHECKSUM  # the header is still checked
    assert checksum_file(path) == (0, 2)
    st, data, rec, _ = read(path.read_bytes())
    assert st == 0 and rec.data_unchecked == 0 and rec.dtype == UINT16 and data == changed[1024:]
    assert bytes(rec.metadata[:rec.metadata_size]) == b'{"m": 1}'
    assert checksum_file(path) == (0, 0)
    # nothing to mark without a record; a damaged record is refused; both left as they are
    plain = build(arr, 1, RAW, record=False)
    broken = bytearray(path.read_bytes())
    broken[530] ^= 1
    for content, status in ((plain, 0), (bytes(broken), E_RECORD)):
        path.write_bytes(content)
        fd = os.open(path, os.O_RDWR)
        try:
            assert lib.zeb_mark_unchecked(fd, None, None) == status
        finally:
            os.close(fd)
        assert path.read_bytes() == content

@posix_only

def test_checksum_file_adds_refuses_and_keeps_files(tmp_path):
    arr = sample(1, (8, 64))
    plain = build(arr, 1, AUTO, record=False)
    assert plain[4] == 1  # compressed
    path = tmp_path / "c.f0"
    path.write_bytes(plain)
    os.chmod(path, 0o640)
    assert checksum_file(path) == (0, 1)
    after = path.read_bytes()
    assert after[:6] == plain[:6] and after[7:512] == plain[7:512] and after[-len(plain) + 512:] == plain[512:]
    assert read(after)[1] == arr.tobytes() and os.stat(path).st_mode & 0o777 == 0o640
    # refused, file untouched: damaged data, trailing bytes, foreign blocks, a newer record, a broken stream
    damaged = bytearray(after)
    damaged[-2] ^= 4
    foreign = bytearray(plain[:512] + b"\x07" * 512 + plain[512:])
    foreign[6] = 2
    broken = bytearray(plain)
    broken[520:530] = b"\xff" * 10
    cases = [(damaged, E_CHECKSUM, 0), (plain + b"tail", E_TRAILING_BYTES, 0), (foreign, E_FOREIGN_BLOCKS, 0),
             (with_record(after, version=2), E_NEWER_RECORD, 0), (broken, None, 0)]
    for content, status, flags in cases:
        path.write_bytes(content)
        st, action = checksum_file(path, flags)
        assert st < 0 and (status is None or st == status) and action == 0 and path.read_bytes() == content
    for content, flags in ((plain + b"tail", 2), (foreign, 1)):
        path.write_bytes(content)
        assert checksum_file(path, flags) == (0, 1) and read(path.read_bytes())[1] == arr.tobytes()


# ---- file-layer faults ----------------------------------------------------------

def payload_of(arr):
    pl = Payload()
    assert lib.zeb_prepare(arr.ctypes.data, 1, c_dims([arr.size]), 1, b"", 0, RAW, 1, C.byref(pl), None) == 0
    return pl

@posix_only

def test_replacing_keeps_mode_owner_and_refuses_a_changed_file(tmp_path):
    arr = np.arange(8, dtype="<i2")
    pl = payload_of(arr)
    path = tmp_path / "p.f0"
    try:
        path.write_bytes(b"old")
        os.chmod(path, 0o600)
        if os.geteuid() == 0:
            os.chown(path, 1234, 5678)
        assert lib.zeb_write_payload(str(path).encode(), C.byref(pl), WRITE_ATOMIC, None, None) == 0
        st = os.stat(path)
        assert st.st_mode & 0o7777 == 0o600 and path.read_bytes() == pl.file_bytes()
        if os.geteuid() == 0:
            assert (st.st_uid, st.st_gid) == (1234, 5678)
        # the file as read, then changed by someone else before the rename
        st = os.stat(path)
        pl.expect.dev, pl.expect.ino, pl.expect.size, pl.expect.mtime_ns = st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns
        flags = WRITE_ATOMIC | WRITE_IF_UNCHANGED
        assert lib.zeb_write_payload(str(path).encode(), C.byref(pl), flags, None, None) == 0
        path.write_bytes(b"someone else's")
        assert lib.zeb_write_payload(str(path).encode(), C.byref(pl), flags, None, None) == E_CHANGED
        assert path.read_bytes() == b"someone else's" and os.listdir(tmp_path) == ["p.f0"]
    finally:
        lib.zeb_payload_free(C.byref(pl))


WRITE_TO = """
import ctypes as C, os, sys
import numpy as np
sys.path.insert(0, {tests!r})
from clib import lib
from test_record import payload_of
os.write(1, b"printed before\\n")
pl = payload_of(np.arange(4, dtype="<i2"))
sys.exit(lib.zeb_write_payload({target!r}.encode(), C.byref(pl), {flags}, None, None))
"""


@linux_only
@pytest.mark.parametrize("flags", [0, WRITE_ATOMIC])
@pytest.mark.parametrize("target", ["/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"])
def test_writing_to_a_descriptor_path_keeps_the_redirected_file(tmp_path, target, flags):
    out = tmp_path / "out.bin"
    script = WRITE_TO.format(tests=os.path.dirname(__file__), target=target, flags=flags)
    with open(out, "wb") as f:
        inode = os.fstat(f.fileno()).st_ino
        subprocess.run([sys.executable, "-c", script], stdout=f, check=True)
    body = out.read_bytes()
    assert body.startswith(b"printed before\n") and len(body) == 15 + 512 + 8
    assert os.stat(out).st_ino == inode and os.listdir(tmp_path) == ["out.bin"]


def test_worked_example_of_the_format_document():
    """docs/format.md's example, byte for byte."""
    arr = np.arange(1, 7, dtype="<u2").reshape(2, 3).view("<i2")
    pl = Payload()
    assert lib.zeb_prepare(arr.ctypes.data, 1, c_dims([3, 2]), 2, b"abc", 3, RAW, 1, C.byref(pl), None) == 0
    assert lib.zeb_payload_add_record(C.byref(pl), UINT16, b'{"EXPTIME": 30}', 15, None) == 0
    image = pl.file_bytes()
    lib.zeb_payload_free(C.byref(pl))
    record = bytes.fromhex(
        "50 59 5A 45 42 52 45 43 01 00 18 00 5B 00 00 00 00 00 00 00 F1 DF 41 3D 01 00 00 00 18 00 00 00"
        "00 00 00 00 13 00 88 31 B1 9A 48 2F 00 00 00 00 0C 00 00 00 00 00 00 00 02 00 00 00 04 00 00 00"
        "02 00 00 00 03 00 00 00 0F 00 00 00 7B 22 45 58 50 54 49 4D 45 22 3A 20 33 30 7D")
    assert len(image) == 1036 and image[:16] == bytes.fromhex("AA AA 55 55 00 00 02 01 02 00 0C 00 00 00 00 00")
    assert image[512:1024] == record + bytes(512 - len(record))
    assert image[1024:] == bytes.fromhex("01 00 02 00 03 00 04 00 05 00 06 00")
