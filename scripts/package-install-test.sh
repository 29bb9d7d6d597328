#!/usr/bin/env bash
# Installs the Debian package on this machine, runs the agent from the
# installed files, queries it with the installed zelq over loopback, stops
# it, and purges the package, checking that nothing of it is left. The
# agent's lines in the system log are read from the journal, or, where the
# machine has no /dev/log, from a private syslogd run for the test.
#
# It changes the machine (packages, /etc, /var, a service), so it runs only
# in CI (CI=true) and as root; CI machines are disposable. Usage:
#   CI=true scripts/package-install-test.sh [build/package/zel_VERSION_ARCH.deb]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

if [ "${CI:-}" != "true" ]; then
    echo "package install test: skipped: it installs and purges the zel package and starts the agent" >&2
    echo "on this machine, so it runs only in CI (CI=true), on a disposable machine. Nothing was changed." >&2
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "package-install-test: refused: it must run as root (dpkg -i, /etc/zel, /run)." >&2
    exit 2
fi

deb=${1:-}
if [ -z "$deb" ]; then
    deb=$(ls "$top"/build/package/zel_*.deb 2>/dev/null | tail -n 1 || true)
fi
[ -f "$deb" ] || { echo "error: no package (run make package first, or name the .deb)" >&2; exit 1; }

cfg=/etc/zel/zel.cfg
unit=/lib/systemd/system/zel.service
port=1055
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
pass() { echo "ok: $*"; }
work=$(mktemp -d)
with_systemd=0
[ -d /run/systemd/system ] && with_systemd=1

# Pids of the processes running /usr/sbin/zel (the installed agent), also
# once dpkg has replaced or removed that file under them.
agent_pids() {
    local p exe
    for p in /proc/[0-9]*; do
        exe=$(readlink "$p/exe" 2>/dev/null || true)
        case "$exe" in
            "/usr/sbin/zel" | "/usr/sbin/zel (deleted)") echo "${p#/proc/}" ;;
        esac
    done
    return 0
}
no_agent() { [ -z "$(agent_pids)" ]; }
stop_agent() {
    if [ $with_systemd -eq 1 ]; then
        systemctl stop zel.service >/dev/null 2>&1 || true
    fi
    local pid
    for pid in $(agent_pids); do kill -TERM "$pid" 2>/dev/null || true; done
    for _ in $(seq 50); do no_agent && return 0; sleep 0.1; done
    for pid in $(agent_pids); do kill -KILL "$pid" 2>/dev/null || true; done
}
relay_pids=()
# The system log: a private busybox syslogd on /dev/log when the machine has
# none (a CI container), else the journal where systemd runs.
syslog_pid=
syslog_inode=
syslog_file="$work/syslog.txt"
stop_private_syslog() {
    [ -n "$syslog_pid" ] || return 0
    kill "$syslog_pid" 2>/dev/null || true
    wait "$syslog_pid" 2>/dev/null || true
    syslog_pid=
    # Only the private syslogd's own socket: a system log daemon that came up
    # meanwhile and made /dev/log anew keeps its socket.
    if [ -n "$syslog_inode" ] && [ "$(stat -c %i /dev/log 2>/dev/null)" = "$syslog_inode" ]; then
        rm -f /dev/log
    fi
}
cleanup() {
    for pid in "${relay_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    stop_agent
    if dpkg-query -W -f='${Status}' zel 2>/dev/null | grep -qv 'not-installed'; then
        dpkg --purge zel >/dev/null 2>&1 || true
    fi
    stop_private_syslog
    rm -rf "$work"
}
trap cleanup EXIT

wait_for() { # seconds command...
    local n=$(($1 * 10))
    shift
    for _ in $(seq "$n"); do "$@" && return 0; sleep 0.1; done
    return 1
}
port_free() { ! grep -qi ":$(printf '%04X' $port) [0-9A-F:]* 0A " /proc/net/tcp /proc/net/tcp6 2>/dev/null; }
pid_path=/run/zel.pid  # the root profile's; /run/zel/zel.pid serving as zel
pid_in_file() { [ -s "$pid_path" ] && kill -0 "$(cat "$pid_path")" 2>/dev/null; }

