#!/bin/bash
# The cache path planted or constrained in ways a save must survive: a
# dangling link, a hard link, a FIFO, a read-only directory, and a file-size
# limit below the file.  Each time the filter learns a verdict, is stopped
# with SIGTERM, and must end with status 0 within the bound, log why the save
# was refused, and leave what was at the path as it was (no write through a
# link, no blocked save on the FIFO, no SIGXFSZ).
source "$(dirname "$0")/lib.sh"
e2e_init
require_backend
start_syslog
[ "$(id -u)" = 0 ] || skip "the faults are planted for the run user nobody: needs root"

backend_start ok
write_conf "$WORK/kelvantor.conf" "BackSMTPServer:127.0.0.1" "BackSMTPPort:$BACKEND_PORT" \
    "BackAddrDomain:ok.test"
mkdir -p "$WORK/own" "$WORK/ro"
chown nobody:nogroup "$WORK/own"
printf '0 kept@ok.test\n' >"$WORK/elsewhere"
ln -s "$WORK/missing" "$WORK/own/dangling"
ln "$WORK/elsewhere" "$WORK/own/hardlink"
mkfifo "$WORK/own/fifo"
printf '0 kept@ok.test\n' >"$WORK/ro/verdicts"
chmod 644 "$WORK/ro/verdicts"
chmod 555 "$WORK/ro"
awk 'BEGIN { for (i = 0; i < 300; i++) printf "0 user%06d@ok.test\n", i }' >"$WORK/own/big"
chown nobody:nogroup "$WORK/own/big"

# fingerprint PATH: what is at PATH (a link is not followed, a FIFO not read).
fingerprint() {
    stat -c '%F %h %s' "$1" 2>/dev/null
    [ -f "$1" ] && [ ! -L "$1" ] && md5sum <"$1"
}

# case_run NAME PATH LOG [PREFIX...]: one run with -b PATH.
case_run() {
    local name=$1 path=$2 log=$3 before pid port
    shift 3
    before=$(fingerprint "$path")
    read -r port < <(free_ports 1)
    start_bg "$WORK/$name.out" "${ISOLATE[@]}" "$@" "$KV_BIN" "${KV_USER[@]}" \
        -p "inet:$port@127.0.0.1" -f "$WORK/kelvantor.conf" -b "$path"
    pid=$LAST_PID
    kv_ready "inet:$port@127.0.0.1" "$pid" || { fail "$name: kelvantor did not start"; return; }
    client "$WORK/$name.client" --socket "inet:$port@127.0.0.1" --client-addr 127.0.0.2 \
        --from s@client.example --abort --rcpt "new-$name@ok.test"
    kill -TERM "$pid"
    stop_pid "$pid" 15
    forget_pid "$pid"
    [ "$STOP_STATUS" = 0 ] || fail "$name: exit status $STOP_STATUS after SIGTERM"
    wait_until 5 log_has "$pid" "$log" || { fail "$name: no log line \"$log\""; log_of "$pid" >&2; }
    [ "$(fingerprint "$path")" = "$before" ] ||
        fail "$name: what was at $path changed"
    say "$name: refused with \"$log\", status 0"
}

case_run dangling-link "$WORK/own/dangling" "writing cache error link to no file"
[ -e "$WORK/missing" ] && fail "dangling link: its target was created"
case_run hard-link "$WORK/own/hardlink" "writing cache error more than one link to the file"
case_run fifo "$WORK/own/fifo" "writing cache error not a regular file"
case_run read-only-dir "$WORK/ro/verdicts" "writing cache error Permission denied"
case_run file-size-limit "$WORK/own/big" "writing cache error File too large" prlimit --fsize=1024
e2e_finish
