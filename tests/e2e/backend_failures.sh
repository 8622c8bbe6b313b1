#!/bin/bash
# Backend trouble, with the scriptable test backend: a backend that is down, a
# 554 banner, a silent banner (smtpwait grows), a backend that closes after
# its banner and one that answers RCPT too late.  Unreachable or ungreeting
# backends pass the recipient, or defer it with 451 4.7.0 under
# BackErrorTempfail:yes; a failed RCPT exchange always defers it.
source "$(dirname "$0")/lib.sh"
e2e_init
require_backend
start_syslog

read -r PORT_PASS PORT_DEFER DEAD_PORT < <(free_ports 3)
backend_start b554 --banner "554 5.3.2 no service here"
P554=$BACKEND_PORT
backend_start silent --silent
PSILENT=$BACKEND_PORT
backend_start closing --close-after-banner
PCLOSING=$BACKEND_PORT
backend_start slow --rcpt-delay-ms 2500
PSLOW=$BACKEND_PORT
backend_start ok
POK=$BACKEND_PORT

routes=(
    "BackSMTPServer:127.0.0.1"
    "TimeoutSMTPReply:1"
    "BackSMTPPort:$DEAD_PORT" "BackAddrDomain:down.test"
    "BackSMTPPort:$P554" "BackAddrDomain:banner554.test"
    "BackSMTPPort:$PSILENT" "BackAddrDomain:silent.test"
    "BackSMTPPort:$PCLOSING" "BackAddrDomain:closing.test"
    "BackSMTPPort:$PSLOW" "BackAddrDomain:slow.test"
    "BackSMTPPort:$POK" "BackAddrDomain:ok.test"
)
write_conf "$WORK/pass.conf" "${routes[@]}"
write_conf "$WORK/defer.conf" "${routes[@]}" "BackErrorTempfail:yes"
PASS="inet:$PORT_PASS@127.0.0.1"
DEFER="inet:$PORT_DEFER@127.0.0.1"
kv_start pass -p "$PASS" -f "$WORK/pass.conf"
pass_pid=$KV_PID
kv_start defer -p "$DEFER" -f "$WORK/defer.conf"
defer_pid=$KV_PID
kv_ready "$PASS" "$pass_pid" || die "kelvantor (pass) did not start"
kv_ready "$DEFER" "$defer_pid" || die "kelvantor (defer) did not start"

# rcpts SPEC OUT RCPT...: one transaction from 127.0.0.2.
rcpts() {
    local spec=$1 out=$2 r args=()
    shift 2
    for r in "$@"; do args+=(--rcpt "$r"); done
    client "$out" --socket "$spec" --client-addr 127.0.0.2 --daemon-name mx-in \
        --from sender@client.example --abort --timeout 20 "${args[@]}" ||
        fail "transaction to $spec did not complete: $(cat "$out")"
}
DEFERRED="tempfail 451 4.7.0 Internal error"

# --- without BackErrorTempfail: unreachable or ungreeting backends pass -------
rcpts "$PASS" "$WORK/p-down.out" unknown1@down.test
expect_line "$WORK/p-down.out" "rcpt <unknown1@down.test> continue" "backend down"
expect_log "$pass_pid" "cannot connect to backend SMTP at 127.0.0.1 status Connection refused"

rcpts "$PASS" "$WORK/p-554.out" unknown1@banner554.test unknown2@banner554.test
expect_line "$WORK/p-554.out" "rcpt <unknown1@banner554.test> continue" "554 banner"
expect_line "$WORK/p-554.out" "rcpt <unknown2@banner554.test> continue" "554 banner, second recipient"
# The failed greeting closed the connection: the second recipient tried anew.
unavailable_twice() { [ "$(log_count "$pass_pid" "backend SMTP service unavailable")" -ge 2 ]; }
if ! wait_until 5 unavailable_twice; then
    fail "expected \"backend SMTP service unavailable\" once per recipient; log:"
    log_of "$pass_pid" >&2
fi

rcpts "$PASS" "$WORK/p-silent.out" unknown1@silent.test unknown2@silent.test
expect_line "$WORK/p-silent.out" "rcpt <unknown1@silent.test> continue" "silent banner"
expect_line "$WORK/p-silent.out" "rcpt <unknown2@silent.test> continue" "silent banner, second recipient"
expect_log "$pass_pid" "cannot read backend SMTP banner"
expect_log "$pass_pid" "increased smtpwait to 1"
expect_log "$pass_pid" "increased smtpwait to 2"

# --- a failed RCPT exchange defers, whatever BackErrorTempfail says -----------
rcpts "$PASS" "$WORK/p-closing.out" known@closing.test
expect_line "$WORK/p-closing.out" "rcpt <known@closing.test> $DEFERRED" "closed after banner"
# The greeting already finds the connection closed: no probe goes out on it.
if ! wait_until 5 log_has "$pass_pid" "cannot read HELO reply"; then
    fail "no \"cannot read HELO reply\" for the closed backend"
    log_of "$pass_pid" >&2
fi

rcpts "$PASS" "$WORK/p-slow.out" known@slow.test
expect_line "$WORK/p-slow.out" "rcpt <known@slow.test> $DEFERRED" "RCPT reply too late"
wait_until 5 log_has "$pass_pid" "cannot read rcptto reply on  " ||
    fail "no \"cannot read rcptto reply on  N\" for the slow backend"

rcpts "$PASS" "$WORK/p-ok.out" known@ok.test unknown1@ok.test tempfail1@ok.test
expect_line "$WORK/p-ok.out" "rcpt <known@ok.test> continue" "working backend, known"
expect_line "$WORK/p-ok.out" "rcpt <unknown1@ok.test> reject 550 5.1.1  User unknown" \
    "working backend, unknown"
expect_line "$WORK/p-ok.out" "rcpt <tempfail1@ok.test> continue" "working backend, 451"

# --- with BackErrorTempfail:yes the same trouble defers -----------------------
rcpts "$DEFER" "$WORK/d.out" unknown1@down.test unknown1@banner554.test unknown1@silent.test \
    known@ok.test unknown2@ok.test
expect_line "$WORK/d.out" "rcpt <unknown1@down.test> $DEFERRED" "tempfail mode, backend down"
expect_line "$WORK/d.out" "rcpt <unknown1@banner554.test> $DEFERRED" "tempfail mode, 554 banner"
expect_line "$WORK/d.out" "rcpt <unknown1@silent.test> $DEFERRED" "tempfail mode, silent banner"
expect_line "$WORK/d.out" "rcpt <known@ok.test> continue" "tempfail mode, working backend"
expect_line "$WORK/d.out" "rcpt <unknown2@ok.test> reject 550 5.1.1  User unknown" \
    "tempfail mode, working backend, unknown"

kv_stop_many "$pass_pid" "$defer_pid"
[ "${KV_STATUS[$pass_pid]}" = 0 ] || fail "exit status (pass) after SIGTERM: ${KV_STATUS[$pass_pid]}"
[ "${KV_STATUS[$defer_pid]}" = 0 ] || fail "exit status (defer) after SIGTERM: ${KV_STATUS[$defer_pid]}"
e2e_finish
