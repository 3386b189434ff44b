#!/usr/bin/env bash
# kqtrace against real programs: psql, pgbench, psycopg2, psycopg 3 against a throwaway PostgreSQL,
# the sqlite3 shell and Python's sqlite3, a program that forks and one that never touches a database.
# Each case runs its program untraced and then under kqtrace with `kqmon watch --format json` in a
# KQ_NAMESPACE of its own, and checks that the program's output is what it was untraced and that every
# statement arrived once and in order (against the statements the case runs, or against the server's
# own log of them). Ends with "kqtrace: P passed, F failed[, S skipped]".
#   bash scripts/kqtrace-test.sh [BUILD_DIR]     (default build/linux; builds what it needs)
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/linux}
# Absolute: the cases run from folders of their own.
build=$(cd "$build" && pwd)
cases=$root/tests/kqtrace
py=/usr/bin/python3  # Debian's modules (psycopg2, psycopg) are for Debian's interpreter

if [ ! -x "$build/tools/kqtrace/kqtrace" ] || [ ! -x "$build/tools/kqmon" ] || [ -n "${KQTRACE_TEST_BUILD:-}" ]; then
  cmake --build "$build" -j2 --target kqtrace kqmon >&2 || { echo "kqtrace: 0 passed, 1 failed"; exit 1; }
fi
kqtrace=$build/tools/kqtrace/kqtrace
kqmon=$build/tools/kqmon

