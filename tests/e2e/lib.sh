# Shared helpers of the end-to-end shell tests (sourced, not run): a scratch
# directory, checks that record failures, kelvantor and the test backend
# started and stopped by pid, a syslog receiver that only kelvantor sees as
# /dev/log (it runs in a mount namespace of its own), and a private Postfix.
# Process control, ports and Postfix come from tools/harness/lib.sh.
# Everything started here is stopped by the EXIT trap, also when a test fails
# or times out.
# Environment (set by CTest): KV_BIN KV_CLIENT KV_TOOL KV_BACKEND KV_E2E_DIR;
# KV_E2E_KEEP=1 keeps the scratch directory of a passing run.

set -u -o pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../tools/harness/lib.sh"

E2E_NAME=$(basename "$0" .sh)
E2E_FAILURES=0
E2E_SYSLOG_PID=""
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

e2e_cleanup() {
    harness_cleanup
    stop_syslog
    if [ -n "$WORK" ] && [ "$E2E_FAILURES" -eq 0 ] && [ -z "${KV_E2E_KEEP:-}" ]; then
        rm -rf "$WORK"
    fi
}

# ---- syslog ---------------------------------------------------------------

# start_syslog [--kill-on TEXT]: receives what kelvantor logs into
# $WORK/syslog.log: the receiver's socket is /dev/log in the filter's own
# mount namespace (kv_start); the host's /dev/log is left alone.
start_syslog() {
    [ ${#ISOLATE[@]} -gt 0 ] || skip "a private /dev for the filter needs root (unshare -m)"
    SYSLOG="$WORK/syslog.log"
    export KV_DEVLOG="$WORK/syslog.sock"
    "$KV_TOOL" syslogd "$KV_DEVLOG" "$SYSLOG" "$@" 2>"$WORK/syslogd.err" &
    E2E_SYSLOG_PID=$!
    wait_until 5 test -e "$SYSLOG" || die "syslog receiver did not start: $(cat "$WORK/syslogd.err")"
}

stop_syslog() {
    [ -n "$E2E_SYSLOG_PID" ] || return 0
    stop_pid "$E2E_SYSLOG_PID" 5
    E2E_SYSLOG_PID=""
}

# log_has PID TEXT: a message of kelvantor[PID] contains TEXT.  (Not grep -q
# on a pipe: it would stop reading at the first match, and under pipefail the
# first grep's SIGPIPE would turn a match into a miss.)
log_has() { grep -F -- "kelvantor[$1]: " "$SYSLOG" | grep -F -- "$2" >/dev/null; }
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
# log_at_severity PID TEXT SEVERITY: a message of kelvantor[PID] containing
# TEXT came with that syslog severity (3 err, 4 warning, 6 info, 7 debug).
log_at_severity() { grep -F -- "kelvantor[$1]: " "$SYSLOG" | grep -F -- "$2" |
    sed -n 's/^<\([0-9]*\)>.*/\1/p' | awk -v want="$3" '$1 % 8 == want { found = 1 } END { exit !found }'; }
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
# run as root) in its private mount namespace; KV_PID is its pid,
# $WORK/NAME.out its standard output and error.
kv_start() {
    local name=$1
    shift
    start_bg "$WORK/$name.out" "${ISOLATE[@]}" "$KV_BIN" "${KV_USER[@]}" "$@"
    KV_PID=$LAST_PID
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

# transaction_at SPEC OUT RCPT...: one transaction from 127.0.0.2 through the
# daemon mx-in to the filter on SPEC, its answers in OUT; a failure is recorded.
transaction_at() {
    local spec=$1 out=$2 r args=()
    shift 2
    for r in "$@"; do args+=(--rcpt "$r"); done
    client "$out" --socket "$spec" --client-addr 127.0.0.2 --daemon-name mx-in \
        --from sender@client.example "${args[@]}" ||
        fail "transaction did not complete: $(cat "$out")"
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
# state_dir: $WORK/state, for control sockets and cache files, writable by
# the user the filter runs as.
state_dir() {
    mkdir "$WORK/state"
    [ "$(id -u)" = 0 ] && chown nobody:nogroup "$WORK/state"
    chmod 755 "$WORK/state"
}
require_ctl() { [ -n "${KV_CTL:-}" ] && [ -x "$KV_CTL" ] || die "KV_CTL (kelvantorctl) is missing"; }
require_redis() {
    command -v redis-server >/dev/null && command -v redis-cli >/dev/null ||
        skip "redis-server is not installed"
}

# backend_start NAME ARGS...: runs kv-test-backend on a free port (it prints
# "port N" first); sets BACKEND_PID and BACKEND_PORT.
backend_start() {
    local name=$1 line=""
    shift
    start_bg "$WORK/$name.out" "$KV_BACKEND" --port 0 "$@"
    BACKEND_PID=$LAST_PID
    wait_until 5 grep -qs '^port [0-9]' "$WORK/$name.out" ||
        die "backend $name did not report its port: $(cat "$WORK/$name.out")"
    line=$(grep -m1 '^port [0-9]' "$WORK/$name.out")
    BACKEND_PORT=${line#port }
    wait_until 5 port_open "$BACKEND_PORT" || die "backend $name does not listen on $BACKEND_PORT"
}

# backend_rcpt_count NAME: the RCPT TO count so far of the backend started as
# NAME with its pid in BACKEND_PID (SIGUSR1 makes it print "counts ...
# rcpts=N"), or "none" when it printed none within 5 s.
backend_rcpt_count() { backend_rcpts_from "$WORK/$1.out" "$BACKEND_PID"; }

# ---- Postfix --------------------------------------------------------------

# pf_start MILTER LISTENER_LINES: the private Postfix below $WORK/pf, with
# smtpd_milters = MILTER by default and the given master.cf listener lines.
pf_start() {
    postfix_start "$WORK" "$2" "MILTER=$1"
    case $? in
        0) ;;
        77) skip "postfix is not installed" ;;
        *) die "the private Postfix did not start" ;;
    esac
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
