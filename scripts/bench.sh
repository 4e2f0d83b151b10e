#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Measures Vantrel (Release build) against its floors on this machine, inside
# a private network namespace, and prints them side by side with ratios:
#   drain rate   the datagrams per second that Vantrel reads off port 48322,
#                against a minimal C++ recv() loop: under a live flood from
#                one sender, and from a full receive buffer (no sender running);
#   start-up     launch to the first discovery request on the wire, and peak
#                resident memory, against a bare Qt 6 program (bench/bare.cpp);
#   vantrel-cli  the same two drain rates for 'find', and how late it exits
#                after its --timeout while the flood goes on.
# GUI programs run on the offscreen platform. VANTREL_BENCH_RUNS (default 15)
# sets the number of launches of each program.
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH="$PATH:/usr/sbin:/sbin"

if [ "${VANTREL_IN_NETNS:-}" != 1 ]; then
    scripts/deps.sh
fi
VANTREL_VETH="vbench0=192.0.2.1/24"
. scripts/netns.sh

dir=build/bench
cmake -S bench -B "$dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$dir" -j "$(nproc)" \
    --target vantrel vantrel-cli vantrel-bare vantrel-recvloop vantrel-flood vantrel-measure \
    >/dev/null

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -m 700 "$scratch/runtime"
export QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$scratch/config" XDG_RUNTIME_DIR="$scratch/runtime"
measure=$dir/vantrel-measure
flood=$dir/vantrel-flood
vantrel=$dir/vantrel/app/vantrel
cli=$dir/vantrel/cli/vantrel-cli
floor=$dir/vantrel-recvloop
bare=$dir/vantrel-bare
runs=${VANTREL_BENCH_RUNS:-15}

# Median of one field (NAME=value) over the lines on stdin.
median() {
    sed -n "s/.*\b$1=\(-\?[0-9.]*\).*/\1/p" | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'
}
# Five runs; one that fails says why and leaves the median to the others.
repeat() {
    for _ in $(seq 5); do "$measure" "$@" || true; done
}

live_v=$(repeat drain 1 "$flood" -- "$vantrel")
live_f=$(repeat drain 1 "$flood" -- "$floor")
burst_v=$(repeat burst 8000 "$flood" -- "$vantrel")
burst_f=$(repeat burst 8000 "$flood" -- "$floor")
start=$("$measure" startup "$runs" "$vantrel" "$bare")
# JSON is written only at the end, so the measured runs print nothing.
cli_find=("$cli" find --json --timeout 600000)
live_c=$(repeat drain 1 "$flood" -- "${cli_find[@]}")
burst_c=$(repeat burst 8000 "$flood" -- "${cli_find[@]}")
late_c=$(repeat deadline 1000 "$flood" -- "$cli" find --json --timeout 1000)

row() { # label, vantrel value, floor value, floor name
    awk -v l="$1" -v a="$2" -v b="$3" -v f="$4" 'BEGIN {
        r = b > 0 ? sprintf("%.2f", a / b) : "-"
        printf "%-36s %12s %12s %7s  %s\n", l, a, b, r, f
    }'
}
echo "$(nproc) processors, $(uname -r), Qt $(qtpaths6 --qt-version 2>/dev/null || echo 6)"
printf "%-36s %12s %12s %7s  %s\n" "" "vantrel" "floor" "ratio" "floor program"
row "drain, live flood (datagrams/s)" "$(median rate <<<"$live_v")" \
    "$(median rate <<<"$live_f")" "recv() loop"
row "  flood sent in 1 s" "$(median sent <<<"$live_v")" "$(median sent <<<"$live_f")" \
    "one sender, as fast as it can"
row "  dropped by the kernel" "$(median dropped <<<"$live_v")" \
    "$(median dropped <<<"$live_f")" ""
row "drain, 8000 queued (datagrams/s)" "$(median rate <<<"$burst_v")" \
    "$(median rate <<<"$burst_f")" "recv() loop"
row "start-up to request on wire (ms)" "$(grep "^$vantrel " <<<"$start" | median startup_ms)" \
    "$(grep "^$bare " <<<"$start" | median startup_ms)" "bare Qt 6 window"
row "peak resident memory (KiB)" "$(grep "^$vantrel " <<<"$start" | median rss_kb)" \
    "$(grep "^$bare " <<<"$start" | median rss_kb)" "bare Qt 6 window"
row "cli drain, live flood (datagrams/s)" "$(median rate <<<"$live_c")" \
    "$(median rate <<<"$live_f")" "recv() loop"
row "  dropped by the kernel" "$(median dropped <<<"$live_c")" \
    "$(median dropped <<<"$live_f")" ""
row "cli drain, 8000 queued (datagrams/s)" "$(median rate <<<"$burst_c")" \
    "$(median rate <<<"$burst_f")" "recv() loop"
row "cli exit after --timeout, flood (ms)" "$(median late_ms <<<"$late_c")" "-" ""
echo "Medians of 5 flood runs and of $runs launches; goals: start-up and memory ratios <= 1.15,"
echo "cli drain ratios >= 0.8, cli exit within 20 ms of its deadline."
