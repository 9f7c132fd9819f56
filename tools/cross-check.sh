#!/bin/sh
# The library on the other platforms it supports, checked from this Linux
# x86-64 machine:
#   native          the C driver (tests/c/driver.cpp) built here and run
#   linux-aarch64   built with g++-aarch64-linux-gnu, run under qemu-aarch64,
#                   its output compared byte for byte with native's
#   macos-arm64     the library (a shared library) and the driver compiled
#   macos-x86_64    and linked with zig, warnings as errors
#   linux-glibc-2.17-musl  the library compiled against glibc 2.17 (the
#                   manylinux2014 floor) and musl, with zig
#   windows-x86_64  built with zig (MinGW-w64), the library also as a DLL
#                   with the driver linked against it; both run under wine,
#                   their output compared byte for byte with native's
# With CROSS_QUICK=1 (make test) macOS x86_64 and two of the four C
# libraries are left out, which the others cover in all but name: each is
# another full compilation of the library (make cross-full builds them all).
# Each check prints "cross NAME: ok" or "cross NAME: FAILED", or
# "skipping cross NAME: REASON" where its tools cannot be had.  Exits 1 when
# a check failed.
#
#   tools/cross-check.sh [PYTHON]     (PYTHON: the one with ziglang, default .venv/bin/python)
set -u
cd "$(dirname "$0")/.."
PY=$(cd "$(dirname "${1:-.venv/bin/python}")" 2>/dev/null && pwd)/$(basename "${1:-.venv/bin/python}")
B=build/cross
mkdir -p $B
rc=0

SRCS="src/codec/*.cpp src/rw/*.cpp"
CXXFLAGS="-std=c++20 -O2 -Wall -Wextra -Werror -Iinclude"
# The driver is linked with the library's objects (ZEB_STATIC), except for the
# Windows DLL, built with ZEB_BUILDING and used through its import library.
STATIC=-DZEB_STATIC

ok() { echo "cross $1: ok${2:+ ($2)}"; }
failed() { echo "cross $1: FAILED${2:+ ($2)}"; rc=1; }
skip() { echo "skipping cross $1: $2"; }

# Runs the driver ($2...) into $B/$1/out; the corpus list holds paths under
# fuzz/corpus with '/' (the driver turns them into its system's separator).
fresh_out() { rm -rf "$B/$1/out" && mkdir -p "$B/$1/out"; }
(cd fuzz/corpus && find . -type f | sed 's|^\./||' | LC_ALL=C sort) > $B/corpus.list

# Output of another platform against native's: the same file names, the same bytes.
same_as_native() {  # name, dir
    if [ -n "$(find "$2" -name '*.tmp')" ]; then
        failed "$1" "temporary files left behind"; return
    fi
    if diff -r $B/native/out "$2" > $B/$1.diff 2>&1; then
        ok "$1" "$(ls "$2" | wc -l) files byte for byte as native's; $3"
    else
        head -5 $B/$1.diff; failed "$1" "output differs from native's (see $B/$1.diff)"
    fi
}

# ---- native --------------------------------------------------------------
mkdir -p $B/native
CXX=${CXX:-c++}
if $CXX $CXXFLAGS $STATIC -o $B/native/driver tests/c/driver.cpp $SRCS -pthread > $B/native.log 2>&1 &&
   fresh_out native && $B/native/driver $B/native/out fuzz/corpus $B/corpus.list >> $B/native.log 2>&1; then
    ok native "$(tail -1 $B/native.log)"
else
    tail -20 $B/native.log; failed native
    exit 1  # nothing to compare the others with
fi

# ---- Linux aarch64 under qemu ---------------------------------------------
sh tools/ensure-cross.sh aarch64 > $B/ensure-aarch64.log 2>&1
if ! command -v aarch64-linux-gnu-g++ > /dev/null || ! command -v qemu-aarch64 > /dev/null; then
    skip linux-aarch64 "g++-aarch64-linux-gnu or qemu-user is not available ($(tail -1 $B/ensure-aarch64.log))"
else
    mkdir -p $B/aarch64
    if aarch64-linux-gnu-g++ $CXXFLAGS $STATIC -static -o $B/aarch64/driver tests/c/driver.cpp $SRCS -pthread \
            > $B/aarch64.log 2>&1 &&
       fresh_out aarch64 && qemu-aarch64 $B/aarch64/driver $B/aarch64/out fuzz/corpus $B/corpus.list \
            >> $B/aarch64.log 2>&1; then
        same_as_native linux-aarch64 $B/aarch64/out "$(tail -1 $B/aarch64.log) under qemu"
    else
        tail -20 $B/aarch64.log; failed linux-aarch64
    fi
