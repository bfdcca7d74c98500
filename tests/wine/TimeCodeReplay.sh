#!/usr/bin/env bash
# kronelsvc.exe debug under Wine with three receivers, one of each decoder family, on COM7
# (Trimble TSIP), COM8 (TrueTime) and COM9 (DCF77 pulses), which Wine maps to socat
# pseudo-terminals through HKLM\Software\Wine\Ports. With SwitchOK each result moves the engine
# on to the next entry, so one run shows each receiver setting the simulated clock:
#   TimeCodeReplay.sh KRONELSVC_EXE BUILD_DIR
# The Wine prefix is the test's own, a copy of the build's. Exit code 77: no Wine (skipped).
set -euo pipefail

. "$(dirname "$(realpath "$0")")/lib.sh"
need_args 2 $# "$0 KRONELSVC_EXE BUILD_DIR"
exe=$(realpath "$1")
need_wine

wine_prefix TimeCodeReplay "$(realpath "$2")" timecode
socat_pids=()
feeder_pid=
before_session_end() {
    [ -n "$feeder_pid" ] && kill "$feeder_pid" 2>/dev/null && wait "$feeder_pid" 2>/dev/null
}
after_session_end() {
    for pid in "${socat_pids[@]}"; do
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
}
show_failure() {
    echo "--- kronelsvc.exe output"
    tr -d '\r' <"$work/out" 2>/dev/null | grep -v '^Debug: .*<' | tail -40
    echo "--- feeder"
    tail -5 "$work/feeder.log" 2>/dev/null
}

fresh_prefix

for n in 7 8 9; do
    socat -d -d "pty,raw,echo=0,link=$work/feeder$n" "pty,raw,echo=0,link=$work/receiver$n" \
        2>"$work/socat$n.log" &
    socat_pids+=($!)
done
for n in 7 8 9; do
    wait_until 10 has_line "$work/socat$n.log" "starting data transfer loop" || true
    [ -e "$work/receiver$n" ] || fail "socat made no pseudo-terminals"
done

# First session: the port map and the settings. Wine makes its COM devices from the map when
# a session starts, so the program runs in a second one.
parameters='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Kronel\Parameters'
{
    echo 'REGEDIT4'
    echo
    echo '[HKEY_LOCAL_MACHINE\Software\Wine\Ports]'
    for n in 7 8 9; do
        echo "\"COM$n\"=\"$work/receiver$n\""
    done
    echo
    echo "[$parameters]"
    for name in TCPServer UDPServer 867TCPServer 867UDPServer SNTPServer LogtoEvtlog; do
        echo "\"$name\"=dword:00000000"
    done
    echo '"SwitchOK"=dword:00000001'
    entry=0
    for receiver in "trimble COM7 11" "truetime COM8 13" "dcf77 COM9 20"; do
        read -r name port protocol <<<"$receiver"
        echo
        echo "[$parameters\\Server Details\\$name]"
        echo "\"addr\"=\"$port\""
        printf '"protocol"=dword:%08x\n' "$protocol"
        printf '"order"=dword:%08x\n' "$entry"
        entry=$((entry + 1))
    done
} >"$work/settings.reg"
regedit_import "$work/settings.reg"
end_session

# The receivers' time runs `shift` seconds ahead of this machine's clock (the TrueTime's 7 s
# more); the simulated clock starts 12.5 s behind the Trimble's.
shift=10800
KRONEL_CLOCK=simulated KRONEL_CLOCK_OFFSET=$((shift - 13)).5 KRONEL_TIME_SCALE=10 \
    "${nocap[@]}" "$wine" "$exe" debug </dev/null >"$work/out" 2>&1 &
wine_pid=$!
listening_or_failed "$work/out" Trimble COM7 || fail "the Trimble client did not start"

# Each receiver's format at its own pace: TSIP 8F-AB and the TrueTime line at every whole
# second, DCF77 minutes of 59 pulses, a silent second and the next minute's first pulse.
python3 - "$work" "$shift" >"$work/feeder.log" 2>&1 <<'PY' &
import calendar, os, struct, sys, threading, time
work, shift = sys.argv[1], int(sys.argv[2])

def open_end(n):
    return os.open("%s/feeder%d" % (work, n), os.O_WRONLY | os.O_NOCTTY)

