#!/bin/sh
# zel site script: lists the running processes, one line each after a
# header line: process id, user, command name and command line (arguments
# separated by blanks; a kernel thread shows its name in brackets).
# Control characters in names and command lines are written as \xNN (two
# lower-case hex digits) and a backslash as \\, so every process stays on
# its own line. POSIX sh; works with busybox sh.
exec 2>/dev/null
nl='
'
# The control characters but NUL, and the sed program that escapes them.
ctl=$(printf '\001\002\003\004\005\006\007\010\011\012\013\014\015\016\017\020\021\022\023\024\025\026\027\030\031\032\033\034\035\036\037\177')
escapes=$(printf 's/\001/\\\\x01/g;s/\002/\\\\x02/g;s/\003/\\\\x03/g;s/\004/\\\\x04/g;s/\005/\\\\x05/g;s/\006/\\\\x06/g;s/\007/\\\\x07/g;s/\010/\\\\x08/g;s/\011/\\\\x09/g;s/\013/\\\\x0b/g;s/\014/\\\\x0c/g;s/\015/\\\\x0d/g;s/\016/\\\\x0e/g;s/\017/\\\\x0f/g;s/\020/\\\\x10/g;s/\021/\\\\x11/g;s/\022/\\\\x12/g;s/\023/\\\\x13/g;s/\024/\\\\x14/g;s/\025/\\\\x15/g;s/\026/\\\\x16/g;s/\027/\\\\x17/g;s/\030/\\\\x18/g;s/\031/\\\\x19/g;s/\032/\\\\x1a/g;s/\033/\\\\x1b/g;s/\034/\\\\x1c/g;s/\035/\\\\x1d/g;s/\036/\\\\x1e/g;s/\037/\\\\x1f/g;s/\177/\\\\x7f/g')

# Sets text to $1 with its control characters and backslashes escaped.
escape() {
    text=$1
    case $text in
    *[\\$ctl]*)
        # The whole text as one (the dot keeps a final line feed).
        text=$(printf '%s.' "$1" | LC_ALL=C sed -n 'H;${x;s/^\n//;s/\\/\\\\/g;s/\n/\\x0a/g;'"$escapes"';p;}')
        text=${text%.}
        ;;
    esac
}

printf '%-7s %-12s %-15s %s\n' PID USER NAME COMMAND
lastuid=
lastuser=
for dir in /proc/[0-9]*; do
    pid=${dir#/proc/}
    # The whole command name, also one with line feeds in it.
    comm=
    found=
    while IFS= read -r line; do
        comm=$comm$line$nl
        found=1
    done < "$dir/comm"
    [ -n "$found" ] || continue
    comm=${comm%"$nl"}
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
    escape "$comm"
    comm=$text
    # The dot keeps final line feeds of the last word.
    cmd=$(tr '\0' ' ' < "$dir/cmdline"; echo .)
    cmd=${cmd%.}
    cmd=${cmd% }
    if [ -n "$cmd" ]; then
        escape "$cmd"
        cmd=$text
    else
        cmd="[$comm]"
    fi
    printf '%-7s %-12s %-15s %s\n' "$pid" "$lastuser" "$comm" "$cmd"
done
