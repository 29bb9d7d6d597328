#!/usr/bin/env bash
# Builds the Debian package of zel for the host architecture into
# build/package/ (zel_VERSION_ARCH.deb and its .buildinfo and .changes).
# The sources are copied to build/package/zel-VERSION first, so that the
# package build (debian/rules clean, its build folder, the files it leaves
# beside the source) touches nothing in the work tree. Prints the .deb path
# as its last line.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out="$top/build/package"
version=$(dpkg-parsechangelog -l "$top/debian/changelog" -S Version)
project_version=$(sed -n 's/^project(zel VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
if [ "$version" != "$project_version" ]; then
    echo "error: debian/changelog says $version, CMakeLists.txt says $project_version" >&2
    exit 1
fi
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
src="$out/zel-$version"

rm -rf "$out"
mkdir -p "$src"
tar -C "$top" --exclude=./build --exclude=./run --exclude=./.git --exclude='./obj-*' -cf - . | tar -C "$src" -xf -
(
    cd "$src"
    # -b: binary package only; -us -uc: unsigned.
    dpkg-buildpackage -b -us -uc -j"$(nproc)" >"$out/build.log" 2>&1
) || {
    tail -n 40 "$out/build.log" >&2
    echo "error: the package build failed; the whole log is $out/build.log" >&2
    exit 1
}
rm -rf "$src"
deb="$out/zel_${version}_${arch}.deb"
[ -f "$deb" ] || { echo "error: $deb was not built" >&2; exit 1; }
echo "$deb"