work=$(mktemp -d /tmp/kqtrace-test.XXXXXX)
chmod 0755 "$work"
pg=$work/pg
cleanup() {
  [ -n "${monitor:-}" ] && kill "$monitor" 2>/dev/null
  bash "$root/scripts/pg-server.sh" stop "$pg" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

passed=0 failed=0 skipped=0
pass() { passed=$((passed + 1)); echo "PASS $1"; }
fail() { failed=$((failed + 1)); echo "FAIL $1: $2"; }
skip() { skipped=$((skipped + 1)); echo "SKIP $1: $2"; }

server=1
if ! eval "$(bash "$root/scripts/pg-server.sh" start "$pg")"; then
  server=0
  echo "kqtrace-test: no PostgreSQL server: its cases are skipped" >&2
else
  # The server's own record of every statement, the reference for simple-protocol programs.
  export PGOPTIONS="-c log_statement=all"
  pglog=$pg/server.log
fi

# pgbench prints times and rates, which differ between any two runs: those numbers are masked.
# psycopg 3 warns now and then, traced or not, that ending a pipeline after its error raced with the
# server ("error ignored terminating <psycopg.Pipeline ...>: pipeline aborted", 2 runs in 8 untraced
# here): that line is a property of the run, not of the tracing, so it is left out of both sides.
mask_races() { grep -v '^error ignored terminating <psycopg.Pipeline' "$1"; }
mask_times() { mask_races "$1" | sed -E 's/[0-9]+\.[0-9]+/T/g'; }

# run_case NAME CHECK MASK COMMAND...
#   CHECK: "expect:FILE" (NUL-separated statements), "server" (the server's log), "none"
#   MASK: 1 to mask times in the output before comparing
run_case() {
  local name=$1 check=$2 mask=$3
  shift 3
  local dir=$work/$name
  mkdir -p "$dir/plain" "$dir/traced"
  [ -n "${CASE_SETUP:-}" ] && (cd "$dir/plain" && eval "$CASE_SETUP")
  (cd "$dir/plain" && "$@" <"${CASE_INPUT:-/dev/null}" >"$dir/plain.out" 2>"$dir/plain.err")
  local plain_rc=$?

  export KQ_NAMESPACE="kqtrace-test-$$-$name"
  "$kqmon" watch --format json --until-detach --duration 120 --buffer-size 4096 --color never \
    --output "$dir/trace.jsonl" 2>"$dir/kqmon.err" &
  monitor=$!
  # kqmon says it waits once it is registered (polling with `kqmon list` would race with the watch:
  # list registers for a moment too).
  local waited=0
  until grep -q "waiting for" "$dir/kqmon.err" 2>/dev/null; do
    waited=$((waited + 1))
    if [ $waited -gt 600 ] || ! kill -0 "$monitor" 2>/dev/null; then
      kill "$monitor" 2>/dev/null
      wait "$monitor" 2>/dev/null
      monitor=
      unset KQ_NAMESPACE
      fail "$name" "kqmon did not start watching: $(cat "$dir/kqmon.err")"
      return
    fi
    sleep 0.1
  done
  [ -n "${CASE_SETUP:-}" ] && (cd "$dir/traced" && eval "$CASE_SETUP")
  local offset=0
  [ "$server" = 1 ] && offset=$(stat -c %s "$pglog")
  if [ -n "${CASE_DIRECT:-}" ]; then
    # The program loads the tracing itself (the SQLite extension): no kqtrace.
    (cd "$dir/traced" && KQTRACE_LOG=$dir/kqtrace.log bash -c "$CASE_DIRECT" <"${CASE_INPUT:-/dev/null}" \
      >"$dir/traced.out" 2>"$dir/traced.err")
  else
    # shellcheck disable=SC2086 # the options are words
    (cd "$dir/traced" && "$kqtrace" --log "$dir/kqtrace.log" ${CASE_OPTIONS:-} -- "$@" <"${CASE_INPUT:-/dev/null}" \
      >"$dir/traced.out" 2>"$dir/traced.err")
  fi
  local traced_rc=$?
  # The watch ends when the client detaches (at the program's exit); a generous bound otherwise.
  waited=0
  while kill -0 "$monitor" 2>/dev/null && [ $waited -lt 300 ]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  kill "$monitor" 2>/dev/null
  wait "$monitor" 2>/dev/null
  monitor=
  unset KQ_NAMESPACE

  local problem=
  [ "$plain_rc" = "$traced_rc" ] || problem="exit status $plain_rc untraced, $traced_rc traced"
  for stream in out err; do
    if [ "$mask" = 1 ]; then
      cmp -s <(mask_times "$dir/plain.$stream") <(mask_times "$dir/traced.$stream") ||
        problem="${problem:+$problem; }std$stream differs: $(diff <(mask_times "$dir/plain.$stream") <(mask_times "$dir/traced.$stream") | head -5)"
    else
      cmp -s <(mask_races "$dir/plain.$stream") <(mask_races "$dir/traced.$stream") ||
        problem="${problem:+$problem; }std$stream differs: $(diff <(mask_races "$dir/plain.$stream") <(mask_races "$dir/traced.$stream") | head -5)"
    fi
  done
  case $check in
    expect:*) check_out=$("$py" "$cases/check_trace.py" "$dir/trace.jsonl" --expect "${check#expect:}" 2>&1) ||
      problem="${problem:+$problem; }$check_out" ;;
    server) check_out=$("$py" "$cases/check_trace.py" "$dir/trace.jsonl" --server-log "$pglog" "$offset" 2>&1) ||
      problem="${problem:+$problem; }$check_out" ;;
  esac
  if [ -z "$problem" ]; then
    pass "$name${check_out:+ (${check_out#check: })}"
  else
    fail "$name" "$problem"
  fi
  check_out=
  LAST_CASE_DIR=$dir
}

# expect FILE STATEMENT... : the statements a case runs, in order
expect() {
  local file=$1
  shift
  : >"$file"
  for s in "$@"; do printf '%s\0' "$s" >>"$file"; done
}
repeat() { # repeat N STATEMENT... : the statements N times over
  local n=$1
  shift
  for ((i = 0; i < n; i++)); do printf '%s\0' "$@"; done
}

