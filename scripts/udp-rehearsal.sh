#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Rehearses real links for kivstream's UDP transport: sender and receivers in
# network namespaces of their own, joined by veth pairs, with a shaped link or
# nftables dropping datagrams at random. Every frame is checked; the tables
# (markdown) go to stdout, progress to stderr.
#
#   bash scripts/udp-rehearsal.sh [shaped|loss|multicast|all] [--quick]
#        [--kivstream PATH] [--frames N] [--size WxH] [--fps F] [--loss P]
#        [--rate R|none] [--burst N] [--mode repair|parity] [--kind random|burst]
#        [--check PERCENT] [--keep]
#
#   shaped     sender --veth-- receiver, the sender's side shaped by tbf to
#              60 Mbit/s; sizes 320x240, 640x480, 1280x720 x24 raw at 1, 2, 5
#              and 15 fps (and again capped with send --rate when it has one).
#   loss       nftables in the receiver's namespace drops P% of the UDP coming
#              in and going out, P in 0 (a baseline), 1, 5, 10, 20; 1280x720
#              at 30 fps, 300 frames; with repair and with parity alone
#              (receive --repair-budget 0, when it has that). Burst rows use
#              send --loss P,burst=N (--burst), as nftables cannot drop in runs.
#   multicast  one sender and two receivers on a bridge, the group
#              239.255.10.88, the receivers at P% and 2P% loss (default 5 and
#              10; --loss A/B sets both).
#
# --size, --fps and --loss pick one cell of the sweep; --frames sets the frames
# a run; --quick makes each run a few seconds; --rate R is given as is to
# send --rate in the shaped runs (none: no capped runs); --mode and --kind keep
# only those rows; --keep leaves the raw output in /tmp. --check PERCENT makes
# it a test: exit 3 unless every receiver of every run with repair got at
# least that share of the frames intact.
# Needs root. Exits 77 when the namespaces cannot be made, 1 when a run could
# not be carried out at all.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
report="$here/udp-rehearsal-report.py"

link_mbit=60
mcast_group=239.255.10.88
net=10.201.0 # inside our own namespaces only

topology=all quick=0 kiv="" frames="" size="" fps="" loss="" rate="" burst=44 keep=0 only_mode="" only_kind="" check=""
while [ $# -gt 0 ]; do
    case $1 in --kivstream | --frames | --size | --fps | --loss | --rate | --burst | --mode | --kind | --check)
        [ $# -ge 2 ] || { echo "udp-rehearsal: $1 needs a value" >&2; exit 2; } ;;
    esac
    case $1 in
    shaped | loss | multicast | all) topology=$1 ;;
    --quick) quick=1 ;;
    --keep) keep=1 ;;
    --kivstream) kiv=$2; shift ;;
    --frames) frames=$2; shift ;;
    --size) size=$2; shift ;;
    --fps) fps=$2; shift ;;
    --loss) loss=$2; shift ;;
    --rate) rate=$2; shift ;;
    --burst) burst=$2; shift ;;
    --mode) only_mode=$2; shift ;;
    --kind) only_kind=$2; shift ;;
    --check) check=$2; shift ;;
    -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "udp-rehearsal: unknown argument '$1' (try --help)" >&2; exit 2 ;;
    esac
    shift
done

log() { echo "udp-rehearsal: $*" >&2; }

if [ -z "$kiv" ]; then
    for k in "$repo/build/default/tools/kivstream/kivstream" "$repo/build/default/tools/kivstream"; do
        [ -f "$k" ] && [ -x "$k" ] && { kiv=$k; break; }
    done
fi
if [ -z "$kiv" ] || [ ! -x "$kiv" ]; then log "no kivstream binary: build first or give --kivstream PATH"; exit 1; fi
kiv=$(realpath "$kiv")

# ---- Namespaces and cleanup -----------------------------------------------

tag=kivr$$ # every name we make carries it, so parallel runs never meet
work=$(mktemp -d "/tmp/udp-rehearsal.$$.XXXXXX")
namespaces=()
pids=()

