#!/usr/bin/env bash
# The reliability campaign, with real processes in namespaces of their own:
#   chaos    kill -9 of a driver or the monitor at random points (attach, streaming, reallocation,
#            detach, release), then a fresh pair must trace; 20 drivers killed under one monitor, then
#            a new driver must register
#   leaks    create/attach/submit/release and monitor start/stop cycles in one process: descriptors,
#            threads and resident memory stay flat, and nothing is left in /dev/shm
#   soak     16 processes x 4 threads with unique statements, one monitor with spooling and a small
#            buffer: per client, read + spooled-and-reported-in-a-gap = traced, no duplicate, no phantom
#   hostile  a process writes extremes, cycles, bad offsets and random bytes into the directory, the
#            event records and the buffer while a driver streams to a monitor, all under ASan+UBSan
#   access   (as root) a second uid can neither read nor plant anything: folder, objects, spool
#   stall    a stopped monitor never blocks the driver, and Release stays bounded
#   traced   programs under kqtrace with `kqmon watch` against a throwaway PostgreSQL: traced psql and
#            pgbench killed with -9 among their statements (kqmon notices, a fresh program is traced
#            whole, nothing left in /dev/shm, the server fine); the server restarted under traced
#            programs (results as untraced, every statement shown ran, read + lost = taken); the
#            all-clients watch killed with -9 and replaced under 16 traced sqlite writers (no writer
#            hangs or changes, the new watch reads on, each client's statements in order, none twice)
# Usage: scripts/campaign.sh [--minutes N] [--only CASE[,CASE...]]
# Without --minutes it runs the bounded version for CI (about four minutes); --minutes N shares N
# minutes among the cases. Every figure is printed; the exit code is 0 when every case held.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

minutes=0
only=""
while [ $# -gt 0 ]; do
  case "$1" in
    --minutes) minutes=${2:?--minutes needs a number}; shift 2 ;;
    --only) only=${2:?--only needs case names}; shift 2 ;;
    -h | --help) sed -n '2,24p' "$0"; exit 0 ;;
    *) echo "campaign: unknown argument $1" >&2; exit 2 ;;
  esac
done

# Time shares in seconds (CI: fixed and small).
if [ "$minutes" -gt 0 ]; then
  total=$((minutes * 60))
  chaos_s=$((total * 30 / 100)); soak_s=$((total * 30 / 100)); hostile_s=$((total * 20 / 100))
  leak_cycles=$((total * 15 / 100 * 40))
  kill_rounds=$((minutes * 2 + 4)); restart_loops=$((minutes * 10 + 30)); takeover_count=$((minutes * 500 + 1500))
else
  chaos_s=60; soak_s=40; hostile_s=30; leak_cycles=1000
  kill_rounds=6; restart_loops=30; takeover_count=1500
fi

presets=linux
# Only the hostile case runs under the sanitizers.
if [ -z "$only" ] || [[ ",$only," == *",hostile,"* ]]; then presets="linux linux-asan"; fi
for preset in $presets; do
  if [ ! -x "build/$preset/tests/kq_test_helper" ]; then
    echo "=== campaign: building $preset"
    { cmake --preset "$preset" && cmake --build --preset "$preset" -j2; } >"build-$preset-campaign.log" 2>&1 ||
      { tail -30 "build-$preset-campaign.log"; echo "campaign: build of $preset failed"; exit 1; }
    rm -f "build-$preset-campaign.log"
  fi
done
helper=$root/build/linux/tests/kq_test_helper
asan_helper=$root/build/linux-asan/tests/kq_test_helper
kqmon=$root/build/linux/tools/kqmon

work=$(mktemp -d /tmp/kq-campaign.XXXXXX)
started=()
pg=""
passed=0
failed=0
skipped=0
cleanup() {
  local pid
  for pid in "${started[@]}"; do kill -9 "$pid" 2>/dev/null; done
  wait 2>/dev/null
  [ -n "$pg" ] && bash "$root/scripts/pg-server.sh" stop "$pg" 2>/dev/null
  # The logs of a failed run stay for a look.
  if [ "$failed" -gt 0 ]; then echo "campaign: logs kept in $work"; else rm -rf "$work"; fi
  rm -rf /dev/shm/kq-*-kqc$$-* 2>/dev/null
}
trap cleanup EXIT

