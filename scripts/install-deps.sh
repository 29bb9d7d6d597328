#!/usr/bin/env bash
# Installs the packages zel needs to build and test, when any is missing.
# With --programs only those needed to build the agent and zelq (no
# GoogleTest, no Google Benchmark); with --package those plus the tools that
# build and check the Debian package; with --engines those plus the
# monitoring engines the engine tests run zelq under (Nagios 4, Icinga 2)
# and logrotate. Does nothing when every package is already present.
# The engines' system services are never enabled or started: service starts
# are forbidden during the install, and whatever the maintainer scripts
# enabled anyway is disabled again.
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config libbotan-2-dev libisal-dev)
if [ "${1:-}" != "--programs" ] && [ "${1:-}" != "--package" ]; then
    # passwd: useradd and userdel for the tests of an agent serving as a user.
    packages+=(libgtest-dev libgmock-dev libbenchmark-dev rsyslog busybox passwd)
fi
# --package: what `make package` and scripts/package-check.sh need besides
# the programs' own packages: the Debian build tools, scdoc for the manual
# pages, lintian, man to render the pages, systemd-analyze to check the unit,
# logrotate to read the log rotation, adduser for the package's own
# installation (scripts/package-install-test.sh installs it with dpkg -i),
# busybox for the private syslogd that test reads where /dev/log is missing.
if [ "${1:-}" = "--package" ]; then
    packages+=(dpkg-dev debhelper scdoc lintian man-db systemd logrotate adduser busybox)
fi
# --engines: Nagios 4 and Icinga 2, which tests/engines runs in the
# foreground (Nagios) or only to validate objects (Icinga 2); logrotate for
# the package checks' `logrotate -d`.
if [ "${1:-}" = "--engines" ]; then
    packages+=(nagios4-core icinga2-bin logrotate)
fi
# --fuzz: also clang with libFuzzer and the sanitizer runtimes, and
# llvm-symbolizer for readable reports (the fuzz build, scripts/fuzz.sh).
if [ "${1:-}" = "--fuzz" ]; then
    packages+=(clang libclang-rt-14-dev llvm)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing build packages: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
    sudo=()
elif command -v sudo >/dev/null 2>&1; then
    sudo=(sudo)
else
    echo "error: packages missing (${missing[*]}) and not root and no sudo" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
policy=/usr/sbin/policy-rc.d
made_policy=0
if [ ! -e "$policy" ]; then
    # Forbids invoke-rc.d (and deb-systemd-invoke) to start any service the
    # packages bring; removed again right after the install.
    printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" >/dev/null
    "${sudo[@]}" chmod 755 "$policy"
    made_policy=1
fi
rc=0
"${sudo[@]}" apt-get update -qq || true
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" || rc=$?
[ $made_policy -eq 1 ] && "${sudo[@]}" rm -f "$policy"
# The engines run only in the tests' foreground: a service the packages
# enabled is disabled again (never started); so is the mail server that
# Nagios's mail command pulls in.
for unit in nagios4 icinga2 exim4; do
    for kind in service timer; do
        if ls /etc/systemd/system/*.wants/$unit*.$kind >/dev/null 2>&1; then
            echo "Disabling the $unit $kind the packages enabled"
            "${sudo[@]}" rm -f /etc/systemd/system/*.wants/$unit*.$kind
        fi
    done
    if ls /etc/rc[2345].d/S*$unit >/dev/null 2>&1; then
        "${sudo[@]}" update-rc.d $unit disable >/dev/null 2>&1 || true
    fi
done
exit $rc
