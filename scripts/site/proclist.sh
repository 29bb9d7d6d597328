#!/bin/sh
# zel site script: lists the running processes, one line each after a
# header line: process id, user, command name and command line (arguments
# separated by blanks; a kernel thread shows its name in brackets).
# POSIX sh; works with busybox sh.
exec 2>/dev/null
printf '%-7s %-12s %-15s %s\n' PID USER NAME COMMAND
lastuid=
lastuser=
for dir in /proc/[0-9]*; do
    pid=${dir#/proc/}
    comm=
    read -r comm < "$dir/comm" || continue
    uid=
    while read -r key value rest; do
        if [ "$key" = "Uid:" ]; then
            uid=$value
            break
        fi
    done < "$dir/status"
    [ -n "$uid" ] || continue
    if [ "$uid" != "$lastuid" ]; then
        lastuid=$uid
        lastuser=$uid
        while IFS=: read -r pwname pwpass pwuid pwrest; do
            if [ "$pwuid" = "$uid" ]; then
                lastuser=$pwname
                break
            fi
        done < /etc/passwd
    fi
    cmd=$(tr '\0\n' '  ' < "$dir/cmdline")
    cmd=${cmd% }
    [ -n "$cmd" ] || cmd="[$comm]"
    printf '%-7s %-12s %-15s %s\n' "$pid" "$lastuser" "$comm" "$cmd"
done
