#!/bin/bash
# SIGTERM while client connections are inside the recipient callback: the
# main loop returns with connection threads still probing, and the process
# must end with status 0, "Exit" logged, and no sanitizer report (the test
# runs in the sanitizer builds too, where the binary is instrumented).
# Three rounds of ten client connections that each stream recipients (routed
# ones probed at the backend, unrouted ones looked up only), so that threads
# are inside the callbacks, reading the routes and the cache, when the main
# loop returns.
source "$(dirname "$0")/lib.sh"
e2e_init
require_backend
start_syslog

backend_start slow --rcpt-delay-ms 5
SLOW_PID=$BACKEND_PID
write_conf "$WORK/kelvantor.conf" "BackSMTPServer:127.0.0.1" "BackSMTPPort:$BACKEND_PORT" \
    "BackAddrDomain:slow.test" "TimeoutSMTPReply:5"

rcpts_seen() {
    kill -USR1 "$SLOW_PID"
    local line
    line=$(grep '^counts ' "$WORK/slow.out" | tail -n 1)
    [ "${line##*rcpts=}" -ge "$1" ] 2>/dev/null
}

seen=0
for round in 1 2 3; do
    read -r port < <(free_ports 1)
    spec="inet:$port@127.0.0.1"
    kv_start "round$round" -p "$spec" -f "$WORK/kelvantor.conf"
    pid=$KV_PID
    kv_ready "$spec" "$pid" || die "kelvantor did not start (round $round)"
    clients=()
    for c in $(seq 1 10); do
        args=()
        for r in $(seq 1 1500); do args+=(--rcpt "r$round-$c-$r@slow.test" --rcpt "u$r@elsewhere.test"); done
        client "$WORK/client-$round-$c.out" --socket "$spec" --client-addr 127.0.0.2 \
            --from sender@client.example --abort --timeout 30 "${args[@]}" &
        clients+=($!)
    done
    # Stop once the backend has taken recipients of this round: threads are
    # then inside the callback, waiting for RCPT replies.
    seen=$((seen + 200))
    wait_until 10 rcpts_seen "$seen" || fail "round $round: the backend saw no recipients"
    kill -TERM "$pid"
    stop_pid "$pid" 15
    forget_pid "$pid"
    [ "$STOP_STATUS" = 0 ] || fail "round $round: exit status after SIGTERM: $STOP_STATUS"
    wait_until 5 log_has "$pid" "Exit" || fail "round $round: no \"Exit\" logged"
    if grep -qE 'ERROR: AddressSanitizer|ThreadSanitizer|runtime error:|LeakSanitizer' \
        "$WORK/round$round.out"; then
        fail "round $round: sanitizer report:"
        sed 's/^/    /' "$WORK/round$round.out" | head -n 60 >&2
    fi
    wait "${clients[@]}" 2>/dev/null
    seen=$(grep '^counts ' "$WORK/slow.out" | tail -n 1 | sed 's/.*rcpts=//')
done
e2e_finish
