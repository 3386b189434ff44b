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
    -h | --help) sed -n '2,18p' "$0"; exit 0 ;;
    *) echo "campaign: unknown argument $1" >&2; exit 2 ;;
  esac
done

# Time shares in seconds (CI: fixed and small).
if [ "$minutes" -gt 0 ]; then
  total=$((minutes * 60))
  chaos_s=$((total * 30 / 100)); soak_s=$((total * 30 / 100)); hostile_s=$((total * 20 / 100))
  leak_cycles=$((total * 15 / 100 * 40))
else
  chaos_s=60; soak_s=40; hostile_s=30; leak_cycles=1000
fi

for preset in linux linux-asan; do
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
passed=0
failed=0
skipped=0
cleanup() {
  local pid
  for pid in "${started[@]}"; do kill -9 "$pid" 2>/dev/null; done
  wait 2>/dev/null
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
  local line="chaos: $rounds rounds in ${chaos_s} s, kills by process and phase: $kinds; fresh pairs that did not trace $bad, hangs $hangs, processes that ended by themselves $crashes, object files left $(namespace_files "$KQ_NAMESPACE")"
  if [ $bad -eq 0 ] && [ $crashes -eq 0 ] && [ $rounds -gt 0 ]; then pass "$line"; else fail "$line"; fi

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
  [ -e "$shm/KqBuffer.shm" ] || problems+=("the pair never made its buffer")
  as_other ls "$shm" >/dev/null 2>&1 && problems+=("the other uid can list the folder")
  as_other cat "$shm/KqBuffer.shm" >/dev/null 2>&1 && problems+=("the other uid can read the buffer")
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

for case in chaos leaks soak hostile access stall; do
  if wanted $case; then
    echo "=== campaign: $case"
    $case
  fi
done

echo "=== campaign figures"
for f in "${figures[@]}"; do echo "$f"; done
echo "campaign: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