if dpkg-query -W -f='${Status}' zel 2>/dev/null | grep -q 'installed\|config-files'; then
    echo "zel is installed on this CI machine: purging it first"
    stop_agent
    dpkg --purge zel >/dev/null
fi
if ! port_free; then
    echo "error: port $port (the packaged configuration's) is in use on this machine" >&2
    exit 1
fi

syslog_source=none
if [ ! -e /dev/log ] && [ ! -L /dev/log ]; then
    if command -v busybox >/dev/null 2>&1; then
        busybox syslogd -n -O "$syslog_file" > "$work/syslogd.out" 2>&1 &
        syslog_pid=$!
        if wait_for 10 test -S /dev/log; then
            syslog_inode=$(stat -c %i /dev/log)
            syslog_source=private
            echo "== no /dev/log: a private syslogd (busybox, pid $syslog_pid) writes $syslog_file"
        else
            cat "$work/syslogd.out" >&2
            fail "the private syslogd did not create /dev/log"
            stop_private_syslog
        fi
    else
        echo "skip: no /dev/log and no busybox: the system log lines are not checked"
    fi
elif [ $with_systemd -eq 1 ] && command -v journalctl >/dev/null 2>&1; then
    syslog_source=journal
else
    echo "skip: /dev/log is this machine's own, with no journal to read: the system log lines are not checked"
fi
# The messages of facility daemon with identity zel that process $1 sent
# to the system log, one a line.
syslog_of() { # pid
    case $syslog_source in
        private)  # "Mon DD hh:mm:ss HOST daemon.PRIORITY zel[PID]: MESSAGE"
            sed -n "s/^.* daemon\.[a-z]* zel\[$1\]: //p" "$syslog_file" 2>/dev/null ;;
        journal)
            journalctl -q --no-pager -o cat SYSLOG_IDENTIFIER=zel SYSLOG_FACILITY=3 "_PID=$1" 2>/dev/null ;;
    esac
    return 0
}
in_syslog() { syslog_of "$1" | grep -qE "$2"; }

# ------------------------------------------------------------ installation
echo "== dpkg -i $(basename "$deb")"
dpkg -i "$deb" > "$work/install.txt" 2>&1 || { cat "$work/install.txt" >&2; fail "dpkg -i"; exit 1; }
cat "$work/install.txt"
grep -q "created $cfg with a new random password" "$work/install.txt" && pass "postinst says where the password is" \
    || fail "postinst did not say where the password is"

[ "$(stat -c '%a %U %G' "$cfg")" = "600 root root" ] && pass "$cfg: 0600 root root" \
    || fail "$cfg: $(stat -c '%a %U %G' "$cfg")"
password=$(sed -n 's/^password=//p' "$cfg")
[[ "$password" =~ ^[0-9a-f]{32}$ ]] && pass "fresh password: 32 hex digits" || fail "password is not 32 hex digits"
if diff <(grep -v '^password=' /usr/share/zel/zel.cfg) <(grep -v '^password=' "$cfg") >/dev/null; then
    pass "everything but the password is the template"
else
    fail "the configuration differs from the template beyond the password"
fi
[ "$(stat -c '%a %U %G' /var/log/zel)" = "750 root adm" ] || fail "/var/log/zel: $(stat -c '%a %U %G' /var/log/zel)"
[ "$(stat -c '%a %U' /var/lib/zel/tmp)" = "700 root" ] || fail "/var/lib/zel/tmp: $(stat -c '%a %U' /var/lib/zel/tmp)"
for page in "8 zel" "5 zel.cfg" "1 zelq"; do
    # shellcheck disable=SC2086
    man -w $page >/dev/null 2>&1 && pass "man $page" || fail "no manual page: man $page"
