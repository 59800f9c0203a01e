#!/usr/bin/env bash
# The module goes away during a session (the simulator is stopped, as if the
# cable were pulled): the next send shows the port's error, the window stays
# usable and the program still ends normally. Nothing may hang.
# Run under Xvfb: e2e_unplug.sh BIN_DIR
set -euo pipefail
BIN=$1
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/lib.sh"

e2e_begin

SIM_LOG=$WORK/sim.log
e2e_start_sim "$SIM_LOG"
e2e_start_demo "$WORK/demo.log"
MAIN=$(e2e_window "KV52804-RS232 DEMO ver. 02")
e2e_setup_port "$MAIN"
mark=$(($(e2e_log_lines "$SIM_LOG") + 1))
e2e_click "$MAIN" "${E2E_SEND[@]}"
e2e_expect_bytes "$SIM_LOG" "$mark" "80 15 0B 02 03 14 0F 06 07 12 09 0A 0B 84 82"

echo "step: unplug"
kill -TERM "$E2E_SIM_PID"
e2e_wait 10 e2e_exited "$E2E_SIM_PID" || e2e_fail "the simulator did not stop"

echo "step: send to the vanished module"
e2e_click "$MAIN" "${E2E_SEND[@]}"
_error_box() { BOX=$(xdotool search --all --onlyvisible --pid "$E2E_DEMO_PID" --name '^kv52804-demo$' | head -1) && [ -n "$BOX" ]; }
e2e_wait 15 _error_box || e2e_fail "no error box after sending to a vanished port"
xdotool mousemove --window "$BOX" 5 5 key Return
e2e_window_gone "kv52804-demo"

echo "step: the window is still usable"
e2e_click "$MAIN" "${E2E_GREEN[@]}"
_green() {
    e2e_shot "$MAIN" "$WORK/green.png" &&
        (($(e2e_count_colour "$WORK/green.png" "63x73+560+104" "rgb(0,255,0)") > 0))
}
e2e_wait 10 _green || e2e_fail "the window did not react after the port error"

e2e_click "$MAIN" "${E2E_EXIT[@]}"
e2e_wait 15 e2e_exited "$E2E_DEMO_PID" || e2e_fail "the program did not end on Wyjście after the unplug"
wait "$E2E_DEMO_PID" || e2e_fail "the program ended with an error: $(cat "$WORK/demo.log")"
echo "PASS"
