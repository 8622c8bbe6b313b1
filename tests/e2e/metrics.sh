#!/bin/bash
# GET /metrics of the real binary (MetricsListen) read with curl: the
# counters move by exactly the recipients sent through libmilter (known,
# unknown, tempfail and unrouted ones, then the same again from the cache),
# exempt and checked connections, the probe histogram; probes by server with
# a second server that is down, the scrape checked by "promtool check
# metrics", and "kelvantorctl backends"; 404 for another path, 405 for another
# method; an invalid MetricsListen ends start-up with 71, a port already taken
# with 69.
source "$(dirname "$0")/lib.sh"
e2e_init
require_backend
command -v curl >/dev/null || skip "curl is not installed"
command -v promtool >/dev/null || skip "promtool is not installed"
require_ctl
start_syslog

# Nothing listens on DOWN_PORT: the second server is down.
read -r MILTER_PORT METRICS_PORT DOWN_PORT < <(free_ports 3)
SPEC="inet:$MILTER_PORT@127.0.0.1"
URL="http://127.0.0.1:$METRICS_PORT"

state_dir  # the control socket's, writable by the run user
backend_start backend
UP="127.0.0.1:$BACKEND_PORT"
DOWN="127.0.0.1:$DOWN_PORT"
common=("BackSMTPServer:127.0.0.1" "BackSMTPPort:$BACKEND_PORT" "BackAddrDomain:example.test")
write_conf "$WORK/kelvantor.conf" "${common[@]}" "BackSMTPPort:$DOWN_PORT" \
    "BackAddrDomain:down.test" "MetricsListen:127.0.0.1:$METRICS_PORT" \
    "ControlSocket:$WORK/state/control.sock"

scrape() { curl -fsS --max-time 5 -o "$1" "$URL/metrics"; }
# value FILE SAMPLE: the value of the sample line "SAMPLE value" (empty if none).
value() { awk -v key="$2" '$1 == key { print $2 }' "$1"; }
# expect_delta BEFORE AFTER SAMPLE N: the sample grew by exactly N.
expect_delta() {
    local a b
    a=$(value "$1" "$3")
    b=$(value "$2" "$3")
    if [ -z "$a" ] || [ -z "$b" ]; then
        fail "no sample $3 in the scrape"
        return 1
    fi
    [ $((b - a)) = "$4" ] || fail "$3 moved by $((b - a)) (expected $4)"
}
transaction() { transaction_at "$SPEC" "$@"; }  # OUT RCPT...
probes() { echo "kelvantor_backend_probes_total{server=\"$1\",reply=\"$2\"}"; }  # SERVER REPLY

kv_start metrics -p "$SPEC" -f "$WORK/kelvantor.conf"
pid=$KV_PID
kv_ready "$SPEC" "$pid" || die "kelvantor did not start: $(cat "$WORK/metrics.out")"
wait_until 5 scrape "$WORK/s0.txt" || die "no answer on $URL/metrics"
expect_log "$pid" "metrics on http://127.0.0.1:$METRICS_PORT/metrics"

# --- the exposition format as curl sees it --------------------------------
type=$(curl -sS --max-time 5 -o /dev/null -w '%{content_type}' "$URL/metrics")
[ "$type" = "text/plain; version=0.0.4; charset=utf-8" ] || fail "content type \"$type\""
for family in recipients_total connections_total cache_lookups_total backend_probes_total \
    backend_probe_seconds cache_entries cache_evictions_total cache_saves_total \
    cache_last_save_timestamp_seconds; do
    grep -q "^# TYPE kelvantor_$family " "$WORK/s0.txt" || fail "no TYPE line for kelvantor_$family"
done

# --- first round: every routed recipient is probed ------------------------
client "$WORK/exempt.out" --socket "$SPEC" --client-addr 127.0.0.1 --daemon-name mx-in \
    --from sender@client.example --rcpt known9@example.test
expect_line "$WORK/exempt.out" "connect 127.0.0.1 accept" "exempt client"
rcpts=(known1@example.test known2@example.test known3@example.test unknown1@example.test
    unknown2@example.test tempfail1@example.test someone@unrouted.example)
transaction "$WORK/t1.out" "${rcpts[@]}"
expect_line "$WORK/t1.out" "rcpt <unknown2@example.test> reject 550 5.1.1  User unknown" "round 1"
scrape "$WORK/s1.txt" || fail "scrape 1 failed"

