"""The xarray backend (engine="pyzeb") and the napari reader: lazy loading
with the header as attributes, guess_can_open, open_mfdataset, Dask chunks
that read by ranges; npe2's reader API and one real viewer under Xvfb."""
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import pyzeb
from pyzeb import _lazy
from servers import nginx  # noqa: F401 (fixture)

HERE = Path(__file__).resolve().parent


@pytest.fixture(scope="module")
def cube(tmp_path_factory):
    d = tmp_path_factory.mktemp("xr")
    a = np.random.default_rng(9).poisson(300, (6, 40, 50)).astype(np.uint16)
    pyzeb.write(d / "cube.f0", a, header="flat field", metadata={"exptime": 2.5, "filter": "V"})
    return d, a


def test_open_dataset_is_lazy_and_carries_the_header(cube, monkeypatch):
    xr = pytest.importorskip("xarray")
    d, a = cube
    reads = []
    rows = _lazy.F0Array._rows
    monkeypatch.setattr(_lazy.F0Array, "_rows", lambda self, index: reads.append(index) or rows(self, index))
    ds = xr.open_dataset(d / "cube.f0", engine="pyzeb")
    v = ds["data"]
    assert v.dims == ("z", "y", "x") and v.dtype == np.uint16 and reads == []
    assert v.attrs == {"header_text": "flat field", "exptime": 2.5, "filter": "V"}
    assert np.array_equal(v[2:4, 7].values, a[2:4, 7]) and reads == [slice(2, 4)]
    reads.clear()
    chunked = xr.open_dataset(d / "cube.f0", engine="pyzeb", chunks={"t": 2}, dims=["t", "row", "col"])["data"]
    assert chunked.chunks[0] == (2, 2, 2) and chunked.dims == ("t", "row", "col")
    assert np.array_equal(chunked[3:].values, a[3:]) and sorted(reads, key=str) == [slice(3, 4), slice(4, 6)]
    for dims, shape in [(("dim_0", "dim_1", "dim_2", "dim_3"), (2, 1, 3, 2)), (("x",), (5,)), ((), ())]:
        pyzeb.write(d / "nd.f0", np.zeros(shape, np.float64))
        assert xr.open_dataset(d / "nd.f0", engine="pyzeb")["data"].dims == dims
    with pytest.raises(ValueError, match="dims must name each of the 3 axes once"):
        xr.open_dataset(d / "cube.f0", engine="pyzeb", dims=["y", "y", "x"])


def test_a_served_url(cube, nginx):
    xr = pytest.importorskip("xarray")
    d, a = cube
    url = nginx.put("xr-cube.f0", (d / "cube.f0").read_bytes())
    v = xr.open_dataset(url, chunks={"z": 3})["data"]  # engine found from the name
    assert v.attrs["filter"] == "V" and np.array_equal(v[4:].values, a[4:])


def test_guess_can_open_and_open_mfdataset(cube, tmp_path):
    xr = pytest.importorskip("xarray")
    pytest.importorskip("dask")
    from pyzeb._xarray import F0BackendEntrypoint
    d, a = cube
    shutil.copy(d / "cube.f0", tmp_path / "cube.dat")
    (tmp_path / "other.dat").write_bytes(b"\xaa\xaaUU\0\0\x63\0\0")  # the synch bytes, 99 header blocks
    guess = F0BackendEntrypoint().guess_can_open
    with open(tmp_path / "cube.dat", "rb") as f:
        f.seek(100)
        assert guess(f) and f.tell() == 100
    assert [guess(p) for p in (d / "cube.f0", str(tmp_path / "cube.dat"), "https://h/n/1.F0?sig=x", "a.nc",
                               tmp_path / "other.dat", tmp_path / "missing.dat", 42)] == \
        [True, True, True, False, False, False, False]
    assert xr.open_dataset(tmp_path / "cube.dat")["data"].shape == a.shape  # found without engine=
    paths = []
    for i in range(3):
        paths.append(tmp_path / f"{i}.f0")
        pyzeb.write(paths[-1], a[i], header=f"frame {i}")
    night = xr.open_mfdataset(paths, engine="pyzeb", combine="nested", concat_dim="frame")["data"]
    assert night.dims == ("frame", "y", "x") and night.chunks[0] == (1, 1, 1)
    assert np.array_equal(night.values, a[:3])


