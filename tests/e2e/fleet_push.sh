#!/bin/bash
# Three filters A, B and C on one real redis-server, with SharedCachePush:
# a verdict A learns from the test backend is an in-process hit on B and C
# within one second, without a GET of theirs (their shared-store get
# counters stay) and without a probe; A drops its own messages; purges on A
# (an address, a domain, every invalid verdict) are gone from B and C within
# one second; a message that is not one is counted and ignored; after Redis
# restarts the filters subscribe again and pushing goes on.
source "$(dirname "$0")/lib.sh"
e2e_init
require_backend
require_ctl
require_redis
start_syslog

read -r PORT_A PORT_B PORT_C REDIS_PORT < <(free_ports 4)
state_dir
REDIS_DIR="$WORK/redis"
CHANNEL="kelvantor:<>"
rcli() { timeout 5 redis-cli -p "$REDIS_PORT" "$@" 2>/dev/null; }
redis_up() { redis_start "$REDIS_DIR" "$REDIS_PORT" || die "redis-server did not start"; }

backend_start backend
rcpts() { backend_rcpt_count backend; }

ctl() { "$KV_CTL" -s "$WORK/state/$1.sock" "${@:2}" 2>&1; }
# stat NAME REGEX: the sum of filter NAME's "stats" lines whose name matches.
stat() { ctl "$1" stats | awk -v k="^($2)\$" '$1 ~ k { n += $2 } END { print n + 0 }'; }
gets() { stat "$1" 'shared_cache_get_.*'; }
# within_1s COMMAND...: COMMAND holds within one second of the last mark.
mark() { MARK_US=${EPOCHREALTIME/./}; }
within_1s() {
    until "$@"; do
        [ $((${EPOCHREALTIME/./} - MARK_US)) -lt 1000000 ] || return 1
        sleep 0.02
    done
}
applied_at_least() { [ "$(stat "$1" shared_push_applied)" -ge "$2" ]; }
lookup_is() { [[ $(ctl "$1" lookup "$2") =~ ^$3$ ]]; }
subscribers() { [ "$(rcli PUBSUB NUMSUB "$CHANNEL" | tail -n 1)" = 3 ]; }

redis_up
PIDS=()
for f in a b c; do
    write_conf "$WORK/$f.conf" "BackSMTPServer:127.0.0.1" "BackSMTPPort:$BACKEND_PORT" \
        "BackAddrDomain:example.test" "BackAddrDomain:other.test" "BackErrorTempfail:yes" \
        "SharedCacheServer:127.0.0.1:$REDIS_PORT" "SharedCachePush:yes" \
        "ControlSocket:$WORK/state/$f.sock"
done
kv_start a -p "inet:$PORT_A@127.0.0.1" -f "$WORK/a.conf" && PID_A=$KV_PID
kv_start b -p "inet:$PORT_B@127.0.0.1" -f "$WORK/b.conf" && PID_B=$KV_PID
kv_start c -p "inet:$PORT_C@127.0.0.1" -f "$WORK/c.conf" && PID_C=$KV_PID
for p in "$PORT_A $PID_A" "$PORT_B $PID_B" "$PORT_C $PID_C"; do
    set -- $p
    kv_ready "inet:$1@127.0.0.1" "$2" || die "the filters did not start"
done
wait_until 5 subscribers || die "not three subscribers on $CHANNEL: $(rcli PUBSUB NUMSUB "$CHANNEL")"
log_has "$PID_B" "shared cache push: subscribed to $CHANNEL" || fail "B did not log its subscription"

# --- 1. learnt on A: in-process hits on B and C --------------------------------
gets_b=$(gets b) gets_c=$(gets c)
transaction_at "inet:$PORT_A@127.0.0.1" "$WORK/a.out" known-p@example.test unknown-p@example.test \
    known-q@other.test
mark
expect_line "$WORK/a.out" "rcpt <unknown-p@example.test> reject 550 5.1.1  User unknown" "A learns"
for f in b c; do
    within_1s applied_at_least $f 3 || fail "$f applied $(stat $f shared_push_applied) of A's 3 verdicts within 1 s"
