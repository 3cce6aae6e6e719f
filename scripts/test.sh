#!/usr/bin/env bash
# Builds everything (both targets) and runs every test with CTest, one process per test case.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
cd build
ctest --output-on-failure -j "$(nproc)" "$@"