done
if command -v systemd-analyze >/dev/null 2>&1; then
    out=$(systemd-analyze verify "$unit" 2>&1) && [ -z "$out" ] && pass "systemd-analyze verify $unit" \
        || fail "systemd-analyze verify $unit: $out"
fi

# ----------------------------------------------------------------- start
# The password goes to zelq through a file, never through a command line.
pwfile="$work/password"
(umask 077 && sed -n 's/^password=//p' "$cfg" > "$pwfile")
zelq() { /usr/bin/zelq -H 127.0.0.1 -p $port -t 10 -f "$pwfile" "$@"; }

if [ $with_systemd -eq 1 ]; then
    echo "== systemd runs: the package started zel.service"
    wait_for 15 systemctl is-active --quiet zel.service && pass "zel.service is active" || fail "zel.service is not active"
else
    # As the unit does: its ExecStart line, in daemon mode.
    exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
    echo "== no systemd: starting as the unit does: $exec_start"
    # shellcheck disable=SC2086
    $exec_start > "$work/start.txt" 2>&1 || { cat "$work/start.txt" >&2; fail "start: $exec_start"; exit 1; }
    grep -q "Daemon started" "$work/start.txt" && pass "daemon started" || fail "no 'Daemon started'"
fi
pid_in_file && pass "pid file /run/zel.pid names a running agent" || fail "no running agent in /run/zel.pid"
first_pid=$(cat /run/zel.pid 2>/dev/null || echo 0)

# ----------------------------------------------------------------- query
out=$(zelq GetInfo) && pass "zelq GetInfo: 200" || fail "zelq GetInfo: $out"
echo "$out" | grep -q '^Port *1055' || fail "GetInfo does not report port 1055"
# The unit's empty host listens on both families, and the template's lists
# hold the loopback address of each.
if grep -q '^0\{31\}1 ' /proc/net/if_inet6 2>/dev/null; then
    /usr/bin/zelq -H ::1 -p $port -t 10 -f "$pwfile" GetInfo >/dev/null && pass "zelq -H ::1 GetInfo: 200" \
        || fail "zelq -H ::1 GetInfo was not answered"
else
    echo "skip: ::1 is not configured here, the IPv6 query is not tried"
