#!/bin/sh
# The load benchmark: builds as the test command does, then floods a
# pseudo-terminal with MB megabytes of status packets (default 50) and
# prints the processor time per MB of kestlog, of a minimal reader that
# appends each packet with open/write/close (the floor), and of cat.
set -eu
cd "$(dirname "$0")/.."
. scripts/setup.sh
work="$build/bench"
rm -rf "$work"
mkdir -p "$work"
cd "$work"
exec ../kestbench ../kestlog "${1:-50}"
