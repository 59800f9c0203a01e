#!/usr/bin/env bash
# The setup run in Polish: the setup dialog comes up translated (its caption
# from the "cport" catalog), and the port chosen in it works.
# Run under Xvfb: e2e_polish.sh BIN_DIR
set -euo pipefail
BIN=$1
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/lib.sh"

e2e_begin
E2E_DEMO_ENV="LANG=pl_PL.UTF-8"

# The caption the catalog gives the dialog.
CAPTION=$(awk '/^msgid "Setup"$/ { getline; sub(/^msgstr "/, ""); sub(/"$/, ""); print; exit }' \
    "$HERE/../../locale/pl/LC_MESSAGES/cport.po")
[ -n "$CAPTION" ] && [ "$CAPTION" != "Setup" ] || e2e_fail "no Polish caption for the setup dialog in the catalog"

SIM_LOG=$WORK/sim.log
e2e_start_sim "$SIM_LOG"
e2e_start_demo "$WORK/demo.log"
MAIN=$(e2e_window "KV52804-RS232 DEMO ver. 02")

echo "step: setup, expecting the dialog \"$CAPTION\""
e2e_setup_port "$MAIN" "$CAPTION"

echo "step: send"
mark=$(($(e2e_log_lines "$SIM_LOG") + 1))
e2e_click "$MAIN" "${E2E_SEND[@]}"
e2e_expect_bytes "$SIM_LOG" "$mark" "80 15 0B 02 03 14 0F 06 07 12 09 0A 0B 84 82"

e2e_click "$MAIN" "${E2E_EXIT[@]}"
e2e_wait 10 e2e_exited "$E2E_DEMO_PID" || e2e_fail "the program did not end on Wyjście"
echo "PASS"
