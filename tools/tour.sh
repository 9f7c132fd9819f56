#!/bin/sh
# A short tour of the zeb command: info, verify and stats on the given F0
# files or directories (default: data/), then, on the first file, a
# round-trip convert F0 -> .npy -> F0 checked with zeb diff, all files to
# FITS in one go, and a preview PNG.
# Output files go to build/tour/.
#
# usage: sh tools/tour.sh ZEB [PATH...]      (ZEB: the zeb command to run)
set -eu
zeb=$1
shift
[ $# -gt 0 ] || set -- data
out=build/tour
mkdir -p "$out"

first=
for p in "$@"; do
  if [ -d "$p" ]; then
    for f in "$p"/*.f0; do [ -f "$f" ] && { first=$f; break; }; done
  else
    first=$p
  fi
  [ -n "$first" ] && break
done
[ -n "$first" ] || { echo "tour: no F0 file in $*" >&2; exit 1; }
name=$(basename "$first" .f0)

# prints the command (arguments with spaces in quotes), then runs it
step() {
  printf '\n$ zeb'
  for a in "$@"; do case $a in *" "*) printf " '%s'" "$a" ;; *) printf ' %s' "$a" ;; esac; done
  printf '\n'
  "$zeb" "$@"
}

step info "$@"
step verify "$@"
step stats "$@"
step header "$first"
step convert "$first" "$out/$name.npy"
step convert "$out/$name.npy" "$out/$name-back.f0" --header "$(basename "$first"), back from .npy"
step diff "$first" "$out/$name-back.f0" || true
step convert "$out/$name-back.f0" "$out/$name-back.npy"
step diff "$out/$name.npy" "$out/$name-back.npy"
step info "$out/$name-back.f0"
step convert "$@" --to fits -o "$out/fits"
step preview "$first" -o "$out/$name.png" --stretch asinh
