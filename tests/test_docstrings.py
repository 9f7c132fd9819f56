"""The examples in the package's docstrings run, on the files they name."""
import doctest
import importlib

import numpy as np
import pytest

import pyzeb

# module: the optional package its examples need (None: none)
MODULES = {"pyzeb": None, "pyzeb._api": None, "pyzeb._stack": "dask", "pyzeb.codecs": "zarr"}


@pytest.mark.parametrize("module", MODULES)
def test_docstring_examples(module, tmp_path, monkeypatch):
    if MODULES[module]:
        pytest.importorskip(MODULES[module])
    monkeypatch.chdir(tmp_path)
    # the files the examples read
    pyzeb.write("frame.f0", np.arange(12, dtype=np.int16).reshape(3, 4), header="dark frame")
    pyzeb.write("cube.f0", np.zeros((20, 64, 64), np.int16), compress=False)
    pyzeb.write("old.f0", np.ones((8, 8), np.int16), checksum=False)
    (tmp_path / "night").mkdir()
    for i in range(3):
        pyzeb.write(f"night/{i:02d}.f0", np.full((64, 64), i, np.int16))
    (tmp_path / "notes.txt").write_text("not an array")
    mod = importlib.import_module(module)
    for name in getattr(mod, "__all__", ()):  # names a package imports on first use
        getattr(mod, name)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    globs = {"np": np, "pyzeb": pyzeb, "cube": np.zeros((20, 64, 64), np.int16)}  # the cube examples write
    tests = [t for t in doctest.DocTestFinder().find(mod, globs=globs) if t.examples]
    assert tests
    for t in sorted(tests, key=lambda t: t.name):
        runner.run(t)
    assert runner.summarize(verbose=False).failed == 0


def test_readme_example(tmp_path, monkeypatch):
    from pathlib import Path
    import re
    readme = Path(__file__).resolve().parents[1] / "README.md"
    if not readme.exists():
        pytest.skip("not run from a source tree")
    pytest.importorskip("dask")
    code = re.search(r"```python\n(.*?)```", readme.read_text(encoding="utf-8"), re.S).group(1)
    monkeypatch.chdir(tmp_path)
    (tmp_path / "night").mkdir()
    for i in range(2):
        pyzeb.write(f"night/{i}.f0", np.zeros((4, 4), np.int16))
    namespace: dict = {}
    exec(compile(code, str(readme), "exec"), namespace)
    assert namespace["stack"].shape == (2, 4, 4) and (namespace["a"] == namespace["frame"]).all()
