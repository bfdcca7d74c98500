#!/usr/bin/env bash
# wispsvc.exe in Wine's service manager: "add", sc start Wisp, an SNTP request answered by the
# listener on its simulated clock, sc stop Wisp, "remove", and no Wine process left behind.
#   WispServiceRoundTrip.sh WISPSVC_EXE BUILD_DIR [WISP95_EXE]
# With wisp95.exe, its start-up entry in the user's Run key is added and removed as well.
# The Wine prefix is the test's own (BUILD_DIR/wineprefix-wisp), a copy of the build's. As
# root the test runs in a network namespace of its own (loopback with the multicast route the
# listener joins by). Exit code 77: no Wine here (skipped).
#
# Wine hands SetSystemTime and the clock adjustment to the host: no Wine process of this test
# holds CAP_SYS_TIME, and the service gets KRONEL_CLOCK=simulated through the services'
# environment in the registry, written in a session of its own before the service's session.
set -euo pipefail

. "$(dirname "$(realpath "$0")")/lib.sh"
need_args 2 $# "$0 WISPSVC_EXE BUILD_DIR"
if [ "$(id -u)" = 0 ] && [ -z "${WISP_IN_NETNS:-}" ]; then
    exec env WISP_IN_NETNS=1 unshare -n -- sh -c '
        ip link set lo up && ip link set lo multicast on &&
        ip route add 224.0.0.0/4 dev lo && exec "$@"' sh "$0" "$@"
fi
exe=$(realpath "$1")
wisp95=${3:+$(realpath "$3")}
need_wine

wine_prefix WispServiceRoundTrip "$(realpath "$2")" wisp
service_key='HKLM\SYSTEM\CurrentControlSet\Services\Wisp'
install_dir='C:\Program Files\Wisp'
clock_offset=7.5
port=$(free_port -u 0)
unset KRONEL_CLOCK KRONEL_CLOCK_OFFSET KRONEL_SERVICES WISP_CONFIG_DIR

service_may_run=0
check_leftovers=1
before_session_end() {
    [ "$service_may_run" = 1 ] && wine_run sc stop Wisp >/dev/null
}
show_failure() {
    tail -20 "$trace" 2>/dev/null
}

fresh_prefix
ok "prefix copied ($((SECONDS - started)) s)"

services_environment KRONEL_CLOCK=simulated KRONEL_CLOCK_OFFSET=$clock_offset KRONEL_SERVICES=ntp/udp=$port
# Wine without a display makes windows (wisp95's hidden one) only with its null graphics
# driver, chosen when the session starts.
wine_run reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f >/dev/null ||
    fail "reg add Graphics"
end_session
ok "services' environment: KRONEL_CLOCK=simulated, offset $clock_offset s, NTP port $port"

# Wine ends the services when the last ordinary process of the prefix exits.
keep_session

mkdir -p "$prefix/drive_c/Program Files/Wisp"
cp "$exe" "$prefix/drive_c/Program Files/Wisp/wispsvc.exe"
# The ini file beside the program: the listener.
printf '[WISPSVC]\r\nserver=0\r\n' >"$prefix/drive_c/Program Files/Wisp/wispsvc.ini"
output=$(wine_run "$install_dir\\wispsvc.exe" add) || fail "add failed: $output"
[ "$output" = "Service installed" ] || fail "add printed: $output"
service=$(wine_run reg query "$service_key") || fail "no service key"
grep -Fxq "    DisplayName    REG_SZ    Wisp Time Synchronization" <<<"$service" || fail "display name: $service"
grep -Fxq "    DependOnService    REG_MULTI_SZ    Tcpip" <<<"$service" || fail "dependency: $service"
ok "Service installed: Wisp Time Synchronization, depends on Tcpip"

service_may_run=1
wine_run sc start Wisp >/dev/null || fail "sc start Wisp failed"
wait_for_state Wisp RUNNING 20 || fail "not RUNNING within 20 s"
no_process_sets_the_clock
ok "RUNNING; no process of the prefix holds CAP_SYS_TIME"

