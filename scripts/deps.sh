#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian/Ubuntu packages that building (and, with "test", testing)
# Vantrel needs, skipping what is already there.
set -euo pipefail

packages=(build-essential cmake qt6-base-dev qt6-base-dev-tools libgl-dev iproute2 util-linux)
if [ "${1:-}" = test ]; then
    packages+=(clang clang-format libclang-rt-dev desktop-file-utils xvfb xauth
               lintian mandoc appstream dpkg-dev nftables tshark)
elif [ "${1:-}" = windows ]; then
    packages+=(g++-mingw-w64-x86-64-posix wine wine64 nsis ninja-build dpkg-dev xz-utils
               xvfb xauth xdotool imagemagick zip unzip python3 osslsigncode openssl)
elif [ "${1:-}" = demo ] && [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    packages+=(xvfb xauth imagemagick)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