done
say "B and C held A's verdicts $(((${EPOCHREALTIME/./} - MARK_US) / 1000)) ms after A answered"
probes=$(rcpts)
for f in b c; do
    lookup_is $f known-p@example.test 'valid [0-9]+ [0-9]+ in-process' || fail "$f: $(ctl $f lookup known-p@example.test)"
    lookup_is $f unknown-p@example.test 'invalid [0-9]+ [0-9]+ in-process' || fail "$f: $(ctl $f lookup unknown-p@example.test)"
done
transaction_at "inet:$PORT_B@127.0.0.1" "$WORK/b.out" known-p@example.test unknown-p@example.test
expect_line "$WORK/b.out" "rcpt <known-p@example.test> continue" "B, a pushed verdict"
expect_line "$WORK/b.out" "rcpt <unknown-p@example.test> reject 550 5.1.1  User unknown" "B, a pushed verdict"
[ "$(rcpts)" = "$probes" ] || fail "B probed the backend for pushed verdicts"
[ "$(gets b) $(gets c)" = "$gets_b $gets_c" ] || fail "shared-store GETs of B and C moved: $(gets b) $(gets c) (were $gets_b $gets_c)"
[ "$(stat a shared_push_own) $(stat a shared_push_applied)" = "3 0" ] ||
    fail "A: own $(stat a shared_push_own), applied $(stat a shared_push_applied) (expected 3 0)"
[ "$(stat a shared_push_sent)" = 3 ] || fail "A sent $(stat a shared_push_sent) messages (expected 3)"

# --- 2. purges on A: gone from B and C -----------------------------------------
for purge in "purge known-p@example.test:known-p@example.test" "purge-domain other.test:known-q@other.test" \
    "purge-invalid:unknown-p@example.test"; do
    read -r -a words <<<"${purge%%:*}"
    address=${purge##*:}
    ctl a "${words[@]}" | grep -x "shared purged 1" >/dev/null || fail "A: ${words[*]} did not purge the store"
    mark
    for f in b c; do
        within_1s lookup_is $f "$address" none || fail "$f still holds $address 1 s after ${words[*]} on A: $(ctl $f lookup "$address")"
    done
done

# --- 3. malformed messages; a restart of Redis ------------------------------------
rcli PUBLISH "$CHANNEL" "1 0123456789abcdef v 99 <x@example.test>" >/dev/null
rcli PUBLISH "$CHANNEL" "hello" >/dev/null
wait_until 2 test "$(stat b shared_push_malformed)" = 2 || fail "B counted $(stat b shared_push_malformed) malformed (expected 2)"
[ "$(ctl b lookup x@example.test)" = none ] || fail "a malformed message was applied"
redis_kill
wait_until 5 log_has "$PID_B" "shared cache push: not subscribed: connection closed by the server" ||
    fail "B did not log the lost subscription"
redis_up
wait_until 10 subscribers || fail "the filters did not subscribe again: $(rcli PUBSUB NUMSUB "$CHANNEL")"
wait_until 5 log_has "$PID_C" "shared cache push: subscribed again to $CHANNEL" || fail "C did not log its new subscription"
wait_until 10 test "$(ctl a stats | awk '$1 == "shared_cache_up" { print $2 }')" = 1 || fail "A did not find the store back"
applied=$(stat c shared_push_applied)
transaction_at "inet:$PORT_A@127.0.0.1" "$WORK/a2.out" after-restart@example.test
mark
within_1s applied_at_least c $((applied + 1)) || fail "C did not take a verdict pushed after the restart"

kv_stop_many "$PID_A" "$PID_B" "$PID_C"
[ "${KV_STATUS[$PID_A]} ${KV_STATUS[$PID_B]} ${KV_STATUS[$PID_C]}" = "0 0 0" ] ||
    fail "exit statuses after SIGTERM: ${KV_STATUS[$PID_A]} ${KV_STATUS[$PID_B]} ${KV_STATUS[$PID_C]}"
e2e_finish
