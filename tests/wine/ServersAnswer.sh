#!/usr/bin/env bash
# kronelsvc.exe debug under Wine with its SNTP, RFC 868 and RFC 867 servers on loopback ports:
# chronyd -Q (query only) takes its time from our SNTP server, rdate -p reads our RFC 868
# servers over TCP and UDP, and a plain socket reads the daytime text.
#   ServersAnswer.sh KRONELSVC_EXE BUILD_DIR
# The Wine prefix is the test's own (BUILD_DIR/wineprefix-servers), a copy of the build's prefix.
# Exit code 77: no Wine here (skipped).
set -euo pipefail

. "$(dirname "$(realpath "$0")")/lib.sh"
need_args 2 $# "$0 KRONELSVC_EXE BUILD_DIR"
exe=$(realpath "$1")
python=/usr/bin/python3
need_wine
need_file "$exe" "build it first"

wine_prefix ServersAnswer "$(realpath "$2")" servers
console=$work/console.log
parameters='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Kronel\Parameters'
simulated_clock 7
unset KRONEL_TIME_SCALE

show_failure() {
    [ -f "$console" ] && { echo "--- console"; tr -d '\r' <"$console" | tail -60; }
}

fresh_prefix
ok "prefix copied ($((SECONDS - started)) s)"

ntp_port=$(free_port -u 1)
time_port=$(free_port -t 2)
daytime_port=$(free_port -t 3)
export KRONEL_SERVICES="ntp/udp=$ntp_port,time/tcp=$time_port,time/udp=$time_port,daytime/tcp=$daytime_port,daytime/udp=$daytime_port"
printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' "[$parameters]" \
    '"NTPStratum"=dword:00000006' '"LogtoEvtlog"=dword:00000000' '"LogDebug"=dword:00000001' \
    >"$work/settings.reg"
reg_import "$work/settings.reg"
ok "settings imported"

"${nocap[@]}" "$wine" "$exe" debug </dev/null >"$console" 2>&1 &
wine_pid=$!
five_started() { [ "$(tr -d '\r' <"$console" | grep -c ' started$')" -ge 5 ]; }
wait_until --alive "$wine_pid" "kronelsvc.exe debug" 60 five_started ||
    fail "the five servers did not start within 60 s"
ok "servers started"

# chronyd asks our SNTP server and prints how far its own clock is from ours; it never sets one.
cat >"$work/chrony.conf" <<CONF
server 127.0.0.1 port $ntp_port iburst maxsamples 1
cmdport 0
pidfile $work/chronyd.pid
CONF
chrony=$(timeout 60 "${nocap[@]}" /usr/sbin/chronyd -Q -d -u root -f "$work/chrony.conf" -t 20 2>&1) ||
    fail "chronyd -Q: $chrony"
wrong=$(sed -n 's/.*System clock wrong by \([-0-9.]*\) seconds.*/\1/p' <<<"$chrony")
awk -v d="$wrong" 'BEGIN { exit !(d > 6.9 && d < 7.1) }' || fail "chronyd: $chrony"
ok "chronyd finds its clock $wrong s from ours"

expected=$(date -u -d @$(($(date -u +%s) + 7)) '+%a %b %e %H:%M')
for transport in "" "-u"; do
    out=$(timeout 20 "${nocap[@]}" rdate -p $transport -o "$time_port" 127.0.0.1 2>&1) ||
        fail "rdate -p $transport: $out"
    grep -q "${expected:0:10}" <<<"$out" || fail "rdate -p $transport: $out, expected $expected"
    ok "rdate -p $transport: $out"
done

daytime=$("$python" - "$daytime_port" <<'PY'
import socket, sys
port = int(sys.argv[1])
s = socket.create_connection(("127.0.0.1", port), 5)
text = b""
while True:
    part = s.recv(256)
    if not part:
        break
    text += part
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
u.settimeout(5)
u.sendto(b"", ("127.0.0.1", port))
print(repr(text.decode()), repr(u.recv(256).decode()))
PY
) || fail "daytime: $daytime"
grep -q "^'${expected:0:10}.* '" <<<"$daytime" || fail "daytime: $daytime, expected $expected"
ok "daytime over TCP and UDP: $daytime"
passed=1
