#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Takes two pictures of the tester under a virtual X server, sending its own
# picture over Local (Memory) to itself: docs/screenshot.png with the panel's
# figures showing, then docs/screenshot-history.png with View > History open
# after HISTORY_SECONDS (default 40) of the run.
# Usage: scripts/screenshot.sh [path to kivVidStreamTester] [output png] [history png]
set -euo pipefail
cd "$(dirname "$0")/.."

exe=${1:-build/default/app/kivVidStreamTester}
out=${2:-docs/screenshot.png}
historyOut=${3:-docs/screenshot-history.png}
historySeconds=${HISTORY_SECONDS:-40}

for tool in Xvfb xdotool xwdtopnm pnmcut pnmtopng; do
    if ! command -v "$tool" >/dev/null; then
        echo "screenshot: $tool is missing; run scripts/setup-debian.sh as root" >&2
        exit 1
    fi
done
if [ ! -x "$exe" ]; then
    cmake --preset default
    cmake --build --preset default --target kivVidStreamTester
fi

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display itself and keeps its screen as an XWD file in $work.
Xvfb -displayfd 3 -screen 0 1600x1200x24 -fbdir "$work" -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "screenshot: Xvfb did not start: $(cat "$work/xvfb.log")" >&2; exit 1; }
export DISPLAY=":$(cat "$work/display")"

"$exe" >"$work/tester.log" 2>&1 &
pids+=($!)
window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Video Streaming Tester$' | head -n 1) || {
    echo "screenshot: the tester window did not appear: $(cat "$work/tester.log")" >&2
    exit 1
}
eval "$(xdotool getwindowgeometry --shell "$window")"
startWidth=$WIDTH

# The Send button spans the lower left column, just above the status bar.
xdotool mousemove --window "$window" $((WIDTH * 28 / 100)) $((HEIGHT - 55)) click 1

# Waits up to TENTHS tenths of a second for the window to grow wider than
# $startWidth; says WHY and exits if it does not.
await_wider() { # tenths why
    for _ in $(seq "$1"); do
        eval "$(xdotool getwindowgeometry --shell "$window")"
        [ "$WIDTH" -gt "$startWidth" ] && return 0
        sleep 0.1
    done
    echo "screenshot: $2" >&2
    exit 1
}

# Frames in the previews widen the window; then give the panel two refreshes.
await_wider 100 "no frames arrived after pressing Send (is Local (Memory) available?)"
xdotool mousemove 1599 1199 # keep the pointer out of the picture
sleep 2.5

shoot() {
    eval "$(xdotool getwindowgeometry --shell "$window")"
    mkdir -p "$(dirname "$1")"
    xwdtopnm "$work/Xvfb_screen0" 2>/dev/null | pnmcut -left "$X" -top "$Y" -width "$WIDTH" -height "$HEIGHT" | pnmtopng >"$1"
    echo "screenshot: wrote $1 (${WIDTH}x${HEIGHT})"
}
shoot "$out"

# View > History by its keys; without a window manager the keyboard goes to
# the window under the pointer.
startWidth=$WIDTH
xdotool mousemove --window "$window" $((WIDTH / 2)) 10 key alt+v
sleep 0.5
xdotool key h
await_wider 50 "View > History did not open the history"
xdotool mousemove 1599 1199
sleep "$historySeconds"
shoot "$historyOut"
