#!/bin/sh
# `make test-aarch64-python`: the test suite on Linux aarch64, under qemu,
# with Debian's arm64 Python and NumPy.
#
# A Debian (trixie) arm64 tree with python3, python3-numpy and python3-pytest
# is unpacked under build/arm64/root (mmdebstrap, packages extracted only:
# nothing of this machine's own system changes); the two extension modules
# are cross-built with g++-aarch64-linux-gnu against its headers; the suite
# runs from this tree with that Python under qemu-aarch64.  Slow under
# emulation, the command tests most (arguments: test files and pytest
# options instead of all of tests/).  Needs root (or the tools) for the Debian
# packages: g++-aarch64-linux-gnu, qemu-user, mmdebstrap.
set -eu
cd "$(dirname "$0")/.."
top=$PWD
A=$top/build/arm64
R=$A/root

need() { command -v "$1" > /dev/null 2>&1; }
if ! need aarch64-linux-gnu-g++ || ! need qemu-aarch64 || ! need mmdebstrap; then
    if [ "$(id -u)" = 0 ] && need apt-get; then
        echo "installing g++-aarch64-linux-gnu, qemu-user and mmdebstrap (Debian packages)"
        apt-get -o DPkg::Lock::Timeout=600 update -qq > /dev/null
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
            g++-aarch64-linux-gnu qemu-user mmdebstrap > /dev/null
    else
        echo "make test-aarch64-python: needs g++-aarch64-linux-gnu, qemu-user and mmdebstrap" >&2
        exit 1
    fi
fi

if [ ! -x "$R/usr/bin/python3" ]; then
    echo "== unpacking Debian's arm64 Python and NumPy into $R"
    rm -rf "$R" "$A/.compiled" && mkdir -p "$A"
    mmdebstrap --mode=root --variant=extract --architectures=arm64 --skip=check/empty \
        --include=python3,python3-numpy,python3-numpy-dev,python3-pytest,libpython3-dev,libstdc++6 \
        trixie "$R" http://deb.debian.org/debian > "$A/mmdebstrap.log" 2>&1 ||
        { tail -20 "$A/mmdebstrap.log"; exit 1; }
    # What the packages' scripts would have set up: the merged /usr and the
    # BLAS and LAPACK alternatives.
    for d in lib bin sbin; do [ -e "$R/$d" ] || ln -s usr/$d "$R/$d"; done
    L=$R/usr/lib/aarch64-linux-gnu
    ln -sf blas/libblas.so.3 "$L/libblas.so.3"
    ln -sf lapack/liblapack.so.3 "$L/liblapack.so.3"
fi

# The interpreter as the tests' subprocesses find it (sys.executable): a
# script that starts it under qemu.
mkdir -p "$A/bin" "$A/inc"
# Bytecode is cached (whatever PYTHONDONTWRITEBYTECODE says outside): under
# emulation, compiling NumPy's modules again at each start of an interpreter
# takes about 20 s, which each command test would pay.
cat > "$A/bin/python3" << EOF
#!/bin/sh
unset PYTHONDONTWRITEBYTECODE
PYTHONHOME="$R/usr" exec qemu-aarch64 -L "$R" -0 "\$0" "$R/usr/bin/python3" "\$@"
EOF
chmod +x "$A/bin/python3"
PY="$A/bin/python3"
if [ ! -e "$A/.compiled" ]; then
    echo "== compiling the arm64 tree's Python modules once"
    "$PY" -m compileall -q -j 2 "$R/usr/lib/python3.13" "$R/usr/lib/python3/dist-packages" > /dev/null || true
    touch "$A/.compiled"
fi
ver=$("$PY" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
ext=$("$PY" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
npinc=$(dirname "$(find "$R/usr/lib" -path '*numpy/_core/include/numpy/arrayobject.h' | head -1)")/..
ln -sfn "$R/usr/include/aarch64-linux-gnu" "$A/inc/aarch64-linux-gnu"  # pyconfig.h, without the rest of its libc

echo "== cross-building the modules for Python $ver on aarch64"
S=$A/site
rm -rf "$S" && mkdir -p "$S/pyzeb"
cp src/pyzeb/* "$S/pyzeb/"
flags="-std=c++20 -O2 -fPIC -shared -fvisibility=hidden -Wall -Wextra -Werror -Iinclude -I$R/usr/include/python$ver
       -I$A/inc -I$npinc -DNPY_NO_DEPRECATED_API=NPY_1_23_API_VERSION -DNPY_TARGET_VERSION=NPY_1_23_API_VERSION -pthread"
aarch64-linux-gnu-g++ $flags -o "$S/_pyzeb$ext" src/python/pyzeb.cpp src/codec/*.cpp src/rw/*.cpp
aarch64-linux-gnu-g++ $flags -o "$S/pyzeb/_core$ext" src/python/core.cpp src/codec/*.cpp src/rw/*.cpp

# The command as pip installs it (the entry point pyproject.toml names): a
# script beside the interpreter.
printf '#!%s\nimport re\nimport sys\nfrom pyzeb.__main__ import run\nif __name__ == "__main__":\n    sys.argv[0] = re.sub(r"(-script\\.pyw|\\.exe)?$", "", sys.argv[0])\n    sys.exit(run())\n' "$PY" > "$A/bin/zeb"
chmod +x "$A/bin/zeb"

echo "== the test suite under qemu-aarch64"
# From a copy of the tests, so that the tree may change meanwhile.
rm -rf "$A/tests" && cp -r tests "$A/tests" && rm -rf "$A/tests/__pycache__"
"$PY" -c 'import platform, numpy; print("python", platform.python_version(), platform.machine(), "numpy", numpy.__version__)'
cd "$A"
[ $# -gt 0 ] || set -- tests  # or the test files and options given
PYTHONPATH="$S" "$PY" -m pytest -q -p no:cacheprovider "$@"
