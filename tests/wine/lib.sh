# What every test under Wine shares: its own prefix copied from the build's, the Wine server's
# sessions, the capability drop, the teardown and the waits. Sourced, after `set -euo pipefail`:
#   . "$(dirname "$(realpath "$0")")/lib.sh"
#
# Wine hands SetSystemTime and the clock adjustment to the host, so no process a test starts may
# hold CAP_SYS_TIME (everything goes through $nocap, and each dies with the test), and the
# Windows programs run on the simulated clock.
#
# A script names itself and its prefix with wine_prefix, then may define these hooks, each run
# by the teardown if it exists:
#   before_session_end   stops what the test started (the Wine server ends just after)
#   after_session_end    ends what must outlive Wine's processes (peers, X server)
#   show_failure         prints what helps after a failure (logs, console)
# The Windows program a test runs in the background ($wine_pid) is ended with the session.
# It sets passed=1 as its last step; anything else keeps the prefix and the work folder.

wine=${KRONEL_WINE:-/usr/lib/wine/wine64}
wineserver=${KRONEL_WINESERVER:-/usr/lib/wine/wineserver}
nocap=(setpriv --pdeathsig KILL --inh-caps=-sys_time --bounding-set=-sys_time --)
started=$SECONDS
passed=0
keeper=
wine_pid=
# Set to 1 when no process of the prefix may outlive the test's session (a service test).
check_leftovers=0

# Exits with 2 when the script has fewer than N arguments.
need_args() {  # N COUNT USAGE
    if [ "$2" -lt "$1" ]; then
        echo "usage: $3" >&2
        exit 2
    fi
}

# Exits with 77 (skipped) when there is no Wine here.
need_wine() {
    if [ ! -x "$wine" ] || [ ! -x "$wineserver" ]; then
        echo "SKIP: no Wine at $wine (scripts/setup installs wine64)"
        exit 77
    fi
}

# Fails when the program the test runs has not been built.
need_file() {  # FILE HOW
    [ -f "$1" ] || {
        echo "FAIL: no $1 ($2)"
        exit 1
    }
}

step() { printf '\n== %s\n' "$*"; }
ok() { printf 'ok: %s\n' "$*"; }
fail() {
    printf 'FAIL: %s\n' "$*"
    exit 1
}

# The test's name, its prefix (BUILD/wineprefix-SUFFIX) and its work folder, and the Wine
# environment every process of the test inherits. From here on the teardown runs at the exit.
wine_prefix() {  # NAME BUILD SUFFIX
    test_name=$1
    build=$2
    prefix=$build/wineprefix-$3
    work=$prefix.work
    trace=$work/wine.log
    export WINEPREFIX=$prefix
    export WINEDLLOVERRIDES="mscoree,mshtml="
    export WINEDEBUG=-all
    trap teardown EXIT
    trap 'exit 1' INT TERM HUP
}

# The simulated clock for every program the test starts from here, OFFSET seconds off (none:
# the true time), with the registry Wine's own.
simulated_clock() {  # [OFFSET]
    export KRONEL_CLOCK=simulated
    if [ -n "${1:-}" ]; then
        export KRONEL_CLOCK_OFFSET=$1
    else
        unset KRONEL_CLOCK_OFFSET
    fi
    unset KRONEL_CLOCK_PPM KRONEL_REGISTRY
}

# Ends the prefix's Wine session: the server and every process of it.
end_session() {
    "${nocap[@]}" "$wineserver" -k >/dev/null 2>&1 || true
    timeout 30 "${nocap[@]}" "$wineserver" -w >/dev/null 2>&1 || true
}

# Copies the build's prefix to PREFIX, first making it as cmake/wine-run does when the build's
# tests have not made it yet (some ten seconds), under its lock. Tests running in it meanwhile
# may remove a temporary file under our feet: only the system's files count.
copy_build_prefix() {  # BUILD PREFIX [COPY_LOG]
    local build_prefix=$1/wineprefix
    (
        flock 9
        if [ ! -f "$build_prefix/system.reg" ]; then
            WINEPREFIX=$build_prefix "${nocap[@]}" "$wine" wineboot.exe --init </dev/null >/dev/null 2>&1 || true
            WINEPREFIX=$build_prefix timeout 120 "${nocap[@]}" "$wineserver" -w </dev/null >/dev/null 2>&1 || true
        fi
        rm -rf "$2"
        cp -a "$build_prefix" "$2" 2>>"${3:-/dev/null}" || true
    ) 9>"$build_prefix.lock"
    [ -f "$2/system.reg" ] || fail "the copy of $build_prefix lacks system.reg"
}

