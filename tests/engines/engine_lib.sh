# Shared by the engine tests (sourced): finding or installing an engine, a
# free loopback port, the documented objects, the performance-data grammar.

# need_engine NAME PATH PACKAGE: makes sure PATH exists, installing the
# engines through scripts/install-deps.sh --engines when it does not (as
# root: service starts forbidden). Skips the test (exit 77) with the reason
# only when the engine cannot be installed.
need_engine() {
    [ -x "$2" ] && return 0
    if [ "$(id -u)" -eq 0 ] || sudo -n true 2>/dev/null; then
        echo "$1 missing: installing the engines (scripts/install-deps.sh --engines)"
        bash "$top/scripts/install-deps.sh" --engines || true
    fi
    [ -x "$2" ] && return 0
    echo "SKIP: $1 ($3) is not installed and cannot be installed here; run scripts/install-deps.sh --engines as root"
    exit 77
}

# A scratch folder the engine's own user can reach (/tmp, whatever TMPDIR
# says: a private TMPDIR may be closed to that user).
engine_scratch() {
    local d
    d=$(mktemp -d "/tmp/zel-$1.XXXXXX") || return 1
    chmod 755 "$d"
    echo "$d"
}

# A loopback TCP port nothing listens on now.
free_loopback_port() {
    local i p
    for i in $(seq 50); do
        p=$((20000 + RANDOM % 40000))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
            echo "$p"
            return 0
        fi
    done
    return 1
}

# The "define command" blocks of a Nagios object file.
example_command() {
    awk '/^define command *\{/ { on = 1 } on { print } on && /^\}/ { on = 0 }' "$1"
}

# perf_data_valid TEXT: TEXT is empty or space-separated items
# 'label'=value[UOM];[warn];[crit];[min];[max] as the monitoring-plugin
# guidelines write them (ranges [@][start:][end], ~ for minus infinity).
perf_data_valid() {
    local rest=$1
    local num='-?[0-9]+(\.[0-9]+)?'
    local range="@?((~|$num)?:)?($num)?"
    local label="('[^'=]+'|[^' =]+)"
    local item="^$label=($num|U)(s|ms|us|%|B|KB|MB|TB|c)?(;($range)(;($range)(;($num)?(;($num)?)?)?)?)?( +|$)"
    while [ -n "$rest" ]; do
        [[ "$rest" =~ $item ]] || return 1
        rest=${rest:${#BASH_REMATCH[0]}}
    done
    return 0
}
