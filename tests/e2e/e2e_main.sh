#!/usr/bin/env bash
# The whole demonstration as a person would run it, against the virtual
# display module: set the port up, send, a bad code box, darken, light, the
# green swatch, exit. Run under Xvfb: e2e_main.sh BIN_DIR
set -euo pipefail
BIN=$1
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/lib.sh"

e2e_begin

SIM_LOG=$WORK/sim.log
e2e_start_sim "$SIM_LOG"
e2e_start_demo "$WORK/demo.log"
MAIN=$(e2e_window "KV52804-RS232 DEMO ver. 02")

echo "step: setup"
e2e_setup_port "$MAIN"

echo "step: send the default codes"
mark=$(($(e2e_log_lines "$SIM_LOG") + 1))
e2e_click "$MAIN" "${E2E_SEND[@]}"
e2e_expect_bytes "$SIM_LOG" "$mark" "80 15 0B 02 03 14 0F 06 07 12 09 0A 0B 84 82"

echo "step: darken"
mark=$(($(e2e_log_lines "$SIM_LOG") + 1))
e2e_click "$MAIN" "${E2E_OFF[@]}"
e2e_expect_bytes "$SIM_LOG" "$mark" "83"

echo "step: 256 in the third box"
mark=$(($(e2e_log_lines "$SIM_LOG") + 1))
e2e_type_into "$MAIN" "$(e2e_box_x 3)" "$E2E_BOX_Y" 256
e2e_click "$MAIN" "${E2E_SEND[@]}"
BOX=$(e2e_window "kv52804-demo")
# The same error display, showing the message we expect, from a process of
# its own: identical pixels mean the program's box says exactly that.
"$BIN/e2e-error-box" "Range check error" "kv52804-demo" &
REF_PID=$!
E2E_PIDS+=($REF_PID)
_reference() { REF=$(xdotool search --onlyvisible --pid "$REF_PID" 2>/dev/null | head -1) && [ -n "$REF" ]; }
e2e_wait 15 _reference || e2e_fail "the reference error box did not appear"
BOX=$(xdotool search --all --onlyvisible --pid "$E2E_DEMO_PID" --name '^kv52804-demo$' | head -1)
_same_box() {
    e2e_shot "$BOX" "$WORK/box.png" && e2e_shot "$REF" "$WORK/reference.png" &&
        [ "$(compare -metric AE "$WORK/box.png" "$WORK/reference.png" null: 2>&1)" = "0" ]
}
e2e_wait 10 _same_box || e2e_fail "the error box does not say \"Range check error.\" (see $WORK/box.png)"
# Both boxes are centred, one above the other: a key goes to the window under
# the pointer, so each is raised before its Return, and the second only once
# the first has gone (two Returns queued to the same box would leave the
# other one open).
xdotool windowraise "$REF" mousemove --window "$REF" 5 5 key Return
e2e_wait 10 e2e_exited "$REF_PID" || e2e_fail "the reference box did not close"
xdotool windowraise "$BOX" mousemove --window "$BOX" 5 5 key Return
e2e_window_gone "kv52804-demo"
# Boxes 1 and 2 were accepted and lit their digits; box 3 and the rest were
# not, so those stay dark.
e2e_shot "$MAIN" "$WORK/after-error.png"
for i in 1 2 3 4 5 9; do
    lit=$(e2e_count_colour "$WORK/after-error.png" "63x73+${E2E_DIGIT_LEFT[$i]}+104" "rgb(255,0,0)")
    if ((i <= 2)); then
        ((lit > 0)) || e2e_fail "digit $i is not lit after the failed send"
    else
        ((lit == 0)) || e2e_fail "digit $i is lit after the failed send ($lit pixels)"
    fi
done
# Nothing of the failed send reached the module: the next bytes it sees are
# those of the next action.
e2e_click "$MAIN" "${E2E_ON[@]}"
e2e_expect_bytes "$SIM_LOG" "$mark" "82"

echo "step: green swatch"
e2e_click "$MAIN" "${E2E_GREEN[@]}"
_green() {
    e2e_shot "$MAIN" "$WORK/green.png" &&
        (($(e2e_count_colour "$WORK/green.png" "63x73+560+104" "rgb(0,255,0)") > 0)) &&
        (($(e2e_count_colour "$WORK/green.png" "310x73+32+104" "rgb(255,0,0)") == 0))
}
e2e_wait 10 _green || e2e_fail "the digits did not turn green"
[ "$(e2e_log_bytes "$SIM_LOG" "$mark")" = "82" ] || e2e_fail "the swatch sent something"

echo "step: exit"
e2e_click "$MAIN" "${E2E_EXIT[@]}"
e2e_wait 10 e2e_exited "$E2E_DEMO_PID" || e2e_fail "the program did not end on Wyjście"
wait "$E2E_DEMO_PID" || e2e_fail "the program ended with an error: $(cat "$WORK/demo.log")"

# The module outlives its client and takes its name away when stopped.
e2e_exited "$E2E_SIM_PID" && e2e_fail "the simulator ended with the program"
kill -TERM "$E2E_SIM_PID"
e2e_wait 10 e2e_exited "$E2E_SIM_PID" || e2e_fail "the simulator did not stop on SIGTERM"
[ ! -e "$KV_SERIALCOMM_DIR/KV52804-SIM" ] || e2e_fail "the simulator left its port behind"
echo "PASS"
