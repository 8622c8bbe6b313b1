#!/bin/bash
# The fault matrix: one filter (BackErrorTempfail:yes, TimeoutSMTPReply:1,
# TimeoutSMTPConnect:1) routed to a backend per way of failing.  Each row
# sends one recipient and checks the answer, the time it took and the log
# line that names the trouble; after every row a control transaction on a
# working backend must still be judged correctly.  The table is printed at
# the end (row, answer, seconds, log line).  The stalls run last, on a second
# filter with the default reply timeout: a backend stalled at HELO and one
# that never answers RSET or QUIT at once for 60 s, the filter's threads and
# descriptors sampled each second, while a backend that answers HELO in 4 s
# keeps getting its recipients judged.
source "$(dirname "$0")/lib.sh"
e2e_init
require_backend
start_syslog
PEER="$HARNESS_DIR/fault_peer.py"
[ -x /usr/bin/python3 ] || skip "python3 is not installed"

# peer_start MODE: fault_peer.py in that mode; sets PEER_PORT.
peer_start() {
    start_bg "$WORK/peer-$1.out" /usr/bin/python3 "$PEER" "$1"
    wait_until 5 grep -qs '^port [0-9]' "$WORK/peer-$1.out" || die "fault peer $1 did not start"
    PEER_PORT=$(sed -n 's/^port //p' "$WORK/peer-$1.out" | head -n 1)
}

modes=(full-backlog drip-banner never-read rcpt-reset rcpt-close-mid rcpt-four
    rcpt-huge rcpt-split-150us rcpt-split-2ms rcpt-extra)
read -r MILTER_PORT DEAD_PORT < <(free_ports 2)
conf=("BackSMTPServer:127.0.0.1" "TimeoutSMTPReply:1" "TimeoutSMTPConnect:1"
    "BackErrorTempfail:yes" "BackValidAddrExp:3600" "BackInvalidAddrExp:3600")
for mode in "${modes[@]}"; do
    peer_start "$mode"
    conf+=("BackSMTPPort:$PEER_PORT" "BackAddrDomain:$mode.test")
done
backend_start ok
OK_PORT=$BACKEND_PORT
OK_PID=$BACKEND_PID
backend_start silent --silent
conf+=("BackSMTPPort:$BACKEND_PORT" "BackAddrDomain:silent.test")
backend_start b554 --banner "554 5.3.2 no service"
conf+=("BackSMTPPort:$BACKEND_PORT" "BackAddrDomain:b554.test")
backend_start junk --banner "hello, this is no banner"
conf+=("BackSMTPPort:$BACKEND_PORT" "BackAddrDomain:junk.test")
conf+=("BackSMTPPort:$DEAD_PORT" "BackAddrDomain:refused.test")
backend_start two
TWO_PID=$BACKEND_PID
conf+=("BackSMTPPort:$BACKEND_PORT" "BackAddrDomain:two.test")
conf+=("BackSMTPPort:$OK_PORT" "BackAddrDomain:ok.test" "BackAddrDomain:other.test")
write_conf "$WORK/kelvantor.conf" "${conf[@]}"
SPEC="inet:$MILTER_PORT@127.0.0.1"

# Descriptors above 1024: the filter starts with 1100 open ones, so every
# backend socket it makes is numbered past what a select set could hold.
start_bg "$WORK/kelvantor.out" bash -c 'ulimit -n 4096 && exec "$@"' high-fds /usr/bin/python3 -c '
import os, sys
for _ in range(1100):
    os.set_inheritable(os.open("/dev/null", os.O_RDONLY), True)
os.execvp(sys.argv[1], sys.argv[1:])' "${ISOLATE[@]}" "$KV_BIN" "${KV_USER[@]}" \
    -p "$SPEC" -f "$WORK/kelvantor.conf"
kv_pid=$LAST_PID
kv_ready "$SPEC" "$kv_pid" || die "kelvantor did not start"

DEFERRED="tempfail 451 4.7.0 Internal error"
REJECTED="reject 550 5.1.1  User unknown"
TABLE="$WORK/matrix.txt"
printf '| row | answer | seconds | limit | log line |\n|---|---|---|---|---|\n' >"$TABLE"
n=0

