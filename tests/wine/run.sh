#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Windows build under Wine, end to end, inside a private network
# namespace: its tests that need no network, vantrel-cli.exe and vantrel.exe
# against Linux emulators at the far ends of two veth pairs, and the
# installer, silently in and out. Run after scripts/windows.sh.
set -euo pipefail
cd "$(dirname "$0")/../.."
export PATH="$PATH:/usr/sbin:/sbin"
VANTREL_VETH="vt0=192.0.2.1/24 vt1=198.51.100.1/24"
. scripts/netns.sh
# Wine sees no interface at all when the default route has no gateway.
ip route replace default via 192.0.2.254 dev vt0

win=build/windows
emulator=build/windows/host/emulator/vantrel-emulator
art=$win/artefacts
rm -rf "$art" && mkdir -p "$art"
export WINEPREFIX=$PWD/$win/wineprefix WINEDEBUG=-all
rm -rf "$WINEPREFIX"
wine=$(command -v wine || echo /usr/lib/wine/wine64)
failures=0
pass() { echo "PASS  $*"; }
fail() {
    echo "FAIL  $*"
    failures=$((failures + 1))
}

# Waits until `file` has a line matching `pattern` (grep -E), at most `seconds`.
wait_for() {
    local file=$1 pattern=$2 seconds=${3:-30} i=0
    until grep -qE "$pattern" "$file" 2>/dev/null; do
        i=$((i + 1))
        [ $i -gt $((seconds * 20)) ] && return 1
        sleep 0.05
    done
}

# An emulator in a namespace of its own at the far end of `link`, answering
# from `address`.
pids=()
far_end() {
    local link=$1 address=$2
    shift 2
    unshare --net -- sh -c "while ! ip link show $link >/dev/null 2>&1; do sleep 0.02; done
ip link set lo up && ip addr add $address dev $link && ip link set $link up &&
ip route add default dev $link
exec \"\$0\" \"\$@\"" "$emulator" "$@" >"$art/emulator-$link.log" 2>&1 &
    pids+=($!)
    local pid=$! self
    self=$(readlink /proc/self/ns/net)
    until [ "$(readlink /proc/$pid/ns/net 2>/dev/null)" != "$self" ]; do sleep 0.02; done
    ip link set "$link" netns "$pid"
    wait_for "$art/emulator-$link.log" ' ready ' || fail "emulator on $link did not start"
}
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    "$wine"server -k 2>/dev/null || wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

# The configuration message a receiver's reply becomes with `port`: opcode 2
# and the port's two bytes, every other byte as the receiver sent it.
expected_config() {
    python3 -c '
import sys
b = bytearray.fromhex(sys.argv[1]); port = int(sys.argv[2])
b[4] = 2; b[53] = port & 0xFF; b[54] = port >> 8
print(b.hex())' "$1" "$2"
}

far_end vt0p 192.0.2.10/24 --device "model=Marlo,serial=WA1,ip=192.0.2.10,port=1024,delay=400"
# WF3 reports an address of another subnet, as a factory-set unit does.
# WT4 is a model that takes no settings: the window shows it read-only.
far_end vt1p 198.51.100.20/24 --device "model=Marlo,serial=WB2,ip=198.51.100.20,port=1024" \
    --device "model=Marlo,serial=WF3,ip=203.0.113.77,port=1024" \
    --device "model=Tessa,serial=WT4,ip=198.51.100.21,port=300"

# A display before Wine's first program: its desktop process, started with
# the wineserver, serves every window after it.
Xvfb :73 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=:73
for _ in $(seq 200); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.05; done

echo "== Wine $("$wine" --version 2>/dev/null)"
# Wine's services answer the interface queries from the namespace they start in.
"$wine" wineboot -i >/dev/null 2>&1 || true

echo "== tests without a network"
# The platform on the command line: Qt under Wine does not see QT_QPA_PLATFORM.
# tst_protocol has no application object to take it.
for t in "$win"/tst_*.exe; do
    platform=(-platform offscreen)
    [ "$(basename "$t")" = tst_protocol.exe ] && platform=()
    if "$wine" "$t" "${platform[@]}" >"$art/$(basename "$t" .exe).log" 2>&1; then
        pass "$(basename "$t")"
    else
        fail "$(basename "$t")"
        tail -n 20 "$art/$(basename "$t" .exe).log"
    fi
