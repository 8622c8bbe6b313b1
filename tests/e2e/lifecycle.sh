#!/bin/bash
# Start-up and shut-down of the real binary: no route ("BackAddrDomain not
# defined", status 71), the refusal to run as root, a failed setgid or
# setgroups (status 71), a -D behind an operand left unread, a cache save past
# RLIMIT_FSIZE reported as a write error (not SIGXFSZ), daemon mode (-D:
# the parent exits 0, the -P file holds the detached child's pid, the child
# serves from "/" with /dev/null as standard files and SIGTERM ends it), and
# the foreground SIGTERM that logs "Exit" and removes the -P file.
source "$(dirname "$0")/lib.sh"
e2e_init
start_syslog

read -r PORT_FG PORT_D DEAD_PORT < <(free_ports 3)
mkdir "$WORK/run"
[ "$(id -u)" = 0 ] && chown nobody:nogroup "$WORK/run"
write_conf "$WORK/good.conf" "BackSMTPServer:127.0.0.1" "BackSMTPPort:$DEAD_PORT" \
    "BackAddrDomain:example.test"
write_conf "$WORK/noroute.conf" "BackSMTPServer:127.0.0.1" "BackSMTPPort:$DEAD_PORT"

# ends_with NAME STATUS: the kelvantor just started ends by itself with STATUS.
ends_with() {
    local pid=$KV_PID
    if ! wait_until 10 proc_ended "$pid"; then
        fail "$1: still running"
        return 1
    fi
    kv_stop "$pid"
    [ "$STOP_STATUS" = "$2" ] || fail "$1: exit status $STOP_STATUS (expected $2)"
    LAST_PID=$pid
}

# --- configuration without a route, and a missing configuration file ----------
kv_start noroute -p "inet:$PORT_FG@127.0.0.1" -f "$WORK/noroute.conf"
ends_with "no route" 71 && expect_log "$LAST_PID" "BackAddrDomain not defined"
kv_start noconf -p "inet:$PORT_FG@127.0.0.1" -f "$WORK/missing.conf"
ends_with "missing configuration" 71 && expect_log "$LAST_PID" "BackAddrDomain not defined"

# --- root is refused (said on standard error too, status 77) -------------------
if [ "$(id -u)" = 0 ]; then
    "${ISOLATE[@]}" "$KV_BIN" -p "inet:$PORT_FG@127.0.0.1" -f "$WORK/good.conf" >"$WORK/root.out" 2>&1 &
    KV_PID=$!
    HARNESS_PIDS+=("$KV_PID")
    ends_with "as root" 77 && expect_log "$LAST_PID" "kelvantor cannot run as root"
    [ "$(cat "$WORK/root.out")" = "kelvantor cannot run as root" ] ||
        fail "as root: output should be the refusal: $(cat "$WORK/root.out")"
fi

# --- a failed privilege call ends start-up with 71 before anything is served ----
if [ "$(id -u)" = 0 ]; then
    # As nobody, taking root's group is refused (EPERM); unchecked, the filter
    # would go on serving as nobody with neither the group nor the user asked for.
    "${ISOLATE[@]}" setpriv --reuid=nobody --regid=nogroup --clear-groups "$KV_BIN" -u root \
        -p "inet:$PORT_FG@127.0.0.1" -f "$WORK/good.conf" >"$WORK/setgid.out" 2>&1 &
    KV_PID=$!
    HARNESS_PIDS+=("$KV_PID")
    ends_with "setgid refused" 71 && expect_log "$LAST_PID" "setgid failed: Operation not permitted"
    # A user namespace denies setgroups to its root.
    if unshare --user --map-root-user true 2>/dev/null; then
        "${ISOLATE[@]}" unshare --user --map-root-user "$KV_BIN" "${KV_USER[@]}" \
            -p "inet:$PORT_FG@127.0.0.1" -f "$WORK/good.conf" >"$WORK/setgroups.out" 2>&1 &
        KV_PID=$!
        HARNESS_PIDS+=("$KV_PID")
        ends_with "setgroups refused" 71 &&
            expect_log "$LAST_PID" "setgroups failed: Operation not permitted"
    else
        say "no user namespaces here: the setgroups failure is not tried"
    fi
fi

# --- options end at the first operand: a -D behind one is not acted on ----------
STRAY_PIDFILE="$WORK/run/stray.pid"
kv_start stray -P "$STRAY_PIDFILE" -p "inet:$PORT_FG@127.0.0.1" -f "$WORK/good.conf" stray -D
stray_pid=$KV_PID
if kv_ready "inet:$PORT_FG@127.0.0.1" "$stray_pid"; then
    proc_ended "$stray_pid" && fail "-D after an operand: the process detached"
fi
if [ -e "$STRAY_PIDFILE" ]; then
    fail "-D after an operand: a pid file was written"
    HARNESS_PIDS+=("$(cat "$STRAY_PIDFILE")")
fi
kv_stop "$stray_pid"

# --- a save past RLIMIT_FSIZE is a write error, not SIGXFSZ ---------------------
# The cache file is larger than the limit: the new file cannot be written
# whole, the old one stays, and the process still ends normally.
mkdir "$WORK/cache"
CACHE="$WORK/cache/verdicts"
awk 'BEGIN { for (i = 0; i < 300; i++) printf "0 user%06d@example.test\n", i }' >"$CACHE"
[ "$(id -u)" = 0 ] && chown -R nobody:nogroup "$WORK/cache"
cache_before=$(md5sum <"$CACHE")
"${ISOLATE[@]}" prlimit --fsize=1024 "$KV_BIN" "${KV_USER[@]}" -p "inet:$PORT_FG@127.0.0.1" \
    -f "$WORK/good.conf" -b "$CACHE" >"$WORK/fsize.out" 2>&1 &
