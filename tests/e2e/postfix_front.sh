#!/bin/bash
# A private Postfix in front of kelvantor, as on a mail gateway: swaks sends
# from 127.0.0.2 and an unknown recipient is refused with "550 5.1.1  User
# unknown" at RCPT time while a known one gets 250 in the same transaction, over
# a TCP milter socket and over a unix socket (-g postfix); a listener with the
# daemon name MSA and a client from 127.0.0.1 are exempt; a message without
# any header line is queued at once.
source "$(dirname "$0")/lib.sh"
e2e_init
command -v swaks >/dev/null || skip "swaks is not installed"

read -r MILTER_PORT BACKEND_PORT FRONT_TCP FRONT_UNIX FRONT_MSA < <(free_ports 5)
mkdir -p "$WORK/run/msock"
chown nobody:postfix "$WORK/run/msock"
chmod 2770 "$WORK/run/msock"
UNIX_SOCK="$WORK/run/msock/filter.sock"

backend_users "$WORK/users"
pf_start "inet:127.0.0.1:$MILTER_PORT" "$(backend_listener "$BACKEND_PORT" "$WORK/users")
127.0.0.1:$FRONT_TCP inet n - n - - smtpd
127.0.0.1:$FRONT_UNIX inet n - n - - smtpd
  -o smtpd_milters=unix:$UNIX_SOCK
127.0.0.1:$FRONT_MSA inet n - n - - smtpd
  -o milter_macro_daemon_name=MSA"

write_conf "$WORK/kelvantor.conf" \
    "BackSMTPServer:127.0.0.1" \
    "BackSMTPPort:$BACKEND_PORT" \
    "BackAddrDomain:example.test"
kv_start tcp -p "inet:$MILTER_PORT@127.0.0.1" -f "$WORK/kelvantor.conf"
tcp_pid=$KV_PID
# The group given last wins: the unix socket is created 0660 for postfix.
kv_start unix -p "unix:$UNIX_SOCK" -f "$WORK/kelvantor.conf" -g postfix
unix_pid=$KV_PID
kv_ready "inet:$MILTER_PORT@127.0.0.1" "$tcp_pid" || die "TCP kelvantor did not start"
kv_ready "unix:$UNIX_SOCK" "$unix_pid" || die "unix-socket kelvantor did not start"
mode=$(stat -c '%a %G' "$UNIX_SOCK")
[ "$mode" = "660 postfix" ] || fail "milter socket mode and group: $mode (expected 660 postfix)"

# TCP milter: known and unknown recipients in one transaction, then the message.
swaks_session "$WORK/tcp.out" "$FRONT_TCP" --local-interface 127.0.0.2 \
    --to known@example.test,unknown1@example.test,UnKnown2@Example.Test,bob@example.test
expect_rcpt "$WORK/tcp.out" known@example.test "250 " "TCP milter, known user"
expect_rcpt "$WORK/tcp.out" unknown1@example.test "550 5.1.1  User unknown" "TCP milter, unknown user"
expect_rcpt "$WORK/tcp.out" UnKnown2@Example.Test "550 5.1.1  User unknown" \
    "TCP milter, unknown user in capitals"
expect_rcpt "$WORK/tcp.out" bob@example.test "250 " "TCP milter, known user after a reject"
grep -q '^<-  250 2.0.0 Ok: queued' "$WORK/tcp.out" ||
    fail "TCP milter: the message to the known users was not queued: $(tail -5 "$WORK/tcp.out")"

# A message without any header line is answered at once, not after Postfix's
# milter_content_timeout.
started=$(date +%s%N)
swaks_session "$WORK/headerless.out" "$FRONT_TCP" --local-interface 127.0.0.2 \
    --to known@example.test --data $'a body line and no header at all\r\n'
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
grep -q '^<-  250 2.0.0 Ok: queued' "$WORK/headerless.out" ||
    fail "headerless message not queued: $(tail -5 "$WORK/headerless.out")"
[ "$elapsed_ms" -lt 3000 ] || fail "headerless message took $elapsed_ms ms (the filter held it)"

# Unix-socket milter.
swaks_session "$WORK/unix.out" "$FRONT_UNIX" --local-interface 127.0.0.2 \
    --to alice@example.test,unknown3@example.test --quit-after RCPT
expect_rcpt "$WORK/unix.out" alice@example.test "250 " "unix milter, known user"
expect_rcpt "$WORK/unix.out" unknown3@example.test "550 5.1.1  User unknown" "unix milter, unknown user"

# Exempt: the MSA listener, and a client from 127.0.0.1.
swaks_session "$WORK/msa.out" "$FRONT_MSA" --local-interface 127.0.0.2 \
    --to unknown4@example.test --quit-after RCPT
expect_rcpt "$WORK/msa.out" unknown4@example.test "250 " "daemon MSA is exempt"
swaks_session "$WORK/local.out" "$FRONT_TCP" --local-interface 127.0.0.1 \
    --to unknown5@example.test --quit-after RCPT
expect_rcpt "$WORK/local.out" unknown5@example.test "250 " "client 127.0.0.1 is exempt"

# The exempt recipients were never probed.
for user in unknown4 unknown5; do
    [ "$(maillog_count "<$user@example.test>: Recipient address rejected")" = 0 ] ||
        fail "$user@example.test was probed at the backend although its client is exempt"
done

kv_stop_many "$tcp_pid" "$unix_pid"
[ "${KV_STATUS[$tcp_pid]}" = 0 ] || fail "TCP kelvantor exit status after SIGTERM: ${KV_STATUS[$tcp_pid]}"
[ "${KV_STATUS[$unix_pid]}" = 0 ] || fail "unix kelvantor exit status after SIGTERM: ${KV_STATUS[$unix_pid]}"
e2e_finish
