#!/usr/bin/env bash
# The module behind a network serial server: ser2net in front of the virtual
# module's line, named in the ports file and chosen in the setup dialog; the
# frames arrive as over a cable. Run under Xvfb: e2e_network.sh BIN_DIR
set -euo pipefail
BIN=$1
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/lib.sh"

e2e_begin

SIM_LOG=$WORK/sim.log
e2e_start_sim "$SIM_LOG"
PTY=$(sed -n 's/^ready: .* -> //p' "$SIM_LOG" | head -1)

echo "step: ser2net in front of the module"
PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$WORK/ser2net.yaml" <<YAML
connection: &wall
  accepter: telnet(rfc2217),tcp,127.0.0.1,$PORT
  connector: serialdev,$PTY,9600n81,local
YAML
ser2net -n -u -c "$WORK/ser2net.yaml" -P "$WORK/ser2net.pid" >"$WORK/ser2net.log" 2>&1 &
E2E_PIDS+=($!)
_listening() { grep -q "$(printf '0100007F:%04X 00000000:0000 0A' "$PORT")" /proc/net/tcp; }
e2e_wait 20 _listening || e2e_fail "ser2net does not listen: $(cat "$WORK/ser2net.log")"
mkdir -p "$XDG_CONFIG_HOME/kv52804"
echo "WALL rfc2217://127.0.0.1:$PORT" >"$XDG_CONFIG_HOME/kv52804/ports"

e2e_start_demo "$WORK/demo.log"
MAIN=$(e2e_window "KV52804-RS232 DEMO ver. 02")
echo "step: setup with the named network port"
e2e_setup_port "$MAIN" Setup WALL

echo "step: send and darken"
mark=$(($(e2e_log_lines "$SIM_LOG") + 1))
e2e_click "$MAIN" "${E2E_SEND[@]}"
e2e_expect_bytes "$SIM_LOG" "$mark" "80 15 0B 02 03 14 0F 06 07 12 09 0A 0B 84 82"
mark=$(($(e2e_log_lines "$SIM_LOG") + 1))
e2e_click "$MAIN" "${E2E_OFF[@]}"
e2e_expect_bytes "$SIM_LOG" "$mark" "83"

e2e_click "$MAIN" "${E2E_EXIT[@]}"
e2e_wait 15 e2e_exited "$E2E_DEMO_PID" || e2e_fail "the program did not end on Wyjście"
wait "$E2E_DEMO_PID" || e2e_fail "the program ended with an error: $(cat "$WORK/demo.log")"
echo "PASS"
