#!/usr/bin/env bash
# kqtrace on a program nobody wrote for kq: the sqlite3 shell runs a small order-entry workload on a
# file database (SQLite needs no server), unmodified, and kqmon shows its statements live as they
# complete. demo.sh calls this after building; on its own:
#   bash scripts/trace-demo.sh [BUILD_DIR]     (default build/linux; builds kqtrace and kqmon if missing)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/linux}
# Absolute: the cases run from folders of their own.
build=$(cd "$build" && pwd)
say() { echo "trace-demo: $*"; }

if [ ! -x "$build/tools/kqtrace/kqtrace" ] || [ ! -x "$build/tools/kqmon" ]; then
  say "building kqtrace and kqmon"
  cmake --build "$build" -j2 --target kqtrace kqmon
fi
command -v sqlite3 >/dev/null || { say "the sqlite3 shell is needed (Debian package sqlite3)"; exit 1; }
kqtrace=$build/tools/kqtrace/kqtrace
kqmon=$build/tools/kqmon

work=$(mktemp -d)
trap 'kill "${monitor:-}" 2>/dev/null || true; rm -rf "$work"' EXIT

# The workload: a schema, a catalogue, orders placed line by line in transactions, a stock check that
# fails on a constraint, and the reports a shop runs at the end of the day.
{
  cat <<'SQL'
PRAGMA foreign_keys = ON;
CREATE TABLE customers (id INTEGER PRIMARY KEY, name TEXT NOT NULL, city TEXT);
CREATE TABLE products (sku TEXT PRIMARY KEY, name TEXT, price REAL, stock INTEGER CHECK (stock >= 0));
CREATE TABLE orders (id INTEGER PRIMARY KEY, customer_id INTEGER REFERENCES customers(id), placed_at TEXT, status TEXT);
CREATE TABLE order_lines (order_id INTEGER REFERENCES orders(id), sku TEXT REFERENCES products(sku), quantity INTEGER);
INSERT INTO customers (name, city) VALUES ('Ada Byrne', 'Cork'), ('Ben Okafor', 'Leeds'), ('Chen Wei', 'Perth');
INSERT INTO products VALUES ('SKU-1042', 'Kettle', 39.5, 12), ('SKU-2210', 'Teapot', 24.0, 4), ('SKU-3307', 'Mugs (4)', 18.0, 30);
SQL
  for n in 1 2 3 4 5 6; do
    customer=$(((n % 3) + 1))
    sku=$([ $((n % 2)) = 0 ] && echo SKU-1042 || echo SKU-3307)
    cat <<SQL
BEGIN;
INSERT INTO orders (customer_id, placed_at, status) VALUES ($customer, datetime('now'), 'open');
INSERT INTO order_lines VALUES (last_insert_rowid(), '$sku', $n);
UPDATE products SET stock = stock - $n WHERE sku = '$sku';
UPDATE orders SET status = 'paid' WHERE id = (SELECT max(id) FROM orders);
COMMIT;
SQL
  done
  cat <<'SQL'
UPDATE products SET stock = stock - 5 WHERE sku = 'SKU-2210';
SELECT c.name, count(o.id) AS orders FROM customers c LEFT JOIN orders o ON o.customer_id = c.id GROUP BY c.id ORDER BY orders DESC;
SELECT p.sku, p.stock FROM products p WHERE p.stock < 10 ORDER BY p.stock;
SELECT round(sum(l.quantity * p.price), 2) AS revenue FROM order_lines l JOIN products p ON p.sku = l.sku;
SQL
} >"$work/workload.sql"

# A namespace of its own, so that the demo never meets a real monitor or client on this machine.
export KQ_NAMESPACE=trace-demo-$$
say "kqmon watches; the sqlite3 shell runs $(grep -c ';$' "$work/workload.sql") statements under kqtrace"
say "(one fails on purpose: the stock of SKU-2210 would go below zero)"
echo
"$kqmon" watch --refno --time --until-detach --duration 60 2> >(tee "$work/kqmon.err" >&2) &
monitor=$!
# Registered once it says it waits for a client.
for _ in $(seq 300); do
  grep -q "waiting for" "$work/kqmon.err" 2>/dev/null && break
  sleep 0.1
done
echo "--- the shell's own output ---"
"$kqtrace" --name "sqlite3 shop.db" -- sqlite3 -header -column "$work/shop.db" <"$work/workload.sql" || true
echo "--- end of the shell's output ---"
wait "$monitor"
