#!/bin/bash
# A fleet on one real redis-server with a password: filters A (Redis over
# TCP) and B (over its unix socket) share verdicts, C keeps its own under
# another SharedCachePrefix that begins with theirs (kelvantor:c:), untouched
# by their purges.  What A learns from the test backend is stored as
# "STATUS UNIXSECONDS" under kelvantor:<lower-cased address>, expiring
# with the lifetime of its class, and answers on B with the backend idle or
# stopped, with the age of the learning.  Purges on one filter remove keys for
# all while the other keeps its in-process copy.  A Redis killed with SIGKILL
# costs no answer and no time, is logged once down and once back, and sharing
# resumes with what was learnt meanwhile.  A sleeping Redis times out and a key of the wrong type is an
# error, both counted and answered by the backend.  An invalid value of a
# SharedCache keyword ends start-up with 71.
source "$(dirname "$0")/lib.sh"
e2e_init
require_backend
require_ctl
require_redis
command -v curl >/dev/null || skip "curl is not installed"
start_syslog

read -r PORT_A PORT_B PORT_C PORT_BAD REDIS_PORT METRICS_PORT < <(free_ports 6)
MILTER_A="inet:$PORT_A@127.0.0.1"
MILTER_B="inet:$PORT_B@127.0.0.1"
MILTER_C="inet:$PORT_C@127.0.0.1"
state_dir
CTL_A="$WORK/state/a.sock"
CTL_B="$WORK/state/b.sock"
REDIS_DIR="$WORK/redis"
export REDISCLI_AUTH="fleet-$RANDOM$RANDOM"

redis_up() {
    redis_start "$REDIS_DIR" "$REDIS_PORT" --unixsocket "$REDIS_DIR/redis.sock" --unixsocketperm 777 \
        --requirepass "$REDISCLI_AUTH" --enable-debug-command local
    case $? in 0) ;; 77) skip "redis-server is not installed" ;; *) die "redis-server did not start" ;; esac
}
rcli() { timeout 5 redis-cli -p "$REDIS_PORT" "$@" 2>/dev/null; }
holds() { [[ $(rcli GET "$1") =~ ^$2\ [0-9]+$ ]]; }  # KEY STATUS
# expect_stored ADDR STATUS: A's writer puts the verdict into Redis within 5 s.
expect_stored() {
    wait_until 5 holds "kelvantor:<$1>" "$2" && return 0
    fail "no \"$2 T\" for $1 in Redis: \"$(rcli GET "kelvantor:<$1>")\"; A's writes:" \
        "$("$KV_CTL" -s "$CTL_A" stats | grep '^shared_cache_set' | tr '\n' ' ')"
    return 1
}
redis_blocked() { ! timeout 0.5 redis-cli -p "$REDIS_PORT" PING >/dev/null 2>&1; }

backend_start backend
BACKEND=backend
rcpts() { backend_rcpt_count "$BACKEND"; }
expect_rcpts() { local n; n=$(rcpts); [ "$n" = "$1" ] || fail "$2: backend RCPT count $n (expected $1)"; }

common=("BackSMTPServer:127.0.0.1" "BackSMTPPort:$BACKEND_PORT" "BackAddrDomain:example.test"
    "BackAddrDomain:other.test" "BackErrorTempfail:yes" "BackValidAddrExp:0007200"
    "BackInvalidAddrExp:0000600" "SharedCacheTimeout:50" "SharedCachePassword:$REDISCLI_AUTH")
TCP="SharedCacheServer:127.0.0.1:$REDIS_PORT"
write_conf "$WORK/a.conf" "${common[@]}" "$TCP" "ControlSocket:$CTL_A" "MetricsListen:127.0.0.1:$METRICS_PORT"
write_conf "$WORK/b.conf" "${common[@]}" "SharedCacheServer:unix:$REDIS_DIR/redis.sock" "ControlSocket:$CTL_B"
write_conf "$WORK/c.conf" "${common[@]}" "$TCP" "SharedCachePrefix:kelvantor:c:"

