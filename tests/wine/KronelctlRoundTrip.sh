#!/usr/bin/env bash
# kronelctl.exe under Wine, over Wine's registry: servers added, exported, deleted, imported
# back unchanged; status, get and set; a wrong command line fails naming what was wrong.
#   KronelctlRoundTrip.sh KRONELCTL_EXE BUILD_DIR
# The Wine prefix is the test's own (BUILD_DIR/wineprefix-ctl), a copy of the build's prefix.
# Exit code 77: no Wine here (skipped).
set -euo pipefail

. "$(dirname "$(realpath "$0")")/lib.sh"
need_args 2 $# "$0 KRONELCTL_EXE BUILD_DIR"
exe=$(realpath "$1")
need_wine
need_file "$exe" "build it first"

wine_prefix KronelctlRoundTrip "$(realpath "$2")" ctl
unset KRONEL_REGISTRY
fresh_prefix

# Runs kronelctl.exe; its output without carriage returns in $out, its errors in $err.
code=0
ctl() {
    code=0
    timeout 60 "${nocap[@]}" "$wine" "$exe" "$@" </dev/null >"$work/out" 2>"$work/err" || code=$?
    out=$(tr -d '\r' <"$work/out")
    err=$(tr -d '\r' <"$work/err")
}
expect() {  # expect CODE OUTPUT DESCRIPTION
    [ "$code" = "$1" ] || fail "$3: exit code $code, not $1 (errors: $err)"
    [ "$out" = "$2" ] || fail "$3: printed [$out], not [$2]"
    ok "$3"
}

ctl servers add --addr 10.0.0.1 --rejectntp 0
expect 0 "" "add a server without a name"
ctl servers add --name web --addr www.example.org --protocol 3 --useproxy 1
expect 0 "" "add an HTTP server"
listed=$'10.0.0.1\t10.0.0.1\t0\t0\t0\tNever\nweb\twww.example.org\t3\t1\t1\tNever'
ctl servers list
expect 0 "$listed" "list in order"

exported="Z:$(echo "$work/list.txt" | tr / '\\')"
ctl servers export "$exported"
expect 0 "" "export"
[ "$(od -An -c "$work/list.txt" | tr -s ' ' | tr -d '\n')" = \
  "$(printf '10.0.0.1|10.0.0.1|0|0|0\r\nweb|www.example.org|3|1|1\r\n' | od -An -c | tr -s ' ' | tr -d '\n')" ] ||
    fail "export file: $(od -c "$work/list.txt" | head)"
ok "export file has one CRLF line per server"

ctl servers delete-all --yes
expect 0 "" "delete all"
ctl servers list
expect 0 "" "nothing left"
ctl servers import "$exported" --yes
expect 0 "" "import"
ctl servers list
expect 0 "$listed" "the imported list is the exported one"

ctl set Frequency 30
expect 0 "" "set"
ctl get AlertTimeout
expect 0 "120" "get follows Frequency"
ctl --user get Frequency
expect 0 "120" "the desktop store is its own"
ctl status --json
expect 0 '{"LastDelta":"None","LastContact":"Never","TimeSource":"None","Drift":"Unknown","servers":[{"name":"10.0.0.1","addr":"10.0.0.1","protocol":0,"info":"Never"},{"name":"web","addr":"www.example.org","protocol":3,"info":"Never"}]}' "status --json"

ctl servers delete nobody
[ "$code" = 1 ] && [ "$err" = "kronelctl: no server named 'nobody'" ] || fail "delete nobody: $code [$err]"
ok "a missing server is named"
ctl frobnicate
[ "$code" = 2 ] && [[ "$err" == "kronelctl: unknown command 'frobnicate'"* ]] || fail "bad command: $code [$err]"
ok "an unknown command is named"
passed=1
