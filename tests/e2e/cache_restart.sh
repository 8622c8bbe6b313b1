#!/bin/bash
# Verdicts survive a restart through the cache file: a first run (cache file
# from -b) learns from the test backend, SIGTERM saves the file ("saving
# cache PATH", then "Exit"); a second run (path from BackList) with the backend
# stopped and BackErrorTempfail:yes still rejects the unknown user and passes
# the known one, while a recipient it never saw is deferred.
source "$(dirname "$0")/lib.sh"
e2e_init
require_backend
start_syslog

read -r MILTER_PORT < <(free_ports 1)
SPEC="inet:$MILTER_PORT@127.0.0.1"
mkdir "$WORK/cache"
[ "$(id -u)" = 0 ] && chown nobody:nogroup "$WORK/cache"
chmod 700 "$WORK/cache"
CACHE="$WORK/cache/verdicts"

backend_start backend
backend_pid=$BACKEND_PID
common=("BackSMTPServer:127.0.0.1" "BackSMTPPort:$BACKEND_PORT" "BackAddrDomain:example.test"
    "BackErrorTempfail:yes")
write_conf "$WORK/first.conf" "${common[@]}"
write_conf "$WORK/second.conf" "${common[@]}" "BackList:$CACHE"

transaction() { transaction_at "$SPEC" "$@"; }  # OUT RCPT...

# --- first run: learn, then save at SIGTERM -----------------------------------
kv_start first -p "$SPEC" -f "$WORK/first.conf" -b "$CACHE"
pid=$KV_PID
kv_ready "$SPEC" "$pid" || die "first kelvantor did not start"
transaction "$WORK/first.out" known1@example.test unknown1@example.test tempfail1@example.test
expect_line "$WORK/first.out" "rcpt <known1@example.test> continue" "first run, known"
expect_line "$WORK/first.out" "rcpt <unknown1@example.test> reject 550 5.1.1  User unknown" \
    "first run, unknown"
expect_line "$WORK/first.out" "rcpt <tempfail1@example.test> continue" "first run, backend 451"
kv_stop "$pid"
[ "$STOP_STATUS" = 0 ] || fail "first run: exit status after SIGTERM: $STOP_STATUS"
expect_log "$pid" "saving cache $CACHE"
expect_log "$pid" "Exit"
log_before "$pid" "saving cache $CACHE" "Exit" || fail "\"saving cache\" did not come before \"Exit\""

if [ -f "$CACHE" ]; then
    grep -qxF "0 known1@example.test" "$CACHE" || fail "cache file lacks \"0 known1@example.test\""
    grep -qxF "1 unknown1@example.test" "$CACHE" || fail "cache file lacks \"1 unknown1@example.test\""
    grep -qF "tempfail1@example.test" "$CACHE" && fail "a 451 answer was saved in the cache file"
    [ "$(wc -l <"$CACHE")" = 2 ] || fail "cache file should hold 2 lines: $(cat "$CACHE")"
    # Created under the mask set before the main loop: 0117 with -g, else 0177.
    want=600
    [ "${#KV_USER[@]}" -gt 0 ] && want=660
    mode=$(stat -c '%a' "$CACHE")
    [ "$mode" = "$want" ] || fail "cache file mode $mode (expected $want)"
else
    fail "no cache file at $CACHE after the first run"
fi

# --- the backend goes away --------------------------------------------------
stop_pid "$backend_pid" 10
forget_pid "$backend_pid"
wait_until 5 port_closed "$BACKEND_PORT" || die "the backend port stays open"

# --- second run: the cache answers ----------------------------------------------
kv_start second -p "$SPEC" -f "$WORK/second.conf"
pid=$KV_PID
kv_ready "$SPEC" "$pid" || die "second kelvantor did not start"
transaction "$WORK/second.out" known1@example.test unknown1@example.test known2@example.test
expect_line "$WORK/second.out" "rcpt <known1@example.test> continue" "after restart, cached known"
expect_line "$WORK/second.out" "rcpt <unknown1@example.test> reject 550 5.1.1  User unknown" \
    "after restart, cached unknown"
expect_line "$WORK/second.out" "rcpt <known2@example.test> tempfail 451 4.7.0 Internal error" \
    "after restart, uncached recipient with the backend down"
if [ "$(log_count "$pid" "cannot connect to backend SMTP")" != 1 ]; then
    fail "expected one failed backend connection (for known2 only); log:"
    log_of "$pid" >&2
fi
kv_stop "$pid"
[ "$STOP_STATUS" = 0 ] || fail "second run: exit status after SIGTERM: $STOP_STATUS"
expect_log "$pid" "saving cache $CACHE"
grep -qxF "0 known1@example.test" "$CACHE" && grep -qxF "1 unknown1@example.test" "$CACHE" ||
    fail "the reloaded verdicts were not saved again: $(cat "$CACHE")"
e2e_finish
