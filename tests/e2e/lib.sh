# Shared steps for the scripted runs under Xvfb: the end-to-end tests and the
# no-display tour of scripts/run.sh. Everything a test waits for is polled
# with a deadline, so a failure ends the run instead of hanging it.
# Source it; then set BIN (the build's bin directory) and call e2e_start.

E2E_PIDS=()

e2e_fail() {
    echo "FAIL: $*" >&2
    # What the programs said, to tell a fault from a slow machine.
    if [ -n "${WORK:-}" ]; then
        for log in "$WORK"/*.log; do
            [ -f "$log" ] && { echo "--- $log" && tail -n 20 "$log"; } >&2
        done
    fi
    exit 1
}

# e2e_wait SECONDS COMMAND...: runs COMMAND every 50 ms until it succeeds;
# false when the deadline passes.
e2e_wait() {
    local deadline=$((SECONDS + $1))
    shift
    while ! "$@" 2>/dev/null; do
        ((SECONDS >= deadline)) && return 1
        sleep 0.05
    done
    return 0
}

# The id of the visible window with this exact title, waited for.
e2e_window() {
    local title=$1 timeout=${2:-15} id=""
    _e2e_find() { id=$(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null | head -1) && [ -n "$id" ]; }
    e2e_wait "$timeout" _e2e_find || e2e_fail "no window \"$title\" after ${timeout}s"
    echo "$id"
}

e2e_window_gone() {
    local title=$1 timeout=${2:-15}
    _e2e_gone() { ! xdotool search --onlyvisible --name "^${title}\$" >/dev/null 2>&1; }
    e2e_wait "$timeout" _e2e_gone || e2e_fail "window \"$title\" still there after ${timeout}s"
}

# e2e_click WINDOW X Y [BUTTON]: a click at a point of the window's client area.
e2e_click() {
    xdotool mousemove --window "$1" "$2" "$3" click "${4:-1}"
}

# Keys go to the window under the pointer (Xvfb without a window manager
# keeps the keyboard focus on the pointer's window).
e2e_type_into() {
    local win=$1 x=$2 y=$3 text=$4
    e2e_click "$win" "$x" "$y"
    xdotool key --clearmodifiers ctrl+a
    xdotool type --delay 20 "$text"
}

# A window's picture as it is on screen, cut from the whole screen (reading a
# window by itself returns black for some of Qt's windows).
e2e_shot() {
    local X Y WIDTH HEIGHT SCREEN WINDOW
    eval "$(xdotool getwindowgeometry --shell "$1")" || return 1
    import -silent -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$2"
}

# Pixels of exactly this colour inside WxH+X+Y of an image.
e2e_count_colour() {
    local image=$1 geometry=$2 colour=$3
    convert "$image" -crop "$geometry" +repage -fill black +opaque "$colour" \
        -fill white -opaque "$colour" -format '%[fx:round(mean*w*h)]' info:
}

# The simulator's log as one hex byte string from line FROM on (1-based):
# the bytes of every decoded item, in arrival order.
e2e_log_bytes() {
    local log=$1 from=${2:-1}
    tail -n +"$from" "$log" | grep -E '^[0-9A-F]{2}( [0-9A-F]{2})*  ' | sed -E 's/^(([0-9A-F]{2} ?)+)  .*/\1/' |
        tr '\n' ' ' | sed -E 's/ +/ /g; s/^ //; s/ $//'
}
e2e_log_lines() { wc -l <"$1"; }

# e2e_expect_bytes LOG FROM "80 15 ..." [SECONDS]: waits until the bytes
# logged from line FROM on are exactly the expected ones.
e2e_expect_bytes() {
    local log=$1 from=$2 expected=$3 timeout=${4:-10}
    _e2e_bytes() { [ "$(e2e_log_bytes "$log" "$from")" = "$expected" ]; }
    e2e_wait "$timeout" _e2e_bytes ||
        e2e_fail "simulator received [$(e2e_log_bytes "$log" "$from")], expected [$expected]"
}

# Starts the simulator (headless, logging) on a private port directory.
e2e_start_sim() {
    local log=$1
    shift
    "$BIN/kv52804-sim" --headless --log "$@" >"$log" 2>&1 &
    E2E_PIDS+=($!)
    E2E_SIM_PID=$!
    _e2e_ready() { grep -q '^ready: ' "$log"; }
    e2e_wait 15 _e2e_ready || e2e_fail "simulator did not start: $(cat "$log")"
}

# E2E_DEMO_ENV: extra environment for the program only (say, its language),
# so the script's own shell need not have that locale.
e2e_start_demo() {
    env ${E2E_DEMO_ENV:-} "$BIN/kv52804-demo" >"$1" 2>&1 &
    E2E_PIDS+=($!)
    E2E_DEMO_PID=$!
}

# Visible windows on the display (a list popping up adds one).
e2e_window_count() { xdotool search --onlyvisible --name '' 2>/dev/null | wc -l; }

e2e_exited() { ! kill -0 "$1" 2>/dev/null; }

# Ends whatever this run started, by process id.
e2e_cleanup() {
    local pid
    for pid in "${E2E_PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${E2E_PIDS[@]}"; do
        e2e_wait 5 e2e_exited "$pid" || kill -9 "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    E2E_PIDS=()
}

# Window coordinates of the main window's controls (its client area).
E2E_SETUP=(1000 292)
E2E_SEND=(1052 356)
E2E_ON=(1052 396)
E2E_OFF=(1052 436)
E2E_EXIT=(1052 508)
E2E_RED=(116 452)
E2E_GREEN=(164 452)
# Code box i (1..12) centre: left edges 392 + 40 * (i - 1), top 344.
e2e_box_x() { echo $((392 + 40 * ($1 - 1) + 20)); }
E2E_BOX_Y=357
# Digit i's left edge on screen.
E2E_DIGIT_LEFT=(0 560 616 672 728 296 352 408 464 32 88 144 200)
# The setup dialog: port selector and OK.
E2E_DLG_PORT=(150 34)
E2E_DLG_OK=(107 196)

# Sets the port up as a person would: the setup button, the port selector,
# the simulator's name typed into the open list, Enter, OK.
e2e_setup_port() {
    local main=$1 dialog_title=${2:-Setup} port=${3:-KV52804-SIM}
    e2e_click "$main" "${E2E_SETUP[@]}"
    local dialog
    dialog=$(e2e_window "$dialog_title")
    local before
    before=$(e2e_window_count)
    e2e_click "$dialog" "${E2E_DLG_PORT[@]}"
    # Typing before the list is on screen would go to the dialog instead.
    _e2e_popup() { (($(e2e_window_count) > before)); }
    e2e_wait 10 _e2e_popup || e2e_fail "the port list did not open"
    xdotool type --delay 30 "$port"
    xdotool key Return
    _e2e_popdown() { (($(e2e_window_count) == before)); }
    e2e_wait 10 _e2e_popdown || e2e_fail "the port list did not close"
    e2e_click "$dialog" "${E2E_DLG_OK[@]}"
    e2e_window_gone "$dialog_title"
}

# The start of every run: a private work folder (kept with E2E_KEEP=1), its
# own port directory and ports file, English, and everything it starts ended
# on the way out.
e2e_begin() {
    WORK=$(mktemp -d)
    trap 'e2e_cleanup; [ -n "${E2E_KEEP:-}" ] && echo "kept $WORK" || rm -rf "$WORK"' EXIT
    export KV_SERIALCOMM_DIR=$WORK/ports XDG_CONFIG_HOME=$WORK/config
    export LANG=C.UTF-8 LC_ALL= LC_MESSAGES=
}