# send OUT TIMEOUT RCPT...: one transaction from 127.0.0.2.
send() {
    local out=$1 timeout=$2 r args=()
    shift 2
    for r in "$@"; do args+=(--rcpt "$r"); done
    client "$out" --socket "$SPEC" --client-addr 127.0.0.2 --from sender@client.example \
        --abort --timeout "$timeout" "${args[@]}"
}

# control: the filter still judges a working backend's recipients.
control() {
    n=$((n + 1))
    send "$WORK/control-$n.out" 10 "known$n@ok.test" "unknown$n@ok.test" ||
        fail "control after $1: transaction failed"
    expect_line "$WORK/control-$n.out" "rcpt <known$n@ok.test> continue" "control after $1" &&
        expect_line "$WORK/control-$n.out" "rcpt <unknown$n@ok.test> $REJECTED" "control after $1"
}

# row NAME RCPT ANSWER LIMIT LOG: the answer to RCPT must be ANSWER within
# LIMIT seconds, and the filter must have logged LOG (a fixed text).
row() {
    local name=$1 rcpt=$2 answer=$3 limit=$4 log=$5 start us seconds
    start=${EPOCHREALTIME/./}
    send "$WORK/row-$name.out" 30 "$rcpt"
    us=$((${EPOCHREALTIME/./} - start))
    seconds=$(printf '%d.%02d' $((us / 1000000)) $((us % 1000000 / 10000)))
    expect_line "$WORK/row-$name.out" "rcpt <$rcpt> $answer" "$name"
    ((us <= limit * 1000000)) || fail "$name: took $seconds s, limit $limit s"
    [ -z "$log" ] || wait_until 5 log_has "$kv_pid" "$log" || fail "$name: no log line \"$log\""
    printf '| %s | %s | %s | %s | %s |\n' "$name" "$answer" "$seconds" "$limit" "${log:--}" >>"$TABLE"
    control "$name"
}

# The banner allowance grows with each banner that does not come (up to 5 s),
# so limits that include a banner wait allow for it.
row "connection refused" "x@refused.test" "$DEFERRED" 3 "cannot connect to backend SMTP at 127.0.0.1 status Connection refused"
row "connect timeout (full backlog)" "x@full-backlog.test" "$DEFERRED" 4 "cannot connect to backend SMTP at 127.0.0.1 status Connection timed out"
row "silent banner" "x@silent.test" "$DEFERRED" 4 "cannot read backend SMTP banner"
row "banner one byte per 200 ms" "x@drip-banner.test" "$DEFERRED" 5 "incomplete backend reply on fd"
row "5xx banner" "x@b554.test" "$DEFERRED" 3 "backend SMTP service unavailable"
row "junk banner" "x@junk.test" "$DEFERRED" 3 ""
row "reset during RCPT" "x@rcpt-reset.test" "$DEFERRED" 3 "cannot read rcptto reply on  "
row "close mid-reply" "x@rcpt-close-mid.test" "$DEFERRED" 3 "incomplete backend reply on fd"
row "4-byte reply" "x@rcpt-four.test" "$DEFERRED" 3 "cannot read rcptto reply on  "
row "1 MiB reply" "x@rcpt-huge.test" "$DEFERRED" 4 "backend reply too long on fd"
row "reply split 150 us (known)" "known@rcpt-split-150us.test" "continue" 3 ""
row "reply split 150 us (unknown)" "unknown@rcpt-split-150us.test" "$REJECTED" 3 ""
row "reply split 2 ms (unknown)" "unknown@rcpt-split-2ms.test" "$REJECTED" 3 ""
row "unasked line after the reply" "unknown@rcpt-extra.test" "$DEFERRED" 3 "backend reply out of step on fd"
row "backend never reads" "x@never-read.test" "$DEFERRED" 4 "cannot read rcptto reply on  "

# Recipients of two routes on two servers in one client connection: each
# server is asked about its own recipients only.
send "$WORK/two-routes.out" 10 a@ok.test unknown-b@two.test c@ok.test d@two.test
for line in "rcpt <a@ok.test> continue" "rcpt <unknown-b@two.test> $REJECTED" \
    "rcpt <c@ok.test> continue" "rcpt <d@two.test> continue"; do
    expect_line "$WORK/two-routes.out" "$line" "two routes"
