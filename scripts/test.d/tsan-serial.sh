#!/usr/bin/env bash
# The serial port component (event thread, deliveries to the main thread,
# the Linux backend's I/O threads) under ThreadSanitizer. Qt is not
# instrumented; tests/tsan.supp names only Qt library frames, for reports
# that come from inside Qt itself.
set -euo pipefail
cd "$(dirname "$0")/../.."
dir=build/tsan
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKV_SANITIZE=thread -DKV_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" --target tests_serial -j2
supp="$PWD/tests/tsan.supp"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}:suppressions=$supp"
ctest --test-dir "$dir" -L serial --output-on-failure -j2
