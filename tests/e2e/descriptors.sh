#!/bin/bash
# Descriptor exhaustion on the real binary: started with a soft limit of 256
# below a hard one of 4096, kelvantor raises the soft limit to 4096.  Then
# prlimit lowers it to the descriptors it holds: a kelvantorctl and a scrape
# sit unaccepted, and for 3 s the process uses next to no CPU and writes
# next to nothing to the log or standard error; kelvantorctl gives up at its
# -t with status 69.  With the limit back, both are served again.
source "$(dirname "$0")/lib.sh"
e2e_init
require_backend
require_ctl
command -v curl >/dev/null || skip "curl is not installed"
command -v prlimit >/dev/null || skip "prlimit is not installed"
start_syslog

read -r MILTER_PORT METRICS_PORT < <(free_ports 2)
SPEC="inet:$MILTER_PORT@127.0.0.1"
URL="http://127.0.0.1:$METRICS_PORT/metrics"
state_dir
CTL="$WORK/state/control.sock"

backend_start backend
write_conf "$WORK/kelvantor.conf" "BackSMTPServer:127.0.0.1" "BackSMTPPort:$BACKEND_PORT" \
    "BackAddrDomain:example.test" "ControlSocket:$CTL" "MetricsListen:127.0.0.1:$METRICS_PORT"

start_bg "$WORK/kv.out" prlimit --nofile=256:4096 "${ISOLATE[@]}" "$KV_BIN" "${KV_USER[@]}" \
    -p "$SPEC" -f "$WORK/kelvantor.conf"
pid=$LAST_PID
kv_ready "$SPEC" "$pid" || die "kelvantor did not start: $(cat "$WORK/kv.out")"
wait_until 5 test -S "$CTL" || die "no control socket at $CTL"
expect_log "$pid" "descriptor limit raised from 256 to 4096"
read -r soft hard < <(awk '/^Max open files/ { print $4, $5 }' "/proc/$pid/limits")
[ "$soft $hard" = "4096 4096" ] || fail "descriptor limits $soft $hard, expected 4096 4096"

scrape() { curl -fsS --max-time "$1" -o "$WORK/scrape.txt" "$URL"; }
scrape 5 || fail "no scrape before the exhaustion"
"$KV_CTL" -s "$CTL" stats >/dev/null || fail "kelvantorctl stats failed before the exhaustion"

# The lowest descriptor number the filter does not use: a limit there leaves none.
lowest_free() {
    local -A used=()
    local fd n=0
    for fd in /proc/"$pid"/fd/*; do used[${fd##*/}]=1; done
    while [ -n "${used[$n]:-}" ]; do n=$((n + 1)); done
    echo "$n"
}
# prlimit on the running filter, as its own user (root may lack CAP_SYS_RESOURCE).
limit_to() {
    if [ "$(id -u)" = 0 ]; then
        setpriv --reuid=nobody --regid=nogroup --clear-groups prlimit --pid "$pid" --nofile="$1"
    else
        prlimit --pid "$pid" --nofile="$1"
    fi
}
cpu_ticks() { sed 's/.*) //' "/proc/$pid/stat" | awk '{ print $12 + $13 }'; }
log_lines() { grep -cF "kelvantor[$pid]: " "$SYSLOG"; }

limit_to "$(lowest_free):4096" || die "prlimit --pid failed"
"$KV_CTL" -s "$CTL" -t 30 stats >"$WORK/waiting.out" 2>&1 &
waiting=$!
curl -sS --max-time 30 -o "$WORK/waiting-scrape.txt" "$URL" 2>/dev/null &
waiting_scrape=$!
ticks=$(cpu_ticks)
lines=$(log_lines)
bytes=$(stat -c %s "$WORK/kv.out")
start=${EPOCHREALTIME/./}
status=0
"$KV_CTL" -s "$CTL" -t 3 stats >"$WORK/ctl.out" 2>&1 || status=$?
took=$(((${EPOCHREALTIME/./} - start) / 1000))
[ "$status" = 69 ] || fail "kelvantorctl -t 3 out of descriptors: status $status (expected 69)"
grep -qxF "kelvantorctl: timed out after 3 s waiting for $CTL" "$WORK/ctl.out" ||
    fail "kelvantorctl said: $(cat "$WORK/ctl.out")"
[ "$took" -lt 5000 ] || fail "kelvantorctl -t 3 took $took ms"
used=$(($(cpu_ticks) - ticks))
logged=$(($(log_lines) - lines))
written=$(($(stat -c %s "$WORK/kv.out") - bytes))
say "out of descriptors for ${took} ms: $used CPU ticks, $logged log lines, $written bytes of output"
[ "$used" -le 30 ] || fail "$used ticks of CPU in $took ms out of descriptors"
[ "$logged" -le 4 ] || fail "$logged log lines in $took ms out of descriptors"
[ "$written" -le 1024 ] || fail "$written bytes on standard output and error out of descriptors"

limit_to 4096:4096 || fail "prlimit --pid could not raise the limit again"
wait "$waiting" || fail "the kelvantorctl that waited failed: $(cat "$WORK/waiting.out")"
wait "$waiting_scrape" || fail "the scrape that waited failed"
grep -q kelvantor_recipients_total "$WORK/waiting-scrape.txt" || fail "the scrape that waited got no counters"
scrape 5 || fail "no scrape after the exhaustion"

kv_stop "$pid"
[ "$STOP_STATUS" = 0 ] || fail "exit status after SIGTERM: $STOP_STATUS"
e2e_finish
