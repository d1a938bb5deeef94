#!/bin/sh
# Installs what the build and the tests need (Debian), configures, builds
# and runs every test through CTest.
set -eu
cd "$(dirname "$0")/.."
. scripts/setup.sh
ctest --test-dir "$build" --output-on-failure -j2 --timeout 300
