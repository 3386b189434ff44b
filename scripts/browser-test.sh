#!/usr/bin/env bash
# The live view in a real browser: installs headless Chromium, its driver and Selenium for Python
# (Debian packages, idempotently), builds the tools if needed and runs tests/browser/serve_page_test.py.
# Usage: browser-test.sh [BUILD_DIR] [--flood SECONDS] (default build/linux).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/linux}
shift || true

packages=(chromium chromium-driver python3-selenium)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
if [ ! -x "$build/tools/kqmon" ] || [ ! -x "$build/tools/kqdemo" ]; then
  (cd "$root" && cmake --preset linux >/dev/null && cmake --build --preset linux -j2 --target kqmon kqdemo kqclient >/dev/null)
fi
# Debian's Selenium, not one a Python version manager may put first on PATH.
exec /usr/bin/python3 "$root/tests/browser/serve_page_test.py" "$build" "$@"
