# Shared helpers of the end-to-end shell tests (sourced, not run): a scratch
# directory, checks that record failures, bounded waits on events, starting and
# stopping kelvantor and other servers by pid, a private syslog receiver on
# /dev/log and a private Postfix instance.  Everything started here is stopped
# by the EXIT trap, also when a test fails or times out.
# Environment (set by CTest): KV_BIN KV_CLIENT KV_TOOL KV_BACKEND KV_E2E_DIR;
# KV_E2E_KEEP=1 keeps the scratch directory of a passing run.

set -u -o pipefail

E2E_NAME=$(basename "$0" .sh)
E2E_FAILURES=0
E2E_PIDS=()          # servers to stop at exit
E2E_SYSLOG_PID=""
E2E_DEVLOG_SAVED=""
E2E_PF_CONF=""
WORK=""

say() { printf '%s: %s\n' "$E2E_NAME" "$*"; }
fail() {
    printf '%s: FAIL: %s\n' "$E2E_NAME" "$*" >&2
    E2E_FAILURES=$((E2E_FAILURES + 1))
}
die() {
    printf '%s: FATAL: %s\n' "$E2E_NAME" "$*" >&2
    E2E_FAILURES=$((E2E_FAILURES + 1))
    exit 1
}
skip() {
    printf '%s: SKIP: %s\n' "$E2E_NAME" "$*"
    exit 77
}

# e2e_init: checks the programs, makes $WORK and installs the cleanup trap.
e2e_init() {
    local var
    for var in KV_BIN KV_CLIENT KV_TOOL KV_E2E_DIR; do
        [ -n "${!var:-}" ] || die "$var is not set (run the tests through ctest)"
    done
    [ -x "$KV_BIN" ] || die "kelvantor binary $KV_BIN is missing: build target kelvantor"
    [ -x "$KV_CLIENT" ] || die "$KV_CLIENT is missing: build target kv-milter-client"
    WORK=$(mktemp -d "/tmp/kv-e2e-$E2E_NAME.XXXXXX") || die "mktemp failed"
    chmod 755 "$WORK"  # nobody and postfix must reach files below it
    trap e2e_cleanup EXIT
    trap 'exit 1' INT TERM
    if [ "$(id -u)" = 0 ]; then
        KV_USER=(-u nobody -g nogroup)
    else
        KV_USER=()
    fi
}

e2e_finish() {
    if [ "$E2E_FAILURES" -gt 0 ]; then
        say "$E2E_FAILURES check(s) failed; files kept in $WORK"
        exit 1
    fi
    say "all checks passed"
    exit 0
}

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

