#!/bin/bash
# The operations side with the real binary: verdicts learnt through the milter
# are seen by "kelvantorctl lookup"; "purge" makes the next recipient go to the
# backend again (its RCPT count, from SIGUSR1, says so); purge-invalid and
# purge-domain count what they remove; with BackListSaveInterval:1 a kill -9
# after a save loses nothing the save held; with BackCacheMaxEntries:50 a flood
# of unknown recipients leaves 50 verdicts, the oldest invalid ones gone and
# the 10 valid ones kept: with the backend then down (and BackErrorTempfail)
# the real users still pass from the cache.  "reload" after an edit that
# breaks the file is refused with the reason, after one that adds a domain
# routes it; "dump" then "import" into a second filter carries the verdicts
# over.  Also the client's exit statuses for a usage error and an unreachable
# filter.
source "$(dirname "$0")/lib.sh"
e2e_init
require_backend
require_ctl
start_syslog

read -r MILTER_PORT < <(free_ports 1)
MILTER_SOCKET="inet:$MILTER_PORT@127.0.0.1"
state_dir
CACHE="$WORK/state/verdicts"
CTL="$WORK/state/control.sock"

backend_start backend
common=("BackSMTPServer:127.0.0.1" "BackSMTPPort:$BACKEND_PORT" "BackAddrDomain:example.test"
    "BackAddrDomain:other.test" "BackList:$CACHE" "BackListSaveInterval:1" "ControlSocket:$CTL")
write_conf "$WORK/first.conf" "${common[@]}"
write_conf "$WORK/second.conf" "${common[@]}" "BackCacheMaxEntries:00050" "BackErrorTempfail:yes"

transaction() { transaction_at "$MILTER_SOCKET" "$@"; }  # OUT RCPT...

# ctl EXPECTED-STATUS ARGS...: runs kelvantorctl; its output in CTL_OUT.
ctl() {
    local want=$1 status=0
    shift
    CTL_OUT=$("$KV_CTL" -s "$CTL" "$@" 2>&1) || status=$?
    [ "$status" = "$want" ] || fail "kelvantorctl $*: status $status (expected $want): $CTL_OUT"
}
expect_ctl() {  # ANSWER-PATTERN ARGS... (status 0)
    local pattern=$1
    shift
    ctl 0 "$@"
    [[ $CTL_OUT =~ ^$pattern$ ]] || fail "kelvantorctl $*: \"$CTL_OUT\" does not match \"$pattern\""
}

# backend_rcpts: the backend's RCPT TO count so far, or "none".
backend_rcpts() { backend_rcpt_count backend; }

# --- first run: learn, look up, purge -------------------------------------------
kv_start first -p "$MILTER_SOCKET" -f "$WORK/first.conf"
pid=$KV_PID
kv_ready "$MILTER_SOCKET" "$pid" || die "first kelvantor did not start"
wait_until 5 test -S "$CTL" || die "no control socket at $CTL"
want_mode=600
[ "${#KV_USER[@]}" -gt 0 ] && want_mode=660
[ "$(stat -c %a "$CTL")" = "$want_mode" ] || fail "control socket mode $(stat -c %a "$CTL"), expected $want_mode"
[ "$(id -u)" = 0 ] && { [ "$(stat -c %U "$CTL")" = nobody ] || fail "control socket owned by $(stat -c %U "$CTL")"; }

transaction "$WORK/learn.out" known1@example.test unknown1@example.test unknown2@example.test \
    known2@other.test unknown3@other.test
expect_line "$WORK/learn.out" "rcpt <known1@example.test> continue" "learn, known"
expect_line "$WORK/learn.out" "rcpt <unknown3@other.test> reject 550 5.1.1  User unknown" "learn, unknown"
expect_ctl 'valid [0-9]+ 86[0-9]{3}' lookup KNOWN1@example.test
expect_ctl 'invalid [0-9]+ [0-9]+' lookup unknown1@example.test
ctl 1 lookup never@example.test
[ "$CTL_OUT" = none ] || fail "lookup of an unknown address: $CTL_OUT"

