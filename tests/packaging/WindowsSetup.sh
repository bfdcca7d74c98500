#!/usr/bin/env bash
# The Windows setup under Wine, as a user runs it: a silent install, the service registered,
# started and answering SNTP on the simulated clock; a silent uninstall, after which nothing is
# left but the service's settings.
#   WindowsSetup.sh SETUP_EXE BUILD_WIN_DIR
# The Wine prefix is the test's own (BUILD_WIN_DIR/wineprefix-setup), a copy of the build's.
# Exit code 77: no Wine here (skipped).
#
# Wine hands clock changes to this machine: no Wine process here holds CAP_SYS_TIME (everything
# runs through setpriv and the test checks the prefix's processes), and the service gets
# KRONEL_CLOCK=simulated through the services' environment in the registry, written in a
# session of its own before the one that starts the service.
set -euo pipefail

if [ $# -lt 2 ]; then
    echo "usage: $0 SETUP_EXE BUILD_WIN_DIR" >&2
    exit 2
fi
setup=$(realpath "$1")
build=$(realpath "$2")
wine=${KRONEL_WINE:-/usr/lib/wine/wine64}
wineserver=${KRONEL_WINESERVER:-/usr/lib/wine/wineserver}
if [ ! -x "$wine" ] || [ ! -x "$wineserver" ]; then
    echo "SKIP: no Wine at $wine (scripts/setup installs wine64)"
    exit 77
fi
[ -f "$setup" ] || {
    echo "FAIL: no $setup (scripts/package builds it)"
    exit 1
}

prefix=$build/wineprefix-setup
work=$build/wineprefix-setup.work
trace=$work/wine-stderr.log
clock_offset=-9.25
install_dir='C:\Program Files\Kronel'
installed=$prefix/drive_c/Program\ Files/Kronel
menu=$prefix/drive_c/ProgramData/Microsoft/Windows/Start\ Menu/Programs/Kronel
saved=$prefix/drive_c/ProgramData/Kronel/settings.reg
service_key='HKLM\SYSTEM\CurrentControlSet\Services\Kronel'
parameters="$service_key\\Parameters"
uninstall_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Kronel Service V1.6'
environment_key='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'

export WINEPREFIX=$prefix
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all
unset KRONEL_REGISTRY KRONEL_CLOCK_PPM KRONEL_TIME_SCALE

nocap=(setpriv --pdeathsig KILL --inh-caps=-sys_time --bounding-set=-sys_time --)
started=$SECONDS
keeper=
passed=0

step() { printf '\n== %s\n' "$*"; }
ok() { printf 'ok (%3d s): %s\n' "$((SECONDS - started))" "$*"; }
fail() {
    printf 'FAIL: %s\n' "$*"
    exit 1
}

# Loopback ports nothing listens on, one per service the service serves.
free_port() {
    local port=$((20000 + ($$ + $2 * 97) % 20000))
    while [ -n "$(ss -Hln "$1" "sport = :$port" 2>/dev/null)" ]; do
        port=$((port + 1))
    done
    echo "$port"
}
ntp_port=$(free_port -u 1)
time_port=$(free_port -t 2)
daytime_port=$(free_port -t 3)
services="ntp/udp=$ntp_port,time/tcp=$time_port,time/udp=$time_port,daytime/tcp=$daytime_port,daytime/udp=$daytime_port"

wine_run() {
    local status=0
    "${nocap[@]}" "$wine" "$@" </dev/null >"$work/out" 2>>"$trace" || status=$?
    tr -d '\r' <"$work/out"
    return "$status"
}

# The processes of this prefix: every one whose environment names it (the search itself
# without that name, or it would find itself).
prefix_processes() {
    local list
    list=$(env -u WINEPREFIX grep -lzxF "WINEPREFIX=$prefix" /proc/[0-9]*/environ 2>/dev/null || true)
    list=${list//\/proc\//}
    echo "${list//\/environ/}"
}

holds_sys_time() {
    local field value
    for field in CapEff CapPrm CapInh CapBnd CapAmb; do
        value=$(awk -v f="$field:" '$1 == f { print $2 }' "/proc/$1/status" 2>/dev/null)
        [ -n "$value" ] && (((16#$value >> 25) & 1)) && return 0
    done
    return 1
}

end_session() {
    "${nocap[@]}" "$wineserver" -k >/dev/null 2>&1 || true
    timeout 30 "${nocap[@]}" "$wineserver" -w >/dev/null 2>&1 || true
}

# The files of the prefix's drive C:, less the temporary folders Wine itself fills.
drive_files() {
    (cd "$prefix/drive_c" && find . \( -iname temp -o -name 'Temporary Internet Files' \) -prune -o -print) |
        sort
}

teardown() {
    local status=$?
    set +e
    if [ -n "$keeper" ]; then
        kill "$keeper" 2>/dev/null
        wait "$keeper" 2>/dev/null
    fi
    end_session
    local left
    left=$(prefix_processes)
    if [ -n "$left" ]; then
        echo "$left" | xargs -r kill -KILL 2>/dev/null
        echo "FAIL: Wine processes of $prefix were left running"
        status=1
    fi
    if [ "$status" = 0 ] && [ "$passed" = 1 ]; then
        rm -rf "$prefix" "$work"
        echo "WindowsSetup: passed in $((SECONDS - started)) s"
    else
        echo "WindowsSetup: failed after $((SECONDS - started)) s; kept $prefix and $work"
    fi
    exit "$status"
}
trap teardown EXIT
trap 'exit 1' INT TERM HUP

# --------------------------------------------------------------------------------------------
step "prefix: a copy of $build/wineprefix"
if [ -d "$prefix" ]; then
    end_session
fi
rm -rf "$prefix" "$work"
mkdir -p "$work"
: >"$trace"
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
grep -qi 'kronelsvc' "$prefix/system.reg" && fail "$build_prefix has a Kronel service: remove that prefix"
ok "copied"

step "settings: the services' environment, and a server list of the user's own"
for pair in KRONEL_CLOCK=simulated KRONEL_CLOCK_OFFSET=$clock_offset KRONEL_SERVICES=$services; do
    wine_run reg add "$environment_key" /v "${pair%%=*}" /t REG_SZ /d "${pair#*=}" /f >/dev/null ||
        fail "reg add ${pair%%=*}"
done
# The one server is the service's own SNTP server: no name to look up, nothing leaves loopback.
# The setup must keep it (no default servers) and the uninstall must keep it.
entry="$parameters\\Server Details\\local"
wine_run reg add "$entry" /v addr /t REG_SZ /d 127.0.0.1 /f >/dev/null || fail "reg add addr"
wine_run reg add "$entry" /v protocol /t REG_DWORD /d 0 /f >/dev/null || fail "reg add protocol"
wine_run reg add "$entry" /v order /t REG_DWORD /d 0 /f >/dev/null || fail "reg add order"
wine_run reg add "$parameters" /v LogtoEvtlog /t REG_DWORD /d 0 /f >/dev/null || fail "reg add LogtoEvtlog"
end_session
before=$(drive_files)
ok "environment KRONEL_CLOCK=simulated, offset $clock_offset s; server 127.0.0.1; ports $services"

step "install: $(basename "$setup") /S"
# Wine ends its services with the last ordinary process of the prefix: this one holds the
# session open while the service runs.
"${nocap[@]}" "$wine" cmd.exe /c "ping -n 600 127.0.0.1 >nul" </dev/null >"$work/keeper.out" 2>>"$trace" &
keeper=$!
status=0
wine_run "Z:${setup//\//\\}" /S >/dev/null || status=$?
[ "$status" = 0 ] || fail "setup exited with $status"
for program in kronelsvc kronelctl wispsvc wisp95 uninstall; do
    [ -f "$installed/$program.exe" ] || fail "no $install_dir\\$program.exe"
done
desktop=0
[ -f "$installed/kronel.exe" ] && desktop=1
ok "installed in $install_dir: $(ls "$installed" | paste -sd' ')"
[ -f "$menu/Uninstall Kronel.lnk" ] || fail "no Start-menu entry for the uninstaller"
if [ "$desktop" = 1 ]; then
    [ -f "$menu/Kronel.lnk" ] || fail "no Start-menu entry for kronel.exe"
fi
ok "Start menu: $(ls "$menu" | paste -sd',' | sed 's/,/, /g')"
entry_text=$(wine_run reg query "$uninstall_key") || fail "no uninstall entry"
grep -Fq "UninstallString    REG_SZ    \"$install_dir\\uninstall.exe\"" <<<"$entry_text" ||
    fail "uninstall entry: $entry_text"
grep -Fq "DisplayName    REG_SZ    Kronel" <<<"$entry_text" || fail "uninstall entry: $entry_text"
ok "uninstall entry: Kronel, $install_dir\\uninstall.exe"
service=$(wine_run reg query "$service_key") || fail "the service is not registered"
grep -Fq "ImagePath    REG_SZ    \"$install_dir\\kronelsvc.exe\"" <<<"$service" ||
    fail "the service's program: $service"
deadline=$((SECONDS + 20))
until [ "$(wine_run sc query Kronel | awk '$1 == "STATE" { print $4 }')" = RUNNING ]; do
    [ $SECONDS -lt $deadline ] || fail "the service is not RUNNING: $(wine_run sc query Kronel)"
    sleep 0.3
done
ok "service Kronel registered ($install_dir\\kronelsvc.exe) and RUNNING"
servers=$(wine_run "$install_dir\\kronelctl.exe" servers list | cut -f1,2 | tr '\t' ' ')
[ "$servers" = "local 127.0.0.1" ] || fail "the server list after setup: '$servers'"
ok "the user's server list is kept: $servers"
checked=0
service_seen=0
for pid in $(prefix_processes); do
    command=$({ tr '\0' ' ' <"/proc/$pid/cmdline"; } 2>/dev/null || true)
    if holds_sys_time "$pid"; then
        fail "process $pid ($command) holds CAP_SYS_TIME"
    fi
    checked=$((checked + 1))
    [[ "$command" == *kronelsvc.exe* ]] && service_seen=1
done
[ "$service_seen" = 1 ] || fail "the service's process is not among the prefix's processes"
ok "none of the prefix's $checked processes, the service's among them, holds CAP_SYS_TIME"

# The service's SNTP server, asked as a client would; its clock is the simulated one.
offset=$(timeout 30 "${nocap[@]}" python3 - "$ntp_port" <<'PY'
import socket, struct, sys, time
EPOCH = 2208988800
def ntp(t): return int(t + EPOCH) << 32 | int((t % 1) * 2**32)
def sec(v): return (v >> 32) - EPOCH + (v & 0xffffffff) / 2**32
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(1)
for attempt in range(20):
    t1 = time.time()
    s.sendto(bytes([0x1b]) + bytes(39) + struct.pack("!Q", ntp(t1)), ("127.0.0.1", int(sys.argv[1])))
    try:
        reply = s.recv(48)
    except OSError:
        time.sleep(0.5)
        continue
    t4 = time.time()
    t2, t3 = (sec(v) for v in struct.unpack("!QQ", reply[32:48]))
    print("%.3f" % (((t2 - t1) + (t3 - t4)) / 2))
    sys.exit(0)
sys.exit("no answer")
PY
) || fail "no SNTP answer from the service on port $ntp_port"
awk -v o="$offset" -v w="$clock_offset" 'BEGIN { d = o - w; exit !(d > -0.5 && d < 0.5) }' ||
    fail "SNTP offset $offset s, want about $clock_offset"
ok "the service answers SNTP: offset $offset s (its clock is $clock_offset s off)"

step "uninstall: uninstall.exe /S"
# The uninstaller runs on from a copy of itself (~nsuN.tmp\Un.exe) and deletes the files after this
# returns: the session ends once it has finished.
wine_run "$install_dir\\uninstall.exe" /S >/dev/null || fail "uninstall.exe exited with $?"
uninstaller_running() {
    local pid
    for pid in $(prefix_processes); do
        tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q '~nsu[^ ]*Un[^ ]*\.exe' && return 0
    done
    return 1
}
deadline=$((SECONDS + 120))
while uninstaller_running; do
    [ $SECONDS -lt $deadline ] || fail "the uninstaller did not finish in 120 s"
    sleep 0.5
done
# The session ends: the waiting process goes, and the server waits for the rest of Wine.
kill "$keeper" 2>/dev/null
wait "$keeper" 2>/dev/null || true
keeper=
"${nocap[@]}" "$wineserver" -k >/dev/null 2>&1 || true
timeout 60 "${nocap[@]}" "$wineserver" -w >/dev/null 2>&1 || fail "Wine did not end in 60 s"
ok "finished"
[ ! -e "$installed" ] || fail "$install_dir is left: $(ls "$installed")"
[ ! -e "$menu" ] || fail "the Start-menu folder is left: $(ls "$menu")"
wine_run reg query "$service_key" >/dev/null 2>&1 && fail "the service is still registered"
wine_run reg query "$uninstall_key" >/dev/null 2>&1 && fail "the uninstall entry is left"
wine_run reg query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Kronel' >/dev/null 2>&1 &&
    fail "the event source is left"
ok "program folder, Start-menu folder, service, event source and uninstall entry are gone"
[ -f "$saved" ] || fail "the settings were not kept"
tr -d '\0' <"$saved" | tr -d '\r' | grep -q '"addr"="127.0.0.1"' || fail "the kept settings lack the server: $(cat "$saved")"
end_session
left=$(comm -13 <(echo "$before") <(drive_files))
[ "$left" = "$(printf './ProgramData/Kronel\n./ProgramData/Kronel/settings.reg')" ] ||
    fail "left on drive C: besides the settings: $left"
ok "only the settings are left: C:\\ProgramData\\Kronel\\settings.reg"
passed=1
