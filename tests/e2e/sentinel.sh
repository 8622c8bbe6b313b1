#!/bin/bash
# Three filters share verdicts through a Redis master that three Redis
# Sentinels name (a replica beside it; passwords on the master and on the
# Sentinels; C's first Sentinel line names a port nobody listens on).  The
# master is killed with SIGKILL while mail flows through all three: the
# Sentinels fail over to the replica within about two seconds, no answer is
# wrong or late, each filter logs the store down and back once, the verdicts
# learnt meanwhile and after it are written to the new master, and another
# filter answers them from there; pushing (SharedCachePush) resumes on the new
# master: a verdict A learns after it is an in-process hit on B within one
# second.  A filter whose Sentinel is stopped, or hangs, follows the next one.
source "$(dirname "$0")/lib.sh"
e2e_init
require_backend
require_ctl
require_redis
start_syslog

read -r PORT_A PORT_B PORT_C MASTER_PORT REPLICA_PORT S1 S2 S3 NOBODY < <(free_ports 9)
MILTER_A="inet:$PORT_A@127.0.0.1" MILTER_B="inet:$PORT_B@127.0.0.1" MILTER_C="inet:$PORT_C@127.0.0.1"
NAME=kvfleet
PW="master-$RANDOM$RANDOM" SPW="sentinel-$RANDOM$RANDOM"
rcli() { local port=$1; shift; REDISCLI_AUTH=$PW timeout 5 redis-cli -p "$port" "$@" 2>/dev/null; }
scli() { local port=$1; shift; REDISCLI_AUTH=$SPW timeout 5 redis-cli -p "$port" "$@" 2>/dev/null; }
named_master() { [ "$(scli "$1" SENTINEL get-master-addr-by-name "$NAME" | tail -n 1)" = "$2" ]; }
replica_synced() { rcli "$REPLICA_PORT" INFO replication | grep '^master_link_status:up' >/dev/null; }
knows_peers() { [ "$(scli "$1" SENTINEL sentinels "$NAME" | grep -cx name)" = 2 ] &&
    [ "$(scli "$1" SENTINEL replicas "$NAME" | grep -cx name)" = 1 ]; }
holds() { [[ $(rcli "$1" GET "kelvantor:<$2>") =~ ^$3\ [0-9]+$ ]]; }  # PORT ADDR STATUS
expect_stored() {  # PORT ADDR STATUS: written there within 5 s
    wait_until 5 holds "$@" && return 0
    fail "no \"$3 T\" for $2 in the Redis on $1: \"$(rcli "$1" GET "kelvantor:<$2>")\""
    return 1
}

export REDISCLI_AUTH=$PW  # for redis_start's PING
redis_start "$WORK/master" "$MASTER_PORT" --requirepass "$PW" --masterauth "$PW" \
    --repl-diskless-sync-delay 0
case $? in 0) ;; 77) skip "redis-server is not installed" ;; *) die "the master did not start" ;; esac
MASTER_PID=$REDIS_PID
redis_start "$WORK/replica" "$REPLICA_PORT" --requirepass "$PW" --masterauth "$PW" \
    --replicaof 127.0.0.1 "$MASTER_PORT" || die "the replica did not start"
unset REDISCLI_AUTH
wait_until 10 replica_synced || die "the replica does not follow the master"
SENTINEL_PIDS=()
for port in "$S1" "$S2" "$S3"; do
    mkdir "$WORK/s$port"
    # Small timings: the master counts as down after 500 ms, a failover is
    # retried after 2 s.
    printf '%s\n' "port $port" "bind 127.0.0.1" "dir $WORK/s$port" "requirepass $SPW" \
        "sentinel sentinel-pass $SPW" "sentinel monitor $NAME 127.0.0.1 $MASTER_PORT 2" \
        "sentinel auth-pass $NAME $PW" "sentinel down-after-milliseconds $NAME 500" \
        "sentinel failover-timeout $NAME 2000" >"$WORK/s$port/sentinel.conf"
    start_bg "$WORK/s$port/log" redis-server "$WORK/s$port/sentinel.conf" --sentinel
    SENTINEL_PIDS+=("$LAST_PID")
done
for port in "$S1" "$S2" "$S3"; do
    wait_secs 30 knows_peers "$port" || die "Sentinel $port does not see the others and the replica"
done

backend_start backend
rcpts() { backend_rcpt_count backend; }
common=("BackSMTPServer:127.0.0.1" "BackSMTPPort:$BACKEND_PORT" "BackAddrDomain:example.test"
    "BackErrorTempfail:yes" "BackValidAddrExp:0007200" "BackInvalidAddrExp:0000600"
    "SharedCacheTimeout:00100" "SharedCachePassword:$PW" "SharedCacheSentinelPassword:$SPW"
    "SharedCacheMasterName:$NAME" "SharedCachePush:yes")
