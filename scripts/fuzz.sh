#!/usr/bin/env bash
# Builds the libFuzzer preset and runs each fuzz target for the given seconds (default 20): the trace
# buffer on a seed corpus of valid buffers; the directory section, the event records, the outcome
# behind a statement, kqmon's statement scanner (redaction, fingerprints), kqtrace's text handling
# (UTF-8 conversion, client names, bound values) and kqodbc's (connection strings, ANSI/wide text,
# catalog calls) from scratch.
# Usage: scripts/fuzz.sh [seconds per target] [target...]   (no target: every one)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-20}"
[ $# -gt 0 ] && shift
all_targets=(ipc_buffer_fuzz client_directory_fuzz ipc_event_fuzz sql_redaction_fuzz record_outcome_fuzz
  kqtrace_text_fuzz kqodbc_text_fuzz)
targets=("${@:-${all_targets[@]}}")
for target in "${targets[@]}"; do
  [[ " ${all_targets[*]} " == *" $target "* ]] || { echo "fuzz: no target $target (${all_targets[*]})"; exit 2; }
done
build="${KQ_FUZZ_BUILD_DIR:-$root/build/linux-fuzz}"

if [ -n "${KQ_FUZZ_BUILD_DIR:-}" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKQ_FUZZ=ON
else
  cmake --preset linux-fuzz -S "$root"
fi
if ! cmake --build "$build" -j2 --target ipc_buffer_fuzz ipc_buffer_make_seeds client_directory_fuzz ipc_event_fuzz \
  sql_redaction_fuzz record_outcome_fuzz kqtrace_text_fuzz kqodbc_text_fuzz; then
  echo "fuzz: the fuzz targets did not build"
  exit 1
fi

work="$(mktemp -d)"
# A crashing input outlives the scratch directory, so that it can be replayed: $build/fuzz/TARGET FILE
artifacts="$build/artifacts"
mkdir -p "$artifacts"
trap 'rm -rf "$work"' EXIT
"$build/fuzz/ipc_buffer_make_seeds" "$work/seeds"
cd "$work"
failed=()
for target in "${targets[@]}"; do
  echo "=== fuzz: $target for $seconds s"
  mkdir -p "$work/corpus-$target"
  seeds=()
  [ "$target" = ipc_buffer_fuzz ] && seeds=("$work/seeds")
  # Every target runs whatever an earlier one found; the last lines say which failed and how.
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$artifacts/" \
    -max_len=8192 "$work/corpus-$target" "${seeds[@]}" >"$work/$target.out" 2>&1; then
    how=$(grep -m1 -E '^==[0-9]+== ?ERROR|deadly signal|ALARM: working on the last Unit|out-of-memory|runtime error' \
      "$work/$target.out" || echo "exit without a libFuzzer report")
    input=$(grep -m1 -o "Test unit written to [^ ]*" "$work/$target.out" || true)
    failed+=("$target: $how${input:+ ($input)}")
  fi
  cat "$work/$target.out"
done
for f in "${failed[@]}"; do echo "fuzz: $f"; done
[ ${#failed[@]} -eq 0 ]
