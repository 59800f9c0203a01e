#!/usr/bin/env bash
# Throughput and receive latency on the real drivers of the driver tests'
# machine (a 16550A and an FTDI adapter under QEMU): bench/drivers.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
cmake --build "$build" --target drivers-guest bench_drivers_guest
python3 tests/drivers/vm.py prepare "$build"
python3 tests/drivers/vm.py bench "$build"