rcpts=$(backend_rcpts)
[ "$rcpts" != none ] || die "the backend printed no counts"
transaction "$WORK/cached.out" known1@example.test
[ "$(backend_rcpts)" = "$rcpts" ] || fail "a cached recipient went to the backend"
expect_ctl 'purged 1' purge known1@example.test
transaction "$WORK/purged.out" known1@example.test
expect_line "$WORK/purged.out" "rcpt <known1@example.test> continue" "after purge"
[ "$(backend_rcpts)" = $((rcpts + 1)) ] || fail "after purge the recipient was not asked of the backend"

expect_ctl 'purged 3' purge-invalid
ctl 1 lookup unknown1@example.test
expect_ctl 'purged 1' purge-domain OTHER.test
ctl 1 lookup known2@other.test
expect_ctl 'valid [0-9]+ [0-9]+' lookup known1@example.test

# --- reload, dump, import ---------------------------------------------------------
transaction "$WORK/unrouted.out" unknown1@third.test
expect_line "$WORK/unrouted.out" "rcpt <unknown1@third.test> continue" "before the reload"
write_conf "$WORK/first.conf" "BackSMTPServer:127.0.0.1" "BackSMTPPort:$BACKEND_PORT"
ctl 1 reload
[[ $CTL_OUT =~ ^"kelvantorctl: error not reloaded: $WORK/first.conf has 1 error(s), the running configuration stays"$ ]] ||
    fail "refused reload: $CTL_OUT"
write_conf "$WORK/first.conf" "${common[@]}" "BackAddrDomain:third.test"
expect_ctl reloaded reload
expect_log "$pid" "configuration reloaded: 3 routes to 1 servers, 1 exempt networks, 1 exempt daemons"
transaction "$WORK/routed.out" unknown1@third.test
expect_line "$WORK/routed.out" "rcpt <unknown1@third.test> reject 550 5.1.1  User unknown" "after the reload"

"$KV_CTL" -s "$CTL" dump >"$WORK/dump.txt" 2>"$WORK/dump.err" || fail "dump: $(cat "$WORK/dump.err")"
dumped=$(wc -l <"$WORK/dump.txt")
[ "$(cat "$WORK/dump.err")" = "dumped $dumped" ] || fail "dump said \"$(cat "$WORK/dump.err")\" for $dumped lines"
grep -qxF "1 unknown1@third.test" "$WORK/dump.txt" || fail "the dump lacks unknown1@third.test: $(cat "$WORK/dump.txt")"
"$KV_CTL" -s "$CTL" dump valid >"$WORK/dump-valid.txt" 2>/dev/null || fail "dump valid failed"
grep -qv '^0 ' "$WORK/dump-valid.txt" && fail "dump valid gave: $(cat "$WORK/dump-valid.txt")"

read -r IMPORT_PORT < <(free_ports 1)
IMPORT_CTL="$WORK/state/import.sock"
write_conf "$WORK/import.conf" "BackSMTPServer:127.0.0.1" "BackSMTPPort:$BACKEND_PORT" \
    "BackAddrDomain:example.test" "BackAddrDomain:third.test" "ControlSocket:$IMPORT_CTL"
kv_start import -p "inet:$IMPORT_PORT@127.0.0.1" -f "$WORK/import.conf"
import_pid=$KV_PID
kv_ready "inet:$IMPORT_PORT@127.0.0.1" "$import_pid" || die "the importing kelvantor did not start"
wait_until 5 test -S "$IMPORT_CTL" || die "no control socket at $IMPORT_CTL"
printf 'not a verdict\n' >>"$WORK/dump.txt"
imported=$("$KV_CTL" -s "$IMPORT_CTL" import "$WORK/dump.txt" 2>&1) || fail "import: $imported"
[ "$imported" = "imported $dumped skipped 1" ] || fail "import of $dumped lines said \"$imported\""
rcpts=$(backend_rcpts)
transaction_at "inet:$IMPORT_PORT@127.0.0.1" "$WORK/imported.out" unknown1@third.test known1@example.test
expect_line "$WORK/imported.out" "rcpt <unknown1@third.test> reject 550 5.1.1  User unknown" "imported, invalid"
expect_line "$WORK/imported.out" "rcpt <known1@example.test> continue" "imported, valid"
[ "$(backend_rcpts)" = "$rcpts" ] || fail "an imported verdict was asked of the backend"
kv_stop "$import_pid"

