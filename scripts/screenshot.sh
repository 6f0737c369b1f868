#!/usr/bin/env bash
# Takes docs/screenshot.png: the tester under a virtual X server, sending its
# own picture over Local (Memory) to itself, with the panel's figures showing.
# Usage: scripts/screenshot.sh [path to kivVidStreamTester] [output png]
set -euo pipefail
cd "$(dirname "$0")/.."

exe=${1:-build/default/app/kivVidStreamTester}
out=${2:-docs/screenshot.png}

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
Xvfb -displayfd 3 -screen 0 1024x768x24 -fbdir "$work" -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
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

# Frames in the previews widen the window; then give the panel two refreshes.
for _ in $(seq 100); do
    eval "$(xdotool getwindowgeometry --shell "$window")"
    [ "$WIDTH" -gt "$startWidth" ] && break
    sleep 0.1
done
if [ "$WIDTH" -le "$startWidth" ]; then
    echo "screenshot: no frames arrived after pressing Send (is Local (Memory) available?)" >&2
    exit 1
fi
xdotool mousemove 1023 767 # keep the pointer out of the picture
sleep 2.5
eval "$(xdotool getwindowgeometry --shell "$window")"

mkdir -p "$(dirname "$out")"
xwdtopnm "$work/Xvfb_screen0" 2>/dev/null | pnmcut -left "$X" -top "$Y" -width "$WIDTH" -height "$HEIGHT" | pnmtopng >"$out"
echo "screenshot: wrote $out (${WIDTH}x${HEIGHT})"
