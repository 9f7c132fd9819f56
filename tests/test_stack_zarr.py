"""pyzeb.read_stack on Dask's threads and on a distributed cluster; the crunch
codec with Zarr and with numcodecs' conventions; messages for missing extras."""
import array
import importlib
import os
import pickle
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import pyzeb

da = pytest.importorskip("dask.array")
zarr = pytest.importorskip("zarr")
numcodecs = pytest.importorskip("numcodecs")
from pyzeb.codecs import Crunch  # noqa: E402

SANITIZER_RUN = "PYZEB_BUILD_DIR" in os.environ


@pytest.fixture(scope="module")
def stack(tmp_path_factory):
    d = tmp_path_factory.mktemp("stack")
    rng = np.random.default_rng(3)
    paths = []
    for i in range(6):
        paths.append(str(d / f"{i:02d}.f0"))
        pyzeb.write(paths[-1], (rng.poisson(300 + 10 * i, (48, 40)) - 100).astype(np.int16), compress=i % 2 == 0)
    return paths


def test_read_stack_threads_urls_and_a_differing_file(stack, tmp_path):
    import fsspec
    expected = np.stack([pyzeb.read(p) for p in stack])
    s = pyzeb.read_stack(stack)
    assert s.shape == (6, 48, 40) and s.dtype == np.int16 and s.chunks[0] == (1,) * 6
    assert np.array_equal(s.compute(scheduler="threads"), expected)
    assert int(s.sum(dtype=np.int64).compute(scheduler="threads")) == int(expected.sum(dtype=np.int64))
    pickle.dumps(dict(s.__dask_graph__()))  # nothing in the graph that a cluster could not ship
    # fsspec URLs: local ones and in-memory files
    fs = fsspec.filesystem("memory")
    for i, p in enumerate(stack[:2]):
        fs.pipe(f"/stack/{i}.f0", Path(p).read_bytes())
    urls = ["memory://stack/0.f0", "file://" + stack[1], "memory://stack/1.f0"]
    assert np.array_equal(pyzeb.read_stack(urls).compute(), expected[[0, 1, 1]])
    # a file whose shape or dtype differs fails only when its chunk is computed
    odd = tmp_path / "odd.f0"
    pyzeb.write(odd, np.zeros((48, 40), np.int32))
    s = pyzeb.read_stack(stack[:2] + [odd])
    assert np.array_equal(s[:2].compute(), expected[:2])
    with pytest.raises(pyzeb.FormatError, match=f"{odd}: .*dtype int32") as info:
        s.compute()
    assert info.value.filename == str(odd)
    with pytest.raises(ValueError, match="at least one"):
        pyzeb.read_stack([])
    with pytest.raises(TypeError, match="sequence of paths"):
        pyzeb.read_stack(stack[0])
    # a glob pattern stands for the files it matches, in sorted order
    assert np.array_equal(pyzeb.read_stack(os.path.join(os.path.dirname(stack[0]), "0[3-5].f0")).compute(),
                          expected[3:])
    assert np.array_equal(pyzeb.read_stack("memory://stack/*.f0").compute(), expected[:2])
    with pytest.raises(FileNotFoundError, match="no files match"):
        pyzeb.read_stack(str(tmp_path / "none-*.f0"))


@pytest.mark.skipif(SANITIZER_RUN, reason="worker processes are slow to start under the sanitizers")
def test_read_stack_and_read_dask_on_a_distributed_cluster(stack, tmp_path):
    distributed = pytest.importorskip("distributed")
    cube = np.random.default_rng(4).poisson(300, (1200, 400)).astype(np.int16)
    pyzeb.write(tmp_path / "cube.f0", cube)  # a stream with a seek index
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None,
                                  silence_logs=50) as cluster, distributed.Client(cluster) as client:
        s = pyzeb.read_stack(stack)
        total = client.compute(s.astype(np.int64).sum(axis=(1, 2))).result()
        d = pyzeb.read_dask(tmp_path / "cube.f0", chunks=1000)
        rows = client.compute(d.astype(np.int64).sum(axis=1)).result()
        parts = client.compute(pyzeb.read_stack(stack, chunks=20)[:, 7:29].sum(axis=(0, 2))).result()
    assert np.array_equal(total, [pyzeb.read(p).sum(dtype=np.int64) for p in stack])
    assert np.array_equal(rows, cube.astype(np.int64).sum(axis=1))
    assert np.array_equal(parts, np.stack([pyzeb.read(p) for p in stack])[:, 7:29].sum(axis=(0, 2)))