def tsip(t):
    g = time.gmtime(t)
    gps = t - 315964800 + 18
    body = bytes([0x8F, 0xAB]) + struct.pack(">IHhB", gps % 604800, gps // 604800, 18, 3) + \
        bytes([g.tm_sec, g.tm_min, g.tm_hour, g.tm_mday, g.tm_mon]) + struct.pack(">H", g.tm_year)
    out = b"\x10"
    for b in body:
        out += bytes([b]) + (b"\x10" if b == 0x10 else b"")
    return out + b"\x10\x03"

def truetime(t):
    g = time.gmtime(t)
    return ("\x01%03d:%02d:%02d:%02d \r\n" % (g.tm_yday, g.tm_hour, g.tm_min, g.tm_sec)).encode()

def every_second(n, message, ahead):
    fd = open_end(n)
    while True:
        t = int(time.time()) + 1
        time.sleep(max(0, t - time.time()))
        os.write(fd, message(t + ahead))

def dcf77(fd, minute, first):
    # German time of `minute` (UTC): CEST from the last Sunday of March to that of October.
    y = time.gmtime(minute).tm_year
    def last_sunday(month):
        t = calendar.timegm((y, month, 31, 1, 0, 0))
        return t - ((time.gmtime(t).tm_wday + 1) % 7) * 86400
    summer = last_sunday(3) <= minute < last_sunday(10)
    g = time.gmtime(minute + (7200 if summer else 3600))
    b = [0] * 59
    b[17], b[18], b[20] = (1, 0, 1) if summer else (0, 1, 1)
    def bcd(at, v, weights):
        for i, w in enumerate(weights):
            digit, unit = (v // 10 % 10, w // 10) if w >= 10 else (v % 10, w)
            b[at + i] = 1 if digit & unit else 0
    bcd(21, g.tm_min, [1, 2, 4, 8, 10, 20, 40])
    bcd(29, g.tm_hour, [1, 2, 4, 8, 10, 20])
    bcd(36, g.tm_mday, [1, 2, 4, 8, 10, 20])
    bcd(42, g.tm_wday + 1, [1, 2, 4])
    bcd(45, g.tm_mon, [1, 2, 4, 8, 10])
    bcd(50, g.tm_year % 100, [1, 2, 4, 8, 10, 20, 40, 80])
    b[28], b[35], b[58] = sum(b[21:28]) % 2, sum(b[29:35]) % 2, sum(b[36:58]) % 2
    # The pulse that ended the last minute is this one's second 0.
    os.write(fd, bytes(0 if x else 0xF0 for x in b[0 if first else 1:]))
    time.sleep(1.7)
    os.write(fd, b"\xf0")
    print("minute %d named at %.3f" % (minute, time.time()), flush=True)

def pulses(n, ahead):
    fd = open_end(n)
    # One minute, a little ahead of where the clock will stand, named again and again.
    minute = int(time.time()) + ahead + 20
    minute += 60 - minute % 60
    first = True
    while True:
        dcf77(fd, minute, first)
        first = False
        time.sleep(0.3)

threading.Thread(target=every_second, args=(7, tsip, shift), daemon=True).start()
threading.Thread(target=every_second, args=(8, truetime, shift + 7), daemon=True).start()
threading.Thread(target=pulses, args=(9, shift + 7), daemon=True).start()
time.sleep(120)
PY
feeder_pid=$!
three_corrections() { [ "$(tr -d '\r' <"$work/out" | grep -c "The time has been corrected by")" -ge 3 ]; }
wait_until 60 three_corrections || true
mapfile -t corrections < <(tr -d '\r' <"$work/out" | grep "The time has been corrected by" |
    sed -E 's/.*corrected by ([-0-9.]+).*/\1/')
for kind in Trimble Truetime DCF77; do
    grep -q "Listening for $kind messages" "$work/out" || fail "the $kind client did not run"
done
[ "${#corrections[@]}" -ge 3 ] ||
    fail "${#corrections[@]} of 3 receivers set the clock: ${corrections[*]:-none}"
# 12.5 s from the Trimble, 7 s more from the TrueTime, and the DCF77 minute's distance.
if python3 - "${corrections[@]}" <<'PY'
import sys
c = [float(x) for x in sys.argv[1:4]]
ok = abs(c[0] - 12.5) < 0.5 and abs(c[1] - 7) < 0.5 and 4 < c[2] < 120
print("corrections %s" % c)
sys.exit(0 if ok else 1)
PY
then
    ok "Trimble, TrueTime and DCF77 set the clock by ${corrections[*]} s"
else
    fail "corrections ${corrections[*]}"
fi
passed=1
