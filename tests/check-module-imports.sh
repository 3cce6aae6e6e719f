#!/usr/bin/env bash
# Checks that a driver module for the emulated platform needs nothing but the exports of the given
# libraries (the emulated kernel, the USBD library), the sanitizer runtime and the loader's usual weak
# symbols, as a Windows driver may only import from the kernel. Usage:
#   check-module-imports.sh MODULE.so LIBRARY.so...
set -euo pipefail
module=${1:?usage: check-module-imports.sh MODULE.so LIBRARY.so...}
shift
(($# > 0)) || { echo "usage: check-module-imports.sh MODULE.so LIBRARY.so..." >&2; exit 2; }
[[ -f $module ]] || { echo "$module: no such module" >&2; exit 1; }

exports=$(for lib in "$@"; do nm -D --defined-only "$lib" | awk '{print $3}'; done | sed 's/@.*//' | sort -u)
undefined=$(nm -D --undefined-only "$module" | awk '{print $NF}' | sed 's/@.*//' | sort -u)
[[ -n $undefined ]] || { echo "$module: imports nothing" >&2; exit 1; }

bad=()
for symbol in $undefined; do
  case $symbol in
    __asan_* | __ubsan_* | __sanitizer_* | __lsan_*) continue ;;
    __cxa_finalize | __gmon_start__ | _ITM_deregisterTMCloneTable | _ITM_registerTMCloneTable) continue ;;
    # ntoskrnl exports these C run-time routines too, and the compiler emits calls to them by itself.
    memcpy | memmove | memset | memcmp) continue ;;
  esac
  grep -qxF "$symbol" <<<"$exports" || bad+=("$symbol")
done
if ((${#bad[@]})); then
  echo "$module: imports outside the emulated kernel's exports:" >&2
  printf '  %s\n' "${bad[@]}" >&2
  exit 1
fi
echo "$module: $(wc -w <<<"$undefined") imports, all from $(for l in "$@"; do basename "$l"; done | tr '\n' ' ')or the sanitizer runtime"