ZARR_DTYPES = ["u1", "i1", "<i2", ">u2", "<i4", ">i4", "<u4", "<i8", ">u8", "<f4", ">f4", "<f8", ">f8", "?"]
CODEC_ARRAYS = [
    np.arange(1000, dtype=np.int16).reshape(20, 50) % 37,
    (np.arange(2 * 3 * 40, dtype="<u2") * 997).reshape(2, 3, 40),
    np.asfortranarray((np.arange(600, dtype=">i4") - 300).reshape(20, 30)),
    np.linspace(-5, 5, 300, dtype=np.float32),
    np.full((16, 16), 200, np.uint8),
    np.arange(100, dtype=">u8") * (2**60 - 1),
    np.array(7, np.int8),
    np.linspace(-1e300, 1e300, 77, dtype=">f8"),
    np.arange(90).reshape(9, 10) % 3 == 0,
]


@pytest.mark.parametrize("codec", [Crunch(), Crunch(slice=3), Crunch(checksum=False)], ids=repr)
def test_codec_conventions(codec):
    for a in CODEC_ARRAYS:
        enc = codec.encode(a)
        assert (enc[6] > 1) == codec.checksum  # the record's header block, or none
        dec = codec.decode(enc)
        assert dec.dtype == a.dtype and np.array_equal(np.asarray(dec).reshape(-1, order="A"), a.reshape(-1, order="A"))
        raw = a.tobytes(order="A")
        for src in (raw, bytearray(raw), array.array("b", raw)):  # any buffer encodes, as bytes
            assert codec.decode(codec.encode(src)).tobytes() == raw
        for buf in (bytes(enc), bytearray(enc), np.frombuffer(enc, np.uint8)):
            out = np.empty_like(a)
            assert codec.decode(buf, out=out) is out and np.array_equal(out, a)
        out = bytearray(a.nbytes)
        codec.decode(enc, out=out)
        assert bytes(out) == raw
    assert numcodecs.get_codec(codec.get_config()) == codec
    assert eval(repr(codec), {"Crunch": Crunch}) == codec
    for refused in (np.zeros(3, np.float16), np.zeros(3, complex), np.zeros(3, "V2"), np.zeros(3, "U1")):
        with pytest.raises(TypeError, match="int8-int64, uint8-uint64, float32, float64 and bool"):
            codec.encode(refused)
    with pytest.raises(ValueError):
        Crunch(slice=33)
    with pytest.raises(ValueError):
        Crunch(checksum="no")


def _numcodecs_check(arr, codec):
    """numcodecs' contract for a codec (as its tests.common.check_encode_decode
    states it; numcodecs' wheels leave that module out): any buffer encodes,
    any buffer decodes, and the result read as arr's dtype and reshaped in
    arr's order is arr; decoding into an array or a bytearray fills it."""
    order = "F" if arr.flags.f_contiguous and not arr.flags.c_contiguous else "C"

    def same(dec):
        res = np.asarray(numcodecs.compat.ensure_ndarray(dec)).view(arr.dtype).reshape(arr.shape, order=order)
        assert np.array_equal(res, arr)

    raw = arr.tobytes(order="A")
    for src in (arr, raw, bytearray(raw), array.array("b", raw)):
        same(codec.decode(codec.encode(src)))
    enc = bytes(codec.encode(arr))
    for buf in (enc, bytearray(enc), array.array("b", enc), np.frombuffer(enc, "u1")):
        same(codec.decode(buf))
    out = np.empty_like(arr)
    codec.decode(enc, out=out)
    same(out)
    out = bytearray(arr.nbytes)
    codec.decode(enc, out=out)
    same(out)
    dec = codec.decode(enc)  # as check_encode_decode_array: same dtype, the elements in memory order
    assert dec.dtype == arr.dtype and np.array_equal(dec.reshape(-1, order="A"), arr.reshape(-1, order="A"))