sentinels() { local p; for p in "$@"; do echo "SharedCacheSentinel:127.0.0.1:$p"; done; }
write_conf "$WORK/a.conf" "${common[@]}" $(sentinels "$S1" "$S2" "$S3")
state_dir
write_conf "$WORK/b.conf" "${common[@]}" $(sentinels "$S2" "$S3" "$S1") "ControlSocket:$WORK/state/b.sock"
# stat_b REGEX: the sum of B's "stats" lines whose name matches.
stat_b() { "$KV_CTL" -s "$WORK/state/b.sock" stats | awk -v k="^($1)\$" '$1 ~ k { n += $2 } END { print n + 0 }'; }
b_holds() { [[ $("$KV_CTL" -s "$WORK/state/b.sock" lookup "$1") =~ ^valid\ [0-9]+\ [0-9]+\ in-process$ ]]; }
write_conf "$WORK/c.conf" "${common[@]}" $(sentinels "$NOBODY" "$S3" "$S1")

PASS="continue"
REJECT="reject 550 5.1.1  User unknown"
since() { tail -n +$((MARK + 1)) "$SYSLOG" | grep -F -- "kelvantor[$1]: " | grep -cF -- "$2"; }
seen_since() { [ "$(since "$1" "$2")" -gt 0 ]; }
expect_once() {  # PID TEXT: logged once since $MARK
    [ "$(since "$1" "$2")" = 1 ] || fail "kelvantor[$1] logged \"$2\" $(since "$1" "$2") times (expected once)"
}
SLOWEST=0 TXS=0
# tx MILTER OUT ADDR ANSWER...: one transaction, every answer and its time checked.
tx() {
    local milter=$1 out=$2 t0 ms rcpt=()
    shift 2
    for ((i = 1; i <= $#; i += 2)); do rcpt+=("${!i}"); done
    t0=${EPOCHREALTIME/./}
    transaction_at "$milter" "$out" "${rcpt[@]}"
    ms=$(((${EPOCHREALTIME/./} - t0) / 1000))
    TXS=$((TXS + 1))
    [ "$ms" -gt "$SLOWEST" ] && SLOWEST=$ms
    # The bound covers starting the client on a loaded machine; a filter
    # that waited on the dead master or a Sentinel would take seconds.
    [ "$ms" -lt 2000 ] || fail "$out: the transaction took $ms ms"
    while [ $# -ge 2 ]; do expect_line "$out" "rcpt <$1> $2" "$out"; shift 2; done
}

MARK=0
kv_start a -p "$MILTER_A" -f "$WORK/a.conf" && PID_A=$KV_PID
kv_start b -p "$MILTER_B" -f "$WORK/b.conf" && PID_B=$KV_PID
kv_start c -p "$MILTER_C" -f "$WORK/c.conf" && PID_C=$KV_PID
GATEWAYS=("$PID_A" "$PID_B" "$PID_C")
kv_ready "$MILTER_A" "$PID_A" && kv_ready "$MILTER_B" "$PID_B" && kv_ready "$MILTER_C" "$PID_C" ||
    die "the filters did not start"
for pid in "${GATEWAYS[@]}"; do
    wait_until 5 seen_since "$pid" "shared cache available" || die "kelvantor[$pid] did not reach the master"
done

# --- 1. the master the Sentinels name is shared -----------------------------------
tx "$MILTER_A" "$WORK/a-learn.out" known-1@example.test "$PASS" unknown-1@example.test "$REJECT"
expect_stored "$MASTER_PORT" known-1@example.test 0 || die "A shares no verdict through the master"
expect_stored "$MASTER_PORT" unknown-1@example.test 1
c=$(rcpts)
tx "$MILTER_B" "$WORK/b-shared.out" known-1@example.test "$PASS" unknown-1@example.test "$REJECT"
tx "$MILTER_C" "$WORK/c-shared.out" known-1@example.test "$PASS"
[ "$(rcpts)" = "$c" ] || fail "B and C asked the backend for verdicts in the master"

# --- 2. the master killed while mail flows ---------------------------------------
MARK=$(wc -l <"$SYSLOG")
kill_at=3 killed="" failed_over="" back_at="" round=0
all_back() { local p; for p in "${GATEWAYS[@]}"; do seen_since "$p" "shared cache available" || return 1; done; }
# Bounded: at most 150 rounds of three transactions, or 40 s; five rounds
# more once every filter is back.
end=$((${EPOCHREALTIME/./} + 40000000))
while [ "$round" -lt 150 ] && [ "${EPOCHREALTIME/./}" -lt "$end" ]; do
    round=$((round + 1))
    for g in a b c; do
        milter=MILTER_${g^^}
        tx "${!milter}" "$WORK/run-$g$round.out" known-1@example.test "$PASS" \
            "known-$g$round@example.test" "$PASS" "unknown-$g$round@example.test" "$REJECT"
    done
    if [ "$round" = "$kill_at" ]; then
        redis_kill "$MASTER_PID"
        killed=${EPOCHREALTIME/./}
    elif [ -n "$killed" ] && [ -z "$failed_over" ] && named_master "$S2" "$REPLICA_PORT"; then
        failed_over=${EPOCHREALTIME/./}
    fi
    if [ -n "$failed_over" ] && [ -z "$back_at" ] && all_back; then
        back_at=$round back_ms=$(((${EPOCHREALTIME/./} - killed) / 1000))
    fi
    [ -n "$back_at" ] && [ $((round - back_at)) -ge 5 ] && break
done
[ -n "$failed_over" ] || die "the Sentinels did not fail over within $round rounds"
[ -n "$back_at" ] || fail "not every filter took the new master within $round rounds"
say "failover: the Sentinels named the replica $(((failed_over - killed) / 1000)) ms after the kill," \
    "every filter was back by $back_ms ms; $round rounds, the slowest of $TXS transactions took $SLOWEST ms"
for pid in "${GATEWAYS[@]}"; do
    expect_once "$pid" "shared cache unavailable"
    expect_once "$pid" "shared cache available"
    seen_since "$pid" "shared cache master is now 127.0.0.1:$REPLICA_PORT" ||
        fail "kelvantor[$pid] did not log the new master"
done
[ "$(rcli "$REPLICA_PORT" ROLE | head -n 1)" = master ] || fail "the replica was not promoted"

# What was learnt during the failover and after it is in the new master.
expect_stored "$REPLICA_PORT" "known-a$((kill_at + 1))@example.test" 0
expect_stored "$REPLICA_PORT" "unknown-b$((kill_at + 1))@example.test" 1
expect_stored "$REPLICA_PORT" "known-c$round@example.test" 0
tx "$MILTER_A" "$WORK/a-after.out" known-after@example.test "$PASS"
pushed_at=${EPOCHREALTIME/./}
until b_holds known-after@example.test; do
    [ $((${EPOCHREALTIME/./} - pushed_at)) -lt 1000000 ] && { sleep 0.02; continue; }
    fail "A's verdict after the failover was not pushed to B within 1 s"
    break
done
say "pushed to B $(((${EPOCHREALTIME/./} - pushed_at) / 1000)) ms after A answered, on the new master"
expect_stored "$REPLICA_PORT" known-after@example.test 0
c=$(rcpts) gets_b=$(stat_b 'shared_cache_get_.*')
tx "$MILTER_B" "$WORK/b-push.out" known-after@example.test "$PASS"
[ "$(stat_b 'shared_cache_get_.*')" = "$gets_b" ] || fail "B asked the store for a pushed verdict"
tx "$MILTER_B" "$WORK/b-after.out" known-after@example.test "$PASS" "known-c$round@example.test" "$PASS"
tx "$MILTER_C" "$WORK/c-after.out" known-after@example.test "$PASS" "unknown-a$round@example.test" "$REJECT"
[ "$(rcpts)" = "$c" ] || fail "after the failover B and C asked the backend for verdicts in the new master"

# --- 3. the Sentinel A listens to is stopped -------------------------------------
MARK=$(wc -l <"$SYSLOG")
stop_pid "${SENTINEL_PIDS[0]}" 10
forget_pid "${SENTINEL_PIDS[0]}"
wait_until 5 seen_since "$PID_A" "shared cache: following Sentinel 127.0.0.1:$S2" ||
    fail "A did not follow the next Sentinel"
tx "$MILTER_A" "$WORK/a-s1.out" known-s1@example.test "$PASS"
expect_stored "$REPLICA_PORT" known-s1@example.test 0
[ "$(since "$PID_A" "shared cache unavailable")" = 0 ] || fail "losing a Sentinel made A drop the store"

# --- 4. the Sentinel A and B listen to hangs with its connections open -------------
MARK=$(wc -l <"$SYSLOG")
kill -STOP "${SENTINEL_PIDS[1]}"
for pid in "$PID_A" "$PID_B"; do
    wait_until 10 seen_since "$pid" "shared cache: following Sentinel 127.0.0.1:$S3" ||
        fail "kelvantor[$pid] did not leave the hung Sentinel"
    expect_once "$pid" "shared cache: Sentinel 127.0.0.1:$S2 lost: no answer to PING in time"
    [ "$(since "$pid" "shared cache unavailable")" = 0 ] ||
        fail "a hung Sentinel made kelvantor[$pid] drop the store"
done
kill -CONT "${SENTINEL_PIDS[1]}"

kv_stop_many "${GATEWAYS[@]}"
for pid in "${GATEWAYS[@]}"; do
    [ "${KV_STATUS[$pid]}" = 0 ] || fail "kelvantor[$pid] exit status ${KV_STATUS[$pid]} after SIGTERM"
done
e2e_finish
