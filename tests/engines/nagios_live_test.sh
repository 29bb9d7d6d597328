#!/usr/bin/env bash
# zelq's plugin mode under a real Nagios 4, run as an administrator runs it:
# an agent on a loopback port with a private configuration, a private Nagios
# configuration in a scratch folder (one host, services that call the zelq
# under test through the documented check_zel command with short intervals),
# Nagios in the foreground as its own user, stopped by its pid. Every check
# result is recorded by Nagios's obsessive-compulsive command; the states,
# outputs and performance data are read from that record and from Nagios's
# status file.
#
# Usage: nagios_live_test.sh ZEL ZELQ SOURCE_DIR
# Exit 0: passed; 1: failed; 77: skipped (Nagios not installed and not
# installable here). Never enables or starts the system's Nagios service.
set -uo pipefail
zel_bin=$1
zelq_bin=$2
top=$3
. "$top/tests/engines/engine_lib.sh"

need_engine nagios4 /usr/sbin/nagios4 nagios4-core
nagios=/usr/sbin/nagios4

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The grammar check itself, on items it must take and items it must refuse.
perf_cases=(
    "1|"
    "1|free=251982098432B;1000000000000000000:;;0;270553174016"
    "1|usage=12.5000%;;;0;100 'a label'=3c;@10:20;~:5"
    "1|exitcode=2;0;1"
    "1|time=U"
    "0|free=12 B"
    "0|free=12GiB"
    "0|=5"
    "0|a=1;2;3;4;5;6"
    "0|a=1;x"
    "0|a=1;;;min"
)
for c in "${perf_cases[@]}"; do
    want=${c%%|*} text=${c#*|}
    if perf_data_valid "$text"; then got=1; else got=0; fi
    [ "$got" = "$want" ] || fail "performance-data grammar judges '$text' $got, expected $want"
done
[ $failures -eq 0 ] || exit 1

work=$(engine_scratch nagios) || exit 1
agent_pid=
nagios_pid=
cleanup() {
    [ -n "$nagios_pid" ] && kill "$nagios_pid" 2>/dev/null && wait "$nagios_pid" 2>/dev/null
    [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null && wait "$agent_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# Nagios drops to nagios_user when started as root; otherwise it stays the
# user running the test.
if [ "$(id -u)" -eq 0 ]; then
    run_user=nagios
    run_group=$(id -gn nagios)
else
    run_user=$(id -un)
    run_group=$(id -gn)
fi

# ------------------------------------------------------------------ agent
mkdir -p "$work/bin" "$work/agent/tmp" "$work/data" "$work/nagios/checkresults" "$work/state"
cp "$zel_bin" "$work/bin/zelnagiostest"
cp "$zelq_bin" "$work/bin/zelq"
chmod 755 "$work/bin/zelnagiostest" "$work/bin/zelq" "$work/data"
password=nagios-Secret-4
printf 'old log line\n' > "$work/data/present.txt"
: > "$work/data/empty.log"
printf 'an old error line\nanother old line\n' > "$work/data/old.log"
printf '#!/bin/sh\nexit 2\n' > "$work/data/exit2.sh"
chmod 755 "$work/data/exit2.sh"

start_agent() { # port
    cat > "$work/agent/zel.cfg" <<EOF
port=$1
host=127.0.0.1
password=$password
zelpath=$work/bin/zelnagiostest
tmpdir=$work/agent/tmp
oklogfile=$work/agent/ok.log
badlogfile=$work/agent/bad.log
pidfile=
EOF
    "$work/bin/zelnagiostest" -i "$work/agent/zel.cfg" > "$work/agent/console.txt" 2>&1 &
    agent_pid=$!
    local i
    for i in $(seq 100); do
        if ZEL_PASSWORD=$password "$work/bin/zelq" -p "$1" -t 2 GetInfo > /dev/null 2>&1; then return 0; fi
        kill -0 "$agent_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill "$agent_pid" 2>/dev/null
    wait "$agent_pid" 2>/dev/null
    agent_pid=
    return 1
}
port=
for attempt in 1 2 3 4 5; do
    p=$(free_loopback_port) || break
    if start_agent "$p"; then port=$p; break; fi
done
[ -n "$port" ] || { echo "FAIL: the agent did not start"; cat "$work/agent/console.txt"; exit 1; }
closed=$(free_loopback_port) || { echo "FAIL: no closed loopback port found"; exit 1; }
echo "agent on 127.0.0.1:$port (pid $agent_pid); a closed port: $closed"

# --------------------------------------------------------- Nagios objects
n=$work/nagios
printf '%s\n' "$password" > "$n/zel.password"
printf 'not-the-password\n' > "$n/wrong.password"
cat > "$n/record.sh" <<EOF
#!/bin/sh
# One line per check result, from Nagios's environment macros: service,
# state, output, performance data, the check's time (seconds since 1970).
printf '%s\t%s\t%s\t%s\t%s\n' "\$NAGIOS_SERVICEDESC" "\$NAGIOS_SERVICESTATE" "\$NAGIOS_SERVICEOUTPUT" \\
    "\$NAGIOS_SERVICEPERFDATA" "\$NAGIOS_LASTSERVICECHECK" >> "$n/checks.tsv"
EOF
chmod 755 "$n/record.sh"
: > "$n/checks.tsv"

# The documented command, with the zelq under test and this password file.
example_command "$top/doc/examples/nagios-zel.cfg" \
    | sed -e "s|/usr/bin/zelq|$work/bin/zelq|" -e "s|/etc/nagios4/zel.password|$n/zel.password|" > "$n/command.cfg"
grep -q "$work/bin/zelq" "$n/command.cfg" || { echo "FAIL: no check_zel command in doc/examples/nagios-zel.cfg"; exit 1; }

# service | check_command | expected state | output begins with | perf data begins with
services=(
    "file_present|check_zel!-p $port TEST-FileExists $work/data/present.txt|0|FILEEXISTS OK|found=1"
    "file_missing|check_zel!-p $port TEST-FileExists $work/data/missing.txt|2|FILEEXISTS CRITICAL|"
    "disk_ok|check_zel!-p $port -w 1: TEST-UNC $work/data|0|UNC OK: available |available="
    "disk_warning|check_zel!-p $port -w 1000000000000000000: TEST-UNC $work/data|1|UNC WARNING: available |available="
    "cpu|check_zel!-p $port TEST-CPU|0|CPU OK|usage="
    "process_agent|check_zel!-p $port -c 1: TEST-Process '' zelnagiostest|0|PROCESS OK: count 1|count=1;;1:;0"
    "process_missing|check_zel!-p $port -c 1: TEST-Process '' zelnagiosnone|2|PROCESS CRITICAL|"
    "exit_0|check_zel!-p $port -w 0 -c 1 TEST-ExternalPrg /bin/true|0|EXTERNALPRG OK|"
    "exit_1|check_zel!-p $port -w 0 -c 1 TEST-ExternalPrg /bin/false|1|EXTERNALPRG WARNING|"
    "exit_2|check_zel!-p $port -w 0 -c 1 TEST-ExternalPrg $work/data/exit2.sh|2|EXTERNALPRG CRITICAL|"
    "wrong_password|check_zel_wrong!-p $port GetInfo|3|GETINFO UNKNOWN|"
    "closed_port|check_zel!-p $closed GetInfo|2|GETINFO CRITICAL|"
)
logs=(
    "log_empty|check_zel!-p $port --state $work/state/empty.state TEST-TextLog $work/data/empty.log error"
    "log_old|check_zel!-p $port --state $work/state/old.state TEST-TextLog $work/data/old.log error"
)

{
    cat <<EOF
define timeperiod {
  timeperiod_name  always
  alias            always
  sunday           00:00-24:00
  monday           00:00-24:00
  tuesday          00:00-24:00
  wednesday        00:00-24:00
  thursday         00:00-24:00
  friday           00:00-24:00
  saturday         00:00-24:00
}
define command {
  command_name  do_nothing
  command_line  /bin/true
}
define command {
  command_name  record_check
  command_line  $n/record.sh
}
define command {
  command_name  check_zel_wrong
  command_line  $work/bin/zelq --plugin -H \$HOSTADDRESS\$ -f $n/wrong.password \$ARG1\$
}
define contact {
  contact_name                   zel-test
  alias                          zel test
  host_notifications_enabled     0
  service_notifications_enabled  0
  host_notification_period       always
  service_notification_period    always
  host_notification_options      n
  service_notification_options   n
  host_notification_commands     do_nothing
  service_notification_commands  do_nothing
}
define host {
  host_name              zel-test
  alias                  zel test
  address                127.0.0.1
  check_command          check_zel!-p $port GetInfo
  max_check_attempts     1
  check_interval         5
  retry_interval         1
  check_period           always
  notification_period    always
  notifications_enabled  0
  contacts               zel-test
}
define service {
  name                   zel-service
  register               0
  host_name              zel-test
  max_check_attempts     1
  check_interval         2
  retry_interval         1
  check_period           always
  notification_period    always
  notifications_enabled  0
  contacts               zel-test
  obsess_over_service    1
}
EOF
    for row in "${services[@]}" "${logs[@]}"; do
        IFS='|' read -r name command _ <<<"$row"
        printf 'define service {\n  use                  zel-service\n  service_description  %s\n  check_command        %s\n}\n' \
            "$name" "$command"
    done
} > "$n/objects.cfg"

cat > "$n/nagios.cfg" <<EOF
log_file=$n/nagios.log
cfg_file=$n/command.cfg
cfg_file=$n/objects.cfg
object_cache_file=$n/objects.cache
precached_object_file=$n/objects.precache
resource_file=$n/resource.cfg
status_file=$n/status.dat
status_update_interval=1
nagios_user=$run_user
nagios_group=$run_group
check_external_commands=0
command_file=$n/nagios.cmd
query_socket=$n/nagios.qh
lock_file=$n/nagios.lock
temp_file=$n/nagios.tmp
temp_path=$n
check_result_path=$n/checkresults
debug_level=0
debug_file=$n/nagios.debug
log_archive_path=$n
use_syslog=0
log_initial_states=1
retain_state_information=0
state_retention_file=$n/retention.dat
use_retained_program_state=0
use_retained_scheduling_info=0
check_for_updates=0
bare_update_check=1
interval_length=1
service_inter_check_delay_method=n
host_inter_check_delay_method=n
max_service_check_spread=1
max_host_check_spread=1
service_interleave_factor=1
check_result_reaper_frequency=1
enable_notifications=0
enable_flap_detection=0
enable_event_handlers=0
check_service_freshness=0
execute_service_checks=1
execute_host_checks=1
obsess_over_services=1
ocsp_command=record_check
enable_environment_macros=1
process_performance_data=0
illegal_object_name_chars=\`~!\$%^&*|'"<>?,()=
illegal_macro_output_chars=\`
service_check_timeout=30
host_check_timeout=30
ocsp_timeout=5
EOF
printf '$USER1$=/usr/lib/nagios/plugins\n' > "$n/resource.cfg"
[ "$(id -u)" -eq 0 ] && chown -R "$run_user:$run_group" "$n" "$work/state"
chmod 600 "$n/zel.password"
[ "$(id -u)" -eq 0 ] && chown "$run_user" "$n/zel.password"

verify=$("$nagios" -v "$n/nagios.cfg" 2>&1)
if grep -q '^Total Warnings: *0$' <<<"$verify" && grep -q '^Total Errors: *0$' <<<"$verify"; then
    echo "ok: nagios4 -v accepts the configuration (no warning, no error)"
else
    echo "$verify"
    fail "nagios4 -v does not accept the configuration cleanly"
    exit 1
fi

# ------------------------------------------------------------- the run
"$nagios" "$n/nagios.cfg" > "$work/nagios.out" 2>&1 &
nagios_pid=$!
echo "nagios4 running in the foreground as $run_user (pid $nagios_pid)"

checks_of() { awk -F'\t' -v s="$1" '$1 == s' "$n/checks.tsv"; }
count_of() { checks_of "$1" | wc -l; }
# Waits until every named service has at least N recorded checks; a guard
# against a Nagios that stopped checking, not a measure of speed.
wait_checks() { # N service...
    local want=$1 s deadline=$((SECONDS + 180))
    shift
    while :; do
        local short=
        for s in "$@"; do [ "$(count_of "$s")" -ge "$want" ] || short="$short $s"; done
        [ -z "$short" ] && return 0
        if ! kill -0 "$nagios_pid" 2>/dev/null; then
            echo "nagios4 stopped:"; cat "$work/nagios.out"; return 1
        fi
        if [ $SECONDS -gt $deadline ]; then
            echo "no $want checks of:$short"; return 1
        fi
        sleep 0.2
    done
}

log_names=()
for row in "${logs[@]}"; do log_names+=("${row%%|*}"); done
static_names=()
for row in "${services[@]}"; do static_names+=("${row%%|*}"); done

# The text logs: two checks on what the logs hold at the start (the first
# records the end, the second finds nothing new), then one error line, then
# lines that do not match.
wait_checks 2 "${log_names[@]}" || { fail "the text-log services were not checked"; exit 1; }
declare -A before_error
for s in "${log_names[@]}"; do before_error[$s]=$(count_of "$s"); done
printf 'ERROR disk failure on sda\n' >> "$work/data/empty.log"
printf 'ERROR disk failure on sda\n' >> "$work/data/old.log"
for s in "${log_names[@]}"; do
    wait_checks $((before_error[$s] + 2)) "$s" || fail "$s: no checks after the error line"
done
printf 'all fine\n' >> "$work/data/empty.log"
printf 'all fine\n' >> "$work/data/old.log"
declare -A after_fine
for s in "${log_names[@]}"; do
    after_fine[$s]=$(count_of "$s")
    wait_checks $((after_fine[$s] + 2)) "$s" || fail "$s: no checks after the last lines"
done
wait_checks 1 "${static_names[@]}" || fail "services not checked"

# A field of one service in the copy of the status file.
status_field() { # service field
    awk -v s="$1" -v f="$2" '
        /^servicestatus \{/ { in_block = 1; name = ""; value = ""; next }
        in_block && /^\t}/ { if (name == s) { print value; exit } in_block = 0; next }
        in_block {
            line = $0; sub(/^\t/, "", line)
            k = line; sub(/=.*/, "", k); v = substr(line, length(k) + 2)
            if (k == "service_description") name = v
            if (k == f) value = v
        }' "$work/status.dat"
}

# The status file is judged once it holds, for every service, the last
# check recorded so far (or a later one): Nagios writes it every second
# (status_update_interval=1), so this is a bounded wait for its next write.
declare -A last_round
for s in "${static_names[@]}" "${log_names[@]}"; do
    last_round[$s]=$(checks_of "$s" | tail -n 1 | cut -f5)
    [[ "${last_round[$s]}" =~ ^[0-9]+$ ]] || fail "$s: no check time recorded ('${last_round[$s]}')"
done
status_current() {
    cp "$n/status.dat" "$work/status.dat" 2>/dev/null || return 1
    local s checked last
    for s in "${!last_round[@]}"; do
        checked=$(status_field "$s" has_been_checked)
        last=$(status_field "$s" last_check)
        [ "$checked" = 1 ] && [[ "$last" =~ ^[0-9]+$ ]] && [ "$last" -ge "${last_round[$s]:-0}" ] || return 1
    done
}
status_deadline=$((SECONDS + 60))
until status_current; do
    if ! kill -0 "$nagios_pid" 2>/dev/null; then
        fail "nagios4 stopped before its status file held the last checks"; cat "$work/nagios.out"; break
    fi
    if [ $SECONDS -gt $status_deadline ]; then
        fail "the status file did not hold the last recorded check of every service within 60 s"; break
    fi
    sleep 0.2
done
kill "$nagios_pid"
wait "$nagios_pid" 2>/dev/null
nagios_pid=

# ------------------------------------------------------------- judging
state_word=(OK WARNING CRITICAL UNKNOWN)
for row in "${services[@]}"; do
    IFS='|' read -r name _ state output perf <<<"$row"
    got_state=$(status_field "$name" current_state)
    got_output=$(status_field "$name" plugin_output)
    got_perf=$(status_field "$name" performance_data)
    if [ "$got_state" != "$state" ]; then
        fail "$name: state ${state_word[$got_state]:-$got_state}, expected ${state_word[$state]} ($got_output)"
    elif [[ "$got_output" != "$output"* ]]; then
        fail "$name: output '$got_output' does not begin with '$output'"
    elif [ -n "$perf" ] && [[ "$got_perf" != "$perf"* ]]; then
        fail "$name: performance data '$got_perf' does not begin with '$perf'"
    else
        echo "ok: $name ${state_word[$state]}: $got_output | $got_perf"
    fi
done

# The text logs, check by check: OK with the first-run wording, OK until
# the error line, CRITICAL exactly once with that line, OK after it.
for s in "${log_names[@]}"; do
    mapfile -t states < <(checks_of "$s" | cut -f2)
    mapfile -t outputs < <(checks_of "$s" | cut -f3)
    echo "$s: ${states[*]}"
    [ "${outputs[0]}" = "TEXTLOG OK: first scan: the end of the log is recorded" ] \
        || fail "$s: first check '${outputs[0]}'"
    [ "${outputs[1]}" = "TEXTLOG OK: no new matching lines" ] || fail "$s: second check '${outputs[1]}'"
    critical=0
    for i in "${!states[@]}"; do
        if [ "${states[$i]}" = CRITICAL ]; then
            critical=$((critical + 1))
            [ "${outputs[$i]}" = "TEXTLOG CRITICAL: 1 new matching line: ERROR disk failure on sda" ] \
                || fail "$s: check $i '${outputs[$i]}'"
            [ "$i" -ge "${before_error[$s]}" ] || fail "$s: CRITICAL before the error line was written"
        elif [ "${states[$i]}" != OK ]; then
            fail "$s: check $i ${states[$i]} '${outputs[$i]}'"
        fi
    done
    [ $critical -eq 1 ] || fail "$s: the error line raised $critical CRITICAL checks, expected exactly 1"
    [ "${states[-1]}" = OK ] || fail "$s: the last check is ${states[-1]}, expected OK"
    [ "$(status_field "$s" current_state)" = 0 ] || fail "$s: the status file ends in state $(status_field "$s" current_state)"
done

# Performance data of every check under the plugin guidelines' grammar.
bad_perf=$(cut -f1,4 "$n/checks.tsv" | while IFS=$'\t' read -r name perf; do
    perf_data_valid "$perf" || printf '%s: %s\n' "$name" "$perf"
done)
if [ -n "$bad_perf" ]; then fail "performance data outside the grammar:"; echo "$bad_perf"; else
    echo "ok: the performance data of $(wc -l < "$n/checks.tsv") checks parse"; fi

# Nagios's own log: no warning about any plugin's output.
warnings=$(grep -E '^\[[0-9]+\] (Warning|Error):' "$n/nagios.log")
if [ -n "$warnings" ]; then fail "Nagios logged warnings:"; echo "$warnings"; else
    echo "ok: no warning in Nagios's log"; fi

if [ $failures -ne 0 ]; then
    echo "nagios live test: $failures failed"
    echo "--- recorded checks"; cat "$n/checks.tsv"
    exit 1
fi
echo "nagios live test: all passed"
