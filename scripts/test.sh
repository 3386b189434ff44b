#!/usr/bin/env bash
# Sets up the machine, builds every preset and runs every test: linux, linux-asan and linux-tsan
# natively, kqmon's JSON lines through a real log pipeline, the bounded reliability campaign, the
# Windows builds under Wine, the fuzz targets for a bounded time, then the release archives, a consumer's build against the installed
# package and README's option lists against the tools. Ends with one table: phase, tests passed, failed and skipped, time. Package installation,
# builds, packing and the fuzzer write to build/logs/; the tests' own output stays on the screen.
# A phase whose set-up group could not be installed (build/setup-status) shows as SKIPPED with the
# reason, and the run goes on. KQ_PHASES="setup win32 consumer" runs only the phases named.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
logs=build/logs
mkdir -p "$logs"

rows=()
problems=()
total_passed=0
total_failed=0
total_skipped=0
started=$SECONDS

status_file=${KQ_SETUP_STATUS:-$root/build/setup-status}

duration() { printf '%d:%02d' $(($1 / 60)) $(($1 % 60)); }
row() { printf '%-12s %7s %7s %8s %8s  %s\n' "$@"; }

# The phase being run, with its counts.
begin() {
  phase=$1
  phase_passed=0
  phase_failed=0
  phase_skipped=0
  phase_note=${2:-}
  phase_start=$SECONDS
  phase_skip=""
  echo "=== $phase"
}
end() {
  if [ -n "$phase_skip" ]; then
    rows+=("$(row "$phase" - - SKIPPED "$(duration $((SECONDS - phase_start)))" "$phase_skip")")
    return
  fi
  rows+=("$(row "$phase" "$phase_passed" "$phase_failed" "$phase_skipped" "$(duration $((SECONDS - phase_start)))" "$phase_note")")
  total_passed=$((total_passed + phase_passed))
  total_failed=$((total_failed + phase_failed))
  total_skipped=$((total_skipped + phase_skipped))
}
pass() { phase_passed=$((phase_passed + ${1:-1})); }
fail() {
  problems+=("$phase: $1")
  phase_failed=$((phase_failed + ${2:-1}))
}
summary() {
  echo
  for p in "${problems[@]}"; do echo "FAILED: $p"; done
  local verdict="all passed"
  [ "$total_failed" -eq 0 ] || verdict="FAILED"
  echo "=== summary"
  row phase passed failed skipped time note
  printf '%s\n' "${rows[@]}"
  row total "$total_passed" "$total_failed" "$total_skipped" "$(duration $((SECONDS - started)))" "$verdict"
  [ "$total_failed" -eq 0 ]
  exit
}

# True when KQ_PHASES is unset or names the phase.
wanted() { [ -z "${KQ_PHASES:-}" ] || [[ " $KQ_PHASES " == *" $1 "* ]]; }

# The set-up result of a group: "ok", or why it is unavailable.
group_status() {
  local line
  line=$(grep -m1 "^$1 " "$status_file" 2>/dev/null) || {
    echo "unavailable: not set up (scripts/setup.sh $1)"
    return
  }
  echo "${line#"$1 "}"
}
group_ok() { [ "$(group_status "$1")" = ok ]; }

# A phase's declaration of the set-up groups it needs: true when all are there, else the phase is
# SKIPPED with the first missing group's reason. Use: `needs wincross wine64 && run the phase`.
needs() {
  local g
  for g in "$@"; do
    if ! group_ok "$g"; then
      phase_skip="group $g $(group_status "$g")"
      echo "SKIPPED: $phase: $phase_skip"
      return 1
    fi
  done
}

# Adds the counts of a "NAME: P passed, F failed[, S skipped]" line of a script's output.
add_script_counts() {
  local log=$1 line
  line=$(grep -E '^[a-z-]+: [0-9]+ passed, [0-9]+ failed' "$log" | tail -1)
  if [ -z "$line" ]; then
    fail "reported no result"
    return
  fi
  local p f s
  p=$(sed -E 's/.*: ([0-9]+) passed.*/\1/' <<<"$line")
  f=$(sed -E 's/.* ([0-9]+) failed.*/\1/' <<<"$line")
  s=$(sed -nE 's/.* ([0-9]+) skipped.*/\1/p' <<<"$line")
  pass "$p"
  phase_skipped=$((phase_skipped + ${s:-0}))
  [ "$f" -eq 0 ] || fail "$f check(s) failed" "$f"
}

