#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Judges kivstream probe on links whose truth we know: serve ends in network
# namespaces of their own, joined to the probe's by veth pairs.
#
#   bash scripts/probe-rehearsal.sh shaped|group [--kivstream PATH] [--rate MBIT]
#        [--budget S] [--full] [--check] [--out DIR]
#
#   shaped  probe --veth-- serve, the probe's side shaped by tbf to MBIT
#           (default 40) Mbit/s, which the probe is not told; 640x480x24 raw
#           over TCP and UDP. --check: exit 3 unless the link estimate and
#           each highest intact rate lie within 15% of what the rate allows.
#           --full: the probe's default sweep (every size, raw and JPEG) in
#           its default budget instead.
#   group   one probe and three serve ends on a bridge, one multicast group;
#           nftables drops half the UDP coming into the third. --check: exit 3
#           unless the verdict names the third as the worst receiver.
#
# The probe's JSON, table and plot go to --out (default: a temporary
# directory that is removed). Needs root; exits 77 where namespaces cannot be
# made.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
topology="" kiv="" rate=40 budget="" check=0 outdir="" full=0
while [ $# -gt 0 ]; do
    case $1 in
    shaped | group) topology=$1 ;;
    --kivstream) kiv=$2; shift ;;
    --rate) rate=$2; shift ;;
    --budget) budget=$2; shift ;;
    --check) check=1 ;;
    --full) full=1 ;;
    --out) outdir=$2; shift ;;
    -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "probe-rehearsal: unknown argument '$1'" >&2; exit 2 ;;
    esac
    shift
done
[ -n "$topology" ] || { echo "probe-rehearsal: shaped or group?" >&2; exit 2; }
[ -n "$kiv" ] || kiv="$repo/build/default/tools/kivstream"
[ -x "$kiv" ] || { echo "probe-rehearsal: no kivstream at $kiv: build first" >&2; exit 1; }
kiv=$(realpath "$kiv")
log() { echo "probe-rehearsal: $*" >&2; }

. "$here/netns-group.sh"
why=$(netns_need tc 2>&1) || { log "$why"; exit 77; }

tag=kivp$$
work=$(mktemp -d "/tmp/probe-rehearsal.$$.XXXXXX")
[ -n "$outdir" ] && mkdir -p "$outdir" || outdir=$work
cleanup() {
    local rc=$?
    trap - EXIT
    netns_cleanup
    [ "$outdir" = "$work" ] || rm -rf "$work"
    [ "$outdir" != "$work" ] || { [ "$rc" = 0 ] && rm -rf "$work" || log "output kept in $work"; }
    exit "$rc"
}
trap cleanup EXIT
make_ns "$tag-p" 2>/dev/null || { log "cannot make a network namespace"; exit 77; }
net=10.202.0

serve_in() { # ns
    ip netns exec "$1" "$kiv" serve >"$work/serve-$1.log" 2>&1 &
    local tries=0
    until ip netns exec "$1" ss -Hltn "sport = :10580" | grep -q .; do
        tries=$((tries + 1))
        [ $tries -lt 100 ] || { log "serve in $1 did not start: $(cat "$work/serve-$1.log")"; exit 1; }
        sleep 0.05
    done
}

if [ "$topology" = shaped ]; then
    make_ns "$tag-s"
    ip link add "$tag-a" netns "$tag-p" type veth peer name "$tag-b" netns "$tag-s"
    ip -n "$tag-p" addr add $net.1/24 dev "$tag-a"
    ip -n "$tag-s" addr add $net.2/24 dev "$tag-b"
    ip -n "$tag-p" link set "$tag-a" up
    ip -n "$tag-s" link set "$tag-b" up
    ip netns exec "$tag-p" tc qdisc add dev "$tag-a" root tbf rate "${rate}mbit" burst 64kb latency 50ms
    serve_in "$tag-s"
    log "probing a link shaped to $rate Mbit/s"
    sweep=(--size 640x480 --jpeg raw --budget "${budget:-24}")
    [ "$full" = 1 ] && sweep=(${budget:+--budget "$budget"})
    ip netns exec "$tag-p" "$kiv" probe $net.2 "${sweep[@]}" --json --plot "$outdir/probe.svg" >"$outdir/probe.json"
    # The table and a PNG, from a second run, for the record.
    [ "$full" = 1 ] && ip netns exec "$tag-p" "$kiv" probe $net.2 "${sweep[@]}" --plot "$outdir/probe.png" >"$outdir/probe.txt" 2>/dev/null
    python3 - "$outdir/probe.json" "$rate" "$check" <<'EOF'
import json, sys
report, rate, check = json.load(open(sys.argv[1])), float(sys.argv[2]), sys.argv[3] == "1"
bad = []
def judge(what, got, want):
    ok = abs(got - want) <= 0.15 * want
    print(f"{what}: {got:.2f}, the link allows {want:.2f} ({100 * got / want:.0f}%){'' if ok else '  <-- off by more than 15%'}")
    if not ok: bad.append(what)
judge("link estimate, Mbit/s", report["link_mbit"], rate)
if report["elapsed_s"] > report["budget_s"]:
    print(f'took {report["elapsed_s"]:.1f} s of a {report["budget_s"]} s budget'); bad.append("budget")
for c in report["cells"]:
    print(c["answer"])
    if c["width"] != 640 or c["jpeg"] is not None: continue
    allowed = rate * 1e6 / c["wire_bits_per_frame"] if c["wire_bits_per_frame"] else 0
    judge(f'{c["transport"]} highest intact fps', c["highest_intact_fps"] or 0, allowed)
sys.exit(3 if check and bad else 0)
EOF
else
    netns_group "$tag" $net 3
    hosts=""
    for i in 1 2 3; do
        serve_in "$tag-r$i"
        hosts="$hosts${hosts:+,}$net.$((10 + i))"
    done
    netns_drop "$tag-r3" 50
    log "probing the group 239.255.10.88 received by $hosts, the third losing half its UDP"
    ip netns exec "$tag-p" "$kiv" probe "$hosts" --group 239.255.10.88 --size 320x240 --jpeg raw --fps 30 \
        --budget "${budget:-12}" --json >"$outdir/probe.json"
    python3 - "$outdir/probe.json" "$net.13" "$check" <<'EOF'
import json, sys
report, lossy, check = json.load(open(sys.argv[1])), sys.argv[2], sys.argv[3] == "1"
named = set()
for c in report["cells"]:
    print(c["answer"])
    best = c.get("best") or (c["runs"][-1] if c["runs"] else {})
    named.add(best.get("worst_host"))
print(f"named as the worst receiver: {sorted(map(str, named))}")
late = report["elapsed_s"] > report["budget_s"]
if late: print(f'took {report["elapsed_s"]:.1f} s of a {report["budget_s"]} s budget')
sys.exit(3 if check and (named != {lossy} or late) else 0)
EOF
fi