@pytest.mark.parametrize("order", ["C", "F"])
def test_numcodecs_checks_in_both_orders(order):
    rng = np.random.default_rng(8)
    try:
        import numcodecs.tests.common as common  # where numcodecs was installed with its tests
    except ImportError:
        common = None
    for codec in (Crunch(), Crunch(slice=2)):
        for dt in ZARR_DTYPES:
            for shape in [(7,), (20, 50), (2, 3, 40)]:
                arr = np.require(rng.integers(0, 100, shape).astype(dt), requirements=order)
                _numcodecs_check(arr, codec)
                if common:
                    common.check_encode_decode(arr, codec)
                    common.check_encode_decode_array(arr, codec)
        if common:
            common.check_config(codec)
            common.check_repr(repr(codec))


def test_chunk_with_a_malformed_dtype_text_is_refused():
    data = np.arange(60, dtype=np.int16).reshape(6, 10)
    for text, message in [("[('a', 'i2')", "header text .* is not one of the dtypes"),
                          ("__import__('os')", "is not one of the dtypes"), ("", "is not one of the dtypes"),
                          ("<f2", "is not one of the dtypes"), ("<i4", "names int32, but the data are int16")]:
        chunk = pyzeb.encode(data, header=text)
        with pytest.raises(pyzeb.FormatError, match=message):
            Crunch().decode(chunk)
    with pytest.raises(pyzeb.FormatError, match="bool data hold bytes other than 0 and 1"):
        Crunch().decode(pyzeb.encode(np.array([0, 1, 2], np.int8), header="|b1"))


def test_codec_with_a_dtype_reads_any_f0_file_of_that_dtype():
    u2 = np.arange(300, dtype=np.uint16).reshape(15, 20) * 201
    codec = numcodecs.get_codec({"id": "pyzeb.crunch", "dtype": "<u2"})
    assert codec == Crunch(dtype=np.uint16) and codec.get_config() == {"id": "pyzeb.crunch", "dtype": "<u2"}
    for image in (pyzeb.encode(u2, header="night 3, frame 12"), pyzeb.encode(u2, compress=False),
                  codec.encode(u2), codec.encode(u2.tobytes()), Crunch().encode(u2)):
        assert np.array_equal(codec.decode(image).reshape(u2.shape), u2)
    for other in (pyzeb.encode(u2.view(np.int16)), pyzeb.encode(u2.astype(np.float32)), Crunch().encode(u2 > 9)):
        with pytest.raises(pyzeb.FormatError, match="where the array holds uint16"):
            codec.decode(other)
    with pytest.raises(TypeError, match="stores uint16, not int32"):
        codec.encode(u2.astype(np.int32))
    with pytest.raises(ValueError, match="must be a NumPy dtype"):
        Crunch(dtype="pixels")
    with pytest.raises(TypeError, match="stores uint16, not int16"):
        zarr.create_array(zarr.storage.MemoryStore(), shape=(4,), dtype="i2", serializer=Crunch(dtype="<u2"))


def test_crunch_inside_zarr_sharding(tmp_path):
    from zarr.codecs import ShardingCodec
    a = np.random.default_rng(6).poisson(100, (8, 64, 60)).astype(np.uint16)
    z = zarr.create_array(tmp_path / "s.zarr", shape=a.shape, chunks=(1, 16, 60), shards=(4, 64, 60),
                          dtype=a.dtype, serializer=Crunch(), compressors=None)
    z[:] = a
    inner = z.metadata.codecs[0]
    assert isinstance(inner, ShardingCodec) and inner.codecs[0].to_dict() == {"name": "pyzeb.crunch"}
    assert np.array_equal(zarr.open_array(tmp_path / "s.zarr", mode="r")[1:6, 10:40], a[1:6, 10:40])
    # each inner chunk in a shard is an F0 image: the shard's index (at its end) gives offset and length
    shard = (tmp_path / "s.zarr" / "c" / "1" / "0" / "0").read_bytes()
    index = np.frombuffer(shard[-16 * 16 - 4:-4], "<u8").reshape(16, 2)
    for k, (offset, length) in enumerate(index):
        plane, rows = 4 + k // 4, 16 * (k % 4)
        assert np.array_equal(pyzeb.decode(shard[offset:offset + length]).view(np.uint16),
                              a[plane:plane + 1, rows:rows + 16])
    z = zarr.create_array(tmp_path / "t.zarr", shape=a.shape, chunks=(4, 64, 60), dtype=a.dtype,
                          serializer=ShardingCodec(chunk_shape=(1, 32, 60), codecs=[Crunch(checksum=False)]),
                          compressors=None)
    z[:] = a
    assert np.array_equal(zarr.open_array(tmp_path / "t.zarr", mode="r")[:, 31:33], a[:, 31:33])


