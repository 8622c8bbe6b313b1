#!/bin/bash
# Live reload on SIGHUP with the real binary, under load: the milter load tool
# streams recipients of a.test through the filter while the configuration
# gains a second server for b.test and is reloaded three times; no
# transaction fails, the filter keeps running, the cache keeps what it learnt
# (a.test's backend is not asked again), b.test is verified by its own server
# right after the reload, and a broken file is refused with the routes in
# force kept.
source "$(dirname "$0")/lib.sh"
e2e_init
require_backend
start_syslog

read -r MILTER_PORT < <(free_ports 1)
SPEC="inet:$MILTER_PORT@127.0.0.1"
backend_start a
A_PID=$BACKEND_PID A_PORT=$BACKEND_PORT
backend_start b
B_PID=$BACKEND_PID B_PORT=$BACKEND_PORT
a_conf=("BackSMTPServer:127.0.0.1" "BackSMTPPort:$A_PORT" "BackAddrDomain:a.test")
write_conf "$WORK/kelvantor.conf" "${a_conf[@]}"

rcpts_of() {  # NAME PID: the backend's RCPT count
    BACKEND_PID=$2 backend_rcpt_count "$1"
}

kv_start filter -p "$SPEC" -f "$WORK/kelvantor.conf"
pid=$KV_PID
kv_ready "$SPEC" "$pid" || die "kelvantor did not start"

transaction_at "$SPEC" "$WORK/before.out" known@a.test unknown1@a.test someone@b.test
expect_line "$WORK/before.out" "rcpt <unknown1@a.test> reject 550 5.1.1  User unknown" "a.test before"
expect_line "$WORK/before.out" "rcpt <someone@b.test> continue" "b.test unrouted before"
a_before=$(rcpts_of a "$A_PID")

# --- reloads under load ---------------------------------------------------------
load_pid=""
if [ -n "${KV_LOAD:-}" ] && [ -x "$KV_LOAD" ]; then
    start_bg "$WORK/load.out" "$KV_LOAD" --socket "$SPEC" --concurrency 4 --rcpts 5 \
        --transactions 1000000 --seconds 6 --domain a.test --unknown-share 0.3 --tag reload
    load_pid=$LAST_PID
fi
write_conf "$WORK/kelvantor.conf" "${a_conf[@]}" "BackSMTPPort:$B_PORT" "BackAddrDomain:b.test" \
    "BackErrorTempfail:yes"
for n in 1 2 3; do
    kill -HUP "$pid"
    wait_until 5 test "$(log_count "$pid" "configuration reloaded")" -ge "$n" ||
        fail "reload $n was not logged"
done
proc_ended "$pid" && die "SIGHUP ended kelvantor: $(log_of "$pid")"
log_has "$pid" "configuration reloaded: 2 routes to 2 servers, 1 exempt networks, 1 exempt daemons" ||
    fail "the reload did not log its counts: $(log_of "$pid")"
if [ -n "$load_pid" ]; then
    wait_until 30 proc_ended "$load_pid" || fail "the load did not end"
    wait "$load_pid"
    load_status=$?
    forget_pid "$load_pid"
    result=$(grep '^result ' "$WORK/load.out")
    [ "$load_status" = 0 ] || fail "the load failed across the reloads: $(cat "$WORK/load.out")"
    case "$result" in
        *" deferred=0 other=0 failed=0 "*) ;;
        *) fail "answers under reload: $result" ;;
    esac
else
    say "kv-bench-milter is not built: reloads without load"
fi

# --- after the reload: the new route, the cache kept ------------------------------
b_before=$(rcpts_of b "$B_PID")
transaction_at "$SPEC" "$WORK/after.out" known@a.test unknown1@a.test known@b.test unknown2@b.test
expect_line "$WORK/after.out" "rcpt <known@a.test> continue" "a.test known, cached"
expect_line "$WORK/after.out" "rcpt <unknown1@a.test> reject 550 5.1.1  User unknown" "a.test cached"
expect_line "$WORK/after.out" "rcpt <known@b.test> continue" "b.test known"
expect_line "$WORK/after.out" "rcpt <unknown2@b.test> reject 550 5.1.1  User unknown" \
    "b.test verified by its own server"
[ "$(rcpts_of b "$B_PID")" = $((b_before + 2)) ] || fail "b.test's server was not asked twice"
if [ -z "$load_pid" ]; then
    [ "$(rcpts_of a "$A_PID")" = "$a_before" ] || fail "a.test's cached verdicts were asked again"
fi

# --- a broken file is refused, the routes in force stay -----------------------------
write_conf "$WORK/kelvantor.conf" "BackAddrDomain:c.test" "${a_conf[@]}"
kill -HUP "$pid"
wait_until 5 log_has "$pid" "configuration not reloaded" || fail "the broken file was not refused"
log_has "$pid" "BackSMTPServer should be defined before BackAddrDomain" ||
    fail "the refusal does not say why"
transaction_at "$SPEC" "$WORK/broken.out" unknown3@b.test
expect_line "$WORK/broken.out" "rcpt <unknown3@b.test> reject 550 5.1.1  User unknown" \
    "b.test still routed after a refused reload"

kv_stop "$pid"
[ "$STOP_STATUS" = 0 ] || fail "exit status after SIGTERM: $STOP_STATUS"
e2e_finish
