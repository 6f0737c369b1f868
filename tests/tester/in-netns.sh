#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs a command in a fresh network namespace whose loopback interface carries
# 10.0.0.5, 192.168.1.2 and an IPv6 address besides its own. Exit 77 (skip)
# when namespaces cannot be made here.
if ! unshare -n true 2>/dev/null; then
    echo "in-netns: cannot create a network namespace here (needs root or user namespaces)" >&2
    exit 77
fi
exec unshare -n sh -c '
    ip link set lo up &&
    ip addr add 10.0.0.5/32 dev lo &&
    ip addr add 192.168.1.2/32 dev lo &&
    ip -6 addr add fd00::5/128 dev lo &&
    exec "$@"' in-netns "$@"
