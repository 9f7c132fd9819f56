#!/bin/sh
# Prints the path of a Python 3.12 or newer: the first of python3, python3.13,
# python3.12 on PATH that really runs and is new enough, else the newest one
# installed under pyenv's root.  Exits 1 when there is none.
ok() { "$1" -c 'import sys; sys.exit(sys.version_info < (3, 12))' >/dev/null 2>&1; }
for c in python3 python3.14 python3.13 python3.12; do
    p=$(command -v "$c" 2>/dev/null) || continue
    if ok "$p"; then echo "$p"; exit 0; fi
done
root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
for p in $(ls -d "$root"/versions/3.1[2-9]* "$root"/versions/3.[2-9][0-9]* 2>/dev/null | sort -t. -k2,2nr -k3,3nr); do
    if ok "$p/bin/python3"; then echo "$p/bin/python3"; exit 0; fi
done
echo "no Python 3.12 or newer found; install one (for example with pyenv)" >&2
exit 1
