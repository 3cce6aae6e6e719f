#!/usr/bin/env bash
# Configures and builds both targets into build/: the sanitized Linux side (emulated platform, driver
# modules and their twins with data-race watchpoints in build/drivers-race, tests, tools) and, through
# it, the Windows .sys images in build/windows.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEL_RACE_BUILD=ON >/dev/null
cmake --build build -j "$(nproc)"
