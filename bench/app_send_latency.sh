#!/usr/bin/env bash
# Send latency of the main window under a virtual X server, clicked with the
# pointer: bench/app_send_latency.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
cmake --build "$build" --target bench_app_send_latency >/dev/null
exec tests/e2e/with_xvfb.sh "$build/bin/bench_app_send_latency"
