#!/usr/bin/env bash
# Runs every side-by-side benchmark and prints one Markdown table: the library (a driver loading
# it, `kqmon watch --refno --time` writing to a pipe) beside the floor model in the same run, the
# callgrind instruction counts, and, where Wine can run the i686 build, SubmitStatement beside a bare
# SetEvent under Wine.
#   scripts/bench.sh [--repeat N] [--scale PERCENT] [--no-wine]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
repeat=3
scale=100
wine=1
while [ $# -gt 0 ]; do
  case $1 in
    --repeat) repeat=$2; shift 2 ;;
    --scale) scale=$2; shift 2 ;;
    --no-wine) wine=0; shift ;;
    *) echo "usage: $0 [--repeat N] [--scale PERCENT] [--no-wine]" >&2; exit 2 ;;
  esac
done
bash scripts/setup.sh >/dev/null
{
  cmake --preset linux && cmake --build --preset linux -j2 --target kq_e2e kq_icount kqmon kqclient kq_signal_cost
} >build-bench.log 2>&1 || { tail -30 build-bench.log; exit 1; }
rm -f build-bench.log

cpu=$(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo)
echo "Machine: $cpu, $(nproc) cores, Linux $(uname -r), load average $(cut -d' ' -f1-3 /proc/loadavg) at the start"
echo
build/linux/bench/kq_e2e --repeat "$repeat" --scale "$scale"
echo
bash scripts/icount.sh --build build/linux | grep '^|' || true
echo
KQ_NAMESPACE="bench-$$" build/linux/bench/kq_signal_cost 200000 | sed 's/^/linux: /'

if [ "$wine" -eq 1 ] && /lib/ld-linux.so.2 --version >/dev/null 2>&1 && [ -x /usr/lib/wine/wine ]; then
  if { cmake --preset win32 && cmake --build --preset win32 -j2 --target kq_signal_cost; } >build-bench-win32.log 2>&1; then
    rm -f build-bench-win32.log
    KQ_NAMESPACE="bench-$$" bash scripts/wine-run.sh build/win32/bench/kq_signal_cost.exe 20000 2>/dev/null | tr -d '\r' |
      sed 's/^/win32 under Wine: /'
  else
    echo "win32 build failed (see build-bench-win32.log)"
  fi
fi
