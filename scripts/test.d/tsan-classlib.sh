#!/usr/bin/env bash
# The thread class, the calls it hands to the main thread and the notification
# window under ThreadSanitizer. Only what these tests need is instrumented; Qt
# is not, which is why the class library synchronises with std primitives.
set -euo pipefail
cd "$(dirname "$0")/../.."
dir=build/tsan # the same build as the serial ThreadSanitizer run
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKV_SANITIZE=thread -DKV_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" --target tests_classlib tests_classlib_gui
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" \
    -R '^(Thread|NotifyWindow|ErrorHandling|ErrorDisplay)\.'
