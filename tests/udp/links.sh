#!/bin/sh
# SPDX-License-Identifier: MIT
# Real links between network namespaces of the test's own: a raw frame larger
# than a 60 Mbit/s bottleneck's queue arrives whole at a rate the link carries,
# and repair carries frames through random loss on the way out and back,
# unicast and to a group whose two receivers lose 5% and 10%. Exit 77 (skip)
# where namespaces cannot be made.
# The lossy runs go at 10 fps: raw 1280x720 at 30 fps is 660 Mbit/s, which two
# cores cannot both send and take in through nftables and a bridge, so frames
# would be lost to the CPU rather than to the link (the full sweep, run by
# hand, still measures 30 fps).
set -e
kiv=$1
rehearse="$(dirname "$0")/../../scripts/udp-rehearsal.sh"
run() { bash "$rehearse" "$@" --kivstream "$kiv" --rate none --mode repair --kind random >/dev/null; }
run shaped --size 640x480 --fps 5 --frames 15 --check 90
run shaped --size 1280x720 --fps 2 --frames 6 --check 80
run loss --loss 10 --fps 10 --frames 40 --check 85
run multicast --loss 5/10 --fps 10 --frames 40 --check 85
