#!/usr/bin/env bash
# Start-up time and peak memory of the main window against a plain Qt window
# under a virtual X server: bench/app_startup.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
cmake --build "$build" --target bench_app_startup >/dev/null
exec tests/e2e/with_xvfb.sh "$build/bin/bench_app_startup"