if [ "$server" = 1 ]; then
  # psql -c: a single statement through PQsendQuery; the program ends at once.
  expect "$work/c.exp" "select 1 as one, 'kq' as two"
  run_case psql-c "expect:$work/c.exp" 0 psql -X -c "select 1 as one, 'kq' as two"

  # psql -f with meta-commands (PQexec of psql's catalogue queries), COPY and a failing statement.
  cat >"$work/script.sql" <<'SQL'
DROP TABLE IF EXISTS kqt_orders;
CREATE TABLE kqt_orders (id int PRIMARY KEY, item text, qty int);
COPY kqt_orders FROM STDIN;
1	apple	3
2	pear	5
\.
\dt kqt_*
\d kqt_orders
SELECT item, qty FROM kqt_orders ORDER BY id;
SELECT 1 / 0;
UPDATE kqt_orders SET qty = qty + 1 WHERE id = 2;
COPY kqt_orders TO STDOUT;
SQL
  # Both runs start from the same state, so that the server's notices are the same.
  CASE_SETUP="psql -X -q -c 'DROP TABLE IF EXISTS kqt_orders' 2>/dev/null" run_case psql-f server 0 psql -X -f "$work/script.sql"

  # A failing statement alone, with ON_ERROR_STOP: an error status and the statement still traced.
  expect "$work/fail.exp" "!select * from no_such_table"
  run_case psql-error "expect:$work/fail.exp" 0 psql -X -v ON_ERROR_STOP=1 -c "select * from no_such_table"

  # pgbench -i: 126-odd PQexec calls, a COPY among them.
  CASE_SETUP="pgbench -i -s 1 -q >/dev/null 2>&1" run_case pgbench-init server 1 pgbench -i -s 1 -q

  # pgbench's three protocols over a script of its own (-n: no vacuum first).
  cat >"$work/bench.sql" <<'SQL'
\set aid random(1, 100000)
SELECT abalance FROM pgbench_accounts WHERE aid = :aid;
UPDATE pgbench_accounts SET abalance = abalance + 1 WHERE aid = :aid;
SQL
  for m in simple extended prepared; do
    if [ $m = simple ]; then
      # Values are in the text: the server's log is the reference.
      run_case pgbench-$m server 1 pgbench -n -M $m -t 20 -c 1 -f "$work/bench.sql"
    else
      # Values travel apart: the text has $1 ($1 also in the prepared statements made once).
      # -M prepared: each command is prepared (PQprepare, traced too) just before its first execution.
      select="SELECT abalance FROM pgbench_accounts WHERE aid = \$1;"
      update="UPDATE pgbench_accounts SET abalance = abalance + 1 WHERE aid = \$1;"
      if [ $m = prepared ]; then
        { printf '%s\0' "$select" "$select" "$update" "$update"; repeat 19 "$select" "$update"; } >"$work/bench-$m.exp"
      else
        repeat 20 "$select" "$update" >"$work/bench-$m.exp"
      fi
      run_case pgbench-$m "expect:$work/bench-$m.exp" 1 pgbench -n -M $m -t 20 -c 1 -f "$work/bench.sql"
    fi
  done

  # A pipeline: the statements are sent before any result is read, then paired in order.
  cat >"$work/pipeline.sql" <<'SQL'