cleanup() {
    local rc=$?
    trap - EXIT INT TERM
    local p ns tries
    for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do
        for tries in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
    done
    for ns in "${namespaces[@]}"; do
        # Anything still running inside would keep the namespace alive.
        for p in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$p" 2>/dev/null || true; done
        ip netns exec "$ns" nft delete table inet "$tag" 2>/dev/null || true
        ip netns del "$ns" 2>/dev/null || true
    done
    for p in "${pids[@]}"; do { wait "$p"; } 2>/dev/null || true; done
    if [ "$keep" = 1 ]; then log "raw output kept in $work"; else rm -rf "$work"; fi
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

in_ns() { local ns=$1; shift; ip netns exec "$ns" "$@"; }

make_ns() {
    ip netns add "$1" || return 1
    namespaces+=("$1")
    ip -n "$1" link set lo up
}

# A veth pair with one end in each namespace; the names exist only in there.
make_veth() { # ns1 if1 ns2 if2
    ip link add "$2" netns "$1" type veth peer name "$4" netns "$3"
    ip -n "$1" link set "$2" up
    ip -n "$3" link set "$4" up
}

drop_all_ns() {
    local ns
    for ns in "${namespaces[@]}"; do
        for p in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$p" 2>/dev/null || true; done
        ip netns del "$ns" 2>/dev/null || true
    done
    namespaces=()
}

if [ "$(id -u)" != 0 ] || ! command -v ip >/dev/null; then
    log "needs root and iproute2 to make network namespaces"
    exit 77
fi
make_ns "$tag-probe" 2>/dev/null || { log "cannot make a network namespace"; exit 77; }
drop_all_ns
for tool in timeout python3 ss; do command -v $tool >/dev/null || { log "needs $tool"; exit 1; }; done
case $topology in shaped | all) command -v tc >/dev/null || { log "needs tc for the shaped link"; exit 77; } ;; esac
case $topology in loss | multicast | all) command -v nft >/dev/null || { log "needs nft for the lossy links"; exit 77; } ;; esac

# ---- What this kivstream can do ---------------------------------------------

send_help=$("$kiv" send --help 2>&1 || true)
receive_help=$("$kiv" receive --help 2>&1 || true)
has_option() { grep -qE -- "^ *--$2[ ,<=]" <<<"$1"; }
has_rate=0 has_budget=0
has_option "$send_help" rate && has_rate=1
has_option "$receive_help" repair-budget && has_budget=1
# A copy, with the library it was linked against, so that a rebuild during the
# sweep does not change what is measured (or fail a run while it links).
mkdir "$work/bin"
cp "$kiv" "$work/bin/kivstream"
ldd "$kiv" | awk '$3 ~ /^\// && $3 !~ /^\/(usr\/)?lib/ { print $3 }' | while read -r lib; do
    cp -L "$lib" "$work/bin/"
done
export LD_LIBRARY_PATH="$work/bin${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
built=$kiv
kiv=$work/bin/kivstream
"$kiv" --version >/dev/null 2>&1 || { log "$built does not run (being rebuilt?)"; exit 1; }

# Other work on this machine skews the figures: say how busy it was.
log "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
log "kivstream $built: send --rate $([ $has_rate = 1 ] && echo yes || echo no), receive --repair-budget $([ $has_budget = 1 ] && echo yes || echo no)"

# ---- Counters ---------------------------------------------------------------

if_stat() { in_ns "$1" cat "/sys/class/net/$2/statistics/$3"; }

udp_rcvbuf_errors() { # datagrams the kernel dropped for a full socket buffer
    # shellcheck disable=SC2016 # awk's own $
    in_ns "$1" awk '/^Udp:/ { if (!h) { for (i = 1; i <= NF; i++) c[$i] = i; h = 1 } else print $c["RcvbufErrors"] }' /proc/net/snmp
}

qdisc_drops() { in_ns "$1" tc -s qdisc show dev "$2" | awk '/dropped/ { sub(",", "", $7); print $7; exit }'; }

# nftables in a receiver's namespace: count all UDP each way, drop a share.
set_loss() { # ns permille_in permille_out
    local ns=$1 pin=$2 pout=$3 din="" dout=""
    [ "$pin" -gt 0 ] && din="meta l4proto udp numgen random mod 1000 < $pin counter name \"in_drop\" drop"
    [ "$pout" -gt 0 ] && dout="meta l4proto udp numgen random mod 1000 < $pout counter name \"out_drop\" drop"
    in_ns "$ns" nft delete table inet "$tag" 2>/dev/null || true
    in_ns "$ns" nft -f - <<EOF
table inet $tag {
    counter in_all {}
    counter in_drop {}
    counter out_all {}
    counter out_drop {}
    chain input {
        type filter hook input priority 0; policy accept;
        meta l4proto udp counter name "in_all"
        $din
    }
    chain output {
        type filter hook output priority 0; policy accept;
        meta l4proto udp counter name "out_all"
        $dout
    }
}
EOF
}

nft_packets() { # ns counter
    in_ns "$1" nft list counter inet "$tag" "$2" 2>/dev/null | awk '/packets/ { print $2; exit }'
}

permille() { awk -v p="$1" 'BEGIN { printf "%d", p * 10 + 0.5 }'; }

