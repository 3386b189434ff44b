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
# Absolute: the cases run from folders of their own.
build=$(cd "$build" && pwd)
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

# A monitor of its own for each traced run, which must have seen every statement of it.
traced_total() {  # LIBRARY CONNECTION COUNT
  "$kqmon" watch --format json --until-detach >"$work/watch.json" 2>/dev/null &
  monitor=$!
  for _ in $(seq 100); do "$kqmon" list 2>/dev/null | grep -q '^monitor ID' && break; sleep 0.1; done
  local instructions
  instructions=$(total "$1" "$2" "$3")
  wait $monitor 2>/dev/null || true
  monitor=
  local seen
  seen=$(grep -c '"kind":"statement"' "$work/watch.json" || true)
  [ "$seen" -eq "$3" ] || { echo "kqodbc-bench: the monitor saw $seen of $3 statements" >&2; exit 1; }
  echo "$instructions"
}

direct=$(per_statement "$driver" "Database=$work/bench.db")
quiet=$(per_statement "$proxy" "KqDriver=$driver;Database=$work/bench.db")
small=$(traced_total "$proxy" "KqDriver=$driver;Database=$work/bench.db" 200)
large=$(traced_total "$proxy" "KqDriver=$driver;Database=$work/bench.db" 1200)
traced=$(((large - small) / 1000))

printf '%-44s %12s\n' "instructions per statement" "count"
printf '%-44s %12d\n' "SQLite ODBC driver alone" "$direct"
printf '%-44s %12d  (+%d)\n' "through kqodbc, no monitor" "$quiet" $((quiet - direct))
printf '%-44s %12d  (+%d)\n' "through kqodbc, traced by kqmon watch" "$traced" $((traced - direct))
