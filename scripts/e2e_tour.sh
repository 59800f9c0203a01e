#!/usr/bin/env bash
# The demonstration played by itself on a virtual screen: set the port up,
# send, darken, light, green swatch; screenshots of both windows go to OUT.
# Usage (under an X server, e.g. xvfb-run): e2e_tour.sh BIN_DIR OUT_DIR
set -euo pipefail
BIN=$(cd "$1" && pwd)
OUT=$2
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/tests/e2e/lib.sh"

mkdir -p "$OUT"
WORK=$(mktemp -d)
trap 'e2e_cleanup; rm -rf "$WORK"' EXIT
# A port directory of its own, so a simulator the user runs elsewhere is
# left alone.
export KV_SERIALCOMM_DIR=$WORK/ports

SIM_LOG=$OUT/simulator.log
"$BIN/kv52804-sim" --log >"$SIM_LOG" 2>&1 &
E2E_PIDS+=($!)
E2E_SIM_PID=$!
SIM=$(e2e_window "KV52804-SIM")
e2e_start_demo "$WORK/demo.log"
MAIN=$(e2e_window "KV52804-RS232 DEMO ver. 02")

say() { echo "tour: $*"; }
say "setup dialog, choosing KV52804-SIM"
e2e_click "$MAIN" "${E2E_SETUP[@]}"
DIALOG=$(e2e_window "Setup")
before=$(e2e_window_count)
e2e_click "$DIALOG" "${E2E_DLG_PORT[@]}"
_popup() { (($(e2e_window_count) > before)); }
e2e_wait 10 _popup || e2e_fail "the port list did not open"
xdotool type --delay 30 KV52804-SIM
xdotool key Return
_popdown() { (($(e2e_window_count) == before)); }
e2e_wait 10 _popdown || e2e_fail "the port list did not close"
e2e_shot "$DIALOG" "$OUT/setup-dialog.png"
e2e_click "$DIALOG" "${E2E_DLG_OK[@]}"
e2e_window_gone "Setup"

step() {
    local name=$1 expected=$2 x=$3 y=$4 mark
    say "$name"
    mark=$(($(e2e_log_lines "$SIM_LOG") + 1))
    e2e_click "$MAIN" "$x" "$y"
    e2e_expect_bytes "$SIM_LOG" "$mark" "$expected"
}
step "Wyślij" "80 15 0B 02 03 14 0F 06 07 12 09 0A 0B 84 82" "${E2E_SEND[@]}"
step "Wygaś" "83" "${E2E_OFF[@]}"
step "Zapal" "82" "${E2E_ON[@]}"
say "green swatch"
e2e_click "$MAIN" "${E2E_GREEN[@]}"
_green() {
    e2e_shot "$MAIN" "$OUT/main-window.png" &&
        (($(e2e_count_colour "$OUT/main-window.png" "63x73+560+104" "rgb(0,255,0)") > 0))
}
e2e_wait 10 _green || e2e_fail "the digits did not turn green"
e2e_shot "$SIM" "$OUT/simulator.png"

say "Wyjście"
e2e_click "$MAIN" "${E2E_EXIT[@]}"
e2e_wait 10 e2e_exited "$E2E_DEMO_PID" || e2e_fail "the program did not end"
echo "Screenshots: $OUT/main-window.png $OUT/simulator.png $OUT/setup-dialog.png"
echo "Simulator log: $SIM_LOG"
