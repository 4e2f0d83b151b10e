#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross-builds Vantrel for 64-bit Windows: installs MinGW, Wine and NSIS from
# Debian, builds Debian's own Qt source once into a cache outside the clone
# (static, only what Vantrel uses), then Vantrel against it, and writes the
# installer and a portable zip into build/windows/.
#   scripts/windows.sh          everything
#   scripts/windows.sh qt       only the Qt cache
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
export PATH="$PATH:/usr/sbin:/sbin"

scripts/deps.sh windows

jobs=$(nproc)
qtversion=$(dpkg-query -W -f='${source:Version}' qt6-base-dev)
hostcmake=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo x86_64-linux-gnu)/cmake

# Direct2D and DirectWrite go together: Qt compiles its DirectWrite font
# database only with both, but refers to it with DirectWrite alone.
qtoptions=(-release -static -static-runtime -opensource -confirm-license
           -nomake examples -nomake tests
           -no-opengl -no-dbus -no-vulkan -no-openssl -no-icu
           -qt-zlib -qt-pcre -qt-libpng -qt-libjpeg -qt-harfbuzz -qt-doubleconversion -qt-freetype
           -no-feature-sql -no-feature-printsupport -no-feature-concurrent -no-feature-xml
           -no-feature-tabletevent -no-feature-direct2d -no-feature-directwrite)
key=$(printf '%s\n' "$qtversion" "${qtoptions[@]}" | sha256sum | cut -c1-12)
cache=${VANTREL_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vantrel-windows}
qtprefix=$cache/qt-${qtversion//[^0-9A-Za-z.]/_}-$key
toolchain=$cache/mingw-w64-x86_64.cmake

# The installed Qt's CMake files name this file by absolute path, so it lives
# in the cache beside the Qt it built.
mkdir -p "$cache"
cat >"$toolchain.new" <<'EOF'
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
cmp -s "$toolchain.new" "$toolchain" && rm "$toolchain.new" || mv "$toolchain.new" "$toolchain"

build_qt() {
    local work=$cache/work-$key
    rm -rf "$work"
    mkdir -p "$work/apt/lists/partial" "$work/apt/archives/partial" "$work/src"
    # A private apt configuration: its own source list and lists folder, so the
    # computer's apt sources stay as they are.
    local codename
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
    local mirror=${VANTREL_DEBIAN_MIRROR:-http://deb.debian.org/debian}
    local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    local signed=""
    [ -f $keyring ] && signed="[signed-by=$keyring] "
    echo "deb-src $signed$mirror $codename main" >"$work/apt/sources.list"
    local apt=(-o Dir::Etc::SourceList="$work/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
               -o Dir::State::Lists="$work/apt/lists" -o Dir::Cache="$work/apt")
    echo "== Qt $qtversion source"
    apt-get "${apt[@]}" update -qq
    (cd "$work/src" && apt-get "${apt[@]}" source -qq "qt6-base=$qtversion" >/dev/null)
    local src
    src=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d | head -n1)
    echo "== Qt $qtversion for Windows (about 20 minutes on two cores, once)"
    mkdir -p "$work/build"
    local start=$SECONDS
    (cd "$work/build" &&
        "$src/configure" -prefix "$qtprefix" -xplatform win32-g++ "${qtoptions[@]}" \
            -qt-host-path /usr -- -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DQT_HOST_PATH_CMAKE_DIR="$hostcmake" \
            -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF >"$work/configure.log" 2>&1 ||
        { tail -n 60 "$work/configure.log" >&2; exit 1; })
    cmake --build "$work/build" --parallel "$jobs" >"$work/build.log" 2>&1 ||
        { tail -n 60 "$work/build.log" >&2; exit 1; }
    cmake --install "$work/build" >/dev/null
    echo "$((SECONDS - start))" >"$qtprefix/.vantrel-build-seconds"
    echo "Qt built in $((SECONDS - start)) s into $qtprefix"
    rm -rf "$work"
}

if [ -f "$qtprefix/lib/cmake/Qt6/qt.toolchain.cmake" ]; then
    echo "== Qt $qtversion for Windows: cached in $qtprefix"
else
    build_qt
fi
[ "${1:-}" = qt ] && exit 0

# Vantrel itself, against that Qt: the window, vantrel-cli and the tests that
# need no network, then the installer and the zip.
out=$root/build/windows
echo "== Vantrel for Windows"
# A build made against another Qt keeps that Qt's paths in its cache.
[ "$(cat "$out/.vantrel-qt" 2>/dev/null)" = "$qtprefix" ] || rm -rf "$out"
mkdir -p "$out" && echo "$qtprefix" >"$out/.vantrel-qt"
cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$qtprefix/lib/cmake/Qt6/qt.toolchain.cmake" \
    -DVANTREL_WERROR=ON -DVANTREL_TESTS="${VANTREL_WINDOWS_TESTS:-ON}" >/dev/null
cmake --build "$out" --parallel "$jobs"
(cd "$out" && cpack -G NSIS >/dev/null && cpack -G ZIP >/dev/null) || {
    tail -n 40 "$out"/_CPack_Packages/win64/NSIS/NSISOutput.log >&2 2>/dev/null
    exit 1
}
ls -l "$out"/Vantrel-*-win64.exe "$out"/Vantrel-*-win64.zip | awk '{print $5, $9}'

# The Wine tests play receivers with the Linux emulator.
cmake -S "$root" -B "$out/host" -DCMAKE_BUILD_TYPE=Release -DVANTREL_TESTS=OFF >/dev/null
cmake --build "$out/host" --parallel "$jobs" --target vantrel-emulator >/dev/null
