#!/bin/sh
# Runs every suite of `make test` (the test suite, the documentation and its
# examples, the suite under the sanitizers, the fuzz targets, the C/C++
# package, the cross checks of other platforms), going on after a failure, and
# closes with the time each part took and the counts they really reported.
# Exits 1 when anything failed.
set -u
mkdir -p build
passed=0 failed=0 skipped=0 broken=""
times="" began=$(date +%s)

# timed NAME: ends the part begun at $t0, noting how long it took.
t0=$began
timed() {
    now=$(date +%s)
    times="$times$(printf '  %-10s %5d s' "$1" $((now - t0)))
"
    t0=$now
}

# Adds the "N passed", "N failed", "N error(s)", "N skipped" of a pytest
# summary line to the totals.
count_pytest() {
    line=$(grep -E '^[=[:space:]]*[0-9]+ (passed|failed)' "$1" | tail -n 1)
    for kind in passed failed error errors skipped; do
        n=$(printf '%s\n' "$line" | grep -oE "[0-9]+ $kind\\b" | grep -oE '^[0-9]+' || true)
        n=${n:-0}
        case $kind in
        passed) passed=$((passed + n)) ;;
        skipped) skipped=$((skipped + n)) ;;
        *) failed=$((failed + n)) ;;
        esac
    done
}

run_pytest() {  # name, make target
    log=build/test-$1.log
    if make --no-print-directory "$2" 2>&1 | tee "$log"; then :; else broken="$broken $1"; fi
    if ! grep -qE '^[=[:space:]]*[0-9]+ (passed|failed)' "$log"; then
        failed=$((failed + 1)); broken="$broken $1"  # the suite did not even run
    fi
    count_pytest "$log"
}

run_pytest tests pytest
timed tests

# The site built with warnings as errors (one check), then its examples.
log=build/test-docs.log
if make --no-print-directory docs > "$log" 2>&1; then
    passed=$((passed + 1)); echo "docs: ok"
else
    tail -n 30 "$log"; echo "docs: FAILED"; failed=$((failed + 1)); broken="$broken docs"
fi
run_pytest doctest doctest
timed docs

run_pytest sanitizer sanitize
timed sanitizer

log=build/test-fuzz.log
if make --no-print-directory fuzz-ci 2>&1 | tee "$log"; then :; else broken="$broken fuzz"; fi
passed=$((passed + $(grep -c '^fuzz .*: ok$' "$log")))
failed=$((failed + $(grep -c '^fuzz .*: FAILED$' "$log")))
skipped=$((skipped + $(grep -c '^skipping the fuzz targets' "$log")))
case " $broken " in *" fuzz "*) [ "$(grep -c '^fuzz .*: FAILED$' "$log")" -gt 0 ] || failed=$((failed + 1)) ;; esac
timed fuzz

# The C/C++ package: "cpp CHECK: ok|FAILED" lines and the C++ test program's
# "N passed, N failed".
log=build/test-cpp.log
if make --no-print-directory cpp-test 2>&1 | tee "$log"; then :; else broken="$broken cpp"; fi
passed=$((passed + $(grep -c '^cpp .*: ok$' "$log")))
failed=$((failed + $(grep -c '^cpp .*: FAILED$' "$log")))
skipped=$((skipped + $(grep -cE '^skipping the (pkg-config builds|pyzeb cross check)' "$log")))
for kind in passed failed; do
    n=$(sed -n "s/^\([0-9][0-9]*\) passed, \([0-9][0-9]*\) failed\$/\1 \2/p" "$log" |
        awk -v k=$kind '{s += (k == "passed" ? $1 : $2)} END {print s + 0}')
    eval "$kind=\$(($kind + n))"
done
grep -qE '^cpp .*: (ok|FAILED)$' "$log" || { failed=$((failed + 1)); broken="$broken cpp"; }
timed cpp

# Each cross check counts once: "cross NAME: ok", "cross NAME: FAILED" or
# "skipping cross NAME: reason".
log=build/test-cross.log
if make --no-print-directory cross CROSS_QUICK=1 2>&1 | tee "$log"; then :; else broken="$broken cross"; fi
c_ok=$(grep -c '^cross .*: ok' "$log")
c_failed=$(grep -c '^cross .*: FAILED' "$log")
c_skipped=$(grep -c '^skipping cross ' "$log")
passed=$((passed + c_ok)) failed=$((failed + c_failed)) skipped=$((skipped + c_skipped))
case " $broken " in *" cross "*) [ "$c_failed" -gt 0 ] || failed=$((failed + 1)) ;; esac
timed cross

echo
echo "platforms (cross checks: $c_ok passed, $c_failed failed, $c_skipped skipped):"
grep -E '^(cross |skipping cross )' "$log" | sed 's/^/  /'
echo "  not checked here: macOS at run time (no macOS to run on), MSVC builds (no MSVC on Linux);"
echo "  the wheels workflow (.github/workflows/wheels.yml) builds and tests both"
echo "time per part (make sanitize-full, cross-full and fuzz run the long forms):"
printf '%s' "$times"
printf '  %-10s %5d s\n' all $(($(date +%s) - began))
[ -n "$broken" ] && echo "failing suites:$broken"
# The closing line alone in the plain form test runners read: one word, a
# colon, then the counts.
echo "total: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ] && [ -z "$broken" ]
