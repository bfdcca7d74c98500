#!/usr/bin/env bash
# kronelsvc.exe debug under Wine with an NMEA entry on COM7, which Wine maps to one end of a
# socat pseudo-terminal pair through HKLM\Software\Wine\Ports; a real receiver capture is
# written to the other end at its own pace, and the simulated clock must be set from it.
#   NmeaReplay.sh KRONELSVC_EXE BUILD_DIR CAPTURE
# The Wine prefix is the test's own, a copy of the build's. Exit code 77: no Wine (skipped).
set -euo pipefail

exe=$(realpath "$1")
build=$(realpath "$2")
capture=$(realpath "$3")
wine=${KRONEL_WINE:-/usr/lib/wine/wine64}
wineserver=${KRONEL_WINESERVER:-/usr/lib/wine/wineserver}
if [ ! -x "$wine" ] || [ ! -x "$wineserver" ]; then
    echo "SKIP: no Wine at $wine (scripts/setup installs wine64)"
    exit 77
fi

prefix=$build/wineprefix-nmea
work=$build/wineprefix-nmea.work
export WINEPREFIX=$prefix
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all
# Wine hands SetSystemTime to the host: no Wine process may hold the capability to set the
# clock, and the program runs on the simulated clock.
nocap=(setpriv --pdeathsig KILL --inh-caps=-sys_time --bounding-set=-sys_time --)
socat_pid=
program_pid=
status=1

end_session() {
    "${nocap[@]}" "$wineserver" -k >/dev/null 2>&1 || true
    timeout 30 "${nocap[@]}" "$wineserver" -w >/dev/null 2>&1 || true
}
teardown() {
    set +e
    [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null
    end_session
    [ -n "$program_pid" ] && wait "$program_pid" 2>/dev/null
    [ -n "$socat_pid" ] && kill "$socat_pid" 2>/dev/null && wait "$socat_pid" 2>/dev/null
    if [ "$status" = 0 ]; then
        rm -rf "$prefix" "$work"
    else
        echo "--- kronelsvc.exe output"
        tr -d '\r' <"$work/out" 2>/dev/null | grep -v '^Debug: .*<' | tail -40
        echo "--- socat"
        cat "$work/socat.log" 2>/dev/null | tail -5
    fi
    exit "$status"
}
trap teardown EXIT
trap 'exit 1' INT TERM HUP

[ -d "$prefix" ] && end_session
rm -rf "$prefix" "$work"
mkdir -p "$work"
build_prefix=$build/wineprefix
(
    flock 9
    if [ ! -f "$build_prefix/system.reg" ]; then
        WINEPREFIX=$build_prefix "${nocap[@]}" "$wine" wineboot.exe --init </dev/null >/dev/null 2>&1 || true
        WINEPREFIX=$build_prefix timeout 120 "${nocap[@]}" "$wineserver" -w </dev/null >/dev/null 2>&1 || true
    fi
    cp -a "$build_prefix" "$prefix" 2>/dev/null || true
) 9>"$build_prefix.lock"
[ -f "$prefix/system.reg" ] || { echo "FAIL: no copy of $build_prefix"; exit 1; }

socat -d -d "pty,raw,echo=0,link=$work/feeder" "pty,raw,echo=0,link=$work/receiver" \
    2>"$work/socat.log" &
socat_pid=$!
for _ in $(seq 100); do
    grep -q "starting data transfer loop" "$work/socat.log" 2>/dev/null && break
    sleep 0.1
done
[ -e "$work/receiver" ] || { echo "FAIL: socat made no pseudo-terminals"; exit 1; }

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
"${nocap[@]}" "$wine" regedit /S "$(sed 's|/|\\|g' <<<"Z:$work/settings.reg")" </dev/null \
    >/dev/null 2>&1
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
program_pid=$!
for _ in $(seq 300); do
    grep -q "Listening for GPS messages" "$work/out" 2>/dev/null && break
    if grep -q "Can't open port" "$work/out" 2>/dev/null; then
        echo "FAIL: kronelsvc.exe could not open COM7"
        exit 1
    fi
    sleep 0.1
done
grep -q "Listening for GPS messages" "$work/out" || { echo "FAIL: the NMEA client did not start"; exit 1; }

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
for _ in $(seq 300); do
    grep -q "(Clock stepped)" "$work/out" 2>/dev/null && break
    sleep 0.1
done
kill "$replay_pid" 2>/dev/null || true
wait "$replay_pid" 2>/dev/null || true
line=$(tr -d '\r' <"$work/out" | grep -m1 "The time has been corrected by" || true)
[ -n "$line" ] || { echo "FAIL: the clock was not set from the capture"; exit 1; }
correction=$(sed -E 's/.*corrected by ([-0-9.]+).*/\1/' <<<"$line")
expected=$(python3 -c "print('%.3f' % (12.5 - ($(cat "$work/replay-start") - $offset_taken)))")
if python3 -c "import sys; sys.exit(0 if abs($correction - $expected) < 0.5 else 1)"; then
    echo "ok: $line (expected $expected)"
    status=0
else
    echo "FAIL: expected a correction of $expected s, got: $line"
fi
