#!/usr/bin/env bash
# Fuzzes the catalog reader, the stored-catalog chain and the Telnet decoder with libFuzzer for a
# bounded time (KV_FUZZ_SECONDS per target, 30 by default). Needs clang; builds
# only the fuzz targets, in build/fuzz, and ends with ctest's summary.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${KV_FUZZ_SECONDS:-30}
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKV_FUZZ=ON -DKV_FUZZ_SECONDS="$seconds" -DKV_BUILD_TESTS=OFF -DKV_BUILD_BENCH=OFF >/dev/null
cmake --build build/fuzz --target kv_fuzz
ctest --test-dir build/fuzz -L fuzz --output-on-failure
