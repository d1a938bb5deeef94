#!/bin/sh
# The README's demo command, run without a terminal for a few seconds on the
# build under test: packets must land in the scratch directory's ./data/ and
# the logger must have been quit by the typed "quit".
set -eu
source_dir="$1"
build_dir="$2"
scratch=$(mktemp -d /tmp/kestlog-demo-test-XXXXXX)
trap 'rm -rf "$scratch"' EXIT

out="$scratch/demo.out"
if ! KESTLOG_DEMO_PREBUILT=1 BUILD_DIR="$build_dir" KESTLOG_DEMO_DIR="$scratch/run" \
    sh "$source_dir/scripts/demo.sh" 6 </dev/null >"$out" 2>&1; then
    echo "FAIL: the demo did not end with status 0"; cat "$out"; exit 1
fi
fail() { echo "FAIL: $1"; cat "$out"; ls -lR "$scratch/run"; exit 1; }

grep -q "^demo: kestlog ended with status 0. Its files are in $scratch/run/data:" "$out" || fail "no closing line"
status=$(ls "$scratch"/run/data/KES*.txt) || fail "no status file"
packets=$(tr -cd '\001' <"$status" | wc -c)
[ "$packets" -ge 2 ] || fail "only $packets status packets stored"
grep -q ", keyboard quit command$" "$scratch"/run/data/MESKES*.txt || fail "no quit record"
! pgrep -f "kestsim --interval 2000 --wait 1000" >/dev/null || fail "kestsim still running"
echo "demo stored $packets status packets"
