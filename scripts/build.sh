#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing (scripts/deps.sh), then builds the programs (no
# tests) into build/release.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DVANTREL_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc)"
