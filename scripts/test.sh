#!/usr/bin/env bash
# Builds and runs every test: a normal build, then an address+undefined
# sanitizer build, then the extra checks that need their own builds. Stops at
# the first failure with a non-zero exit; each step ends with ctest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
jobs=$(nproc)

step() { printf '\n=== %s ===\n' "$*"; }

step "normal build"
scripts/build.sh build/release
ctest --test-dir build/release --output-on-failure -j"$jobs"

step "address and undefined sanitizer build"
scripts/build.sh build/asan -DKV_SANITIZE=address,undefined -DKV_BUILD_BENCH=OFF
ctest --test-dir build/asan --output-on-failure -j"$jobs"

for extra in scripts/test.d/*.sh; do
    [ -e "$extra" ] || continue
    step "$(basename "$extra" .sh)"
    "$extra"
done
