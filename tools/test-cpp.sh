#!/bin/sh
# The library as a C/C++ package: builds and installs it, shared and static,
# into prefixes under build/cpp, checks what was installed and what the
# shared library exports, builds the C and C++ examples against each prefix
# with find_package(zeb) and with pkg-config (and once from the sources with
# FetchContent), runs them, and runs zeb.hpp's own tests (also under
# AddressSanitizer and UndefinedBehaviorSanitizer) and the exchange of files
# between zeb.hpp and pyzeb (with the Python of .venv, or python3, when it has
# pyzeb).  Prints "cpp CHECK: ok" or "cpp CHECK: FAILED" per check and the
# test program's "N passed, N failed"; exits 1 when anything failed.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build/cpp
mkdir -p "$out"
status=0
log=$out/step.log

# check NAME COMMAND...: runs the command, prints its outcome (and the end of
# its output when it failed).
check() {
    name=$1; shift
    if "$@" > "$log" 2>&1; then
        echo "cpp $name: ok"
    else
        tail -n 30 "$log"; echo "cpp $name: FAILED"; status=1
    fi
}

if ! command -v pkg-config >/dev/null 2>&1 && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "installing pkg-config (Debian package)"
    apt-get -o DPkg::Lock::Timeout=600 install -y -qq pkg-config >/dev/null 2>&1 ||
        { apt-get -o DPkg::Lock::Timeout=600 update -qq >/dev/null 2>&1 &&
          apt-get -o DPkg::Lock::Timeout=600 install -y -qq pkg-config >/dev/null 2>&1; }