done
kill -USR1 "$TWO_PID"
two_counted() { grep -q '^counts connections=[0-9]* rcpts=2$' "$WORK/two.out"; }
wait_until 5 two_counted || fail "two routes: the second server did not get exactly its two recipients: $(cat "$WORK/two.out")"
printf '| %s | %s | %s | %s | %s |\n' "two routes, one client connection" "each by its own server" "-" "-" "-" >>"$TABLE"

# Every backend socket was numbered above 1024 (the filter started with 1100
# descriptors open), and the rows above were answered all the same.
high_fd() { grep -o 'on fd [0-9]*' "$SYSLOG" | awk '{ if ($3 > 1024) found = 1 } END { exit !found }'; }
high_fd || fail "no backend descriptor above 1024 was seen in the log"
printf '| %s | %s | %s | %s | %s |\n' "descriptors above 1024" "as every row" "-" "-" \
    "$(grep -o 'on fd [0-9]*' "$SYSLOG" | head -n 1)" >>"$TABLE"

# Nothing was learnt from the rows that failed: they are asked again.
send "$WORK/again.out" 10 unknown@rcpt-extra.test
expect_line "$WORK/again.out" "rcpt <unknown@rcpt-extra.test> $DEFERRED" "out-of-step reply not cached"
# What was judged whole is cached: the split unknown is rejected from the cache.
send "$WORK/cached.out" 10 unknown@rcpt-split-2ms.test
expect_line "$WORK/cached.out" "rcpt <unknown@rcpt-split-2ms.test> $REJECTED" "split reply cached"

# The backend restarts between two recipients of one client connection: the
# second finds the old conversation gone and is deferred; the next client
# connection talks to the new backend.
first_rcpt_done() { grep -qF "rcpt <a1@other.test>" "$WORK/restart.out"; }
"$KV_CLIENT" --socket "$SPEC" --client-addr 127.0.0.2 --from sender@client.example --abort \
    --timeout 10 --wait-file "$WORK/restarted" --rcpt a1@other.test --rcpt a2@other.test \
    >"$WORK/restart.out" 2>&1 &
restart_client=$!
wait_until 5 first_rcpt_done || fail "restart: first recipient not answered"
stop_pid "$OK_PID" 5
start_bg "$WORK/ok2.out" "$KV_BACKEND" --port "$OK_PORT"
wait_until 5 port_open "$OK_PORT" || die "backend did not come back on $OK_PORT"
touch "$WORK/restarted"
wait "$restart_client"
expect_line "$WORK/restart.out" "rcpt <a1@other.test> continue" "restart, first recipient"
expect_line "$WORK/restart.out" "rcpt <a2@other.test> $DEFERRED" "restart, second recipient"
control "backend restart"

# The MTA closes the milter connection while a probe is on its way; the filter
# goes on serving others.
send "$WORK/mta-gone.out" 1 x@never-read.test
control "the MTA closing mid-probe"

# SIGTERM under load: ten transactions in flight, the filter ends with 0.
load=()
for i in $(seq 1 10); do
    send "$WORK/load-$i.out" 10 "x$i@never-read.test" &
    load+=($!)
done
wait_until 5 log_has "$kv_pid" "cannot read rcptto reply on  " || true
kill -TERM "$kv_pid"
stop_pid "$kv_pid" 12
[ "$STOP_STATUS" = 0 ] || fail "exit status after SIGTERM under load: $STOP_STATUS"
expect_log "$kv_pid" "Exit"
wait "${load[@]}"

# ---- stalls: a second filter with the default TimeoutSMTPReply (3 s, so a
# greeting wait counts as stalled after 15 s) and BackErrorTempfail off ------
peer_start helo-silence
HELO_PORT=$PEER_PORT
backend_start teardown --teardown-silent
TEARDOWN_PORT=$BACKEND_PORT
backend_start slow-helo --helo-delay-ms 4000
SLOW_PORT=$BACKEND_PORT
read -r STALL_MILTER_PORT < <(free_ports 1)
mkdir -p "$WORK/stall-run"
[ "$(id -u)" = 0 ] && chown nobody:nogroup "$WORK/stall-run"
STALL_CTL=$WORK/stall-run/control.sock
write_conf "$WORK/stall.conf" "BackSMTPServer:127.0.0.1" "ControlSocket:$STALL_CTL" \
    "BackSMTPPort:$HELO_PORT" "BackAddrDomain:helo-silence.test" \
    "BackSMTPPort:$TEARDOWN_PORT" "BackAddrDomain:teardown.test" \
    "BackSMTPPort:$SLOW_PORT" "BackAddrDomain:slow-helo.test"
