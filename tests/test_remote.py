"""Files read by byte ranges: fsspec URLs (memory://, and real web and S3
servers started on 127.0.0.1) and seekable file objects, against reads of
the same file on disk, with the bytes each read transfers."""
import io
import pickle

import numpy as np
import pytest

import pyzeb
from test_partial import frame

KiB = 1024


def counting(data):
    """A seekable file object over `data` that counts the bytes read from it."""
    class Counting(io.BytesIO):
        served = 0

        def read(self, n=-1):
            b = super().read(n)
            type(self).served += len(b)
            return b
    return Counting(data)


# name: (array, write options)
FILES = {
    "raw cube": (frame(np.uint16, (16, 64, 80)), dict(compress=False)),
    "indexed frame": (frame(np.int16, (2048, 512)), {}),
    "indexed cube": (frame(np.int32, (16, 128, 96)), {}),
    "unindexed": (frame(np.int16, (300, 200)), dict(checksum=False)),
}


@pytest.fixture(scope="module")
def images():
    return {name: (a, pyzeb.encode(a, **options)) for name, (a, options) in FILES.items()}


@pytest.fixture
def memory_fs():
    fsspec = pytest.importorskip("fsspec")
    fs = fsspec.filesystem("memory")
    yield fs
    fs.rm("/pyzeb-test", recursive=True) if fs.exists("/pyzeb-test") else None


def band(n):
    """The first-axis indexes the tests take: one plane or a 1/16 band of rows."""
    return [n // 3, slice(n // 2, n // 2 + max(1, n // 16)), -1]


@pytest.mark.parametrize("name", FILES)
def test_file_objects_are_read_by_ranges(images, name):
    a, image = images[name]
    f = counting(image)
    assert pyzeb.read_header(f).shape == a.shape and type(f).served <= 16 * 512 + 14
    for index in band(a.shape[0]):
        f = counting(image)
        assert np.array_equal(pyzeb.read(f, index), a[index])
        if name != "unindexed":  # its stream is read whole, as it must be decoded from its start
            assert type(f).served <= len(image) / 8 + 64 * KiB, index
    f = counting(b"junk" + image)
    f.seek(4)  # the file begins where the object stands
    assert np.array_equal(pyzeb.read(f, 2), a[2])
    f.seek(4)
    assert np.array_equal(pyzeb.open(f)[-2:], a[-2:])


@pytest.mark.parametrize("name", FILES)
def test_memory_urls(images, memory_fs, name):
    a, image = images[name]
    url = f"memory://pyzeb-test/{name.replace(' ', '_')}.f0"
    memory_fs.pipe(url, image)
    assert pyzeb.read_header(url) == pyzeb.read_header(io.BytesIO(image))
    assert np.array_equal(pyzeb.read(url), a)
    lazy = pyzeb.open(url)
    for index in band(a.shape[0]):
        assert np.array_equal(pyzeb.read(url, index), a[index])
        assert np.array_equal(pickle.loads(pickle.dumps(lazy))[index, 1:], a[index, 1:])
    if pytest.importorskip("dask"):
        assert np.array_equal(pyzeb.read_dask(url, chunks=5).compute(), a)
        assert np.array_equal(pyzeb.read_stack([url, url], chunks=7)[1].compute(), a)
    memory_fs.pipe(url, pyzeb.encode(a[::-1], **FILES[name][1]))
    with pytest.raises(pyzeb.FormatError, match="replaced or changed since it was opened"):
        lazy[0]


def test_what_urls_refuse(tmp_path, memory_fs):
    pyzeb.write(tmp_path / "a.f0", np.arange(6, dtype=np.int8))
    for call in (pyzeb.read, pyzeb.read_header, pyzeb.open):
        with pytest.raises(TypeError, match="storage_options apply to URLs only"):
            call(tmp_path / "a.f0", storage_options={})
        with pytest.raises(FileNotFoundError):
            call("memory://pyzeb-test/missing.f0")
    assert np.array_equal(pyzeb.read((tmp_path / "a.f0").as_uri()), np.arange(6))
    image = pyzeb.encode(frame(np.int16, (400, 300)))
    memory_fs.pipe("memory://pyzeb-test/short.f0", image[:len(image) // 2])
    with pytest.raises(pyzeb.FormatError, match="too short|ends"):
        pyzeb.read("memory://pyzeb-test/short.f0", -1)
