#!/usr/bin/env bash
# Sets up the machine, builds every preset and runs every test: linux, linux-asan and linux-tsan
# natively, the Windows builds under Wine, and the fuzz target for a bounded time.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/setup.sh || { echo "set-up failed"; exit 1; }

passed=0
failed=0
problems=()

# Runs ctest for a preset and adds its counts to the totals.
run_ctest() {
  local preset=$1
  local log="build/$preset/ctest.log"
  ctest --preset "$preset" 2>&1 | tee "$log"
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
  if [ -z "$line" ]; then
    problems+=("$preset: ctest ran no test")
    failed=$((failed + 1))
    return
  fi
  local total bad
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.*, ([0-9]+) tests? failed.*/\1/' <<<"$line")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  [ "$bad" -eq 0 ] || problems+=("$preset: $bad test(s) failed")
}

build() {
  local preset=$1
  if ! cmake --preset "$preset" >"build-$preset.log" 2>&1 || ! cmake --build --preset "$preset" -j2 >>"build-$preset.log" 2>&1; then
    tail -40 "build-$preset.log"
    problems+=("$preset: build failed")
    failed=$((failed + 1))
    return 1
  fi
  rm -f "build-$preset.log"
}

# True when this machine can execute 32-bit x86 code (some kernels are built without it).
can_run_32bit() { /lib/ld-linux.so.2 --version >/dev/null 2>&1; }

for preset in linux linux-asan linux-tsan; do
  echo "=== $preset"
  build "$preset" && run_ctest "$preset"
done

echo "=== log pipeline (kqmon's JSON lines through rsyslog)"
if timeout 120 bash scripts/pipeline-test.sh build/linux; then
  passed=$((passed + 1))
else
  problems+=("pipeline: rsyslog did not receive every statement with its fields")
  failed=$((failed + 1))
fi

echo "=== win32 (the product: i686 kqclient.dll)"
if build win32; then
  if bash scripts/check-dll.sh build/win32/com/kqclient.dll; then
    passed=$((passed + 1))
  else
    problems+=("win32: kqclient.dll exports or imports are wrong")
    failed=$((failed + 1))
  fi
  if can_run_32bit; then
    run_ctest win32
  else
    echo "note: this machine cannot execute 32-bit x86 code, so the i686 tests run as the win64 build under 64-bit Wine"
  fi
fi

echo "=== win64 (the same Windows code, tests under Wine)"
build win64 && run_ctest win64

echo "=== fuzz"
if bash scripts/fuzz.sh 30; then
  passed=$((passed + 1))
else
  problems+=("fuzz: the fuzz target found a crash")
  failed=$((failed + 1))
fi

for p in "${problems[@]}"; do echo "FAILED: $p"; done
echo "kq: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
