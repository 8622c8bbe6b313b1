#!/bin/bash
# kelvantor through libmilter, driven by the project's milter client, with a
# real Postfix listener as the backend (recipient table, relay check): connect
# exemptions, recipient verdicts and reply texts, one backend session per
# client connection ended at the end of the headers, messages without headers
# or body answered at once, the probe's HELO and sender as Postfix logs them,
# cache hits without backend traffic, and SIGTERM -> "Exit".
source "$(dirname "$0")/lib.sh"
e2e_init
start_syslog

read -r MILTER_PORT BACKEND_PORT < <(free_ports 2)
HOST=$(hostname)

backend_users "$WORK/users"
pf_start "" "$(backend_listener "$BACKEND_PORT" "$WORK/users")"

write_conf "$WORK/kelvantor.conf" \
    "BackSMTPServer:127.0.0.1" \
    "BackSMTPPort:$BACKEND_PORT" \
    "BackAddrDomain:example.test" \
    "BackAddrDomain:other.test"
SPEC="inet:$MILTER_PORT@127.0.0.1"
kv_start kelvantor -p "$SPEC" -f "$WORK/kelvantor.conf"
pid=$KV_PID
kv_ready "$SPEC" "$pid" || die "kelvantor did not start: $(cat "$WORK/kelvantor.out")"

# --- connect-time exemptions -------------------------------------------------
check_connect() {  # ADDR DAEMON EXPECTED
    client "$WORK/c.out" --socket "$SPEC" --client-addr "$1" --daemon-name "$2"
    expect_line "$WORK/c.out" "connect $1 $3" "client $1 via daemon $2"
    if [ "$3" = accept ] && grep -q '^helo' "$WORK/c.out"; then
        fail "client $1: the session went on after an accept at connect"
    fi
}
check_connect 127.0.0.1 mx-in accept
check_connect ::1 mx-in accept
check_connect unknown mx-in accept
check_connect 127.0.0.2 MSA accept
check_connect 127.0.0.2 msa accept
check_connect 127.0.0.2 mx-in continue
check_connect 127.0.0.3 MSA-2 continue
check_connect ::ffff:127.0.0.1 mx-in continue

# --- recipients: first transaction, every routed one probed --------------------
client "$WORK/t1.out" --socket "$SPEC" --client-addr 127.0.0.2 --daemon-name mx-in \
    --from sender@client.example \
    --rcpt known@example.test --rcpt unknown1@example.test --rcpt someone@unrouted.example \
    --rcpt busy@example.test --rcpt bad553@example.test --rcpt relay@other.test ||
    fail "client transaction 1 did not complete: $(cat "$WORK/t1.out")"
expect_line "$WORK/t1.out" "connect 127.0.0.2 continue" "transaction 1"
expect_line "$WORK/t1.out" "rcpt <known@example.test> continue" "known user"
expect_line "$WORK/t1.out" "rcpt <unknown1@example.test> reject 550 5.1.1  User unknown" "unknown user"
expect_line "$WORK/t1.out" "rcpt <someone@unrouted.example> continue" "unrouted domain"
expect_line "$WORK/t1.out" "rcpt <busy@example.test> continue" "backend 451"
expect_line "$WORK/t1.out" "rcpt <bad553@example.test> reject 550 5.1.1  User unknown" "backend 553"
expect_line "$WORK/t1.out" "rcpt <relay@other.test> continue" "backend 554 relay refusal"
expect_line "$WORK/t1.out" "eom continue" "end of message"

# One backend session for the five routed recipients, ended by RSET and QUIT.
# (the port probes of pf_start show up as sessions with commands=0/0)
backend_ends() { grep -F 'postfix-backend/smtpd' "$WORK/pf/log/maillog" | grep -F 'disconnect from' | grep -vF 'commands=0/0'; }
backend_sessions() { [ "$(backend_ends | grep -c .)" -ge "$1" ]; }
if wait_until 10 backend_sessions 1; then
    line=$(backend_ends | sed -n 1p)
    case "$line" in
        *" helo=1 mail=1 rcpt=1/5 rset=1 quit=1 "*) ;;
        *) fail "backend session 1 should be helo=1 mail=1 rcpt=1/5 rset=1 quit=1: $line" ;;
    esac
