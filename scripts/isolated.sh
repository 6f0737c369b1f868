#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Run a command with its own loopback, /dev/shm and IPC, so two test suites on
# one machine cannot disturb each other through fixed ports or stream names.
# Usage: scripts/isolated.sh ctest --test-dir build/default -j2
exec unshare -n -m -i --propagation private bash -c 'ip link set lo up && mount -t tmpfs tmpfs /dev/shm && exec "$@"' isolated "$@"