done

echo "== vantrel-cli.exe"
"$wine" "$win/vantrel-cli.exe" find --json --timeout 1500 >"$art/find.json" 2>"$art/find.err" || true
if python3 -c '
import json, sys
reach = {r["serial"]: r["reachable"] for r in json.load(open(sys.argv[1]))}
sys.exit(0 if reach == {"WA1": True, "WB2": True, "WF3": False, "WT4": True} else 1)' "$art/find.json"; then
    pass "find --json lists every receiver, the one of another subnet unreachable"
else
    fail "find --json: $(cat "$art/find.json" "$art/find.err")"
fi

# Windows habits: /? asks for help; a reader that closes early ends the run quietly.
if grep -q '^Usage: vantrel-cli COMMAND' <<<"$("$wine" "$win/vantrel-cli.exe" /? 2>&1)" &&
    grep -q '^Usage: vantrel-cli find' <<<"$("$wine" "$win/vantrel-cli.exe" find /? 2>&1)" &&
    grep -q 'Ctrl-C or Ctrl-Break' <<<"$("$wine" "$win/vantrel-cli.exe" watch /? 2>&1)" &&
    ! grep -q 'SIGINT\|CAP_NET_RAW' <<<"$("$wine" "$win/vantrel-cli.exe" --help 2>&1)"; then
    pass "/? shows the help, in Windows' terms"
else
    fail "/?: $("$wine" "$win/vantrel-cli.exe" /? 2>&1 | head -n3)"
fi
{ "$wine" "$win/vantrel-cli.exe" find --timeout 1500 2>"$art/head.err" || true; } | head -n1 >/dev/null
if [ ! -s "$art/head.err" ]; then
    pass "find | head -1 ends quietly"
else
    fail "find | head -1: $(cat "$art/head.err")"
fi

reply=$(grep ' send ' "$art/emulator-vt1p.log" | grep 'serial=WB2' | tail -n1 | sed 's/.* hex=//')
"$wine" "$win/vantrel-cli.exe" set WB2 --port 2000 --timeout 1500 >"$art/set.out" 2>"$art/set.err" &&
    status=0 || status=$?
configs=$(grep ' recv ' "$art/emulator-vt1p.log" | grep -c 'kind=config' || true)
sent=$(grep ' recv ' "$art/emulator-vt1p.log" | grep 'kind=config' | head -n1 | sed 's/.* hex=//' || true)
if [ "$status" = 0 ] && [ "$configs" = 1 ] && [ "$sent" = "$(expected_config "$reply" 2000)" ] &&
    ! grep -q 'kind=config' "$art/emulator-vt0p.log"; then
    pass "set reaches WB2 on the second adapter, byte-exact: $(cat "$art/set.out")"
else
    fail "set: status $status, $configs messages: $(cat "$art/set.out" "$art/set.err")"
fi

echo "== vantrel.exe"
requests_before=$(grep -c 'kind=request' "$art/emulator-vt1p.log" || true)
"$wine" "$win/vantrel.exe" >"$art/window.log" 2>&1 &
pids+=($!)
window=$(timeout 60 xdotool search --sync --name 'Vantrel Ver' | head -n1)
wait_for "$art/emulator-vt1p.log" "kind=request" 30
if [ "$(grep -c 'kind=request' "$art/emulator-vt1p.log")" -gt "$requests_before" ]; then
    pass "the window's request reaches the receiver on the second adapter"
else
    fail "no request from the window"
fi
# The list is full when the search is over: the reply port is released.
port_bound() { grep -q ':BC42 ' /proc/net/udp /proc/net/udp6 2>/dev/null; }
for _ in $(seq 600); do port_bound && break; sleep 0.05; done
for _ in $(seq 600); do port_bound || break; sleep 0.05; done
import -window root "$art/window.png"
echo "screenshot: $art/window.png"

