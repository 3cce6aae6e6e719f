#!/usr/bin/env bash
# Installs what a build needs beyond what a fresh machine of this kind has (cmake, g++, make, GoogleTest,
# Google Benchmark and valgrind are there), and only what is missing.
#   scripts/deps.sh        everything the test command builds and runs: what the run build needs, Ninja,
#                          the mingw-w64 cross compiler for the Windows images, clang with its libFuzzer
#                          runtime for the whole-stack fuzz targets (tests/fuzz)
#   scripts/deps.sh --run  only what the main job's own build needs (scripts/run.sh)
set -euo pipefail
mode=${1:-all}
install() {
  echo "installing: $*" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "$@" >/dev/null
}
need=()
# Boost.Context switches the emulated threads (fibers) of the emulated kernel.
[[ -e /usr/include/boost/context/detail/fcontext.hpp ]] || need+=(libboost-context-dev)
if [[ $mode != --run ]]; then
  command -v x86_64-w64-mingw32-g++ >/dev/null || need+=(g++-mingw-w64-x86-64 mingw-w64-x86-64-dev)
  command -v ninja >/dev/null || need+=(ninja-build)
  command -v clang++ >/dev/null || need+=(clang)
  # Real serial programs for the pseudo-terminal bridge's tests (tests/system/programs).
  command -v sz >/dev/null || need+=(lrzsz)
  command -v socat >/dev/null || need+=(socat)
  command -v picocom >/dev/null || need+=(picocom)
  /usr/bin/python3 -c 'import serial' 2>/dev/null || need+=(python3-serial)
fi
if ((${#need[@]})); then
  install "${need[@]}"
fi
[[ $mode == --run ]] && exit 0
# The runtime comes in a package of its own, for clang's major version.
if [[ ! -e "$(clang++ -print-resource-dir)/lib/linux/libclang_rt.fuzzer-x86_64.a" ]]; then
  install "libclang-rt-$(clang++ -dumpversion | cut -d. -f1)-dev"
fi
