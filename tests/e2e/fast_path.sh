#!/bin/bash
# MilterFastPath:yes with the real binary, beside a filter without it, both
# in front of a real Postfix backend (recipient table).  On the fast path the
# filter negotiates HELO, MAIL, headers, end of headers, body and unknown
# commands away and accepts each message at DATA, having ended its backend
# session (RSET, QUIT) before the client goes on; without the keyword the
# negotiated flags are the usual ones.  Through the private Postfix in front,
# two messages on one connection (with and without headers) and an abort give
# the same SMTP answers on both filters; miltertest plays the same on the
# fast path.
source "$(dirname "$0")/lib.sh"
e2e_init
command -v python3 >/dev/null || skip "python3 is not installed"

read -r FAST_PORT OFF_PORT BACKEND_PORT FRONT_FAST FRONT_OFF < <(free_ports 5)
backend_users "$WORK/users"
pf_start "inet:127.0.0.1:$FAST_PORT" "$(backend_listener "$BACKEND_PORT" "$WORK/users")
127.0.0.1:$FRONT_FAST inet n - n - - smtpd
127.0.0.1:$FRONT_OFF inet n - n - - smtpd
  -o smtpd_milters=inet:127.0.0.1:$OFF_PORT"
common=("BackSMTPServer:127.0.0.1" "BackSMTPPort:$BACKEND_PORT" "BackAddrDomain:example.test")
write_conf "$WORK/fast.conf" "${common[@]}" "MilterFastPath:yes"
write_conf "$WORK/off.conf" "${common[@]}"
FAST="inet:$FAST_PORT@127.0.0.1"
OFF="inet:$OFF_PORT@127.0.0.1"
kv_start fast -p "$FAST" -f "$WORK/fast.conf"
fast_pid=$KV_PID
kv_start off -p "$OFF" -f "$WORK/off.conf"
off_pid=$KV_PID
kv_ready "$FAST" "$fast_pid" || die "fast-path kelvantor did not start"
kv_ready "$OFF" "$off_pid" || die "kelvantor did not start"

# --- negotiation ------------------------------------------------------------------
client "$WORK/probe-off.out" --socket "$OFF" --probe
expect_line "$WORK/probe-off.out" "negotiate version=6 actions=0x00000001 protocol=0x00000132" \
    "flags without the fast path (no HELO, headers, body, unknown)"
client "$WORK/probe-fast.out" --socket "$FAST" --probe
expect_line "$WORK/probe-fast.out" "negotiate version=6 actions=0x00000001 protocol=0x00000176" \
    "flags on the fast path (also no MAIL, no end of headers)"

# --- the backend session ends at DATA, before the client goes on --------------------
backend_ends() { grep -F 'postfix-backend/smtpd' "$WORK/pf/log/maillog" | grep -F 'disconnect from' | grep -vF 'commands=0/0'; }
backend_sessions() { [ "$(backend_ends | grep -c .)" -ge "$1" ]; }
ended=$(backend_ends | grep -c .)
client "$WORK/at-data.out" --socket "$FAST" --client-addr 127.0.0.2 --daemon-name mx-in \
    --from sender@client.example --rcpt known@example.test --rcpt unknown0@example.test \
    --data-wait-file "$WORK/go" --timeout 20 &
client_pid=$!
if wait_until 10 backend_sessions $((ended + 1)); then
    case "$(backend_ends | tail -n 1)" in
        *" rcpt=1/2 rset=1 quit=1 "*) ;;
        *) fail "the backend session did not end with RSET and QUIT: $(backend_ends | tail -n 1)" ;;
    esac
else
    fail "the backend session did not end while the client waited after DATA"
fi
touch "$WORK/go"
wait "$client_pid" || fail "the fast-path transaction did not complete: $(cat "$WORK/at-data.out")"
expect_line "$WORK/at-data.out" "rcpt <known@example.test> continue" "fast path, known user"
expect_line "$WORK/at-data.out" "rcpt <unknown0@example.test> reject 550 5.1.1  User unknown" \
    "fast path, unknown user"
expect_line "$WORK/at-data.out" "data accept" "fast path, DATA"
grep -qE '^(header|eoh|body|eom) ' "$WORK/at-data.out" &&
    fail "stages after DATA went to the filter: $(cat "$WORK/at-data.out")"

# --- the same SMTP answers through Postfix, on and off the fast path -------------------
python3 "$KV_E2E_DIR/fast_path_smtp.py" "$FRONT_FAST" >"$WORK/smtp-fast.out" 2>"$WORK/smtp-fast.err" ||
    fail "SMTP session through the fast path failed: $(cat "$WORK/smtp-fast.err")"
python3 "$KV_E2E_DIR/fast_path_smtp.py" "$FRONT_OFF" >"$WORK/smtp-off.out" 2>"$WORK/smtp-off.err" ||
    fail "SMTP session without the fast path failed: $(cat "$WORK/smtp-off.err")"
diff "$WORK/smtp-off.out" "$WORK/smtp-fast.out" >"$WORK/smtp.diff" ||
    fail "SMTP answers differ on the fast path:"$'\n'"$(cat "$WORK/smtp.diff")"
expect_line "$WORK/smtp-fast.out" "rcpt unknown1@example.test 550 5.1.1  User unknown" "SMTP, unknown"
expect_line "$WORK/smtp-fast.out" "rcpt bob@example.test 250 2.1.5 Ok" "SMTP, known after a reject"
[ "$(grep -c '^data 250 2.0.0 Ok' "$WORK/smtp-fast.out")" = 2 ] ||
    fail "both messages should be queued: $(cat "$WORK/smtp-fast.out")"
grep -q '^data-seconds [1-9]' "$WORK/smtp-fast.err" &&
    fail "a message waited for the filter: $(cat "$WORK/smtp-fast.err")"

# --- miltertest -----------------------------------------------------------------------
if command -v miltertest >/dev/null; then
    miltertest -D "sock=$FAST" -s "$KV_E2E_DIR/fast_path.lua" >"$WORK/miltertest.out" 2>&1 ||
        fail "miltertest: $(cat "$WORK/miltertest.out")"
else
    say "miltertest is not installed: its part is left out"
fi

kv_stop_many "$fast_pid" "$off_pid"
[ "${KV_STATUS[$fast_pid]}" = 0 ] || fail "fast-path kelvantor exit status: ${KV_STATUS[$fast_pid]}"
e2e_finish
