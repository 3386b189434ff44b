#!/usr/bin/env bash
# The ODBC proxy under real programs: isql, iusql and pyodbc over psqlODBC (Unicode and ANSI drivers,
# against a throwaway PostgreSQL this script starts and always stops) and over the SQLite ODBC driver.
# Each program's output through the proxy must equal its output over the real driver alone, with and
# without a monitor, and `kqmon watch --format json` must show exactly its statements, in order. Also:
# a missing real driver is a clean ODBC error, bound values and catalog calls when a data source asks,
# and the harness over the fake driver. Registers everything in a private odbcinst.ini/odbc.ini
# (ODBCSYSINI), never the machine's. Each cross-process case runs in a KQ_NAMESPACE of its own.
# Usage: scripts/kqodbc-test.sh [BUILD_DIR]   (default build/linux; builds nothing)
# Ends with "kqodbc: P passed, F failed, S skipped".
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/linux}
# Absolute: the cases run from folders of their own.
build=$(cd "$build" && pwd)
bin=$build/tools/kqodbc
kqmon=$build/tools/kqmon
python=/usr/bin/python3
passed=0
failed=0
skipped=0

pass() { passed=$((passed + 1)); }
fail() {
  failed=$((failed + 1))
  echo "FAIL: $*"
}
skip() {
  skipped=$((skipped + 1))
  echo "SKIP: $*"
}
finish() {
  echo "kqodbc: $passed passed, $failed failed, $skipped skipped"
  [ "$failed" -eq 0 ]
  exit
}

for tool in "$bin/kqodbc" "$bin/libkqodbc.so" "$bin/libkqodbca.so" "$kqmon" "$bin/kqodbc-harness"; do
  if [ ! -e "$tool" ]; then
    fail "$tool is not built (cmake --build --preset linux --target kqodbc-tool kqodbc-harness kqmon)"
    finish
  fi
done
if ! command -v isql >/dev/null || ! command -v iusql >/dev/null || ! "$python" -c 'import pyodbc' 2>/dev/null ||
  ! grep -q '^\[PostgreSQL Unicode\]' /etc/odbcinst.ini || ! grep -q '^\[SQLite3\]' /etc/odbcinst.ini; then
  skip "unixODBC, psqlODBC, the SQLite ODBC driver or pyodbc is missing (scripts/setup.sh installs them)"
  finish
fi

