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

. "$(dirname "$(realpath "$0")")/../wine/lib.sh"
need_args 2 $# "$0 SETUP_EXE BUILD_WIN_DIR"
setup=$(realpath "$1")
need_wine
need_file "$setup" "scripts/package builds it"

wine_prefix WindowsSetup "$(realpath "$2")" setup
clock_offset=-9.25
install_dir='C:\Program Files\Kronel'
installed=$prefix/drive_c/Program\ Files/Kronel
menu=$prefix/drive_c/ProgramData/Microsoft/Windows/Start\ Menu/Programs/Kronel
saved=$prefix/drive_c/ProgramData/Kronel/settings.reg
service_key='HKLM\SYSTEM\CurrentControlSet\Services\Kronel'
parameters="$service_key\\Parameters"
uninstall_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Kronel Service V1.6'
unset KRONEL_REGISTRY KRONEL_CLOCK_PPM KRONEL_TIME_SCALE
check_leftovers=1

ok() { printf 'ok (%3d s): %s\n' "$((SECONDS - started))" "$*"; }

# Loopback ports nothing listens on, one per service the service serves.
ntp_port=$(free_port -u 97)
time_port=$(free_port -t 194)
daytime_port=$(free_port -t 291)
services="ntp/udp=$ntp_port,time/tcp=$time_port,time/udp=$time_port,daytime/tcp=$daytime_port,daytime/udp=$daytime_port"

# The files of the prefix's drive C:, less the temporary folders Wine itself fills.
drive_files() {
    (cd "$prefix/drive_c" && find . \( -iname temp -o -name 'Temporary Internet Files' \) -prune -o -print) |
        sort
}

# --------------------------------------------------------------------------------------------
step "prefix: a copy of $build/wineprefix"
fresh_prefix
no_service_installed
ok "copied"

step "settings: the services' environment, and a server list of the user's own"
services_environment KRONEL_CLOCK=simulated KRONEL_CLOCK_OFFSET=$clock_offset KRONEL_SERVICES=$services
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
keep_session
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
wait_for_state Kronel RUNNING 20 || fail "the service is not RUNNING: $(wine_run sc query Kronel)"
ok "service Kronel registered ($install_dir\\kronelsvc.exe) and RUNNING"
servers=$(wine_run "$install_dir\\kronelctl.exe" servers list | cut -f1,2 | tr '\t' ' ')
[ "$servers" = "local 127.0.0.1" ] || fail "the server list after setup: '$servers'"
ok "the user's server list is kept: $servers"
no_process_sets_the_clock kronelsvc.exe
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
end_keeper
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
