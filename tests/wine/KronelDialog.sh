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

tests=$(dirname "$(realpath "$0")")
. "$tests/lib.sh"
need_args 3 $# "$0 KRONEL_EXE DRIVER_EXE BUILD_DIR"
exe=$(realpath "$1")
driver=$(realpath "$2")

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

wine_prefix KronelDialog "$(realpath "$3")" dialog
export WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d"
simulated_clock -30
unset KRONEL_TIME_SCALE

xvfb=
chronyd=

ok() { printf 'ok: %s (%d s)\n' "$*" $((SECONDS - started)); }
after_session_end() {
    [ -n "$chronyd" ] && kill "$chronyd" 2>/dev/null
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
    wait 2>/dev/null
}
show_failure() {
    for log in "$work"/kronel*.log; do
        [ -f "$log" ] && { echo "--- $log"; tr -d '\r' <"$log" | tail -20; }
    done
}

rm -rf "$prefix" "$work"
mkdir -p "$work"
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
port=$(free_port -u 0)
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
reg_import "$work/settings.reg"

drive() {
    "${nocap[@]}" timeout 120 "$wine" "$driver" "$@" </dev/null 2>>"$work/driver.err" | tr -d '\r'
    return "${PIPESTATUS[0]}"
}

start_kronel() {  # LOG [ARGUMENTS...]
    local log=$1
    shift
    WINEDEBUG=${KRONEL_DIALOG_WINEDEBUG:--all} "${nocap[@]}" "$wine" "$exe" "$@" </dev/null >"$work/$log" 2>&1 &
    wine_pid=$!
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
wait "$wine_pid" || true

# One-shot mode: the first result ends the program, unless the hold-open flag is given.
wine_run reg add 'HKCU\Software\Kronel' /v Often /t REG_DWORD /d 0 /f >/dev/null || fail "reg add Often"
wine_run reg add 'HKCU\Software\Kronel' /v LastDelta /d None /f >/dev/null || fail "reg add LastDelta"
start_kronel kronel-hold.log /hold
drive correction chrony 29.5 30.5 || fail "correction with /hold"
sleep 1
kill -0 "$wine_pid" 2>/dev/null || fail "kronel.exe /hold closed after its result"
ok "one-shot mode with /hold keeps the window open"
drive exit || fail "exit"
wait "$wine_pid" || true

wine_run reg add 'HKCU\Software\Kronel' /v LastDelta /d None /f >/dev/null || fail "reg add LastDelta"
start_kronel kronel-oneshot.log
for _ in $(seq 600); do
    kill -0 "$wine_pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$wine_pid" 2>/dev/null && fail "kronel.exe in one-shot mode still runs after 60 s"
wine_pid=
delta=$(wine_run reg query 'HKCU\Software\Kronel' /v LastDelta 2>&1)
grep -Eq 'LastDelta.*(29\.9|30\.0)[0-9]* seconds' <<<"$delta" ||
    fail "the one-shot run ended without its result: $delta"
ok "one-shot mode closes after its first result"
# The watchdog's alert box is up (a one-minute time-out, scaled to a second, and no source to
# kick it) when the program is ended: the stop takes the box down instead of waiting for it.
wine_run reg delete 'HKCU\Software\Kronel\Server Details' /f >/dev/null || fail "reg delete Server Details"
for value in EnableAlerts AlertMsgBox AlertTimeout; do
    wine_run reg add 'HKCU\Software\Kronel' /v $value /t REG_DWORD /d 1 /f >/dev/null || fail "reg add $value"
done
wine_run reg add 'HKCU\Software\Kronel' /v Often /t REG_DWORD /d 1 /f >/dev/null || fail "reg add Often"
KRONEL_TIME_SCALE=60 start_kronel kronel-alert.log
drive alert-exit || fail "exit with the alert box up"
wait "$wine_pid" || true
wine_pid=
ok "the watchdog's stop takes its alert box down"
passed=1