work=$(mktemp -d /tmp/kqodbc-test.XXXXXX)
chmod 755 "$work"
monitor_pid=
cleanup() {
  [ -z "$monitor_pid" ] || kill "$monitor_pid" 2>/dev/null
  bash "$root/scripts/pg-server.sh" stop "$work/pg" >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

if ! pg_env=$(bash "$root/scripts/pg-server.sh" start "$work/pg"); then
  fail "the throwaway PostgreSQL did not start"
  finish
fi
eval "$pg_env"

# A private driver list and data sources: the real drivers, the proxy over each, and one data source
# straight to each real driver for the untraced runs.
export ODBCSYSINI=$work ODBCINI=$work/odbc.ini
cp /etc/odbcinst.ini "$work/odbcinst.ini"
: >"$work/odbc.ini"
pg_attrs=(--attr "Servername=$PGHOST" --attr "Port=$PGPORT" --attr "Database=$PGDATABASE" --attr "Username=$PGUSER")
install_log=$work/install.log
{
  "$bin/kqodbc" install "PostgreSQL Unicode" --dsn kq_pgw --system "${pg_attrs[@]}" &&
    "$bin/kqodbc" install "PostgreSQL ANSI" --dsn kq_pga --system "${pg_attrs[@]}" &&
    "$bin/kqodbc" install SQLite3 --dsn kq_lite --system --attr "Database=$work/lite.db" &&
    "$bin/kqodbc" install "PostgreSQL Unicode" --dsn kq_pgw_extra --system --params --catalog "${pg_attrs[@]}"
} >"$install_log" 2>&1
if [ $? -eq 0 ] && grep -q 'libkqodbc.so, ANSI and wide' "$install_log" &&
  grep -q '"kqodbc SQLite3" (.*libkqodbca.so, ANSI only)' "$install_log"; then
  pass
else
  fail "kqodbc install did not register the matching proxies:"
  cat "$install_log"
fi
cat >>"$work/odbc.ini" <<EOF
[direct_pgw]
Driver=PostgreSQL Unicode
Servername=$PGHOST
Port=$PGPORT
Database=$PGDATABASE
Username=$PGUSER

[direct_pga]
Driver=PostgreSQL ANSI
Servername=$PGHOST
Port=$PGPORT
Database=$PGDATABASE
Username=$PGUSER

[direct_lite]
Driver=SQLite3
Database=$work/lite.db

[kq_broken]
Driver=kqodbc SQLite3
KqDriver=$work/no-such-driver.so
Database=$work/lite.db
EOF

# One statement a line, the same for every driver: a table made, used, a failing statement, dropped.
workload=$work/workload.sql
cat >"$workload" <<'EOF'
CREATE TABLE kq_items (id integer, name varchar(20))
INSERT INTO kq_items VALUES (1, 'one')
INSERT INTO kq_items VALUES (2, 'two')
SELECT id, name FROM kq_items ORDER BY id
UPDATE kq_items SET name = 'zwei' WHERE id = 2
SELECT name FROM kq_missing_table
SELECT name FROM kq_items WHERE id = 2
DROP TABLE kq_items
EOF

cat >"$work/run.py" <<'EOF'
import sys, pyodbc
connection = pyodbc.connect("DSN=" + sys.argv[1], autocommit=True)
cursor = connection.cursor()
for line in open(sys.argv[2]):
    sql = line.strip()
    if not sql:
        continue
    try:
        cursor.execute(sql)
        if cursor.description:
            print([tuple(row) for row in cursor.fetchall()])
        else:
            print("rowcount", cursor.rowcount)
    except pyodbc.Error as error:
        print("error", error.args[0], error.args[1])
connection.close()
EOF

# The statements of a watch's JSON against the expected lines, in order, and the client's name.
cat >"$work/check.py" <<'EOF'
import json, sys
records = [json.loads(line) for line in open(sys.argv[1]) if line.strip()]
expected = [line.strip() for line in open(sys.argv[2]) if line.strip()]
name_prefix = sys.argv[3]
statements = [r for r in records if r.get("kind") == "statement"]
texts = [r["db.query.text"] for r in statements]
problems = []
if texts != expected:
    problems.append("statements %r, expected %r" % (texts, expected))
names = {r.get("kq.client.name", "") for r in statements}
if not statements or any(not n.startswith(name_prefix) for n in names):
    problems.append("client names %r, expected %r..." % (sorted(names), name_prefix))
# The outcome of each statement (status, rows, SQLSTATE of "kq_missing_table") is checked here once
# kqmon prints the outcome fields.
for problem in problems:
    print(problem)
sys.exit(1 if problems else 0)
EOF

run_program() {  # PROGRAM DSN OUTPUT
  case $1 in
    isql | iusql) "$1" -v -b "$2" <"$workload" >"$3" 2>&1 ;;
    pyodbc) "$python" "$work/run.py" "$2" "$workload" >"$3" 2>&1 ;;
  esac
  echo "exit $?" >>"$3"
}

start_monitor() {  # JSON_FILE
  "$kqmon" watch --format json --until-detach >"$1" 2>"$1.err" &
  monitor_pid=$!
  for _ in $(seq 100); do
    "$kqmon" list 2>/dev/null | grep -q '^monitor ID' && return 0
    sleep 0.1
  done
  return 1
}

stop_monitor() {  # waits for the watch to end at the client's detach, bounded
  for _ in $(seq 200); do
    kill -0 "$monitor_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$monitor_pid" 2>/dev/null
  wait "$monitor_pid" 2>/dev/null
  monitor_pid=
}

case_number=0
for driver in pgw pga lite; do
  for program in isql iusql pyodbc; do
    case_number=$((case_number + 1))
    export KQ_NAMESPACE=kqodbc-$$-$case_number
    what="$program over $driver"
    out=$work/$program-$driver
    run_program "$program" "direct_$driver" "$out.direct"
    run_program "$program" "kq_$driver" "$out.quiet"
    if cmp -s "$out.direct" "$out.quiet"; then pass; else
      fail "$what: output through the proxy without a monitor differs from the driver's alone:"
      diff "$out.direct" "$out.quiet" | head -20
    fi
    if ! start_monitor "$out.json"; then
      fail "$what: kqmon watch did not register"
      stop_monitor
      continue
    fi
    run_program "$program" "kq_$driver" "$out.traced"
    stop_monitor
    if cmp -s "$out.direct" "$out.traced"; then pass; else
      fail "$what: output while traced differs from the driver's alone:"
      diff "$out.direct" "$out.traced" | head -20
    fi
    prefix=$program
    [ "$program" != pyodbc ] || prefix=python3
    if "$python" "$work/check.py" "$out.json" "$workload" "$prefix" >"$out.check"; then pass; else
      fail "$what: the traced statements:"
      cat "$out.check" "$out.json.err"
    fi
    if grep -Eq 'kq_missing_table.*does not exist|no such table: kq_missing_table' "$out.direct"; then pass; else
      fail "$what: the failing statement's diagnostic is missing from the output"
    fi
  done