# What a user sees: dark glyphs in a box of a window (its own coordinates).
dark_pixels() { # image x y w h
    convert "$1" -crop "$4x$5+$2+$3" +repage -colorspace Gray -threshold 50% \
        -format '%[fx:int(w*h*(1-mean)+0.5)]' info:
}
# Rows in the order of the replies: WB2, WF3, WT4, then WA1 (it waits 400
# ms). WT4's read-only view, opened from the keyboard: its text is there.
xdotool mousemove --window "$window" "${VANTREL_ROW_X:-60}" "${VANTREL_ROW_Y:-80}" click 1
xdotool key Down Down Return
info=$(timeout 20 xdotool search --sync --onlyvisible --name 'Device Info View' | head -n1 || true)
shown=0
for _ in $(seq 100); do
    [ -n "$info" ] && import -window "$info" "$art/info-values.png" 2>/dev/null &&
        shown=$(dark_pixels "$art/info-values.png" 12 22 317 67) && [ "$shown" -gt 40 ] && break
    sleep 0.05
done
if [ "$shown" -gt 40 ]; then
    pass "the information view's text shows ($shown dark pixels, info-values.png)"
else
    fail "the information view shows no text (window '${info:-none}', $shown dark pixels)"
fi
# Closed before the next clicks: a modal view would swallow them.
if [ -n "$info" ]; then
    xdotool key Return
    for _ in $(seq 200); do
        xdotool search --onlyvisible --name 'Device Info View' >/dev/null 2>&1 || break
        sleep 0.05
    done
fi

# WB2 is row 0. Double-click it, type a port, OK.
reply=$(grep ' send ' "$art/emulator-vt1p.log" | grep 'serial=WB2' | tail -n1 | sed 's/.* hex=//')
xdotool mousemove --window "$window" "${VANTREL_ROW_X:-60}" "${VANTREL_ROW_Y:-80}" click --repeat 2 --delay 80 1
dialog=$(timeout 30 xdotool search --sync --onlyvisible --name 'Device Setup' | head -n1 || true)
if [ -z "$dialog" ]; then
    fail "no setup dialog after a double-click on row 0"
else
    # Each field of the form shows its value: dark glyphs inside its frame.
    for _ in $(seq 100); do
        import -window "$dialog" "$art/dialog-values.png" 2>/dev/null &&
            [ "$(dark_pixels "$art/dialog-values.png" 153 163 65 14)" -gt 5 ] && break
        sleep 0.05
    done
    blank=""
    for field in "address 163 123" "port 153 163" "mask 163 213" "gateway 163 273" \
        "udp-address 143 363" "udp-port 413 363"; do
        set -- $field
        width=25
        [ "${1#*port}" != "$1" ] && width=65
        [ "$(dark_pixels "$art/dialog-values.png" "$2" "$3" "$width" 14)" -gt 5 ] || blank="$blank $1"
    done
    if [ -z "$blank" ]; then
        pass "the setup dialog's fields show their values (dialog-values.png)"
    else
        fail "fields drawn blank:$blank (see $art/dialog-values.png)"
    fi
    xdotool mousemove --window "$dialog" "${VANTREL_PORT_X:-185}" "${VANTREL_PORT_Y:-170}" click --repeat 2 --delay 80 1
    # Keys through XTEST to the focused field: Wine ignores sent events.
    xdotool key ctrl+a BackSpace
    xdotool type 2048
    import -window root "$art/dialog.png"
    xdotool mousemove --window "$dialog" "${VANTREL_OK_X:-312}" "${VANTREL_OK_Y:-515}" click 1
    if wait_for "$art/emulator-vt1p.log" 'kind=config.*hex='"$(expected_config "$reply" 2048)"'$' 20 &&
        [ "$(grep -c 'kind=config' "$art/emulator-vt1p.log")" = 2 ] && # set's and this one
        ! grep -q 'kind=config' "$art/emulator-vt0p.log"; then
        pass "the window's edit reaches WB2 on the second adapter, byte-exact"
    else
        fail "the window's configuration message: $(grep kind=config "$art"/emulator-*.log)"
    fi
fi

echo "== a fix as doctor prints it"
# PowerShell's words for WF3, out of its subnet: the line, split as PowerShell
# splits single-quoted words, runs vantrel-cli by the full path it names.
"$wine" "$win/vantrel-cli.exe" doctor --timeout 1500 >"$art/doctor.txt" 2>&1 || true
printed=$(grep -m1 "run in PowerShell: & .* set .*'WF3'" "$art/doctor.txt" | tr -d '\r' |
    sed 's/^ *run in PowerShell: //')
