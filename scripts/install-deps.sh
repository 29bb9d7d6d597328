#!/usr/bin/env bash
# Installs the packages zel needs to build and test, when any is missing.
# With --programs only those needed to build the agent and zelq (no
# GoogleTest, no Google Benchmark); with --package those plus the tools that
# build and check the Debian package. Does nothing when every package is
# already present.
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config libbotan-2-dev libisal-dev)
if [ "${1:-}" != "--programs" ] && [ "${1:-}" != "--package" ]; then
    packages+=(libgtest-dev libgmock-dev libbenchmark-dev rsyslog busybox)
fi
# --package: what `make package` and scripts/package-check.sh need besides
# the programs' own packages: the Debian build tools, scdoc for the manual
# pages, lintian, man to render the pages, systemd-analyze to check the unit.
if [ "${1:-}" = "--package" ]; then
    packages+=(dpkg-dev debhelper scdoc lintian man-db systemd)
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
"${sudo[@]}" apt-get update -qq || true
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
