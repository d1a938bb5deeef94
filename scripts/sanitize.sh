#!/bin/sh
# Every test but the container's again, against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer (into build-asan). Fails on a failed test and on
# any sanitizer report, including one from a logger a test ended by itself.
set -eu
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build-asan}"
cmake_options="-DKESTLOG_SANITIZE=ON"
. scripts/setup.sh
reports="$(mktemp -d)"
chmod 1777 "$reports"  # loggers run as other users report here too
# libfaketime is preloaded ahead of the ASan runtime in the end-to-end tests.
export ASAN_OPTIONS="verify_asan_link_order=0:detect_leaks=1:log_path=$reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
status=0
# The container test checks the package, not this build.
ctest --test-dir "$build" --output-on-failure -j2 --timeout 600 -LE 'container|year' || status=$?
if [ -n "$(ls -A "$reports")" ]; then
    echo "sanitizer reports:"
    for f in "$reports"/*; do
        echo "== $f"
        cat "$f"
    done
    status=1
fi
rm -rf "$reports"
exit "$status"
