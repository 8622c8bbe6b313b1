# Shell helpers of the end-to-end tests and the benchmark suite (sourced, not
# run): bounded waits on events, servers started in the background and
# stopped by pid, free loopback ports, a private mount namespace for the
# filters (their own /dev, so /dev/log is the caller's receiver or nothing
# and the host's /dev/log is never touched), and a private Postfix instance
# from the templates in postfix/.  harness_cleanup stops everything started.

HARNESS_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
HARNESS_PIDS=()     # servers to stop at the end
HARNESS_PF_ROOT=""  # scratch directory of the running Postfix instance
HARNESS_PORTS=" "   # ports handed out by free_ports

# True when the process has ended (gone, or a zombie nobody reaped yet).
proc_ended() {
    local state
    [ -e "/proc/$1" ] || return 0
    state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1)
    [ -z "$state" ] || [ "$state" = Z ]
}

# wait_until SECONDS COMMAND...: runs COMMAND until it succeeds or the time is up.
wait_until() {
    local limit=$1 i
    shift
    for ((i = 0; i < limit * 50; i++)); do
        "$@" && return 0
        sleep 0.02
    done
    "$@"
}

# wait_secs SECONDS COMMAND...: as wait_until, but bounded by the clock rather
# than by a count of tries, for commands that take a while themselves (a
# client that has to connect to a server), retried every 0.1 s.
wait_secs() {
    local end=$((${EPOCHREALTIME/./} + $1 * 1000000))
    shift
    until "$@"; do
        [ "${EPOCHREALTIME/./}" -lt "$end" ] || return 1
        sleep 0.1
    done
}

# backend_rcpts_from LOG PID: the RCPT TO count so far of the test backend
# with that pid writing to LOG (SIGUSR1 makes it print "counts ... rcpts=N"),
# or "none" when it printed none within 5 s.
backend_rcpts_from() {
    local log=$1 before
    before=$(grep -c '^counts' "$log")
    kill -USR1 "$2"
    wait_until 5 backend_counts_above "$log" "$before" || { echo none; return; }
    grep '^counts' "$log" | tail -n 1 | sed 's/.*rcpts=\([0-9]*\).*/\1/'
}
backend_counts_above() { [ "$(grep -c '^counts' "$1")" -gt "$2" ]; }

# start_bg LOG COMMAND...: starts a server in the background with its output
# in LOG (a command, not a shell function, so that $! is its pid); LAST_PID.
start_bg() {
    local log=$1
    shift
    "$@" >"$log" 2>&1 &
    LAST_PID=$!
    HARNESS_PIDS+=("$LAST_PID")
}

forget_pid() {
    local keep=() p
    for p in "${HARNESS_PIDS[@]}"; do [ "$p" = "$1" ] || keep+=("$p"); done
    HARNESS_PIDS=("${keep[@]}")
}

# stop_pid PID SECONDS: SIGTERM, then a bounded wait, then SIGKILL.  Sets
# STOP_STATUS to the exit status of a child, "gone" for a process that is not
# our child, or "killed" when it had to be killed (and then fails).
stop_pid() {
    local pid=$1 limit=${2:-10}
    STOP_STATUS=""
    kill -TERM "$pid" 2>/dev/null
    if ! wait_until "$limit" proc_ended "$pid"; then
        echo "harness: pid $pid still running after ${limit}s, killing it" >&2
        kill -KILL "$pid" 2>/dev/null
        wait_until 5 proc_ended "$pid"
        wait "$pid" 2>/dev/null
        STOP_STATUS=killed
        return 1
    fi
    if wait "$pid" 2>/dev/null; then STOP_STATUS=0; else STOP_STATUS=$?; fi
    # wait answers 127 for a process that is not our child.
    [ "$STOP_STATUS" = 127 ] && STOP_STATUS=gone
    return 0
}

