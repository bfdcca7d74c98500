#!/usr/bin/env bash
# kronelsvc.exe under Wine, one server entry of each network time protocol at a time, against
# the independent peers that tests/support/with-peers starts on loopback (xinetd's time and
# daytime services, python3's http.server) and the kernel's ICMP timestamp replies. Each run
# must set its simulated clock from the peer, once behind and once ahead.
#   with-peers ClientsUnderWine.sh KRONELSVC_EXE BUILD_DIR
# The Wine prefix is the test's own (BUILD_DIR/wineprefix-clients), a copy of the build's, since
# the service reads its settings from the registry's HKEY_LOCAL_MACHINE. Exit code 77: no Wine.
set -euo pipefail

. "$(dirname "$(realpath "$0")")/lib.sh"
need_args 2 $# "with-peers $0 KRONELSVC_EXE BUILD_DIR"
exe=$(realpath "$1")
need_wine
if [ -z "${KRONEL_TEST_PEERS:-}" ]; then
    echo "FAIL: no peers: run through tests/support/with-peers"
    exit 1
fi

wine_prefix ClientsUnderWine "$(realpath "$2")" clients

fresh_prefix
no_service_installed
ok "prefix copied ($((SECONDS - started)) s)"

peer() {  # the port of a peer in KRONEL_TEST_PEERS
    local table=",$KRONEL_TEST_PEERS,"
    table=${table#*,$1=}
    echo "${table%%,*}"
}
services=${KRONEL_TEST_PEERS%,http=*}
key='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Kronel\Parameters'

# Whether the program writing OUT has stepped its clock or has ended.
stepped_or_ended() {  # OUT
    grep -q '(Clock stepped)' "$1" 2>/dev/null || ! kill -0 "$wine_pid" 2>/dev/null
}

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
    reg_import "$reg"

    KRONEL_CLOCK=simulated KRONEL_CLOCK_OFFSET=$offset KRONEL_SERVICES=$services KRONEL_TIME_SCALE=100 \
        "${nocap[@]}" "$wine" "$exe" debug </dev/null >"$out" 2>&1 &
    wine_pid=$!
    if ! wait_until 40 stepped_or_ended "$out" || ! grep -q '(Clock stepped)' "$out"; then
        tr -d '\r' <"$out"
        fail "$name ($addr, clock $offset s): no step"
    fi
    kill "$wine_pid" 2>/dev/null || true
    wait "$wine_pid" 2>/dev/null || true
    wine_pid=
    tr -d '\r' <"$out" >"$out.txt"
    grep -q "Using simulated clock, offset " "$out.txt" || fail "$name: not on the simulated clock"
    grep -q "Info : $name " "$out.txt" || fail "$name did not run: $(cat "$out.txt")"
    local corrected
    corrected=$(sed -n 's/.*The time has been corrected by \(-\{0,1\}[0-9.]*\) seconds (Clock stepped).*/\1/p' "$out.txt" | head -n1)
    awk -v c="$corrected" -v o="$offset" 'BEGIN { d = c + o; exit !(d < 1 && d > -1) }' ||
        fail "$name: corrected by $corrected with the clock $offset s off"
    ok "$name ($addr): clock $offset s off, corrected by $corrected s"
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