\set aid random(1, 100000)
\startpipeline
SELECT abalance FROM pgbench_accounts WHERE aid = :aid;
UPDATE pgbench_accounts SET abalance = abalance - 1 WHERE aid = :aid;
SELECT count(*) FROM pgbench_branches;
\endpipeline
SQL
  repeat 10 "SELECT abalance FROM pgbench_accounts WHERE aid = \$1;" \
    "UPDATE pgbench_accounts SET abalance = abalance - 1 WHERE aid = \$1;" \
    "SELECT count(*) FROM pgbench_branches;" >"$work/pipeline.exp"
  run_case pgbench-pipeline "expect:$work/pipeline.exp" 1 pgbench -n -M extended -t 10 -f "$work/pipeline.sql"

  # psycopg2: simple protocol, the server's log is the reference.
  if "$py" -c "import psycopg2" 2>/dev/null; then
    run_case psycopg2 server 0 "$py" "$cases/psycopg2_case.py"
  else
    skip psycopg2 "python3-psycopg2 is not installed"
  fi

  # psycopg 3: ctypes, server-side binding, a pipeline with a failing statement (the third is aborted
  # by the server and still traced, once, with its own outcome).
  if "$py" -c "import psycopg" 2>/dev/null; then
    expect "$work/p3.exp" "DROP TABLE IF EXISTS kqt_p3" "CREATE TABLE kqt_p3 (id int, label text)" \
      "INSERT INTO kqt_p3 VALUES (\$1, \$2)" "SELECT label FROM kqt_p3 WHERE id = \$1" \
      "SELECT 1" "!SELECT 1 / 0" "!SELECT 2"
    run_case psycopg3 "expect:$work/p3.exp" 0 "$py" "$cases/psycopg3_case.py"
    # Bound values only when asked for, in the documented form (psycopg 3 sends small integers as
    # binary int2), and every one a ? with --redact.
    expect "$work/p3-params.exp" "DROP TABLE IF EXISTS kqt_p3" "CREATE TABLE kqt_p3 (id int, label text)" \
      "INSERT INTO kqt_p3 VALUES (\$1, \$2) /* \$1=<binary 2 bytes>, \$2='one' */" \
      "SELECT label FROM kqt_p3 WHERE id = \$1 /* \$1=<binary 2 bytes> */" "SELECT 1" "!SELECT 1 / 0" "!SELECT 2"
    CASE_OPTIONS=--params run_case psycopg3-params "expect:$work/p3-params.exp" 0 "$py" "$cases/psycopg3_case.py"
    expect "$work/p3-redact.exp" "DROP TABLE IF EXISTS kqt_p3" "CREATE TABLE kqt_p3 (id int, label text)" \
      "INSERT INTO kqt_p3 VALUES (\$1, \$2) /* \$1=?, \$2=? */" "SELECT label FROM kqt_p3 WHERE id = \$1 /* \$1=? */" \
      "SELECT 1" "!SELECT 1 / 0" "!SELECT 2"
    CASE_OPTIONS="--params --redact" run_case psycopg3-redact "expect:$work/p3-redact.exp" 0 "$py" \
      "$cases/psycopg3_case.py"
  else
    skip psycopg3 "python3-psycopg is not installed"
  fi

  # A program that forks: the child is a client of its own under its own process ID, and one watch
  # shows both (the parent's statements, then the child's).
  if "$py" -c "import psycopg2" 2>/dev/null; then
    expect "$work/fork.exp" "SELECT 'parent before fork'" "SELECT 'parent after fork'" "SELECT 'child'"
    run_case fork "expect:$work/fork.exp" 0 "$py" "$cases/fork_case.py"
    clients=$(grep -c ' attached' "$LAST_CASE_DIR/kqtrace.log" 2>/dev/null)
    ids=$(sed -n 's/.*client \([0-9]*\) .* attached.*/\1/p' "$LAST_CASE_DIR/kqtrace.log" | sort -u | wc -l)
    if [ "$clients" = 2 ] && [ "$ids" = 2 ]; then
      pass fork-child-client
    else
      fail fork-child-client "expected two clients with two IDs, the log says: $(cat "$LAST_CASE_DIR/kqtrace.log")"
    fi
  fi
else
  for c in psql-c psql-f psql-error pgbench-init pgbench-simple pgbench-extended pgbench-prepared pgbench-pipeline \
    psycopg2 psycopg3 psycopg3-params psycopg3-redact fork fork-child-client; do skip $c "no PostgreSQL server"; done
fi

# The sqlite3 shell: a workload on a file database, a statement that fails when it runs, and two that
# fail to compile (an unknown table; a syntax error with a ';' inside a literal after the fault).
if command -v sqlite3 >/dev/null; then
  cat >"$work/shell.sql" <<'SQL'