done

# A missing real driver: an ODBC error that says so, never a crash.
export KQ_NAMESPACE=kqodbc-$$-broken
for program in isql iusql; do
  echo "SELECT 1" | "$program" -v -b kq_broken >"$work/broken.$program" 2>&1
  status=$?
  # isql shows the SQLSTATE, iusql only the message.
  if [ "$status" -eq 1 ] && { [ "$program" = iusql ] || grep -q 'IM003' "$work/broken.$program"; } &&
    grep -q 'no-such-driver.so.*could not be loaded' "$work/broken.$program"; then pass; else
    fail "$program over a missing driver: exit $status, $(cat "$work/broken.$program")"
  fi
done
if "$python" -c 'import pyodbc; pyodbc.connect("DSN=kq_broken")' >"$work/broken.py" 2>&1; then
  fail "pyodbc connected over a missing driver"
elif grep -q "IM003.*could not be loaded" "$work/broken.py"; then pass; else
  fail "pyodbc over a missing driver: $(tail -1 "$work/broken.py")"
fi

# Bound values and catalog calls when the data source asks (KqParams=1, KqCatalog=1), and the
# parameter sets of one execution counted.
export KQ_NAMESPACE=kqodbc-$$-extra
cat >"$work/extra.py" <<'EOF'
import sys, pyodbc
connection = pyodbc.connect("DSN=" + sys.argv[1], autocommit=True)
cursor = connection.cursor()
cursor.execute("CREATE TABLE kq_p (id integer, name varchar(20))")
cursor.execute("INSERT INTO kq_p VALUES (?, ?)", 7, "seven")
cursor.fast_executemany = True
cursor.executemany("INSERT INTO kq_p VALUES (?, ?)", [(1, "a"), (2, "b"), (3, "c")])
print(len(cursor.tables(table="kq_p").fetchall()))
print(cursor.execute("SELECT count(*) FROM kq_p").fetchone()[0])
cursor.execute("DROP TABLE kq_p")
connection.close()
EOF
# pyodbc asks for four types' information when it connects.
cat >"$work/extra.expected" <<'EOF'
SQLGetTypeInfo('12')
SQLGetTypeInfo('-9')
SQLGetTypeInfo('-3')
SQLGetTypeInfo('93')
CREATE TABLE kq_p (id integer, name varchar(20))
INSERT INTO kq_p VALUES (?, ?) -- params: 7, 'seven'
INSERT INTO kq_p VALUES (?, ?) -- 3 parameter sets
SQLTables(NULL, NULL, 'kq_p', NULL)
SELECT count(*) FROM kq_p
DROP TABLE kq_p
EOF
if start_monitor "$work/extra.json"; then
  "$python" "$work/extra.py" kq_pgw_extra >"$work/extra.out" 2>&1
  stop_monitor
  if [ "$(cat "$work/extra.out")" = "$(printf '1\n4')" ]; then pass; else
    fail "pyodbc with values and catalog traced: $(cat "$work/extra.out")"
  fi
  if "$python" "$work/check.py" "$work/extra.json" "$work/extra.expected" python3 >"$work/extra.check"; then pass; else
    fail "values, parameter sets and catalog calls traced:"
    cat "$work/extra.check"
  fi
else
  fail "kqmon watch did not register for the values case"
  stop_monitor
fi

# The proxy over the fake driver, called as a manager would.
if "$bin/kqodbc-harness" "$bin/libkqodbc.so" "$bin/libkqodbca.so" "$bin/libkqodbcfake.so" >"$work/harness.log" 2>&1; then
  pass
else
  fail "the harness over the fake driver:"
  cat "$work/harness.log"
fi
finish