fi

# ---- zig: macOS and Windows ------------------------------------------------
sh tools/ensure-cross.sh zig "$PY" > $B/ensure-zig.log 2>&1
# zig builds each target's C and C++ runtime once, most of a first run's
# time: that goes to the user's cache, kept across clones; this tree's objects
# stay under build/.
export ZIG_GLOBAL_CACHE_DIR="${ZIG_GLOBAL_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zig}" \
       ZIG_LOCAL_CACHE_DIR="$PWD/build/zig-cache"
zig() { "$PY" -m ziglang "$@"; }
if ! zig version > /dev/null 2>&1; then
    for t in macos-arm64 macos-x86_64 linux-glibc-2.17-musl windows-x86_64; do
        skip $t "zig (the ziglang package) is not available ($(tail -1 $B/ensure-zig.log))"
    done
    exit $rc
fi

quick=${CROSS_QUICK:-0}
for arch in aarch64 x86_64; do
    name=macos-$([ $arch = aarch64 ] && echo arm64 || echo x86_64)
    if [ "$quick" = 1 ] && [ $arch = x86_64 ]; then
        skip $name "left out of the quick run (make cross-full builds it)"; continue
    fi
    d=$B/$name
    mkdir -p $d
    if zig c++ -target $arch-macos $CXXFLAGS -DZEB_BUILDING -shared -o $d/libzeb.dylib $SRCS > $d.log 2>&1 &&
       zig c++ -target $arch-macos $CXXFLAGS $STATIC -o $d/driver tests/c/driver.cpp $SRCS >> $d.log 2>&1; then
        ok $name "library and driver compiled and linked without warnings; not run"
    else
        tail -20 $d.log; failed $name
    fi
done

# The oldest C libraries the wheels are built for: glibc 2.17 (manylinux2014)
# and musl.  Compiled against their headers, which declare nothing newer.
bad=""
top=$PWD
targets="x86_64-linux-gnu.2.17 aarch64-linux-gnu.2.17 x86_64-linux-musl aarch64-linux-musl"
[ "$quick" = 1 ] && targets="x86_64-linux-gnu.2.17 aarch64-linux-musl"
for t in $targets; do
    mkdir -p $B/libc/$t
    (cd $B/libc/$t && zig c++ -target $t $CXXFLAGS $STATIC -I"$top/include" -c $(cd "$top" && for f in $SRCS; do
        echo "$top/$f"; done)) > $B/libc-$t.log 2>&1 || { bad="$bad $t"; tail -20 $B/libc-$t.log; }
done
if [ -z "$bad" ]; then
    ok linux-glibc-2.17-musl "the library compiled against glibc 2.17's and musl's headers ($(echo $targets | sed 's/ /, /g'))"
else
    failed linux-glibc-2.17-musl "$bad"
fi

d=$B/windows
mkdir -p $d
WT="-target x86_64-windows-gnu"
if zig c++ $WT $CXXFLAGS $STATIC -o $d/driver.exe tests/c/driver.cpp $SRCS > $d.log 2>&1 &&
   zig c++ $WT $CXXFLAGS -DZEB_BUILDING -shared -o $d/zeb.dll -Wl,--out-implib,$d/libzeb.dll.a $SRCS >> $d.log 2>&1 &&
   zig c++ $WT $CXXFLAGS -o $d/driver-dll.exe tests/c/driver.cpp $d/libzeb.dll.a >> $d.log 2>&1; then
    sh tools/ensure-cross.sh wine > $B/ensure-wine.log 2>&1
    if ! command -v wine > /dev/null; then
        ok windows-x86_64 "library, DLL and driver compiled and linked without warnings"
        skip windows-x86_64-run "wine is not available ($(tail -1 $B/ensure-wine.log))"
    else
        # One wine prefix, kept under build/: its first start takes a while.
        export WINEPREFIX="$PWD/build/wine/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
        mkdir -p build/wine
        winpath() { wine winepath -w "$1" 2>/dev/null | tr -d '\r'; }
        for exe in driver driver-dll; do
            o=$d/$exe
            fresh_out windows/$exe
            # Paths as Windows sees them: a drive letter and backslashes (Z: is /).
            if wine $d/$exe.exe "$(winpath $o/out)" "$(winpath fuzz/corpus)" "$(winpath $B/corpus.list)" \
                    > $o.log 2>&1; then
                same_as_native windows-x86_64-$exe $o/out "$(tr -d '\r' < $o.log | tail -1) under wine"
            else
                tail -20 $o.log; failed windows-x86_64-$exe
            fi
        done
    fi
else
    tail -20 $d.log; failed windows-x86_64
fi
exit $rc
