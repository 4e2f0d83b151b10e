#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, checks the formatting, builds Vantrel three times
# (with warnings as errors; once with AddressSanitizer and
# UndefinedBehaviorSanitizer; once with the portable system services that
# macOS and the BSDs build) and runs the tests of each build, then fuzzes
# briefly; all of it inside a private network namespace.
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH="$PATH:/usr/sbin:/sbin"

if [ "${VANTREL_IN_NETNS:-}" != 1 ]; then
    scripts/deps.sh test
fi
VANTREL_VETH="vtest0=192.0.2.1/24 vtest1=198.51.100.1/24"
. scripts/netns.sh

echo "== clang-format"
{ git ls-files '*.cpp' '*.h' 2>/dev/null || find . -path ./build -prune -o -name '*.cpp' -print -o -name '*.h' -print; } |
    xargs clang-format --dry-run --Werror

jobs=$(nproc)
for variant in release asan portable; do
    dir=build/test-$variant
    flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_WERROR=ON)
    skip=()
    [ $variant = asan ] && flags+=(-DVANTREL_SANITIZE=ON)
    # doctor reads the firewall, the wire and the port's holder, which only
    # a system's own services tell; the packages are the release build's.
    [ $variant = portable ] && flags+=(-DVANTREL_SYSTEM=portable) &&
        skip=(-E 'tst_clidoctor|tst_package|tst_install')
    echo "== build $variant"
    cmake -S . -B "$dir" "${flags[@]}" >/dev/null
    cmake --build "$dir" -j "$jobs"
    echo "== test $variant"
    ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp \
        ctest --test-dir "$dir" -j "$jobs" --output-on-failure "${skip[@]}"
done

# libFuzzer targets: a clang build of their own, the committed inputs replayed
# as tests, then a short fuzzing run of each (VANTREL_FUZZ_SECONDS, default 30).
fuzzdir=build/test-fuzz
echo "== build fuzz"
CC=clang CXX=clang++ cmake -S . -B "$fuzzdir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVANTREL_WERROR=ON -DVANTREL_TESTS=OFF -DVANTREL_FUZZ=ON >/dev/null
cmake --build "$fuzzdir" -j "$jobs" --target fuzz_intake fuzz_config fuzz_plan
echo "== fuzz"
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp
ctest --test-dir "$fuzzdir/fuzz" --output-on-failure
for target in fuzz_intake fuzz_config fuzz_plan; do
    options=(-max_len=512)
    [ $target = fuzz_intake ] && options=(-max_len=8192 -dict=fuzz/intake.dict)
    [ $target = fuzz_plan ] && options=(-max_len=4096 -dict=fuzz/plan.dict)
    work=$(mktemp -d)
    log="$fuzzdir/$target.log"
    if ! "$fuzzdir/fuzz/$target" "${options[@]}" -max_total_time="${VANTREL_FUZZ_SECONDS:-30}" \
        -artifact_prefix="$fuzzdir/$target-" "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        echo "$target failed; the input is in $fuzzdir/$target-*" >&2
        exit 1
    fi
    grep -E '^Done [0-9]+ runs' "$log" | sed "s/^/$target: /"
    rm -rf "$work"
done
echo "== all tests passed"