# A fresh prefix and work folder for this run; a prefix left by an earlier run may still have
# its server running.
fresh_prefix() {
    if [ -d "$prefix" ]; then
        end_session
    fi
    rm -rf "$prefix" "$work"
    mkdir -p "$work"
    : >"$trace"
    copy_build_prefix "$build" "$prefix" "$work/copy.log"
}

# The session starts every automatic service of the prefix before the test's settings are in:
# none of them may be kronelsvc.exe.
no_service_installed() {
    if grep -qi 'kronelsvc' "$prefix/system.reg"; then
        fail "$build/wineprefix has a service of kronelsvc.exe installed: remove that prefix"
    fi
}

# Runs a Windows program of the prefix; prints its output without carriage returns. Standard
# output goes to a file, not to a pipe: a program that starts the wine server hands its
# standard handles on to the server's system processes, which keep them open.
wine_run() {
    local status=0
    "${nocap[@]}" "$wine" "$@" </dev/null >"$work/out" 2>>"$trace" || status=$?
    tr -d '\r' <"$work/out"
    return "$status"
}

# Imports a .reg file of the host's file system (Wine's drive Z: is its root).
reg_import() {  # FILE
    "${nocap[@]}" "$wine" reg import "Z:${1//\//\\}" </dev/null >"$work/reg.out" 2>&1 ||
        fail "reg import: $(cat "$work/reg.out")"
}

# The same for a REGEDIT4 file, through regedit, which says nothing either way.
regedit_import() {  # FILE
    "${nocap[@]}" "$wine" regedit /S "Z:${1//\//\\}" </dev/null >/dev/null 2>&1
}

# The services' environment, which the service manager reads once, when it first starts a
# service: written in a session before the service's, it gives the service its clock and ports.
environment_key='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'
services_environment() {  # NAME=VALUE...
    local pair
    for pair in "$@"; do
        wine_run reg add "$environment_key" /v "${pair%%=*}" /t REG_SZ /d "${pair#*=}" /f >/dev/null ||
            fail "reg add ${pair%%=*}"
    done
}

# Wine ends the services when the last ordinary process of the prefix exits: this one holds
# the session open for the length of the test, and the teardown ends it.
keep_session() {
    "${nocap[@]}" "$wine" cmd.exe /c "ping -n 600 127.0.0.1 >nul" </dev/null >"$work/keeper.out" 2>>"$trace" &
    keeper=$!
}

end_keeper() {
    if [ -n "$keeper" ]; then
        kill "$keeper" 2>/dev/null || true
        wait "$keeper" 2>/dev/null || true
    fi
    keeper=
}

