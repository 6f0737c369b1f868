#!/bin/sh
# SPDX-License-Identifier: MIT
# The probe judged on links whose truth the test knows: a shaped veth link
# (the estimate and the highest intact rates within 15% of what it allows)
# and a multicast group whose lossy receiver must be named the worst. Exit 77
# (skip) where namespaces cannot be made.
set -e
rehearse="$(dirname "$0")/../../scripts/probe-rehearsal.sh"
bash "$rehearse" shaped --check --kivstream "$1" >/dev/null
bash "$rehearse" group --check --kivstream "$1" >/dev/null