configs_before=$(grep -c 'kind=config' "$art/emulator-vt1p.log" || true)
mapfile -t words < <(python3 -c 'import shlex, sys; print("\n".join(shlex.split(sys.argv[1])))' "$printed")
if [ "${words[0]:-}" = "&" ] &&
    "$wine" "$(winepath -u "${words[1]}" 2>/dev/null)" "${words[@]:2}" >"$art/fix.out" 2>&1 &&
    [ "$(grep 'kind=config' "$art/emulator-vt1p.log" | tail -n +$((configs_before + 1)) |
        grep -c 'result=applied')" = 1 ]; then
    pass "doctor's printed line runs as printed: $printed"
else
    fail "doctor's line '$printed': $(cat "$art/fix.out" 2>/dev/null)"
fi

echo "== installer"
installer=$(ls "$win"/Vantrel-*-win64.exe | head -n1)
dest='C:\Program Files\Vantrel'
unix_dest="$WINEPREFIX/drive_c/Program Files/Vantrel"
# Wine's netsh keeps no rules: a stand-in records what the installer runs.
x86_64-w64-mingw32-gcc -O2 -o "$art/netsh.exe" tests/wine/netsh.c
cp "$art/netsh.exe" "$WINEPREFIX/drive_c/windows/system32/netsh.exe"
export WINEDLLOVERRIDES="netsh.exe=n"
"$wine" "$installer" /S >/dev/null 2>&1 || true
if [ -f "$unix_dest/bin/vantrel.exe" ] && [ -f "$unix_dest/bin/vantrel-cli.exe" ] &&
    [ -f "$unix_dest/Uninstall.exe" ]; then
    pass "installs into $dest"
else
    fail "install: $(find "$WINEPREFIX/drive_c/Program Files" -maxdepth 3 | head)"
fi
# What a user meets: shortcuts, the licence and a README, numbers where
# Apps & features reads numbers, vantrel-cli on the user's PATH.
shortcuts=$(cd "$WINEPREFIX/drive_c" && find . -name '*.lnk' | tr '\n' '|')
case "$shortcuts" in
*"Desktop/Vantrel.lnk|"*) ;;
*) shortcuts="no desktop icon: $shortcuts" ;;
esac
case "$shortcuts" in
*"Programs/Vantrel/Vantrel command line.lnk|"*) pass "desktop and Start-menu shortcuts: $shortcuts" ;;
*) fail "shortcuts: $shortcuts" ;;
esac
# The listing is read whole: grep -q ending a pipe early would fail it under pipefail.
zipped=$(unzip -l "$(ls "$win"/Vantrel-*-win64.zip | head -n1)")
if [ -f "$unix_dest/LICENSE.txt" ] && [ -f "$unix_dest/README.txt" ] &&
    grep -q 'LICENSE.txt' <<<"$zipped" && grep -q 'README.txt' <<<"$zipped"; then
    pass "LICENSE.txt and README.txt in the installer and the zip"
else
    fail "LICENSE.txt or README.txt missing"
fi
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Vantrel'
"$wine" reg query "$uninstall_key" >"$art/uninstall-key.txt" 2>&1 || true
if grep -qE 'NoModify +REG_DWORD +0x1' "$art/uninstall-key.txt" &&
    grep -qE 'NoRepair +REG_DWORD +0x1' "$art/uninstall-key.txt" &&
    grep -qE 'EstimatedSize +REG_DWORD +0x[0-9a-f]*[1-9a-f]' "$art/uninstall-key.txt"; then
    pass "NoModify, NoRepair and EstimatedSize as DWORDs"
else
    fail "uninstall entry: $(tr -d '\r' <"$art/uninstall-key.txt")"
fi
if "$wine" reg query 'HKCU\Environment' /v Path 2>/dev/null | grep -qi 'Vantrel\\bin'; then
    pass "vantrel-cli on the current user's PATH by default"
else
    fail "PATH: $("$wine" reg query 'HKCU\Environment' /v Path 2>&1 | tr -d '\r')"