# The processes of this prefix: every one whose environment names it (the search itself
# without that name, or it would find itself).
prefix_processes() {
    local list
    list=$(env -u WINEPREFIX grep -lzxF "WINEPREFIX=$prefix" /proc/[0-9]*/environ 2>/dev/null || true)
    list=${list//\/proc\//}
    echo "${list//\/environ/}"
}

# Whether a process holds CAP_SYS_TIME (bit 25) in any set it could use or hand on.
holds_sys_time() {  # PID
    local field value
    for field in CapEff CapPrm CapInh CapBnd CapAmb; do
        value=$(awk -v f="$field:" '$1 == f { print $2 }' "/proc/$1/status" 2>/dev/null)
        [ -n "$value" ] && (((16#$value >> 25) & 1)) && return 0
    done
    return 1
}

# Fails when a process of the prefix holds CAP_SYS_TIME, or when none of them runs PROGRAM;
# `checked` is how many there were.
no_process_sets_the_clock() {  # [PROGRAM]
    local pid command seen=0
    checked=0
    for pid in $(prefix_processes); do
        command=$({ tr '\0' ' ' <"/proc/$pid/cmdline"; } 2>/dev/null || true)
        holds_sys_time "$pid" && fail "process $pid ($command) holds CAP_SYS_TIME"
        checked=$((checked + 1))
        [ -n "${1:-}" ] && [[ "$command" == *"$1"* ]] && seen=1
    done
    if [ -n "${1:-}" ] && [ "$seen" = 0 ]; then
        fail "the service's process is not among the prefix's processes"
    fi
    return 0
}

# A loopback port nothing listens on, for the protocol given ("-t" or "-u"); N spreads the
# ports one test asks for.
free_port() {  # -t|-u N
    local port=$((20000 + ($$ + $2) % 20000))
    if command -v ss >/dev/null; then
        while [ -n "$(ss -Hln "$1" "sport = :$port" 2>/dev/null)" ]; do
            port=$((port + 1))
        done
    fi
    echo "$port"
}

# Runs COMMAND every fifth of a second until it succeeds; status 1 when SECONDS have passed.
# With --alive, fails at once when process PID (NAME) has ended.
wait_until() {  # [--alive PID NAME] SECONDS COMMAND...
    local pid='' name=''
    if [ "$1" = --alive ]; then
        pid=$2
        name=$3
        shift 3
    fi
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        if [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null; then
            fail "$name ended early"
        fi
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.2
    done
}

# Whether FILE (carriage returns dropped) has a line matching the extended regular expression.
# grep reads to the end (no -q), so the pipe never ends early.
has_line() {  # FILE PATTERN
    { tr -d '\r' <"$1" | grep -E -- "$2" >/dev/null; } 2>/dev/null
}

# Waits up to 30 s for kronelsvc.exe debug, writing OUT, to listen on its first receiver's
# PORT (KIND: the receiver's name in "Listening for KIND messages"); fails when it cannot open
# the port. Status 1: it did not start.
listening_or_failed() {  # OUT KIND PORT
    wait_until 30 listening_or_cannot_open "$1" "$2" || true
    has_line "$1" "Can't open port" && fail "kronelsvc.exe could not open $3"
    has_line "$1" "Listening for $2 messages"
}
listening_or_cannot_open() {  # OUT KIND
    has_line "$1" "Listening for $2 messages" || has_line "$1" "Can't open port"
}

# The state of a service, as sc query shows it.
service_state() {  # NAME
    wine_run sc query "$1" | awk '$1 == "STATE" { print $4 }'
}

# The states seen while waiting, each once in a row.
states=()
note_state() {
    if [ -n "$1" ] && { [ ${#states[@]} = 0 ] || [ "${states[-1]}" != "$1" ]; }; then
        states+=("$1")
    fi
}

# Polls sc query until service NAME is in STATE, for at most SECONDS, noting every state seen.
wait_for_state() {  # NAME STATE SECONDS
    local deadline=$((SECONDS + $3)) state
    while :; do
        state=$(service_state "$1")
        note_state "$state"
        [ "$state" = "$2" ] && return 0
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.2
    done
}

# The manager drops a deleted service once the last handle to it is closed, which may come a
# moment after the program that deleted it has returned.
wait_until_service_gone() {  # NAME
    local _
    for _ in $(seq 1 20); do
        wine_run sc query "$1" >/dev/null || return 0
        sleep 0.5
    done
    return 1
}

teardown() {
    local status=$? left
    set +e
    declare -F before_session_end >/dev/null && before_session_end
    [ -n "$wine_pid" ] && kill "$wine_pid" 2>/dev/null
    end_keeper
    end_session
    [ -n "$wine_pid" ] && wait "$wine_pid" 2>/dev/null
    declare -F after_session_end >/dev/null && after_session_end
    if [ "$check_leftovers" = 1 ]; then
        left=$(prefix_processes)
        if [ -n "$left" ]; then
            # Nothing of this prefix may run on unseen.
            echo "$left" | xargs -r kill -KILL 2>/dev/null
            echo "FAIL: Wine processes of $prefix were left running: $(tr '\n' ' ' <<<"$left")"
            status=1
        elif [ "$status" = 0 ]; then
            ok "no Wine process of the prefix is left"
        fi
    fi
    # The wine server's socket folder for this prefix (Debian keeps its location in the prefix).
    local where server
    where=$(cat "$prefix/wineserver" 2>/dev/null || echo ".wine-$(id -u)")
    server=${TMPDIR:-/tmp}/$where/server-$(stat -c %D "$prefix" 2>/dev/null)-$(printf %x "$(stat -c %i "$prefix" 2>/dev/null || echo 0)")
    if [ -d "$server" ] && [ ! -S "$server/socket" ]; then
        rm -rf "$server"
    fi
    if [ "$status" = 0 ] && [ "$passed" = 1 ]; then
        rm -rf "$prefix" "$work"
        echo "$test_name: passed in $((SECONDS - started)) s"
    else
        echo "$test_name: failed after $((SECONDS - started)) s; kept $prefix and $work"
        declare -F show_failure >/dev/null && show_failure
    fi
    exit "$status"
}
