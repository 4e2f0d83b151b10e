#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds Vantrel and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
exec build/release/app/vantrel "$@"
