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
# The first client of a fresh wineserver starts Wine's background processes (wineboot, services.exe,
# winedevice.exe), which inherit its standard output and error and live as long as the server. Were
# that client a test, its caller (ctest) would wait for them to let go of the test's output until the
# server ends, long after the test itself: the first test of a run took nearly the whole run. So a
# fresh server is started here by a client of its own with no output, which also creates the prefix.
server_running() {
  local id pid
  id=$(printf 'server-%x-%x' $(stat -c '%d %i' "$WINEPREFIX"))
  for pid in $(pgrep wineserver); do
    [ "$(basename "$(readlink "/proc/$pid/cwd" 2>/dev/null)")" = "$id" ] && return 0
  done
  return 1
}
mkdir -p "$WINEPREFIX"
if [ ! -f "$WINEPREFIX/.kq-ready" ] || ! server_running; then
  # Under a lock, so that parallel tests neither race to make the prefix nor start two servers.
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.kq-ready" ] || ! server_running; then
      # (Without the lock: the server and its processes would hold it as long as they live.)
      "$loader" cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
      touch "$WINEPREFIX/.kq-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi
exec "$loader" "$exe" "$@"
