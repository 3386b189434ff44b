#!/usr/bin/env bash
# Runs a Windows executable under Wine: the 64-bit loader for x86-64 images, the 32-bit one for i686.
# Each build gets a prefix of its own (KQ_WINEPREFIX, or one beside this script's checkout) and quiet logs.
set -euo pipefail
exe=$1
shift
pe=$(od -An -t u4 -j 60 -N 4 "$exe" | tr -d ' ')
machine=$(od -An -t x2 -j $((pe + 4)) -N 2 "$exe" | tr -d ' ')
if [ "$machine" = 8664 ]; then
  loader=/usr/lib/wine/wine64
  arch=64
else
  loader=/usr/lib/wine/wine
  arch=32
fi
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${KQ_WINEPREFIX:-$root/build/wineprefix$arch}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/.kq-ready" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  # One start creates the prefix; done under a lock so that parallel tests do not race to make it.
  (flock 9; [ -f "$WINEPREFIX/.kq-ready" ] || { "$loader" cmd /c exit >/dev/null 2>&1 || true; touch "$WINEPREFIX/.kq-ready"; }) 9>"$WINEPREFIX.lock"
fi
exec "$loader" "$exe" "$@"
