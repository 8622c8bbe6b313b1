#!/bin/bash
# Fallback servers: with the primary down every recipient is verified by the
# fallback and the primary is asked again only after its back-off; once the
# primary is back it answers again; with both down the failure answer comes
# within the time budget.
source "$(dirname "$0")/lib.sh"
e2e_init
require_backend
start_syslog

read -r PORT_KV PRIMARY < <(free_ports 2)
backend_start fallback
FALLBACK=$BACKEND_PORT
FALLBACK_PID=$BACKEND_PID

write_conf "$WORK/kv.conf" "BackSMTPServer:127.0.0.1" "TimeoutSMTPReply:1" \
    "BackSMTPPort:$FALLBACK" "BackSMTPFallback:127.0.0.1" \
    "BackSMTPPort:$PRIMARY" "BackAddrDomain:fb.test" "BackErrorTempfail:yes"
SPEC="inet:$PORT_KV@127.0.0.1"
kv_start kv -p "$SPEC" -f "$WORK/kv.conf"
kv_pid=$KV_PID
kv_ready "$SPEC" "$kv_pid" || die "kelvantor did not start"

rcpts() {
    local out=$1 r args=()
    shift
    for r in "$@"; do args+=(--rcpt "$r"); done
    client "$out" --socket "$SPEC" --client-addr 127.0.0.2 --daemon-name mx-in \
        --from sender@client.example --abort --timeout 20 "${args[@]}" ||
        fail "transaction did not complete: $(cat "$out")"
}
DEFERRED="tempfail 451 4.7.0 Internal error"
DOWN="cannot connect to backend SMTP at 127.0.0.1"

# --- primary down: the fallback answers, the primary is tried once ----------
for t in 1 2 3 4 5; do
    rcpts "$WORK/down$t.out" "a$t@fb.test" "unknown$t@fb.test" "b$t@fb.test"
    expect_line "$WORK/down$t.out" "rcpt <a$t@fb.test> continue" "primary down, known $t"
    expect_line "$WORK/down$t.out" "rcpt <unknown$t@fb.test> reject 550 5.1.1  User unknown" \
        "primary down, unknown $t"
done
[ "$(log_count "$kv_pid" "$DOWN")" = 1 ] ||
    fail "primary down: $(log_count "$kv_pid" "$DOWN") connect attempts to it in 15 recipients, expected 1"
[ "$(log_count "$kv_pid" "backend SMTP at 127.0.0.1 port $PRIMARY unavailable, trying 127.0.0.1 port $FALLBACK")" = 1 ] ||
    fail "expected one \"unavailable, trying\" line"
[ "$(backend_rcpts_from "$WORK/fallback.out" "$FALLBACK_PID")" = 15 ] ||
    fail "the fallback did not get all 15 probes"

# --- primary back: asked again once its back-off has passed -----------------
backend_start primary --port "$PRIMARY"
PRIMARY_PID=$BACKEND_PID
# One recipient each half second, at most 40: the back-off is 10 s.
used=""
for ((n = 1; n <= 40; n++)); do
    rcpts "$WORK/back$n.out" "c$n@fb.test"
    [ "$(backend_rcpts_from "$WORK/primary.out" "$PRIMARY_PID")" = 1 ] && used=yes && break
    sleep 0.5
done
[ -n "$used" ] || fail "the primary was not asked again after its back-off"
say "primary asked again after $n recipients"
expect_line "$WORK/back$n.out" "rcpt <c$n@fb.test> continue" "primary back"
expect_log "$kv_pid" "backend SMTP at 127.0.0.1 port $PRIMARY available again"

# --- both down: the failure answer within TimeoutSMTPConnect + TimeoutSMTPReply
stop_pid "$PRIMARY_PID" 5
stop_pid "$FALLBACK_PID" 5
for t in 1 2; do
    start=$(date +%s%N)
    rcpts "$WORK/both$t.out" "d$t@fb.test"
    ms=$((($(date +%s%N) - start) / 1000000))
    expect_line "$WORK/both$t.out" "rcpt <d$t@fb.test> $DEFERRED" "both down $t"
    [ "$ms" -lt 2500 ] || fail "both down: the answer took $ms ms"
    say "both down, transaction $t: $ms ms"
done

kv_stop "$kv_pid"
[ "$STOP_STATUS" = 0 ] || fail "exit status after SIGTERM: $STOP_STATUS"
e2e_finish
