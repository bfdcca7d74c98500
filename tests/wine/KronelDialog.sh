#!/usr/bin/env bash
# kronel.exe under Wine's virtual desktop on Xvfb, driven through its real controls by
# kronel_driver.exe: a correction from chronyd -x on loopback reaches the status display, the
# tray icon and its menu, every server-list operation with the store checked, an export and
# import round trip, the one-shot close with and without the hold-open flag, and Exit while
# the watchdog's alert box is up.
#   KronelDialog.sh KRONEL_EXE DRIVER_EXE BUILD_DIR
# Runs in a network namespace of its own (only loopback), so "Restore Defaults" asks no real
# name server. Exit code 77: no Wine or Xvfb here (skipped).
set -euo pipefail

if [ $# -lt 3 ]; then
    echo "usage: $0 KRONEL_EXE DRIVER_EXE BUILD_DIR" >&2
    exit 2
fi
exe=$(realpath "$1")
driver=$(realpath "$2")
build=$(realpath "$3")
wine=${KRONEL_WINE:-/usr/lib/wine/wine64}
wineserver=${KRONEL_WINESERVER:-/usr/lib/wine/wineserver}

if [ ! -x "$wine" ] || [ ! -x "$wineserver" ] || ! command -v Xvfb >/dev/null; then
    echo "SKIP: no Wine at $wine or no Xvfb (scripts/setup installs wine64 and xvfb)"
    exit 77
fi
if [ -z "${KRONEL_DIALOG_NETNS:-}" ]; then
    flags=-n
    [ "$(id -u)" = 0 ] || flags=-rn
    exec env KRONEL_DIALOG_NETNS=1 unshare $flags -- "$0" "$@"
fi
ip link set lo up

prefix=$build/wineprefix-dialog
work=$build/wineprefix-dialog.work
export WINEPREFIX=$prefix
export WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d"
export WINEDEBUG=-all
export KRONEL_CLOCK=simulated
export KRONEL_CLOCK_OFFSET=-30
unset KRONEL_REGISTRY KRONEL_CLOCK_PPM KRONEL_TIME_SCALE

# No process of this test ever holds the capability to set the clock; each dies with it.
nocap=(setpriv --pdeathsig KILL --inh-caps=-sys_time --bounding-set=-sys_time --)
started=$SECONDS
passed=0
xvfb=
chronyd=
kronel=

ok() { printf 'ok: %s (%d s)\n' "$*" $((SECONDS - started)); }
fail() {
    printf 'FAIL: %s\n' "$*"
    exit 1
}

teardown() {
    local status=$?
    set +e
    [ -n "$kronel" ] && kill "$kronel" 2>/dev/null
    "${nocap[@]}" "$wineserver" -k >/dev/null 2>&1
    timeout 30 "${nocap[@]}" "$wineserver" -w >/dev/null 2>&1
    [ -n "$chronyd" ] && kill "$chronyd" 2>/dev/null
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
    wait 2>/dev/null
    if [ "$status" = 0 ] && [ "$passed" = 1 ]; then
        rm -rf "$prefix" "$work"
        echo "KronelDialog: passed in $((SECONDS - started)) s"
    else
        echo "KronelDialog: failed after $((SECONDS - started)) s; kept $prefix and $work"
        for log in "$work"/kronel*.log; do
            [ -f "$log" ] && { echo "--- $log"; tr -d '\r' <"$log" | tail -20; }
        done
    fi
    exit "$status"
}
trap teardown EXIT
trap 'exit 1' INT TERM HUP

rm -rf "$prefix" "$work"
mkdir -p "$work"
tests=$(dirname "$(realpath "$0")")
"$tests/make-desktop-prefix" "$build" "$prefix" >"$work/prefix.log" 2>&1 ||
    fail "prefix: $(cat "$work/prefix.log")"
ok "prefix with a virtual desktop"

exec 7>"$work/display"
Xvfb -displayfd 7 -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
[ -s "$work/display" ] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=:$(head -1 "$work/display")

# chronyd serves the host's time and never touches the clock (-x).
port=$((20000 + $$ % 20000))
cat >"$work/chrony.conf" <<CONF
port $port
local stratum 3
allow 127.0.0.1
bindaddress 127.0.0.1
cmdport 0
pidfile $work/chronyd.pid
CONF
"${nocap[@]}" /usr/sbin/chronyd -x -d -u root -f "$work/chrony.conf" >"$work/chronyd.log" 2>&1 &
chronyd=$!
daytime=$((port + 1))
export KRONEL_SERVICES="ntp/udp=$port,daytime/udp=$daytime"

# kronel's own servers stay off but the UDP daytime one: chronyd holds the NTP port here.
parameters='HKEY_CURRENT_USER\Software\Kronel'
printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' "[$parameters]" \
    '"SNTPServer"=dword:00000000' '"TCPServer"=dword:00000000' '"UDPServer"=dword:00000000' \
    '"867TCPServer"=dword:00000000' '"867UDPServer"=dword:00000001' \
    '"LogtoEvtlog"=dword:00000000' '"LogDebug"=dword:00000001' '"Frequency"=dword:00000001' '' \
    "[$parameters\\Server Details\\chrony]" '"addr"="127.0.0.1"' '"protocol"=dword:00000000' \
    '"rejectntp"=dword:00000001' '"order"=dword:00000000' >"$work/settings.reg"
"${nocap[@]}" "$wine" reg import "Z:${work//\//\\}\\settings.reg" </dev/null >"$work/reg.out" 2>&1 ||
    fail "reg import: $(cat "$work/reg.out")"

drive() {
    "${nocap[@]}" timeout 120 "$wine" "$driver" "$@" </dev/null 2>>"$work/driver.err" | tr -d '\r'
    return "${PIPESTATUS[0]}"
}

start_kronel() {  # LOG [ARGUMENTS...]
    local log=$1
    shift
    WINEDEBUG=${KRONEL_DIALOG_WINEDEBUG:--all} "${nocap[@]}" "$wine" "$exe" "$@" </dev/null >"$work/$log" 2>&1 &
    kronel=$!
}

start_kronel kronel.log
drive correction chrony 29.5 30.5 || fail "correction"
drive serving "" || fail "a serving line before anything was served"
# A daytime request from an ephemeral port, as a real client sends it.
echo | timeout 10 socat -T 2 - "UDP:127.0.0.1:$daytime" >"$work/daytime.out" 2>"$work/socat.err"
[ -s "$work/daytime.out" ] || fail "no daytime answer: $(cat "$work/socat.err")"
drive serving "Serving: last request " || fail "no serving line after a daytime answer"
drive tray || fail "tray icon"
drive servers "Z:${work//\//\\}\\export.txt" || fail "server list"
drive apply-settings || fail "settings"
drive exit || fail "exit"
wait "$kronel" || true
kronel=

# One-shot mode: the first result ends the program, unless the hold-open flag is given.
"${nocap[@]}" "$wine" reg add 'HKCU\Software\Kronel' /v Often /t REG_DWORD /d 0 /f \
    </dev/null >/dev/null 2>&1 || fail "reg add Often"
"${nocap[@]}" "$wine" reg add 'HKCU\Software\Kronel' /v LastDelta /d None /f \
    </dev/null >/dev/null 2>&1 || fail "reg add LastDelta"
start_kronel kronel-hold.log /hold
drive correction chrony 29.5 30.5 || fail "correction with /hold"
sleep 1
kill -0 "$kronel" 2>/dev/null || fail "kronel.exe /hold closed after its result"
ok "one-shot mode with /hold keeps the window open"
drive exit || fail "exit"
wait "$kronel" || true
kronel=

"${nocap[@]}" "$wine" reg add 'HKCU\Software\Kronel' /v LastDelta /d None /f \
    </dev/null >/dev/null 2>&1 || fail "reg add LastDelta"
start_kronel kronel-oneshot.log
for _ in $(seq 600); do
    kill -0 "$kronel" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$kronel" 2>/dev/null && fail "kronel.exe in one-shot mode still runs after 60 s"
kronel=
delta=$("${nocap[@]}" "$wine" reg query 'HKCU\Software\Kronel' /v LastDelta </dev/null 2>&1 | tr -d '\r')
grep -Eq 'LastDelta.*(29\.9|30\.0)[0-9]* seconds' <<<"$delta" ||
    fail "the one-shot run ended without its result: $delta"
ok "one-shot mode closes after its first result"
# The watchdog's alert box is up (a one-minute time-out, scaled to a second, and no source to
# kick it) when the program is ended: the stop takes the box down instead of waiting for it.
"${nocap[@]}" "$wine" reg delete 'HKCU\Software\Kronel\Server Details' /f \
    </dev/null >/dev/null 2>&1 || fail "reg delete Server Details"
for value in EnableAlerts AlertMsgBox AlertTimeout; do
    "${nocap[@]}" "$wine" reg add 'HKCU\Software\Kronel' /v $value /t REG_DWORD /d 1 /f \
        </dev/null >/dev/null 2>&1 || fail "reg add $value"
done
"${nocap[@]}" "$wine" reg add 'HKCU\Software\Kronel' /v Often /t REG_DWORD /d 1 /f \
    </dev/null >/dev/null 2>&1 || fail "reg add Often"
KRONEL_TIME_SCALE=60 start_kronel kronel-alert.log
drive alert-exit || fail "exit with the alert box up"
wait "$kronel" || true
kronel=
ok "the watchdog's stop takes its alert box down"
passed=1
