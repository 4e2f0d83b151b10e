#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds Vantrel and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
# A window needs a display; without one Qt would end with a message about
# platform plugins that says nothing of what to do instead.
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-}" ]; then
    echo "vantrel: no display (DISPLAY and WAYLAND_DISPLAY are unset), so no window can open; on a headless host use vantrel-cli: scripts/build.sh, then build/release/cli/vantrel-cli find (or doctor)" >&2
    exit 1
fi
scripts/build.sh
exec build/release/app/vantrel "$@"
