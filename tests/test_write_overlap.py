"""pyzeb.write codes a stream in pieces that go to the temporary file as they
are done (pieces of about 1000 bytes of array data here, see conftest.py):
the files must be byte for byte those of the one-thread, all-in-memory path
(pyzeb.encode) and of the classic writer, and failures must leave the old
file alone."""
import os

import numpy as np
import pytest

import _pyzeb
import pyzeb

rng = np.random.default_rng(16)


def walk(dtype, shape, step):
    return np.cumsum(rng.integers(-step, step + 1, shape), axis=-1).astype(dtype)


def sparse(shape):
    a = np.zeros(shape, np.int16)
    a.flat[rng.integers(0, a.size, a.size // 50)] = 700
    return a


ARRAYS = {
    "int8 2 rows": walk(np.int8, (2, 700), 2),
    "int8 7 rows, indexed": walk(np.int8, (7, 12000), 3),
    "int16 3 rows": walk(np.int16, (3, 499), 40),
    "int16 64 rows, indexed": walk(np.int16, (64, 600), 40),
    "int16 sparse (run-length)": sparse((40, 333)),
    "int32 cube": walk(np.int32, (3, 5, 257), 3000),
    "float32 noise (raw)": rng.normal(0, 1, (9, 300)).astype(np.float32),
    "uint16 one row": walk(np.uint16, (1, 5000), 9),
}


@pytest.mark.parametrize("name", ARRAYS)
@pytest.mark.parametrize("compress", [True, 5])
@pytest.mark.parametrize("checksum", [True, False])
def test_files_are_those_of_the_one_thread_path(tmp_path, name, compress, checksum):
    a = ARRAYS[name]
    if not checksum and a.dtype.kind == "u":
        a = a.view(a.dtype.str.replace("u", "i"))
    meta = {"frame": name} if checksum else None
    expected = pyzeb.encode(a, compress=compress, threads=1, checksum=checksum, metadata=meta, header="h")
    p = tmp_path / "f.f0"
    for threads in (1, 2, 3, 4):
        pyzeb.write(p, a, compress=compress, threads=threads, checksum=checksum, metadata=meta, header="h")
        assert p.read_bytes() == expected, threads
    assert os.listdir(tmp_path) == ["f.f0"]
    np.testing.assert_array_equal(pyzeb.read(p), a)
    if compress is True and a.ndim == 2 and a.dtype.kind == "i" and a.dtype.itemsize <= 2 and not checksum:
        # slice 5 is the classic writer's stream, byte for byte
        classic = tmp_path / "classic.f0"
        _pyzeb.fzwrite(str(classic), a, 1, "h")
        pyzeb.write(p, a, compress=5, checksum=False, header="h")
        assert p.read_bytes() == classic.read_bytes()


@pytest.mark.parametrize("compress", [True, 3])
def test_full_filesystem_leaves_the_old_file(small_tmpfs, compress):
    # The chosen stream's size is known and reserved first; a fixed slice's
    # is not, so its pieces run into the full disk as they are written.
    p = small_tmpfs / "f.f0"
    p.write_bytes(b"old")
    a = walk(np.int16, (300, 400), 3000)
    with pytest.raises(OSError) as e:
        pyzeb.write(p, a, compress=compress, threads=2)
    assert e.value.errno == 28
    assert p.read_bytes() == b"old" and os.listdir(small_tmpfs) == ["f.f0"]


@pytest.mark.skipif(os.name != "posix", reason="POSIX permission bits")
def test_replacement_keeps_permissions_and_if_unchanged_holds(tmp_path):
    p = tmp_path / "f.f0"
    a = walk(np.int16, (40, 500), 30)
    pyzeb.write(p, a, threads=2)
    os.chmod(p, 0o640)
    st = os.stat(p)
    pyzeb.write(p, a[::-1], threads=2)
    assert os.stat(p).st_mode & 0o777 == 0o640
    before = p.read_bytes()
    with pytest.raises(OSError, match="changed while it was being rewritten"):
        pyzeb.write(p, a, threads=2, if_unchanged=st)
    assert p.read_bytes() == before and os.listdir(tmp_path) == ["f.f0"]
