#!/usr/bin/env bash
# Builds the main job alone and runs it with its embedded defaults. Arguments pass through.
# The build is build/run: optimised, without sanitizers, only tarvelcom with the emulated platform it
# links and the two driver modules it loads; no tests, no Windows images. It never touches the test
# build (build/, scripts/test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build/run
program=$dir/tools/tarvelcom/tarvelcom
# Said on standard error: with --far-side stdio, standard output is the far side's byte stream.
[[ -x $program ]] || echo "building tarvelcom (first run only) …" >&2
scripts/deps.sh --run
if [[ ! -e $dir/CMakeCache.txt ]]; then
  # Ninja when the machine has it; a fresh machine has make, and installing Ninja costs more than it saves.
  generator=("Unix Makefiles")
  command -v ninja >/dev/null && generator=(Ninja)
  # -O2 without debug information: optimised, quick to compile, and the platform's checks (assert) stay on.
  cmake -S . -B "$dir" -G "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-O2 \
        -DCMAKE_C_FLAGS_RELEASE=-O2 -DTARVEL_SANITIZE=OFF -DTARVEL_WINDOWS_IMAGES=OFF -DTARVEL_FUZZ_BUILD=OFF \
        -DTARVEL_TESTS=OFF >/dev/null
fi
cmake --build "$dir" --target tarvelcom -j "$(nproc)" >/dev/null
exec "$program" "$@"
