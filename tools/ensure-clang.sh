#!/bin/sh
# Makes sure clang++ with libFuzzer and the sanitizer runtimes is available,
# installing Debian's packages when running as root.  Exits 1 when it is not.
have() {
    command -v clang++ >/dev/null 2>&1 &&
        echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }' |
        clang++ -x c++ -fsanitize=fuzzer,address,undefined -o /dev/null - >/dev/null 2>&1
}
have && exit 0
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "installing clang and its fuzzing and sanitizer runtimes (Debian packages)"
    apt-get update -qq >/dev/null && apt-get install -y -qq clang libclang-rt-14-dev >/dev/null 2>&1
    have && exit 0
fi
echo "clang++ with libFuzzer is not available (install Debian's clang and libclang-rt-14-dev)" >&2
exit 1
