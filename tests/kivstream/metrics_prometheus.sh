#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A real Prometheus server scrapes three receivers of one multicast group, the
# third behind nftables dropping half its UDP, and the queries of
# docs/metrics.md must name that one and read the group. Exit 77 (skip) where
# prometheus is not installed or namespaces cannot be made.
#   metrics_prometheus.sh KIVSTREAM
set -euo pipefail
kiv=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
log() { echo "metrics-prometheus: $*" >&2; }
command -v prometheus >/dev/null || { log "skipped: no prometheus server (apt-get install prometheus)"; exit 77; }
. "$here/../../scripts/netns-group.sh"
why=$(netns_need python3 2>&1) || { log "skipped: $why"; exit 77; }

tag=kivm$$ net=10.203.0 stream=24600 fps=30
work=$(mktemp -d "/tmp/metrics-prometheus.$$.XXXXXX")
cleanup() {
    local rc=$?
    trap - EXIT
    disown -a
    netns_cleanup
    [ "$rc" = 0 ] && rm -rf "$work" || log "logs kept in $work"
    exit "$rc"
}
trap cleanup EXIT
make_ns "$tag-p" 2>/dev/null || { log "skipped: cannot make a network namespace"; exit 77; }
netns_group "$tag" $net 3
netns_drop "$tag-r3" 50

targets=""
for i in 1 2 3; do
    ip netns exec "$tag-r$i" "$kiv" receive --transport udp --stream $stream --seconds 40 \
        --metrics $net.$((10 + i)):9464 >"$work/receive-$i.log" 2>&1 &
    targets="$targets${targets:+, }'$net.$((10 + i)):9464'"
done
cat >"$work/prometheus.yml" <<EOF
global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: kivstream
    static_configs:
      - targets: [$targets]
EOF
ip netns exec "$tag-p" prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/data" \
    --web.listen-address=127.0.0.1:9090 >"$work/prometheus.log" 2>&1 &
ip netns exec "$tag-p" "$kiv" send --transport udp --address 239.255.10.88 --stream $stream --fps $fps --seconds 30 \
    --pattern check >"$work/send.log" 2>&1 &

# Queries once every target has been scraped with frames for 12 s: the
# per-receiver rate's window then holds frames only.
ip netns exec "$tag-p" python3 - "$net.13:9464" "$fps" <<'EOF'
import json, sys, time, urllib.parse, urllib.request
lossy, fps = sys.argv[1], float(sys.argv[2])
def query(q):
    url = "http://127.0.0.1:9090/api/v1/query?" + urllib.parse.urlencode({"query": q})
    reply = json.load(urllib.request.urlopen(url, timeout=5))
    assert reply["status"] == "success", reply
    return {r["metric"].get("instance", ""): float(r["value"][1]) for r in reply["data"]["result"]}
deadline, seen = time.time() + 40, {}
while True:
    try:
        seen = query("count_over_time(kivstream_frames_received_total[1m]) and kivstream_frames_received_total > 0")
        if len(seen) == 3 and min(seen.values()) >= 12: break
    except OSError:
        pass
    if time.time() > deadline: sys.exit(f"three receivers never had twelve scrapes with frames: {seen}")
    time.sleep(0.5)
bad = []
def check(what, ok, got):
    print(f"{what}: {got}{'' if ok else '  <-- wrong'}")
    if not ok: bad.append(what)
most = query("topk(1, sum by (instance) (rate(kivstream_datagrams_lost_total[1m])))")
check("the receiver with most loss", list(most) == [lossy], most)
p99 = query("histogram_quantile(0.99, sum by (le) (rate(kivstream_frame_latency_seconds_bucket[1m])))")
check("p99 latency across the group, s", len(p99) == 1 and 0 < min(p99.values()) < 1, p99)
rates = query("rate(kivstream_frames_received_total[10s])")
check("frames per second per receiver", len(rates) == 3 and min(rates.values()) > fps / 2, rates)
sys.exit(1 if bad else 0)
EOF
