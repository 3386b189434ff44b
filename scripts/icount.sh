#!/usr/bin/env bash
# Instructions per statement on the statement path and per record read by the monitor's reader,
# counted by callgrind (repeatable whatever else the machine does), beside the floor model's.
# Fails when the statement path's or the reader's count grew more than 10 % over the baseline
# committed in bench/icount_baseline.txt.
#   scripts/icount.sh [--build DIR] [--update]    --update writes the counts as the new baseline
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build/linux
update=0
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$2; shift 2 ;;
    --update) update=1; shift ;;
    *) echo "usage: $0 [--build DIR] [--update]" >&2; exit 2 ;;
  esac
done
icount=$build/bench/kq_icount
baseline=$root/bench/icount_baseline.txt
count=100000
[ -x "$icount" ] || { echo "icount: $icount is not built" >&2; exit 1; }
command -v valgrind >/dev/null || { echo "icount: valgrind is missing (scripts/setup.sh installs it)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# per WORKLOAD FUNCTION UNIT: instructions inside FUNCTION (and what it calls) per UNIT, where UNIT
# is "statements" or "records" as the workload reports them.
per() {
  local workload=$1 function=$2 unit=$3 out="$work/$1-$3"
  KQ_NAMESPACE="icount-$$" valgrind --tool=callgrind --callgrind-out-file="$out" --toggle-collect="$function" \
    "$icount" "$workload" "$count" >"$out.stdout" 2>"$out.stderr" || { cat "$out.stderr" >&2; return 1; }
  local total units
  total=$(awk '/^(summary|totals):/ {print $2; exit}' "$out")
  units=$(awk -v unit="$unit" '{for (i = 1; i < NF; ++i) if ($i == unit) print $(i + 1)}' "$out.stdout")
  [ -n "$total" ] && [ -n "$units" ] && [ "$units" -gt 0 ] || { echo "icount: no count for $function" >&2; return 1; }
  awk -v t="$total" -v u="$units" 'BEGIN {printf "%.1f", t / u}'
}

statement=$(per kq 'kq::TKqClient::SubmitStatement(*' statements)
outcome=$(per kq-outcome 'kq::TKqClient::SubmitStatementOutcome*' statements)
outcomeError=$(per kq-outcome-error 'kq::TKqClient::SubmitStatementOutcome*' statements)
reader=$(per kq '*BufferReader::ReadNewerViews*' records)
floorStatement=$(per floor '*FloorProducer::Submit*' statements)
floorReader=$(per floor '*FloorConsumer::Take*' records)

echo "| instructions (callgrind) | kq | floor model | kq / floor |"
echo "|---|---|---|---|"
awk -v k="$statement" -v f="$floorStatement" 'BEGIN {printf "| per statement, SubmitStatement | %s | %s | %.2f |\n", k, f, k / f}'
awk -v k="$reader" -v f="$floorReader" 'BEGIN {printf "| per record read (copy and check) | %s | %s | %.2f |\n", k, f, k / f}'
echo
echo "| instructions (callgrind) | per statement | / SubmitStatement |"
echo "|---|---|---|"
awk -v s="$statement" 'BEGIN {printf "| SubmitStatement | %s | 1.00 |\n", s}'
awk -v o="$outcome" -v s="$statement" 'BEGIN {printf "| SubmitStatementOutcome, success | %s | %.2f |\n", o, o / s}'
awk -v o="$outcomeError" -v s="$statement" 'BEGIN {printf "| SubmitStatementOutcome, error with a 42-unit message | %s | %.2f |\n", o, o / s}'

if [ "$update" -eq 1 ]; then
  printf '# Instructions per statement and per record read, counted by scripts/icount.sh (callgrind).\n# CI fails when a count grows more than 10 %% over these.\nstatement %s\nreader %s\noutcome %s\n' \
    "$statement" "$reader" "$outcome" >"$baseline"
  echo "icount: baseline written to $baseline"
  exit 0
fi
[ -f "$baseline" ] || { echo "icount: no baseline ($baseline); run with --update" >&2; exit 1; }
status=0
for name in statement reader outcome; do
  now=${!name}
  base=$(awk -v n="$name" '$1 == n {print $2}' "$baseline")
  if awk -v now="$now" -v base="$base" 'BEGIN {exit !(now > base * 1.10)}'; then
    echo "icount: FAILED: $name takes $now instructions, more than 10 % over the baseline $base"
    status=1
  else
    echo "icount: $name $now instructions (baseline $base)"
  fi
done
exit $status
