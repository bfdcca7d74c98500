#!/usr/bin/env bash
# The Debian packages as a user gets them: lintian, the security score of the units, and this
# machine's own system booted in a throw-away container (systemd-nspawn), where the packages are
# installed, run, checked and purged.
#   DebianPackages.sh DIST_DIR
# Exit code 77: this machine cannot boot a container (skipped; the reason is printed).
#
# Nothing here may reach this machine's clock or its system: the container sees / through a
# volatile overlay, has no CAP_SYS_TIME and no network but its own loopback, and the services
# run on the simulated clock through a drop-in written before they are installed.
set -euo pipefail

if [ $# -lt 1 ]; then
    echo "usage: $0 DIST_DIR" >&2
    exit 2
fi
dist=$(realpath "$1")
# Highest scores of systemd-analyze security accepted: the figures reached today, so that a
# change that loosens a unit fails here.
kronel_score_limit=2.3
wisp_score_limit=2.0
kronel_offset=-42.5
wisp_offset=17.25

started=$SECONDS
ok() { printf 'ok (%3d s): %s\n' "$((SECONDS - started))" "$*"; }
step() { printf '\n== %s\n' "$*"; }
fail() {
    printf 'FAIL: %s\n' "$*"
    exit 1
}
skip() {
    printf 'SKIP: %s\n' "$*"
    exit 77
}

kronel_deb=$(ls "$dist"/kronel_*.deb 2>/dev/null | head -n1)
wisp_deb=$(ls "$dist"/kronel-wisp_*.deb 2>/dev/null | head -n1)
desktop_deb=$(ls "$dist"/kronel-desktop_*.deb 2>/dev/null | head -n1 || true)
[ -n "$kronel_deb" ] && [ -n "$wisp_deb" ] || fail "no kronel and kronel-wisp packages in $dist"

# Outside /tmp: the container has a /tmp of its own, and sees the rest of / as it is.
work=$(mktemp -d /var/tmp/kronel-packages.XXXXXX)
nspawn=
init=
lintian_pid=
made_cgroups=()
units_load_marker=/run/systemd/systemd-units-load
[ -e "$units_load_marker" ] && units_load_marker_was_there=1 || units_load_marker_was_there=0

cleanup() {
    local status=$?
    set +e
    [ -n "$lintian_pid" ] && kill "$lintian_pid" 2>/dev/null && wait "$lintian_pid" 2>/dev/null
    if [ -n "$init" ] && kill -0 "$init" 2>/dev/null; then
        kill -RTMIN+4 "$init" 2>/dev/null # systemd's power-off request
    fi
    if [ -n "$nspawn" ]; then
        for _ in $(seq 1 100); do
            kill -0 "$nspawn" 2>/dev/null || break
            sleep 0.2
        done
        if kill -0 "$nspawn" 2>/dev/null; then
            echo "the container did not power off in 20 s: killed"
            kill -KILL "$nspawn"
            status=1
        fi
        wait "$nspawn" 2>/dev/null
    fi
    # What the container leaves on the host: empty cgroups and nspawn's run-time folders.
    local dir
    for dir in "${made_cgroups[@]}"; do
        [ -d "$dir" ] && find "$dir" -depth -type d -exec rmdir {} + 2>/dev/null
        [ -d "$dir" ] && echo "cgroup $dir is left (not empty)" && status=1
    done
    rm -rf /run/systemd/nspawn
    [ "$units_load_marker_was_there" = 1 ] || rm -f "$units_load_marker"
    rmdir "$work/root" 2>/dev/null
    if [ "$status" = 0 ]; then
        rm -rf "$work"
        echo "DebianPackages: passed in $((SECONDS - started)) s"
    else
        if [ -f "$work/nspawn.log" ]; then
            echo "--- container console (last lines)"
            tail -n 30 "$work/nspawn.log"
        fi
        echo "DebianPackages: failed after $((SECONDS - started)) s; kept $work"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# lintian takes a while: it runs beside the rest and is waited for at the end.
lintian --fail-on error,warning --tag-display-limit 0 "$dist"/*.deb >"$work/lintian.out" 2>&1 &
lintian_pid=$!

# --------------------------------------------------------------------------------------------
step "security score of the units (systemd-analyze security --offline=true)"
score() {
    local deb=$1 unit=$2 limit=$3
    mkdir -p "$work/units"
    dpkg-deb --fsys-tarfile "$deb" | tar -xO "./lib/systemd/system/$unit" >"$work/units/$unit" ||
        fail "$(basename "$deb") has no $unit"
    local text value
    text=$(systemd-analyze security --offline=true "$work/units/$unit" 2>&1) ||
        fail "systemd-analyze security $unit: $text"
    value=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' <<<"$text")
    [ -n "$value" ] || fail "no score for $unit: $text"
    echo "$unit: exposure $value"
    awk -v v="$value" -v l="$limit" 'BEGIN { exit !(v <= l) }' ||
        fail "$unit scores $value, above $limit: $(grep '✗' <<<"$text")"
}
score "$kronel_deb" kronel.service "$kronel_score_limit"
score "$wisp_deb" wisp.service "$wisp_score_limit"
ok "scores within $kronel_score_limit (kronel) and $wisp_score_limit (wisp)"

# --------------------------------------------------------------------------------------------
step "container: this machine's system under a volatile overlay"
[ "$(id -u)" = 0 ] || skip "booting a container needs root"
for tool in systemd-nspawn nsenter unshare systemctl; do
    command -v "$tool" >/dev/null || skip "no $tool (scripts/setup installs systemd-container)"
done
[ -x /lib/systemd/systemd ] || skip "no systemd in this machine's system to boot"
if [ -d /sys/fs/cgroup/unified ]; then
    cgroup_root=/sys/fs/cgroup/unified
elif [ "$(stat -f -c %T /sys/fs/cgroup 2>/dev/null)" = cgroup2fs ]; then
    cgroup_root=/sys/fs/cgroup
else
    skip "no cgroup2 hierarchy for the container's systemd"
fi
# The cgroups nspawn makes beside its own: the empty ones are removed afterwards.
own=$(awk -F: '$1 == "0" { print $3 }' /proc/self/cgroup)
for base in "$cgroup_root${own%/}" "/sys/fs/cgroup/systemd$(awk -F: '$2 == "name=systemd" { print $3 }' /proc/self/cgroup | sed 's:/$::')"; do
    for name in payload supervisor; do
        if [ -d "$base/$name" ]; then fail "$base/$name exists already: another container runs here?"; fi
        made_cgroups+=("$base/$name")
    done
done

# Time daemons and every other service this machine starts stay off in the container.
masks=(chrony.service systemd-timesyncd.service ntpsec.service openntpd.service ntp.service)
while read -r unit _; do
    case "$unit" in
        *.service | *.timer | *.socket) masks+=("$unit") ;;
    esac
done < <(systemctl list-unit-files --root=/ --state=enabled --no-legend 2>/dev/null)
for script in /etc/rc[2-5].d/S*; do
    name=$(basename "$script" | sed 's/^S[0-9]*//')
    [ -e "/lib/systemd/system/$name.service" ] || [ -e "/etc/systemd/system/$name.service" ] ||
        masks+=("$name.service")
done
kernel_args=()
for unit in $(printf '%s\n' "${masks[@]}" | sort -u); do
    kernel_args+=("systemd.mask=$unit")
done

mkdir -p "$work/root"
# A private mount namespace: the bind of / (without what is mounted below it) is the
# container's lower layer and vanishes with it.
unshare -m --propagation private -- sh -c 'mount --bind / "$1" && shift && exec "$@"' sh \
    "$work/root" env SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 \
    systemd-nspawn -D "$work/root" --volatile=overlay --private-network \
    --drop-capability=CAP_SYS_TIME --register=no --keep-unit --system-call-filter=bpf \
    --console=passive --quiet -b "${kernel_args[@]}" >"$work/nspawn.log" 2>&1 &
nspawn=$!
boot_started=$SECONDS
deadline=$((SECONDS + 30))
while [ -z "$init" ]; do
    init=$(pgrep -P "$nspawn" -x systemd || true)
    [ -n "$init" ] && break
    kill -0 "$nspawn" 2>/dev/null || fail "systemd-nspawn ended: $(tail -n 5 "$work/nspawn.log")"
    [ $SECONDS -lt $deadline ] || fail "no systemd in the container after 30 s"
    sleep 0.1
done
inside() { nsenter -t "$init" -m -u -i -n -p -C -- "$@"; }
# Until its manager listens, systemctl finds no bus.
deadline=$((SECONDS + 60))
while :; do
    state=$(timeout 60 nsenter -t "$init" -m -u -i -n -p -C -- systemctl is-system-running --wait 2>&1 || true)
    case "$state" in
        running | degraded | maintenance | stopping | offline) break ;;
    esac
    [ $SECONDS -lt $deadline ] || break
    sleep 0.1
done
[ "$state" = running ] || fail "the container's system is '$state': $(inside systemctl --failed --no-legend 2>&1)"
ok "running after $((SECONDS - boot_started)) s, ${#kernel_args[@]} units masked"
bounding=$(awk '$1 == "CapBnd:" { print $2 }' "/proc/$init/status")
(((16#$bounding >> 25) & 1)) && fail "the container's init holds CAP_SYS_TIME"
ok "the container's init has no CAP_SYS_TIME"

# --------------------------------------------------------------------------------------------
step "container: ready for the packages"
cp "$kronel_deb" "$wisp_deb" ${desktop_deb:+"$desktop_deb"} "$work/"
inside rm -f /usr/sbin/policy-rc.d
# Rebuilding the manual-page index after each package is slow and beside the point.
inside rm -f /var/lib/man-db/auto-update
# A fresh machine's state: no store or log left by programs run on this one.
inside rm -rf /var/lib/kronel /var/lib/private/kronel /var/log/kronel /var/log/private/kronel
if inside dpkg-query -W -f='${Status}' chrony 2>/dev/null | grep -q "install ok installed"; then
    inside env DEBIAN_FRONTEND=noninteractive dpkg --purge chrony >"$work/chrony-purge.log" 2>&1 ||
        fail "dpkg --purge chrony: $(cat "$work/chrony-purge.log")"
fi
# The container's network is its loopback alone: give multicast a way (the SNTP servers join
# 224.0.1.1), as a machine's default route would.
inside ip link set lo up
inside ip route add 224.0.0.0/4 dev lo
# The simulated clock for both services, in place before any of them can start.
dropins() {
    inside mkdir -p /etc/systemd/system/kronel.service.d /etc/systemd/system/wisp.service.d
    printf '[Service]\nEnvironment=KRONEL_CLOCK=simulated KRONEL_CLOCK_OFFSET=%s\n' "$kronel_offset" |
        inside tee /etc/systemd/system/kronel.service.d/simulated-clock.conf >/dev/null
    printf '[Service]\nEnvironment=KRONEL_CLOCK=simulated KRONEL_CLOCK_OFFSET=%s\n' "$wisp_offset" |
        inside tee /etc/systemd/system/wisp.service.d/simulated-clock.conf >/dev/null
}
dropins
# The files a maintainer script or the service could leave, to compare after each purge: the
# writable parts of the system (less what comes and goes on its own: caches, dpkg's and apt's
# records, the journal) and the top of /root. The packaged files are checked one by one.
snapshot() {
    inside find /etc /var /opt /srv /usr/local /home -xdev \( -path /var/log/journal \
        -o -path /var/cache -o -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/tmp \
        -o -path /var/lib/systemd/catalog -o -path /var/lib/ucf \) -prune -o -print
    inside find /root -xdev -maxdepth 2
}
snapshot | sort >"$work/before"
ok "policy-rc.d and chrony removed, simulated-clock drop-ins written, $(wc -l <"$work/before") paths noted"

# The installed unit is the very text "kronelsvc add" writes.
same_unit_as_add() {
    local program=$1 unit=$2
    inside rm -rf /var/tmp/unit-check
    inside mkdir -p /var/tmp/unit-check
    inside env KRONEL_UNIT_DIR=/var/tmp/unit-check KRONEL_REGISTRY=/var/tmp/unit-check/r.reg \
        WISP_CONFIG_DIR=/var/tmp/unit-check "$program" add >/dev/null || true
    inside cmp "/lib/systemd/system/$unit" "/var/tmp/unit-check/$unit" ||
        fail "the packaged $unit differs from what $program add writes: $(inside diff "/lib/systemd/system/$unit" "/var/tmp/unit-check/$unit")"
    inside rm -rf /var/tmp/unit-check
}

# The process id on this side of a process id in the container.
host_pid() {
    local inner=$1 namespace status
    namespace=$(readlink "/proc/$init/ns/pid")
    for status in /proc/[0-9]*/status; do
        if awk -v p="$inner" '$1 == "NSpid:" && $NF == p { found = 1 } END { exit !found }' \
            "$status" 2>/dev/null; then
            local pid=${status#/proc/}
            pid=${pid%/status}
            if [ "$(readlink "/proc/$pid/ns/pid" 2>/dev/null)" = "$namespace" ]; then
                echo "$pid"
                return 0
            fi
        fi
    done
    return 1
}

# Waits for the unit to be active; its main process id, as seen from here.
active_main_pid() {
    local unit=$1 deadline=$((SECONDS + 20)) pid
    while :; do
        pid=$(inside systemctl show -p MainPID --value "$unit")
        if [ "$(inside systemctl is-active "$unit" || true)" = active ] && [ "${pid:-0}" != 0 ]; then
            host_pid "$pid" && return 0
        fi
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.1
    done
}

# The offset an SNTP client measures against the server on the container's port 123: ntpdig
# (a query only) where it takes the server, else the same four-timestamp sum by hand (ntpdig
# passes over a server that says it is not synchronised).
sntp_offset() {
    local out
    if out=$(inside timeout 20 ntpdig -j -t 2 127.0.0.1 2>/dev/null); then
        python3 -c 'import json, sys; print(json.loads(sys.argv[1])["offset"], "ntpdig")' "$out"
        return 0
    fi
    inside timeout 20 python3 -c '
import socket, struct, sys, time
EPOCH = 2208988800
def ntp(t): return int(t + EPOCH) << 32 | int((t % 1) * 2**32)
def sec(v): return (v >> 32) - EPOCH + (v & 0xffffffff) / 2**32
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(2)
for attempt in range(5):
    t1 = time.time()
    s.sendto(bytes([0x1b]) + bytes(39) + struct.pack("!Q", ntp(t1)), ("127.0.0.1", 123))
    try:
        reply = s.recv(48)
    except socket.timeout:
        continue
    t4 = time.time()
    t2, t3 = (sec(v) for v in struct.unpack("!QQ", reply[32:48]))
    print(((t2 - t1) + (t3 - t4)) / 2, "query (stratum %d, LI %d)" % (reply[1], reply[0] >> 6))
    sys.exit(0)
sys.exit("no answer")
'
}

# Capability sets of a process, "Eff Prm Bnd Amb".
capabilities() {
    awk '$1 ~ /^Cap(Eff|Prm|Bnd|Amb):$/ { sub(":", "", $1); printf "%s=%s ", $1, $2 }' "/proc/$1/status"
}
expect_capabilities() {
    local pid=$1 want=$2 names=$3 field value
    for field in CapEff CapPrm CapBnd CapAmb; do
        value=$(awk -v f="$field:" '$1 == f { print $2 }' "/proc/$pid/status")
        [ $((16#$value)) = $((want)) ] || fail "$field of $pid is $value, want only $names: $(capabilities "$pid")"
    done
}

# What the service's user may write where, seen in the service's own mount namespace.
writable() {
    local pid=$1 path=$2 uid gid
    uid=$(awk '$1 == "Uid:" { print $2 }' "/proc/$pid/status")
    gid=$(awk '$1 == "Gid:" { print $2 }' "/proc/$pid/status")
    nsenter -t "$pid" -m -S "$uid" -G "$gid" -- sh -c \
        'f="$1/.kronel-write-test" && : >"$f" && rm -f "$f"' sh "$path" 2>/dev/null
}

purged() {
    local package=$1 deb=$2 path
    inside env DEBIAN_FRONTEND=noninteractive dpkg --purge "$package" >"$work/purge.log" 2>&1 ||
        fail "dpkg --purge $package: $(cat "$work/purge.log")"
    while read -r path; do
        if inside test -e "$path" -o -L "$path" </dev/null; then
            fail "dpkg --purge $package left $path"
        fi
    done < <(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's:^\./:/:')
}
purged_clean() {
    purged "$@"
    snapshot | sort >"$work/after"
    diff "$work/before" "$work/after" >"$work/left" ||
        fail "dpkg --purge $package left or took away: $(head -n 20 "$work/left")"
}

# --------------------------------------------------------------------------------------------
step "kronel: install"
debs=("$work/$(basename "$kronel_deb")")
[ -n "$desktop_deb" ] && debs+=("$work/$(basename "$desktop_deb")")
inside env DEBIAN_FRONTEND=noninteractive dpkg -i "${debs[@]}" >"$work/install.log" 2>&1 ||
    fail "dpkg -i: $(cat "$work/install.log")"
pid=$(active_main_pid kronel.service) || fail "kronel.service is not active: $(inside systemctl status kronel --no-pager 2>&1 | tail -n 20)"
ok "kronel.service active, main process $pid"
same_unit_as_add /usr/sbin/kronelsvc kronel.service
ok "the installed unit is what kronelsvc add writes"
servers=$(inside kronelctl servers list | cut -f2 | paste -sd' ')
[ "$servers" = "0.pool.ntp.org 1.pool.ntp.org 2.pool.ntp.org" ] ||
    fail "the store's servers after installing: '$servers'"
ok "the default servers were written: $servers"
inside test -f /var/lib/private/kronel/registry.reg || fail "no store in the state folder"
owner=$(inside stat -c %u /var/lib/private/kronel/registry.reg)
service_uid=$(awk '$1 == "Uid:" { print $2 }' "/proc/$pid/status")
[ "$owner" = "$service_uid" ] && [ "$service_uid" != 0 ] ||
    fail "the store belongs to $owner, the service runs as $service_uid"
ok "the service runs as the dynamic user $service_uid, who owns its store"

step "kronel: running confined"
journal=""
deadline=$((SECONDS + 10))
until grep -q "No right to set the system time" <<<"$journal"; do
    journal=$(inside journalctl -u kronel.service --no-pager -o cat 2>/dev/null || true)
    [ $SECONDS -lt $deadline ] || fail "the service did not report its missing right: $journal"
    sleep 0.2
done
grep -q "Using simulated clock, offset -42.500 s" <<<"$journal" || fail "not on the simulated clock: $journal"
ok "the service reports: $(grep -m1 -o 'Using simulated clock.*' <<<"$journal"); $(grep -m1 -o 'No right to set.*' <<<"$journal")"
read -r offset how < <(sntp_offset) ||
    fail "no SNTP answer on port 123: $(inside journalctl -u kronel.service --no-pager -o cat | tail -n 20)"
awk -v o="$offset" -v w="$kronel_offset" 'BEGIN { d = o - w; exit !(d > -0.5 && d < 0.5) }' ||
    fail "SNTP offset $offset s, want about $kronel_offset"
ok "SNTP on 127.0.0.1:123 ($how): offset $offset s, the service's clock being $kronel_offset s off"
# CAP_NET_BIND_SERVICE (10) and CAP_NET_RAW (13); CAP_SYS_TIME (25) is not the container's.
expect_capabilities "$pid" 0x2400 "CAP_NET_BIND_SERVICE CAP_NET_RAW"
ok "capabilities: $(capabilities "$pid")"
writable "$pid" /var/lib/kronel || fail "the service cannot write its state folder"
writable "$pid" /var/log/kronel || fail "the service cannot write its log folder"
for path in /etc /usr/local /var/lib /var/log /root /opt /srv /run; do
    if writable "$pid" "$path"; then fail "the service may write $path"; fi
done
ok "writes its state and log folders (and /tmp, /var/tmp of its own), nothing under /etc /usr/local /var/lib /var/log /root /opt /srv /run"
inside kronelctl set Logtofile 1 >/dev/null
inside systemctl restart kronel.service
pid=$(active_main_pid kronel.service) || fail "kronel.service did not come back after a restart"
deadline=$((SECONDS + 10))
until inside test -s /var/log/kronel/log.txt; do
    [ $SECONDS -lt $deadline ] || fail "no log file in /var/log/kronel"
    sleep 0.2
done
ok "a store edited by root stays the service's; its log file is /var/log/kronel/log.txt"

step "kronel: purge"
if [ -n "$desktop_deb" ]; then
    inside test -x /usr/bin/kronel || fail "kronel-desktop installed no /usr/bin/kronel"
    inside test -f /usr/share/applications/kronel.desktop || fail "no desktop entry"
    purged kronel-desktop "$desktop_deb"
fi
purged_clean kronel "$kronel_deb"
ok "dpkg --purge left nothing behind"

# --------------------------------------------------------------------------------------------
step "kronel-wisp: install, run, purge"
inside env DEBIAN_FRONTEND=noninteractive dpkg -i "$work/$(basename "$wisp_deb")" >"$work/install.log" 2>&1 ||
    fail "dpkg -i: $(cat "$work/install.log")"
pid=$(active_main_pid wisp.service) || fail "wisp.service is not active: $(inside systemctl status wisp --no-pager 2>&1 | tail -n 20)"
ok "wisp.service active, main process $pid"
same_unit_as_add /usr/sbin/wispsvc wisp.service
ok "the installed unit is what wispsvc add writes"
read -r offset how < <(sntp_offset) ||
    fail "no SNTP answer on port 123: $(inside journalctl -u wisp.service --no-pager -o cat | tail -n 20)"
awk -v o="$offset" -v w="$wisp_offset" 'BEGIN { d = o - w; exit !(d > -0.5 && d < 0.5) }' ||
    fail "SNTP offset $offset s, want about $wisp_offset"
ok "SNTP on 127.0.0.1:123 ($how): offset $offset s"
expect_capabilities "$pid" 0x400 "CAP_NET_BIND_SERVICE"
ok "capabilities: $(capabilities "$pid")"
for path in /etc /var/lib /var/log /root /run; do
    if writable "$pid" "$path"; then fail "wispsvc may write $path"; fi
done
ok "writes nothing under /etc /var/lib /var/log /root /run"
purged_clean kronel-wisp "$wisp_deb"
ok "dpkg --purge left nothing behind"

step "lintian"
lintian_status=0
wait "$lintian_pid" || lintian_status=$?
lintian_pid=
grep -v 'running with root privileges' "$work/lintian.out" || true
[ "$lintian_status" = 0 ] || fail "lintian reports errors or warnings (exit code $lintian_status)"
ok "lintian: no error, no warning ($(basename -a "$dist"/*.deb | paste -sd' '))"

step "power off"
kill -RTMIN+4 "$init"
deadline=$((SECONDS + 20))
while kill -0 "$nspawn" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || fail "the container did not power off in 20 s"
    sleep 0.1
done
wait "$nspawn" || true
nspawn=
init=
ok "powered off"
