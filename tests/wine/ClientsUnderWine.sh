#!/usr/bin/env bash
# kronelsvc.exe under Wine, one server entry of each network time protocol at a time, against
# the independent peers that tests/support/with-peers starts on loopback (xinetd's time and
# daytime services, python3's http.server) and the kernel's ICMP timestamp replies. Each run
# must set its simulated clock from the peer, once behind and once ahead.
#   with-peers ClientsUnderWine.sh KRONELSVC_EXE BUILD_DIR
# The Wine prefix is the test's own (BUILD_DIR/wineprefix-clients), a copy of the build's, since
# the service reads its settings from the registry's HKEY_LOCAL_MACHINE. Exit code 77: no Wine.
set -euo pipefail

if [ $# -lt 2 ]; then
    echo "usage: with-peers $0 KRONELSVC_EXE BUILD_DIR" >&2
    exit 2
fi
exe=$(realpath "$1")
build=$(realpath "$2")
wine=${KRONEL_WINE:-/usr/lib/wine/wine64}
wineserver=${KRONEL_WINESERVER:-/usr/lib/wine/wineserver}
if [ ! -x "$wine" ] || [ ! -x "$wineserver" ]; then
    echo "SKIP: no Wine at $wine (scripts/setup installs wine64)"
    exit 77
fi
if [ -z "${KRONEL_TEST_PEERS:-}" ]; then
    echo "FAIL: no peers: run through tests/support/with-peers"
    exit 1
fi

prefix=$build/wineprefix-clients
work=$build/wineprefix-clients.work
export WINEPREFIX=$prefix
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all
# Wine hands clock changes to the host: no process of this test may hold the capability.
nocap=(setpriv --pdeathsig KILL --inh-caps=-sys_time --bounding-set=-sys_time --)
started=$SECONDS
passed=0
service=

fail() {
    printf 'FAIL: %s\n' "$*"
    exit 1
}
teardown() {
    local status=$?
    set +e
    if [ -n "$service" ]; then
        kill "$service" 2>/dev/null
        wait "$service" 2>/dev/null
    fi
    "${nocap[@]}" "$wineserver" -k >/dev/null 2>&1
    timeout 30 "${nocap[@]}" "$wineserver" -w >/dev/null 2>&1
    if [ "$status" = 0 ] && [ "$passed" = 1 ]; then
        rm -rf "$prefix" "$work"
        echo "ClientsUnderWine: passed in $((SECONDS - started)) s"
    else
        echo "ClientsUnderWine: failed after $((SECONDS - started)) s; kept $work"
    fi
    exit "$status"
}
trap teardown EXIT
trap 'exit 1' INT TERM HUP

# The build's prefix, made as cmake/wine-run makes it when no test has made it yet, then copied.
if [ -d "$prefix" ]; then
    "${nocap[@]}" "$wineserver" -k >/dev/null 2>&1 || true
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
[ -f "$prefix/system.reg" ] || fail "the copy of $build_prefix has no system.reg"
grep -qi 'kronelsvc' "$prefix/system.reg" && fail "$build_prefix has kronelsvc installed: remove that prefix"
echo "ok: prefix copied ($((SECONDS - started)) s)"

peer() {  # the port of a peer in KRONEL_TEST_PEERS
    local table=",$KRONEL_TEST_PEERS,"
    table=${table#*,$1=}
    echo "${table%%,*}"
}
services=${KRONEL_TEST_PEERS%,http=*}
key='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Kronel\Parameters'

# Runs kronelsvc.exe debug with one entry until its clock has been stepped; checks the step.
# run PROTOCOL NAME ADDR OFFSET
run() {
    local protocol=$1 name=$2 addr=$3 offset=$4 reg=$work/entry.reg out=$work/out-$1-$4.txt
    printf 'Windows Registry Editor Version 5.00\r\n\r\n[-%s]\r\n\r\n[%s]\r\n' "$key" "$key" >"$reg"
    for value in TCPServer UDPServer 867TCPServer 867UDPServer SNTPServer LogtoEvtlog AdjustFreq; do
        printf '"%s"=dword:00000000\r\n' "$value" >>"$reg"
    done
    printf '\r\n[%s\\Server Details\\peer]\r\n"addr"="%s"\r\n"protocol"=dword:%08x\r\n"order"=dword:00000000\r\n' \
        "$key" "$addr" "$protocol" >>"$reg"
    "${nocap[@]}" "$wine" reg import 'Z:'"${reg//\//\\}" </dev/null >"$work/import.txt" 2>&1 ||
        fail "reg import: $(cat "$work/import.txt")"

    KRONEL_CLOCK=simulated KRONEL_CLOCK_OFFSET=$offset KRONEL_SERVICES=$services KRONEL_TIME_SCALE=100 \
        "${nocap[@]}" "$wine" "$exe" debug </dev/null >"$out" 2>&1 &
    service=$!
    local deadline=$((SECONDS + 40))
    until grep -q '(Clock stepped)' "$out" 2>/dev/null; do
        if [ $SECONDS -ge $deadline ] || ! kill -0 "$service" 2>/dev/null; then
            tr -d '\r' <"$out"
            fail "$name ($addr, clock $offset s): no step"
        fi
        sleep 0.2
    done
    kill "$service" 2>/dev/null || true
    wait "$service" 2>/dev/null || true
    service=
    tr -d '\r' <"$out" >"$out.txt"
    grep -q "Using simulated clock, offset " "$out.txt" || fail "$name: not on the simulated clock"
    grep -q "Info : $name " "$out.txt" || fail "$name did not run: $(cat "$out.txt")"
    local corrected
    corrected=$(sed -n 's/.*The time has been corrected by \(-\{0,1\}[0-9.]*\) seconds (Clock stepped).*/\1/p' "$out.txt" | head -n1)
    awk -v c="$corrected" -v o="$offset" 'BEGIN { d = c + o; exit !(d < 1 && d > -1) }' ||
        fail "$name: corrected by $corrected with the clock $offset s off"
    echo "ok: $name ($addr): clock $offset s off, corrected by $corrected s"
}

for offset in -420.6 420.6; do
    run 1 "RFC868 UDP Client" 127.0.0.1 "$offset"
    run 2 "RFC868 TCP Client" 127.0.0.1 "$offset"
    run 3 "HTTP Client" "http://127.0.0.1:$(peer http)/" "$offset"
    run 7 "RFC867 TCP Client" 127.0.0.1 "$offset"
    run 8 "RFC867 UDP Client" 127.0.0.1 "$offset"
    run 10 "ICMP Timestamp Client" 127.0.0.1 "$offset"
done
passed=1
