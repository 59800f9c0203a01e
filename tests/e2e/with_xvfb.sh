#!/usr/bin/env bash
# Runs a command on a private virtual X server: with_xvfb.sh COMMAND [ARGS...]
#
# The display number is picked at random from a high range rather than with
# -displayfd: a server probing for a free display from :0 replaces the socket
# files of the servers it passes (seen here as a client that cannot connect to
# a running server when several tests start X at once). A server given its
# number checks the lock first and leaves other servers alone. A number that
# is taken, or a server that does not answer, means another try.
set -euo pipefail
dir=$(mktemp -d)
server=""
cleanup() {
    if [ -n "$server" ]; then
        kill "$server" 2>/dev/null || true
        wait "$server" 2>/dev/null || true
    fi
    rm -rf "$dir"
}
trap cleanup EXIT

answers() { DISPLAY=:$1 xdotool getdisplaygeometry >/dev/null 2>&1; }

for _ in $(seq 20); do
    n=$((1000 + RANDOM % 30000))
    [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp 2>"$dir/log" &
    server=$!
    for _ in $(seq 300); do
        answers "$n" && break
        kill -0 "$server" 2>/dev/null || break
        sleep 0.05
    done
    if answers "$n"; then
        export DISPLAY=:$n
        "$@"
        exit
    fi
    kill "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
    server=""
done
echo "no virtual X server could be started: $(cat "$dir/log")" >&2
exit 1
