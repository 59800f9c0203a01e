#!/usr/bin/env bash
# Runs a command on a private virtual X server: with_xvfb.sh COMMAND [ARGS...]
# Xvfb chooses a free display itself (-displayfd), so runs started at the
# same time never race for a display number; the server ends with the command.
set -euo pipefail
dir=$(mktemp -d)
Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp 5>"$dir/display" 2>"$dir/log" &
server=$!
cleanup() {
    kill "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT
# The display number is written once the server accepts connections.
for _ in $(seq 300); do
    [ -s "$dir/display" ] && break
    kill -0 "$server" 2>/dev/null || { echo "Xvfb did not start: $(cat "$dir/log")" >&2; exit 1; }
    sleep 0.05
done
[ -s "$dir/display" ] || { echo "Xvfb did not report a display" >&2; exit 1; }
export DISPLAY=:$(head -1 "$dir/display")
"$@"