# An SNTP request: the answer comes from the listener's clock, 7.5 s ahead of ours.
answer=$(python3 - "$port" <<'PY'
import socket, struct, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(1.0)
request = bytes([0x1B]) + bytes(39) + struct.pack("!II", 0xE0000000, 0x12345678)
for attempt in range(20):
    s.sendto(request, ("127.0.0.1", int(sys.argv[1])))
    try:
        reply = s.recv(64)
        break
    except socket.timeout:
        continue
else:
    print("no answer")
    sys.exit(1)
seconds, fraction = struct.unpack("!II", reply[40:48])
offset = seconds + fraction / 2**32 - 2208988800 - time.time()
print(len(reply), reply[0], reply[1], reply[12:16].decode(errors="replace"),
      reply[24:32] == request[40:48], "%.1f" % offset)
PY
) || fail "the listener did not answer: $answer"
[ "$answer" = "48 28 15 LOCL True 7.5" ] || fail "answer (length, byte 0, stratum, reference, originate, offset): $answer"
ok "answered: 48 bytes, byte 0 = 28, stratum 15, LOCL, originate echoed, clock 7.5 s ahead"

wine_run sc stop Wisp >/dev/null || fail "sc stop Wisp failed"
wait_for_state Wisp STOPPED 20 || fail "not STOPPED within 20 s"
service_may_run=0
ok "STOPPED"

output=$(wine_run "$install_dir\\wispsvc.exe" remove) || fail "remove failed: $output"
[ "$output" = "Wisp Time Synchronization removed." ] || fail "remove printed: $output"
wait_until_service_gone Wisp || fail "sc query still finds the service"
ok "Wisp Time Synchronization removed."

if [ -n "$wisp95" ]; then
    run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
    cp "$wisp95" "$prefix/drive_c/Program Files/Wisp/wisp95.exe"
    wine_run "$install_dir\\wisp95.exe" --register >/dev/null || fail "wisp95 --register failed"
    entry=$(wine_run reg query "$run_key" /v Wisp95) || fail "no Run value after --register"
    grep -Fxq "    Wisp95    REG_SZ    \"$install_dir\\wisp95.exe\"" <<<"$entry" || fail "Run value: $entry"
    wine_run "$install_dir\\wisp95.exe" --unregister >/dev/null || fail "wisp95 --unregister failed"
    if wine_run reg query "$run_key" /v Wisp95 >/dev/null 2>&1; then
        fail "the Run value is still there after --unregister"
    fi
    ok "wisp95 --register and --unregister: the Run value Wisp95 added and removed"

    # wisp95 itself: its hidden window hears of the datagram; taskkill closes the window.
    : >"$work/wisp95.out"
    KRONEL_CLOCK=simulated KRONEL_CLOCK_OFFSET=-4 KRONEL_SERVICES=ntp/udp=$port \
        "${nocap[@]}" "$wine" "$install_dir\\wisp95.exe" </dev/null >"$work/wisp95.out" 2>>"$trace" &
    wisp95_pid=$!
    wait_until 20 has_line "$work/wisp95.out" "Listening for time broadcasts" ||
        fail "wisp95 did not start: $(tr -d '\r' <"$work/wisp95.out")"
    # First a broadcast 100 s ahead sent to this host alone, which WSARecvMsg shows as such:
    # ignored. Then one to the multicast group: taken.
    python3 - "$port" <<'PY'
import socket, struct, sys, time
def packet(t):
    return bytes([0x1D, 3]) + bytes(38) + struct.pack("!II", int(t), int((t % 1) * 2**32))
t = time.time() + 2208988800
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
s.sendto(packet(t + 100), ("127.0.0.1", int(sys.argv[1])))
s.sendto(packet(t), ("224.0.1.1", int(sys.argv[1])))
PY
    deadline=$((SECONDS + 20))
    until grep -q "The time has been corrected by" "$work/wisp95.out"; do
        grep -q "message loop failed" "$work/wisp95.out" && fail "wisp95: $(tr -d '\r' <"$work/wisp95.out")"
        [ $SECONDS -lt $deadline ] || fail "wisp95 took no broadcast: $(tr -d '\r' <"$work/wisp95.out")"
        sleep 0.2
    done
    corrected=$(tr -d '\r' <"$work/wisp95.out" | grep -m1 "The time has been corrected by")
    awk -v line="$corrected" 'BEGIN { split(line, w, " "); exit !(w[7] > -20 && w[7] < 20) }' ||
        fail "wisp95 took the broadcast sent to it alone: $corrected"
    wine_run taskkill /IM wisp95.exe >/dev/null || true
    status=0
    timeout 20 tail --pid="$wisp95_pid" -f /dev/null || fail "wisp95 did not end when its window was closed"
    wait "$wisp95_pid" || status=$?
    [ "$status" = 0 ] || fail "wisp95 exited with $status"
    ok "wisp95: $(tr -d '\r' <"$work/wisp95.out" | grep -m1 "The time has been corrected by"); closed by taskkill"
fi
passed=1
