#!/bin/sh
# The benchmarks: builds as the test command does, then
# - the load: floods a pseudo-terminal with MB megabytes of status packets
#   (default 50) and prints the processor and wall time per MB of kestlog, of a
#   minimal reader that appends each packet with open/write/close (the floor),
#   of the floor syncing its file as often as the logger does, and of cat, the
#   median of three runs each; then the latency of 1000 packets sent at random
#   moments (p50, p99, max, from the write of the EOT to its last byte in the
#   file) and the logger's processor time while idle;
# - the report: kestreport over thirty days of a one-packet-a-second
#   instrument (about 260 MB) against wc -l over the same files, the median
#   of five runs each;
# - the fleet's page: kestarchive fleet over 100 sites of a year, the first
#   build, one after a new file a site, and one with nothing new;
# - the way home (as root, where containers run): bench/archive.sh, a week
#   offline.
set -eu
cd "$(dirname "$0")/.."
. scripts/setup.sh
work="$build/bench"
rm -rf "$work"
mkdir -p "$work/load" "$work/report"
status=0
(cd "$work/load" && ../../kestbench ../../kestlog "${1:-50}") || status=1
(cd "$work/report" && ../../reportbench ../../kestreport 30 5) || status=1
rm -rf "$work/report/data"
# The fleet's page: 100 sites of a year (docs/fleet.md gives 500, by hand).
mkdir -p "$work/fleet"
(cd "$work/fleet" && ../../fleetbench ../../kestarchive 100 366) || status=1
rm -rf "$work/fleet"
if [ "$(id -u)" -eq 0 ]; then
    archived=0
    bash bench/archive.sh 7 "$build" || archived=$?
    [ "$archived" -eq 0 ] || [ "$archived" -eq 77 ] || status=1
fi
exit "$status"
