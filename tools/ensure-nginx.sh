#!/bin/sh
# Makes sure nginx is available for the tests of ranged reads over HTTP,
# installing Debian's package when it is not (when running as root).
# Prints the path of the nginx binary; exits 1, saying why, when it cannot be had.
set -u
find_nginx() {
    for p in "$(command -v nginx 2>/dev/null)" /usr/sbin/nginx /usr/local/sbin/nginx; do
        [ -n "$p" ] && [ -x "$p" ] && { echo "$p"; return 0; }
    done
    return 1
}
find_nginx && exit 0
if [ "$(id -u)" = 0 ] && command -v apt-get > /dev/null 2>&1; then
    echo "installing nginx-light (Debian package)" >&2
    { apt-get -o DPkg::Lock::Timeout=600 update -qq > /dev/null &&
      DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends \
          nginx-light > /dev/null 2>&1; } ||
    { DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends \
          nginx > /dev/null 2>&1; } || { echo "cannot install nginx with apt-get" >&2; exit 1; }
    # The package starts a server of its own on port 80: the tests start their own.
    if command -v systemctl > /dev/null 2>&1; then systemctl stop nginx > /dev/null 2>&1; fi
    [ -f /run/nginx.pid ] && kill "$(cat /run/nginx.pid)" 2> /dev/null
    find_nginx && exit 0
    echo "nginx was installed but is not found" >&2
    exit 1
fi
echo "cannot install nginx (not root, or no apt-get)" >&2
exit 1
