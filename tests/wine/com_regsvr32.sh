#!/usr/bin/env bash
# regsvr32 of the host's Wine on a built kqclient.dll: registration writes the six values under
# HKEY_CLASSES_ROOT, unregistration removes them. Runs in a Wine prefix of its own, so that it never
# meets the registrations of other tests. Exit 77 (skipped) for an image this machine cannot run.
# Usage: com_regsvr32.sh DLL PREFIX
set -euo pipefail
dll=$1
export WINEPREFIX=$2
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

pe=$(od -An -t u4 -j 60 -N 4 "$dll" | tr -d ' ')
machine=$(od -An -t x2 -j $((pe + 4)) -N 2 "$dll" | tr -d ' ')
if [ "$machine" = 8664 ]; then
  wine=/usr/lib/wine/wine64
else
  wine=/usr/lib/wine/wine
  "$wine" cmd /c exit >/dev/null 2>&1 || { echo "com_regsvr32: cannot run 32-bit images here" >&2; exit 77; }
fi
mkdir -p "$(dirname "$WINEPREFIX")"
(flock 9; [ -f "$WINEPREFIX/.kq-ready" ] || { "$wine" cmd /c exit >/dev/null 2>&1 || true; touch "$WINEPREFIX/.kq-ready"; }) 9>"$WINEPREFIX.lock"

clsid='{CB9879E2-4395-11D0-9FFC-00A0248E4B9A}'
windll=$("$wine" winepath -w "$dll" 2>/dev/null | tr -d '\r')
status=0

query() {  # KEY [VALUE]: prints the data of a REG_SZ value, nothing when missing
  local args=("$1")
  if [ -n "${2:-}" ]; then args+=(/v "$2"); else args+=(/ve); fi
  "$wine" reg query "${args[@]}" 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ\s*//p'
}

expect() {  # KEY VALUE EXPECTED
  local got
  got=$(query "$1" "$2")
  if [ "$got" != "$3" ]; then
    echo "com_regsvr32: $1 [${2:-default}] is '$got', expected '$3'" >&2
    status=1
  fi
}

"$wine" regsvr32 /s "$windll" || { echo "com_regsvr32: registration failed" >&2; exit 1; }
expect "HKCR\\CLSID\\$clsid" "" "Vornel Orvalis Client Library"
server=$(query "HKCR\\CLSID\\$clsid\\InprocServer32" "")
case "${server,,}" in
  *kqclient.dll) ;;
  *) echo "com_regsvr32: InprocServer32 is '$server'" >&2; status=1 ;;
esac
expect "HKCR\\CLSID\\$clsid\\InprocServer32" ThreadingModel Both
expect "HKCR\\Vornel.KqClient" "" "Vornel Orvalis Client Library"
expect "HKCR\\Vornel.KqClient\\Clsid" "" "$clsid"
expect "HKCR\\CLSID\\$clsid\\ProgID" "" "Vornel.KqClient"

"$wine" regsvr32 /s /u "$windll" || { echo "com_regsvr32: unregistration failed" >&2; exit 1; }
for key in "HKCR\\CLSID\\$clsid" "HKCR\\Vornel.KqClient"; do
  if "$wine" reg query "$key" >/dev/null 2>&1; then
    echo "com_regsvr32: $key is still there" >&2
    status=1
  fi
done
[ $status -eq 0 ] && echo "com_regsvr32: six values written and removed"
exit $status