fi
# The installer's version resource, as its Properties show it: the same
# file version as the programs'.
version_strings="|$(strings -el "$installer" | tr '\n' '|')"
file_version=$(sed -n 's/.*"FileVersion", "\(.*\)".*/\1/p' "$win/app/vantrel-version.rc")
lacking=""
for want in "|ProductName|Vantrel|" "|CompanyName|Quorvane|" "|FileVersion|$file_version|" \
    "|LegalCopyright|$(grep -m1 '^Copyright' LICENSE)|"; do
    case "$version_strings" in
    *"$want"*) ;;
    *) lacking="$lacking $want" ;;
    esac
done
if [ -z "$lacking" ] && [ -n "$file_version" ]; then
    pass "the installer's version resource: product, company, version $file_version, copyright"
else
    fail "the installer's version resource lacks$lacking"
fi
"$wine" "$unix_dest/Uninstall.exe" /S >/dev/null 2>&1 || true
# The uninstaller copies itself away and runs from there: wait for its work.
for _ in $(seq 200); do [ -e "$unix_dest" ] || break; sleep 0.05; done
if [ ! -e "$unix_dest" ] && ! "$wine" reg query 'HKLM\Software\Quorvane' >/dev/null 2>&1 &&
    [ -z "$(cd "$WINEPREFIX/drive_c" && find . -name '*.lnk' -path '*Vantrel*')" ]; then
    pass "uninstalls, leaving nothing behind (files, shortcuts, HKLM\Software\Quorvane)"
else
    fail "left behind: $(find "$unix_dest")"
fi
netsh_log="$WINEPREFIX/drive_c/netsh.log"
cp "$netsh_log" "$art/" 2>/dev/null || true
expected_rules="add rule name=\"vantrel replies (UDP 48322)\" dir=in action=allow protocol=UDP localport=48322 program=\"$dest\\bin\\vantrel.exe\" enable=yes
add rule name=\"vantrel-cli replies (UDP 48322)\" dir=in action=allow protocol=UDP localport=48322 program=\"$dest\\bin\\vantrel-cli.exe\" enable=yes
delete rule name=\"vantrel replies (UDP 48322)\"
delete rule name=\"vantrel-cli replies (UDP 48322)\""
if [ "$(sed -e 's/^.*advfirewall firewall //' -e 's/\r$//' "$netsh_log" 2>/dev/null)" = "$expected_rules" ]; then
    pass "firewall rules for UDP 48322 added on install, removed on uninstall"
else
    fail "firewall commands: $(cat "$netsh_log" 2>/dev/null)"
fi

echo "== signing"
# A throwaway certificate: the packages made with it carry its signature, on
# the programs inside and on the installer.
sign=$PWD/$art/signing
mkdir -p "$sign"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$sign/key.pem" -out "$sign/cert.pem" \
    -days 2 -subj "/CN=Vantrel test signing" >/dev/null 2>&1
openssl pkcs12 -export -out "$sign/cert.pfx" -inkey "$sign/key.pem" -in "$sign/cert.pem" \
    -passout pass:throwaway >/dev/null 2>&1
(cd "$win" && VANTREL_SIGN_PFX="$sign/cert.pfx" VANTREL_SIGN_PASSWORD=throwaway \
    cpack -G "NSIS;ZIP" -B "$sign" >"$sign/cpack.log" 2>&1) || true
unzip -q -o -d "$sign/zip" "$(ls "$sign"/Vantrel-*-win64.zip | head -n1)" 2>/dev/null || true
verified=0
for file in "$(ls "$sign"/Vantrel-*-win64.exe | head -n1)" "$(find "$sign/zip" -name vantrel-cli.exe | head -n1)" \
    "$(find "$sign/zip" -name vantrel.exe | head -n1)"; do
    [ -f "$file" ] && osslsigncode verify -in "$file" -CAfile "$sign/cert.pem" 2>&1 |
        grep -q 'Signature verification: ok' && verified=$((verified + 1))
done
if [ $verified = 3 ]; then
    pass "signed with a given certificate: the installer and both programs verify"
else
    fail "signing: $verified of 3 verify; $(tail -n 5 "$sign/cpack.log")"
fi

[ $failures -eq 0 ] && echo "== Wine tests passed" && exit 0
echo "== $failures Wine tests failed"
exit 1