# harness_cleanup: stops Postfix and every server still listed, each within
# a bound (libmilter needs up to 5 s after SIGTERM).
harness_cleanup() {
    local p
    [ -n "$HARNESS_PF_ROOT" ] && postfix_stop
    for p in "${HARNESS_PIDS[@]}"; do kill -TERM "$p" 2>/dev/null; done
    for p in "${HARNESS_PIDS[@]}"; do stop_pid "$p" 15; done
    HARNESS_PIDS=()
}

# free_ports N: prints N loopback TCP ports below the ephemeral range that
# nothing listens on and that this run has not handed out before.
free_ports() {
    local n=$1 found=() p i
    for ((i = 0; i < 1000 && ${#found[@]} < n; i++)); do
        p=$((20000 + RANDOM % 12000))
        case $HARNESS_PORTS in *" $p "*) continue ;; esac
        [ -z "$(ss -Htan "( sport = :$p )")" ] || continue
        HARNESS_PORTS+="$p "
        found+=("$p")
    done
    [ ${#found[@]} -eq "$n" ] || { echo "harness: no free port" >&2; return 1; }
    echo "${found[*]}"
}

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
port_closed() { ! port_open "$1"; }

# ---- private mount namespace ----------------------------------------------

# ISOLATE: a command prefix that runs a program in a mount namespace of its
# own with an empty /dev holding only null, and log -> $KV_DEVLOG when that
# is set (a syslog receiver's socket).  Empty where namespaces are not allowed
# (not root): the program then runs as it is.  unshare and sh exec, so $! is
# still the program's pid.
ISOLATE=(unshare -m --propagation private sh -c '
    mount -t tmpfs -o size=64k,mode=0755 kv-dev /dev &&
    mknod -m 666 /dev/null c 1 3 &&
    { [ -z "${KV_DEVLOG:-}" ] || ln -s "$KV_DEVLOG" /dev/log; } &&
    exec "$@"' sh)
"${ISOLATE[@]}" true 2>/dev/null || ISOLATE=()

# ---- Postfix --------------------------------------------------------------

# postfix_start ROOT LISTENERS [NAME=VALUE...]: a private Postfix below ROOT/pf
# with the given master.cf listener lines; NAME=VALUE fill in the @NAME@ of
# main.cf.in (defaults: DOMAIN=example.test, MILTER= (none), VERIFY_PORT=25).
# Waits until every listener port accepts connections.  Fails with a message
# on standard error: status 77 when Postfix is not installed, else 1.
postfix_start() {
    local root=$1 listeners=$2 pair port
    shift 2
    local -A vars=([DOMAIN]=example.test [MILTER]="" [VERIFY_PORT]=25)
    for pair in "$@"; do vars[${pair%%=*}]=${pair#*=}; done
    local subst=(-e "s|@ROOT@|$root|g")
    for pair in "${!vars[@]}"; do subst+=(-e "s|@$pair@|${vars[$pair]}|g"); done
    command -v postfix >/dev/null || { echo "postfix is not installed" >&2; return 77; }
    mkdir -p "$root/pf/etc" "$root/pf/spool" "$root/pf/log" "$root/pf/data"
    chown postfix "$root/pf/data"
    sed "${subst[@]}" "$HARNESS_DIR/postfix/main.cf.in" >"$root/pf/etc/main.cf"
    { printf '%s\n' "$listeners"; cat "$HARNESS_DIR/postfix/master.cf.in"; } >"$root/pf/etc/master.cf"
    HARNESS_PF_ROOT=$root
    script -qec "postfix -c $root/pf/etc check" /dev/null >"$root/pf-check.out" 2>&1 ||
        { echo "postfix check failed: $(cat "$root/pf-check.out")" >&2; return 1; }
    script -qec "postfix -c $root/pf/etc start" /dev/null >"$root/pf-start.out" 2>&1 ||
        { echo "postfix start failed: $(cat "$root/pf-start.out")" >&2; return 1; }
    for port in $(printf '%s\n' "$listeners" | sed -n 's/^127\.0\.0\.1:\([0-9]*\) .*/\1/p'); do
        wait_until 15 port_open "$port" || { echo "postfix does not listen on $port" >&2; return 1; }
    done
}

postfix_stop() {
    local root=$HARNESS_PF_ROOT pid=""
    [ -n "$root" ] || return 0
    [ -f "$root/pf/spool/pid/master.pid" ] && pid=$(tr -dc 0-9 <"$root/pf/spool/pid/master.pid")
    timeout 30 script -qec "postfix -c $root/pf/etc stop" /dev/null >/dev/null 2>&1
    if [ -n "$pid" ] && ! wait_until 15 proc_ended "$pid"; then
        kill -KILL "$pid" 2>/dev/null
    fi
    HARNESS_PF_ROOT=""
}

# ---- Redis ----------------------------------------------------------------

# redis_start DIR PORT [ARGS...]: a redis-server on 127.0.0.1:PORT without
# persistence, with DIR as its working directory and DIR/redis.log as its
# output; further ARGS go to redis-server (PORT 0 with --unixsocket PATH for
# a unix socket only).  Waits until it answers PING on the port, or on the
# socket when PORT is 0 (REDISCLI_AUTH in the environment for a password).
# Sets REDIS_PID.  Fails with a message on standard error: status 77 when
# redis-server is not installed, else 1.
redis_start() {
    local dir=$1 port=$2 where
    shift 2
    command -v redis-server >/dev/null && command -v redis-cli >/dev/null ||
        { echo "redis-server is not installed" >&2; return 77; }
    mkdir -p "$dir"
    start_bg "$dir/redis.log" redis-server --port "$port" --bind 127.0.0.1 --save '' \
        --appendonly no --daemonize no --dir "$dir" "$@"
    REDIS_PID=$LAST_PID
    where=(-p "$port")
    [ "$port" = 0 ] && where=(-s "$(redis_socket_arg "$@")")
    if ! wait_until 10 redis_answers "${where[@]}"; then
        echo "redis-server does not answer: $(tail -n 5 "$dir/redis.log")" >&2
        return 1
    fi
}

# The PATH of --unixsocket PATH among redis-server arguments.
redis_socket_arg() {
    while [ $# -gt 1 ]; do
        [ "$1" = --unixsocket ] && { echo "$2"; return; }
        shift
    done
}

# redis_answers WHERE...: the server at WHERE (-p PORT or -s PATH) answers
# PING within a second.
redis_answers() { [ "$(timeout 1 redis-cli "$@" PING 2>/dev/null)" = PONG ]; }

# redis_stop [PID]: SIGTERM and a bounded wait (STOP_STATUS as for stop_pid);
# the server of the last redis_start by default.
redis_stop() {
    local pid=${1:-${REDIS_PID:-}}
    [ -n "$pid" ] || return 0
    stop_pid "$pid" 10
    forget_pid "$pid"
    [ "$pid" != "${REDIS_PID:-}" ] || REDIS_PID=""
}

# redis_kill [PID]: SIGKILL, as a crash would end it, and its end awaited.
redis_kill() {
    local pid=${1:-${REDIS_PID:-}}
    [ -n "$pid" ] || return 0
    kill -KILL "$pid" 2>/dev/null
    wait_until 5 proc_ended "$pid"
    wait "$pid" 2>/dev/null
    forget_pid "$pid"
    [ "$pid" != "${REDIS_PID:-}" ] || REDIS_PID=""
}

# redis_cmd PORT ARGS...: one redis-cli command against 127.0.0.1:PORT, bounded to 10 s.
redis_cmd() {
    local port=$1
    shift
    timeout 10 redis-cli -h 127.0.0.1 -p "$port" "$@"
}
redis_ping() { [ "$(redis_cmd "$1" PING 2>/dev/null)" = PONG ]; }

# redis_keys_at_least PORT N: true when the server holds N keys or more (for wait_secs).
redis_keys_at_least() {
    local n
    n=$(redis_cmd "$1" DBSIZE 2>/dev/null) || return 1
    [ -n "$n" ] && [ "$n" -ge "$2" ]
}
