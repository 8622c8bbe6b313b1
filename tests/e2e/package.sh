#!/bin/bash
# The Debian package from build to purge.  cpack builds the .deb from this
# build tree; its control fields and conffiles are checked; dpkg installs it
# into a scratch root with a dpkg database of its own (dpkg --root).  That is
# robust here because the package has no maintainer scripts (nothing runs
# chrooted) and dependencies are forced only because the scratch database
# knows no other package; the host's files, services and dpkg database are
# never touched.  The filter then runs the way the installed unit's ExecStart
# says, with its paths mapped into the scratch root, as nobody on a free port,
# below a stand-in for systemd: process 1 of a private PID namespace, whose
# children are process group leaders as systemd's are.  Without "setsid
# --wait" kelvantor would see process 1 as its parent and exit at once.  It
# must serve, end on SIGTERM with status 0 (through setsid) and save its cache
# in the unit's state directory, and answer kelvantorctl on the control socket
# in the unit's runtime directory (the documented /run/kelvantor/control.sock).
# "dpkg --remove" must keep the conffile and "dpkg --purge" remove it.  The
# manual pages (compressed) must pass mandoc -Tlint without a warning and
# document every option and configuration keyword; lintian must report no
# error and no warning.
source "$(dirname "$0")/lib.sh"
e2e_init

[ "$(id -u)" = 0 ] || skip "dpkg --root and the switch to nobody need root"
for tool in cpack dpkg dpkg-deb dpkg-query unshare setsid mandoc lintian; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
[ -n "${KV_BUILD_DIR:-}" ] && [ -f "$KV_BUILD_DIR/CPackConfig.cmake" ] ||
    die "KV_BUILD_DIR does not name a configured build tree (run through ctest)"
TOP=$(cd "$KV_E2E_DIR/../.." && pwd)
ROOT="$WORK/root"
DB="$ROOT/var/lib/dpkg"
host_had_package=$(dpkg-query -W -f '${Status}' kelvantor 2>/dev/null)

# ---- build ------------------------------------------------------------------
cpack --config "$KV_BUILD_DIR/CPackConfig.cmake" -B "$WORK/pkg" >"$WORK/cpack.out" 2>&1 ||
    die "cpack failed: $(cat "$WORK/cpack.out")"
