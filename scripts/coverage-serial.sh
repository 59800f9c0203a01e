#!/usr/bin/env bash
# Line coverage of the serial backend (serial/platform/CommLinux*.cpp and
# CommNet.cpp) in a coverage build of its own: first over ctest without the
# end-to-end, stress and driver tests, then with the driver tests' machine
# added (its program writes its coverage data under /gcov in the guest, and
# vm.py brings it back through the console). Not part of scripts/test.sh.
#
#   scripts/coverage-serial.sh [BUILD_DIR, default build/coverage]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/coverage}
source_file='serial/platform/Comm(Linux|Net).*\.cpp'

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKV_BUILD_BENCH=OFF \
    -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_EXE_LINKER_FLAGS=--coverage >/dev/null
cmake --build "$dir"
abs=$(realpath "$dir")
report() { # report NAME: a JSON tracefile of what the .gcda files now say
    gcovr -r . --filter "$source_file" --json "$abs/coverage-$1.json" "$abs/serial"
}
summary() {
    gcovr -r . --filter "$source_file" "$@" | grep -E '^(File|serial|TOTAL)'
}

find "$abs" -name '*.gcda' -delete
ctest --test-dir "$dir" -LE 'e2e|drivers' -E 'Stress' -j"$(nproc)" >/dev/null ||
    echo "(some tests failed; the figures still count what ran)"
report ctest

find "$abs" -name '*.gcda' -delete
gcov=$(mktemp -d)
trap 'rm -rf "$gcov"' EXIT
python3 tests/drivers/vm.py prepare "$dir"
python3 tests/drivers/vm.py run "$dir" --gcov-out "$gcov" >/dev/null ||
    echo "(some driver tests failed; the figures still count what ran)"
cp -a "$gcov$abs/." "$abs/"
report drivers

echo "== $source_file, ctest without e2e, stress and drivers"
summary --add-tracefile "$abs/coverage-ctest.json"
echo "== the driver tests alone"
summary --add-tracefile "$abs/coverage-drivers.json"
echo "== both"
summary --add-tracefile "$abs/coverage-ctest.json" --add-tracefile "$abs/coverage-drivers.json"
