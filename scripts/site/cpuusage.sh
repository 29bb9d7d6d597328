#!/bin/sh
# zel site script: prints the CPU usage of the whole machine in percent
# (all processors, one decimal, e.g. "12.5"), measured from /proc/stat over
# half a second (one second where sleep takes whole seconds only).
# POSIX sh; works with busybox sh.
exec 2>/dev/null

# Sets busy and total from the first ("cpu") line of /proc/stat.
sample() {
    read -r label user nice system idle iowait irq softirq steal rest < /proc/stat || return 1
    [ "$label" = cpu ] || return 1
    busy=$((user + nice + system + ${irq:-0} + ${softirq:-0} + ${steal:-0}))
    total=$((busy + idle + ${iowait:-0}))
}

sample || exit 1
busy0=$busy
total0=$total
sleep 0.5 || sleep 1
sample || exit 1
dbusy=$((busy - busy0))
dtotal=$((total - total0))
if [ "$dtotal" -le 0 ]; then
    echo 0.0
    exit 0
fi
# Tenths of a percent, rounded.
tenths=$(((dbusy * 1000 + dtotal / 2) / dtotal))
echo "$((tenths / 10)).$((tenths % 10))"
