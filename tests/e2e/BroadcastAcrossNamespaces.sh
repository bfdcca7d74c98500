#!/usr/bin/env bash
# kronelsvc's NTP broadcast server and broadcast client across machines: two network
# namespaces joined by a veth pair, each kronelsvc with its own simulated clock. The listener
# (protocol 4, sender filter on the broadcaster's address) starts 5 s behind and is corrected
# from a broadcast to 255.255.255.255, then a fresh listener 3 s behind from the multicast
# group 224.0.1.1.
#   BroadcastAcrossNamespaces.sh KRONELSVC
# Needs root (the CI runs as root); exit code 77 (skipped) without it.
set -euo pipefail

kronelsvc=$(realpath "$1")
if [ "$(id -u)" != 0 ]; then
    echo "SKIP: network namespaces need root"
    exit 77
fi

tag=kb$$
work=$(mktemp -d)
pids=()
nocap=(setpriv --inh-caps=-sys_time --bounding-set=-sys_time --)
parameters='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Kronel\Parameters'

fail() {
    echo "FAIL: $*"
    for f in "$work"/*.out; do
        [ -f "$f" ] && { echo "--- $(basename "$f")"; cat "$f"; }
    done
    exit 1
}
stop_all() {
    local pid
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    pids=()
}
cleanup() {
    stop_all
    ip netns del "$tag-a" 2>/dev/null || true
    ip netns del "$tag-l" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

ip netns add "$tag-a"
ip netns add "$tag-l"
ip link add "va$$" netns "$tag-a" type veth peer name "vl$$" netns "$tag-l"
number=1
for host in a l; do
    ns=$tag-$host
    dev=v$host$$
    ip -n "$ns" addr add "10.78.0.$number/24" dev "$dev"
    ip -n "$ns" link set "$dev" up
    ip -n "$ns" link set lo up
    # The limited broadcast and the multicast group need a route to leave by.
    ip -n "$ns" route add 255.255.255.255 dev "$dev"
    ip -n "$ns" route add 224.0.0.0/4 dev "$dev"
    number=$((number + 1))
done

dword() { printf '"%s"=dword:%08x\r\n' "$1" "$2"; }
# The broadcaster: every 64 s (2 s at time scale 32) to the given list; no other server.
sender_store() {
    {
        printf 'Windows Registry Editor Version 5.00\r\n\r\n[%s]\r\n' "$parameters"
        for name in TCPServer UDPServer 867TCPServer 867UDPServer LogtoEvtlog; do dword "$name" 0; done
        dword NTPbcast 1
        dword NTPStratum 4
        printf '"BroadcastAddrs"="%s"\r\n' "$1"
    } >"$work/a.reg"
}
# The listener: one protocol-4 entry that accepts broadcasts from 10.78.0.1 only; its SNTP
# server hears them. Frequency 1: a hold-off of 60 s (about 2 s at time scale 32).
listener_store() {
    {
        printf 'Windows Registry Editor Version 5.00\r\n\r\n[%s]\r\n' "$parameters"
        for name in TCPServer UDPServer 867TCPServer 867UDPServer LogtoEvtlog; do dword "$name" 0; done
        dword Frequency 1
        dword LogDebug 1
        printf '\r\n[%s\\Server Details\\bcast]\r\n"addr"="10.78.0.1"\r\n' "$parameters"
        dword protocol 4
        dword order 0
    } >"$work/l.reg"
}
start() {
    local host=$1 offset=$2
    ip netns exec "$tag-$host" env KRONEL_CLOCK=simulated KRONEL_CLOCK_OFFSET="$offset" \
        KRONEL_TIME_SCALE=32 KRONEL_SERVICES= KRONEL_REGISTRY="$work/$host.reg" \
        "${nocap[@]}" "$kronelsvc" debug >"$work/$host.out" 2>&1 &
    pids+=($!)
}
wait_for() {
    local file=$1 pattern=$2 deadline=$((SECONDS + 30))
    until grep -q -- "$pattern" "$file" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || fail "waited for '$pattern' in $(basename "$file")"
        sleep 0.1
    done
}

for round in "255.255.255.255 -5 5" "224.0.1.1 -3 3"; do
    read -r target offset expected <<<"$round"
    echo "== broadcasts to $target; the listener is ${expected} s behind"
    sender_store "$target"
    listener_store
    start l "$offset"
    wait_for "$work/l.out" "listening to 10.78.0.1"
    start a 0
    wait_for "$work/l.out" "Time broadcast received from 10.78.0.1"
    wait_for "$work/l.out" "The time has been corrected by"
    line=$(grep -m1 "The time has been corrected by" "$work/l.out")
    by=$(sed -n 's/.*corrected by \([-0-9.]*\) seconds.*/\1/p' <<<"$line")
    awk -v d="$by" -v e="$expected" 'BEGIN { exit !(d > e - 0.05 && d < e + 0.05) }' ||
        fail "correction: $line"
    grep -q "Using simulated clock, offset ${offset}.000 s" "$work/l.out" || fail "listener's clock"
    echo "ok: $line"
    stop_all
done
echo "BroadcastAcrossNamespaces: passed"
