#!/usr/bin/env bash
# Instructions per statement (callgrind, repeatable whatever else the machine does) of
# SQLExecDirect + SQLFetch + SQLFreeStmt over the SQLite ODBC driver alone, through the kqodbc proxy
# with no monitor, and through it while `kqmon watch` traces every statement. Per statement is the
# difference between a run of 1200 statements and one of 200, divided by 1000, so that loading and
# connecting cancel out.
#   scripts/kqodbc-bench.sh [BUILD_DIR]   (default build/linux)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/linux}
cost=$build/tools/kqodbc/kqodbc-statement-cost
proxy=$build/tools/kqodbc/libkqodbca.so
kqmon=$build/tools/kqmon
driver=$(ls /usr/lib/*/odbc/libsqlite3odbc.so | head -1)
[ -x "$cost" ] && [ -f "$proxy" ] || { echo "kqodbc-bench: build kqodbc-statement-cost and kqodbca first" >&2; exit 1; }
command -v valgrind >/dev/null || { echo "kqodbc-bench: valgrind is missing" >&2; exit 1; }

work=$(mktemp -d)
monitor=
trap '[ -z "$monitor" ] || kill $monitor 2>/dev/null; rm -rf "$work"' EXIT
export KQ_NAMESPACE=kqodbc-bench-$$

total() {  # LIBRARY CONNECTION COUNT -> instructions of the whole run
  valgrind --tool=callgrind --callgrind-out-file="$work/out" "$cost" "$1" "$2" "$3" >/dev/null 2>&1
  callgrind_annotate "$work/out" 2>/dev/null | sed -n 's/^ *\([0-9,]*\) .*PROGRAM TOTALS.*/\1/p' | tr -d ,
}
per_statement() {  # LIBRARY CONNECTION
  local small large
  small=$(total "$1" "$2" 200)
  large=$(total "$1" "$2" 1200)
  echo $(((large - small) / 1000))
}

direct=$(per_statement "$driver" "Database=$work/bench.db")
quiet=$(per_statement "$proxy" "KqDriver=$driver;Database=$work/bench.db")
"$kqmon" watch --format json >/dev/null 2>&1 &
monitor=$!
for _ in $(seq 100); do "$kqmon" list 2>/dev/null | grep -q '^monitor ID' && break; sleep 0.1; done
traced=$(per_statement "$proxy" "KqDriver=$driver;Database=$work/bench.db")
kill $monitor
wait $monitor 2>/dev/null || true
monitor=

printf '%-44s %12s\n' "instructions per statement" "count"
printf '%-44s %12d\n' "SQLite ODBC driver alone" "$direct"
printf '%-44s %12d  (+%d)\n' "through kqodbc, no monitor" "$quiet" $((quiet - direct))
printf '%-44s %12d  (+%d)\n' "through kqodbc, traced by kqmon watch" "$traced" $((traced - direct))