PASS="continue"
REJECT="reject 550 5.1.1  User unknown"
# tx MILTER OUT RCPT...: one transaction, its wall time in TX_MS.
tx() {
    local t0
    t0=$(date +%s%N)
    transaction_at "$@"
    TX_MS=$((($(date +%s%N) - t0) / 1000000))
}
says() {  # OUT WHAT ADDR ANSWER [ADDR ANSWER]...
    local out=$1 what=$2
    shift 2
    while [ $# -ge 2 ]; do expect_line "$out" "rcpt <$1> $2" "$what, $1"; shift 2; done
}
# ctl SOCKET STATUS ARGS...: kelvantorctl, its answer in CTL_OUT.
ctl() {
    local sock=$1 want=$2 status=0
    shift 2
    CTL_OUT=$("$KV_CTL" -s "$sock" "$@" 2>&1) || status=$?
    [ "$status" = "$want" ] || fail "kelvantorctl ${sock##*/} $*: status $status (expected $want): $CTL_OUT"
}
expect_ctl() {  # SOCKET PATTERN ARGS... (status 0)
    local sock=$1 pattern=$2
    shift 2
    ctl "$sock" 0 "$@"
    [[ $CTL_OUT =~ ^$pattern$ ]] || fail "kelvantorctl ${sock##*/} $*: \"$CTL_OUT\" does not match \"$pattern\""
}
# stat_of SOCKET REGEX: the sum of the "stats" lines whose name matches.
stat_of() { "$KV_CTL" -s "$1" stats 2>/dev/null | awk -v k="^($2)\$" '$1 ~ k { n += $2 } END { print n + 0 }'; }
stat_is() { [ "$(stat_of "$1" "$2")" = "$3" ]; }
expect_stat() {  # SOCKET NAME VALUE: the counter reaches VALUE within 2 s
    wait_until 2 stat_is "$1" "$2" "$3" || fail "${1##*/} stats: $2 is $(stat_of "$1" "$2") (expected $3)"
}
between() { [ -n "$1" ] && [ "$1" -ge "$2" ] && [ "$1" -le "$3" ]; }
# since PID TEXT: messages of kelvantor[PID] with TEXT after line $MARK of the log.
since() { tail -n +$((MARK + 1)) "$SYSLOG" | grep -F -- "kelvantor[$1]: " | grep -cF -- "$2"; }
seen_since() { [ "$(since "$1" "$2")" -gt 0 ]; }
expect_once() {  # PID TEXT SEVERITY: once since $MARK
    [ "$(since "$1" "$2")" = 1 ] || fail "kelvantor[$1] logged \"$2\" $(since "$1" "$2") times (expected once)"
    log_at_severity "$1" "$2" "$3" || fail "kelvantor[$1]: \"$2\" not logged at severity $3"
}

redis_up
kv_start a -p "$MILTER_A" -f "$WORK/a.conf" && PID_A=$KV_PID
kv_start b -p "$MILTER_B" -f "$WORK/b.conf" && PID_B=$KV_PID
kv_start c -p "$MILTER_C" -f "$WORK/c.conf" && PID_C=$KV_PID
kv_ready "$MILTER_A" "$PID_A" && kv_ready "$MILTER_B" "$PID_B" && kv_ready "$MILTER_C" "$PID_C" ||
    die "the filters did not start"
wait_until 5 test -S "$CTL_A" && wait_until 5 test -S "$CTL_B" || die "no control sockets"

# --- 1. learnt on A, answered on B ----------------------------------------------
t0=$(date +%s)
tx "$MILTER_A" "$WORK/a-learn.out" tempfail1@example.test Known1@Example.TEST unknown1@example.test
says "$WORK/a-learn.out" "A learns" Known1@Example.TEST "$PASS" unknown1@example.test "$REJECT"
expect_stored known1@example.test 0 || die "A shares no verdict through Redis"
expect_stored unknown1@example.test 1
expect_stat "$CTL_A" shared_cache_set_ok 2
[ -z "$(rcli GET "kelvantor:<tempfail1@example.test>")" ] || fail "a 451 answer was shared"
between "$(rcli GET "kelvantor:<known1@example.test>" | cut -d' ' -f2)" "$t0" "$(date +%s)" ||
    fail "learn time of known1 is not the time of the transaction: $(rcli GET "kelvantor:<known1@example.test>")"
between "$(rcli TTL "kelvantor:<known1@example.test>")" 7190 7200 || fail "valid key TTL $(rcli TTL "kelvantor:<known1@example.test>")"
between "$(rcli TTL "kelvantor:<unknown1@example.test>")" 590 600 || fail "invalid key TTL $(rcli TTL "kelvantor:<unknown1@example.test>")"

c=$(rcpts)
[ "$c" != none ] || die "the backend printed no counts"
tx "$MILTER_B" "$WORK/b-known.out" KNOWN1@example.test
says "$WORK/b-known.out" "B, verdict from Redis" KNOWN1@example.test "$PASS"
expect_rcpts "$c" "B answered a shared verdict"
expect_ctl "$CTL_B" 'valid [0-9]+ [0-9]+ in-process' lookup known1@example.test
expect_ctl "$CTL_B" 'invalid [0-9]+ [0-9]+ shared' lookup unknown1@example.test
ctl "$CTL_B" 1 lookup never@example.test
[ "$CTL_OUT" = none ] || fail "lookup of an address nobody knows: $CTL_OUT"
# A verdict learnt 1000 s ago elsewhere keeps its age on B.
rcli SET "kelvantor:<aged@example.test>" "0 $(($(date +%s) - 1000))" EX 6200 >/dev/null
ctl "$CTL_B" 0 lookup aged@example.test
read -r word age left from <<<"$CTL_OUT"
[ "$word $from" = "valid shared" ] && between "$age" 1000 1010 && between "$left" 6190 6200 ||
    fail "lookup of a shared verdict 1000 s old: $CTL_OUT"
tx "$MILTER_C" "$WORK/c-learn.out" known-c@example.test unknown-c@example.test
wait_until 5 holds "kelvantor:c:<known-c@example.test>" 0 && wait_until 5 holds "kelvantor:c:<unknown-c@example.test>" 1 ||
    fail "C did not write under SharedCachePrefix"
[ "$(rcli EXISTS "kelvantor:<known-c@example.test>")" = 0 ] || fail "C wrote under the default prefix"

stop_pid "$BACKEND_PID" 10
forget_pid "$BACKEND_PID"
wait_until 5 port_closed "$BACKEND_PORT" || die "the backend port stays open"
tx "$MILTER_B" "$WORK/b-down.out" unknown1@example.test aged@example.test known-c@example.test
says "$WORK/b-down.out" "B, backend stopped" unknown1@example.test "$REJECT" aged@example.test "$PASS" \
    known-c@example.test "tempfail 451 4.7.0 Internal error"
[ "$(log_count "$PID_B" "cannot connect to backend SMTP")" = 1 ] || fail "B tried the backend for a shared verdict"
ctl "$CTL_B" 0 lookup aged@example.test
read -r word age left from <<<"$CTL_OUT"
[ "$word $from" = "valid in-process" ] && between "$age" 1000 1010 && between "$left" 6190 6200 ||
    fail "a shared verdict entered B's cache without its learn time: $CTL_OUT"
backend_start backend2 --port "$BACKEND_PORT"
BACKEND=backend2

# --- 2. purges reach Redis; the other filter's copy stays until purged ----------
expect_ctl "$CTL_B" $'purged 1\nshared purged 1' purge known1@example.test
[ "$(rcli EXISTS "kelvantor:<known1@example.test>")" = 0 ] || fail "purge on B left the key in Redis"
tx "$MILTER_A" "$WORK/a-copy.out" known1@example.test
says "$WORK/a-copy.out" "A, own copy" known1@example.test "$PASS"
expect_rcpts 0 "A's in-process copy"
expect_ctl "$CTL_A" 'valid [0-9]+ [0-9]+ in-process' lookup known1@example.test
expect_ctl "$CTL_A" $'purged 1\nshared purged 0' purge known1@example.test
misses=$(stat_of "$CTL_A" shared_cache_get_miss)
tx "$MILTER_A" "$WORK/a-again.out" known1@example.test
says "$WORK/a-again.out" "A, after both purges" known1@example.test "$PASS"
expect_rcpts 1 "A after both purges"
expect_stat "$CTL_A" shared_cache_get_miss $((misses + 1))
expect_stored known1@example.test 0

tx "$MILTER_A" "$WORK/a-other.out" known2@other.test unknown2@other.test
expect_stored known2@other.test 0
expect_stored unknown2@other.test 1
expect_ctl "$CTL_B" $'purged 0\nshared purged 2' purge-domain OTHER.test
[ "$(rcli EXISTS "kelvantor:<known2@other.test>" "kelvantor:<unknown2@other.test>")" = 0 ] ||
    fail "purge-domain left other.test keys"
expect_ctl "$CTL_B" $'purged 1\nshared purged 1' purge-invalid
[ "$(rcli EXISTS "kelvantor:<unknown1@example.test>")" = 0 ] || fail "purge-invalid left unknown1"
[ "$(rcli EXISTS "kelvantor:<known1@example.test>" "kelvantor:<aged@example.test>")" = 2 ] ||
    fail "a purge removed valid example.test keys"
[ "$(rcli EXISTS "kelvantor:c:<unknown-c@example.test>")" = 1 ] || fail "purge-invalid on B reached C's prefix"

# --- 3. Redis killed, then back --------------------------------------------------
MARK=$(wc -l <"$SYSLOG")
redis_kill "$REDIS_PID"
c=$(rcpts) slowest=0
# Per round: one verdict the filter holds itself, a new valid and a new invalid one.
for round in a1 a2 a3 a4 b1 b2; do
    milter=$MILTER_A pid=$PID_A own=known1@example.test
    [ "${round#b}" = "$round" ] || milter=$MILTER_B pid=$PID_B own=aged@example.test
    tx "$milter" "$WORK/down-$round.out" "$own" "known-$round@example.test" "unknown-$round@example.test"
    says "$WORK/down-$round.out" "Redis down" "$own" "$PASS" "known-$round@example.test" "$PASS" \
        "unknown-$round@example.test" "$REJECT"
    # The bound covers starting the milter client on a loaded machine; a
    # filter that waited on the dead store would take seconds per recipient.
    [ "$TX_MS" -lt 2000 ] || fail "Redis down: transaction $round took $TX_MS ms"
    [ "$TX_MS" -gt "$slowest" ] && slowest=$TX_MS
    [ "${round#?}" != 1 ] || wait_until 5 seen_since "$pid" "shared cache unavailable" ||
        fail "$round: Redis down not logged"
done
say "Redis down: the slowest of 6 transactions took $slowest ms"
expect_rcpts $((c + 12)) "Redis down, new recipients only"
expect_ctl "$CTL_A" $'purged 1\nshared unavailable' purge known-a1@example.test
expect_ctl "$CTL_A" $'purged 2\nshared unavailable' purge-domain other.test
expect_stat "$CTL_A" shared_cache_up 0

redis_up
for pid in "$PID_A" "$PID_B"; do
    wait_until 15 seen_since "$pid" "shared cache available" || fail "kelvantor[$pid] did not log Redis back"
done
# What was learnt while Redis was down is written now, less what was purged meanwhile.
expect_stored known-a4@example.test 0
expect_stored unknown-a4@example.test 1
[ "$(rcli EXISTS "kelvantor:<known-a1@example.test>")" = 0 ] || fail "a verdict purged while Redis was down came back"
tx "$MILTER_A" "$WORK/a-back.out" known-back@example.test
expect_stored known-back@example.test 0
c=$(rcpts)
tx "$MILTER_B" "$WORK/b-back.out" known-back@example.test
says "$WORK/b-back.out" "Redis back, B" known-back@example.test "$PASS"
expect_rcpts "$c" "Redis back, B answered from Redis"
for pid in "$PID_A" "$PID_B"; do
    expect_once "$pid" "shared cache unavailable" 4
    expect_once "$pid" "shared cache available" 6
done
expect_stat "$CTL_A" shared_cache_up 1

# --- 4. a sleeping Redis, a key of the wrong type --------------------------------
timeouts=$(stat_of "$CTL_A" shared_cache_get_timeout)
gets=$(stat_of "$CTL_A" 'shared_cache_get_.*') answered=$(stat_of "$CTL_A" 'shared_cache_get_(ok|miss)')
start_bg "$WORK/sleep.out" timeout 15 redis-cli -p "$REDIS_PORT" DEBUG SLEEP 5
sleeper=$LAST_PID
wait_until 3 redis_blocked || fail "DEBUG SLEEP did not block Redis"
# One lookup that times out, then three while it sleeps: none waits for it.
tx "$MILTER_A" "$WORK/a-slow.out" unknown-slow@example.test
first=$TX_MS
tx "$MILTER_A" "$WORK/a-slow2.out" known-slow1@example.test known-slow2@example.test unknown-slow3@example.test
proc_ended "$sleeper" && fail "Redis woke before the transactions ended: nothing was shown"
say "Redis asleep: one recipient took $first ms, three took $TX_MS ms"
[ "$first" -lt 2000 ] || fail "Redis asleep: the transaction took $first ms"
[ "$TX_MS" -lt 2000 ] || fail "Redis asleep: three recipients took $TX_MS ms"
says "$WORK/a-slow.out" "Redis asleep" unknown-slow@example.test "$REJECT"
says "$WORK/a-slow2.out" "Redis asleep" known-slow1@example.test "$PASS" unknown-slow3@example.test "$REJECT"
expect_stat "$CTL_A" shared_cache_get_timeout $((timeouts + 1))
expect_stat "$CTL_A" 'shared_cache_get_.*' $((gets + 4))
expect_stat "$CTL_A" 'shared_cache_get_(ok|miss)' "$answered"
wait_until 15 proc_ended "$sleeper" && wait "$sleeper"
forget_pid "$sleeper"
curl -fsS --max-time 5 -o "$WORK/metrics.txt" "http://127.0.0.1:$METRICS_PORT/metrics" || fail "no /metrics"
samples='^kelvantor_shared_cache_operations_total{op="(get|set|del)",result="(ok|miss|error|timeout|dropped)"} [0-9]+$'
[ "$(grep -cE "$samples" "$WORK/metrics.txt")" = 15 ] || fail "/metrics lacks some of the 15 shared cache samples"
grep -qx "kelvantor_shared_cache_operations_total{op=\"get\",result=\"timeout\"} $((timeouts + 1))" \
    "$WORK/metrics.txt" || fail "/metrics disagrees with stats on get timeouts"

wait_until 15 stat_is "$CTL_A" shared_cache_up 1 || fail "A did not take Redis back after the sleep"
expect_stored unknown-slow3@example.test 1  # learnt while it slept
rcli RPUSH "kelvantor:<unknown-list@example.test>" a >/dev/null
errors=$(stat_of "$CTL_A" shared_cache_get_error) c=$(rcpts) sets=$(stat_of "$CTL_A" 'shared_cache_set_.*')
tx "$MILTER_A" "$WORK/a-list.out" unknown-list@example.test
says "$WORK/a-list.out" "key of the wrong type" unknown-list@example.test "$REJECT"
expect_rcpts $((c + 1)) "key of the wrong type"
expect_stat "$CTL_A" shared_cache_get_error $((errors + 1))
# The verdict learnt then is written with NX: the key that was there stays.
expect_stat "$CTL_A" 'shared_cache_set_.*' $((sets + 1))
[ "$(rcli TYPE "kelvantor:<unknown-list@example.test>")" = list ] || fail "a SET replaced a key that was there"

kv_stop_many "$PID_A" "$PID_B" "$PID_C"
[ "${KV_STATUS[$PID_A]} ${KV_STATUS[$PID_B]} ${KV_STATUS[$PID_C]}" = "0 0 0" ] ||
    fail "exit statuses after SIGTERM: ${KV_STATUS[$PID_A]} ${KV_STATUS[$PID_B]} ${KV_STATUS[$PID_C]}"

# --- 5. invalid values ----------------------------------------------------------
for bad in "SharedCacheTimeout:abc" "SharedCacheTimeout:0" "SharedCacheTimeout:60001" "SharedCacheServer:nocolon" \
    "SharedCacheServer:127.0.0.1:65536" "SharedCacheServer:unix:relative.sock" "SharedCachePrefix:two words"; do
    write_conf "$WORK/bad.conf" "${common[@]}" "$TCP" "$bad"
    kv_start bad -p "inet:$PORT_BAD@127.0.0.1" -f "$WORK/bad.conf"
    wait_until 10 proc_ended "$KV_PID" || fail "$bad: still running"
    kv_stop "$KV_PID"
    [ "$STOP_STATUS" = 71 ] || fail "$bad: exit status $STOP_STATUS (expected 71)"
    log_at_severity "$KV_PID" "${bad%%:*}" 3 || { fail "$bad: no LOG_ERR naming ${bad%%:*}; log:"; log_of "$KV_PID" >&2; }
done
e2e_finish