fi
out=$(zelq --json TEST-Process '' zel) && [[ "$out" =~ \"raw\":\ ?\[\"([0-9]+)\"\] ]] && [ "${BASH_REMATCH[1]}" -ge 1 ] \
    && pass "TEST-Process zel, the agent's own count: ${BASH_REMATCH[1]}" || fail "TEST-Process zel: $out"
out=$(zelq --json TEST-CPU) && pass "TEST-CPU, the agent's own sampler: $out" || fail "TEST-CPU: $out"
status=0
/usr/bin/zelq -H 127.0.0.1 -p $port -P wrong-password GetInfo >/dev/null 2>&1 || status=$?
[ $status -eq 3 ] && pass "a wrong password gets no reply" || fail "a wrong password: zelq exit status $status"

# The packaged defaults: no test runs code for a client, and remote
# self-upgrade is off, each answered "600" (not allowed).
code_of() { # zelq --json output -> its result code
    [[ "$1" =~ \"code\":\ ?\"([0-9]+)\" ]] && echo "${BASH_REMATCH[1]}"
}
while IFS='|' read -r what cmd; do
    # shellcheck disable=SC2086
    out=$(eval "zelq --json $cmd" 2>&1) || true
    [ "$(code_of "$out")" = 600 ] && pass "$what: 600" || fail "$what: expected 600, got: $out"
done <<'CASES'
TEST-ExternalPrg (external=0)|TEST-ExternalPrg /bin/true
TEST-ShellScript (shellscript=0)|TEST-ShellScript '/bin/sh %script%' 'echo scriptres: ok' '' 10 5
ACT-ExternalCmd (executeaction=0)|ACT-ExternalCmd /bin/true
CASES
status=0
out=$(zelq --upgrade /usr/bin/zelq 2>&1) || status=$?
[ $status -eq 2 ] && [[ "$out" == *600* ]] && pass "self-upgrade (allowupdates=0): 600" \
    || fail "self-upgrade with allowupdates=0: status $status: $out"

# The packaged filter admits 127.0.0.1 and ::1 only: another loopback
# address gets no reply (and is logged) until the administrator adds it and
# reloads.
# A connection to 127.0.0.2 would still come from 127.0.0.1 (the loopback
# route's source), so a small relay (Perl, which every Debian system has)
# takes zelq's connection on 127.0.0.1 and connects to the agent from the
# given source address.
start_relay() { # source-address variable: sets the variable to the relay's port
    local out="$work/relay-$1"
    perl - "$1" "$port" > "$out" 2>"$out.err" <<'RELAY' &
use strict;
use warnings;
use IO::Socket::INET;
use IO::Select;
my ($source, $agentPort) = @ARGV;
my $listener = IO::Socket::INET->new(LocalAddr => '127.0.0.1', LocalPort => 0, Listen => 16, ReuseAddr => 1)
    or die "listen: $!";
$| = 1;
print $listener->sockport, "\n";
$SIG{CHLD} = 'IGNORE';
while (1) {
    my $client = $listener->accept or next;
    my $pid = fork;
    if (!defined $pid || $pid) { close $client; next; }
    close $listener;
    my $agent = IO::Socket::INET->new(PeerAddr => '127.0.0.1', PeerPort => $agentPort, LocalAddr => $source)
        or exit 1;
    my $select = IO::Select->new($client, $agent);
    my $open = 2;
    while ($open > 0) {
        for my $from ($select->can_read) {
            my $to = $from == $client ? $agent : $client;
            my $n = sysread($from, my $buffer, 65536);
            if (!$n) { $select->remove($from); shutdown($to, 1); $open--; next; }
            for (my $off = 0; $off < $n;) {
                my $w = syswrite($to, $buffer, $n - $off, $off);
                exit 0 unless defined $w;
                $off += $w;
            }
        }
    }
    exit 0;
}
RELAY
    relay_pids+=($!)
    wait_for 10 test -s "$out" || { cat "$out.err" >&2; return 1; }
    printf -v "$2" '%s' "$(head -n 1 "$out")"
}
relay2=0 relay3=0
start_relay 127.0.0.2 relay2 || fail "no relay from 127.0.0.2"
start_relay 127.0.0.3 relay3 || fail "no relay from 127.0.0.3"
from() { local relay=$1; shift; /usr/bin/zelq -H 127.0.0.1 -p "$relay" -t 10 -f "$pwfile" "$@"; }
status_from() { local s=0; from "$@" >/dev/null 2>&1 || s=$?; echo $s; }
[ "$(status_from "$relay2" GetInfo)" = 3 ] && pass "127.0.0.2 gets no reply from the packaged filter" \
    || fail "127.0.0.2 was not refused: $(from "$relay2" GetInfo 2>&1)"
grep -q '127\.0\.0\.2' /var/log/zel/bad.log 2>/dev/null && pass "the refusal of 127.0.0.2 is in bad.log" \
    || fail "no line about 127.0.0.2 in /var/log/zel/bad.log"
sed -i 's/^filterlist=.*/filterlist=127.0.0.1 ::1 127.0.0.2/; s/^filtermarks=.*/filtermarks=111/' "$cfg"
if [ $with_systemd -eq 1 ]; then systemctl reload zel.service; else kill -HUP "$(cat /run/zel.pid)"; fi
wait_for 10 sh -c "/usr/bin/zelq -H 127.0.0.1 -p $relay2 -f '$pwfile' GetInfo >/dev/null" \
    && pass "127.0.0.2 is answered once added to filterlist" || fail "127.0.0.2 is not answered after it was added"
[ "$(status_from "$relay3" GetInfo)" = 3 ] && pass "127.0.0.3 still gets no reply" \
    || fail "127.0.0.3 was not refused after 127.0.0.2 was added"
for pid in "${relay_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
relay_pids=()

# SIGHUP re-reads the configuration: a comment written into the file shows.
sed -i 's/^comment=.*/comment=reloaded by SIGHUP/' "$cfg"
if [ $with_systemd -eq 1 ]; then systemctl reload zel.service; else kill -HUP "$(cat /run/zel.pid)"; fi
wait_for 10 sh -c "/usr/bin/zelq -p $port -f '$pwfile' GetInfo | grep -q 'reloaded by SIGHUP'" \
    && pass "SIGHUP reloads the configuration" || fail "SIGHUP did not reload the configuration"

# The system log: the start, the refusal of 127.0.0.2 and the reload on
# SIGHUP, as journalctl -u zel shows them on a host.
if [ "$syslog_source" != none ]; then
    missing=0
    while IFS='|' read -r what pattern; do
        if wait_for 10 in_syslog "$first_pid" "$pattern"; then
            pass "system log ($syslog_source), identity zel, facility daemon: $what"
        else
            fail "system log ($syslog_source): no line '$what' of pid $first_pid"
            missing=1
        fi
    done <<LINES
the start|^Agent started: version [^,]+, pid $first_pid, port $port\$
the refusal of 127.0.0.2|^127\.0\.0\.2: TCP connection rejected( \(.*\))?\$
the reload on SIGHUP|^Configuration reloaded on SIGHUP\$
LINES
    if [ $missing -ne 0 ] && [ "$syslog_source" = private ]; then
        echo "--- the private system log" >&2
        cat "$syslog_file" >&2
    fi
fi

# A restart on the server's request: the agent runs itself again and
# detaches; the pid file names the new process.
out=$(zelq ReloadApp) || fail "ReloadApp: $out"
wait_for 15 sh -c "[ -s /run/zel.pid ] && [ \"\$(cat /run/zel.pid)\" != $first_pid ] && kill -0 \$(cat /run/zel.pid)" \
    && wait_for 15 zelq GetInfo >/dev/null && pass "ReloadApp: the agent serves again as pid $(cat /run/zel.pid)" \
    || fail "the agent did not come back after ReloadApp"
if [ $with_systemd -eq 1 ]; then
    [ "$(systemctl show -p MainPID --value zel.service)" = "$(cat /run/zel.pid)" ] && pass "systemd follows the new pid" \
        || fail "systemd's MainPID is not the pid file's"
fi

# A remote settings change rewrites the configuration; a reinstallation of
# the package (as an upgrade does) must keep it.
# Here the filter is turned off as an older package installed it: the
# upgrade keeps that and says so.
zelq SetSettings 'Comment=changed remotely' 'IPFiltering=0' >/dev/null || fail "SetSettings"
grep -q '^filteractive=0' "$cfg" || fail "SetSettings IPFiltering=0 did not reach $cfg"
cp -p "$cfg" "$work/cfg.before"
dpkg -i "$deb" > "$work/reinstall.txt" 2>&1 || { cat "$work/reinstall.txt" >&2; fail "dpkg -i again"; }
cmp -s "$cfg" "$work/cfg.before" && [ "$(stat -c '%a' "$cfg")" = 600 ] \
    && pass "a reinstallation keeps the configuration" || fail "a reinstallation changed $cfg"
grep -q 'new random password' "$work/reinstall.txt" && fail "a reinstallation made a new password" || true
grep -q 'address filter is off' "$work/reinstall.txt" && pass "the upgrade notes the filter that is off" \
    || fail "the upgrade did not note that the kept configuration's filter is off"
if [ $with_systemd -eq 0 ]; then
    pid_in_file || fail "the agent did not survive the reinstallation"
fi
wait_for 15 zelq GetInfo >/dev/null || fail "no answer after the reinstallation"

# ------------------------------------------------------------------ stop
if [ $with_systemd -eq 1 ]; then
    systemctl stop zel.service
else
    out=$(zelq QUIT) || fail "QUIT: $out"
fi
wait_for 15 no_agent && pass "the agent stopped" || fail "the agent is still running"
[ ! -e /run/zel.pid ] && pass "the pid file is gone" || fail "/run/zel.pid is left"

# ------------------------------------------------ the unprivileged profile
# As README.md ("Serving as the user zel") says: the files the agent writes
# go to zel, one key names it, and the agent serves as zel after binding
# its port and writing its pid file as root.
echo "== the unprivileged profile: user=zel"
getent passwd zel | grep -q ':/var/lib/zel:/usr/sbin/nologin$' && pass "the package made the system user zel" \
    || fail "no system user zel with home /var/lib/zel and no shell: $(getent passwd zel)"
getent group zel >/dev/null && pass "the package made the group zel" || fail "no group zel"
chown zel:zel /etc/zel "$cfg" /var/lib/zel /var/lib/zel/tmp
chown zel:adm /var/log/zel
chown zel:adm /var/log/zel/*.log 2>/dev/null || true
sed -i -e 's/^\([[:space:]]*create\) 0640 root adm/\1 0640 zel adm/' \
    -e 's/^\([[:space:]]*\)#su zel adm$/\1su zel adm/' /etc/logrotate.d/zel
grep -q '^[[:space:]]*su zel adm$' /etc/logrotate.d/zel && pass "logrotate rotates as zel" \
    || fail "/etc/logrotate.d/zel has no '#su zel adm' line to uncomment"
[ "$(stat -c '%U:%G %a' /run/zel 2>/dev/null)" = "zel:zel 755" ] && pass "/run/zel is zel's (tmpfiles.d)" \
    || fail "/run/zel is not zel's folder: $(stat -c '%U:%G %a' /run/zel 2>&1)"
sed -i -e 's/^#user=zel$/user=zel/' -e 's|^pidfile=/run/zel.pid$|pidfile=/run/zel/zel.pid|' "$cfg"
grep -q '^user=zel$' "$cfg" || fail "the template has no '#user=zel' line to uncomment"
grep -q '^pidfile=/run/zel/zel.pid$' "$cfg" || fail "the template has no 'pidfile=/run/zel.pid' line"
pid_path=/run/zel/zel.pid
dropin=/etc/systemd/system/zel.service.d
mkdir -p "$dropin"
printf '[Service]\nPIDFile=/run/zel/zel.pid\n' > "$dropin/override.conf"  # as systemctl edit zel writes it
[ $with_systemd -eq 1 ] && systemctl daemon-reload
if [ $with_systemd -eq 1 ]; then
    systemctl start zel.service
else
    # shellcheck disable=SC2086
    $exec_start > "$work/start-zel.txt" 2>&1 || { cat "$work/start-zel.txt" >&2; fail "start as zel"; }
fi
zel_uid=$(id -u zel)
serving_as_zel() {
    pid_in_file && [ "$(awk '/^Uid:/ {print $2 $3 $4 $5}' "/proc/$(cat $pid_path)/status")" = \
        "$zel_uid$zel_uid$zel_uid$zel_uid" ]
}
wait_for 15 serving_as_zel && pass "the agent serves as zel (uid $zel_uid)" || fail "the agent does not serve as zel"
wait_for 15 zelq GetInfo >/dev/null && pass "GetInfo as zel" || fail "no answer as zel"
out=$(zelq --json TEST-FileCRC /etc/shadow 2>&1) || true
[ "$(code_of "$out")" = 301 ] && pass "a file only root may read: 301" || fail "TEST-FileCRC /etc/shadow as zel: $out"
zelq SetSettings 'Comment=rewritten by zel' >/dev/null && grep -q '^comment=rewritten by zel' "$cfg" \
    && [ "$(stat -c '%U' "$cfg")" = zel ] && pass "SetSettings rewrites the configuration as zel" \
    || fail "SetSettings as zel did not rewrite $cfg"
zel_pid=$(cat $pid_path)
out=$(zelq ReloadApp) || fail "ReloadApp as zel: $out"
wait_for 15 sh -c "[ -s $pid_path ] && [ \"\$(cat $pid_path)\" != $zel_pid ]" && wait_for 15 serving_as_zel \
    && wait_for 15 zelq GetInfo >/dev/null && pass "ReloadApp as zel: serves again as zel" \
    || fail "the agent did not come back as zel after ReloadApp"
status=0
out=$(zelq --upgrade /usr/bin/zelq 2>&1) || status=$?
[[ "$out" == *600* ]] && pass "self-upgrade stays off as zel" || fail "self-upgrade as zel: $out"
if [ $with_systemd -eq 1 ]; then
    systemctl stop zel.service
else
    out=$(zelq QUIT) || fail "QUIT as zel: $out"
fi
wait_for 15 no_agent && pass "the agent serving as zel stopped" || fail "the agent serving as zel is still running"
rm -rf "$dropin"
[ $with_systemd -eq 1 ] && systemctl daemon-reload
[ ! -s $pid_path ] && pass "no pid file names a process" || fail "$pid_path still names $(cat $pid_path)"

# ----------------------------------------------------------------- purge
dpkg --purge zel > "$work/purge.txt" 2>&1 || { cat "$work/purge.txt" >&2; fail "dpkg --purge"; }
dpkg-query -W -f='${Status}' zel 2>/dev/null | grep -q 'installed\|config-files' && fail "dpkg still knows zel"
left=()
for path in /etc/zel /var/log/zel /var/lib/zel /usr/lib/zel /usr/share/zel /usr/share/doc/zel /usr/sbin/zel \
            /usr/bin/zelq /etc/logrotate.d/zel /run/zel.pid /run/zel "$unit" /etc/systemd/system/zel.service \
            /etc/systemd/system/multi-user.target.wants/zel.service; do
    [ -e "$path" ] || [ -L "$path" ] && left+=("$path")
done
while IFS= read -r f; do left+=("$f"); done < <(find /var/lib/systemd/deb-systemd-helper-enabled \
    /var/lib/systemd/deb-systemd-helper-masked /usr/share/man -name '*zel*' 2>/dev/null)
# The system account stays, as Debian keeps system accounts.
getent passwd zel >/dev/null && getent group zel >/dev/null && pass "purge keeps the system user and group zel" \
    || fail "purge removed the system user or group zel"
[ -n "$(agent_pids)" ] && left+=("a running /usr/sbin/zel")
if [ ${#left[@]} -eq 0 ]; then
    pass "purge left nothing"
else
    fail "left after purge: ${left[*]}"
fi

# A new installation after the purge gets a new password.
dpkg -i "$deb" > "$work/again.txt" 2>&1 || { cat "$work/again.txt" >&2; fail "dpkg -i after purge"; }
[ $with_systemd -eq 1 ] && systemctl stop zel.service
again=$(sed -n 's/^password=//p' "$cfg")
[[ "$again" =~ ^[0-9a-f]{32}$ ]] && [ "$again" != "$password" ] && pass "a new installation has a new password" \
    || fail "the password after purge and installation is not new"
dpkg --purge zel >/dev/null 2>&1 || fail "second purge"
[ -e /etc/zel ] && fail "/etc/zel left after the second purge"

echo
if [ $failures -ne 0 ]; then
    echo "package install test: $failures failed" >&2
    exit 1
fi
echo "package install test: all passed"
