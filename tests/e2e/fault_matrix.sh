#!/bin/bash
# The fault matrix: one filter (BackErrorTempfail:yes, TimeoutSMTPReply:1,
# TimeoutSMTPConnect:1) routed to a backend per way of failing.  Each row
# sends one recipient and checks the answer, the time it took and the log
# line that names the trouble; after every row a control transaction on a
# working backend must still be judged correctly.  The table is printed at
# the end (row, answer, seconds, log line).
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

modes=(full-backlog drip-banner helo-silence never-read rcpt-reset rcpt-close-mid rcpt-four
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

# A backend that greets and then never answers HELO: the first recipient's
# conversation waits (the MTA gives up on it after 3 s here); once that wait
# is past the threshold, new conversations with the server are refused at once.
send "$WORK/stall-1.out" 3 x1@helo-silence.test
threshold_passed() { (($(date +%s) >= stall_start + 8)); }
stall_start=$(date +%s)
wait_until 10 threshold_passed
row "banner, then silence at HELO" "x2@helo-silence.test" "$DEFERRED" 2 "circuit open for backend SMTP at 127.0.0.1 port"

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

say "fault matrix:"
cat "$TABLE"
e2e_finish
