#!/usr/bin/env bash
# Start-up time and peak memory of the main window against a plain Qt window
# under a virtual X server: bench/app_startup.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
cmake --build "$build" --target bench_app_startup >/dev/null
exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" "$build/bin/bench_app_startup"
