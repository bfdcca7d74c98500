#!/usr/bin/env bash
# kronelsvc.exe debug under Wine with its SNTP, RFC 868 and RFC 867 servers on loopback ports:
# chronyd -Q (query only) takes its time from our SNTP server, rdate -p reads our RFC 868
# servers over TCP and UDP, and a plain socket reads the daytime text.
#   ServersAnswer.sh KRONELSVC_EXE BUILD_DIR
# The Wine prefix is the test's own (BUILD_DIR/wineprefix-servers), a copy of the build's prefix.
# Exit code 77: no Wine here (skipped).
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
[ -f "$exe" ] || {
    echo "FAIL: no $exe (build it first)"
    exit 1
}

prefix=$build/wineprefix-servers
work=$build/wineprefix-servers.work
console=$work/console.log
parameters='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Kronel\Parameters'

export WINEPREFIX=$prefix
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all
export KRONEL_CLOCK=simulated
export KRONEL_CLOCK_OFFSET=7
unset KRONEL_REGISTRY KRONEL_CLOCK_PPM KRONEL_TIME_SCALE

# No process of this test ever holds the capability to set the clock; each dies with it.
nocap=(setpriv --pdeathsig KILL --inh-caps=-sys_time --bounding-set=-sys_time --)

started=$SECONDS
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
    if [ "$status" = 0 ] && [ "$passed" = 1 ]; then
        rm -rf "$prefix" "$work"
        echo "ServersAnswer: passed in $((SECONDS - started)) s"
    else
        echo "ServersAnswer: failed after $((SECONDS - started)) s; kept $prefix and $work"
        [ -f "$console" ] && { echo "--- console"; tr -d '\r' <"$console" | tail -60; }
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

ntp_port=$(free_port -u 1)
time_port=$(free_port -t 2)
daytime_port=$(free_port -t 3)
export KRONEL_SERVICES="ntp/udp=$ntp_port,time/tcp=$time_port,time/udp=$time_port,daytime/tcp=$daytime_port,daytime/udp=$daytime_port"
printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' "[$parameters]" \
    '"NTPStratum"=dword:00000006' '"LogtoEvtlog"=dword:00000000' '"LogDebug"=dword:00000001' \
    >"$work/settings.reg"
# Wine's drive Z: is the root of the host's file system.
"${nocap[@]}" "$wine" reg import "Z:${work//\//\\}\\settings.reg" </dev/null >"$work/reg.out" 2>&1 ||
    fail "reg import: $(cat "$work/reg.out")"
ok "settings imported"

"${nocap[@]}" "$wine" "$exe" debug </dev/null >"$console" 2>&1 &
service=$!
deadline=$((SECONDS + 60))
until [ "$(tr -d '\r' <"$console" | grep -c ' started$')" -ge 5 ]; do
    kill -0 "$service" 2>/dev/null || fail "kronelsvc.exe debug ended early"
    [ $SECONDS -lt $deadline ] || fail "the five servers did not start within 60 s"
    sleep 0.2
done
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
