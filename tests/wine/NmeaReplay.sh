#!/usr/bin/env bash
# kronelsvc.exe debug under Wine with an NMEA entry on COM7, which Wine maps to one end of a
# socat pseudo-terminal pair through HKLM\Software\Wine\Ports; a real receiver capture is
# written to the other end at its own pace, and the simulated clock must be set from it.
#   NmeaReplay.sh KRONELSVC_EXE BUILD_DIR CAPTURE
# The Wine prefix is the test's own, a copy of the build's. Exit code 77: no Wine (skipped).
set -euo pipefail

. "$(dirname "$(realpath "$0")")/lib.sh"
need_args 3 $# "$0 KRONELSVC_EXE BUILD_DIR CAPTURE"
exe=$(realpath "$1")
capture=$(realpath "$3")
need_wine

wine_prefix NmeaReplay "$(realpath "$2")" nmea
socat_pid=
after_session_end() {
    [ -n "$socat_pid" ] && kill "$socat_pid" 2>/dev/null && wait "$socat_pid" 2>/dev/null
}
show_failure() {
    echo "--- kronelsvc.exe output"
    tr -d '\r' <"$work/out" 2>/dev/null | grep -v '^Debug: .*<' | tail -40
    echo "--- socat"
    cat "$work/socat.log" 2>/dev/null | tail -5
}

fresh_prefix

socat -d -d "pty,raw,echo=0,link=$work/feeder" "pty,raw,echo=0,link=$work/receiver" \
    2>"$work/socat.log" &
socat_pid=$!
wait_until 10 has_line "$work/socat.log" "starting data transfer loop" || true
[ -e "$work/receiver" ] || fail "socat made no pseudo-terminals"

# First session: the port map and the settings. Wine makes its COM devices from the map when
# a session starts, so the program runs in a second one.
parameters='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Kronel\Parameters'
{
    echo 'REGEDIT4'
    echo
    echo '[HKEY_LOCAL_MACHINE\Software\Wine\Ports]'
    echo "\"COM7\"=\"$work/receiver\""
    echo
    echo "[$parameters]"
    for name in TCPServer UDPServer 867TCPServer 867UDPServer SNTPServer LogtoEvtlog; do
        echo "\"$name\"=dword:00000000"
    done
    echo '"GPSPort"=dword:00000007'
    echo '"GPSSpeed"=dword:00000000'
    echo
    echo "[$parameters\\Server Details\\gps]"
    echo '"addr"="COM7"'
    echo '"protocol"=dword:00000006'
} >"$work/settings.reg"
regedit_import "$work/settings.reg"
end_session

# The simulated clock starts 12.5 s behind the capture's first second.
offset=$(python3 - "$capture" <<'PY'
import calendar, re, sys, time
for line in open(sys.argv[1], errors="replace"):
    m = re.match(r"\$..RMC,(\d\d)(\d\d)(\d\d)[^,]*,A,(?:[^,]*,){6}(\d\d)(\d\d)(\d\d),", line)
    if m:
        h, mi, s, d, mo, y = (int(x) for x in m.groups())
        first = calendar.timegm((2000 + y, mo, d, h, mi, s))
        now = time.time()
        print("%.3f %.3f" % (first - now - 12.5, now))
        break
PY
)
read -r offset offset_taken <<<"$offset"
KRONEL_CLOCK=simulated KRONEL_CLOCK_OFFSET=$offset "${nocap[@]}" "$wine" "$exe" debug \
    </dev/null >"$work/out" 2>&1 &
wine_pid=$!
listening_or_failed "$work/out" GPS COM7 || fail "the NMEA client did not start"

# The capture at its own pace: one second of sentences a second. By its start the simulated
# clock has moved on from 12.5 s behind the capture by the time Wine took to start.
python3 - "$capture" "$work/feeder" "$work/replay-start" <<'PY' &
import os, re, sys, time
fd = os.open(sys.argv[2], os.O_WRONLY | os.O_NOCTTY)
open(sys.argv[3], "w").write("%.3f" % time.time())
group, last = b"", None
for line in open(sys.argv[1], "rb"):
    if line.startswith(b"#"):
        continue
    m = re.match(rb"\$..(?:RMC|GGA|ZDA),(\d{6})", line)
    if m and last is not None and m.group(1) != last and group:
        os.write(fd, group)
        group = b""
        time.sleep(1)
    if m:
        last = m.group(1)
    group += line
os.write(fd, group)
PY
replay_pid=$!
wait_until 30 has_line "$work/out" "\(Clock stepped\)" || true
kill "$replay_pid" 2>/dev/null || true
wait "$replay_pid" 2>/dev/null || true
line=$(tr -d '\r' <"$work/out" | grep -m1 "The time has been corrected by" || true)
[ -n "$line" ] || fail "the clock was not set from the capture"
correction=$(sed -E 's/.*corrected by ([-0-9.]+).*/\1/' <<<"$line")
expected=$(python3 -c "print('%.3f' % (12.5 - ($(cat "$work/replay-start") - $offset_taken)))")
if python3 -c "import sys; sys.exit(0 if abs($correction - $expected) < 0.5 else 1)"; then
    ok "$line (expected $expected)"
else
    fail "expected a correction of $expected s, got: $line"
fi
passed=1
