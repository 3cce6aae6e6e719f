#!/usr/bin/env bash
# Checks a Windows kernel driver image: PE32+ (x64), native subsystem, an entry point, and imports only
# from ntoskrnl.exe, HAL.dll and USBD.SYS. Usage: check-sys-image.sh IMAGE.sys
set -euo pipefail
image=${1:?usage: check-sys-image.sh IMAGE.sys}
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
fail() { echo "$image: $*" >&2; exit 1; }

[[ -f $image ]] || fail "no such image"
dump=$("$objdump" -p "$image") || fail "not a PE image"
grep -qE '^Magic[[:space:]]+020b' <<<"$dump" || fail "not PE32+ (x64)"
grep -qE '^Subsystem[[:space:]]+0+1[[:space:]]' <<<"$dump" || fail "subsystem is not native: $(grep -E '^Subsystem' <<<"$dump")"
entry=$(awk '/^AddressOfEntryPoint/ {print $2}' <<<"$dump")
[[ -n $entry && ! $entry =~ ^0+$ ]] || fail "no entry point"

dlls=$(awk '/DLL Name:/ {print $3}' <<<"$dump")
[[ -n $dlls ]] || fail "imports nothing (a driver imports at least ntoskrnl.exe)"
for dll in $dlls; do
  case ${dll,,} in
    ntoskrnl.exe | hal.dll | usbd.sys) ;;
    *) fail "imports from $dll (only ntoskrnl.exe, HAL.dll and USBD.SYS are allowed)" ;;
  esac
done
echo "$image: PE32+, native subsystem, imports from $(echo $dlls | tr ' ' ',')"
