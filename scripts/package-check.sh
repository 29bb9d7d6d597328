#!/usr/bin/env bash
# Builds the Debian package (or takes the .deb given as $1) and checks it
# without installing it: contents and metadata (dpkg-deb -c/-I), the
# shipped configuration template against the files it names, lintian (no
# error and no warning), every manual page rendered by man without a
# warning, the unit with systemd-analyze verify where that exists, the
# log rotation with logrotate -d, and the zelq path the documented
# monitoring-engine objects call.
# Changes nothing outside build/package/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

if [ $# -ge 1 ]; then
    deb=$1
else
    bash scripts/install-deps.sh --package
    deb=$(bash scripts/build-package.sh | tail -n 1)
fi
[ -f "$deb" ] || { echo "error: no package at '$deb'" >&2; exit 1; }

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

work=$(mktemp -d "$top/build/package/check.XXXXXX")
trap 'rm -rf "$work"' EXIT
root="$work/root"
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$work/control"

# ---------------------------------------------------------------- metadata
info=$(dpkg-deb -I "$deb")
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = zel ] && pass "Package: zel" || fail "Package is '$(field Package)'"
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
[ "$(field Architecture)" = "$arch" ] && pass "Architecture: $arch" || fail "Architecture is '$(field Architecture)', not $arch"
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
[ "$(field Version)" = "$version" ] && pass "Version: $version" || fail "Version is '$(field Version)'"
depends=$(field Depends)
# The libraries the binaries load, as dpkg-shlibdeps found them: libc and
# ISA-L at least; Botan is linked statically and must not be needed.
for lib in libc6 libisal2; do
    [[ "$depends" == *"$lib "* || "$depends" == *"$lib" ]] && pass "Depends on $lib" || fail "Depends lacks $lib: $depends"
done
[[ "$depends" != *botan* ]] && pass "no Botan dependency (static)" || fail "Depends names Botan: $depends"
for script in postinst postrm prerm; do
    [ -x "$work/control/$script" ] || fail "no $script maintainer script"
done
grep -qx /etc/logrotate.d/zel "$work/control/conffiles" && [ "$(wc -l < "$work/control/conffiles")" -eq 1 ] \
    && pass "conffiles: /etc/logrotate.d/zel only" || fail "conffiles: $(cat "$work/control/conffiles")"
echo "$info" | sed -n 's/^ size \([0-9]*\) bytes.*/package size: \1 bytes/p'

# ---------------------------------------------------------------- contents
listing=$(dpkg-deb -c "$deb")
expect_entry() { # mode path
    local line
    line=$(echo "$listing" | awk -v p="./$2" '$6 == p')
    if [ -z "$line" ]; then
        fail "missing ./$2"
    elif [ "${line%% *}" != "$1" ]; then
        fail "./$2 has mode ${line%% *}, expected $1"
    else
        pass "./$2 $1"
    fi
}
expect_entry -rwxr-xr-x usr/sbin/zel
expect_entry -rwxr-xr-x usr/bin/zelq
for s in proccount.sh cpuusage.sh proclist.sh; do expect_entry -rwxr-xr-x "usr/lib/zel/$s"; done
expect_entry -rw-r--r-- lib/systemd/system/zel.service
expect_entry -rw-r--r-- usr/share/zel/zel.cfg
expect_entry -rw-r--r-- etc/logrotate.d/zel
for page in man8/zel.8 man5/zel.cfg.5 man1/zelq.1 man7/zel-commands.7; do expect_entry -rw-r--r-- "usr/share/man/$page.gz"; done
# The documents of debian/zel.docs (dh_compress compresses each, all being
# larger than 4 KiB).
for doc in README.md CONTRIBUTING.md benchmarks.md; do expect_entry -rw-r--r-- "usr/share/doc/zel/$doc.gz"; done
echo "$listing" | awk '{print $6}' | grep -q '^\./usr/lib/debug' && fail "debug files in the package" || true
echo "$listing" | awk '{print $2}' | grep -qv '^root/root$' && fail "a file not owned by root" || true
# The configuration is made by postinst, never shipped: an upgrade must not
# touch it.
echo "$listing" | awk '{print $6}' | grep -q '^\./etc/zel' && fail "the package ships /etc/zel" || true

# ------------------------------------------------- configuration template
template="$root/usr/share/zel/zel.cfg"
value() { sed -n "s/^$1=//p" "$template"; }
[ "$(grep -c '^password=' "$template")" -eq 1 ] && [ -z "$(value password)" ] \
    && pass "template: one empty password= line" || fail "template: password= must be one empty line"