# --- kill -9 after a periodic save ---------------------------------------------
transaction "$WORK/more.out" known3@example.test unknown4@example.test
wait_until 10 grep -qsxF "1 unknown4@example.test" "$CACHE" ||
    fail "no periodic save held unknown4 within 10 s: $(cat "$CACHE" 2>/dev/null)"
kill -KILL "$pid"
wait_until 5 proc_ended "$pid"
forget_pid "$pid"
log_has "$pid" "saving cache" && fail "a periodic save announced itself as the save at exit"

kv_start second -p "$MILTER_SOCKET" -f "$WORK/second.conf"
pid=$KV_PID
kv_ready "$MILTER_SOCKET" "$pid" || die "second kelvantor did not start after the kill (stale control socket?)"
expect_ctl 'invalid [0-9]+ [0-9]+' lookup unknown4@example.test
expect_ctl 'valid [0-9]+ [0-9]+' lookup known3@example.test
expect_ctl 'valid [0-9]+ [0-9]+' lookup known1@example.test

# --- the bound -----------------------------------------------------------------------
real=(known1@example.test known3@example.test)
for ((i = 0; i < 8; i++)); do real+=("real$i@example.test"); done
transaction "$WORK/real.out" "${real[@]:2}"
expect_line "$WORK/real.out" "rcpt <real7@example.test> continue" "real users, last"
flood=()
for ((i = 0; i < 80; i++)); do flood+=("unknown-flood$i@example.test"); done
transaction "$WORK/flood.out" "${flood[@]}"
expect_line "$WORK/flood.out" "rcpt <unknown-flood79@example.test> reject 550 5.1.1  User unknown" \
    "flood, last"
expect_ctl 'saved 50' save
[ "$(wc -l <"$CACHE")" = 50 ] || fail "the saved file holds $(wc -l <"$CACHE") verdicts, not 50"
ctl 1 lookup unknown-flood0@example.test
ctl 1 lookup unknown4@example.test
expect_ctl 'invalid [0-9]+ [0-9]+' lookup unknown-flood79@example.test
expect_ctl 'invalid [0-9]+ [0-9]+' lookup unknown-flood40@example.test
ctl 1 lookup unknown-flood39@example.test
expect_log "$pid" "verdict cache full: 50 entries, oldest evicted"
[ "$(log_count "$pid" "verdict cache full")" = 1 ] || fail "the full cache was logged more than once a minute"
kill -TERM "$BACKEND_PID"
wait_until 5 proc_ended "$BACKEND_PID" || fail "the backend did not stop"
transaction "$WORK/backend-down.out" "${real[@]}"
for rcpt in "${real[@]}"; do
    expect_line "$WORK/backend-down.out" "rcpt <$rcpt> continue" "after the flood, backend down"
done

# --- the client's own statuses -------------------------------------------------------
ctl 2 lookup
ctl 2 frobnicate
status=0
"$KV_CTL" -s "$WORK/state/none.sock" stats >/dev/null 2>&1 || status=$?
[ "$status" = 69 ] || fail "kelvantorctl with no filter behind the socket: status $status, expected 69"

kv_stop "$pid"
[ "$STOP_STATUS" = 0 ] || fail "exit status after SIGTERM: $STOP_STATUS"
[ -e "$CTL" ] && fail "the control socket outlived the filter"
e2e_finish
