#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages from a configured and built tree, runs lintian on
# them, unpacks them into a scratch root and runs what they installed from there.
# With --apt (root only) it also installs them with apt into throwaway overlays
# of /usr, /etc and /var in a private mount namespace; the machine keeps nothing.
# usage: check-packages.sh [--apt] BUILD_DIR      exit 77: the Debian tools are missing
set -euo pipefail

apt=0
if [ "${1:-}" = --apt ]; then apt=1; shift; fi
build=$(realpath "${1:?usage: check-packages.sh [--apt] BUILD_DIR}")
for tool in cpack dpkg-deb dpkg-shlibdeps lintian; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is not installed (scripts/setup-debian.sh installs it)"
        exit 77
    fi
done

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; exit 1; }
debs=("$out"/*.deb)
echo "packages: ${debs[*]##*/}"

# Errors fail the check; warnings are shown.
rc=0
lintian --fail-on error "${debs[@]}" >"$out/lintian.log" 2>&1 || rc=$?
grep -v 'running with root privileges' "$out/lintian.log" || true
[ "$rc" -eq 0 ] || { echo "lintian reports errors"; exit 1; }

root=$out/root
for deb in "${debs[@]}"; do
    dpkg-deb -x "$deb" "$root"
done

# The programs find the unpacked library through their relative RUNPATH.
if [ -x "$root/usr/bin/kivstream" ]; then
    libs=$(ldd "$root/usr/bin/kivstream")
    [[ $libs == *"libkivVidStreamLib2.so.2 => $root/usr/"* ]] \
        || { echo "kivstream does not load the unpacked library: $libs"; exit 1; }
    "$root/usr/bin/kivstream" --version
else
    echo "no kivstream in the packages (a build without the tester)"
fi

# The pkg-config file points into the tree it was unpacked to.
pc=$(find "$root" -name kivVidStreamLib2.pc)
cflags=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags kivVidStreamLib2)
inc=${cflags#-I}
[ -f "${inc%% *}/kivVidStreamLib2.h" ] || { echo "pkg-config gives '$cflags'"; exit 1; }

plugin=$(find "$root" -name 'libgstkiv*.so')
if [ -n "$plugin" ] && command -v gst-inspect-1.0 >/dev/null; then
    for element in kivvideosink kivvideosrc; do
        GST_REGISTRY=$out/registry.bin GST_PLUGIN_SYSTEM_PATH_1_0="" \
            GST_PLUGIN_PATH_1_0=$(dirname "$plugin") LD_LIBRARY_PATH=$(dirname "$(find "$root" -name 'libkivVidStreamLib2.so.2')") \
            gst-inspect-1.0 "$element" >/dev/null
    done
    echo "gst-inspect-1.0 finds both elements in $(basename "$plugin")"
fi

if [ $apt -eq 1 ]; then
    # shellcheck disable=SC2016
    unshare -m --propagation private bash -euc '
        mount -t tmpfs tmpfs "$1"
        for d in usr etc var; do
            mkdir -p "$1/$d/upper" "$1/$d/work"
            mount -t overlay overlay -o "lowerdir=/$d,upperdir=$1/$d/upper,workdir=$1/$d/work" "/$d"
        done
        shift
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
        if command -v kivstream >/dev/null; then kivstream --version; fi
        pkg-config --exists kivVidStreamLib2
        if command -v gst-inspect-1.0 >/dev/null && dpkg -s gstreamer1.0-kiv >/dev/null 2>&1; then
            gst-inspect-1.0 kivvideosrc >/dev/null
        fi
        echo "apt installs the packages"
    ' sh "$(mkdir -p "$out/ns" && echo "$out/ns")" "${debs[@]}"
fi
echo "packages OK"
