"""Files read by byte ranges: fsspec URLs (memory://, and real web and S3
servers started on 127.0.0.1) and seekable file objects, against reads of
the same file on disk, with the bytes each read transfers."""
import io
import pickle

import numpy as np
import pytest

import pyzeb
from servers import nginx, s3  # noqa: F401 (fixtures)
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


# ---- real servers: what each read transfers ---------------------------------

@pytest.fixture(scope="module")
def big_images():
    rng = np.random.default_rng(21)
    return {
        "raw 32 MiB": (None, pyzeb.encode(np.zeros((4096, 4096), np.int16), compress=False)),
        "cube": (cube := rng.normal(1000, 30, (16, 512, 512)).astype(np.int16), pyzeb.encode(cube)),
        "frame": (f := rng.normal(500, 20, (2048, 2048)).astype(np.int16), pyzeb.encode(f)),
    }


@pytest.mark.parametrize("server", ["nginx", "s3"])
def test_bytes_served_by_real_servers(request, big_images, server):
    srv = request.getfixturevalue(server)
    options = getattr(srv, "options", None)
    urls = {name: srv.put(name.replace(" ", "-") + ".f0", image) for name, (_, image) in big_images.items()}
    served = {}

    def measure(what, call):
        before = srv.served()
        result = call()
        served[what] = srv.served() - before
        return result

    size = {name: len(image) for name, (_, image) in big_images.items()}
    h = measure("read_header", lambda: pyzeb.read_header(urls["raw 32 MiB"], storage_options=options))
    assert h.shape == (4096, 4096) and served["read_header"] <= 64 * KiB
    cube, frame = big_images["cube"][0], big_images["frame"][0]
    lazy = measure("open cube", lambda: pyzeb.open(urls["cube"], storage_options=options))
    assert np.array_equal(measure("plane", lambda: lazy[9]), cube[9])
    assert served["open cube"] + served["plane"] <= size["cube"] / 8 + 64 * KiB
    lazy = pyzeb.open(urls["frame"], storage_options=options)
    assert np.array_equal(measure("band", lambda: lazy[1024:1152, ::2]), frame[1024:1152, ::2])
    assert served["band"] <= size["frame"] / 8 + 64 * KiB
    part = measure("read(url, k)", lambda: pyzeb.read(urls["cube"], 3, storage_options=options))
    assert np.array_equal(part, cube[3]) and served["read(url, k)"] <= size["cube"] / 8 + 64 * KiB
    if pytest.importorskip("dask"):
        d = pyzeb.read_dask(urls["frame"], chunks=256, storage_options=options)
        assert np.array_equal(measure("read_dask", d.compute), frame)
        assert served["read_dask"] <= 1.25 * size["frame"]
    print(f"\n{server}: bytes served: " + ", ".join(f"{k} {v}" for k, v in served.items())
          + f" (cube {size['cube']}, frame {size['frame']})")
    # A replaced object is noticed by a lazy array opened before.
    srv.put("cube.f0", pyzeb.encode(cube[::-1]))
    with pytest.raises(pyzeb.FormatError, match="replaced or changed"):
        lazy = pyzeb.open(urls["cube"], storage_options=options)
        srv.put("cube.f0", pyzeb.encode(cube))
        lazy[0]


def test_a_file_object_that_cannot_seek_to_its_end_is_read_whole(images):
    import gzip
    a, image = images["indexed cube"]
    with gzip.GzipFile(fileobj=io.BytesIO(gzip.compress(image))) as f:
        assert np.array_equal(pyzeb.read(f, 5), a[5])


def test_a_web_server_that_ignores_ranges_still_gives_the_part(images, tmp_path):
    pytest.importorskip("aiohttp", reason="fsspec's http file system needs aiohttp")
    import functools
    import http.server
    import threading
    a, image = images["indexed cube"]
    (tmp_path / "c.f0").write_bytes(image)
    (tmp_path / "empty.f0").write_bytes(b"")
    handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=str(tmp_path))
    handler.log_message = lambda *args: None
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)  # sends whole files, always
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        url = f"http://127.0.0.1:{server.server_port}"
        assert np.array_equal(pyzeb.read(f"{url}/c.f0", 7), a[7])
        assert np.array_equal(pyzeb.open(f"{url}/c.f0")[-3:, 5], a[-3:, 5])
        with pytest.raises(pyzeb.FormatError, match="header"):
            pyzeb.read_header(f"{url}/empty.f0")
    finally:
        server.shutdown()
        thread.join()
        server.server_close()
