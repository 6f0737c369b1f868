#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Long run of every transport: sends and receives 30 frames a second for a
# while and samples resident memory, threads and open descriptors of the
# process from /proc. Not part of CI.
#
#   scripts/soak.sh [build dir] [seconds] [transports...]
#   defaults: build/default 300 udp tcp memory
#
# Each transport runs in its own process on its own stream (27900 + n), all at
# once. The first 30 s are warm-up; the verdict looks at the warm samples: flat
# when threads and descriptors never change and resident memory moves by no
# more than 4 MiB.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/default}
seconds=${2:-300}
shift $(( $# > 2 ? 2 : $# )) || true
transports=("$@")
[ ${#transports[@]} -gt 0 ] || transports=(udp tcp memory)
peer=$build/tests/reliability/reliability_peer
[ -x "$peer" ] || { echo "no $peer: build first (cmake --build --preset default)" >&2; exit 1; }
warmup=30
out=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$out"' EXIT

sample() { # pid file
    local pid=$1 file=$2 t=0
    while kill -0 "$pid" 2>/dev/null; do
        local rss threads fds
        rss=$(awk '/^VmRSS:/ {print $2}' /proc/"$pid"/status 2>/dev/null) || break
        threads=$(awk '/^Threads:/ {print $2}' /proc/"$pid"/status 2>/dev/null) || break
        fds=$(ls /proc/"$pid"/fd 2>/dev/null | wc -l)
        [ -n "$rss" ] && echo "$t $rss $threads $fds" >> "$file"
        sleep 5
        t=$((t + 5))
    done
}

n=0
declare -A pids
for t in "${transports[@]}"; do
    stream=$((27900 + n))
    n=$((n + 1))
    "$peer" soak "$t" "$stream" "$seconds" 30 640 480 > "$out/$t.log" 2>&1 &
    pids[$t]=$!
    sample "${pids[$t]}" "$out/$t.samples" &
done

status=0
printf '%-8s %8s %8s %9s %9s %9s %8s %6s  %s\n' transport sent received rss_warm rss_end rss_spread threads fds verdict
for t in "${transports[@]}"; do
    rc=0
    wait "${pids[$t]}" || rc=$?
    last=$(tail -n 1 "$out/$t.log")
    sent=$(awk '{print $3}' <<<"$last")
    received=$(awk '{print $5}' <<<"$last")
    corrupt=$(awk '{print $7}' <<<"$last")
    read -r warm end spread threads fds flat < <(awk -v w=$warmup '
        $1 >= w {
            if (n == 0) { first = $2; lo = $2; hi = $2 }
            if ($2 < lo) lo = $2
            if ($2 > hi) hi = $2
            last = $2; th[$3] = 1; fd[$4] = 1; n++
        }
        END {
            if (n == 0) { print "- - - - - no"; exit }
            nt = 0; for (k in th) { nt++; tk = k }
            nf = 0; for (k in fd) { nf++; fk = k }
            flat = (hi - lo <= 4096 && nt == 1 && nf == 1) ? "flat" : "GROWS"
            printf "%d %d %d %s %s %s\n", first, last, hi - lo, (nt == 1 ? tk : "varies"), (nf == 1 ? fk : "varies"), flat
        }' "$out/$t.samples")
    verdict=$flat
    [ "$rc" -eq 0 ] && [ "${corrupt:-1}" = 0 ] || { verdict="FAILED(rc=$rc,corrupt=${corrupt:-?})"; status=1; }
    [ "$flat" = flat ] || status=1
    printf '%-8s %8s %8s %7sKB %7sKB %7sKB %8s %6s  %s\n' "$t" "$sent" "$received" "$warm" "$end" "$spread" "$threads" "$fds" "$verdict"
    [ -n "${SOAK_KEEP:-}" ] && cp "$out/$t.samples" "$out/$t.log" "$SOAK_KEEP"/ 2>/dev/null || true
done
exit $status
