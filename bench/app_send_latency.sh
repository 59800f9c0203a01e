#!/usr/bin/env bash
# Send latency of the main window under a virtual X server, clicked with the
# pointer: bench/app_send_latency.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
cmake --build "$build" --target bench_app_send_latency >/dev/null
exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" "$build/bin/bench_app_send_latency"