# Runs ctest for a preset and adds its counts, read from its JUnit report.
run_ctest() {
  local preset=$1
  local junit="$root/$logs/ctest-$preset.xml"
  rm -f "$junit"
  ctest --preset "$preset" --output-junit "$junit" 2>&1 | tee "$logs/ctest-$preset.log"
  if [ ! -f "$junit" ]; then
    fail "ctest ran no test"
    return
  fi
  attr() { sed -n "s/^[[:space:]]*$1=\"\([0-9]*\)\".*/\1/p" "$junit" | head -1; }
  local tests failures skipped disabled
  tests=$(attr tests)
  failures=$(attr failures)
  skipped=$(attr skipped)
  disabled=$(attr disabled)
  if [ -z "$tests" ] || [ "$tests" -eq 0 ]; then
    fail "ctest ran no test"
    return
  fi
  skipped=$((${skipped:-0} + ${disabled:-0}))
  pass $((tests - failures - skipped))
  phase_skipped=$((phase_skipped + skipped))
  [ "$failures" -eq 0 ] || fail "$failures test(s) failed" "$failures"
}

build() {
  local preset=$1
  local log="$logs/build-$preset.log"
  echo "building $preset (log: $log)"
  if ! cmake --preset "$preset" >"$log" 2>&1 || ! cmake --build --preset "$preset" -j2 >>"$log" 2>&1; then
    tail -40 "$log"
    fail "build failed"
    return 1
  fi
}

# True when this machine can execute 32-bit x86 code (some kernels are built without it).
can_run_32bit() { /lib/ld-linux.so.2 --version >/dev/null 2>&1; }
# Why the i686 images cannot run here, empty when they can. apt's full reason is in the set-up log.
wine32_missing() {
  local kernel="" wine=""
  can_run_32bit || kernel="this kernel runs no 32-bit x86 code"
  if ! group_ok wine32; then
    wine="no 32-bit Wine (group wine32 unavailable, see $status_file)"
  elif [ ! -x /usr/lib/wine/wine ]; then
    wine="no 32-bit Wine (/usr/lib/wine/wine is missing)"
  fi
  if [ -n "$kernel" ] && [ -n "$wine" ]; then echo "$kernel and $wine"; else echo "$kernel$wine"; fi
}

if wanted setup; then
  begin setup "log: $logs/setup.log"
  if bash scripts/setup.sh >"$logs/setup.log" 2>&1; then
    pass
    unavailable=$(grep -v ' ok$' "$status_file" | cut -d' ' -f1 | paste -sd' ')
    [ -z "$unavailable" ] || phase_note="unavailable: $unavailable; log: $logs/setup.log"
    grep -v ' ok$' "$status_file" | sed 's/^/setup: /'
  else
    tail -40 "$logs/setup.log"
    fail "set-up failed"
    end
    summary
  fi
  end
fi

packaged=()
for preset in linux linux-asan linux-tsan; do
  wanted "$preset" || continue
  begin "$preset"
  if needs core && build "$preset"; then
    [ "$preset" != linux ] || packaged+=(linux)
    run_ctest "$preset"
  fi
  end
done

if wanted pipeline; then
  begin pipeline "kqmon's JSON lines through rsyslog"
  if needs pipeline; then
    if timeout 120 bash scripts/pipeline-test.sh build/linux 2>&1 | tee "$logs/pipeline.log"; then
      pass
    else
      fail "rsyslog did not receive every statement with its fields"
    fi
  fi
  end
fi

if wanted kqtrace; then
  begin kqtrace "psql, pgbench, psycopg, sqlite3 traced unmodified against a throwaway PostgreSQL"
  if needs core postgres sqlite; then
    timeout 900 bash scripts/kqtrace-test.sh build/linux 2>&1 | tee "$logs/kqtrace.log"
    add_script_counts "$logs/kqtrace.log"
  fi
  end
fi

