#!/usr/bin/env bash
# Makes the release archives in build/packages/: kq-VERSION-linux-ARCH.tar.gz and .deb from the linux
# preset, kq-VERSION-win32.zip and kq-VERSION-win64.zip from the win32 and win64 presets (each with the
# kqodbc proxy DLLs and kqodbc.exe of its width, for the applications of that width). Builds what is
# not built yet.
# Usage: scripts/package.sh [PRESET...]   (linux, win32 or win64; default: linux win32 win64)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(linux win32 win64)
out="$root/build/packages"

bash scripts/setup.sh
mkdir -p "$out"
for preset in "${presets[@]}"; do
  case "$preset" in
    linux | win32 | win64) ;;
    *)
      echo "package: no archives for preset $preset (linux, win32 or win64)" >&2
      exit 2
      ;;
  esac
  echo "package: $preset: configuring and building build/$preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2
  echo "package: $preset: packing"
  log="$root/build/$preset/cpack.log"
  if ! (cd "build/$preset" && cpack -B "$out" >"$log" 2>&1); then
    cat "$log" >&2
    echo "package: $preset: cpack failed" >&2
    exit 1
  fi
  sed -n 's/^CPack: - package: \(.*\) generated\.$/package: made \1/p' "$log"
done
