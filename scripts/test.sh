#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, checks the formatting, builds Vantrel twice (with
# warnings as errors; once with AddressSanitizer and UndefinedBehaviorSanitizer)
# and runs every test of both builds inside a private network namespace.
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH="$PATH:/usr/sbin:/sbin"

if [ "${VANTREL_IN_NETNS:-}" != 1 ]; then
    scripts/deps.sh test
fi
VANTREL_VETH="vtest0=192.0.2.1/24 vtest1=198.51.100.1/24"
. scripts/netns.sh

echo "== clang-format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

jobs=$(nproc)
for variant in release asan; do
    dir=build/test-$variant
    flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_WERROR=ON)
    [ $variant = asan ] && flags+=(-DVANTREL_SANITIZE=ON)
    echo "== build $variant"
    cmake -S . -B "$dir" "${flags[@]}" >/dev/null
    cmake --build "$dir" -j "$jobs"
    echo "== test $variant"
    ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp \
        ctest --test-dir "$dir" -j "$jobs" --output-on-failure
done
echo "== all tests passed"
