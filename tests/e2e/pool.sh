#!/bin/bash
# BackSMTPMaxConnections:8 under a wave of 500 concurrent MTA connections of
# fresh recipients (half of them all known users, half all unknown): the
# backend never holds more than 8 connections from the filter (sampled with
# ss while the wave runs), every recipient gets its own right answer, none
# is deferred for want of a conversation, and each comes within the wait
# budget (TimeoutSMTPConnect + TimeoutSMTPReply).  At the stop the idle
# conversations are ended.
source "$(dirname "$0")/lib.sh"
e2e_init
require_backend
[ -n "${KV_LOAD:-}" ] && [ -x "$KV_LOAD" ] || skip "kv-bench-milter is not built in this tree"
require_ctl
command -v ss >/dev/null || skip "ss (iproute2) is missing"
start_syslog

CAP=8
BUDGET_US=4500000
read -r MILTER_PORT < <(free_ports 1)
SPEC="inet:$MILTER_PORT@127.0.0.1"
state_dir
CTL="$WORK/state/control.sock"

# A little work per RCPT, so that the cap is what limits the wave.
backend_start backend --rcpt-delay-ms 5 --threads 2
write_conf "$WORK/kv.conf" "BackSMTPServer:127.0.0.1" "BackSMTPPort:$BACKEND_PORT" \
    "BackAddrDomain:pool.test" "BackSMTPMaxConnections:$CAP" "BackErrorTempfail:yes" \
    "ControlSocket:$CTL"
kv_start kv -p "$SPEC" -f "$WORK/kv.conf"
pid=$KV_PID
kv_ready "$SPEC" "$pid" || die "kelvantor did not start"

held() { ss -tnH state established "( dport = :$BACKEND_PORT )" | wc -l; }
wave() {  # NAME UNKNOWN-SHARE: 250 connections, 2 transactions each of 4 recipients
    "$KV_LOAD" --socket "$SPEC" --concurrency 250 --rcpts 4 --transactions 500 \
        --tx-per-conn 1 --seconds 60 --domain pool.test --tag "$1" \
        --unknown-share "$2" --what "$1" >"$WORK/$1.txt" 2>&1
}
field() { sed -n "s/.* $2=\([0-9.]*\).*/\1/p" "$WORK/$1.txt"; }

wave known 0 &
known=$!
wave unknown 1 &
unknown=$!
# Sampled until both are done: at most 6000 samples, one every 10 ms.
: >"$WORK/samples"
for ((i = 0; i < 6000; i++)); do
    held >>"$WORK/samples"
    proc_ended "$known" && proc_ended "$unknown" && break
    sleep 0.01
done
wait "$known" || fail "the known wave failed: $(cat "$WORK/known.txt")"
wait "$unknown" || fail "the unknown wave failed: $(cat "$WORK/unknown.txt")"

most=$(sort -n "$WORK/samples" | tail -n 1)
say "$(wc -l <"$WORK/samples") samples, at most $most backend connections"
[ "$most" -le "$CAP" ] || fail "$most backend connections at once, the cap is $CAP"
[ "$most" -ge 1 ] || fail "no backend connection was ever sampled"

for w in known unknown; do
    [ "$(field $w rcpts)" = 2000 ] || fail "$w wave: $(cat "$WORK/$w.txt")"
    max=$(field $w max_us)
    say "$w wave: $(field $w rcpt_per_s) recipients/s, slowest answer ${max} us"
    [ "${max%.*}" -lt "$BUDGET_US" ] || fail "$w wave: an answer took ${max} us"
done
[ "$(field known accepted)" = 2000 ] || fail "known users not all accepted: $(cat "$WORK/known.txt")"
[ "$(field unknown rejected)" = 2000 ] ||
    fail "unknown users not all rejected: $(cat "$WORK/unknown.txt")"

metrics=$("$KV_CTL" -s "$CTL" metrics 2>&1)
server="127.0.0.1:$BACKEND_PORT"
sample() { grep -F "$1" <<<"$metrics" | awk '{print $2}'; }
[ "$(sample "kelvantor_backend_pool_waits_total{server=\"$server\",result=\"timed_out\"}")" = 0 ] ||
    fail "probes timed out waiting: $(grep pool_waits <<<"$metrics")"
served=$(sample "kelvantor_backend_pool_waits_total{server=\"$server\",result=\"served\"}")
[ "${served:-0}" -gt 0 ] || fail "no probe ever waited: the cap did not bind"
gauge=$(sample "kelvantor_backend_pool_conversations{server=\"$server\"}")
[ "${gauge:-99}" -le "$CAP" ] || fail "pool gauge $gauge above the cap"

kv_stop "$pid"
[ "$STOP_STATUS" = 0 ] || fail "exit status after SIGTERM: $STOP_STATUS"
[ "$(held)" = 0 ] || fail "backend connections left after the stop"
e2e_finish
