#!/usr/bin/env bash
# What kqtrace costs a real program: pgbench against a throwaway PostgreSQL, side by side in one run,
# untraced; under kqtrace with no monitor; under kqtrace with kqmon draining (JSON to /dev/null); and
# with the server's own statement log (log_statement = all, to its log file). Prints a Markdown table:
# the median tps of several short rounds (select-only and TPC-B-like, one client), and pgbench's
# instructions per transaction under callgrind (the difference of two fixed transaction counts, so
# that start-up and connection cancel out). Not a test: the goals are read off the table.
#   bash scripts/kqtrace-bench.sh [--rounds N] [--seconds S] [--no-callgrind] [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
rounds=5 seconds=3 callgrind=1 build=$root/build/linux
while [ $# -gt 0 ]; do
  case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --no-callgrind) callgrind=0; shift ;;
    -*) echo "usage: $0 [--rounds N] [--seconds S] [--no-callgrind] [BUILD_DIR]" >&2; exit 2 ;;
    *) build=$1; shift ;;
  esac
done
[ -x "$build/tools/kqtrace/kqtrace" ] || cmake --build "$build" -j2 --target kqtrace kqmon >&2
kqtrace=$build/tools/kqtrace/kqtrace
kqmon=$build/tools/kqmon
bindir=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -1)
pgbench=$bindir/pgbench  # the program itself, not Debian's wrapper script (callgrind follows no exec)

work=$(mktemp -d /tmp/kqtrace-bench.XXXXXX)
chmod 0755 "$work"
monitor=
cleanup() {
  [ -n "$monitor" ] && kill "$monitor" 2>/dev/null
  bash "$root/scripts/pg-server.sh" stop "$work/pg" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
eval "$(bash "$root/scripts/pg-server.sh" start "$work/pg")"
"$pgbench" -i -s 5 -q >/dev/null 2>&1
export KQ_NAMESPACE=kqtrace-bench-$$

start_monitor() {
  "$kqmon" watch --format json --output /dev/null --duration 3600 --buffer-size 1024 2>"$work/kqmon.err" &
  monitor=$!
  for _ in $(seq 300); do
    grep -q "waiting for" "$work/kqmon.err" 2>/dev/null && return
    sleep 0.1
  done
}
stop_monitor() {
  kill "$monitor" 2>/dev/null || true
  wait "$monitor" 2>/dev/null || true
  monitor=
}

# run MODE ARGS...: pgbench under one of the four set-ups
run() {
  local mode=$1
  shift
  case $mode in
    untraced) PGOPTIONS='' "$@" ;;
    nomon) PGOPTIONS='' "$kqtrace" -- "$@" ;;
    kqmon) start_monitor; PGOPTIONS='' "$kqtrace" -- "$@"; stop_monitor ;;
    serverlog) PGOPTIONS="-c log_statement=all" "$@" ;;
  esac
}

median() { sort -n | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

modes=(untraced nomon kqmon serverlog)
declare -A tps
for workload in select tpcb; do
  flag=
  [ $workload = select ] && flag=-S
  for mode in "${modes[@]}"; do : >"$work/$workload-$mode"; done
  # Interleaved rounds: a drift of the machine's load spreads over every mode alike.
  for ((r = 0; r < rounds; r++)); do
    for mode in "${modes[@]}"; do
      run $mode "$pgbench" -n $flag -c 1 -T "$seconds" 2>/dev/null |
        sed -n 's/^tps = \([0-9.]*\) .*/\1/p' >>"$work/$workload-$mode"
    done
  done
  for mode in "${modes[@]}"; do tps[$workload-$mode]=$(median <"$work/$workload-$mode"); done
done

declare -A ipt
if [ $callgrind = 1 ] && command -v valgrind >/dev/null; then
  count() { # count MODE TRANSACTIONS: pgbench's instructions under callgrind
    local out=$work/cg.$1.$2
    run $1 valgrind --tool=callgrind --callgrind-out-file="$out" "$pgbench" -n -S -c 1 -t "$2" >/dev/null 2>&1
    sed -n 's/^summary: //p' "$out"
  }
  for mode in untraced nomon kqmon; do
    small=$(count $mode 1000)
    large=$(count $mode 3000)
    ipt[$mode]=$(((large - small) / 2000))
  done
fi

pct() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%+.1f %%", (a - b) * 100 / b }'; }
echo
echo "| set-up | select-only tps | vs untraced | TPC-B-like tps | vs untraced | instructions / select-only tx |"
echo "|---|---|---|---|---|---|"
for mode in "${modes[@]}"; do
  label=$mode
  case $mode in
    untraced) label="untraced" ;;
    nomon) label="kqtrace, no monitor" ;;
    kqmon) label="kqtrace, kqmon draining" ;;
    serverlog) label="log_statement = all" ;;
  esac
  s=${tps[select-$mode]} t=${tps[tpcb-$mode]}
  i=${ipt[$mode]:-n/a}
  [ "$i" != n/a ] && [ "$mode" != untraced ] && i="$i ($(pct "$i" "${ipt[untraced]}"))"
  echo "| $label | $s | $(pct "$s" "${tps[select-untraced]}") | $t | $(pct "$t" "${tps[tpcb-untraced]}") | $i |"
done
echo
echo "Goal: each kqtrace row loses at most a quarter of what the log_statement row loses (tps), and adds"
echo "at most 10 % instructions per transaction. ${rounds} rounds of ${seconds} s, medians; $(nproc) cores."
