#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what building, testing and running need on Debian 12 (run as root).
# Does nothing when everything is there already.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config git
    qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl-dev libxkbcommon-dev
    libturbojpeg0-dev libjpeg62-turbo-dev libisal-dev prometheus-cpp-dev
    googletest libgtest-dev libbenchmark-dev
    clang-14 libclang-rt-14-dev
    xvfb xauth xdotool netpbm iperf3 iproute2 util-linux nftables prometheus
    dpkg-dev file lintian
    libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-tools
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages: ${missing[*]}; run this script as root to install them" >&2
    exit 1
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
# The metrics test runs a Prometheus server of its own, in a namespace of its
# own; the packaged service is not wanted listening on this machine.
if printf '%s\n' "${missing[@]}" | grep -qx prometheus && command -v systemctl >/dev/null; then
    systemctl disable --now prometheus >/dev/null 2>&1 || true
fi