debs=("$WORK"/pkg/kelvantor_*.deb)
[ ${#debs[@]} = 1 ] && [ -f "${debs[0]}" ] || die "cpack made no single kelvantor_*.deb: ${debs[*]}"
DEB=${debs[0]}

# ---- control fields and conffiles -------------------------------------------
field() { dpkg-deb -f "$DEB" "$1"; }
[ "$(field Package)" = kelvantor ] || fail "Package is '$(field Package)'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] ||
    fail "Architecture is '$(field Architecture)'"
[ -n "$(field Maintainer)" ] || fail "no Maintainer field"
[ -n "$(field Description)" ] || fail "no Description field"
program_version=$("$KV_BIN" -h | sed -n 's/^kelvantor version //p')
[ "$(field Version)" = "${program_version//-/\~}" ] ||
    fail "Version '$(field Version)' is not the program's version '$program_version'"
# Depends names the Debian package that holds the libmilter the binary uses.
milter_so=$(ldd "$KV_BIN" | awk '/libmilter/ { print $3 }')
milter_pkg=$(dpkg -S "$(readlink -f "$milter_so")" 2>/dev/null | cut -d: -f1)
[ -n "$milter_pkg" ] || die "no Debian package holds $milter_so"
depends=" $(field Depends | tr ',|' '  ') "
[[ "$depends" == *" $milter_pkg "* ]] || fail "Depends '$(field Depends)' lacks $milter_pkg"
# Every file below /etc is a conffile, and every conffile is in the package.
dpkg-deb -c "$DEB" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' | LC_ALL=C sort >"$WORK/contents"
grep '^/etc/' "$WORK/contents" >"$WORK/etc-files"
dpkg-deb -I "$DEB" conffiles 2>/dev/null | LC_ALL=C sort >"$WORK/conffiles"
diff "$WORK/etc-files" "$WORK/conffiles" >"$WORK/conffiles.diff" ||
    fail "files below /etc and conffiles differ: $(cat "$WORK/conffiles.diff")"
# Debian's own package checks: errors and warnings (information lines pass).
lintian --tag-display-limit 0 "$DEB" >"$WORK/lintian.out" 2>&1
grep -E '^[EW]: ' "$WORK/lintian.out" >"$WORK/lintian-issues.out" &&
    fail "lintian: $(cat "$WORK/lintian-issues.out")"

# ---- install into the scratch root --------------------------------------------
mkdir -p "$DB/info" "$DB/updates"
: >"$DB/status"
dpkg --root="$ROOT" --log=/dev/null --force-depends -i "$DEB" >"$WORK/install.out" 2>&1 ||
    die "dpkg -i failed: $(cat "$WORK/install.out")"
[ "$(dpkg-query --admindir="$DB" -W -f '${Status}' kelvantor)" = "install ok installed" ] ||
    fail "not installed: $(dpkg-query --admindir="$DB" -W -f '${Status}' kelvantor)"
expected="/etc/kelvantor/kelvantor.conf
/lib/systemd/system/kelvantor.service
/usr/sbin/kelvantor
/usr/sbin/kelvantorctl
/usr/share/doc/kelvantor/README.md
/usr/share/doc/kelvantor/changelog.gz
/usr/share/doc/kelvantor/copyright
/usr/share/man/man5/kelvantor.conf.5.gz
/usr/share/man/man8/kelvantor.8.gz
/usr/share/man/man8/kelvantorctl.8.gz"
[ "$(cat "$WORK/contents")" = "$expected" ] ||
    fail "package files differ from the expected ones:"$'\n'"$(cat "$WORK/contents")"
while read -r file; do
    [ -f "$ROOT$file" ] || fail "$file is not installed"
done <<<"$expected"
[ -x "$ROOT/usr/sbin/kelvantor" ] || fail "/usr/sbin/kelvantor is not executable"
[ -x "$ROOT/usr/sbin/kelvantorctl" ] || fail "/usr/sbin/kelvantorctl is not executable"
cmp -s "$ROOT/etc/kelvantor/kelvantor.conf" "$TOP/etc/kelvantor.conf" ||
    fail "the installed configuration is not etc/kelvantor.conf"

# ---- manual pages ---------------------------------------------------------------
mkdir -p "$WORK/man"
for page in man8/kelvantor.8 man8/kelvantorctl.8 man5/kelvantor.conf.5; do
    zcat "$ROOT/usr/share/man/$page.gz" >"$WORK/man/${page#*/}" || fail "$page.gz is not gzip"
done
for page in "$WORK/man/kelvantor.8" "$WORK/man/kelvantorctl.8" "$WORK/man/kelvantor.conf.5"; do
    if ! mandoc -Tlint -W warning "$page" >"$WORK/lint.out" 2>&1 || [ -s "$WORK/lint.out" ]; then
        fail "mandoc -Tlint: $(cat "$WORK/lint.out")"
    fi
done
# Option letters only: ':' marks an argument, a leading '+' the end at the first operand.
options=$(sed -n 's/.*option_string = "\([^"]*\)".*/\1/p' "$TOP/src/startup/startup.cpp" | tr -d :+)
[ -n "$options" ] || fail "no option string found in startup.cpp"
for ((i = 0; i < ${#options}; i++)); do
    grep -qE "^\.It (.* )?Fl ${options:i:1}( |$)" "$WORK/man/kelvantor.8" ||
        fail "kelvantor(8) does not describe -${options:i:1}"
done
keywords=$(grep -oE '(take_value|take_number|time_setting|yes_flag|after_keyword|server_name)\(line, "[A-Za-z]+"' \
    "$TOP/src/startup/config.cpp" | sed 's/.*"\(.*\)"/\1/' | sort -u)
[ "$(wc -w <<<"$keywords")" -ge 10 ] || fail "found only these keywords in config.cpp: $keywords"
for keyword in $keywords; do
    grep -qE "^\.It Cm $keyword( |$)" "$WORK/man/kelvantor.conf.5" ||
        fail "kelvantor.conf(5) does not describe $keyword"
done

# ---- the unit ---------------------------------------------------------------------
UNIT="$ROOT/lib/systemd/system/kelvantor.service"
unit_value() { sed -n "s/^$1=//p" "$UNIT" | tail -n 1; }
if command -v systemd-analyze >/dev/null; then
    # Only complaints about the file's own lines: a host without a running
    # systemd reports missing targets too.
    systemd-analyze verify --man=no "$UNIT" >"$WORK/verify.out" 2>&1
    grep -F "$UNIT:" "$WORK/verify.out" >"$WORK/verify-unit.out" &&
        fail "systemd-analyze verify: $(cat "$WORK/verify-unit.out")"
fi
read -r -a exec_start <<<"$(unit_value ExecStart)"
state_dir=/var/lib/$(unit_value StateDirectory)
# The words before the program are its wrapper.
for ((k = 0; k < ${#exec_start[@]}; k++)); do
    [ "${exec_start[k]##*/}" = kelvantor ] && break
done
wrapper=("${exec_start[@]:0:k}")
[ ${#wrapper[@]} = 2 ] && [ "${wrapper[0]##*/}" = setsid ] && [ "${wrapper[1]}" = --wait ] ||
    fail "ExecStart does not run kelvantor below setsid --wait: ${exec_start[*]}"
[ "${exec_start[k]:-}" = /usr/sbin/kelvantor ] || fail "ExecStart runs ${exec_start[k]:-nothing}"

read -r PORT < <(free_ports 1)
SOCKET="inet:$PORT@127.0.0.1"
cmd=("${wrapper[@]}" "$ROOT${exec_start[k]}")
config="" cache=""
for ((i = k + 1; i < ${#exec_start[@]}; i++)); do
    option=${exec_start[i]} value=${exec_start[i + 1]:-}
    case "$option" in
        -u) value=nobody ;;
        -g) value=nogroup ;;
        -p) value=$SOCKET ;;
        -f) config=$value value=$ROOT$value ;;
        -b) cache=$value value=$ROOT$value ;;
        -D) fail "ExecStart runs kelvantor as a daemon"; cmd+=(-D); continue ;;
        *) fail "ExecStart has an unexpected argument $option" ;;
    esac
    cmd+=("$option" "$value")
    ((i++))
done
grep -qxF -- "$config" "$WORK/conffiles" || fail "ExecStart's -f '$config' is not the conffile"
[ "$(dirname "$cache")" = "$state_dir" ] ||
    fail "ExecStart's -b '$cache' is not in the state directory $state_dir"
[ -n "$cache" ] || die "ExecStart has no -b"
# systemd makes the state and runtime directories, owned by the run user.
run_dir=/run/$(unit_value RuntimeDirectory)
[ "$run_dir" = /run/kelvantor ] ||
    fail "RuntimeDirectory gives $run_dir, not the documented /run/kelvantor"
for dir in "$state_dir" "$run_dir"; do
    mkdir -p "$ROOT$dir"
    chown nobody:nogroup "$ROOT$dir"
    chmod 750 "$ROOT$dir"
done
# The documented control socket, below the runtime directory.
CONTROL="$ROOT$run_dir/control.sock"
printf 'ControlSocket:%s\n' "$CONTROL" >>"$ROOT$config"

# ---- run it as the unit would --------------------------------------------------------
# --kill-child: should unshare be killed, its whole PID namespace goes with it.
unshare --pid --fork --kill-child -- bash -c 'set -m; "$@" & wait $!' init "${cmd[@]}" \
    >"$WORK/service.out" 2>&1 &
INIT_PID=$!
E2E_PIDS+=("$INIT_PID")
# kv_pid: prints the pid of the installed kelvantor among the descendants of
# unshare, once it runs.
kv_pid() {
    local pids=("$INIT_PID") pid children
    while [ ${#pids[@]} -gt 0 ]; do
        pid=${pids[0]}
        pids=("${pids[@]:1}")
        if [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$ROOT/usr/sbin/kelvantor" ]; then
            echo "$pid"
            return 0
        fi
        children=$(cat /proc/"$pid"/task/*/children 2>/dev/null)
        pids+=($children)
    done
    return 1
}
kv_started() { KV_PID=$(kv_pid) || proc_ended "$INIT_PID"; }
wait_until 10 kv_started
if [ -z "$KV_PID" ]; then
    proc_ended "$INIT_PID" && wait "$INIT_PID"
    die "the installed kelvantor did not stay up (service status $?): $(cat "$WORK/service.out")"
fi
E2E_PIDS+=("$KV_PID")
if kv_ready "$SOCKET" "$KV_PID"; then
    client "$WORK/transaction.out" --socket "$SOCKET" --client-addr 192.0.2.7 \
        --daemon-name mx-in --from s@client.example --rcpt someone@unrouted.example
    expect_line "$WORK/transaction.out" "rcpt <someone@unrouted.example> continue" \
        "a recipient of an unrouted domain"
    "$ROOT/usr/sbin/kelvantorctl" -s "$CONTROL" stats >"$WORK/ctl.out" 2>&1 ||
        fail "kelvantorctl on the runtime directory's socket: $(cat "$WORK/ctl.out")"
else
    say "service output: $(cat "$WORK/service.out")"
fi
kill -TERM "$KV_PID"
wait_until 12 proc_ended "$KV_PID" || fail "SIGTERM did not end kelvantor[$KV_PID]"
forget_pid "$KV_PID"
# setsid --wait hands kelvantor's status to process 1, which ends with it.
if wait_until 5 proc_ended "$INIT_PID"; then
    wait "$INIT_PID"
    status=$?
    [ "$status" = 0 ] || fail "the service ended with status $status (expected 0)"
else
    fail "the service's process 1 did not end after kelvantor"
fi
forget_pid "$INIT_PID"
[ -f "$ROOT$cache" ] || fail "no cache file $cache was saved at exit"

# ---- remove and purge ------------------------------------------------------------------
dpkg --root="$ROOT" --log=/dev/null --remove kelvantor >"$WORK/remove.out" 2>&1 ||
    fail "dpkg --remove failed: $(cat "$WORK/remove.out")"
[ "$(dpkg-query --admindir="$DB" -W -f '${Status}' kelvantor)" = "deinstall ok config-files" ] ||
    fail "after --remove: $(dpkg-query --admindir="$DB" -W -f '${Status}' kelvantor)"
while read -r file; do
    case "$file" in
        /etc/*) [ -f "$ROOT$file" ] || fail "--remove deleted the conffile $file" ;;
        *) [ -e "$ROOT$file" ] && fail "--remove left $file" ;;
    esac
done <<<"$expected"
dpkg --root="$ROOT" --log=/dev/null --purge kelvantor >"$WORK/purge.out" 2>&1 ||
    fail "dpkg --purge failed: $(cat "$WORK/purge.out")"
dpkg-query --admindir="$DB" -W kelvantor >/dev/null 2>&1 &&
    fail "after --purge: $(dpkg-query --admindir="$DB" -W -f '${Status}' kelvantor)"
[ -e "$ROOT/etc/kelvantor" ] && fail "--purge left /etc/kelvantor"

[ "$(dpkg-query -W -f '${Status}' kelvantor 2>/dev/null)" = "$host_had_package" ] ||
    fail "the host's dpkg database changed"
e2e_finish
