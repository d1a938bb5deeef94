#!/bin/sh
# `cmake --install` must put both programs in bin, the manual page in man and
# the site examples in the documentation directory.
set -eu
build_dir="$1"
prefix=$(mktemp -d /tmp/kestlog-install-XXXXXX)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
status=0
for f in bin/kestlog bin/kestsim; do
    [ -x "$prefix/$f" ] || { echo "FAIL: $f not installed as a program"; status=1; }
done
for f in share/man/man1/kestlog.1 share/doc/kestlog/examples/kestlog.service \
    share/doc/kestlog/examples/kestlog.par share/doc/kestlog/examples/99-kestlog.rules; do
    [ -s "$prefix/$f" ] || { echo "FAIL: $f missing"; status=1; }
done
"$prefix/bin/kestsim" --help | grep -q "^usage: kestsim" || { echo "FAIL: kestsim --help"; status=1; }
if command -v groff >/dev/null; then
    warnings=$(groff -man -ww -z "$prefix/share/man/man1/kestlog.1" 2>&1)
    [ -z "$warnings" ] || { echo "FAIL: the manual page has faults: $warnings"; status=1; }
fi
exit $status