STALL_SPEC="inet:$STALL_MILTER_PORT@127.0.0.1"
kv_start stall -p "$STALL_SPEC" -f "$WORK/stall.conf"
stall_pid=$KV_PID
kv_ready "$STALL_SPEC" "$stall_pid" || die "the stall filter did not start"

# stall_send OUT TIMEOUT RCPT...: one transaction with the stall filter.
stall_send() {
    local out=$1 timeout=$2 r args=()
    shift 2
    for r in "$@"; do args+=(--rcpt "$r"); done
    client "$out" --socket "$STALL_SPEC" --client-addr 127.0.0.2 --from sender@client.example \
        --abort --timeout "$timeout" "${args[@]}"
}
# A client whose conversation with the slow backend waits for its HELO (4 s);
# 3.3 s in, past the reply timeout, another client asks about an unknown user
# of that backend: it must be asked and rejected, not passed unverified.
slow_pair() {
    local i=$1 start
    start=${EPOCHREALTIME/./}
    stall_send "$WORK/slow-a$i.out" 30 "known-a$i@slow-helo.test" &
    local first=$!
    past_reply_timeout() { ((${EPOCHREALTIME/./} - start >= 3300000)); }
    wait_until 5 past_reply_timeout
    if grep -qF "rcpt <" "$WORK/slow-a$i.out"; then
        echo "first answered before the second started" >"$WORK/slow-b$i.out"
    else
        stall_send "$WORK/slow-b$i.out" 30 "unknown-b$i@slow-helo.test"
    fi
    wait "$first"
}
sample() {
    local threads fds
    threads=$(sed -n 's/^Threads:[[:space:]]*//p' "/proc/$stall_pid/status")
    fds=$(ls "/proc/$stall_pid/fd" | wc -l)
    echo "$1 $threads $fds" >>"$WORK/stall-samples.txt"
}
# One round a second: a transaction with the backend that never answers
# RSET or QUIT (a known and an unknown user, ended at once); once the circuit
# of the backend stalled at HELO is open, a recipient of it (refused at once
# and passed, but for the one trial, which waits); every tenth round the slow
# pair; and, in the 60 measured rounds, a sample of threads and descriptors.
stall_round=0
trials=0
stall_tick() {
    local phase=$1 out
    stall_round=$((stall_round + 1))
    out="$WORK/teardown-$stall_round.out"
    stall_send "$out" 10 "known$stall_round@teardown.test" "unknown$stall_round@teardown.test" ||
        fail "teardown stall round $stall_round: transaction failed"
    expect_line "$out" "rcpt <known$stall_round@teardown.test> continue" "teardown stall" &&
        expect_line "$out" "rcpt <unknown$stall_round@teardown.test> $REJECTED" "teardown stall"
    if [ "$phase" != opening ]; then
        local start=${EPOCHREALTIME/./}
        stall_send "$WORK/silence-$stall_round.out" 3 "x$stall_round@helo-silence.test"
        # Refused at once, or the trial, whose client gives up after 3 s.
        ((${EPOCHREALTIME/./} - start < 2500000)) || trials=$((trials + 1))
    fi
    if ((stall_round % 10 == 5)); then
        slow_pair "$stall_round" &
        slow_pairs+=($!)
    fi
    [ "$phase" != measured ] || sample "$stall_round"
}
slow_pairs=()
: >"$WORK/stall-samples.txt"
# The first conversation waits at HELO for good (its client gives up after 3 s);
# the first recipient after its wait has passed 15 s opens the circuit, and
# 15 s later the one trial goes in and waits as well.  Then the 60 measured
# rounds.
stall_send "$WORK/silence-0.out" 3 x0@helo-silence.test &
silence_client=$!
opened="circuit open for backend SMTP at 127.0.0.1 port $HELO_PORT"
warm_until=$((${EPOCHREALTIME/./} + 16000000))
while ((${EPOCHREALTIME/./} < warm_until)); do
    stall_tick opening
    sleep 0.8
