"""pyzeb.open: the lazy array against NumPy indexing of the whole array, over
raw, indexed and unindexed files, frames and cubes, pickled or not; files
replaced after it was opened; what it refuses."""
import io
import os
import pickle

import numpy as np
import pytest

import pyzeb
from test_partial import frame

FILES = {
    "raw cube": (frame(np.uint16, (12, 30, 40)), dict(compress=False)),
    "raw big-endian": (frame(np.int32, (20, 33)).astype(">i4"), dict(compress=False)),
    "indexed frame": (frame(np.int16, (2000, 700)), {}),
    "indexed cube": (frame(np.int32, (40, 100, 64)), {}),
    "unindexed frame": (frame(np.int16, (300, 200)), dict(checksum=False)),
    "vector": (np.arange(-50, 50, dtype=np.float64), {}),
    "scalar": (np.array(7, np.int16), {}),
    "bool": (np.arange(60).reshape(6, 10) % 3 == 0, {}),
}

INDEXES = [(), Ellipsis, 0, -1, 5, slice(None), slice(2, 9), slice(None, None, 3), slice(None, None, -2),
           slice(7, 1, -3), slice(5, 5), slice(100, None), (1, 2), (-1, slice(3, 20, 4)),
           (slice(1, 4), Ellipsis, -1), (Ellipsis, 3), (None, 2), (slice(None), None, slice(1, 3)),
           (0, 0, 0), (slice(None, None, 1000),)]


def numpy_takes(a, index):
    try:
        return a[index], None
    except IndexError as exc:
        return None, type(exc)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("lazy")
    out = {}
    for name, (a, options) in FILES.items():
        path = d / (name.replace(" ", "_") + ".f0")
        pyzeb.write(path, a, **options)
        out[name] = (a, path)
    return out


@pytest.mark.parametrize("name", FILES)
@pytest.mark.parametrize("pickled", [False, True])
def test_indexing_is_numpy_indexing_of_the_whole_array(files, name, pickled):
    a, path = files[name]
    want_dtype = a.dtype.newbyteorder("=")
    lazy = pyzeb.open(path)
    if pickled:
        lazy = pickle.loads(pickle.dumps(lazy))
    assert (lazy.shape, lazy.dtype, lazy.ndim, lazy.size, lazy.nbytes) == (a.shape, want_dtype, a.ndim, a.size,
                                                                           a.nbytes)
    assert lazy.header == pyzeb.read_header(path)
    for index in INDEXES:
        want, error = numpy_takes(a, index)
        if error:
            with pytest.raises(error):
                lazy[index]
            continue
        got = lazy[index]
        assert type(got) is type(want) or np.ndim(want) == 0, index
        assert np.shape(got) == np.shape(want) and np.array_equal(got, want), index
        assert np.asarray(got).dtype == want_dtype, index
    assert np.array_equal(np.asarray(lazy), a) and np.asarray(lazy, dtype=np.float64).dtype == np.float64
    if a.ndim:
        assert len(lazy) == a.shape[0]
    else:
        with pytest.raises(TypeError):
            len(lazy)


def test_a_file_object_and_what_is_refused(files):
    a, path = files["indexed cube"]
    lazy = pyzeb.open(io.BytesIO(path.read_bytes()))
    assert np.array_equal(lazy[3, ::-7], a[3, ::-7])
    for index, error in [([0, 1], IndexError), (np.array([1]), IndexError), (1.0, IndexError),
                         ((0, 0, 0, 0), IndexError), ((..., ...), IndexError), (True, IndexError)]:
        with pytest.raises(error):
            lazy[index]
    with pytest.raises(ValueError, match="copy"):
        np.asarray(lazy, copy=False) if np.__version__ >= "2" else lazy.__array__(copy=False)
    with pytest.raises(ValueError, match="threads"):
        pyzeb.open(path, threads=0)
    with pytest.raises(FileNotFoundError):
        pyzeb.open(path.parent / "missing.f0")


@pytest.mark.parametrize("how", ["replaced, same shape", "replaced, other shape", "rewritten in place"])
def test_a_file_changed_after_opening_is_refused(tmp_path, how):
    path = tmp_path / "f.f0"
    a = frame(np.int16, (200, 300))
    pyzeb.write(path, a, compress=False)
    lazy = pyzeb.open(path)
    shipped = pickle.dumps(lazy)
    if how == "replaced, same shape":
        pyzeb.write(path, a + 1, compress=False)
    elif how == "replaced, other shape":
        pyzeb.write(path, a[:100])
    else:
        with open(path, "r+b") as f:
            f.seek(-2, os.SEEK_END)
            f.write(b"\1\2")
        st = os.stat(path)
        os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 10**9))
    for arr in (lazy, pickle.loads(shipped)):
        with pytest.raises(pyzeb.FormatError, match="replaced or changed since it was opened"):
            arr[0]
        with pytest.raises(pyzeb.FormatError, match="replaced or changed"):
            np.asarray(arr)
    assert np.array_equal(pyzeb.open(path)[:3].shape, (3, 300) if how != "replaced, other shape" else (3, 300))


def test_dask_takes_it(files):
    da = pytest.importorskip("dask.array")
    a, path = files["indexed cube"]
    lazy = pyzeb.open(path)
    d = da.from_array(lazy, chunks=(7, 50, 64))
    assert np.array_equal(d[::3, 10:90].sum(axis=0).compute(), a[::3, 10:90].sum(axis=0))
    assert da.from_array(pyzeb.open(path)).name == da.from_array(lazy).name


def test_a_relative_path_is_the_file_it_named(files, monkeypatch):
    a, path = files["raw cube"]
    monkeypatch.chdir(path.parent)
    lazy = pyzeb.open(path.name)
    monkeypatch.chdir(path.parent.parent)
    assert np.array_equal(pickle.loads(pickle.dumps(lazy))[3], a[3]) and lazy.header == pyzeb.read_header(path)
