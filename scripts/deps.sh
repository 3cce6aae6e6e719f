#!/usr/bin/env bash
# Installs what the build needs beyond what a fresh machine of this kind has (cmake, g++, GoogleTest,
# Google Benchmark, clang and valgrind are there): the mingw-w64 cross compiler for the Windows images.
set -euo pipefail
need=()
command -v x86_64-w64-mingw32-g++ >/dev/null || need+=(g++-mingw-w64-x86-64 mingw-w64-x86-64-dev)
command -v ninja >/dev/null || need+=(ninja-build)
if ((${#need[@]})); then
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
fi