done
wait "$silence_client"
warm_until=$((${EPOCHREALTIME/./} + 25000000))
while ((trials == 0 && ${EPOCHREALTIME/./} < warm_until)); do
    stall_tick trial
    [ "$(log_count "$stall_pid" "$opened")" -gt 0 ] || fail "HELO stall: the circuit did not open"
    sleep 0.8
done
((trials == 1)) || fail "HELO stall: $trials trials within 25 s of the opening, not 1"
for ((second = 1; second <= 60; second++)); do
    stall_tick measured
    sleep 0.8
done
((trials == 1)) || fail "HELO stall: $trials trials, not 1: a second one went in while the first waited"
wait "${slow_pairs[@]}"

# Threads and descriptors: the last 15 samples against the first 15.
read -r t_first t_last f_first f_last < <(awk '
    { t[NR] = $2; f[NR] = $3 }
    END { for (i = 1; i <= 15; i++) { tf += t[i]; ff += f[i]; tl += t[NR - 15 + i]; fl += f[NR - 15 + i] }
          printf "%.1f %.1f %.1f %.1f\n", tf / 15, tl / 15, ff / 15, fl / 15 }' "$WORK/stall-samples.txt")
grown() { awk -v a="$1" -v b="$2" -v slack="$3" 'BEGIN { exit !(b > a * 1.05 + slack) }'; }
grown "$t_first" "$t_last" 2 && fail "stalls: threads grew from $t_first to $t_last"
grown "$f_first" "$f_last" 4 && fail "stalls: descriptors grew from $f_first to $f_last"
printf '| %s | %s | %s | %s | %s |\n' "HELO stall and teardown stall, 60 s" \
    "threads $t_first -> $t_last, descriptors $f_first -> $f_last" "60" "-" "$opened" >>"$TABLE"
# The log through log_count: with many lines, log_has's grep -q can end its
# pipe early and fail under pipefail.
[ "$(log_count "$stall_pid" "$opened")" = 1 ] || fail "HELO stall: the circuit opened more than once"
[ "$(log_count "$stall_pid" "circuit closed")" = 0 ] || fail "stalls: a circuit closed (flapped)"
for port in "$TEARDOWN_PORT" "$SLOW_PORT"; do
    [ "$(log_count "$stall_pid" "circuit open for backend SMTP at 127.0.0.1 port $port")" = 0 ] ||
        fail "stalls: the circuit of port $port opened"
done
[ "$(log_count "$stall_pid" "cannot read RSET reply")" -gt 0 ] ||
    fail "teardown stall: no \"cannot read RSET reply\""
for ((i = 5; i <= stall_round; i += 10)); do
    [ -e "$WORK/slow-a$i.out" ] || continue
    expect_line "$WORK/slow-a$i.out" "rcpt <known-a$i@slow-helo.test> continue" "slow HELO, first"
    expect_line "$WORK/slow-b$i.out" "rcpt <unknown-b$i@slow-helo.test> $REJECTED" "slow HELO, second"
done
printf '| %s | %s | %s | %s | %s |\n' "HELO answered in 4 s, another client meanwhile" \
    "$REJECTED" "-" "-" "-" >>"$TABLE"
# The closer's counts: teardowns that got no reply, none pending beyond the queue.
if [ -x "${KV_CTL:-}" ]; then
    stats=$("$KV_CTL" -s "$STALL_CTL" stats)
    unanswered=$(sed -n 's/^backend_closes_unanswered //p' <<<"$stats")
    [ "${unanswered:-0}" -gt 0 ] || fail "teardown stall: backend_closes_unanswered is ${unanswered:-missing}"
    say "stall filter: $(grep '^backend_closes' <<<"$stats" | tr '\n' ' ')"
fi
kv_stop "$stall_pid"
[ "$STOP_STATUS" = 0 ] || fail "stall filter: exit status after SIGTERM: $STOP_STATUS"

say "fault matrix:"
cat "$TABLE"
e2e_finish
