#!/usr/bin/env bash
# Measures zel beside Debian's plaintext monitoring agent (package
# zabbix-agent, used here only as a reference to compare with) under the same
# client loads, and prints one table.
#
#   scripts/bench-peers.sh [BUILD_DIR] [-n N] [-r ROUNDS] [-c C,...] [--install-only]
#   scripts/bench-peers.sh [BUILD_DIR] --procs [NAME] [-n N] [-r ROUNDS] [-c C,...]
#
# --procs measures the process and CPU answers instead (zel with no site
# script configured, its own answers): TEST-Process NAME against
# proc.num[NAME] (NAME default zel) and TEST-CPU against system.cpu.util at
# C = 1 and 16, then the latency of GetProcessesList one request at a time
# (the peer has no item that lists processes).
#
# BUILD_DIR is a release build with zel, zelq and zel-bench (default
# build/release). The script
#   - installs zabbix-agent and hyperfine from Debian's packages when missing,
#     with service starts forbidden during the install; the reference agent's
#     system service is never enabled or started (if the install enabled or
#     started it anyway, it is disabled and stopped at once and said so);
#   - writes a private configuration in a temporary folder (loopback only, a
#     free port, its own pid and log files) and lets zel-bench start both
#     agents in the foreground, measure them with one client loop and stop
#     them by pid;
#   - times one query client call of each (zelq GetInfo, zabbix_get -k
#     agent.ping) with hyperfine -N, when hyperfine is there; zabbix_get,
#     when not on the path, is taken out of the downloaded proxy package
#     into the temporary folder, without installing that package;
#   - stops everything it started by pid and removes the temporary folder.
# Run as root (the package install needs it; both agents then run as root).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build_dir="$top/build/release"
requests=12000
rounds=3
concurrency=1,16,64
install_only=0
procs=0
proc_name=zel
concurrency_given=0
while [ $# -gt 0 ]; do
    case "$1" in
        -n) requests=$2; shift 2 ;;
        -r) rounds=$2; shift 2 ;;
        -c) concurrency=$2; concurrency_given=1; shift 2 ;;
        --install-only) install_only=1; shift ;;
        --procs)
            procs=1
            shift
            if [ $# -gt 0 ] && [[ "$1" != -* ]] && [ ! -d "$1" ]; then proc_name=$1; shift; fi ;;
        -h|--help) sed -n '2,30p' "$0"; exit 0 ;;
        -*) echo "bench-peers: unknown option $1" >&2; exit 1 ;;
        *) build_dir=$1; shift ;;
    esac
done

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# Installs the missing packages among "$@" with service starts forbidden.
install_packages() {
    local missing=() p
    for p in "$@"; do installed "$p" || missing+=("$p"); done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "bench-peers: ${missing[*]} missing and not root; install them or run as root" >&2
        return 1
    fi
    local policy=/usr/sbin/policy-rc.d made_policy=0
    if [ ! -e "$policy" ]; then
        # Forbids invoke-rc.d (and deb-systemd-invoke) to start services
        # during this install; removed again right after it.
        printf '#!/bin/sh\nexit 101\n' > "$policy"
        chmod 755 "$policy"
        made_policy=1
    fi
    local before
    before=$(pgrep -x zabbix_agentd || true)
    echo "bench-peers: installing ${missing[*]} from Debian's packages (service starts forbidden)"
    export DEBIAN_FRONTEND=noninteractive
    local rc=0
    apt-get update -qq || true
    apt-get install -y -qq --no-install-recommends "${missing[@]}" || rc=$?
    [ $made_policy -eq 1 ] && rm -f "$policy"
    quiet_reference_service "$before"
    return $rc
}

