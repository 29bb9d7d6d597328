#!/usr/bin/env bash
# The documented monitoring-engine objects (doc/examples/) checked as the
# engines read them, and against the README that shows them.
#
# Usage: examples_test.sh MODE SOURCE_DIR
#   readme   the README shows each example file verbatim, and each names the
#            zelq that the package installs (/usr/bin/zelq)
#   nagios   nagios4 -v accepts the Nagios definitions beside Debian's stock
#            templates and one host (no warning, no error)
#   icinga2  icinga2 daemon -C accepts the Icinga 2 objects in a minimal
#            configuration (validation only; nothing is started)
# Exit 0: passed; 1: failed; 77: skipped (the engine is not installed and
# cannot be installed here).
set -uo pipefail
mode=$1
top=$2
. "$top/tests/engines/engine_lib.sh"
examples=$top/doc/examples
nagios_example=$examples/nagios-zel.cfg
icinga_example=$examples/icinga2-zel.conf
# Where the package installs zelq: CMake's bin folder under the /usr prefix
# of debian/rules (scripts/package-check.sh checks the built package).
packaged_zelq=/usr/bin/zelq

work=$(engine_scratch examples) || exit 1
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

case $mode in
readme)
    readme=$(cat "$top/README.md")
    fence='```'
    for f in "$nagios_example" "$icinga_example"; do
        body=$(cat "$f")
        if [[ "$readme" == *"$fence"$'\n'"$body"$'\n'"$fence"* ]]; then
            echo "ok: README shows $(basename "$f") verbatim"
        else
            fail "README does not show $(basename "$f") verbatim in a fenced block"
        fi
        paths=$(grep -oE '"?/[^" ]*zelq"?' "$f" | tr -d '"' | sort -u)
        if [ "$paths" = "$packaged_zelq" ]; then
            echo "ok: $(basename "$f") calls $packaged_zelq"
        else
            fail "$(basename "$f") calls '$paths', the package installs $packaged_zelq"
        fi
    done
    ;;
nagios)
    need_engine nagios4 /usr/sbin/nagios4 nagios4-core
    cat > "$work/web1.cfg" <<'EOF'
define host {
  use            linux-server
  host_name      web1
  address        127.0.0.1
  check_command  check_zel!GetInfo
}
EOF
    cat > "$work/nagios.cfg" <<EOF
cfg_file=/etc/nagios4/objects/commands.cfg
cfg_file=/etc/nagios4/objects/contacts.cfg
cfg_file=/etc/nagios4/objects/timeperiods.cfg
cfg_file=/etc/nagios4/objects/templates.cfg
cfg_file=$nagios_example
cfg_file=$work/web1.cfg
illegal_macro_output_chars=\`~\$&|'"<>
check_for_updates=0
EOF
    out=$(/usr/sbin/nagios4 -v "$work/nagios.cfg" 2>&1)
    if grep -q '^Total Warnings: *0$' <<<"$out" && grep -q '^Total Errors: *0$' <<<"$out" \
        && grep -q 'Checked 2 services' <<<"$out"; then
        echo "ok: nagios4 -v accepts $(basename "$nagios_example") (2 services, no warning, no error)"
    else
        echo "$out"
        fail "nagios4 -v does not accept $(basename "$nagios_example") cleanly"
    fi
    ;;
icinga2)
    need_engine icinga2 /usr/sbin/icinga2 icinga2-bin
    cat > "$work/icinga2.conf" <<EOF
include <itl>
include "$icinga_example"
object Host "web1" {
  check_command = "dummy"
  address = "127.0.0.1"
  vars.os = "Linux"
}
EOF
    [ "$(id -u)" -eq 0 ] && chown -R nagios "$work" 2>/dev/null
    # -DCacheDir keeps the validation's object and variable dumps here.
    out=$(/usr/sbin/icinga2 daemon -C -c "$work/icinga2.conf" -DCacheDir="$work" 2>&1)
    rc=$?
    if [ $rc -eq 0 ] && grep -q 'Instantiated 1 Service\.' <<<"$out" && ! grep -qE '(warning|critical)/' <<<"$out"; then
        echo "ok: icinga2 daemon -C accepts $(basename "$icinga_example"); the service applies to the host"
    else
        echo "$out"
        fail "icinga2 daemon -C does not accept $(basename "$icinga_example") cleanly (exit $rc)"
    fi
    ;;
*)
    echo "usage: examples_test.sh readme|nagios|icinga2 SOURCE_DIR" >&2
    exit 2
    ;;
esac
[ $failures -eq 0 ] || exit 1