expect_delta "$WORK/s0.txt" "$WORK/s1.txt" 'kelvantor_connections_total{result="exempt"}' 1
expect_delta "$WORK/s0.txt" "$WORK/s1.txt" 'kelvantor_connections_total{result="checked"}' 1
expect_delta "$WORK/s0.txt" "$WORK/s1.txt" 'kelvantor_recipients_total{result="passed"}' 4
expect_delta "$WORK/s0.txt" "$WORK/s1.txt" 'kelvantor_recipients_total{result="rejected"}' 2
expect_delta "$WORK/s0.txt" "$WORK/s1.txt" 'kelvantor_recipients_total{result="deferred"}' 0
expect_delta "$WORK/s0.txt" "$WORK/s1.txt" 'kelvantor_recipients_total{result="unrouted"}' 1
expect_delta "$WORK/s0.txt" "$WORK/s1.txt" 'kelvantor_recipients_total{result="exempt"}' 0
expect_delta "$WORK/s0.txt" "$WORK/s1.txt" 'kelvantor_cache_lookups_total{result="miss"}' 6
expect_delta "$WORK/s0.txt" "$WORK/s1.txt" 'kelvantor_cache_lookups_total{result="hit_valid"}' 0
expect_delta "$WORK/s0.txt" "$WORK/s1.txt" "$(probes "$UP" accepted)" 3
expect_delta "$WORK/s0.txt" "$WORK/s1.txt" "$(probes "$UP" unknown)" 2
expect_delta "$WORK/s0.txt" "$WORK/s1.txt" "$(probes "$UP" other)" 1
expect_delta "$WORK/s0.txt" "$WORK/s1.txt" "$(probes "$UP" no_reply)" 0
expect_delta "$WORK/s0.txt" "$WORK/s1.txt" kelvantor_backend_probe_seconds_count 6
expect_delta "$WORK/s0.txt" "$WORK/s1.txt" 'kelvantor_backend_probe_seconds_bucket{le="+Inf"}' 6
# A local backend answers well within 10 s.
expect_delta "$WORK/s0.txt" "$WORK/s1.txt" 'kelvantor_backend_probe_seconds_bucket{le="10"}' 6

# --- second round: the definitive verdicts come from the cache -------------
transaction "$WORK/t2.out" "${rcpts[@]}"
expect_line "$WORK/t2.out" "rcpt <unknown1@example.test> reject 550 5.1.1  User unknown" "round 2"
scrape "$WORK/s2.txt" || fail "scrape 2 failed"
expect_delta "$WORK/s1.txt" "$WORK/s2.txt" 'kelvantor_recipients_total{result="passed"}' 4
expect_delta "$WORK/s1.txt" "$WORK/s2.txt" 'kelvantor_recipients_total{result="rejected"}' 2
expect_delta "$WORK/s1.txt" "$WORK/s2.txt" 'kelvantor_recipients_total{result="unrouted"}' 1
expect_delta "$WORK/s1.txt" "$WORK/s2.txt" 'kelvantor_cache_lookups_total{result="hit_valid"}' 3
expect_delta "$WORK/s1.txt" "$WORK/s2.txt" 'kelvantor_cache_lookups_total{result="hit_invalid"}' 2
expect_delta "$WORK/s1.txt" "$WORK/s2.txt" 'kelvantor_cache_lookups_total{result="miss"}' 1
expect_delta "$WORK/s1.txt" "$WORK/s2.txt" "$(probes "$UP" accepted)" 0
expect_delta "$WORK/s1.txt" "$WORK/s2.txt" "$(probes "$UP" other)" 1
expect_delta "$WORK/s1.txt" "$WORK/s2.txt" kelvantor_backend_probe_seconds_count 1

# --- per server: one up, one down -------------------------------------------
transaction "$WORK/t3.out" known4@example.test someone@down.test
expect_line "$WORK/t3.out" "rcpt <someone@down.test> continue" "down server"
scrape "$WORK/s3.txt" || fail "scrape 3 failed"
promtool check metrics <"$WORK/s3.txt" >"$WORK/promtool.out" 2>&1 ||
    fail "promtool check metrics: $(cat "$WORK/promtool.out")"
