#!/usr/bin/env bash
# Proves the JSON lines of `kqmon watch --format json --output FILE` in a real log pipeline: rsyslog
# (Debian's package, run unprivileged in a temporary folder) follows the file with imfile, parses each
# line with mmjsonparse and writes what it parsed; every statement kqdemo traced must arrive there with
# all of its fields. Usage: pipeline-test.sh [BUILD_DIR] (default build/linux, built if needed).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/linux}

if ! dpkg-query -W -f='${Status}' rsyslog 2>/dev/null | grep -q 'install ok installed'; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  # The package's own service start is not wanted: the test runs its own rsyslogd.
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends rsyslog >/dev/null
fi
if [ ! -x "$build/tools/kqmon" ] || [ ! -x "$build/tools/kqdemo" ]; then
  cmake --preset linux >/dev/null
  cmake --build --preset linux -j2 --target kqmon kqdemo kqclient >/dev/null
fi

tmp=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT
export KQ_NAMESPACE=pipeline-$$
mkdir -p "$tmp/work"

cat >"$tmp/statements.sql" <<'SQL'
SELECT c.id, c.name FROM customers c WHERE c.name = 'O''Brien'
INSERT INTO notes (body) VALUES ('a "quoted" word, a back\slash and a tab:	end')
UPDATE prices SET amount = 12.50 WHERE currency = '€' AND region = 'Zürich'
DELETE FROM sessions WHERE last_seen < CURRENT_TIMESTAMP - INTERVAL '30 minutes'
COMMIT
SQL

cat >"$tmp/rsyslog.conf" <<CONF
global(workDirectory="$tmp/work" maxMessageSize="64k")
module(load="imfile" mode="polling" pollingInterval="1")
module(load="mmjsonparse")
template(name="parsed" type="string" string="%\$!%\n")
ruleset(name="kqmon") {
  action(type="mmjsonparse" cookie="")
  if \$parsesuccess == "OK" then {
    action(type="omfile" file="$tmp/parsed.jsonl" template="parsed")
  } else {
    action(type="omfile" file="$tmp/unparsed.txt")
  }
}
input(type="imfile" file="$tmp/kqmon.jsonl" tag="kqmon" ruleset="kqmon" freshStartTail="off")
CONF
rsyslogd -n -f "$tmp/rsyslog.conf" -i "$tmp/rsyslog.pid" >"$tmp/rsyslog.log" 2>&1 &
pids+=($!)

"$build/tools/kqmon" watch --format json --output "$tmp/kqmon.jsonl" --until-detach --duration 60 2>"$tmp/kqmon.err" &
monitor=$!
pids+=("$monitor")
for _ in $(seq 100); do
  "$build/tools/kqmon" list | grep -q '^monitor ID:' && break
  sleep 0.1
done
"$build/tools/kqdemo" --id 77 --name "pipeline demo" --file "$tmp/statements.sql" --wait 3 2>"$tmp/kqdemo.err"
wait "$monitor" || { cat "$tmp/kqmon.err"; echo "pipeline: kqmon failed"; exit 1; }

expected=$(wc -l <"$tmp/kqmon.jsonl")
for _ in $(seq 200); do
  [ -f "$tmp/parsed.jsonl" ] && [ "$(wc -l <"$tmp/parsed.jsonl")" -ge "$expected" ] && break
  sleep 0.1
done

python3 - "$tmp/kqmon.jsonl" "$tmp/parsed.jsonl" "$tmp/statements.sql" <<'PY'
import json, sys
written = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
try:
    # imfile adds where it read each line; everything else must be kqmon's object as written.
    arrived = [{k: v for k, v in json.loads(line).items() if k != "metadata"} for line in open(sys.argv[2], encoding="utf-8")]
except FileNotFoundError:
    arrived = []
statements = [line.rstrip("\n") for line in open(sys.argv[3], encoding="utf-8") if line.strip()]
texts = [o["db.query.text"] for o in written if o["kind"] == "statement"]
assert texts == statements, f"kqmon wrote {texts!r}, kqdemo traced {statements!r}"
assert arrived == written, f"rsyslog parsed {len(arrived)} of {len(written)} objects, or changed fields:\n{arrived}\n{written}"
print(f"pipeline: rsyslog parsed all {len(arrived)} JSON lines of kqmon ({len(texts)} statements) with every field")
PY
