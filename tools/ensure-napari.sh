#!/bin/sh
# Makes sure napari's viewer can start without a display: Xvfb, Mesa's
# software OpenGL and the X libraries Qt's xcb platform loads, installing
# Debian's packages when running as root.  Exits 1 when they are not there.
PACKAGES="xvfb xauth libgl1-mesa-dri libglx-mesa0 libegl1 libxkbcommon-x11-0 libxcb-cursor0 libxcb-icccm4
 libxcb-image0 libxcb-keysyms1 libxcb-randr0 libxcb-render-util0 libxcb-shape0 libxcb-xfixes0 libxcb-xinerama0
 libxcb-xkb1 libdbus-1-3 libfontconfig1"
have() {
    command -v Xvfb >/dev/null 2>&1 &&
        for p in $PACKAGES; do dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "ok installed" || exit 1; done
}
(have) && exit 0
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "installing Xvfb, Mesa and the X libraries for Qt (Debian packages)"
    apt-get update -qq >/dev/null 2>&1; apt-get install -y -qq --no-install-recommends $PACKAGES >/dev/null 2>&1
    (have) && exit 0
fi
echo "Xvfb, Mesa and Qt's X libraries are not available (install Debian's $(echo $PACKAGES))" >&2
exit 1
