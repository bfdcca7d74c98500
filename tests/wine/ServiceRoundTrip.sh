#!/usr/bin/env bash
# kronelsvc.exe in Wine's service manager, the whole way round: settings, "add", start, the
# engine running on the simulated clock, stop, "cleanup", and no Wine process left behind.
#   ServiceRoundTrip.sh KRONELSVC_EXE BUILD_DIR [WINDRES]
# The Wine prefix is the test's own (BUILD_DIR/wineprefix-service), made afresh each run as a
# copy of the build's prefix when there is one. Exit code 77: no Wine here (skipped).
#
# Wine hands SetSystemTime and the clock adjustment to the host, so:
#  - no Wine process of this test can ever hold CAP_SYS_TIME (every call goes through setpriv,
#    and the test checks the capability sets of the prefix's processes);
#  - the service must use the simulated clock. The service manager starts services with the
#    system environment of the registry (Session Manager\Environment), read once when it first
#    starts a service, not with the environment of the Wine processes: so KRONEL_CLOCK goes
#    into the registry in a session of its own, before the session that runs the service. The
#    service's first log line says which clock it uses; a "system clock" there stops it at once.
set -euo pipefail

. "$(dirname "$(realpath "$0")")/lib.sh"
need_args 2 $# "$0 KRONELSVC_EXE BUILD_DIR [WINDRES]"
exe=$(realpath "$1")
windres=${3:-}
need_wine
need_file "$exe" "build it first"

wine_prefix ServiceRoundTrip "$(realpath "$2")" service
log=$prefix/drive_c/kronel.log
service_key='HKLM\SYSTEM\CurrentControlSet\Services\Kronel'
parameters="$service_key\\Parameters"
event_source_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Kronel'
control_panel_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Control Panel\Extended Properties\{305CA226-D286-468e-B848-2B2E8E697B74} 2'
message_file='%SystemRoot%\System32\kronel.cpl'
install_dir='C:\Program Files\Kronel'
clock_offset=7.5
clock_line='Info : Kronel Using simulated clock, offset +7.500 s'

# Exported before any Wine process of the prefix starts: the verbs run from here ("add",
# "cleanup") inherit them. The service gets them from the registry (see above).
# The service's status reports and its (stubbed) event-log reports, in the trace.
export WINEDEBUG=-all,+service,fixme+advapi
simulated_clock $clock_offset
# An SNTP port on loopback where nothing answers: the client only shows that the engine runs.
port=$(free_port -u 0)
export KRONEL_SERVICES=ntp/udp=$port

service_may_run=0
check_leftovers=1
before_session_end() {
    if [ "$service_may_run" = 1 ]; then
        wine_run sc stop Kronel >/dev/null
    fi
}
show_failure() {
    if [ -f "$log" ]; then
        echo "--- $log"
        tr -d '\r' <"$log"
    fi
    if [ -f "$trace" ]; then
        echo "--- Kronel's lines of $trace"
        grep -E 'SetServiceStatus [0-9A-Fa-f]+ 0x10 |ReportEventA|L"Kronel"|err:' "$trace" | tail -40
    fi
}

# --------------------------------------------------------------------------------------------
step "prefix: $prefix"
fresh_prefix
for file in user.reg drive_c/windows/system32/services.exe; do
    [ -f "$prefix/$file" ] || fail "the copy of $build/wineprefix lacks $file"
done
no_service_installed
ok "copied from $build/wineprefix ($((SECONDS - started)) s)"

# --------------------------------------------------------------------------------------------
step "settings: the services' environment and the service's parameters (reg add)"
services_environment KRONEL_CLOCK=simulated KRONEL_CLOCK_OFFSET=$clock_offset KRONEL_SERVICES=$KRONEL_SERVICES
# No server that needs a privileged port; the log to a file, not to the event log.
for name in TCPServer UDPServer 867TCPServer 867UDPServer SNTPServer LogtoEvtlog; do
    wine_run reg add "$parameters" /v "$name" /t REG_DWORD /d 0 /f >/dev/null || fail "reg add $name"
done
wine_run reg add "$parameters" /v Logtofile /t REG_DWORD /d 1 /f >/dev/null || fail "reg add Logtofile"
wine_run reg add "$parameters" /v Logfile /t REG_SZ /d 'C:\kronel.log' /f >/dev/null ||
    fail "reg add Logfile"
