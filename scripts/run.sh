#!/usr/bin/env bash
# Runs the demonstration: installs what is missing, builds, starts the
# virtual display module (kv52804-sim) and then the program (kv52804-demo).
# Ending the program ends the module too. Without a display the same tour is
# played on a virtual screen and its screenshots are saved.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build/release
BIN=$PWD/build/release/bin

if [ -z "${DISPLAY:-}" ]; then
    OUT=$PWD/build/release/tour
    echo "No display: playing the tour on a virtual screen."
    tests/e2e/with_xvfb.sh scripts/e2e_tour.sh "$BIN" "$OUT"
    exit
fi

"$BIN/kv52804-sim" --log &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true' EXIT
# Wait (at most ten seconds) until the module's port is published: the
# setup dialog lists the ports present when it opens.
if [ -n "${KV_SERIALCOMM_DIR:-}" ]; then
    ports=$KV_SERIALCOMM_DIR
elif [ -n "${XDG_RUNTIME_DIR:-}" ]; then
    ports=$XDG_RUNTIME_DIR/serialcomm
else
    ports=/tmp/serialcomm-$(id -u)
fi
for _ in $(seq 200); do
    [ -L "$ports/KV52804-SIM" ] && break
    kill -0 "$sim" 2>/dev/null || { echo "kv52804-sim did not start" >&2; exit 1; }
    sleep 0.05
done
echo "Virtual display module published as $ports/KV52804-SIM"
"$BIN/kv52804-demo"
