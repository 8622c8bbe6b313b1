#!/bin/bash
# A kill -9 during the save of a large cache must leave a complete cache file:
# a million verdicts are preloaded (a save long enough to be hit) and served
# from the cache (the backend is down and BackErrorTempfail:yes, so only cache
# hits pass), then SIGTERM
# starts the save and the syslog receiver SIGKILLs the process the moment
# "saving cache" arrives.  The file must still parse completely.
source "$(dirname "$0")/lib.sh"
e2e_init
ENTRIES=1000000
read -r MILTER_PORT DEAD_PORT < <(free_ports 2)
SPEC="inet:$MILTER_PORT@127.0.0.1"
mkdir "$WORK/cache"
CACHE="$WORK/cache/verdicts"
# The path makes the trigger ours alone: other filters may log to /dev/log too.
start_syslog --kill-on "saving cache $CACHE"
# Even users valid, odd users invalid.
awk -v n="$ENTRIES" 'BEGIN { for (i = 0; i < n; i++) printf "%d user%06d@example.test\n", i % 2, i }' \
    >"$CACHE"
[ "$(id -u)" = 0 ] && chown -R nobody:nogroup "$WORK/cache"
chmod 700 "$WORK/cache"
before=$(md5sum <"$CACHE")

write_conf "$WORK/kelvantor.conf" "BackSMTPServer:127.0.0.1" "BackSMTPPort:$DEAD_PORT" \
    "BackAddrDomain:example.test" "BackErrorTempfail:yes"
kv_start kelvantor -p "$SPEC" -f "$WORK/kelvantor.conf" -b "$CACHE"
pid=$KV_PID
kv_ready "$SPEC" "$pid" || die "kelvantor did not start with a $ENTRIES-line cache file"

last=$(printf 'user%06d@example.test' $((ENTRIES - 1)))
client "$WORK/hits.out" --socket "$SPEC" --client-addr 127.0.0.2 --daemon-name mx-in \
    --from sender@client.example --rcpt user000000@example.test --rcpt user000001@example.test \
    --rcpt "$last" --rcpt stranger@example.test
expect_line "$WORK/hits.out" "rcpt <user000000@example.test> continue" "first cached valid entry"
expect_line "$WORK/hits.out" "rcpt <user000001@example.test> reject 550 5.1.1  User unknown" \
    "first cached invalid entry"
expect_line "$WORK/hits.out" "rcpt <$last> reject 550 5.1.1  User unknown" "last line of the file"
expect_line "$WORK/hits.out" "rcpt <stranger@example.test> tempfail 451 4.7.0 Internal error" \
    "an address not in the file"

stop_pid "$pid" 15
forget_pid "$pid"
if grep -qxF "kv-e2e-tool: killed $pid" "$SYSLOG"; then
    [ "$STOP_STATUS" = 137 ] ||
        fail "kelvantor ended with status $STOP_STATUS before the kill reached it; the test proves nothing"
else
    fail "\"saving cache\" never came, so nothing was killed; log:"
    log_of "$pid" >&2
fi

# Whatever the save had done, the file must be whole: the old content or a
# complete new one, every line "<status> <address>", ending in a line feed.
if [ ! -f "$CACHE" ]; then
    fail "the cache file is gone after the kill"
else
    after=$(md5sum <"$CACHE")
    lines=$(wc -l <"$CACHE")
    bad=$(grep -cvE '^[01] user[0-9]{6}@example\.test$' "$CACHE")
    if [ "$after" = "$before" ]; then
        say "the kill left the previous file unchanged"
    elif [ "$lines" = "$ENTRIES" ] && [ "$bad" = 0 ] && [ "$(tail -c1 "$CACHE" | od -An -c | tr -d ' ')" = '\n' ]; then
        say "the kill left a complete new file"
    else
        fail "the cache file is damaged after the kill: $lines lines ($ENTRIES expected), $bad unparsable"
    fi
fi
for leftover in "$WORK/cache"/*; do
    [ -e "$leftover" ] && [ "$leftover" != "$CACHE" ] && say "left beside the cache file: $(basename "$leftover")"
done
e2e_finish