entry="$parameters\\Server Details\\local"
wine_run reg add "$entry" /v addr /t REG_SZ /d 127.0.0.1 /f >/dev/null || fail "reg add addr"
wine_run reg add "$entry" /v protocol /t REG_DWORD /d 0 /f >/dev/null || fail "reg add protocol"
wine_run reg add "$entry" /v order /t REG_DWORD /d 0 /f >/dev/null || fail "reg add order"
ok "written; SNTP entry 127.0.0.1, port $port (nothing answers there)"
# The service manager reads the environment when it first starts a service: a new session.
end_session
ok "first session ended ($((SECONDS - started)) s)"

# --------------------------------------------------------------------------------------------
step "session: one ordinary Wine process for the length of the test"
# Wine ends the services when the last ordinary process of the prefix exits. This one starts
# the session, so the service manager and the service write their trace where it does.
keep_session
environment=$(wine_run reg query "$environment_key" /v KRONEL_CLOCK) || fail "reg query KRONEL_CLOCK"
grep -Eq 'KRONEL_CLOCK +REG_SZ +simulated$' <<<"$environment" ||
    fail "the services' environment has no KRONEL_CLOCK=simulated: $environment"
kill -0 "$keeper" 2>/dev/null || fail "the waiting Wine process has ended"
ok "session up, services' environment has KRONEL_CLOCK=simulated ($((SECONDS - started)) s)"

# --------------------------------------------------------------------------------------------
step "install: kronelsvc.exe add"
mkdir -p "$prefix/drive_c/Program Files/Kronel"
cp "$exe" "$prefix/drive_c/Program Files/Kronel/kronelsvc.exe"
status=0
output=$(wine_run "$install_dir\\kronelsvc.exe" add) || status=$?
[ "$status" = 1 ] || fail "add exited with $status (want 1): $output"
[ "$output" = "Service installed" ] || fail "add printed: $output"
ok "Service installed"

# Wine's sc has no "qc": the service manager's own registry key says the same.
service=$(wine_run reg query "$service_key") || fail "no service key"
expect_value() {
    local text=$1 name=$2 type=$3 value=$4
    grep -Fxq "    $name    $type    $value" <<<"$text" ||
        fail "want $name $type '$value' in: $text"
}
expect_value "$service" DisplayName REG_SZ "Kronel time service"
expect_value "$service" Start REG_DWORD 0x2
expect_value "$service" Type REG_DWORD 0x10
expect_value "$service" ErrorControl REG_DWORD 0x1
expect_value "$service" DependOnService REG_MULTI_SZ Tcpip
expect_value "$service" ObjectName REG_SZ LocalSystem
# A path with a blank is quoted, or the manager would look for "C:\Program.exe".
expect_value "$service" ImagePath REG_SZ "\"$install_dir\\kronelsvc.exe\""
expect_value "$service" Description REG_SZ \
    "Synchronizes the time on this PC and provides time services to other computers, Linux, Windows, Etc."
ok "service: automatic start, own process, depends on Tcpip, LocalSystem, quoted path, description"
source=$(wine_run reg query "$event_source_key") || fail "no event source key"
expect_value "$source" EventMessageFile REG_SZ "$message_file"
expect_value "$source" TypesSupported REG_DWORD 0x7
ok "event source: EventMessageFile $message_file, TypesSupported 7"
category=$(wine_run reg query "$control_panel_key") || fail "no control panel key"
expect_value "$category" "$message_file" REG_DWORD 0x6
ok "control panel: date and time category (6)"
state=$(service_state Kronel)
[ "$state" = STOPPED ] || fail "after add the service is '$state', not STOPPED"
ok "sc query: STOPPED"

# --------------------------------------------------------------------------------------------
step "start: sc start Kronel"
# The service's reports follow this line of the trace; "add" before it does not run the engine,
# so its own line went to the event log of a store it did not read.
service_trace_from=$(($(wc -l <"$trace") + 1))
since=$(stat -c %s "$log" 2>/dev/null || echo 0)
service_log() { tail -c +$((since + 1)) "$log" 2>/dev/null | tr -d '\r'; }
service_may_run=1
output=$(wine_run sc start Kronel) || fail "sc start failed: $output"
note_state "$(awk '$1 == "STATE" { print $4 }' <<<"$output")"

# Before anything else: the clock the service uses.
clock_line_seen() { service_log | grep -E 'Using (simulated|system) clock' >/dev/null; }
wait_until 15 clock_line_seen || fail "no clock line from the service in $log"
first=$(service_log | grep -m1 -E 'Using (simulated|system) clock')
if [[ "$first" == *"Using system clock"* ]]; then
    wine_run sc stop Kronel >/dev/null || true
    fail "the service uses the system clock (stopped at once): $first"
