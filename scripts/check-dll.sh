#!/usr/bin/env bash
# Checks a built kqclient.dll: exactly the four COM server entry points, exported undecorated, and
# imports from system DLLs only (the MinGW runtime must be linked in).
# Usage: check-dll.sh DLL [OBJDUMP]   (OBJDUMP defaults to the i686 cross toolchain's)
set -euo pipefail
dll=$1
objdump=${2:-i686-w64-mingw32-objdump}
dump=$("$objdump" -p "$dll")
status=0

exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort)
expected=$(printf '%s\n' DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer)
if [ "$exports" != "$expected" ]; then
  echo "check-dll: exports differ from the four entry points:" >&2
  printf '%s\n' "$exports" >&2
  status=1
fi

while read -r name; do
  case "${name,,}" in
    kernel32.dll | advapi32.dll | ole32.dll | oleaut32.dll | user32.dll | msvcrt.dll | api-ms-win-*) ;;
    *)
      echo "check-dll: imports a non-system DLL: $name" >&2
      status=1
      ;;
  esac
done < <(printf '%s\n' "$dump" | sed -n 's/^\s*DLL Name: //p')

[ $status -eq 0 ] && echo "check-dll: $dll exports the four entry points and imports system DLLs only"
exit $status
