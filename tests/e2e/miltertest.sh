#!/bin/bash
# Connect-time exemptions of the real binary, checked by an independent milter
# client: kelvantor runs unprivileged on a loopback TCP socket and the
# miltertest script connect_exemptions.lua plays the clients.  No backend is
# needed: the route points at a closed port and no routed recipient is sent.
source "$(dirname "$0")/lib.sh"
e2e_init
command -v miltertest >/dev/null || skip "miltertest is not installed"

read -r MILTER_PORT DEAD_PORT < <(free_ports 2)
write_conf "$WORK/kelvantor.conf" \
    "BackSMTPServer:127.0.0.1" \
    "BackSMTPPort:$DEAD_PORT" \
    "BackAddrDomain:example.test"
SPEC="inet:$MILTER_PORT@127.0.0.1"
kv_start kelvantor -p "$SPEC" -f "$WORK/kelvantor.conf"
pid=$KV_PID
kv_ready "$SPEC" "$pid" || die "kelvantor did not start: $(cat "$WORK/kelvantor.out")"

if miltertest -D "sock=$SPEC" -s "$KV_E2E_DIR/connect_exemptions.lua" >"$WORK/miltertest.out" 2>&1; then
    say "miltertest script passed ($(grep -c '^ok:' "$WORK/miltertest.out") checks)"
else
    fail "miltertest script failed:"
    sed 's/^/    /' "$WORK/miltertest.out" >&2
fi

kv_stop "$pid"
[ "$STOP_STATUS" = 0 ] || fail "kelvantor exit status after SIGTERM: $STOP_STATUS (expected 0)"
e2e_finish
