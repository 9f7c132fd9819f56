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


@pytest.mark.skipif(SANITIZER_RUN, reason="worker processes are slow to start under the sanitizers")
def test_read_stack_on_a_distributed_cluster(stack):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None,
                                  silence_logs=50) as cluster, distributed.Client(cluster) as client:
        s = pyzeb.read_stack(stack)
        total = client.compute(s.astype(np.int64).sum(axis=(1, 2))).result()
    assert np.array_equal(total, [pyzeb.read(p).sum(dtype=np.int64) for p in stack])


CODEC_ARRAYS = [
    np.arange(1000, dtype=np.int16).reshape(20, 50) % 37,
    (np.arange(2 * 3 * 40, dtype="<u2") * 997).reshape(2, 3, 40),
    np.asfortranarray((np.arange(600, dtype=">i4") - 300).reshape(20, 30)),
    np.linspace(-5, 5, 300, dtype=np.float32),
    np.full((16, 16), 200, np.uint8),
    np.arange(100, dtype=">u8") * (2**60 - 1),
    np.array(7, np.int8),
]


@pytest.mark.parametrize("codec", [Crunch(), Crunch(slice=3)], ids=repr)
def test_codec_conventions(codec):
    for a in CODEC_ARRAYS:
        enc = codec.encode(a)
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
    for refused in (np.zeros(3), np.zeros(3, np.float16), np.zeros(3, bool), np.zeros(3, complex)):
        with pytest.raises(TypeError, match="int8-int64, uint8-uint64 and float32"):
            codec.encode(refused)
    with pytest.raises(ValueError):
        Crunch(slice=33)


def test_numcodecs_own_checks():
    common = pytest.importorskip("numcodecs.tests.common", reason="this numcodecs ships without its tests")
    for codec in (Crunch(), Crunch(slice=2)):
        for a in CODEC_ARRAYS:
            common.check_encode_decode(a, codec)
        common.check_config(codec)
        common.check_repr(repr(codec))


def test_zarr_round_trip(tmp_path):
    rng = np.random.default_rng(5)
    arrays = {dt: rng.poisson(500, (5, 60, 70)).astype(dt) for dt in ["u2", ">i4", "f4", "i1"]}
    for i, a in enumerate(arrays.values()):
        z = zarr.create_array(tmp_path / f"{i}.zarr", shape=a.shape, chunks=(1, 32, 70), dtype=a.dtype,
                              compressors=Crunch(), zarr_format=2)
        z[:] = a
        assert np.array_equal(zarr.open_array(tmp_path / f"{i}.zarr", mode="r")[2:4, 10:50], a[2:4, 10:50])
    assert '"id": "pyzeb.crunch"' in (tmp_path / "0.zarr" / ".zarray").read_text()
    chunks = sum(f.stat().st_size for f in (tmp_path / "0.zarr").iterdir() if f.name[0].isdigit())
    assert chunks < 0.8 * arrays["u2"].nbytes
    # a fresh interpreter finds the codec by its id, through the entry point
    code = ("import sys, zarr, numpy as np\nfor i in range(4):\n"
            "    z = zarr.open_array(f'{sys.argv[1]}/{i}.zarr', mode='r')\n"
            "    print(z.dtype, type(z.metadata.compressor).__module__, z[:].astype(np.int64).sum())")
    r = subprocess.run([sys.executable, "-c", code, str(tmp_path)], capture_output=True, text=True, timeout=300)
    assert r.stdout.split() == [str(w) for a in arrays.values()
                                for w in (a.dtype, "pyzeb.codecs", a.astype(np.int64).sum())], r.stderr


@pytest.mark.parametrize("blocked,call,message", [
    ("dask", lambda: pyzeb.read_stack(["a.f0"]), r"read_stack needs dask: pip install 'pyzeb\[dask\]'"),
    ("fsspec", lambda: pyzeb.read_stack(["s3://bucket/a.f0"]), r"needs fsspec: pip install 'pyzeb\[dask\]'"),
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
