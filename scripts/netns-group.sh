# SPDX-License-Identifier: MIT
# Network namespaces for rehearsals and tests, sourced by bash scripts:
#
#   . scripts/netns-group.sh
#   netns_need tc || exit 77        root, ip, nft and any other tools named
#   make_ns NAME                    a namespace with lo up, removed by netns_cleanup
#   netns_group TAG NET N           a bridge in TAG-p (NET.1) and N namespaces
#                                   TAG-r1.. (NET.11..) on it, multicast routed
#   netns_drop NS PERCENT           nftables drops PERCENT% of NS's incoming UDP
#   netns_cleanup                   ends what runs in them, then removes them
#
# Every address lives in the namespaces made here and nowhere else.

namespaces=()

netns_need() {
    local t
    [ "$(id -u)" = 0 ] || { echo "needs root" >&2; return 1; }
    for t in ip nft "$@"; do
        command -v "$t" >/dev/null || { echo "needs $t" >&2; return 1; }
    done
}

make_ns() { ip netns add "$1" && namespaces+=("$1") && ip -n "$1" link set lo up; }

netns_cleanup() {
    local ns p
    for ns in "${namespaces[@]}"; do
        for p in $(ip netns pids "$ns" 2>/dev/null); do kill -TERM "$p" 2>/dev/null || true; done
    done
    sleep 0.2
    for ns in "${namespaces[@]}"; do
        for p in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$p" 2>/dev/null || true; done
        ip netns del "$ns" 2>/dev/null || true
    done
    namespaces=()
}

netns_group() { # tag net count; TAG-p must exist
    local tag=$1 net=$2 i
    ip link add "$tag-br" netns "$tag-p" type bridge
    ip -n "$tag-p" link set "$tag-br" up
    ip -n "$tag-p" addr add "$net.1/24" dev "$tag-br"
    for i in $(seq "$3"); do
        make_ns "$tag-r$i"
        ip link add "$tag-v$i" netns "$tag-p" type veth peer name eth0 netns "$tag-r$i"
        ip -n "$tag-p" link set "$tag-v$i" master "$tag-br" up
        ip -n "$tag-r$i" addr add "$net.$((10 + i))/24" dev eth0
        ip -n "$tag-r$i" link set eth0 up
        ip -n "$tag-r$i" route add 224.0.0.0/4 dev eth0
    done
    ip -n "$tag-p" route add 224.0.0.0/4 dev "$tag-br"
}

netns_drop() { # ns percent
    ip netns exec "$1" nft -f - <<EOF
table inet kivdrop {
    chain input { type filter hook input priority 0; policy accept; meta l4proto udp numgen random mod 100 < $2 drop; }
}
EOF
}
