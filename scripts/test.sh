#!/bin/sh
# Installs what the build and the tests need (Debian), configures, builds
# and runs every test through CTest.
set -eu
cd "$(dirname "$0")/.."
. scripts/setup.sh
status=0
ctest --test-dir "$build" --output-on-failure -j2 --timeout 300 || status=$?
# CTest keeps what a skipped test said to itself: show why each was skipped.
log="$build/Testing/Temporary/LastTest.log"
if [ -f "$log" ]; then
    grep -A1 ': Skipped$' "$log" | grep -v -e ': Skipped$' -e '^--$' | sort -u | sed 's/^/skipped: /' || true
fi
exit "$status"
