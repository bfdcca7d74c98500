#!/usr/bin/env bash
# kronelsvc.exe debug under Wine with alerts on: its only source never answers, so the
# watchdog raises the alert; the box text becomes an Error line of the console and the mail
# reaches aiosmtpd, an independent mail server on loopback.
#   AlertMail.sh KRONELSVC_EXE BUILD_DIR
# The Wine prefix is the test's own (BUILD_DIR/wineprefix-alert), a copy of the build's prefix.
# Exit code 77: no Wine or no aiosmtpd here (skipped).
#
# The debug run takes its environment from this script: the simulated clock, the time scale,
# and the ports of the SNTP source and of the mail server.
set -euo pipefail

if [ $# -lt 2 ]; then
    echo "usage: $0 KRONELSVC_EXE BUILD_DIR" >&2
    exit 2
fi
exe=$(realpath "$1")
build=$(realpath "$2")
wine=${KRONEL_WINE:-/usr/lib/wine/wine64}
wineserver=${KRONEL_WINESERVER:-/usr/lib/wine/wineserver}
python=/usr/bin/python3

if [ ! -x "$wine" ] || [ ! -x "$wineserver" ]; then
    echo "SKIP: no Wine at $wine (scripts/setup installs wine64)"
    exit 77
fi
if ! "$python" -c 'import aiosmtpd' 2>/dev/null; then
    echo "SKIP: no aiosmtpd for $python (scripts/setup installs python3-aiosmtpd)"
    exit 77
fi
[ -f "$exe" ] || {
    echo "FAIL: no $exe (build it first)"
    exit 1
}

prefix=$build/wineprefix-alert
work=$build/wineprefix-alert.work
maildir=$work/maildir
console=$work/console.log
parameters='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Kronel\Parameters'

export WINEPREFIX=$prefix
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all
export KRONEL_CLOCK=simulated
export KRONEL_TIME_SCALE=100
unset KRONEL_REGISTRY KRONEL_CLOCK_OFFSET KRONEL_CLOCK_PPM

# No process of this test ever holds the capability to set the clock; each dies with it.
nocap=(setpriv --pdeathsig KILL --inh-caps=-sys_time --bounding-set=-sys_time --)

started=$SECONDS
smtpd=
service=
passed=0

ok() { printf 'ok: %s\n' "$*"; }
fail() {
    printf 'FAIL: %s\n' "$*"
    exit 1
}

# A loopback port nothing listens on, for the protocol given ("-t" or "-u").
free_port() {
    local port=$((20000 + ($$ + $2) % 20000))
    if command -v ss >/dev/null; then
        while [ -n "$(ss -Hln "$1" "sport = :$port" 2>/dev/null)" ]; do
            port=$((port + 1))
        done
    fi
    echo "$port"
}

end_session() {
    "${nocap[@]}" "$wineserver" -k >/dev/null 2>&1 || true
    timeout 30 "${nocap[@]}" "$wineserver" -w >/dev/null 2>&1 || true
}

teardown() {
    local status=$?
    set +e
    if [ -n "$service" ]; then
        kill "$service" 2>/dev/null
    fi
    end_session
    if [ -n "$service" ]; then
        wait "$service" 2>/dev/null
    fi
    if [ -n "$smtpd" ]; then
        kill "$smtpd" 2>/dev/null
        wait "$smtpd" 2>/dev/null
    fi
    if [ "$status" = 0 ] && [ "$passed" = 1 ]; then
        rm -rf "$prefix" "$work"
        echo "AlertMail: passed in $((SECONDS - started)) s"
    else
        echo "AlertMail: failed after $((SECONDS - started)) s; kept $prefix and $work"
        [ -f "$console" ] && { echo "--- console"; tr -d '\r' <"$console" | tail -60; }
        [ -f "$work/smtpd.log" ] && { echo "--- aiosmtpd"; tail -20 "$work/smtpd.log"; }
    fi
    exit "$status"
}
trap teardown EXIT
trap 'exit 1' INT TERM HUP

# The build's prefix, made as cmake/wine-run makes it when the build's tests have not made it
# yet, then copied.
if [ -d "$prefix" ]; then
    end_session
fi
rm -rf "$prefix" "$work"
mkdir -p "$work"
build_prefix=$build/wineprefix
(
    flock 9
    if [ ! -f "$build_prefix/system.reg" ]; then
        WINEPREFIX=$build_prefix "${nocap[@]}" "$wine" wineboot.exe --init </dev/null >/dev/null 2>&1 || true
        WINEPREFIX=$build_prefix timeout 120 "${nocap[@]}" "$wineserver" -w </dev/null >/dev/null 2>&1 || true
    fi
    cp -a "$build_prefix" "$prefix" 2>>"$work/copy.log" || true
) 9>"$build_prefix.lock"
[ -f "$prefix/system.reg" ] || fail "the copy of $build_prefix lacks system.reg"
ok "prefix copied ($((SECONDS - started)) s)"

# The mail server keeps each message in a maildir, with the envelope as X- headers.
smtp_port=$(free_port -t 0)
"${nocap[@]}" "$python" -m aiosmtpd -n -l "127.0.0.1:$smtp_port" -c aiosmtpd.handlers.Mailbox \
    "$maildir" </dev/null >"$work/smtpd.log" 2>&1 &
smtpd=$!
for _ in $(seq 1 100); do
    if "$python" -c 'import socket, sys; socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1)' \
        "$smtp_port" 2>/dev/null; then
        break
    fi
    sleep 0.1
done
kill -0 "$smtpd" 2>/dev/null || fail "aiosmtpd did not start"
ok "aiosmtpd on port $smtp_port"

# An SNTP source where nothing answers; servers off; alerts on, a minute of time-out (0.6 s
# at this time scale), box and mail.
ntp_port=$(free_port -u 1)
export KRONEL_SERVICES="ntp/udp=$ntp_port,smtp/tcp=$smtp_port"
printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' "[$parameters]" \
    '"TCPServer"=dword:00000000' '"UDPServer"=dword:00000000' \
    '"867TCPServer"=dword:00000000' '"867UDPServer"=dword:00000000' \
    '"SNTPServer"=dword:00000000' '"LogtoEvtlog"=dword:00000000' '"LogDebug"=dword:00000001' \
    '"EnableAlerts"=dword:00000001' '"AlertTimeout"=dword:00000001' \
    '"AlertMsgBox"=dword:00000001' '"AlertEmail"=dword:00000001' \
    '"SMTPServer"="127.0.0.1"' '"SMTPToAddr"="ops@example.org"' '' \
    "[$parameters\\Server Details\\only]" '"addr"="127.0.0.1"' '"protocol"=dword:00000000' \
    '"order"=dword:00000000' >"$work/settings.reg"
# Wine's drive Z: is the root of the host's file system.
"${nocap[@]}" "$wine" reg import "Z:${work//\//\\}\\settings.reg" </dev/null >"$work/reg.out" 2>&1 ||
    fail "reg import: $(cat "$work/reg.out")"
ok "settings imported"

"${nocap[@]}" "$wine" "$exe" debug </dev/null >"$console" 2>&1 &
service=$!

deadline=$((SECONDS + 90))
until [ -n "$(ls -A "$maildir/new" 2>/dev/null)" ]; do
    kill -0 "$service" 2>/dev/null || fail "kronelsvc.exe debug ended early"
    [ $SECONDS -lt $deadline ] || fail "no alert mail within 90 s"
    sleep 0.2
done
mail=$(cat "$maildir"/new/*)
grep -qx 'Subject: Time Alert' <<<"$mail" || fail "no Time Alert subject: $mail"
grep -qx 'X-RcptTo: ops@example.org' <<<"$mail" || fail "wrong recipient: $mail"
grep -Eqx 'X-MailFrom: Kronel@.+' <<<"$mail" || fail "sender without host name: $mail"
grep -qx 'Time synchronisation lost' <<<"$mail" || fail "wrong body: $mail"
ok "mail received: $(grep -x 'X-MailFrom: .*' <<<"$mail"), subject Time Alert, body as sent"

# The dialogue ends once the server has said goodbye.
deadline=$((SECONDS + 30))
until tr -d '\r' <"$console" | grep -q 'Debug: Watchdog Server said >221'; do
    [ $SECONDS -lt $deadline ] || fail "no reply to QUIT in the console"
    sleep 0.2
done
lines=$(tr -d '\r' <"$console")
grep -qx 'Error: Watchdog Lost time synchronisation' <<<"$lines" || fail "no loss line"
grep -qx 'Error: Watchdog Time synchronisation lost' <<<"$lines" || fail "no box line"
if grep -q '^Warn : Watchdog' <<<"$lines"; then
    fail "the mail dialogue warned: $(grep '^Warn : Watchdog' <<<"$lines")"
fi
ok "console: the loss and the box text as Error lines, the dialogue without a warning"
passed=1