if wanted kqodbc; then
  begin kqodbc "isql, iusql and pyodbc through the proxy driver over psqlODBC and the SQLite driver"
  if needs core postgres odbc; then
    timeout 900 bash scripts/kqodbc-test.sh build/linux 2>&1 | tee "$logs/kqodbc.log"
    add_script_counts "$logs/kqodbc.log"
  fi
  end
fi

if wanted icount; then
  begin icount "callgrind counts against bench/icount_baseline.txt"
  if needs bench; then
    if [ -x build/linux/bench/kq_icount ] && bash scripts/icount.sh --build build/linux 2>&1 | tee "$logs/icount.log"; then
      pass
    else
      fail "the statement path or the reader takes over 10 % more instructions than its baseline"
    fi
  fi
  end
fi

if wanted campaign; then
  begin campaign "bounded; scripts/campaign.sh --minutes N runs the long one"
  if needs core; then
    bash scripts/campaign.sh 2>&1 | tee "$logs/campaign.log"
    add_script_counts "$logs/campaign.log"
  fi
  end
fi

if wanted browser; then
  begin browser "the live view (kqmon serve) in headless Chromium"
  if needs serve browser; then
    if timeout 180 bash scripts/browser-test.sh build/linux 2>&1 | tee "$logs/browser.log"; then
      pass
    else
      fail "the served page did not show what it should"
    fi
  fi
  end
fi

if wanted win32; then
  begin win32
  if needs wincross && build win32; then
    packaged+=(win32)
    if bash scripts/check-dll.sh build/win32/com/kqclient.dll; then
      pass
    else
      fail "kqclient.dll exports or imports are wrong"
    fi
    missing=$(wine32_missing)
    if [ -z "$missing" ]; then
      phase_note="the i686 tests under 32-bit Wine"
      run_ctest win32
    else
      phase_note="DLL built and checked only ($missing); win64 carries the Windows tests"
      echo "note: the i686 tests do not run here: $missing; the win64 build runs the Windows tests under 64-bit Wine"
    fi
  fi
  end
fi

if wanted win64; then
  begin win64 "the same Windows code under 64-bit Wine"
  needs wincross wine64 && build win64 && run_ctest win64
  end
fi

if wanted fuzz; then
  begin fuzz "7 targets x 20 s; log: $logs/fuzz.log"
  if needs fuzz; then
    if bash scripts/fuzz.sh 20 >"$logs/fuzz.log" 2>&1; then
      pass
    else
      tail -30 "$logs/fuzz.log"
      while read -r line; do fail "${line#fuzz: }"; done < <(grep '^fuzz: ' "$logs/fuzz.log" || echo "fuzz: fuzz.sh failed")
    fi
  fi
  end
fi

if wanted package; then
  begin package "archives in build/packages; log: $logs/package.log"
  # A run of selected phases packs what earlier runs built.
  if [ -n "${KQ_PHASES:-}" ]; then
    for preset in linux win32; do
      if [[ " ${packaged[*]} " != *" $preset "* ]] && [ -f "build/$preset/CMakeCache.txt" ]; then packaged+=("$preset"); fi
    done
  fi
  if needs package; then
    if [ ${#packaged[@]} -eq 0 ]; then
      fail "nothing built to pack"
    elif bash scripts/package.sh "${packaged[@]}" >"$logs/package.log" 2>&1; then
      grep '^package: made' "$logs/package.log"
      pass "$(grep -c '^package: made' "$logs/package.log")"
    else
      tail -30 "$logs/package.log"
      fail "packing failed"
    fi
  fi
  end
fi

if wanted consumer; then
  begin consumer "find_package, pkg-config and the archives, from a clean directory"
  if needs core package; then
    # The Windows zip's programs run under 32-bit Wine only where both it and 32-bit x86 code can.
    KQ_NO_WINE32=$(wine32_missing) bash scripts/consumer-test.sh 2>&1 | tee "$logs/consumer.log"
    add_script_counts "$logs/consumer.log"
  fi
  end
fi

if wanted readme; then
  begin readme "option lists against each tool's --help"
  bash scripts/readme-check.sh build/linux/tools 2>&1 | tee "$logs/readme.log"
  add_script_counts "$logs/readme.log"
  end
fi

summary
