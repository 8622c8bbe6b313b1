#!/bin/bash
# The cache path planted or constrained in ways a save must survive: a
# dangling link, a hard link, a FIFO, a read-only directory, and a file-size
# limit below the file.  Each time the filter learns a verdict, is stopped
# with SIGTERM, and must end with status 0 within the bound, log why the save
# was refused, and leave what was at the path as it was (no write through a
# link, no blocked save on the FIFO, no SIGXFSZ).  Then the periodic save of
# a large file of a group not the run group is killed with SIGKILL in its
# middle: a whole file must be left, old or new; and the next start removes
# the save's temporary files of the run user's, and nothing else beside it.
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

# --- a kill -9 in the middle of a periodic save --------------------------------
LINES=400000
GRP="$WORK/grp"
CACHE="$GRP/verdicts"
mkdir "$GRP"
awk -v n="$LINES" 'BEGIN { for (i = 0; i < n; i++) printf "%d user%06d@ok.test\n", i % 2, i }' >"$CACHE"
chown nobody:nogroup "$GRP"
chown nobody:daemon "$CACHE"
chmod 660 "$CACHE"
size=$(stat -c %s "$CACHE")
before=$(md5sum <"$CACHE")
write_conf "$WORK/periodic.conf" "BackSMTPServer:127.0.0.1" "BackSMTPPort:$BACKEND_PORT" \
    "BackAddrDomain:ok.test" "BackListSaveInterval:1"

# save_under_way: a temporary file of the save has content, or the file itself
# has been cut short.
save_under_way() {
    local f
    for f in "$CACHE".??????; do [ -s "$f" ] && return 0; done
    [ "$(stat -c %s "$CACHE" 2>/dev/null || echo 0)" -lt "$size" ]
}

read -r port < <(free_ports 1)
kv_start periodic -p "inet:$port@127.0.0.1" -f "$WORK/periodic.conf" -b "$CACHE"
pid=$KV_PID
kv_ready "inet:$port@127.0.0.1" "$pid" || die "kelvantor did not start with a $LINES-line cache file"
caught=""
end=$((${EPOCHREALTIME/./} + 20000000))
while [ "${EPOCHREALTIME/./}" -lt "$end" ] && ! proc_ended "$pid"; do
    if save_under_way; then
        kill -KILL "$pid"
        caught=yes
        break
    fi
    sleep 0.005
done
[ -n "$caught" ] || fail "no periodic save was seen under way within 20 s"
wait_until 5 proc_ended "$pid"
forget_pid "$pid"
log_has "$pid" "cannot keep owner/group $(id -u nobody):$(getent group daemon | cut -d: -f3) of cache file $CACHE: saved as $(id -u nobody):$(id -g nobody)" ||
    fail "the save did not say that the file's group cannot be kept"
if [ "$(md5sum <"$CACHE")" = "$before" ]; then
    say "kill -9 during a periodic save left the previous file unchanged"
elif [ "$(wc -l <"$CACHE")" = "$LINES" ] && ! grep -qvE '^[01] user[0-9]{6}@ok\.test$' "$CACHE"; then
    say "kill -9 during a periodic save left a complete new file"
else
    fail "kill -9 during a periodic save left $(wc -l <"$CACHE") of $LINES lines"
fi

# --- stale temporary files removed at the next start ---------------------------
printf 'x\n' >"$CACHE.Stale1"
printf 'x\n' >"$CACHE.Theirs"
printf 'x\n' >"$CACHE.old"
printf '0 kept@ok.test\n' >"$WORK/target"
chown nobody:nogroup "$CACHE.Stale1" "$CACHE.old" "$WORK/target"
ln -s "$WORK/target" "$CACHE.Link01"
chown -h nobody:nogroup "$CACHE.Link01"
ours=0
for f in "$CACHE".??????; do
    [ -f "$f" ] && [ ! -L "$f" ] && [ "$(stat -c %U "$f")" = nobody ] && ours=$((ours + 1))
done
kv_start restart -p "inet:$port@127.0.0.1" -f "$WORK/kelvantor.conf" -b "$CACHE"
pid=$KV_PID
kv_ready "inet:$port@127.0.0.1" "$pid" || die "kelvantor did not restart"
wait_until 5 log_has "$pid" "removed $ours stale temporary files of cache $CACHE" ||
    fail "no log line \"removed $ours stale temporary files of cache $CACHE\""
left=$(cd "$GRP" && echo verdicts.??????)
[ "$left" = "verdicts.Link01 verdicts.Theirs" ] || fail "beside the cache file after the start: $left"
[ -e "$CACHE.old" ] || fail "a file of another name was removed"
[ "$(cat "$WORK/target")" = "0 kept@ok.test" ] || fail "the link's target changed"
kv_stop "$pid"
[ "$STOP_STATUS" = 0 ] || fail "exit status $STOP_STATUS after SIGTERM"
e2e_finish
