#!/usr/bin/env bash
# Takes pictures of the setup dialog in English and Polish under a virtual X
# server and puts them in docs/: scripts/dialog-screenshots.sh [build dir]
#
# The dialog is shown by the setup test program (its screenshot case), with a
# fixed list of two ports, and captured from the X server with import. Xvfb
# has no window manager, so the window has no frame; the picture gets a title
# strip with the dialog's caption instead.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}

scripts/deps.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target tests_setup i18n_catalogs

log=$(mktemp)
trap 'rm -f "$log"' EXIT
for lang in en pl; do
    case $lang in
    en) locale=C ;;
    pl) locale=pl_PL.UTF-8 ;;
    esac
    out=$PWD/docs/setup-dialog-$lang.png
    rm -f "$out"
    xvfb-run -a -s "-screen 0 640x480x24 -dpi 96" \
        env LANG=$locale QT_QPA_PLATFORM=xcb KV_DIALOG_SCREENSHOT="$out" \
        "$build/bin/tests_setup" --gtest_filter='SetupDialogScreenshot.*' >"$log" 2>&1 ||
        { cat "$log"; exit 1; }
    [ -s "$out" ] || { cat "$log"; echo "no picture taken" >&2; exit 1; }
    title=$(sed -n 's/^window title: //p' "$log")
    convert "$out" -background '#3b5b8c' -gravity north -splice 0x20 \
        -fill white -font DejaVu-Sans -pointsize 12 -gravity north-west -annotate +6+3 "$title" \
        -strip "$out"
    echo "$out: $title"
done
