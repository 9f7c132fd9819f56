#!/bin/sh
# `make sdist`: builds the source distribution, checks its metadata with
# twine, installs it into a new virtual environment the way pip installs it
# from PyPI (an isolated build from source: the C++ compiler and CMake are
# needed here, unlike for a wheel), and runs the sdist's own test suite
# against the installed package, from a directory outside the tree.
#   tools/sdist-check.sh PYTHON     (the development environment's python)
set -eu
cd "$(dirname "$0")/.."
PY=$1
S=build/sdist
rm -rf $S && mkdir -p $S/dist $S/unpacked

echo "== building the sdist"
$PY -m pip install -q --disable-pip-version-check build twine
$PY -m build --sdist --no-isolation --outdir $S/dist . > $S/build.log 2>&1 || { tail -30 $S/build.log; exit 1; }
sdist=$(ls $S/dist/*.tar.gz)
echo "$sdist"
$PY -m twine check --strict "$sdist"
tar -xzf "$sdist" -C $S/unpacked
tree=$(ls -d $S/unpacked/*)
for f in PKG-INFO CMakeLists.txt cmake/ZebVersion.cmake include/zebrw.h src/pyzeb/__init__.py tests/conftest.py docs/format.md; do
    [ -e "$tree/$f" ] || { echo "make sdist: $f is missing from the sdist" >&2; exit 1; }
done
version=$(sed -n 's/^Version: //p' "$tree/PKG-INFO")
echo "version $version"

echo "== installing it from source into a new environment"
base=$($PY -c 'import sys; print(sys._base_executable)')
"$base" -m venv $S/venv
$S/venv/bin/python -m pip install -q --disable-pip-version-check "$sdist[all]" "pytest>=7" setuptools-scm
$S/venv/bin/python -c "import pyzeb, sys; assert pyzeb.__version__ == sys.argv[1], pyzeb.__version__; print('pyzeb', pyzeb.__version__, 'from', pyzeb.__file__)" "$version"

echo "== the sdist's test suite against the installed package"
# Outside the unpacked tree's src/, so that the tests import what was installed.
cd "$tree"
env -u PYTHONPATH ../../venv/bin/python -m pytest -q -rs -p no:cacheprovider tests