KV_PID=$!
HARNESS_PIDS+=("$KV_PID")
fsize_pid=$KV_PID
if kv_ready "inet:$PORT_FG@127.0.0.1" "$fsize_pid"; then
    kv_stop "$fsize_pid"
    [ "$STOP_STATUS" = 0 ] ||
        fail "file size limit: exit status $STOP_STATUS after SIGTERM (153 is SIGXFSZ)"
    expect_log "$fsize_pid" "writing cache error File too large"
    [ "$(md5sum <"$CACHE")" = "$cache_before" ] || fail "file size limit: the old cache file changed"
    [ "$(find "$WORK/cache" -mindepth 1 | wc -l)" = 1 ] ||
        fail "file size limit: left beside the cache file: $(ls "$WORK/cache")"
fi

# --- daemon mode and the foreground, side by side --------------------------------
PIDFILE="$WORK/run/daemon.pid"
FG_PIDFILE="$WORK/run/foreground.pid"
echo 12345 >"$FG_PIDFILE"  # not written by the foreground run, but removed at its end
kv_start daemon -D -P "$PIDFILE" -p "inet:$PORT_D@127.0.0.1" -f "$WORK/good.conf"
parent=$KV_PID
kv_start foreground -P "$FG_PIDFILE" -p "inet:$PORT_FG@127.0.0.1" -f "$WORK/good.conf"
fg_pid=$KV_PID

if wait_until 10 proc_ended "$parent"; then
    kv_stop "$parent"
    [ "$STOP_STATUS" = 0 ] || fail "daemon mode: the parent ended with $STOP_STATUS (expected 0)"
else
    fail "daemon mode: the parent did not exit"
fi
wait_until 5 test -s "$PIDFILE" || die "daemon mode: no pid file at $PIDFILE"
content=$(cat "$PIDFILE"; echo x)  # keeps the line feed visible
child=${content%$'\n'x}
pid_pattern=$'^[1-9][0-9]*\nx$'
if [[ ! "$content" =~ $pid_pattern ]]; then
    fail "daemon mode: pid file content \"${content%x}\" is not digits and a line feed"
elif [ "$child" = "$parent" ]; then
    fail "daemon mode: the pid file holds the parent's pid"
else
    HARNESS_PIDS+=("$child")
    kv_ready "inet:$PORT_D@127.0.0.1" "$child" || fail "daemon mode: the child does not answer"
    [ "$(readlink "/proc/$child/exe")" = "$(readlink -f "$KV_BIN")" ] ||
        fail "daemon mode: pid $child is not kelvantor"
    [ "$(readlink "/proc/$child/cwd")" = / ] || fail "daemon mode: working directory is not /"
    for fd in 0 1 2; do
        [ "$(readlink "/proc/$child/fd/$fd")" = /dev/null ] ||
            fail "daemon mode: descriptor $fd is $(readlink "/proc/$child/fd/$fd"), not /dev/null"
    done
    if [ "$(id -u)" = 0 ]; then
        uid=$(awk '/^Uid:/ { print $2 }' "/proc/$child/status")
        [ "$uid" = "$(id -u nobody)" ] || fail "daemon mode: the child runs as uid $uid"
        # Root's own supplementary groups must not survive the switch to nobody.
        groups=$(awk '/^Groups:/ { $1 = ""; print }' "/proc/$child/status" | xargs)
        [ "$groups" = "$(getent group nogroup | cut -d: -f3)" ] ||
            fail "daemon mode: supplementary groups after the switch: '$groups'"
    fi
    expect_log "$child" "kelvantor 1.5.1-pre2 running"
    log_has "$parent" "running" && fail "daemon mode: the parent logged the start message"
    client "$WORK/daemon.out" --socket "inet:$PORT_D@127.0.0.1" --client-addr 127.0.0.2 \
        --daemon-name mx-in --from s@client.example --rcpt someone@unrouted.example
    expect_line "$WORK/daemon.out" "rcpt <someone@unrouted.example> continue" "daemon mode, a transaction"
fi
kv_ready "inet:$PORT_FG@127.0.0.1" "$fg_pid" || fail "foreground kelvantor does not answer"

# SIGTERM to both; the daemon is not our child, so only its end is observed.
kill -TERM "$child" "$fg_pid" 2>/dev/null
wait_until 12 proc_ended "$child" || fail "daemon mode: SIGTERM did not end pid $child"
forget_pid "$child"
kv_stop "$fg_pid"
[ "$STOP_STATUS" = 0 ] || fail "foreground: exit status after SIGTERM: $STOP_STATUS"
expect_log "$fg_pid" "Exit"
[ -e "$FG_PIDFILE" ] && fail "foreground: the -P file was not removed at exit"
if log_is "$child" "Exit"; then
    say "daemon mode: SIGTERM ended the main loop (\"Exit\" logged, pid file removed: $([ -e "$PIDFILE" ] && echo no || echo yes))"
else
    say "daemon mode: SIGTERM ended the process at once (no \"Exit\")"
fi
e2e_finish