else
    fail "the backend logged no end of session"
fi
if grep -F '<unknown1@example.test>: Recipient address rejected' "$WORK/pf/log/maillog" |
    grep -qF "from=<postmaster+backscatter@$HOST> to=<unknown1@example.test> proto=SMTP helo=<$HOST>"; then
    :
else
    fail "the backend did not see the probe as HELO $HOST, MAIL FROM:<postmaster+backscatter@$HOST>:"
    grep -F 'postfix-backend' "$WORK/pf/log/maillog" | sed 's/^/    /' >&2
fi

# --- second transaction: definitive verdicts come from the cache ---------------
client "$WORK/t2.out" --socket "$SPEC" --client-addr 127.0.0.2 --daemon-name mx-in \
    --from sender@client.example \
    --rcpt unknown1@example.test --rcpt UNKNOWN1@Example.Test --rcpt known@example.test \
    --rcpt bad553@example.test --rcpt relay@other.test ||
    fail "client transaction 2 did not complete: $(cat "$WORK/t2.out")"
expect_line "$WORK/t2.out" "rcpt <unknown1@example.test> reject 550 5.1.1  User unknown" "cached unknown"
expect_line "$WORK/t2.out" "rcpt <UNKNOWN1@Example.Test> reject 550 5.1.1  User unknown" \
    "cached unknown, other case"
expect_line "$WORK/t2.out" "rcpt <known@example.test> continue" "cached known"
expect_line "$WORK/t2.out" "rcpt <bad553@example.test> reject 550 5.1.1  User unknown" "cached 553"
expect_line "$WORK/t2.out" "rcpt <relay@other.test> continue" "relay refusal again"
# Only the uncached relay@other.test reached the backend this time.
if wait_until 10 backend_sessions 2; then
    line=$(backend_ends | sed -n 2p)
    case "$line" in
        *" rcpt=0/1 "*) ;;
        *) fail "backend session 2 should hold only the uncached recipient (rcpt=0/1): $line" ;;
    esac
else
    fail "the backend logged no second session"
fi
[ "$(maillog_count '<unknown1@example.test>: Recipient address rejected')" = 1 ] ||
    fail "unknown1@example.test was probed again although cached"

# --- messages without a header line or without a body -------------------------
# Every stage is answered at once (each answer within a second) and the backend
# session still ends with RSET and QUIT.  relay@other.test is never cached, so
# each message opens a session of its own.
ended=$(backend_ends | grep -c .)
shape=0
for args in "--no-headers" "--no-headers --body body-only" "--no-body"; do
    shape=$((shape + 1))
    # shellcheck disable=SC2086  # the options are words
    client "$WORK/shape$shape.out" --socket "$SPEC" --client-addr 127.0.0.2 --daemon-name mx-in \
        --timeout 1 --from sender@client.example --rcpt relay@other.test $args ||
        fail "message $args was not answered within a second: $(cat "$WORK/shape$shape.out")"
    expect_line "$WORK/shape$shape.out" "eom continue" "message $args"
    if wait_until 10 backend_sessions $((ended + shape)); then
        line=$(backend_ends | sed -n "$((ended + shape))p")
        case "$line" in
            *" rcpt=0/1 rset=1 quit=1 "*) ;;
            *) fail "message $args: backend session should end with RSET and QUIT: $line" ;;
        esac
    else
        fail "message $args: the backend logged no end of session"
    fi
done

# --- a recipient without {rcpt_addr} is deferred -------------------------------
client "$WORK/t3.out" --socket "$SPEC" --client-addr 127.0.0.2 --daemon-name mx-in \
    --from sender@client.example --no-rcpt-macro --rcpt alice@example.test
expect_line "$WORK/t3.out" "rcpt <alice@example.test> tempfail" "missing {rcpt_addr}"
expect_log "$pid" "cannot get rcpt address"

# --- SIGTERM ends the main loop ----------------------------------------------
kv_stop "$pid"
[ "$STOP_STATUS" = 0 ] || fail "exit status after SIGTERM: $STOP_STATUS (expected 0)"
expect_log "$pid" "Exit"
log_has "$pid" "saving cache" && fail "\"saving cache\" logged although no cache file was set"
e2e_finish