expect_delta "$WORK/s2.txt" "$WORK/s3.txt" "$(probes "$UP" accepted)" 1
expect_delta "$WORK/s2.txt" "$WORK/s3.txt" "$(probes "$DOWN" unreachable)" 1
expect_delta "$WORK/s2.txt" "$WORK/s3.txt" "$(probes "$DOWN" accepted)" 0
expect_delta "$WORK/s2.txt" "$WORK/s3.txt" "$(probes "$UP" unreachable)" 0
for server in "$UP" "$DOWN"; do
    [ "$(value "$WORK/s3.txt" "kelvantor_backend_circuit_open{server=\"$server\"}")" = 0 ] ||
        fail "no closed circuit shown for $server"
done
# The server label names the configured servers only, and nothing else carries one.
servers=$(grep -oE 'server="[^"]*"' "$WORK/s3.txt" | sort -u | tr '\n' ' ')
[ "$servers" = "server=\"$UP\" server=\"$DOWN\" " ] ||
    [ "$servers" = "server=\"$DOWN\" server=\"$UP\" " ] || fail "server labels: $servers"
others=$(grep 'server="' "$WORK/s3.txt" | grep -vcE '^kelvantor_backend_(probes_total|circuit_open|pool_conversations|pool_waits_total)\{')
[ "$others" = 0 ] || fail "$others other samples carry a server label"
backends=$("$KV_CTL" -s "$WORK/state/control.sock" backends) || fail "kelvantorctl backends failed"
[[ $backends == *"$UP circuit closed probes 8 no-reply 0 unreachable 0 last-error none"* ]] ||
    fail "kelvantorctl backends, the server that is up: $backends"
[[ $backends =~ "$DOWN circuit closed probes 0 no-reply 0 unreachable 1 last-error "[0-9]+" cannot connect: Connection refused" ]] ||
    fail "kelvantorctl backends, the server that is down: $backends"
[ "$(printf '%s\n' "$backends" | wc -l)" = 2 ] || fail "kelvantorctl backends: not one line a server: $backends"

# --- other paths and methods ------------------------------------------------
status() { curl -sS --max-time 5 -o /dev/null -w '%{http_code}' "$@"; }
[ "$(status "$URL/other")" = 404 ] || fail "GET /other should answer 404"
[ "$(status "$URL/")" = 404 ] || fail "GET / should answer 404"
[ "$(status -X POST --data x "$URL/metrics")" = 405 ] || fail "POST /metrics should answer 405"
[ "$(status -I "$URL/metrics")" = 200 ] || fail "HEAD /metrics should answer 200"

kv_stop "$pid"
[ "$STOP_STATUS" = 0 ] || fail "exit status after SIGTERM: $STOP_STATUS (expected 0)"
expect_log "$pid" "Exit"
port_closed "$METRICS_PORT" || fail "the metrics port is still open after the exit"

# --- start-up refusals -------------------------------------------------------
ends_with() {  # NAME STATUS: the kelvantor just started ends by itself with STATUS
    local p=$KV_PID
    wait_until 10 proc_ended "$p" || { fail "$1: still running"; return 1; }
    kv_stop "$p"
    [ "$STOP_STATUS" = "$2" ] || fail "$1: exit status $STOP_STATUS (expected $2)"
}
for bad in "127.0.0.1:99999" "127.0.0.1" "localhost:9106" "::1:9106" "127.0.0.1:9106 x"; do
    write_conf "$WORK/bad.conf" "${common[@]}" "MetricsListen:$bad"
    kv_start bad -p "$SPEC" -f "$WORK/bad.conf"
    ends_with "MetricsListen:$bad" 71 && expect_log "$KV_PID" "MetricsListen incorrect $bad"
done
# A port that is taken: the backend's.
write_conf "$WORK/taken.conf" "${common[@]}" "MetricsListen:127.0.0.1:$BACKEND_PORT"
kv_start taken -p "$SPEC" -f "$WORK/taken.conf"
ends_with "port taken" 69 &&
    expect_log "$KV_PID" "cannot listen for metrics on 127.0.0.1:$BACKEND_PORT"
# The metrics thread already runs when the control socket cannot be made: it
# is stopped, and the exit is 71, not an abort.
write_conf "$WORK/late.conf" "${common[@]}" "MetricsListen:127.0.0.1:$METRICS_PORT" \
    "ControlSocket:$WORK/missing/ctl.sock"
kv_start late -p "$SPEC" -f "$WORK/late.conf"
ends_with "control socket after metrics" 71
e2e_finish