figures=()
pass() { passed=$((passed + 1)); figures+=("PASS  $1"); echo "campaign: PASS $1"; }
fail() { failed=$((failed + 1)); figures+=("FAIL  $1"); echo "campaign: FAIL $1"; }
skip() { skipped=$((skipped + 1)); figures+=("SKIP  $1"); echo "campaign: SKIP $1"; }
wanted() { [ -z "$only" ] || [[ ",$only," == *",$1,"* ]]; }
# Starts a background process, remembered so that nothing outlives the campaign.
spawn() {
  "$@" &
  started+=($!)
}
ms_sleep() { sleep "$(($1 / 1000)).$(printf %03d $(($1 % 1000)))"; }
alive() { kill -0 "$1" 2>/dev/null; }
# Waits up to $2 seconds for pid $1; its exit code, or 124 when it had to be killed.
wait_for() {
  local pid=$1 left=$(($2 * 10))
  while alive "$pid" && [ $left -gt 0 ]; do sleep 0.1; left=$((left - 1)); done
  if alive "$pid"; then kill -9 "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; return 124; fi
  wait "$pid" 2>/dev/null
}
namespace_files() { find "/dev/shm/kq-$(id -u)-$1" -type f 2>/dev/null | wc -l; }

# ---- chaos ----
chaos() {
  export KQ_NAMESPACE=kqc$$-chaos
  local dir=$work/chaos rounds=0 bad=0 hangs=0 crashes=0 end=$((SECONDS + chaos_s))
  declare -A killed=()
  mkdir -p "$dir"
  while [ $SECONDS -lt $end ]; do
    rounds=$((rounds + 1))
    local id=$((1000 + rounds)) d m victim other phase
    spawn "$helper" chaos-driver $id $rounds >"$dir/driver.out" 2>&1; d=$!
    spawn "$helper" chaos-monitor $((50 + rounds % 7)) $id $rounds >"$dir/monitor.out" 2>&1; m=$!
    ms_sleep $((RANDOM % 1500 + 30))
    if ! alive $d || ! alive $m; then
      crashes=$((crashes + 1))
      echo "campaign: chaos round $rounds: a process ended by itself:"; tail -3 "$dir/driver.out" "$dir/monitor.out"
    fi
    if [ $((RANDOM % 2)) -eq 0 ]; then victim=$d; other=$m; phase="driver $(tail -1 "$dir/driver.out")"
    else victim=$m; other=$d; phase="monitor $(tail -1 "$dir/monitor.out")"; fi
    kill -9 $victim 2>/dev/null
    killed[$phase]=$((${killed[$phase]:-0} + 1))
    # The survivor runs on alone a little, then dies at a random point too.
    ms_sleep $((RANDOM % 400))
    kill -9 $other 2>/dev/null
    wait $d $m 2>/dev/null
    # A fresh pair in the same namespace, over whatever the killed ones left behind.
    local fresh=$((5000 + rounds)) drv rc
    spawn "$helper" driver $fresh 300 0 1500 >"$dir/fresh.out" 2>&1; drv=$!
    timeout 60 "$helper" trace-check $((90 + rounds % 5)) $fresh 300 40000 >"$dir/check.out" 2>&1
    rc=$?
    wait_for $drv 30 || rc=1
    if [ $rc -eq 124 ]; then hangs=$((hangs + 1)); fi
    if [ $rc -ne 0 ]; then
      bad=$((bad + 1))
      echo "campaign: chaos round $rounds (killed $phase): the fresh pair did not trace:"; cat "$dir/check.out"
    fi
  done
  local kinds="" k
  for k in "${!killed[@]}"; do kinds+="${kinds:+, }$k ${killed[$k]}"; done
  # The fresh pair's opens swept whatever the killed ones left; its own files went with it.
  local left
  left=$(namespace_files "$KQ_NAMESPACE")
  [ "$left" = 0 ] && [ -d "/dev/shm/kq-$(id -u)-$KQ_NAMESPACE" ] && left="0 (but the folder)"
  local line="chaos: $rounds rounds in ${chaos_s} s, kills by process and phase: $kinds; fresh pairs that did not trace $bad, hangs $hangs, processes that ended by themselves $crashes, object files left $left"
  [ "$left" = 0 ] || line+=" ($(ls "/dev/shm/kq-$(id -u)-$KQ_NAMESPACE" 2>/dev/null | head -5 | tr '\n' ' '))"
  if [ $bad -eq 0 ] && [ $crashes -eq 0 ] && [ $rounds -gt 0 ] && [ "$left" = 0 ]; then pass "$line"; else fail "$line"; fi

  # 20 drivers killed while one monitor lives, then a new driver must register.
  export KQ_NAMESPACE=kqc$$-chaos-dead
  local mon i pid
  spawn "$kqmon" watch --duration 120 >"$dir/kqmon.out" 2>&1; mon=$!
  sleep 0.5
  for i in $(seq 1 20); do
    spawn "$helper" driver $((7000 + i)) 0 0 -1 >/dev/null 2>&1; pid=$!
    ms_sleep $((150 + RANDOM % 200))
    kill -9 $pid 2>/dev/null; wait $pid 2>/dev/null
  done
  "$helper" register-check 7999 >"$dir/register.out" 2>&1
  rc=$?
  kill $mon 2>/dev/null; wait_for $mon 10 >/dev/null
  line="chaos: 20 drivers killed under one live monitor, then a new driver: $(cat "$dir/register.out")"
  # The directory purges the killed drivers' entries by their liveness, so the new one finds room.
  if [ $rc -eq 0 ]; then pass "$line"; else fail "$line"; fi
}

