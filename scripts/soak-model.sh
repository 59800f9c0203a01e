#!/usr/bin/env bash
# Runs the port's model tests for as long as asked, on the normal build:
#   scripts/soak-model.sh [SECONDS [SEED]]
# SECONDS (1800 by default) go to the pseudo-terminal model and, a third of
# them, to the network one. Each prints its seed and the operations it ran;
# a failure prints the shortest failing prefix found and how to replay it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-1800}
[ -n "${2:-}" ] && export KV_MODEL_SEED=$2
scripts/build.sh build/release >/dev/null
KV_MODEL_SECONDS=$seconds build/release/bin/tests_serial \
    --gtest_filter='PortModel.RandomOperationsKeepEveryPromise'
KV_MODEL_SECONDS=$((seconds / 3)) build/release/bin/tests_serial \
    --gtest_filter='PortModel.RandomOperationsKeepEveryPromiseOnANetworkPort'
