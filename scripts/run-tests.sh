#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up a Debian 12 machine, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup-debian.sh
cmake --preset default
cmake --build --preset default
ctest --preset default --parallel 2
# The Debian packages: built, checked by lintian and run unpacked (exit 77: tools missing).
bash scripts/check-packages.sh build/default || [ $? -eq 77 ]
