#!/usr/bin/env bash
# Installs what the build needs beyond what a fresh machine of this kind has (cmake, g++, GoogleTest,
# Google Benchmark and valgrind are there): the mingw-w64 cross compiler for the Windows images, and
# clang with its libFuzzer runtime for the whole-stack fuzz targets (tests/fuzz).
set -euo pipefail
install() {
  echo "installing: $*"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "$@" >/dev/null
}
need=()
command -v x86_64-w64-mingw32-g++ >/dev/null || need+=(g++-mingw-w64-x86-64 mingw-w64-x86-64-dev)
command -v ninja >/dev/null || need+=(ninja-build)
command -v clang++ >/dev/null || need+=(clang)
# Real serial programs for the pseudo-terminal bridge's tests (tests/system/programs).
command -v sz >/dev/null || need+=(lrzsz)
command -v socat >/dev/null || need+=(socat)
command -v picocom >/dev/null || need+=(picocom)
/usr/bin/python3 -c 'import serial' 2>/dev/null || need+=(python3-serial)
if ((${#need[@]})); then
  install "${need[@]}"
fi
# The runtime comes in a package of its own, for clang's major version.
if [[ ! -e "$(clang++ -print-resource-dir)/lib/linux/libclang_rt.fuzzer-x86_64.a" ]]; then
  install "libclang-rt-$(clang++ -dumpversion | cut -d. -f1)-dev"
fi
