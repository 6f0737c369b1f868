#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Opens the real program on a virtual X server, presses Send, and once its own
# picture comes back closes the window the way a window manager would. The
# program must end with status 0: under the sanitizers that also means no
# leak and no fault. Exit 77 (skip) when the tools are missing, or when no
# frame arrived (the library has no Local (Memory) transport): the close was
# then checked, but not while sending.
set -uo pipefail
exe=$1
here=$(cd "$(dirname "$0")" && pwd)
closer=$here/../../scripts/close-window.py

for tool in Xvfb xdotool python3; do
    command -v "$tool" >/dev/null || { echo "close-while-sending: $tool is missing" >&2; exit 77; }
done

work=$(mktemp -d)
xvfb=
cleanup() {
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "close-while-sending: Xvfb did not start" >&2; exit 77; }
export DISPLAY=":$(cat "$work/display")"
unset QT_QPA_PLATFORM

"$exe" >"$work/tester.log" 2>&1 &
tester=$!
window=$(timeout 10 xdotool search --sync --onlyvisible --name '^Video Streaming Tester$' | head -n 1)
if [ -z "$window" ]; then
    echo "close-while-sending: the window did not appear" >&2
    cat "$work/tester.log" >&2
    kill "$tester" 2>/dev/null
    exit 1
fi
eval "$(xdotool getwindowgeometry --shell "$window")"
startWidth=$WIDTH
xdotool mousemove --window "$window" $((WIDTH * 28 / 100)) $((HEIGHT - 55)) click 1

# The window grows once pictures show in it: then it sends and receives. Up
# to 10 s for that, then the close at once.
sending=no
for _ in $(seq 100); do
    eval "$(xdotool getwindowgeometry --shell "$window")"
    if [ "$WIDTH" -gt "$startWidth" ]; then sending=yes; break; fi
    sleep 0.1
done

python3 "$closer" "$window"
for _ in $(seq 80); do kill -0 "$tester" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$tester" 2>/dev/null; then
    echo "close-while-sending: the program did not end within 8 s of the close" >&2
    kill -9 "$tester"
    exit 1
fi
wait "$tester"
status=$?
cat "$work/tester.log"
if [ "$status" -ne 0 ]; then
    echo "close-while-sending: the program ended with status $status" >&2
    exit 1
fi
if [ "$sending" != yes ]; then
    echo "close-while-sending: closed cleanly, but no frame arrived, so not while sending" >&2
    exit 77
fi
echo "close-while-sending: closed cleanly while sending"