def test_npe2_reader_file_folder_and_stack(cube, tmp_path):
    npe2 = pytest.importorskip("npe2")
    pytest.importorskip("dask")
    npe2.PluginManager.instance().discover()
    d, a = cube
    (tmp_path / "night").mkdir()
    for i in range(3):
        pyzeb.write(tmp_path / "night" / f"{i}.f0", a[i] + np.uint16(i), metadata={"seq": i})
    (tmp_path / "night" / "notes.txt").write_text("not an F0 file")
    [(data, kw, kind)] = npe2.read([str(d / "cube.f0")], stack=False, plugin_name="pyzeb")
    assert kind == "image" and kw["name"] == "cube" and np.array_equal(np.asarray(data), a)
    assert kw["metadata"]["header_text"] == "flat field" and kw["metadata"]["metadata"]["filter"] == "V"
    lo, hi = kw["contrast_limits"]
    assert a.min() <= lo < np.median(a[3]) < hi <= a.max()
    [(data, kw, kind)] = npe2.read([str(tmp_path / "night")], stack=False, plugin_name="pyzeb")
    assert type(data).__module__.startswith("dask") and data.shape == (3, 40, 50) and kw["name"] == "night"
    assert np.array_equal(data[2].compute(), a[2] + 2) and kw["metadata"]["metadata"] == [{"seq": i} for i in range(3)]
    files = [str(tmp_path / "night" / f"{i}.f0") for i in (2, 0)]
    [(data, kw, kind)] = npe2.read(files, stack=True, plugin_name="pyzeb")
    assert np.array_equal(np.asarray(data), np.stack([a[2] + 2, a[0]]))
    pyzeb.write(tmp_path / "night" / "3.f0", a[0, :10])
    with pytest.raises(pyzeb.FormatError, match="3.f0: holds an array of shape \\(10, 50\\)"):
        npe2.read([str(tmp_path / "night")], stack=False, plugin_name="pyzeb")
    from pyzeb._napari import get_reader
    assert get_reader(str(tmp_path / "night" / "notes.txt")) is None and get_reader(str(d)) is not None


VIEWER = """
import json, sys
import napari
viewer = napari.Viewer(show=True)
[layer] = viewer.open(sys.argv[1], plugin="pyzeb")
viewer.reset_view()
shot = viewer.screenshot(canvas_only=True, flash=False)[..., :3].mean(axis=2)
w = shot.shape[1]
print(json.dumps({"name": layer.name, "text": layer.metadata["header_text"], "clim": list(layer.contrast_limits),
                  "left": shot[:, : w // 2].mean(), "right": shot[:, w // 2:].mean()}))
viewer.close()
"""


@pytest.mark.skipif("PYZEB_BUILD_DIR" in os.environ, reason="Qt and Mesa are not run under the sanitizers")
def test_a_real_napari_viewer_shows_the_file(tmp_path):
    pytest.importorskip("napari")
    if subprocess.run(["sh", str(HERE.parent / "tools" / "ensure-napari.sh")], capture_output=True).returncode:
        print("skipping the napari viewer: Xvfb and Mesa cannot be installed here")
        pytest.skip("Xvfb and Mesa cannot be installed here")
    image = np.zeros((200, 300), np.int16)
    image[:, 150:] = 1000  # a dark left half and a bright right half
    pyzeb.write(tmp_path / "halves.f0", image, header="halves")
    r, w = os.pipe()  # Xvfb picks a free display and writes its number here
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, pass_fds=(w,))
    os.close(w)
    try:
        with os.fdopen(r) as f:
            display = ":" + f.readline().strip()
        assert display != ":", "Xvfb did not start"
        env = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb", XDG_RUNTIME_DIR=str(tmp_path))
        r = subprocess.run([sys.executable, "-c", VIEWER, str(tmp_path / "halves.f0")], capture_output=True,
                           text=True, timeout=300, env=env)
    finally:
        xvfb.terminate()
        xvfb.wait()
    assert r.returncode == 0, r.stderr[-3000:]
    shown = json.loads(r.stdout.strip().splitlines()[-1])
    assert shown["name"] == "halves" and shown["text"] == "halves" and shown["clim"] == [0, 1000]
    assert shown["right"] > 100 and shown["left"] < shown["right"] / 10
