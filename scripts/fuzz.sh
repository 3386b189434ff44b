#!/usr/bin/env bash
# Builds the libFuzzer preset and runs the trace-buffer fuzz target for about 30 s on a seed corpus
# of valid buffers. Usage: scripts/fuzz.sh [seconds]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-30}"
build="${KQ_FUZZ_BUILD_DIR:-$root/build/linux-fuzz}"

if [ -n "${KQ_FUZZ_BUILD_DIR:-}" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKQ_FUZZ=ON
else
  cmake --preset linux-fuzz -S "$root"
fi
cmake --build "$build" -j2 --target ipc_buffer_fuzz ipc_buffer_make_seeds

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$build/fuzz/ipc_buffer_make_seeds" "$work/seeds"
mkdir -p "$work/corpus"
cd "$work"
"$build/fuzz/ipc_buffer_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -max_len=8192 "$work/corpus" "$work/seeds"
