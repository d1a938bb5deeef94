#!/bin/sh
# Builds the Debian packages kestlog_VERSION_ARCH.deb (a site) and
# kestlog-archive-host_VERSION_ARCH.deb (dpkg-buildpackage -b -us -uc) into
# build-deb/, or into the directory given, installing the build dependencies
# first, and prints their paths, the site's package's as the last line.
# The source is copied first, so that the build leaves the tree as it was.
set -eu
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build-deb}")

as_root=""
[ "$(id -u)" -eq 0 ] || as_root="sudo"
if ! command -v dpkg-checkbuilddeps >/dev/null || ! dpkg-checkbuilddeps >/dev/null 2>&1; then
    $as_root apt-get update -qq
    $as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends dpkg-dev build-essential
    $as_root env DEBIAN_FRONTEND=noninteractive apt-get build-dep -y -qq ./
fi

# The package's version is the program's own.
version=$(dpkg-parsechangelog -S Version)
program=$(sed -n 's/^project(kestlog VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
if [ "$version" != "$program" ]; then
    echo "package.sh: debian/changelog says $version, CMakeLists.txt says $program" >&2
    exit 1
fi

mkdir -p "$out"
work=$(mktemp -d "$out/.build-XXXXXX")
trap 'rm -rf "$work"' EXIT
tar --exclude='./build*' --exclude='./.git' -cf - . | tar -xf - -C "$work" --one-top-level=source
(cd "$work/source" && DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-parallel=$(nproc)}" dpkg-buildpackage -b -us -uc)
# The archive host's package first, the site's last (its path is the last line).
host=$(ls "$work"/kestlog-archive-host_"$version"_*.deb)
deb=$(ls "$work"/kestlog_"$version"_*.deb)
mv "$host" "$deb" "$out/"
echo "$out/${host##*/}"
echo "$out/${deb##*/}"