@pytest.mark.parametrize("zarr_format", [3, 2])
def test_zarr_round_trip_both_formats_every_dtype_and_order(tmp_path, zarr_format):
    rng = np.random.default_rng(5)
    sums = []
    for i, dt in enumerate(ZARR_DTYPES):
        a = rng.poisson(100, (5, 60, 70)).astype(dt)
        for order in ("C", "F"):
            path = tmp_path / f"{i}{order}.zarr"
            codec = Crunch(slice=4) if dt == "i1" else Crunch(checksum=False) if dt == ">u2" else Crunch()
            kw = {"serializer": codec, "compressors": None} if zarr_format == 3 else {"compressors": codec}
            z = zarr.create_array(path, shape=a.shape, chunks=(1, 32, 70), dtype=a.dtype, zarr_format=zarr_format,
                                  config={"order": order}, **kw)
            z[:] = a
            back = zarr.open_array(path, mode="r")
            # format 3 records no byte order without its bytes codec: values come back in native order
            assert back.dtype.newbyteorder("=") == a.dtype.newbyteorder("=")
            assert np.array_equal(back[2:4, 10:50], a[2:4, 10:50]), (dt, order)
        sums.append(int(a.astype(np.int64).sum()))
    meta = (tmp_path / "0C.zarr" / ("zarr.json" if zarr_format == 3 else ".zarray")).read_text()
    assert ('"name": "pyzeb.crunch"' if zarr_format == 3 else '"id": "pyzeb.crunch"') in meta
    chunks = sum(f.stat().st_size for f in (tmp_path / "2C.zarr").rglob("*") if f.is_file() and f.name[0].isdigit())
    assert chunks < 0.8 * 5 * 60 * 70 * 2
    # a fresh interpreter finds the codec by its name or id, through the entry points
    code = ("import sys, zarr, numpy as np\nfor i in range(int(sys.argv[2])):\n"
            "    z = zarr.open_array(f'{sys.argv[1]}/{i}C.zarr', mode='r')\n"
            "    c = z.metadata.compressor if z.metadata.zarr_format == 2 else z.serializer\n"
            "    print(type(c).__module__, z[:].astype(np.int64).sum())")
    r = subprocess.run([sys.executable, "-c", code, str(tmp_path), str(len(ZARR_DTYPES))], capture_output=True,
                       text=True, timeout=300)
    assert r.stdout.split() == [str(w) for total in sums for w in ("pyzeb.codecs", total)], r.stderr
    with pytest.raises(TypeError, match="int8-int64, uint8-uint64, float32, float64 and bool"):  # format 3 when created
        z = zarr.create_array(tmp_path / "f2.zarr", shape=(4,), dtype="f2", zarr_format=zarr_format,
                              **({"serializer": Crunch()} if zarr_format == 3 else {"compressors": Crunch()}))
        z[:] = 1.5


@pytest.mark.parametrize("blocked,call,message", [
    ("dask", lambda: pyzeb.read_stack(["a.f0"]), r"read_stack needs dask: pip install 'pyzeb\[dask\]'"),
    ("fsspec", lambda: pyzeb.read_stack(["s3://bucket/a.f0"]), r"needs fsspec: pip install 'pyzeb\[remote\]'"),
    ("numcodecs", lambda: importlib.import_module("pyzeb.codecs"),
     r"pyzeb.codecs needs numcodecs: pip install 'pyzeb\[zarr\]'"),
])
def test_missing_extras_say_what_to_install(monkeypatch, blocked, call, message):
    monkeypatch.delitem(sys.modules, "pyzeb.codecs")
    for name in [m for m in sys.modules if m == blocked or m.startswith(blocked + ".")]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, blocked, None)
    with pytest.raises(ImportError, match=message):
        call()


def test_importing_pyzeb_imports_no_extra():
    code = "import sys, pyzeb; print(sorted({'dask', 'zarr', 'numcodecs', 'fsspec', 'astropy'} & set(sys.modules)))"
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert r.stdout == "[]\n", r.stderr