# ---- One run ----------------------------------------------------------------

run_no=0
sender_ns="" sender_if="" dest="" offload="" shaped_if=""
send_args=() receive_args=() rx_ns=() cell_meta=()

# Receivers first, then the sender; each run gets a fresh port so that a late
# datagram of the previous run cannot land in it. Figures go into $dir/meta.
# Uses: sender_ns sender_if dest offload send_args[] receive_args[] rx_ns[]
run_cell() { # dir frames fps size label
    local dir=$1 n=$2 rate_fps=$3 wxh=$4 label=$5
    mkdir -p "$dir"
    run_no=$((run_no + 1))
    local port=$((20000 + run_no))
    local seconds
    seconds=$(awk -v n="$n" -v f="$rate_fps" 'BEGIN { printf "%d", (f > 0 ? n / f : 10) + 0.999 }')
    local limit=$((seconds + 30))
    local envs=()
    [ -n "$offload" ] && envs=(KIVSTREAM_UDP_OFFLOAD="$offload")
    local w=${wxh%x*} h=${wxh#*x}
    log "$label: $n frames of ${wxh}x24 at $rate_fps fps (~${seconds} s)"

    # Started without a shell function in between, so that $! is the process
    # itself; timeout --foreground, or it passes a TERM on twice, and a second
    # signal stops kivstream before its summary.
    local i rx=()
    for i in "${!rx_ns[@]}"; do
        ip netns exec "${rx_ns[i]}" env "${envs[@]}" timeout --foreground -k 5 $((limit + 15)) "$kiv" receive --transport udp \
            --stream "$port" --pattern check --json --latency --frames "$n" "${receive_args[@]}" \
            >"$dir/rx$i.json" 2>"$dir/rx$i.err" &
        rx[i]=$!
        pids+=("$!")
    done
    for i in "${!rx_ns[@]}"; do
        local tries=0
        until in_ns "${rx_ns[i]}" ss -Hlun "sport = :$port" | grep -q .; do
            tries=$((tries + 1))
            if [ $tries -ge 100 ]; then
                log "receiver in ${rx_ns[i]} did not start: $(cat "$dir/rx$i.err")"
                local j
                for j in "${!rx[@]}"; do kill -TERM "${rx[j]}" 2>/dev/null || true; wait "${rx[j]}" || true; done
                pids=()
                printf 'label=%s\nfailed=receiver did not start\n' "$label" >"$dir/meta"
                [ -z "$check" ] || check_failed=1 # no result is no pass
                return 0
            fi
            sleep 0.05
        done
    done
    sleep 0.2 # the multicast join follows the bind

    local tx0 txp0 q0=0 rb0=()
    tx0=$(if_stat "$sender_ns" "$sender_if" tx_bytes)
    txp0=$(if_stat "$sender_ns" "$sender_if" tx_packets)
    [ -n "$shaped_if" ] && q0=$(qdisc_drops "$sender_ns" "$sender_if")
    for i in "${!rx_ns[@]}"; do rb0[i]=$(udp_rcvbuf_errors "${rx_ns[i]}"); done

    local t0 send_rc=0
    t0=$(date +%s.%N)
    # In the background, so that Ctrl-C or TERM is handled at once.
    ip netns exec "$sender_ns" env "${envs[@]}" timeout --foreground -k 5 "$limit" "$kiv" send --transport udp --address "$dest" \
        --stream "$port" --pattern check --size "$wxh" --fps "$rate_fps" --frames "$n" "${send_args[@]}" \
        >"$dir/send.out" 2>"$dir/send.err" &
    local sender=$!
    pids+=("$sender")
    wait "$sender" || send_rc=$?
    local t1
    t1=$(date +%s.%N)

    # Frames still in flight and their repairs: give them 3 s, then stop the
    # receivers, which still print their summaries.
    local waited=0
    while [ $waited -lt 30 ]; do
        local alive=0
        for i in "${!rx[@]}"; do kill -0 "${rx[i]}" 2>/dev/null && alive=1; done
        [ $alive = 1 ] || break
        sleep 0.1
        waited=$((waited + 1))
    done
    for i in "${!rx[@]}"; do kill -TERM "${rx[i]}" 2>/dev/null || true; done
    local rx_rc=()
    for i in "${!rx[@]}"; do
        rx_rc[i]=0
        wait "${rx[i]}" || rx_rc[i]=$?
    done
    pids=()

    {
        echo "label=$label"
        echo "size=$wxh"
        echo "fps=$rate_fps"
        echo "frames=$n"
        echo "frame_bytes=$((w * h * 3))"
        echo "seconds=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')"
        echo "send_rc=$send_rc"
        echo "tx_bytes=$(($(if_stat "$sender_ns" "$sender_if" tx_bytes) - tx0))"
        echo "tx_packets=$(($(if_stat "$sender_ns" "$sender_if" tx_packets) - txp0))"
        [ -n "$shaped_if" ] && echo "qdisc_drops=$(($(qdisc_drops "$sender_ns" "$sender_if") - q0))"
        echo "receivers=${#rx_ns[@]}"
        for i in "${!rx_ns[@]}"; do
            echo "rx${i}_rc=${rx_rc[i]}"
            echo "rx${i}_rcvbuf_errors=$(($(udp_rcvbuf_errors "${rx_ns[i]}") - rb0[i]))"
            if in_ns "${rx_ns[i]}" nft list table inet "$tag" >/dev/null 2>&1; then
                local c
                for c in in_all in_drop out_all out_drop; do echo "rx${i}_nft_$c=$(nft_packets "${rx_ns[i]}" "$c")"; done
            fi
        done
        for kv in "${cell_meta[@]}"; do echo "$kv"; done
    } >"$dir/meta"
    python3 "$report" line "$dir" >&2
    if [ -n "$check" ] && [ "${cell_mode:-repair}" = repair ] && ! python3 "$report" check "$check" "$dir" >&2; then
        check_failed=1
    fi
}

# ---- Topologies ---------------------------------------------------------------

default_frames() { # fps seconds
    if [ -n "$frames" ]; then echo "$frames"; return; fi
    awk -v f="$1" -v s="$2" 'BEGIN { n = int(f * s + 0.5); print (n < 4 ? 4 : n) }'
}

# Sender namespace $1 and receiver namespace $2 on one veth pair, s$$ and r$$,
# whose sender side segments GSO buffers as a NIC without UDP offload does, so
# that its counters and the receiver's nftables see every datagram.
make_pair() {
    make_ns "$1" && make_ns "$2"
    make_veth "$1" "s$$" "$2" "r$$"
    ip -n "$1" addr add "$net.1/24" dev "s$$"
    ip -n "$2" addr add "$net.2/24" dev "r$$"
    ip -n "$1" link set dev "s$$" gso_max_segs 1
}

run_shaped() {
    local s=$tag-s r=$tag-r
    make_pair "$s" "$r"
    tc -n "$s" qdisc add dev "s$$" root tbf rate "${link_mbit}mbit" burst 64kb latency 50ms
    sender_ns=$s sender_if=s$$ dest=$net.2 offload="" shaped_if=s$$
    rx_ns=("$r") receive_args=()

    local sizes=(320x240 640x480 1280x720) rates=(1 2 5 15) caps=("")
    [ -n "$size" ] && sizes=("$size")
    [ -n "$fps" ] && rates=("$fps")
    local seconds=15
    [ $quick = 1 ] && seconds=4
    if [ "$rate" = none ]; then
        :
    elif [ $has_rate = 1 ]; then
        # UDP payload under the link rate: 1472 of every 1514 bytes on the
        # wire, and 5% to spare.
        caps+=("${rate:-$(awk -v m=$link_mbit 'BEGIN { printf "%dMbit", m * 1472 / 1514 * 0.95 }')}")
    elif [ -n "$rate" ]; then
        log "this kivstream send has no --rate: --rate $rate ignored"
    fi
    local cap wxh f dirs=()
    for cap in "${caps[@]}"; do
        for wxh in "${sizes[@]}"; do
            for f in "${rates[@]}"; do
                local d="$work/shaped/${cap:-uncapped}-$wxh-$f"
                send_args=()
                [ -n "$cap" ] && send_args=(--rate "$cap")
                cell_meta=("rate_cap=$cap" "link_mbit=$link_mbit")
                run_cell "$d" "$(default_frames "$f" $seconds)" "$f" "$wxh" \
                    "shaped $wxh @ $f fps${cap:+, send --rate $cap}"
                dirs+=("$d")
            done
        done
    done
    shaped_if=""
    drop_all_ns
    python3 "$report" shaped "${dirs[@]}"
}

run_loss() {
    local s=$tag-s r=$tag-r
    make_pair "$s" "$r"
    # kivstream's defaults, GSO included.
    sender_ns=$s sender_if=s$$ dest=$net.2 offload=""
    rx_ns=("$r")

    local wxh=${size:-1280x720} f=${fps:-30} n=${frames:-300}
    [ $quick = 1 ] && [ -z "$frames" ] && n=90
    local shares=(0 1 5 10 20) modes=(repair) kinds=(random burst)
    [ -n "$loss" ] && shares=("$loss")
    [ $has_budget = 1 ] && modes+=(parity)
    [ -n "$only_mode" ] && modes=("$only_mode")
    [ -n "$only_kind" ] && kinds=("$only_kind")
    [ $has_budget = 1 ] || log "receive has no --repair-budget: parity-alone rows left out"
    local p mode kind dirs=()
    for kind in "${kinds[@]}"; do
        for p in "${shares[@]}"; do
            # No loss is the same in both kinds: one baseline.
            [ "$kind" = burst ] && [ "$(permille "$p")" = 0 ] && continue
            for mode in "${modes[@]}"; do
                local d="$work/loss/$kind-$p-$mode" pm
                pm=$(permille "$p")
                receive_args=()
                [ "$mode" = parity ] && receive_args=(--repair-budget 0)
                send_args=()
                if [ "$kind" = random ]; then
                    set_loss "$r" "$pm" "$pm"
                else
                    # Bursts come from the sender itself; the return path still
                    # goes through nftables.
                    set_loss "$r" 0 "$pm"
                    send_args=(--loss "$p,burst=$burst")
                fi
                cell_meta=("loss=$p" "kind=$kind" "burst=$burst" "mode=$mode")
                cell_mode=$mode
                run_cell "$d" "$n" "$f" "$wxh" "loss $p% $kind ($mode)"
                dirs+=("$d")
            done
        done
    done
    drop_all_ns
    python3 "$report" loss "${dirs[@]}"
}

run_multicast() {
    local s=$tag-s sw=$tag-sw r1=$tag-r1 r2=$tag-r2
    make_ns "$s" && make_ns "$sw" && make_ns "$r1" && make_ns "$r2"
    ip -n "$sw" link add br$$ type bridge
    # Flood the group to every port: there is no IGMP querier on this bridge.
    ip -n "$sw" link set br$$ type bridge mcast_snooping 0
    ip -n "$sw" link set br$$ up
    local ns addr=1 ifname
    for ns in "$s" "$r1" "$r2"; do
        ifname=e${addr}x$$
        make_veth "$ns" "$ifname" "$sw" "p${addr}x$$"
        ip -n "$sw" link set "p${addr}x$$" master br$$
        ip -n "$ns" addr add "$net.$addr/24" dev "$ifname"
        ip -n "$ns" route add 224.0.0.0/4 dev "$ifname"
        addr=$((addr + 1))
    done
    ip -n "$s" link set dev e1x$$ gso_max_segs 1
    # A tunnel without an address, as a VPN leaves on many hosts: a receiver
    # that joins the group on every interface must pass it by.
    [ -c /dev/net/tun ] && ip -n "$r1" tuntap add dev t$$ mode tun
    sender_ns=$s sender_if=e1x$$ dest=$mcast_group offload="" send_args=()
    rx_ns=("$r1" "$r2")

    local wxh=${size:-1280x720} f=${fps:-30} n=${frames:-300}
    [ $quick = 1 ] && [ -z "$frames" ] && n=90
    local p1=5 p2=10
    if [ -n "$loss" ]; then
        case $loss in
        */*) p1=${loss%/*} p2=${loss#*/} ;;
        *) p1=$loss p2=$(awk -v p="$loss" 'BEGIN { q = 2 * p; print (q > 100 ? 100 : q) }') ;;
        esac
    fi
    local modes=(repair) mode dirs=()
    [ $has_budget = 1 ] && modes+=(parity)
    [ -n "$only_mode" ] && modes=("$only_mode")
    for mode in "${modes[@]}"; do
        cell_mode=$mode
        local d="$work/multicast/$mode"
        set_loss "$r1" "$(permille "$p1")" "$(permille "$p1")"
        set_loss "$r2" "$(permille "$p2")" "$(permille "$p2")"
        receive_args=()
        [ "$mode" = parity ] && receive_args=(--repair-budget 0)
        cell_meta=("mode=$mode" "rx0_loss=$p1" "rx1_loss=$p2" "group=$mcast_group")
        run_cell "$d" "$n" "$f" "$wxh" "multicast $p1%/$p2% ($mode)"
        dirs+=("$d")
    done
    drop_all_ns
    python3 "$report" multicast "${dirs[@]}"
}

check_failed=0 cell_mode=repair
case $topology in
shaped) run_shaped ;;
loss) run_loss ;;
multicast) run_multicast ;;
all) run_shaped; echo; run_loss; echo; run_multicast ;;
esac
[ "$check_failed" = 0 ] || { log "some runs got fewer than $check% of their frames intact"; exit 3; }