# ---- leaks ----
leaks() {
  export KQ_NAMESPACE=kqc$$-leaks
  local out rc
  out=$(timeout $((leak_cycles / 5 + 120)) "$helper" leak-cycles "$leak_cycles" 50 2>&1)
  rc=$?
  local left
  left=$(namespace_files "$KQ_NAMESPACE")
  [ -d "/dev/shm/kq-$(id -u)-$KQ_NAMESPACE" ] && left="$left (and the folder)"
  local line="leaks: $out; left in /dev/shm: $left"
  if [ $rc -eq 0 ] && [ "$left" = "0" ]; then pass "$line"; else fail "$line (exit $rc)"; fi
}

# ---- soak with accounting ----
soak() {
  export KQ_NAMESPACE=kqc$$-soak
  local dir=$work/soak i pids=() ids=() rc=0
  mkdir -p "$dir"
  for i in $(seq 1 16); do
    ids+=($((100 + i)))
    spawn "$helper" soak-driver $((100 + i)) 4 $((soak_s + 3)) "$dir/driver-$((100 + i)).txt" >"$dir/d$i.out" 2>&1
    pids+=($!)
  done
  sleep 0.5
  timeout $((soak_s + 60)) "$helper" soak-monitor 9 "$soak_s" 16384 "$dir/spool.txt" "$dir/monitor.txt" "${ids[@]}" \
    >"$dir/monitor.out" 2>&1 || rc=1
  for i in "${pids[@]}"; do wait_for "$i" 60 || rc=1; done
  local check
  check=$("$helper" soak-check "$dir/monitor.txt" "$dir/spool.txt" "$dir"/driver-*.txt 2>&1) || rc=1
  local line="soak: 16 processes x 4 threads for ${soak_s} s, 16 KB buffer: $(cat "$dir/monitor.out"); $check"
  if [ $rc -eq 0 ]; then pass "$line"; else fail "$line"; cat "$dir"/d*.out; fi
}