# stop_pid PID SECONDS: SIGTERM, then a bounded wait, then SIGKILL.  Sets
# STOP_STATUS to the exit status of a child, "gone" for a process that is not
# our child, or "killed" when it had to be killed.
stop_pid() {
    local pid=$1 limit=${2:-10}
    STOP_STATUS=""
    kill -TERM "$pid" 2>/dev/null
    if ! wait_until "$limit" proc_ended "$pid"; then
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

forget_pid() {
    local keep=() p
    for p in "${E2E_PIDS[@]}"; do [ "$p" = "$1" ] || keep+=("$p"); done
    E2E_PIDS=("${keep[@]}")
}

e2e_cleanup() {
    local p
    for p in "${E2E_PIDS[@]}"; do kill -TERM "$p" 2>/dev/null; done
    for p in "${E2E_PIDS[@]}"; do
        wait_until 10 proc_ended "$p" || kill -KILL "$p" 2>/dev/null
        wait "$p" 2>/dev/null
    done
    E2E_PIDS=()
    [ -n "$E2E_PF_CONF" ] && pf_stop
    stop_syslog
    if [ -n "$WORK" ] && [ "$E2E_FAILURES" -eq 0 ] && [ -z "${KV_E2E_KEEP:-}" ]; then
        rm -rf "$WORK"
    fi
}

# free_ports N: prints N free loopback TCP ports.
free_ports() { "$KV_TOOL" free-ports "$1"; }

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
port_closed() { ! port_open "$1"; }

# ---- syslog ---------------------------------------------------------------

# start_syslog [--kill-on TEXT]: receives /dev/log into $WORK/syslog.log.
start_syslog() {
    [ "$(id -u)" = 0 ] || skip "taking over /dev/log needs root"
    SYSLOG="$WORK/syslog.log"
    local saved
    # A run killed from outside (a CTest timeout) leaves its receiver's socket
    # in place and the original aside: put the original back first.
    for saved in /dev/log.kv-e2e-saved.*; do
        [ -e "$saved" ] || [ -L "$saved" ] || continue
        proc_ended "${saved##*.}" || continue
        rm -f /dev/log
        mv "$saved" /dev/log
    done
    if [ -e /dev/log ] || [ -L /dev/log ]; then
        E2E_DEVLOG_SAVED="/dev/log.kv-e2e-saved.$$"
        mv /dev/log "$E2E_DEVLOG_SAVED" || die "cannot move /dev/log aside"
    fi
    "$KV_TOOL" syslogd /dev/log "$SYSLOG" "$@" 2>"$WORK/syslogd.err" &
    E2E_SYSLOG_PID=$!
    wait_until 5 test -e "$SYSLOG" || die "syslog receiver did not start: $(cat "$WORK/syslogd.err")"
}

stop_syslog() {
    if [ -n "$E2E_SYSLOG_PID" ]; then
        kill -TERM "$E2E_SYSLOG_PID" 2>/dev/null
        wait_until 5 proc_ended "$E2E_SYSLOG_PID" || kill -KILL "$E2E_SYSLOG_PID" 2>/dev/null
        wait "$E2E_SYSLOG_PID" 2>/dev/null
        E2E_SYSLOG_PID=""
        rm -f /dev/log
    fi
    if [ -n "$E2E_DEVLOG_SAVED" ]; then
        mv "$E2E_DEVLOG_SAVED" /dev/log
        E2E_DEVLOG_SAVED=""
    fi
}

# log_has PID TEXT: a message of kelvantor[PID] contains TEXT.
log_has() { grep -F -- "kelvantor[$1]: " "$SYSLOG" | grep -qF -- "$2"; }
# log_is PID TEXT: a message of kelvantor[PID] is exactly TEXT.
log_is() { awk -v tag="kelvantor[$1]: " -v text="$2" \
    'index($0, tag) && substr($0, index($0, tag) + length(tag)) == text { found = 1 }
     END { exit !found }' "$SYSLOG"; }
log_count() {
    local n
    n=$(grep -F -- "kelvantor[$1]: " "$SYSLOG" | grep -cF -- "$2")
    echo "${n:-0}"
}
# log_before PID FIRST SECOND: both messages were logged, FIRST before SECOND.
log_before() { awk -v tag="kelvantor[$1]: " -v a="$2" -v b="$3" '
    index($0, tag) { m = substr($0, index($0, tag) + length(tag))
                     if (m == a && !ia) ia = NR; if (m == b && !ib) ib = NR }
    END { exit !(ia && ib && ia < ib) }' "$SYSLOG"; }
# Prints the messages of kelvantor[PID], for failure reports.
log_of() { grep -F -- "kelvantor[$1]: " "$SYSLOG" | sed 's/^.*kelvantor\[[0-9]*\]: /    log: /'; }

# expect_log PID TEXT [SECONDS]: waits for a message of PID that equals TEXT.
expect_log() {
    local pid=$1 text=$2 limit=${3:-5}
    wait_until "$limit" log_is "$pid" "$text" && return 0
    fail "no log message \"$text\" from kelvantor[$pid]; its messages:"
    log_of "$pid" >&2
    return 1
}

# ---- kelvantor ------------------------------------------------------------

# write_conf FILE LINE...: a configuration file readable by the filter's user.
write_conf() {
    local file=$1
    shift
    printf '%s\n' "$@" >"$file"
    chmod 644 "$file"
}

# kv_start NAME ARGS...: starts kelvantor in the foreground (as nobody when
# run as root); KV_PID is its pid, $WORK/NAME.out its standard output and error.
kv_start() {
    local name=$1
    shift
    "$KV_BIN" "${KV_USER[@]}" "$@" >"$WORK/$name.out" 2>&1 &
    KV_PID=$!
    E2E_PIDS+=("$KV_PID")
}

# kv_ready SPEC PID: waits until the filter on SPEC negotiates.
kv_ready() {
    local spec=$1 pid=$2 i
    for ((i = 0; i < 100; i++)); do
        "$KV_CLIENT" --socket "$spec" --probe --timeout 2 >/dev/null 2>&1 && return 0
        if proc_ended "$pid"; then
            fail "kelvantor[$pid] ended before listening on $spec"
            [ -n "${SYSLOG:-}" ] && log_of "$pid" >&2
            return 1
        fi
        sleep 0.1
    done
    fail "kelvantor[$pid] does not answer on $spec"
    return 1
}

# kv_stop PID: SIGTERM and a bounded wait (libmilter needs up to 5 s).
kv_stop() {
    stop_pid "$1" 12
    forget_pid "$1"
}

# kv_stop_many PID...: SIGTERM to all at once, then kv_stop each; the exit
# statuses land in KV_STATUS[PID].
declare -A KV_STATUS=()
kv_stop_many() {
    local p
    kill -TERM "$@" 2>/dev/null
    for p in "$@"; do
        kv_stop "$p"
        KV_STATUS[$p]=$STOP_STATUS
    done
}

# client OUT ARGS...: runs one scripted transaction, output in OUT.
client() {
    local out=$1
    shift
    "$KV_CLIENT" "$@" >"$out" 2>&1
}

# expect_line FILE LINE DESCRIPTION: FILE has exactly this line.
expect_line() {
    grep -qxF -- "$2" "$1" && return 0
    fail "$3: expected line \"$2\"; got:"
    sed 's/^/    /' "$1" >&2
    return 1
}

# ---- backends -------------------------------------------------------------

require_backend() {
    [ -n "${KV_BACKEND:-}" ] && [ -x "$KV_BACKEND" ] ||
        skip "the test backend kv-test-backend is not built in this tree"
}

# backend_start NAME ARGS...: runs kv-test-backend on a free port (it prints
# "port N" first); sets BACKEND_PID and BACKEND_PORT.
backend_start() {
    local name=$1 line=""
    shift
    "$KV_BACKEND" --port 0 "$@" >"$WORK/$name.out" 2>&1 &
    BACKEND_PID=$!
    E2E_PIDS+=("$BACKEND_PID")
    wait_until 5 grep -qs '^port [0-9]' "$WORK/$name.out" ||
        die "backend $name did not report its port: $(cat "$WORK/$name.out")"
    line=$(grep -m1 '^port [0-9]' "$WORK/$name.out")
    BACKEND_PORT=${line#port }
    wait_until 5 port_open "$BACKEND_PORT" || die "backend $name does not listen on $BACKEND_PORT"
}

# ---- Postfix --------------------------------------------------------------

# pf_start MILTER LISTENER_LINES: a private Postfix below $WORK/pf, with
# smtpd_milters = MILTER by default and the given master.cf listener lines.
# Waits until every listener port accepts connections.
pf_start() {
    local milter=$1 listeners=$2 port
    command -v postfix >/dev/null || skip "postfix is not installed"
    mkdir -p "$WORK/pf/etc" "$WORK/pf/spool" "$WORK/pf/log" "$WORK/pf/data"
    chown postfix "$WORK/pf/data"
    sed -e "s|@ROOT@|$WORK|g" -e "s|@MILTER@|$milter|g" \
        "$KV_E2E_DIR/postfix/main.cf.in" >"$WORK/pf/etc/main.cf"
    { printf '%s\n' "$listeners"; cat "$KV_E2E_DIR/postfix/master.cf.in"; } >"$WORK/pf/etc/master.cf"
    E2E_PF_CONF="$WORK/pf/etc"
    script -qec "postfix -c $E2E_PF_CONF check" /dev/null >"$WORK/pf-check.out" 2>&1 ||
        die "postfix check failed: $(cat "$WORK/pf-check.out")"
    script -qec "postfix -c $E2E_PF_CONF start" /dev/null >"$WORK/pf-start.out" 2>&1 ||
        die "postfix start failed: $(cat "$WORK/pf-start.out")"
    for port in $(printf '%s\n' "$listeners" | sed -n 's/^127\.0\.0\.1:\([0-9]*\) .*/\1/p'); do
        wait_until 15 port_open "$port" || die "postfix does not listen on $port"
    done
}

pf_stop() {
    local pidfile="$WORK/pf/spool/pid/master.pid" pid=""
    [ -f "$pidfile" ] && pid=$(tr -dc 0-9 <"$pidfile")
    script -qec "postfix -c $E2E_PF_CONF stop" /dev/null >/dev/null 2>&1
    if [ -n "$pid" ] && ! wait_until 15 proc_ended "$pid"; then
        kill -KILL "$pid" 2>/dev/null
    fi
    E2E_PF_CONF=""
}

# maillog_count TEXT: lines of the Postfix log holding TEXT.
maillog_count() {
    local n
    n=$(grep -cF -- "$1" "$WORK/pf/log/maillog" 2>/dev/null)
    echo "${n:-0}"
}
maillog_has_at_least() { [ "$(maillog_count "$1")" -ge "$2" ]; }

# backend_users FILE: the recipient table of a Postfix backend listener:
# known@, alice@ and bob@example.test exist, every other example.test user is
# refused with 550, busy@ gets 451 and bad553@ 553; other domains are refused
# as relay attempts (554) by reject_unauth_destination.
backend_users() {
    cat >"$1" <<'USERS'
known@example.test OK
alice@example.test OK
bob@example.test OK
busy@example.test 451 4.2.1 mailbox busy
bad553@example.test 553 5.1.3 bad address
example.test REJECT
USERS
}

# backend_listener PORT TABLE: master.cf lines of a Postfix listener that
# serves as the backend SMTP server (no milter, logs as postfix-backend).
backend_listener() {
    printf '%s\n' "127.0.0.1:$1 inet n - n - - smtpd" \
        "  -o syslog_name=postfix-backend" \
        "  -o smtpd_milters=" \
        "  -o access_map_reject_code=550" \
        "  -o smtpd_recipient_restrictions=reject_unauth_destination,check_recipient_access,texthash:$2"
}

# swaks_session OUT PORT ARGS...: one SMTP session with swaks (transcript in OUT).
swaks_session() {
    local out=$1 port=$2
    shift 2
    swaks --server 127.0.0.1 --port "$port" --helo client.example \
        --from sender@client.example --timeout 30 "$@" >"$out" 2>&1
    return 0  # swaks exits 0 when any recipient passed: the transcript decides
}

# rcpt_reply OUT ADDR: the server's reply to RCPT TO:<ADDR> in a swaks transcript.
rcpt_reply() {
    awk -v cmd="RCPT TO:<$2>" '
        found && /^<(- |\*\*) / { print substr($0, 5); exit }
        index($0, "-> " cmd) && substr($0, index($0, "-> ") + 3) == cmd { found = 1 }' "$1"
}

# expect_rcpt OUT ADDR REPLY-PREFIX DESCRIPTION
expect_rcpt() {
    local got
    got=$(rcpt_reply "$1" "$2")
    case "$got" in
        "$3"*) return 0 ;;
    esac
    fail "$4: RCPT TO:<$2> got \"$got\", expected \"$3...\"; transcript:"
    sed 's/^/    /' "$1" >&2
    return 1
}
