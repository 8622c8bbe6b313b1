#!/bin/bash
# Catch-all detection with BackCatchAllCheck:yes against three test backends:
# one accepting any recipient (detected on the first probe, warning logged
# once, nothing cached, later recipients unprobed), one refusing the random
# recipient (marked checked, probed as usual) and one answering it with 451
# (nothing marked, asked again).  kelvantorctl shows the marks.
source "$(dirname "$0")/lib.sh"
e2e_init
require_backend
require_ctl
start_syslog

read -r MILTER_PORT < <(free_ports 1)
SPEC="inet:$MILTER_PORT@127.0.0.1"
state_dir
CTL="$WORK/state/control.sock"

backend_start any --random-reply "250 2.1.5 Ok"
ANY_PID=$BACKEND_PID ANY_PORT=$BACKEND_PORT
backend_start normal --random-reply "550 5.1.1 User unknown"
NORMAL_PID=$BACKEND_PID NORMAL_PORT=$BACKEND_PORT
backend_start later --random-reply "451 4.3.0 Try again later"
LATER_PID=$BACKEND_PID LATER_PORT=$BACKEND_PORT
write_conf "$WORK/kv.conf" "BackSMTPServer:127.0.0.1" "BackCatchAllCheck:yes" \
    "ControlSocket:$CTL" "LogVerdicts:yes" \
    "BackSMTPPort:$ANY_PORT" "BackAddrDomain:any.test" \
    "BackSMTPPort:$NORMAL_PORT" "BackAddrDomain:normal.test" \
    "BackSMTPPort:$LATER_PORT" "BackAddrDomain:later.test"

transaction() { transaction_at "$SPEC" "$@"; }  # OUT RCPT...
ctl() { "$KV_CTL" -s "$CTL" "$@" 2>&1; }
rcpts() { backend_rcpts_from "$WORK/$1.out" "$2"; }

kv_start kv -p "$SPEC" -f "$WORK/kv.conf"
pid=$KV_PID
kv_ready "$SPEC" "$pid" || die "kelvantor did not start"

transaction "$WORK/t1.out" a@any.test b@any.test known@normal.test known@later.test
transaction "$WORK/t2.out" c@Any.test unknown2@any.test other@normal.test other@later.test
for r in a@any.test b@any.test c@Any.test unknown2@any.test known@normal.test \
    other@normal.test known@later.test other@later.test; do
    grep -qixF "rcpt <$r> continue" "$WORK/t1.out" "$WORK/t2.out" >/dev/null ||
        fail "$r did not pass: $(cat "$WORK/t1.out" "$WORK/t2.out")"
done

# The catch-all: only the random recipient of the first probe, nothing cached.
[ "$(rcpts any "$ANY_PID")" = 1 ] || fail "catch-all backend: $(rcpts any "$ANY_PID") RCPTs, expected 1"
for r in a@any.test c@any.test; do
    out=$(ctl lookup "$r")
    [ "$out" = none ] || fail "lookup $r after a catch-all: \"$out\""
done
[ "$(log_count "$pid" "backend accepts any recipient for any.test")" = 1 ] ||
    fail "the warning is not logged exactly once"
log_at_severity "$pid" "backend accepts any recipient for any.test" 4 ||
    fail "the catch-all warning is not a warning"

# The normal backend: one random RCPT, then every recipient probed and cached.
[ "$(rcpts normal "$NORMAL_PID")" = 3 ] || fail "normal backend: $(rcpts normal "$NORMAL_PID") RCPTs"
[[ $(ctl lookup known@normal.test) =~ ^valid ]] || fail "known@normal.test not cached valid"

# 451 to the random recipient: asked again before the next recipient.
[ "$(rcpts later "$LATER_PID")" = 4 ] || fail "451 backend: $(rcpts later "$LATER_PID") RCPTs"

marks=$(ctl catch-all)
[[ $marks =~ ^any.test\ 127.0.0.1:$ANY_PORT\ accepts-any\ 86[0-9]{3}$'\n'normal.test\ 127.0.0.1:$NORMAL_PORT\ checked\ 86[0-9]{3}$ ]] ||
    fail "kelvantorctl catch-all: \"$marks\""
ctl metrics | grep -x 'kelvantor_backend_catch_all_domains 1' >/dev/null ||
    fail "the gauge does not count one catch-all domain"
kv_stop "$pid"
[ "$STOP_STATUS" = 0 ] || fail "exit status after SIGTERM: $STOP_STATUS"
e2e_finish