# ---- hostile memory, under ASan+UBSan ----
hostile() {
  export KQ_NAMESPACE=kqc$$-hostile
  local dir=$work/hostile d m w rc=0
  mkdir -p "$dir"
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  spawn "$asan_helper" soak-driver 301 2 $((hostile_s + 6)) "$dir/driver-301.txt" >"$dir/driver.out" 2>&1; d=$!
  sleep 1
  spawn "$asan_helper" soak-monitor 302 $((hostile_s + 3)) 65536 "$dir/spool.txt" "$dir/monitor.txt" 301 \
    >"$dir/monitor.out" 2>&1; m=$!
  sleep 1
  spawn "$asan_helper" hostile-writer "$hostile_s" $$ >"$dir/writer.out" 2>&1; w=$!
  wait_for $w $((hostile_s + 60)) || rc=1
  wait_for $m 60 || rc=1
  wait_for $d 60 || rc=1
  local reports
  reports=$(grep -l -E "runtime error|AddressSanitizer|LeakSanitizer" "$dir"/*.out 2>/dev/null | wc -l)
  local line="hostile: ${hostile_s} s under ASan+UBSan: $(cat "$dir/writer.out"); $(tail -1 "$dir/monitor.out"); $(tail -1 "$dir/driver.out"); sanitizer reports $reports"
  if [ $rc -eq 0 ] && [ "$reports" -eq 0 ]; then pass "$line"; else fail "$line"; cat "$dir"/*.out | head -60; fi
  unset UBSAN_OPTIONS
}

# ---- access by a second uid ----
access() {
  if [ "$(id -u)" -ne 0 ]; then skip "access: needs root to run a second uid"; return; fi
  if ! command -v setpriv >/dev/null; then skip "access: setpriv is missing"; return; fi
  local other=65534
  as_other() { setpriv --reuid=$other --regid=$other --clear-groups -- "$@"; }
  export KQ_NAMESPACE=kqc$$-access
  local shm=/dev/shm/kq-0-$KQ_NAMESPACE pub=$work/public d mon problems=()
  mkdir -p "$pub"; chmod 1777 "$pub"; chmod 755 "$work"
  echo "precious" >"$work/victim.txt"
  spawn "$helper" driver 41 1000000 1 -1 >/dev/null 2>&1; d=$!
  spawn "$kqmon" watch --client 41 --buffer-size 4 --spool "$pub/spool-ok.txt" --duration 60 >/dev/null 2>"$work/kqmon-ok.err"; mon=$!
  local waited=0
  while [ ! -s "$pub/spool-ok.txt" ] && [ $waited -lt 200 ]; do sleep 0.1; waited=$((waited + 1)); done
  # kqmon gives a client of ours a ring of its own; the shared one serves other clients.
  local ring=$shm/KqBuffer.41.shm
  [ -e "$ring" ] || ring=$shm/KqBuffer.shm
  [ -e "$ring" ] || problems+=("the pair never made its buffer")
  as_other ls "$shm" >/dev/null 2>&1 && problems+=("the other uid can list the folder")
  as_other cat "$ring" >/dev/null 2>&1 && problems+=("the other uid can read the buffer")
  as_other touch "$shm/planted.shm" 2>/dev/null && problems+=("the other uid can plant a file")
  as_other cat "$pub/spool-ok.txt" >/dev/null 2>&1 && problems+=("the other uid can read the spool file")
  [ "$(stat -c %a "$pub/spool-ok.txt" 2>/dev/null)" = "600" ] || problems+=("the spool file is not 0600")
  # Its own objects with the same names go to its own folder, out of reach of ours.
  as_other env KQ_NAMESPACE="$KQ_NAMESPACE" "$helper" register-check 42 >/dev/null 2>&1
  KQ_NAMESPACE=$KQ_NAMESPACE "$kqmon" list | grep -qw 42 && problems+=("a client of the other uid is listed in ours")
  kill $mon 2>/dev/null; wait_for $mon 10 >/dev/null

  # Spool paths planted by the other uid: a link to our file, a file of theirs, a link put there
  # after the monitor looked (the client refuses it then).
  as_other ln -s "$work/victim.txt" "$pub/spool-link.txt"
  as_other sh -c "umask 0; : >'$pub/spool-theirs.txt'"
  local path expect
  for path in spool-link spool-theirs; do
    expect="symbolic link"; [ $path = spool-theirs ] && expect="another user"
    timeout 30 "$kqmon" watch --client 41 --buffer-size 4 --spool "$pub/$path.txt" --duration 2 >/dev/null 2>"$work/$path.err"
    grep -q "$expect" "$work/$path.err" || problems+=("kqmon did not say why $path was refused")
  done
  # 64 KB fill in more than a second: the link is there before the client's first eviction.
  spawn "$kqmon" watch --client 41 --buffer-size 64 --spool "$pub/spool-late.txt" --duration 8 >/dev/null 2>"$work/late.err"; mon=$!
  sleep 0.3
  as_other ln -s "$work/victim.txt" "$pub/spool-late.txt"
  wait_for $mon 30 >/dev/null
  grep -q "spooling stopped: .*symbolic link" "$work/late.err" || problems+=("a link planted after the check was not reported")
  [ "$(cat "$work/victim.txt")" = "precious" ] || problems+=("traced statements reached the other uid's link target")
  [ -s "$pub/spool-theirs.txt" ] && problems+=("traced statements reached the other uid's file")
  kill -9 $d 2>/dev/null; wait $d 2>/dev/null

  # A folder squatted by the other uid is refused, and nothing is created in it.
  local squat=/dev/shm/kq-0-kqc$$-squat
  as_other mkdir -m 777 "$squat"
  KQ_NAMESPACE=kqc$$-squat "$helper" register-check 43 >"$work/squat.out" 2>&1 && problems+=("a squatted folder was used")
  [ -z "$(ls -A "$squat" 2>/dev/null)" ] || problems+=("objects were created in a squatted folder")
  rm -rf "$squat"

  local line="access: uid $other against root: folder, objects, spool file, planted spool paths (link, their file, late link), squatted folder"
  if [ ${#problems[@]} -eq 0 ]; then pass "$line: all refused"; else fail "$line: $(IFS=';'; echo "${problems[*]}")"; fi
}

# ---- stalled monitor ----
stall() {
  export KQ_NAMESPACE=kqc$$-stall
  local dir=$work/stall d m rc=0 waited=0
  mkdir -p "$dir"
  spawn "$helper" stall-driver 61 200000 "$dir" >"$dir/driver.out" 2>&1; d=$!
  spawn "$helper" monitor 62 61 >"$dir/monitor.out" 2>&1; m=$!
  while [ ! -e "$dir/connected" ] && [ $waited -lt 300 ] && alive $d; do sleep 0.1; waited=$((waited + 1)); done
  kill -STOP $m
  touch "$dir/go"
  wait_for $d 120 || rc=1
  kill -CONT $m; kill $m 2>/dev/null; wait $m 2>/dev/null
  local line="stall: $(cat "$dir/driver.out")"
  if [ $rc -eq 0 ]; then pass "$line"; else fail "$line"; fi
}

# ---- traced programs (kqtrace) ----
# Starts `kqmon watch --format json` into $1.jsonl (messages in $1.err) with any further options, in the
# current KQ_NAMESPACE; sets watch_pid. Fails when it does not say it watches within a generous bound.
start_watch() {
  local out=$1 waited=0
  shift
  spawn "$kqmon" watch --format json --color never --duration 900 --output "$out.jsonl" "$@" 2>"$out.err"
  watch_pid=$!
  until grep -q -E "waiting for|watching client" "$out.err" 2>/dev/null; do
    waited=$((waited + 1))
    if [ $waited -gt 300 ] || ! alive $watch_pid; then return 1; fi
    sleep 0.1
  done
}
# Waits up to $3 seconds for the extended regular expression $2 in file $1.
wait_line() {
  local left=$(($3 * 10))
  until grep -q -E "$2" "$1" 2>/dev/null; do
    left=$((left - 1))
    [ $left -gt 0 ] || return 1
    sleep 0.1
  done
}
# Ends a watch with SIGINT, as a person would; 124 when it had to be killed.
stop_watch() {
  kill -INT "$1" 2>/dev/null
  wait_for "$1" 30
}

# kill -9 of traced psql and pgbench in the middle of their statements under one watch.
traced_kill() {
  export KQ_NAMESPACE=kqc$$-tkill
  local dir=$work/traced/kill round p problems=() noticed=0 hangs=0 kinds=""
  mkdir -p "$dir"
  for i in $(seq 1 20000); do echo "SELECT $i AS n, 'filler' AS f;"; done >"$dir/long.sql"
  printf '%s\n' '\set aid random(1, 100000)' 'SELECT abalance FROM pgbench_accounts WHERE aid = :aid;' >"$dir/bench.sql"
  for i in $(seq 1 300); do echo "SELECT 'fresh $i';"; done >"$dir/fresh.sql"
  if ! start_watch "$dir/watch"; then fail "traced kill: kqmon did not start watching: $(cat "$dir/watch.err")"; return; fi
  for round in $(seq 1 "$kill_rounds"); do
    if [ $((round % 2)) -eq 1 ]; then
      spawn "$kqtrace" --log "$dir/kqtrace.log" -- psql -X -q -f "$dir/long.sql" >/dev/null 2>"$dir/victim.err"
    else
      spawn "$kqtrace" --log "$dir/kqtrace.log" -- pgbench -n -c 2 -T 60 -f "$dir/bench.sql" >/dev/null 2>"$dir/victim.err"
    fi
    p=$!
    # Killed only once the watch reads it, so that each kill lands among its statements.
    if ! wait_line "$dir/watch.err" "watching client $p " 20; then
      problems+=("round $round: pid $p was never watched")
    fi
    ms_sleep $((RANDOM % 800 + 100))
    kill -9 $p 2>/dev/null
    wait $p 2>/dev/null
    wait_line "$dir/watch.err" "client $p \(.*\) ended without detaching" 30 && noticed=$((noticed + 1))
  done
  alive $watch_pid || problems+=("kqmon ended during the kills")
  # A fresh traced program afterwards is traced whole.
  spawn "$kqtrace" --log "$dir/kqtrace.log" -- psql -X -q -f "$dir/fresh.sql" >"$dir/fresh.out" 2>&1
  p=$!
  wait_for $p 60 || problems+=("the fresh psql did not end by itself (exit $?)")
  wait_line "$dir/watch.err" "client $p \(.*\) detached" 30 || problems+=("the fresh psql's detach was not seen")
  stop_watch $watch_pid
  [ $? -eq 124 ] && hangs=$((hangs + 1)) && problems+=("kqmon did not end on SIGINT")
  local whole left backends count
  whole=$("$py" "$root/tests/kqtrace/traced_check.py" whole "$dir/watch.jsonl" "$p" "$dir/fresh.sql" 2>&1) ||
    problems+=("fresh program: $whole")
  left=$(namespace_files "$KQ_NAMESPACE")
  [ "$left" = 0 ] || problems+=("$left object file(s) left: $(ls "/dev/shm/kq-$(id -u)-$KQ_NAMESPACE" | head -5 | tr '\n' ' ')")
  # The server is fine: the killed programs' sessions go, the data is whole.
  local waited=0
  while :; do
    backends=$(psql -X -tAc "SELECT count(*) FROM pg_stat_activity WHERE backend_type = 'client backend' AND pid <> pg_backend_pid()" 2>&1)
    [ "$backends" = 0 ] || [ $waited -ge 100 ] && break
    sleep 0.1; waited=$((waited + 1))
  done
  count=$(psql -X -tAc "SELECT count(*) FROM pgbench_accounts" 2>&1)
  [ "$backends" = 0 ] || problems+=("sessions left on the server: $backends")
  [ "$count" = 100000 ] || problems+=("pgbench_accounts has $count rows")
  local line="traced kill: $kill_rounds traced psql/pgbench killed with -9 among their statements, $noticed noticed by kqmon as ended without detaching; fresh program: ${whole}; kqmon hangs $hangs; object files left $left; server sessions left $backends, rows $count"
  if [ ${#problems[@]} -eq 0 ] && [ $noticed -eq "$kill_rounds" ]; then pass "$line"; else fail "$line: $(IFS=';'; echo "${problems[*]}")"; fi
  unset KQ_NAMESPACE
}

# Digits masked (pgbench prints counts and times). pgbench tells of its session ended by the restart in
# one of two ways, untraced as well as traced (both seen untraced here): by the error result of the
# statement, or, when libpq finds the connection closed first, by the server's message and "perhaps the
# backend died"; both are the same end.
masked() {
  sed -E -e 's/[0-9]+/N/g' -e '/^FATAL:  terminating connection due to administrator command$/d' \
    -e 's/^pgbench: error: client N (script N aborted in command N query N: FATAL: .*|aborted in command N \(SQL\) of script N; perhaps the backend died while processing)$/pgbench: error: client N aborted/' "$1"
}
# run_twice NAME SETUP DELAY COMMAND...: runs COMMAND untraced, then traced, each in the same situation
# made by SETUP (a function run in the background beside it) and DELAY seconds after it began; compares
# exit status, output and errors (digits masked, as pgbench prints counts and times).
run_twice() {
  local name=$1 setup=$2 delay=$3 side rc
  shift 3
  for side in plain traced; do
    $setup &
    local s=$!
    sleep "$delay"
    if [ $side = plain ]; then
      "$@" >"$rdir/$name.$side.out" 2>"$rdir/$name.$side.err"
    else
      "$kqtrace" --log "$rdir/kqtrace.log" -- "$@" >"$rdir/$name.$side.out" 2>"$rdir/$name.$side.err"
    fi
    rc=$?
    echo $rc >"$rdir/$name.$side.rc"
    wait $s
    # The server is up again before the next run.
    local waited=0
    until psql -X -tAc "SELECT 1" >/dev/null 2>&1 || [ $waited -ge 300 ]; do sleep 0.1; waited=$((waited + 1)); done
  done
  local plain traced
  plain=$(cat "$rdir/$name.plain.rc"); traced=$(cat "$rdir/$name.traced.rc")
  [ "$plain" = "$traced" ] || restart_problems+=("$name: exit $plain untraced, $traced traced")
  local stream
  for stream in out err; do
    cmp -s <(masked "$rdir/$name.plain.$stream") <(masked "$rdir/$name.traced.$stream") ||
      restart_problems+=("$name: std$stream differs: $(diff <(masked "$rdir/$name.plain.$stream") <(masked "$rdir/$name.traced.$stream") | head -4 | tr '\n' ' ')")
  done
  restart_figures+="$name exit $plain, "
}
restart_soon() { sleep 1.5; bash "$root/scripts/pg-server.sh" restart "$pg" 0 2>>"$rdir/restart.err"; }
down_for_a_while() { bash "$root/scripts/pg-server.sh" restart "$pg" 3 2>>"$rdir/restart.err"; }

# The server restarted under traced programs: their results are what they are untraced, and every
# statement shown is one that ran, accounted for.
traced_restart() {
  export KQ_NAMESPACE=kqc$$-trestart
  rdir=$work/traced/restart
  restart_problems=() restart_figures=""
  mkdir -p "$rdir"
  # Statements long beside the gaps between them, so that the restart ends pgbench inside one whether
  # traced or not (between two, pgbench reports the same end in other words).
  printf '%s\n' 'SELECT pg_sleep(0.2);' >"$rdir/sleep.sql"
  if ! start_watch "$rdir/watch" --buffer-size 1024; then fail "traced restart: kqmon did not start watching"; return; fi
  local offset
  offset=$(stat -c %s "$pg/server.log")
  # A statement running when the server goes down, one refused while it is down, and pgbench whose
  # session the restart ends.
  run_twice psql-cut restart_soon 0 psql -X -c "SELECT pg_sleep(4)"
  # Run once the server is down (the restart's stop takes a moment).
  run_twice psql-refused down_for_a_while 1 psql -X -c "SELECT 'while down'"
  run_twice pgbench-cut restart_soon 0 pgbench -n -c 1 -T 10 -f "$rdir/sleep.sql"
  # Short psql runs one after the other across a restart: each one's own result, traced as it ran.
  local i ok=0 refused=0 other=0 rc
  bash "$root/scripts/pg-server.sh" restart "$pg" 1 2>>"$rdir/restart.err" &
  local r=$!
  for i in $(seq 1 "$restart_loops"); do
    "$kqtrace" --log "$rdir/kqtrace.log" -- psql -X -tAc "SELECT 'loop $i'" >"$rdir/loop.out" 2>"$rdir/loop.err"
    rc=$?
    if [ $rc = 0 ] && [ "$(cat "$rdir/loop.out")" = "loop $i" ]; then ok=$((ok + 1))
    elif [ $rc = 2 ] && grep -q -E "connection to server .* failed|the database system is (shutting down|starting up)" "$rdir/loop.err"; then refused=$((refused + 1))
    else other=$((other + 1)); restart_problems+=("loop $i: exit $rc, $(head -2 "$rdir/loop.err" | tr '\n' ' ')")
    fi
    sleep 0.05
  done
  wait $r || restart_problems+=("the loop's restart failed: $(tail -2 "$rdir/restart.err")")
  # Finished clients have detached; the watch's account then covers them all.
  sleep 0.5
  stop_watch $watch_pid || restart_problems+=("kqmon did not end on SIGINT")
  local ran account
  ran=$("$py" "$root/tests/kqtrace/traced_check.py" ran "$rdir/watch.jsonl" "$pg/server.log" "$offset" 2>&1) ||
    restart_problems+=("$ran")
  account=$("$py" "$root/tests/kqtrace/traced_check.py" account "$rdir/watch.jsonl" "$rdir/kqtrace.log" 2>&1) ||
    restart_problems+=("$account")
  local line="traced restart: ${restart_figures}each the same untraced and traced (exit status, output and errors); $restart_loops short psql runs across a restart: $ok ran, $refused refused while down, $other otherwise; $ran; $account"
  if [ ${#restart_problems[@]} -eq 0 ] && [ $ok -gt 0 ] && [ $refused -gt 0 ]; then pass "$line"; else fail "$line: $(IFS=';'; echo "${restart_problems[*]}")"; fi
  unset KQ_NAMESPACE
}

# The all-clients watch killed with -9 and replaced while 16 traced sqlite writers run.
traced_takeover() {
  export KQ_NAMESPACE=kqc$$-ttake
  local dir=$work/traced/takeover i side problems=() pids=() first second hangs=0
  mkdir -p "$dir/plain" "$dir/traced"
  cat >"$dir/writer.py" <<'PY'
import sqlite3, sys, time
db, writer, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
con = sqlite3.connect(db, isolation_level=None)
con.execute("PRAGMA journal_mode=MEMORY")
con.execute("PRAGMA synchronous=OFF")
con.execute("CREATE TABLE IF NOT EXISTS t (w INTEGER, seq INTEGER)")
for i in range(count):
    # Each statement's text is its own, so that a monitor's copy shows which one it is.
    con.execute(f"INSERT INTO t VALUES ({writer}, {i})")
    time.sleep(0.002)
rows, total = con.execute("SELECT count(*), sum(seq) FROM t").fetchone()
print(f"writer {writer}: {rows} rows, sum {total}")
PY
  for side in plain traced; do
    pids=()
    if [ $side = traced ]; then
      if ! start_watch "$dir/first"; then fail "traced takeover: kqmon did not start watching"; return; fi
      first=$watch_pid
    fi
    for i in $(seq 1 16); do
      if [ $side = plain ]; then
        spawn "$py" "$dir/writer.py" "$dir/$side/w$i.db" $i "$takeover_count" >"$dir/$side/w$i.out" 2>&1
      else
        spawn "$kqtrace" --log "$dir/kqtrace.log" -- "$py" "$dir/writer.py" "$dir/$side/w$i.db" $i "$takeover_count" \
          >"$dir/$side/w$i.out" 2>&1
      fi
      pids+=($!)
    done
    if [ $side = traced ]; then
      # Killed once it reads every writer, then a new watch takes over.
      local waited=0
      while [ "$(grep -c "watching client" "$dir/first.err")" -lt 16 ] && [ $waited -lt 300 ]; do sleep 0.1; waited=$((waited + 1)); done
      ms_sleep $((RANDOM % 1000 + 500))
      kill -9 $first 2>/dev/null
      wait $first 2>/dev/null
      start_watch "$dir/second" || problems+=("the new kqmon did not start watching: $(head -3 "$dir/second.err" | tr '\n' ' ')")
      second=$watch_pid
    fi
    for i in "${!pids[@]}"; do
      wait_for "${pids[$i]}" 180
      local rc=$?
      [ $rc -eq 124 ] && hangs=$((hangs + 1))
      [ $rc -eq 0 ] || problems+=("$side writer $((i + 1)) exit $rc")
    done
  done
  local differ=0
  for i in $(seq 1 16); do cmp -s "$dir/plain/w$i.out" "$dir/traced/w$i.out" || differ=$((differ + 1)); done
  [ $differ -eq 0 ] || problems+=("$differ writer(s) printed otherwise traced: $(diff "$dir/plain/w1.out" "$dir/traced/w1.out" | head -3 | tr '\n' ' ')")
  wait_line "$dir/second.err" "detached" 30
  sleep 0.5
  stop_watch "$second" || problems+=("the new kqmon did not end on SIGINT")
  local before after account left
  before=$("$py" "$root/tests/kqtrace/traced_check.py" writers "$dir/first.jsonl" 16 2>&1)
  after=$("$py" "$root/tests/kqtrace/traced_check.py" writers "$dir/second.jsonl" 16 "$dir/first.jsonl" 2>&1) || problems+=("new monitor: $after")
  # Every ring waits for the new watch, which reads each again from its first record: what the killed
  # watch had read but not yet written is shown again or counted in a gap, so its account is exact.
  account=$("$py" "$root/tests/kqtrace/traced_check.py" account "$dir/second.jsonl" "$dir/kqtrace.log" 2>&1) ||
    problems+=("the new monitor's account: $account")
  left=$(namespace_files "$KQ_NAMESPACE")
  [ "$left" = 0 ] || problems+=("$left object file(s) left: $(ls "/dev/shm/kq-$(id -u)-$KQ_NAMESPACE" | head -5 | tr '\n' ' ')")
  local line="traced takeover: 16 traced sqlite writers x $takeover_count inserts, the all-clients kqmon killed with -9 and replaced; writers that hung $hangs, printed otherwise $differ; killed monitor: $before; new monitor: $after; new monitor's account: $account; object files left $left"
  if [ ${#problems[@]} -eq 0 ]; then pass "$line"; else fail "$line: $(IFS=';'; echo "${problems[*]}")"; fi
  unset KQ_NAMESPACE
}

traced() {
  local kqtrace=$root/build/linux/tools/kqtrace/kqtrace
  py=/usr/bin/python3  # Debian's sqlite3 module is for Debian's interpreter
  mkdir -p "$work/traced"
  if [ ! -x "$kqtrace" ]; then skip "traced: kqtrace is not built (libsqlite3-dev or libpq missing?)"; return; fi
  if "$py" -c "import sqlite3" 2>/dev/null; then
    traced_takeover
  else
    skip "traced takeover: Python's sqlite3 module is not installed"
  fi
  if ! command -v psql >/dev/null || ! command -v pgbench >/dev/null; then
    skip "traced kill: psql or pgbench is not installed (Debian package postgresql-client)"
    skip "traced restart: psql or pgbench is not installed (Debian package postgresql-client)"
    return
  fi
  pg=$work/pg
  # The server's user passes through the campaign's private folder to its own.
  chmod 0755 "$work"
  if ! eval "$(bash "$root/scripts/pg-server.sh" start "$pg" 2>"$work/pg-start.err")"; then
    skip "traced kill: no PostgreSQL server ($(tail -1 "$work/pg-start.err"))"
    skip "traced restart: no PostgreSQL server ($(tail -1 "$work/pg-start.err"))"
    pg=
    return
  fi
  export PGHOST PGPORT PGUSER PGDATABASE
  # The server's own record of every statement, the reference for what ran.
  export PGOPTIONS="-c log_statement=all"
  pgbench -i -s 1 -q >"$work/pgbench-init.out" 2>&1 || { fail "traced: pgbench -i failed: $(tail -2 "$work/pgbench-init.out")"; return; }
  traced_kill
  traced_restart
  bash "$root/scripts/pg-server.sh" stop "$pg" 2>/dev/null
  pg=
  unset PGHOST PGPORT PGUSER PGDATABASE PGOPTIONS
}

for case in chaos leaks soak hostile access stall traced; do
  if wanted $case; then
    echo "=== campaign: $case"
    $case
  fi
done

echo "=== campaign figures"
for f in "${figures[@]}"; do echo "$f"; done
echo "campaign: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