CREATE TABLE stock (sku TEXT PRIMARY KEY, qty INTEGER);
INSERT INTO stock VALUES ('a-1', 5), ('b-2', 7);
UPDATE stock SET qty = qty - 1 WHERE sku = 'a-1';
SELECT sku, qty FROM stock ORDER BY sku;
INSERT INTO stock VALUES ('a-1', 9);
SELECT * FROM no_such_table;
SELEC 'a;b' FROM stock;
SELECT count(*) FROM stock;
SQL
  expect "$work/shell.exp" "CREATE TABLE stock (sku TEXT PRIMARY KEY, qty INTEGER);" \
    "INSERT INTO stock VALUES ('a-1', 5), ('b-2', 7);" "UPDATE stock SET qty = qty - 1 WHERE sku = 'a-1';" \
    "SELECT sku, qty FROM stock ORDER BY sku;" "!INSERT INTO stock VALUES ('a-1', 9);" \
    "!SELECT * FROM no_such_table;" "!SELEC 'a;b' FROM stock;" "SELECT count(*) FROM stock;"
  # Loaded as an extension, kqtrace sees statements only through SQLite's trace callback: not the
  # failures to compile, and not the status of a statement that fails as it runs (SQLite records the
  # failure after it reported the end), so only the texts are checked.
  expect "$work/shell-ext.exp" "CREATE TABLE stock (sku TEXT PRIMARY KEY, qty INTEGER);" \
    "INSERT INTO stock VALUES ('a-1', 5), ('b-2', 7);" "UPDATE stock SET qty = qty - 1 WHERE sku = 'a-1';" \
    "SELECT sku, qty FROM stock ORDER BY sku;" "INSERT INTO stock VALUES ('a-1', 9);" "SELECT count(*) FROM stock;"
  CASE_SETUP="rm -f shop.db" CASE_INPUT=$work/shell.sql run_case sqlite3-shell "expect:$work/shell.exp" 0 sqlite3 shop.db
  # Rows: returned ones counted for a query, changed ones for INSERT/UPDATE/DELETE, none claimed for a
  # CREATE (SQLite's change count would still be an earlier statement's).
  rows=$("$py" -c '
import json, sys
rows = {}
for line in open(sys.argv[1]):
    r = json.loads(line)
    if r["kind"] == "statement":
        rows[r["db.query.text"]] = r.get("db.response.returned_rows", "absent")
print(rows.get("CREATE TABLE stock (sku TEXT PRIMARY KEY, qty INTEGER);", "absent"),
      rows.get("INSERT INTO stock VALUES (\x27a-1\x27, 5), (\x27b-2\x27, 7);", "absent"),
      rows.get("UPDATE stock SET qty = qty - 1 WHERE sku = \x27a-1\x27;", "absent"),
      rows.get("SELECT sku, qty FROM stock ORDER BY sku;", "absent"))' "$LAST_CASE_DIR/trace.jsonl" 2>&1)
  if [ "$rows" = "None 2 1 2" ]; then
    pass sqlite3-shell-rows
  else
    fail sqlite3-shell-rows "rows of CREATE, INSERT, UPDATE, SELECT: expected None 2 1 2, traced $rows"
  fi
else
  skip sqlite3-shell "the sqlite3 shell is not installed"
  skip sqlite3-shell-rows "the sqlite3 shell is not installed"
fi

# Python's sqlite3 module.
expect "$work/pysqlite.exp" "CREATE TABLE IF NOT EXISTS notes (id INTEGER PRIMARY KEY, body TEXT)" \
  "DELETE FROM notes" "INSERT INTO notes (body) VALUES (?)" "INSERT INTO notes (body) VALUES (?)" \
  "SELECT count(*) FROM notes" "!INSERT INTO notes (id, body) VALUES (1, 'clash')" "!SELECT body FROM missing_table"
expect "$work/pysqlite-ext.exp" "CREATE TABLE IF NOT EXISTS notes (id INTEGER PRIMARY KEY, body TEXT)" \
  "DELETE FROM notes" "INSERT INTO notes (body) VALUES (?)" "INSERT INTO notes (body) VALUES (?)" \
  "SELECT count(*) FROM notes" "INSERT INTO notes (id, body) VALUES (1, 'clash')"
CASE_SETUP="rm -f notes.db" run_case python-sqlite3 "expect:$work/pysqlite.exp" 0 "$py" "$cases/sqlite_case.py" notes.db

# The same tracing as a SQLite loadable extension, without kqtrace: the shell's .load (run untraced
# without it) and Python's load_extension.
tracer_lib=$build/tools/kqtrace/libkqtrace
if command -v sqlite3 >/dev/null; then
  CASE_SETUP="rm -f shop.db" CASE_INPUT=$work/shell.sql CASE_DIRECT="sqlite3 -cmd '.load $tracer_lib' shop.db" \
    run_case sqlite3-extension "expect:$work/shell-ext.exp" 0 sqlite3 shop.db
fi
CASE_SETUP="rm -f notes.db" CASE_DIRECT="KQT_EXTENSION=$tracer_lib $py $cases/sqlite_case.py notes.db" \
  run_case python-sqlite3-extension "expect:$work/pysqlite-ext.exp" 0 "$py" "$cases/sqlite_case.py" notes.db

# No monitor at all: the program runs as it does untraced (its client is made, its statements dropped).
if [ "$server" = 1 ]; then
  nomon=$work/nomon
  mkdir -p "$nomon"
  psql -X -c "select 'no monitor'" >"$nomon/plain.out" 2>&1
  KQ_NAMESPACE="kqtrace-test-$$-nomon" "$kqtrace" --log "$nomon/kqtrace.log" -- psql -X -c "select 'no monitor'" \
    >"$nomon/traced.out" 2>&1
  if cmp -s "$nomon/plain.out" "$nomon/traced.out" && grep -q ' attached' "$nomon/kqtrace.log" &&
    ! grep -q 'a monitor is registered' "$nomon/kqtrace.log"; then
    pass no-monitor
  else
    fail no-monitor "output or client differs: $(diff "$nomon/plain.out" "$nomon/traced.out" | head -3) $(cat "$nomon/kqtrace.log")"
  fi
fi

# A program that never touches a database takes no directory slot, and its output, errors and exit
# status pass through.
nodb=$work/nodb
mkdir -p "$nodb"
sh -c 'echo out; echo err >&2; exit 3' >"$nodb/plain.out" 2>"$nodb/plain.err"
plain_rc=$?
export KQ_NAMESPACE="kqtrace-test-$$-nodb"
"$kqtrace" --log "$nodb/kqtrace.log" -- sh -c 'echo out; echo err >&2; sleep 1; exit 3' \
  >"$nodb/traced.out" 2>"$nodb/traced.err" &
traced=$!
sleep 0.5
listed=$("$kqmon" list --format json 2>/dev/null | sed -n 's/.*"kq.client.count":\([0-9]*\).*/\1/p')
wait "$traced"
traced_rc=$?
unset KQ_NAMESPACE
if [ "$plain_rc" = "$traced_rc" ] && cmp -s "$nodb/plain.out" "$nodb/traced.out" &&
  cmp -s "$nodb/plain.err" "$nodb/traced.err" && [ "${listed:-0}" = 0 ] && [ ! -s "$nodb/kqtrace.log" ]; then
  pass no-database
else
  fail no-database "exit $plain_rc/$traced_rc, clients listed: ${listed:-?}, log: $(cat "$nodb/kqtrace.log" 2>/dev/null)"
fi

echo "kqtrace: $passed passed, $failed failed${skipped:+, $skipped skipped}"
[ "$failed" = 0 ]