# The reference agent's system service stays disabled and stopped: whatever
# the package's maintainer scripts enabled or started is undone here.
quiet_reference_service() {
    local before=$1 pid
    installed zabbix-agent || return 0
    if ls /etc/systemd/system/*.wants/zabbix-agent.service >/dev/null 2>&1; then
        echo "bench-peers: the package enabled zabbix-agent.service; disabling it"
        if command -v deb-systemd-helper >/dev/null 2>&1; then
            deb-systemd-helper disable zabbix-agent.service >/dev/null 2>&1 || true
        fi
        systemctl disable zabbix-agent.service >/dev/null 2>&1 || true
        rm -f /etc/systemd/system/*.wants/zabbix-agent.service
    fi
    if ls /etc/rc[2345].d/S*zabbix-agent >/dev/null 2>&1; then
        echo "bench-peers: the package enabled the zabbix-agent init script; disabling it"
        update-rc.d zabbix-agent disable >/dev/null 2>&1 || true
    fi
    # A service instance the install started (none ran before it).
    for pid in $(pgrep -x zabbix_agentd || true); do
        if ! grep -qw "$pid" <<<"$before"; then
            echo "bench-peers: the install started the zabbix-agent service (pid $pid); stopping it"
            systemctl stop zabbix-agent.service >/dev/null 2>&1 || invoke-rc.d --force zabbix-agent stop \
                >/dev/null 2>&1 || true
        fi
    done
}

install_packages zabbix-agent || exit 1
install_packages hyperfine || echo "bench-peers: hyperfine unavailable; the per-call row is skipped" >&2
[ $install_only -eq 1 ] && exit 0

build_dir=$(cd "$build_dir" && pwd)
agent="$build_dir/src/daemon/zel"
client="$build_dir/tools/zelq"
bench="$build_dir/bench/zel-bench"
for f in "$agent" "$client" "$bench"; do
    if [ ! -x "$f" ]; then
        echo "bench-peers: $f is missing; build zel, zelq and zel-bench in $build_dir" >&2
        exit 1
    fi
done
case "$build_dir" in *[[:space:]]*)
    echo "bench-peers: the build folder's path must not hold spaces (programs are started without a shell)" >&2
    exit 1 ;;
esac
peer=$(dpkg -L zabbix-agent | grep -E '/s?bin/zabbix_agentd$' | head -n 1)
if [ -z "$peer" ] || [ ! -x "$peer" ]; then
    echo "bench-peers: zabbix_agentd not found in the zabbix-agent package" >&2
    exit 1
fi

work=$(mktemp -d /tmp/bench-peers.XXXXXX)
zel_pid=""
peer_pid=""

# Stops one program this script started: SIGTERM to its pid, SIGKILL after
# five seconds; then the workers it had forked, each by its pid.
stop_pid() {
    local pid=$1 children i
    [ -n "$pid" ] || return 0
    kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null || true; return 0; }
    children=$(pgrep -P "$pid" || true)
    kill -TERM "$pid" 2>/dev/null || true
    for i in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    for i in $children; do kill -KILL "$i" 2>/dev/null || true; done
}

# Stops both agents, if running.
stop_agents() {
    stop_pid "$zel_pid"
    stop_pid "$peer_pid"
    zel_pid=""
    peer_pid=""
}

# The head of the result table, then the rows of the load runs in file $1.
table_head() {
    echo "| load | C | measure | zel | peer | zel/peer |"
    echo "|---|---|---|---|---|---|"
    grep -hE '^\| ' "$1" | grep -vE '^\| load \|' || true
}

cleanup() {
    stop_agents
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A loopback port from 20000 to 32767 (the peer accepts up to 32767) on
# which nothing listens; different from $1.
free_port() {
    local p i
    for i in $(seq 200); do
        p=$((20000 + RANDOM % 12768))
        [ "$p" = "${1:-}" ] && continue
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
            echo "$p"
            return 0
        fi
    done
    return 1
}

zel_port=$(free_port)
peer_port=$(free_port "$zel_port")
ZEL_PASSWORD=$(head -c 18 /dev/urandom | base64 | tr -d '/+=')
export ZEL_PASSWORD
umask 077
mkdir -p "$work/tmp"

# zel as zel-bench --spawn starts it, with the file tests switched on.
cat > "$work/zel.cfg" <<CFG
host=127.0.0.1
port=$zel_port
password=$ZEL_PASSWORD
zelpath=$agent
tmpdir=$work/tmp
logsuccess=0
logfails=1
badlogfile=$work/zel-bad.log
filteractive=0
allowmanage=0
fileexists=1
foldersize=1
countfiles=1
filecrc=1
comparefiles=1
CFG

# The reference agent: loopback only, three listener processes, its own pid
# and log files, root kept (zel runs as root here too), no active checks.
cat > "$work/peer.conf" <<CFG
ListenIP=127.0.0.1
ListenPort=$peer_port
Server=127.0.0.1
StartAgents=3
PidFile=$work/peer.pid
LogFile=$work/peer.log
LogFileSize=0
AllowRoot=1
Hostname=zel-bench
CFG

echo "zel:  $agent -i $work/zel.cfg (port $zel_port)"
echo "peer: $peer -f -c $work/peer.conf (port $peer_port, $(dpkg-query -W -f='${Version}' zabbix-agent))"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) CPUs"
echo

if [ $procs -eq 1 ]; then
    [ $concurrency_given -eq 1 ] || concurrency=1,16
    "$agent" -i "$work/zel.cfg" >/dev/null 2>"$work/zel.err" &
    zel_pid=$!
    "$peer" -f -c "$work/peer.conf" >/dev/null 2>"$work/peer.err" &
    peer_pid=$!
    sleep 2  # both CPU samplers have a first interval
    status=0
    echo "processes on this host: $(ls -d /proc/[0-9]* | wc -l)"
    "$bench" -p "$zel_port" --pid "$zel_pid" --peer-port "$peer_port" --peer-pid "$peer_pid" \
        -n "$requests" -r "$rounds" -c "$concurrency" \
        --pair "proc.num[$proc_name]=TEST-Process - $proc_name" \
        --pair "system.cpu.util=TEST-CPU" | tee "$work/loads.txt" || status=$?
    echo
    # The process list one request at a time (the peer has no such item).
    "$bench" -p "$zel_port" --pid "$zel_pid" --no-floor -n 400 -r 2 -c 1 --command GetProcessesList \
        | tee "$work/list.txt" || status=$?
    stop_agents
    echo
    table_head "$work/loads.txt"
    echo
    grep -hE '^\| ' "$work/list.txt" || true
    echo
    echo "peer: zabbix-agent $(dpkg-query -W -f='${Version}' zabbix-agent), StartAgents=3; zel: $agent (no site scripts)"
    echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) CPUs (client and servers share them)"
    exit $status
fi

# Start-up to the first answered request, each agent started and stopped by
# zel-bench itself.
"$bench" --startup "$rounds" --exec "$agent -i $work/zel.cfg" -p "$zel_port" \
    --peer-exec "$peer -f -c $work/peer.conf" --peer-port "$peer_port" --pair agent.ping=GetInfo \
    | tee "$work/startup.txt"
echo

# Both agents for the loads and the client calls.
"$agent" -i "$work/zel.cfg" >/dev/null 2>"$work/zel.err" &
zel_pid=$!
"$peer" -f -c "$work/peer.conf" >/dev/null 2>"$work/peer.err" &
peer_pid=$!

status=0
"$bench" -p "$zel_port" --pid "$zel_pid" --peer-port "$peer_port" --peer-pid "$peer_pid" \
    -n "$requests" -r "$rounds" -c "$concurrency" \
    --pair "vfs.file.size[/etc/hostname]=TEST-FileExists /etc/hostname" \
    --pair "agent.ping=GetInfo" | tee "$work/loads.txt" || status=$?
echo

# The reference agent's query client. Debian ships zabbix_get only with its
# server and proxy packages (daemons with their own services and database
# libraries), so when it is not on the path, the proxy package is downloaded
# into the work folder and only this one program is taken out of it: nothing
# is installed, no service is set up, and the folder goes at the end.
reference_getter() {
    local found deb
    found=$(command -v zabbix_get || true)
    if [ -z "$found" ]; then
        mkdir -p "$work/getter"
        if (cd "$work/getter" && apt-get download -qq zabbix-proxy-sqlite3 >/dev/null 2>&1); then
            deb=$(ls "$work"/getter/zabbix-proxy-sqlite3_*.deb 2>/dev/null | head -n 1)
            [ -n "$deb" ] && dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$work/getter" ./usr/bin/zabbix_get 2>/dev/null
            found="$work/getter/usr/bin/zabbix_get"
        fi
    fi
    if [ -n "$found" ] && "$found" --version >/dev/null 2>&1; then
        echo "$found"
    else
        echo "bench-peers: zabbix_get unavailable (not on the path, and the proxy package could not be fetched)" >&2
    fi
}

rows=()
if command -v hyperfine >/dev/null 2>&1; then
    commands=("$client -p $zel_port GetInfo"
              "$bench --once -p $zel_port --command GetInfo"
              "$bench --once-plain agent.ping -p $peer_port")
    getter=$(reference_getter)
    [ -n "$getter" ] && commands+=("$getter -s 127.0.0.1 -p $peer_port -k agent.ping")
    hyperfine -N --warmup 10 --runs 200 --export-csv "$work/calls.csv" "${commands[@]}" || status=1
    median() { awk -F, -v n="$1" 'NR == n + 1 { printf "%.2f", $4 * 1000 }' "$work/calls.csv"; }
    ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b }'; }
    zelq_ms=$(median 1)
    once_ms=$(median 2)
    plain_ms=$(median 3)
    if [ -n "$getter" ]; then
        get_ms=$(median 4)
        rows+=("| zelq GetInfo vs zabbix_get -k agent.ping | - | ms per call (hyperfine -N, median of 200) | $zelq_ms | $get_ms | $(ratio "$zelq_ms" "$get_ms") |")
    else
        rows+=("| zelq GetInfo vs zabbix_get -k agent.ping | - | ms per call (hyperfine -N, median of 200) | $zelq_ms | n/a: zabbix_get could not be fetched | |")
    fi
    rows+=("| zel-bench --once GetInfo vs --once-plain agent.ping | - | ms per call (hyperfine -N, median of 200) | $once_ms | $plain_ms | $(ratio "$once_ms" "$plain_ms") |")
else
    rows+=("| client calls | - | hyperfine unavailable: skipped | | | |")
fi

stop_agents

echo
table_head "$work/loads.txt"
grep -E '^\| ' "$work/startup.txt" || true
for r in "${rows[@]}"; do echo "$r"; done
echo
echo "peer: zabbix-agent $(dpkg-query -W -f='${Version}' zabbix-agent), StartAgents=3; zel: $agent"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) CPUs (client and servers share them)"
exit $status