fi
[ "$(service_log | head -n1)" = "$first" ] ||
    fail "the service's first log line is not its clock line: $(service_log | head -n1)"
[[ "$first" == *"$clock_line" ]] || fail "want '$clock_line', got: $first"
ok "first line: ${first#* * }"

no_process_sets_the_clock kronelsvc.exe
ok "none of the prefix's $checked processes, the service's among them, holds CAP_SYS_TIME"

wait_for_state Kronel RUNNING 15 || fail "not RUNNING within 15 s; states seen: ${states[*]}"
[ "${states[*]}" = "START_PENDING RUNNING" ] || [ "${states[*]}" = "RUNNING" ] ||
    fail "states seen while starting: ${states[*]}"
ok "states seen: ${states[*]}"

source_started() { service_log | grep 'Info : SNTP Client connecting to 127.0.0.1' >/dev/null; }
wait_until 15 source_started || fail "the engine did not start its source: $(service_log)"
ok "engine running: $(service_log | grep -m1 'connecting to 127.0.0.1' | sed 's/^[^ ]* [^ ]* //')"

# --------------------------------------------------------------------------------------------
step "stop: sc stop Kronel"
states=()
output=$(wine_run sc stop Kronel) || fail "sc stop failed: $output"
note_state "$(awk '$1 == "STATE" { print $4 }' <<<"$output")"
wait_for_state Kronel STOPPED 40 || fail "not STOPPED within 40 s; states seen: ${states[*]}"
service_may_run=0
[ "${states[*]}" = "STOP_PENDING STOPPED" ] || [ "${states[*]}" = "STOPPED" ] ||
    fail "states seen while stopping: ${states[*]}"
ok "states seen: ${states[*]} (the trace below shows every report)"

# The service's own reports, in order, as Wine traced them: status (state, controls accepted,
# check point, wait hint) and event-log reports (type, identifier).
reports=$(awk '
    /:SetServiceStatus [0-9A-Fa-f]+ 0x10 / { print "status", $4, $5, $8, $9 }
    /:ReportEventA \(/ { split($0, f, ","); print "event", f[2], f[4] }' \
    <(tail -n +"$service_trace_from" "$trace"))
expected='status 0x2 0 0x1 0xbb8
status 0x2 0 0x2 0xbb8
event 0x0004 0x00000003
status 0x4 0x1 0 0
status 0x3 0x1 0x3 0x88b8
event 0x0004 0x00000007
status 0x1 0x1 0 0'
[ "$reports" = "$expected" ] || fail "the service reported:
$reports
want:
$expected"
ok "reports: start pending (check points 1, 2; wait hint 3000 ms), event 3, running,"
ok "         stop pending (check point 3; wait hint 35000 ms), event 7, stopped"

# --------------------------------------------------------------------------------------------
step "remove: kronelsvc.exe cleanup"
status=0
output=$(wine_run "$install_dir\\kronelsvc.exe" cleanup) || status=$?
[ "$status" = 1 ] || fail "cleanup exited with $status (want 1): $output"
[ "$output" = "Kronel removed." ] || fail "cleanup printed: $output"
ok "Kronel removed."
wait_until_service_gone Kronel || fail "sc query still finds the service 10 s after cleanup"
ok "sc query: no such service"
if wine_run reg query "$service_key" >/dev/null 2>&1; then
    fail "the service key is still there"
fi
if wine_run reg query "$event_source_key" >/dev/null 2>&1; then
    fail "the event source key is still there"
fi
ok "service key and event source key are gone"

# --------------------------------------------------------------------------------------------
windres=$(command -v "$windres" || true)
if [ -n "$windres" ]; then
    step "message table of kronelsvc.exe"
    table=$("$windres" -i "$exe" -O rc 2>/dev/null) || fail "$windres cannot read $exe"
    for id in 3 7; do
        grep -qx "   MessageId = 0x$id" <<<"$table" || fail "no message $id in kronelsvc.exe"
    done
    grep -qF 'The Kronel time service has started.' <<<"$table" || fail "no text of message 3"
    grep -qF 'The Kronel time service has stopped.' <<<"$table" || fail "no text of message 7"
    ok "messages 3 and 7 are in kronelsvc.exe"
fi

step "end of session"
passed=1
