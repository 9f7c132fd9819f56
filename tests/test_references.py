"""pyzeb.references: F0 files shown to Zarr as one array through fsspec's
reference file system, opened by zarr and by xarray's zarr engine; files
that differ; the references of a single file."""
import json
from pathlib import Path
import os

import numpy as np
import pytest

import pyzeb
from servers import nginx  # noqa: F401 (fixture)

fsspec = pytest.importorskip("fsspec")
zarr = pytest.importorskip("zarr")
pytest.importorskip("numcodecs")


@pytest.fixture(scope="module")
def night(tmp_path_factory):
    d = tmp_path_factory.mktemp("night")
    rng = np.random.default_rng(7)
    frames = rng.poisson(200, (4, 30, 44)).astype(np.uint16)
    paths = [str(d / f"{i:03d}.f0") for i in range(len(frames))]
    for i, (p, f) in enumerate(zip(paths, frames)):
        pyzeb.write(p, f, compress=i != 1, header=f"frame {i}", metadata={"seq": i} if i else None)
    return paths, frames


def options(refs):
    # fsspec's web and object-store file systems are asynchronous, as zarr wants them
    return {"fo": json.loads(json.dumps(refs)), "remote_options": {"asynchronous": True}}


def open_zarr(refs, key="data"):
    return zarr.open_group("reference://", mode="r", zarr_format=2, storage_options=options(refs))[key]


def test_a_night_as_one_zarr_array(night):
    paths, frames = night
    refs = pyzeb.references(paths)
    assert refs["version"] == 1 and refs["refs"]["data/2.0.0"] == [paths[2], 0, os.path.getsize(paths[2])]
    z = open_zarr(refs)
    assert z.shape == frames.shape and z.dtype == np.uint16 and z.chunks == (1, 30, 44)
    assert np.array_equal(z[:], frames) and np.array_equal(z[1:3, 5:9], frames[1:3, 5:9])
    assert z.attrs["header_text"] == [f"frame {i}" for i in range(4)]
    assert z.attrs["metadata"] == [{}, {"seq": 1}, {"seq": 2}, {"seq": 3}]


def test_urls(night):
    paths, frames = night
    fs = fsspec.filesystem("memory")
    urls = [f"memory://pyzeb-refs/{i}.f0" for i in range(2)]
    for url, p in zip(urls, paths):
        fs.pipe(url, Path(p).read_bytes())
    try:
        assert np.array_equal(open_zarr(pyzeb.references(urls))[:], frames[:2])
        with pytest.raises(ValueError, match=f"^file://{paths[2]}: the files must all be on one file system, "
                                             f"and {urls[0]} is at memory$"):
            pyzeb.references(urls + ["file://" + paths[2]])
        refs = pyzeb.references(["file://" + paths[0], paths[1]])
        assert refs["refs"]["data/0.0.0"][0] == paths[0] and np.array_equal(open_zarr(refs)[:], frames[:2])
    finally:
        fs.rm("/pyzeb-refs", recursive=True)


@pytest.mark.parametrize("where", ["local", "served"])
def test_zarr_and_xarray_zarr_engine_give_the_stack(request, night, where):
    xr = pytest.importorskip("xarray")
    paths, frames = night
    if where == "served":
        server = request.getfixturevalue("nginx")
        paths = [server.put(f"night-{i}.f0", Path(p).read_bytes()) for i, p in enumerate(paths)]
    refs = pyzeb.references(paths, dims=["time", "row", "col"])
    assert refs["refs"]["data/3.0.0"][0] == paths[3]
    assert np.array_equal(open_zarr(refs)[1:3], frames[1:3])
    ds = xr.open_dataset("reference://", engine="zarr",
                         backend_kwargs={"consolidated": False, "storage_options": options(refs)})
    assert ds["data"].dims == ("time", "row", "col") and ds["data"].dtype == np.uint16
    assert np.array_equal(ds["data"].values, frames)


@pytest.mark.parametrize("array", [np.arange(12, dtype=np.float64).reshape(3, 2, 2) / 3, np.array(-4, np.int32),
                                   np.arange(10) % 4 == 0], ids=["float64 cube", "scalar", "bool"])
def test_a_single_file(tmp_path, array):
    pyzeb.write(tmp_path / "one.f0", array, header="alone", metadata={"gain": 1.5})
    refs = pyzeb.references(tmp_path / "one.f0")
    z = open_zarr(refs)
    assert z.shape == array.shape and z.dtype == array.dtype and np.array_equal(z[...], array)
    assert dict(z.attrs) == {"header_text": "alone", "gain": 1.5,
                             "_ARRAY_DIMENSIONS": ["z", "y", "x"][3 - array.ndim:]}


def test_files_that_differ_are_refused_naming_the_first(night, tmp_path):
    paths, frames = night
    for name, odd in [("shape.f0", frames[0, :29]), ("dtype.f0", frames[0].view(np.int16))]:
        pyzeb.write(tmp_path / name, odd)
        with pytest.raises(pyzeb.FormatError, match=rf"^{tmp_path / name}: holds an array of shape .* where "
                                                     rf"{paths[0]} holds shape \(30, 44\) and dtype uint16$"):
            pyzeb.references([*paths[:2], str(tmp_path / name), str(tmp_path / "shape.f0")])
    (tmp_path / "not.f0").write_bytes(b"\0" * 600)
    with pytest.raises(pyzeb.FormatError, match="not.f0"):
        pyzeb.references([paths[0], tmp_path / "not.f0"])
    for bad, error in [([], ValueError), (b"x.f0", TypeError), (paths[0:1], None)]:
        if error is None:
            with pytest.raises(ValueError, match="dims must name each of the 3 axes"):
                pyzeb.references(bad, dims=["y", "x"])
        else:
            with pytest.raises(error):
                pyzeb.references(bad)


def test_a_file_changed_after_its_references_were_made_is_refused(night, tmp_path):
    paths, frames = night
    p = tmp_path / "moving.f0"
    pyzeb.write(p, frames[0])
    refs = pyzeb.references([p, p])
    pyzeb.write(p, frames[1].view(np.int16))  # same size and shape, another dtype
    with pytest.raises(pyzeb.FormatError, match="the file holds int16, where the array holds uint16"):
        open_zarr(refs)[0]


def test_zeb_references(night, tmp_path, capsys):
    from pyzeb.cli import main
    paths, frames = night
    out = tmp_path / "refs.json"
    assert main(["references", os.path.dirname(paths[0]), "-o", str(out)]) == 0
    assert capsys.readouterr().out == f"{out}: 4 files as one array of shape (4, 30, 44)\n"
    assert np.array_equal(open_zarr(json.loads(out.read_text()))[:], frames)
    pyzeb.write(tmp_path / "odd.f0", frames[0, :, :40])
    before = out.read_bytes()
    assert main(["references", paths[0], str(tmp_path / "odd.f0"), "-o", str(out)]) == 1
    assert capsys.readouterr().err == (f"zeb references: {tmp_path / 'odd.f0'}: holds an array of shape (30, 40) "
                                       f"and dtype uint16, where {paths[0]} holds shape (30, 44) and dtype uint16\n")
    assert out.read_bytes() == before
    assert main(["references", paths[0], "--dims", "y", "-o", str(out)]) == 2
