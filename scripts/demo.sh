#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Shows Vantrel at work without hardware: the program and the receiver
# emulator with five receivers, together in a private network namespace.
# Without a display it runs on a virtual one and saves a screenshot, demo.png.
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH="$PATH:/usr/sbin:/sbin"

if [ "${VANTREL_IN_NETNS:-}" != 1 ]; then
    scripts/deps.sh demo
    scripts/build.sh
fi
VANTREL_VETH="vdemo0=192.0.2.1/24"
. scripts/netns.sh

build/release/emulator/vantrel-emulator \
    --device model=Marlo,serial=MA1001,ip=192.0.2.10,port=1024,options=0x16,fw=107 \
    --device model=Pentra,serial=PE2002,ip=192.0.2.11,port=50000,inuse=1 \
    --device model=Halvex-R,serial=HX3003,ip=192.0.2.12,port=1024,dhcp=1 \
    --device "model=Tessa,serial=TS4004,ip=192.0.2.13,port=5000,connection=USB 2.0 bridge" \
    --device model=Orbis,serial=OB5005,ip=192.0.2.14,port=6000,delay=400 \
    >build/demo-emulator.log &
emulator=$!
trap 'kill $emulator 2>/dev/null' EXIT
sleep 0.5

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    build/release/app/vantrel
else
    xvfb-run -a -s "-screen 0 640x480x24" sh -c \
        'build/release/app/vantrel & sleep 4; import -window root demo.png; kill $!'
    echo "No display: the window was shown on a virtual one; see demo.png"
fi
