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

. "$(dirname "$(realpath "$0")")/lib.sh"
need_args 2 $# "$0 KRONELSVC_EXE BUILD_DIR"
exe=$(realpath "$1")
python=/usr/bin/python3
need_wine
if ! "$python" -c 'import aiosmtpd' 2>/dev/null; then
    echo "SKIP: no aiosmtpd for $python (scripts/setup installs python3-aiosmtpd)"
    exit 77
fi
need_file "$exe" "build it first"

wine_prefix AlertMail "$(realpath "$2")" alert
maildir=$work/maildir
console=$work/console.log
parameters='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Kronel\Parameters'
simulated_clock
export KRONEL_TIME_SCALE=100

smtpd=
after_session_end() {
    if [ -n "$smtpd" ]; then
        kill "$smtpd" 2>/dev/null
        wait "$smtpd" 2>/dev/null
    fi
}
show_failure() {
    [ -f "$console" ] && { echo "--- console"; tr -d '\r' <"$console" | tail -60; }
    [ -f "$work/smtpd.log" ] && { echo "--- aiosmtpd"; tail -20 "$work/smtpd.log"; }
}

fresh_prefix
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
reg_import "$work/settings.reg"
ok "settings imported"

"${nocap[@]}" "$wine" "$exe" debug </dev/null >"$console" 2>&1 &
wine_pid=$!

mail_arrived() { [ -n "$(ls -A "$maildir/new" 2>/dev/null)" ]; }
wait_until --alive "$wine_pid" "kronelsvc.exe debug" 90 mail_arrived || fail "no alert mail within 90 s"
mail=$(cat "$maildir"/new/*)
grep -qx 'Subject: Time Alert' <<<"$mail" || fail "no Time Alert subject: $mail"
grep -qx 'X-RcptTo: ops@example.org' <<<"$mail" || fail "wrong recipient: $mail"
grep -Eqx 'X-MailFrom: Kronel@.+' <<<"$mail" || fail "sender without host name: $mail"
grep -qx 'Time synchronisation lost' <<<"$mail" || fail "wrong body: $mail"
ok "mail received: $(grep -x 'X-MailFrom: .*' <<<"$mail"), subject Time Alert, body as sent"

# The dialogue ends once the server has said goodbye.
wait_until 30 has_line "$console" 'Debug: Watchdog Server said >221' || fail "no reply to QUIT in the console"
lines=$(tr -d '\r' <"$console")
grep -qx 'Error: Watchdog Lost time synchronisation' <<<"$lines" || fail "no loss line"
grep -qx 'Error: Watchdog Time synchronisation lost' <<<"$lines" || fail "no box line"
if grep -q '^Warn : Watchdog' <<<"$lines"; then
    fail "the mail dialogue warned: $(grep '^Warn : Watchdog' <<<"$lines")"
fi
ok "console: the loss and the box text as Error lines, the dialogue without a warning"
passed=1
