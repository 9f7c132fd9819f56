#!/bin/sh
# Makes sure the tools of a cross check are available, installing them when
# they are not: Debian's packages (when running as root), the ziglang package
# from PyPI into the given Python.  Exits 1, saying why, when they cannot be had.
#   tools/ensure-cross.sh aarch64 | wine | zig PYTHON
set -u
apt_install() {
    if [ "$(id -u)" = 0 ] && command -v apt-get > /dev/null 2>&1; then
        echo "installing $* (Debian packages)"
        apt-get -o DPkg::Lock::Timeout=600 update -qq > /dev/null &&
            DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq "$@" > /dev/null 2>&1
    else
        echo "cannot install $* (not root, or no apt-get)"
        return 1
    fi
}
case ${1:-} in
aarch64)
    command -v aarch64-linux-gnu-g++ > /dev/null && command -v qemu-aarch64 > /dev/null && exit 0
    apt_install g++-aarch64-linux-gnu qemu-user || exit 1
    command -v aarch64-linux-gnu-g++ > /dev/null && command -v qemu-aarch64 > /dev/null ;;
wine)
    command -v wine > /dev/null && exit 0
    apt_install wine wine64 || exit 1
    command -v wine > /dev/null ;;
zig)
    py=${2:-.venv/bin/python}
    "$py" -m ziglang version > /dev/null 2>&1 && exit 0
    echo "installing ziglang (PyPI)"
    "$py" -m pip install -q --disable-pip-version-check "ziglang>=0.13" && "$py" -m ziglang version > /dev/null ;;
*)
    echo "usage: tools/ensure-cross.sh aarch64 | wine | zig PYTHON" >&2
    exit 2 ;;
esac
