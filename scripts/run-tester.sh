#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up a Debian 12 machine, builds the tester and opens its window.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup-debian.sh
cmake --preset default
cmake --build --preset default
exe=build/default/app/kivVidStreamTester
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "run-tester: no display (DISPLAY and WAYLAND_DISPLAY are unset); the window cannot open here. Use the headless tool instead: build/default/tools/kivstream --help" >&2
    exit 1
fi
exec "$exe" "$@"
