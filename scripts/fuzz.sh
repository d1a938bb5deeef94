#!/bin/sh
# Builds the libFuzzer targets with clang (into build-fuzz) and runs each for
# SECONDS (default 60) from the seed corpus in tests/fuzz/corpus: the
# parsers of the line, the parameter file and the keyboard, and the readers
# of stored files (status files, message logs, gzip input). Inputs found
# along the way are kept in build-fuzz/corpus; a crash, hang, leak or
# sanitizer report leaves its input in build-fuzz/artifacts and fails.
set -eu
cd "$(dirname "$0")/.."
seconds="${1:-60}"
BUILD_DIR="${BUILD_DIR:-build-fuzz}"
extra_packages="clang libclang-rt-14-dev"
cmake_options="-DCMAKE_CXX_COMPILER=clang++ -DKESTLOG_FUZZ=ON -DKESTLOG_TESTS=OFF"
. scripts/setup.sh
mkdir -p "$build/artifacts"
status=0
for target in packet parline keyboard status records gzip; do
    mkdir -p "$build/corpus/$target"
    echo "fuzzing $target for $seconds s"
    # What the targets print themselves (a file named as unreadable) is not kept.
    "$build/${target}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=20000 -close_fd_mask=3 \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
        "$build/corpus/$target" "tests/fuzz/corpus/$target" >"$build/$target.log" 2>&1 || status=1
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done)|ERROR|SUMMARY' "$build/$target.log" || true
    [ "$status" -eq 0 ] || tail -n 60 "$build/$target.log"
done
exit "$status"