fi
# zlib's header, for zeb.hpp's inflation of deflated metadata (ZEB_HPP_WITH_ZLIB)
if [ ! -f /usr/include/zlib.h ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "installing zlib1g-dev (Debian package)"
    apt-get -o DPkg::Lock::Timeout=600 install -y -qq zlib1g-dev >/dev/null 2>&1 ||
        { apt-get -o DPkg::Lock::Timeout=600 update -qq >/dev/null 2>&1 &&
          apt-get -o DPkg::Lock::Timeout=600 install -y -qq zlib1g-dev >/dev/null 2>&1; }
fi
builds=plain
have_pkg_config=true
command -v pkg-config >/dev/null 2>&1 || { have_pkg_config=false;
    echo "skipping the pkg-config builds of the C/C++ package: pkg-config is not available"; }
generator=
command -v ninja >/dev/null 2>&1 && generator="-G Ninja"
CXX=${CXX:-c++} CC=${CC:-cc}
warn="-Wall -Wextra -Wpedantic -Werror"

# The files an install must leave in PREFIX (shared or static): every
# public header, the library, the CMake package and zeb.pc.
expected_files() {
    (cd "$root" && ls include/*.h include/*.hpp)
    echo include/zebversion.h
    printf '%s\n' lib/cmake/zeb/zebConfig.cmake lib/cmake/zeb/zebConfigVersion.cmake lib/cmake/zeb/zebTargets-release.cmake \
        lib/cmake/zeb/zebTargets.cmake lib/pkgconfig/zeb.pc
    # The release part of the version (X.Y.Z) names the shared library's file.
    release=$(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")$/\1/p' "$out/$1/prefix/lib/cmake/zeb/zebConfigVersion.cmake")
    if [ "$1" = shared ]; then printf '%s\n' lib/libzeb.so lib/libzeb.so.0 "lib/libzeb.so.$release"; else echo lib/libzeb.a; fi
}
installed_files() {
    expected_files "$1" | sort > "$out/$1/expected.txt"
    (cd "$out/$1/prefix" && find . ! -type d | sed 's|^\./||' | sort) > "$out/$1/installed.txt"
    diff "$out/$1/expected.txt" "$out/$1/installed.txt"
}

# The shared library exports exactly the functions declared ZEB_API.
exports() {
    prefix=$out/shared/prefix
    sed -n 's/^ZEB_API[^(]*[^A-Za-z0-9_]\([A-Za-z0-9_]*\)(.*/\1/p' "$prefix"/include/*.h | sort > "$out/api.txt"
    nm -D --defined-only "$prefix/lib/libzeb.so" | awk '{print $NF}' | sort > "$out/exported.txt"
    [ "$(wc -l < "$out/api.txt")" -gt 40 ] && diff "$out/api.txt" "$out/exported.txt"
}

run_examples() {  # DIR
    "$1/write_read_cpp" "$1/frame-cpp.f0" && "$1/write_read_c" "$1/frame-c.f0"
}

pkg_config_examples() {  # KIND
    dir=$out/$1/pkg-config; mkdir -p "$dir"
    static=; [ "$1" = static ] && static=--static
    flags=$(PKG_CONFIG_PATH=$out/$1/prefix/lib/pkgconfig pkg-config $static --cflags --libs zeb) || return 1
    # zeb.pc names no run-time path: the programs find the shared library by
    # the one given here, as docs/guide/c-cpp.md shows.
    rpath="-Wl,-rpath,$(PKG_CONFIG_PATH=$out/$1/prefix/lib/pkgconfig pkg-config --variable=libdir zeb)"
    # shellcheck disable=SC2086
    $CXX -std=c++20 $warn -O1 -o "$dir/write_read_cpp" "$root/examples/write_read.cpp" $flags $rpath &&
        $CC $warn -O1 -o "$dir/write_read_c" "$root/examples/write_read.c" $flags $rpath &&
        run_examples "$dir"
}

zeb_hpp_tests() {  # NAME LIBS EXTRA_FLAGS...
    name=$1; libs=$2; shift 2
    dir=$out/shared/$name; mkdir -p "$dir"
    flags=$(PKG_CONFIG_PATH=$out/shared/prefix/lib/pkgconfig pkg-config --cflags --libs zeb) || return 1
    # shellcheck disable=SC2086
    $CXX -std=c++20 $warn -O1 "$@" -o "$dir/test_zeb_hpp" "$root/tests/cpp/test_zeb_hpp.cpp" $flags $libs \
        -Wl,-rpath,"$out/shared/prefix/lib" || return 1
    "$dir/test_zeb_hpp" "$dir/work"
}

for kind in shared static; do
    shared=OFF; [ "$kind" = shared ] && shared=ON
    rm -rf "$out/$kind"
    # shellcheck disable=SC2086
    check "$kind library: build and install" sh -c "cmake -S '$root' -B '$out/$kind/build' $generator \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=$shared -DZEB_PYTHON=OFF &&
        cmake --build '$out/$kind/build' && cmake --install '$out/$kind/build' --prefix '$out/$kind/prefix'"
    check "$kind library: installed files" installed_files "$kind"
    [ "$kind" = shared ] && check "shared library: exports only the public functions" exports
    # shellcheck disable=SC2086
    check "$kind library: examples built with find_package(zeb)" sh -c "cmake -S '$root/examples' \
        -B '$out/$kind/examples' $generator -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH='$out/$kind/prefix' \
        -DCMAKE_COMPILE_WARNING_AS_ERROR=ON && cmake --build '$out/$kind/examples' &&
        '$out/$kind/examples/write_read_cpp' '$out/$kind/examples/frame-cpp.f0' &&
        '$out/$kind/examples/write_read_c' '$out/$kind/examples/frame-c.f0'"
    $have_pkg_config && check "$kind library: examples built with pkg-config" pkg_config_examples "$kind"
done

# shellcheck disable=SC2086
check "examples with the library from its sources (FetchContent)" sh -c "cmake -S '$root/examples' \
    -B '$out/fetch' $generator -DCMAKE_BUILD_TYPE=Release -DZEB_SOURCE_DIR='$root' \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON && cmake --build '$out/fetch' &&
    '$out/fetch/write_read_cpp' '$out/fetch/frame-cpp.f0' && '$out/fetch/write_read_c' '$out/fetch/frame-c.f0'"

# zeb.hpp's tests print their own counts.
if $have_pkg_config; then
    echo "== zeb.hpp tests"
    zeb_hpp_tests tests "" || status=1
    # The sanitized build inflates deflated metadata with zlib where it can.
    zlib_flags= zlib_libs= builds=plain
    if printf '#include <zlib.h>\nint main(void) { return zlibVersion() == 0; }\n' |
            $CC -x c -o "$out/zlib-probe" - -lz >/dev/null 2>&1; then
        zlib_flags=-DZEB_HPP_WITH_ZLIB zlib_libs=-lz builds="plain zlib"
        echo "== zeb.hpp tests with AddressSanitizer and UndefinedBehaviorSanitizer, and zlib"
    else
        echo "skipping zeb.hpp's inflation of deflated metadata: zlib (zlib1g-dev) is not available"
        echo "== zeb.hpp tests with AddressSanitizer and UndefinedBehaviorSanitizer"
    fi
    # shellcheck disable=SC2086
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        zeb_hpp_tests tests-sanitized "$zlib_libs" -g -fsanitize=address,undefined -fno-sanitize-recover=all \
        $zlib_flags || status=1
fi
# Files written by pyzeb read through zeb.hpp, and the other way round, byte
# for byte the same (tests/cpp/cross.py); the kinds of file zeb.hpp only
# reads, through both builds of the test program (with zlib: sanitized).
pyzeb_cross() {  # PYTHON
    dir=$out/shared/cross; rm -rf "$dir"; mkdir -p "$dir"
    "$1" "$root/tests/cpp/cross.py" write "$dir" &&
        "$out/shared/tests/test_zeb_hpp" "$out/shared/tests/work" --cross "$dir" || return 1
    if [ "$builds" != plain ]; then
        ASAN_OPTIONS=detect_leaks=1 "$out/shared/tests-sanitized/test_zeb_hpp" "$out/shared/tests-sanitized/work" \
            --cross "$dir" || return 1
    fi
    # shellcheck disable=SC2086
    "$1" "$root/tests/cpp/cross.py" check "$dir" $builds
}
python=
for p in "$root/.venv/bin/python" python3; do
    if command -v "$p" >/dev/null 2>&1 && "$p" -c "import pyzeb" >/dev/null 2>&1; then python=$p; break; fi
done
if ! $have_pkg_config || [ ! -x "$out/shared/tests/test_zeb_hpp" ]; then
    echo "skipping the pyzeb cross check: the zeb.hpp test program was not built"
elif [ -z "$python" ]; then
    echo "skipping the pyzeb cross check: no Python with pyzeb installed (make install)"
else
    check "zeb.hpp and pyzeb read each other's files, byte for byte the same" pyzeb_cross "$python"
fi
exit $status