path=$(value zelpath)
[[ "$path" == /* ]] && [ -x "$root$path" ] && pass "template: zelpath=$path is in the package" \
    || fail "template: zelpath=$path is not an executable of the package"
for key in proccntscript cpuusagescript proclistscript; do
    [ "$(grep -c "^$key=" "$template")" -eq 1 ] && [ -z "$(value $key)" ] \
        && pass "template: $key is empty (the agent's own answer)" || fail "template: $key=$(value $key) is not one empty line"
done
[ "$(value zelpath)" = /usr/sbin/zel ] || fail "template: zelpath is not /usr/sbin/zel"
for key in oklogfile badlogfile verboselogfile; do
    [[ "$(value $key)" == /var/log/zel/* ]] || fail "template: $key=$(value $key) is not in /var/log/zel/"
done
[ "$(value tmpdir)" = /var/lib/zel/tmp ] || fail "template: tmpdir=$(value tmpdir)"
# Safe defaults: only the loopback addresses 127.0.0.1 and ::1 are answered, nothing runs code for a client,
# no remote self-upgrade. Each key exactly once, so no later line undoes it.
while read -r key want; do
    if [ "$(grep -ci "^[[:space:]]*${key}[[:space:]]*=" "$template")" -ne 1 ]; then
        fail "template: $key must be set exactly once"
    elif [ "$(value "$key")" = "$want" ]; then
        pass "template: $key=$want"
    else
        fail "template: $key=$(value "$key"), expected $want"
    fi
done <<'DEFAULTS'
filteractive 1
filterlist 127.0.0.1 ::1
filtermarks 11
shellscript 0
external 0
executeaction 0
tcpudpaction 0
syslogaction 0
allowupdates 0
updateaddr 127.0.0.1 ::1
manageaddr 127.0.0.1 ::1
DEFAULTS
unit="$root/lib/systemd/system/zel.service"
pidfile=$(sed -n 's/^PIDFile=//p' "$unit")
[ -n "$pidfile" ] && [ "$(value pidfile)" = "$pidfile" ] && pass "template: pidfile=$pidfile as in the unit" \
    || fail "template: pidfile=$(value pidfile), unit PIDFile=$pidfile"
grep -qx 'ExecStart=/usr/sbin/zel -d /etc/zel/zel.cfg' "$unit" && pass "unit: daemon mode on /etc/zel/zel.cfg" \
    || fail "unit: unexpected ExecStart: $(grep ^ExecStart= "$unit")"
grep -qx 'ExecReload=/bin/kill -HUP $MAINPID' "$unit" || fail "unit: ExecReload does not send SIGHUP"

# ------------------------------------------------------------- logrotate
# The shipped rotation as logrotate reads it (debug mode: nothing rotated,
# the state kept here).
if command -v logrotate >/dev/null 2>&1; then
    if out=$(logrotate -d -s "$work/logrotate.state" "$root/etc/logrotate.d/zel" 2>&1) \
        && ! grep -q '^error' <<<"$out"; then
        pass "logrotate -d accepts /etc/logrotate.d/zel"
    else
        fail "logrotate -d /etc/logrotate.d/zel: $(grep '^error' <<<"$out")"
    fi
else
    fail "logrotate is not installed (scripts/install-deps.sh --package)"
fi

# ---------------------------------------------------- documented commands
# The monitoring-engine objects of doc/examples (shown in the README) call
# zelq where this package puts it.
for example in doc/examples/*; do
    for path in $(grep -oE '/[^" ]*/zelq\b' "$example" | sort -u); do
        [ -x "$root$path" ] && pass "$example calls $path, in the package" \
            || fail "$example calls $path, which the package does not install"
    done
done

# ---------------------------------------------------------------- lintian
# Warnings count as failures: a warning worth keeping goes into
# debian/zel.lintian-overrides with its reason.
if lintian --fail-on error,warning "$deb" > "$work/lintian.txt" 2>&1; then
    pass "lintian: no error, no warning"
    sed 's/^/  lintian: /' "$work/lintian.txt"
else
    fail "lintian:"
    cat "$work/lintian.txt" >&2
fi

# ------------------------------------------------------------ manual pages
for page in "$root"/usr/share/man/man*/*.gz; do
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null | wc -l)
    if [ -n "$warnings" ]; then
        fail "man -l $(basename "$page"): $warnings"
    elif [ "$text" -lt 20 ]; then
        fail "man -l $(basename "$page") renders only $text lines"
    else
        pass "man -l $(basename "$page") renders without warnings"
    fi
done

# ------------------------------------------------------------------ unit
# The unit as shipped, with its executables taken from the package tree.
if command -v systemd-analyze >/dev/null 2>&1; then
    mkdir -p "$work/unit"
    sed "s|/usr/sbin/zel|$root/usr/sbin/zel|g" "$unit" > "$work/unit/zel.service"
    if out=$(MANPATH="$root/usr/share/man" systemd-analyze verify "$work/unit/zel.service" 2>&1) && [ -z "$out" ]; then
        pass "systemd-analyze verify zel.service"
    else
        fail "systemd-analyze verify zel.service: $out"
    fi
else
    echo "skip: systemd-analyze is not installed"
fi

echo
echo "$(basename "$deb"): $(stat -c %s "$deb") bytes"
if [ $failures -ne 0 ]; then
    echo "package check: $failures failed" >&2
    exit 1
fi
echo "package check: all passed"
