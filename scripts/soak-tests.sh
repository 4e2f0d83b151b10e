#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the CTest suites of both test builds N times in a row while a busy loop
# keeps one core loaded, and prints how many runs of each test failed. A test
# whose verdict depends on how busy the machine is shows up here. Leave the
# sources alone meanwhile: the package test rebuilds the tree it packs.
#   scripts/soak-tests.sh [N]      (default 10; builds what scripts/test.sh builds)
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH="$PATH:/usr/sbin:/sbin"
runs=${1:-10}
case $runs in '' | *[!0-9]* | 0) echo "usage: scripts/soak-tests.sh [N>0]" >&2; exit 1 ;; esac

if [ "${VANTREL_IN_NETNS:-}" != 1 ]; then
    scripts/deps.sh test
fi
VANTREL_VETH="vtest0=192.0.2.1/24 vtest1=198.51.100.1/24"
. scripts/netns.sh

jobs=$(nproc)
variants=(release asan)
for variant in "${variants[@]}"; do
    dir=build/test-$variant
    flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_WERROR=ON)
    [ $variant = asan ] && flags+=(-DVANTREL_SANITIZE=ON)
    cmake -S . -B "$dir" "${flags[@]}" >/dev/null
    cmake --build "$dir" -j "$jobs" >/dev/null
done

# The load: one core kept busy, bounded in time even if this script is killed.
logs=$(mktemp -d)
timeout 7200 bash -c 'while :; do :; done' &
load=$!
trap 'kill $load 2>/dev/null || true' EXIT

declare -A failed
started=$(date +%s)
for ((i = 1; i <= runs; i++)); do
    for variant in "${variants[@]}"; do
        log="$logs/$variant-$i.log"
        ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp \
            ctest --test-dir "build/test-$variant" -j "$jobs" --output-on-failure >"$log" 2>&1 || true
        while read -r name; do
            failed[$variant/$name]=$((${failed[$variant/$name]:-0} + 1))
        done < <(sed -n 's/^ *[0-9]*\/[0-9]* Test *#[0-9]*: \([^ ]*\) .*\(Failed\|Timeout\|Exception\|Not Run\).*/\1/p' "$log")
        echo "run $i/$runs $variant: $(grep -E '^[0-9]+% tests passed' "$log" || echo 'no summary')" >&2
    done
done

printf '%-18s %6s %16s %13s\n' test runs "release failed" "asan failed"
listed() { ctest --test-dir "build/test-$1" -N | sed -n 's/^ *Test *#[0-9]*: //p'; }
asan=" $(listed asan | tr '\n' ' ') "
for name in $(listed release); do
    in_asan=-
    [[ $asan == *" $name "* ]] && in_asan=${failed[asan/$name]:-0}
    printf '%-18s %6d %16d %13s\n' "$name" "$runs" "${failed[release/$name]:-0}" "$in_asan"
done
echo "load: one busy core; $(( $(date +%s) - started )) s; failing logs kept in $logs" >&2
total=0
for n in "${failed[@]}"; do total=$((total + n)); done
[ "$total" -eq 0 ]
