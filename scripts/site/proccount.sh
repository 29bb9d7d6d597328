#!/bin/sh
# zel site script: prints the number of running processes whose name is
# exactly "$1", then a line feed.
#
# The name of a process is its command name (/proc/<pid>/comm). The kernel
# keeps only the first 15 characters of it, so for a longer name the base
# name of the program (the first word of /proc/<pid>/cmdline) must match as
# well. The script does not count itself. POSIX sh; works with busybox sh.
exec 2>/dev/null
name=$1
if [ -z "$name" ]; then
    echo 0
    exit 0
fi
short=$name
if [ ${#name} -gt 15 ]; then
    short=$(printf '%.15s' "$name")
fi
count=0
for dir in /proc/[0-9]*; do
    [ "${dir#/proc/}" = "$$" ] && continue
    comm=
    read -r comm < "$dir/comm" || continue
    [ "$comm" = "$short" ] || continue
    if [ ${#name} -gt 15 ]; then
        arg0=$(tr '\0' '\n' < "$dir/cmdline" | head -n 1)
        [ "${arg0##*/}" = "$name" ] || continue
    fi
    count=$((count + 1))
done
echo "$count"
