#!/bin/sh
# zel site script: prints the number of running processes whose name is
# exactly "$1", then a line feed.
#
# The name of a process is its command name (/proc/<pid>/comm). The kernel
# keeps only the first 15 characters of it, so for a longer name the base
# name of the program must match as well: the first word of
# /proc/<pid>/cmdline, or for a script started through its "#!" line (where
# the first word is the interpreter) the script's path after it (the second
# word, or the third when the second is an option of the interpreter).
# The script does not count itself. POSIX sh; works with busybox sh.
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
        args=$(tr '\0' '\n' < "$dir/cmdline" | head -n 3)
        match=
        word=0
        while IFS= read -r arg; do
            [ "${arg##*/}" = "$name" ] && match=1 && break
            word=$((word + 1))
            # Past the interpreter: its script, or an option and then the script.
            [ $word -eq 2 ] && case $arg in -*) ;; *) break ;; esac
        done <<EOF2
$args
EOF2
        [ -n "$match" ] || continue
    fi
    count=$((count + 1))
done
echo "$count"
